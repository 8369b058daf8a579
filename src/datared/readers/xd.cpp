// XD reflection files (.hkl with an "NDAT" header).
#include "datared/readers/xd.hpp"

#include <fmt/format.h>

#include <cstdlib>

#include "datared/import_msg.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {
constexpr std::string_view XdExtra =
    "The {} further items of each record of \"{}\" (after h k l, scale group, value and sigma) "
    "were not imported.";
}  // namespace

int DRBasicRefXDText(std::string_view text, const std::string& file, ImpData& d, ErrorRecord& err) {
  const auto lines = ImpLines(text);
  size_t k = 0;
  while (k < lines.size() && Trim(lines[k]).empty()) ++k;
  const auto h = k < lines.size() ? SplitWords(lines[k]) : std::vector<std::string>{};
  const auto ndat = h.size() == 4 ? ToInt(h[3]) : std::nullopt;
  const bool f2 = h.size() == 4 && EqIgnoreCase(h[1], "F^2");
  const bool f1 = h.size() == 4 && EqIgnoreCase(h[1], "F");
  if (!ndat || !EqIgnoreCase(h[2], "NDAT") || (!f1 && !f2) || *ndat < 6 || *ndat > 100)
    return ImpReadError(err, file, static_cast<long>(k) + 1,
                        "expected the header \"name F^2 NDAT n\" (or \"F\"; n at least 6)");
  const int n = static_cast<int>(*ndat);
  ImpData out;
  out.File = file;
  out.OnF = f1;
  const char* val = f1 ? "F" : "F^2";
  for (++k; k < lines.size(); ++k) {
    const long no = static_cast<long>(k) + 1;
    if (Trim(lines[k]).empty()) continue;
    const auto w = SplitWords(lines[k]);
    if (static_cast<int>(w.size()) != n)
      return ImpReadError(err, file, no,
                          fmt::format("expected {} items (NDAT), found {}", n, w.size()));
    ImpRefl r;
    r.Line = no;
    for (int i = 0; i < 3; ++i) {
      const auto x = ToInt(w[i]);
      if (!x || std::llabs(*x) > kImpMaxIndex)
        return ImpReadError(
            err, file, no,
            fmt::format("expected an integer index of at most {} as item {}", kImpMaxIndex, i + 1));
      r.H[i] = static_cast<int>(*x);
    }
    const auto sg = ToInt(w[3]);
    if (!sg || *sg < 0 || *sg > 9999)
      return ImpReadError(err, file, no, "expected the scale group as item 4");
    r.Batch = static_cast<int>(*sg);
    const auto y = ToReal(w[4]), s = ToReal(w[5]);
    if (!y) return ImpReadError(err, file, no, fmt::format("expected {} as item 5", val));
    if (!s || !(*s > 0.))
      return ImpReadError(err, file, no, fmt::format("expected sigma({}) > 0 as item 6", val));
    r.I = *y;
    r.SigI = *s;
    for (int i = 6; i < n; ++i)
      if (!ToReal(w[i]))
        return ImpReadError(err, file, no, fmt::format("expected a number as item {}", i + 1));
    out.Refl.push_back(r);
  }
  if (out.Refl.empty()) {
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::NoReflections), file));
  }
  if (n > 6) out.Notes.push_back(fmt::format(fmt::runtime(XdExtra), n - 6, file));
  d = std::move(out);
  return 0;
}

int DRBasicRefXD(const std::string& file, ImpData& d, ErrorRecord& err) {
  std::string text;
  if (ImpReadText(file, text, err)) return 1;
  return DRBasicRefXDText(text, file, d, err);
}

int ImpReadXD(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  return DRBasicRefXD(req.File, d, err);
}

}  // namespace tarn
