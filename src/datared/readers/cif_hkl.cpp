// Reflections from a CIF: the embedded SHELX text or a refln loop.
#include "datared/readers/cif_hkl.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>

#include "datared/import_msg.hpp"
#include "datared/readers/shelx.hpp"
#include "model/refl_fmt.hpp"
#include "util/cif_syntax.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Column of a tag among loop tags, either "_refln_x" or "_refln.x"; -1 when absent.
int TagCol(const std::vector<std::string>& tags, std::string_view cat, std::string_view item) {
  for (size_t i = 0; i < tags.size(); ++i) {
    const std::string& t = tags[i];
    if (t.size() == cat.size() + item.size() + 1 && StartsWithIgnoreCase(t, cat) &&
        (t[cat.size()] == '_' || t[cat.size()] == '.') &&
        EqIgnoreCase(std::string_view(t).substr(cat.size() + 1), item))
      return static_cast<int>(i);
  }
  return -1;
}

// The refln loop of a block, read into d; 1 with the message on error, -1
// when there is no such loop.
int CifReflnLoop(const CifBlock& blk, const std::string& file, ImpData& d, ErrorRecord& err) {
  for (const CifLoop& lp : blk.Loops) {
    const std::vector<std::string>& tags = lp.Names;
    const long loop_line = lp.Line;
    for (std::string_view cat : {"_refln", "_diffrn_refln"}) {
      const int ch = TagCol(tags, cat, "index_h"), ck = TagCol(tags, cat, "index_k"),
                cl = TagCol(tags, cat, "index_l");
      if (ch < 0 || ck < 0 || cl < 0) continue;
      std::vector<int> hc{ch, ck, cl};
      int cm = TagCol(tags, cat, "index_m");
      if (cm >= 0) hc.push_back(cm);
      for (int m = 1; cm < 0 && m <= kReflMaxNDim - 3; ++m) {
        const int c = TagCol(tags, cat, fmt::format("index_m_{}", m));
        if (c < 0) break;
        hc.push_back(c);
      }
      int ci = -1, cs = -1;
      bool on_f = false;
      const std::pair<const char*, const char*> pairs[] = {{"F_squared_meas", "F_squared_sigma"},
                                                           {"intensity_meas", "intensity_sigma"},
                                                           {"intensity_net", "intensity_sigma"},
                                                           {"F_meas", "F_sigma"}};
      for (size_t p = 0; p < std::size(pairs) && ci < 0; ++p) {
        ci = TagCol(tags, cat, pairs[p].first);
        cs = TagCol(tags, cat, pairs[p].second);
        if (ci < 0 || cs < 0) ci = cs = -1;
        on_f = p == 3;
      }
      if (ci < 0) continue;
      const size_t nt = tags.size();
      if (lp.Rows.empty() || !lp.Trailing.empty())
        return ImpReadError(
            err, file, lp.Trailing.empty() ? loop_line : lp.Trailing.back().Line,
            fmt::format("expected {} values per reflection in the loop starting at line {}", nt,
                        loop_line));
      ImpData out;
      out.File = file;
      out.NDim = static_cast<int>(hc.size());
      out.OnF = on_f;
      for (const auto& row : lp.Rows) {
        ImpRefl r;
        r.Line = row[0].Line;
        for (size_t q = 0; q < hc.size(); ++q) {
          const CifValue& t = row[static_cast<size_t>(hc[q])];
          long long h = 0;
          if (!GetI(t.Text, h) || std::llabs(h) > kImpMaxIndex)
            return ImpReadError(err, file, t.Line,
                                fmt::format("expected an integer index in \"{}\"", tags[hc[q]]));
          r.H[q] = static_cast<int>(h);
        }
        const CifValue& ti = row[static_cast<size_t>(ci)];
        const CifValue& ts = row[static_cast<size_t>(cs)];
        if (!CifNumber(ti.Text, r.I) || Trim(ti.Text).empty())
          return ImpReadError(err, file, ti.Line,
                              fmt::format("expected a number in \"{}\"", tags[ci]));
        if (!CifNumber(ts.Text, r.SigI) || !(r.SigI > 0.))
          return ImpReadError(err, file, ts.Line,
                              fmt::format("expected a positive number in \"{}\"", tags[cs]));
        out.Refl.push_back(r);
      }
      d = std::move(out);
      return 0;
    }
  }
  return -1;
}

// Value of a single-valued tag ("_cell_length_a 7.719(1)").
bool CifTagValue(const CifBlock& blk, std::string_view tag, double& v) {
  const CifValue* x = blk.Find(tag);
  return x && CifNumber(x->Text, v);
}

// HKLF code of a SHELX instruction text (the embedded .res); 4 when absent.
int HklfOfRes(std::string_view res) {
  ImpLineWalker w(res, 1);
  std::string_view line;
  while (w.Next(line)) {
    const auto words = SplitWords(line);
    if (words.size() >= 2 && EqIgnoreCase(words[0], "HKLF")) {
      const auto n = ToInt(words[1]);
      if (n && (*n == 3 || *n == 4 || *n == 5)) return static_cast<int>(*n);
    }
  }
  return 4;
}

}  // namespace

int ReadCifHklText(std::string_view text, const std::string& file, int prefer_ndim, ImpData& d,
                   ErrorRecord& err) {
  // Loops without a data block and loops cut short are reported by the
  // reflection reader itself, with its own message.
  CifFile cif;
  ErrorRecord serr;
  CifParseOptions opt;
  opt.ImplicitBlock = true;
  opt.KeepShortLoops = true;
  if (CifParse(text, file, cif, serr, opt))
    return ImpReadError(err, file, serr.Line, std::string(MsgCifSyntax) + " Expected " + serr.Message);
  ImpData out;
  const CifBlock* blk = nullptr;
  const CifValue *hkl = nullptr, *res = nullptr;
  for (const auto& b : cif.Blocks)
    if (const CifValue* v = b.Find("_shelx_hkl_file")) {
      blk = &b;
      hkl = v;
      res = b.Find("_shelx_res_file");
      break;
    }
  if (hkl) {
    const CifValue& t = *hkl;
    if (t.Kind != CifValue::TextField)
      return ImpReadError(err, file, t.Line,
                          "expected a text field between \";\" lines after \"_shelx_hkl_file\"");
    const int hklf = res ? HklfOfRes(res->Text) : 4;
    // The field's first line is the rest of the opening ";" line; when blank
    // it is not data (a blank line would end the reflections).
    std::string_view body = t.Text;
    long first = t.Line;
    const size_t nl = body.find('\n');
    if (Trim(body.substr(0, nl)).empty()) {
      body.remove_prefix(std::min(body.size(), nl + 1));
      ++first;
    }
    if (ReadShelxHklText(body, file, hklf, 0, prefer_ndim, first, out, err)) return 1;
  } else {
    int rc = -1;
    for (const auto& b : cif.Blocks) {
      rc = CifReflnLoop(b, file, out, err);
      if (rc >= 0) {
        blk = &b;
        break;
      }
    }
    if (rc > 0) return 1;
    if (rc < 0) return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::CifNoData), file));
  }
  static constexpr const char* kCellTags[6] = {"_cell_length_a",   "_cell_length_b",
                                               "_cell_length_c",   "_cell_angle_alpha",
                                               "_cell_angle_beta", "_cell_angle_gamma"};
  std::vector<double> cell(6);
  bool have_cell = true;
  for (int i = 0; i < 6; ++i) have_cell = have_cell && CifTagValue(*blk, kCellTags[i], cell[i]);
  if (have_cell) out.Cell = cell;
  double lambda = 0.;
  if (CifTagValue(*blk, "_diffrn_radiation_wavelength", lambda) && lambda > 0.) out.Lambda = lambda;
  d = std::move(out);
  return 0;
}

int ReadCifHkl(const std::string& file, int prefer_ndim, ImpData& d, ErrorRecord& err) {
  std::string text;
  if (ImpReadText(file, text, err)) return 1;
  return ReadCifHklText(text, file, prefer_ndim, d, err);
}

int ImpReadCif(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  return ReadCifHkl(req.File, req.PreferNDim, d, err);
}

}  // namespace tarn
