// XDS reflection files: header records and the data records after them.
#include "datared/readers/xds.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "datared/import_msg.hpp"
#include "model/refl_fmt.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// n numbers after the "=" of a header record.
bool XdsNumbers(std::string_view line, size_t n, double* v) {
  const size_t eq = line.find('=');
  const auto w = SplitWords(line.substr(eq + 1));
  if (w.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (!ImpFreeReal(w[i], v[i])) return false;
  return true;
}

}  // namespace

int DRBasicXDS(std::string_view text, const std::string& file, ImpData& d, size_t& data_start,
               long& data_line, ErrorRecord& err) {
  ImpLineWalker w(text, 1);
  std::string_view line;
  double lambda = kUnsetReal;
  std::vector<double> cell;
  double axes[3][3] = {};
  int present = 0;
  static constexpr std::string_view kAxis[3] = {
      "!UNIT_CELL_A-AXIS=", "!UNIT_CELL_B-AXIS=", "!UNIT_CELL_C-AXIS="};
  while (w.Next(line)) {
    if (Trim(line) == "!END_OF_HEADER") {
      d.Lambda = lambda;
      d.Cell = cell;
      // Presence count: a axis 1, b axis 10, c axis 100; only exactly one of
      // each gives the orientation matrix UB = (A^T)^-1 with the axes as the
      // columns of A, so that h = (axis_i . s) for s = UB h.
      d.HasOrMat = present == 111;
      if (d.HasOrMat) {
        Eigen::Matrix3d a;
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) a(j, i) = axes[i][j];
        const Eigen::Matrix3d at = a.transpose();
        if (std::abs(at.determinant()) < 1e-12) {
          d.HasOrMat = false;
        } else {
          const Eigen::Matrix3d ub = at.inverse();
          for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) d.OrMat[3 * i + j] = ub(i, j);
        }
      }
      data_start = w.Pos();
      data_line = w.LineNo();
      return 0;
    }
    if (StartsWithIgnoreCase(line, "!X-RAY_WAVELENGTH=")) {
      if (!XdsNumbers(line, 1, &lambda))
        return ImpReadError(err, file, w.LineNo(), "expected the wavelength after \"=\"");
    } else if (StartsWithIgnoreCase(line, "!UNIT_CELL_CONSTANTS=")) {
      cell.assign(6, 0.);
      if (!XdsNumbers(line, 6, cell.data()))
        return ImpReadError(err, file, w.LineNo(), "expected six cell parameters after \"=\"");
    } else {
      for (int i = 0; i < 3; ++i)
        if (StartsWithIgnoreCase(line, kAxis[i])) {
          if (!XdsNumbers(line, 3, axes[i]))
            return ImpReadError(err, file, w.LineNo(),
                                "expected three axis components after \"=\"");
          present += i == 0 ? 1 : i == 1 ? 10 : 100;
        }
    }
  }
  return ImpFail(err, file, std::string(impmsg::XdsNoEnd));
}

int ReadXdsText(std::string_view text, const std::string& file, ImpData& d, ErrorRecord& err) {
  ImpData out;
  out.File = file;
  size_t start = 0;
  long line0 = 0;
  if (DRBasicXDS(text, file, out, start, line0, err)) return 1;
  // Columns (1-based) of the items; INTEGRATE.HKL gives no ITEM_ records and
  // has H K L IOBS SIGMA XCAL YCAL ZCAL first.
  int nitems = 0, ch = 1, ck = 2, cl = 3, ci = 4, cs = 5, cz = 8;
  {
    ImpLineWalker w(text.substr(0, start), 1);
    std::string_view line;
    const std::pair<std::string_view, int*> items[] = {
        {"!ITEM_H=", &ch},
        {"!ITEM_K=", &ck},
        {"!ITEM_L=", &cl},
        {"!ITEM_IOBS=", &ci},
        {"!ITEM_SIGMA(IOBS)=", &cs},
        {"!ITEM_ZD=", &cz},
        {"!NUMBER_OF_ITEMS_IN_EACH_DATA_RECORD=", &nitems}};
    while (w.Next(line))
      for (const auto& [key, col] : items)
        if (StartsWithIgnoreCase(line, key)) {
          double v = 0.;
          if (!XdsNumbers(line, 1, &v) || v < 1. || v > 1000.)
            return ImpReadError(err, file, w.LineNo(), "expected a column number after \"=\"");
          *col = static_cast<int>(v);
        }
  }
  const int need = std::max({ch, ck, cl, ci, cs, 5});
  ImpLineWalker w(text.substr(start), line0 + 1);
  std::string_view line;
  int rejected = 0;
  while (w.Next(line)) {
    if (!line.empty() && line[0] == '!') {
      if (StartsWithIgnoreCase(line, "!END_OF_DATA")) break;
      continue;
    }
    if (Trim(line).empty()) continue;
    const auto words = SplitWords(line);
    if (static_cast<int>(words.size()) < need ||
        (nitems > 0 && static_cast<int>(words.size()) != nitems))
      return ImpReadError(
          err, file, w.LineNo(),
          fmt::format("expected {} items in the record", nitems > 0 ? nitems : need));
    ImpRefl r;
    r.Line = w.LineNo();
    const int hc[3] = {ch, ck, cl};
    for (int q = 0; q < 3; ++q) {
      long long h = 0;
      if (!GetI(words[hc[q] - 1], h) || std::llabs(h) > kImpMaxIndex)
        return ImpReadError(err, file, w.LineNo(),
                            fmt::format("expected an integer index in item {}", hc[q]));
      r.H[q] = static_cast<int>(h);
    }
    if (!ImpFreeReal(words[ci - 1], r.I))
      return ImpReadError(err, file, w.LineNo(),
                          fmt::format("expected IOBS as a number in item {}", ci));
    if (!ImpFreeReal(words[cs - 1], r.SigI) || r.SigI == 0.)
      return ImpReadError(err, file, w.LineNo(),
                          fmt::format("expected SIGMA as a non-zero number in item {}", cs));
    if (cz <= static_cast<int>(words.size()) && !ImpFreeReal(words[cz - 1], r.Frame))
      return ImpReadError(err, file, w.LineNo(), fmt::format("expected a number in item {}", cz));
    // XDS marks rejected (misfit) reflections by a negative sigma.
    if (r.SigI < 0.) {
      ++rejected;
      continue;
    }
    out.Refl.push_back(r);
  }
  if (out.Refl.empty())
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::NoReflections), file));
  if (rejected) out.Notes.push_back(fmt::format(fmt::runtime(impmsg::XdsRejected), rejected));
  d = std::move(out);
  return 0;
}

int ReadXds(const std::string& file, ImpData& d, ErrorRecord& err) {
  std::string text;
  if (ImpReadText(file, text, err)) return 1;
  return ReadXdsText(text, file, d, err);
}

int ImpReadXds(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  return ReadXds(req.File, d, err);
}

}  // namespace tarn
