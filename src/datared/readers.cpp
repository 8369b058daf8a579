// Readers of reflection files: SHELX HKLF 3/4/5 fixed columns, CIF/.fcf
// (embedded SHELX text or refln loop), XDS and general free-format files.
#include "datared/readers.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "datared/import_msg.hpp"
#include "util/files.hpp"
#include "model/refl_fmt.hpp"
#include "util/cif_syntax.hpp"
#include "util/strings.hpp"

namespace tarn {

ImpState Imp;

int ImpReadError(const std::string& file, long line, std::string_view what) {
  Imp.LastError = fmt::format(fmt::runtime(impmsg::ReadError), file, line, what);
  return 1;
}

namespace {

// Walks a text line by line; the views exclude "\n" and a trailing "\r".
class LineWalker {
 public:
  LineWalker(std::string_view text, long first_line) : t_(text), no_(first_line - 1) {}
  bool Next(std::string_view& line) {
    if (pos_ >= t_.size()) return false;
    size_t e = t_.find('\n', pos_);
    if (e == std::string_view::npos) e = t_.size();
    line = t_.substr(pos_, e - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos_ = e + 1;
    ++no_;
    return true;
  }
  long LineNo() const { return no_; }
  size_t Pos() const { return std::min(pos_, t_.size()); }

 private:
  std::string_view t_;
  size_t pos_ = 0;
  long no_;
};

// Fortran Fw.d input: a field without a decimal point or exponent has d
// implied decimals ("  1234" read with F8.2 is 12.34); a blank field is zero.
bool GetFortranF(std::string_view f, int d, double& v) {
  if (f.find_first_of(".eE") != std::string_view::npos) return GetR(f, v);
  long long i = 0;
  if (!GetI(f, i)) return false;
  v = static_cast<double>(i) / std::pow(10., d);
  return true;
}

// A free-format real (whole word, finite); fixed fields go through GetR.
bool FreeReal(std::string_view s, double& v) {
  const auto r = ToReal(s);
  if (!r) return false;
  v = *r;
  return true;
}

bool IsBlank(std::string_view s) {
  return Trim(s).empty();
}

std::string Cols(size_t a, size_t w) {
  return fmt::format("columns {}-{}", a + 1, a + w);
}

// Result of reading one fixed-column SHELX line.
enum class LineKind { Record, End, Error };

// One line of (ndim)I4,2F8.2,I4[,6F8.5]; on error `what` says what was expected.
LineKind ParseShelxLine(std::string_view line, int ndim, int hklf, ImpRefl& r, std::string& what) {
  bool all_zero = true;
  for (int i = 0; i < ndim; ++i) {
    long long h = 0;
    if (!GetI(Field(line, 4 * i, 4), h)) {
      what = "expected an integer index in " + Cols(4 * i, 4);
      return LineKind::Error;
    }
    if (std::llabs(h) > kImpMaxIndex) {
      what = fmt::format("expected an index of at most {} in {}", kImpMaxIndex, Cols(4 * i, 4));
      return LineKind::Error;
    }
    r.H[i] = static_cast<int>(h);
    all_zero = all_zero && h == 0;
  }
  if (all_zero) return LineKind::End;
  const size_t ci = 4 * ndim, cs = ci + 8, cb = cs + 8, cd = cb + 4;
  const char* val = hklf == 3 ? "F" : "I";
  if (IsBlank(Field(line, ci, 8)) || !GetFortranF(Field(line, ci, 8), 2, r.I)) {
    what = fmt::format("expected {} as a number in {}", val, Cols(ci, 8));
    return LineKind::Error;
  }
  if (IsBlank(Field(line, cs, 8)) || !GetFortranF(Field(line, cs, 8), 2, r.SigI)) {
    what = fmt::format("expected sigma({}) as a number in {}", val, Cols(cs, 8));
    return LineKind::Error;
  }
  if (!(r.SigI > 0.)) {
    what = fmt::format("expected sigma({}) > 0 in {}", val, Cols(cs, 8));
    return LineKind::Error;
  }
  long long b = 0;
  if (!GetI(Field(line, cb, 4), b)) {
    what = "expected an integer batch number in " + Cols(cb, 4);
    return LineKind::Error;
  }
  r.Batch = static_cast<int>(b);
  if (hklf == 5 && b == 0) {
    what = "expected a non-zero twin component in " + Cols(cb, 4);
    return LineKind::Error;
  }
  r.HasDirCos = false;
  std::string_view rest = line.size() > cd ? line.substr(cd) : std::string_view{};
  if (!IsBlank(rest)) {
    // Direction cosines, six F8.5 fields after the batch number.
    bool ok = hklf != 5 && TrimRight(rest).size() >= 41;
    for (int j = 0; ok && j < 6; ++j) ok = GetFortranF(Field(rest, 8 * j, 8), 5, r.DirCos[j]);
    if (!ok) {
      what = "expected six direction cosines in " + Cols(cd, 48);
      return LineKind::Error;
    }
    r.HasDirCos = true;
  }
  return LineKind::Record;
}

// True when the first data lines of text read as SHELX lines with ndim indices.
bool ShelxReadsWith(std::string_view text, int ndim) {
  LineWalker w(text, 1);
  std::string_view line;
  std::string what;
  int n = 0;
  while (n < kImpNDimTestLines && w.Next(line)) {
    ImpRefl r;
    const LineKind k = ParseShelxLine(line, ndim, 4, r, what);
    if (k == LineKind::Error) return false;
    if (k == LineKind::End) break;
    ++n;
  }
  return n > 0;
}

std::string_view Before(std::string_view s, char c) {
  const size_t p = s.find(c);
  return p == std::string_view::npos ? s : s.substr(0, p);
}

}  // namespace

int ImpReadText(const std::string& file, std::string& text) {
  if (FeReadFile(file, text)) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::CannotOpen), file);
    return 1;
  }
  return 0;
}

std::vector<std::string_view> ImpLines(std::string_view t) {
  std::vector<std::string_view> out;
  size_t p = 0;
  while (p < t.size()) {
    size_t e = t.find('\n', p);
    if (e == std::string_view::npos) e = t.size();
    std::string_view l = t.substr(p, e - p);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    out.push_back(l);
    p = e + 1;
  }
  return out;
}

// ---- SHELX --------------------------------------------------------------------------

int DRTestNDim(std::string_view text, int prefer_ndim) {
  if (prefer_ndim >= 3 && prefer_ndim <= kReflMaxNDim && ShelxReadsWith(text, prefer_ndim))
    return prefer_ndim;
  for (int n = 3; n <= kReflMaxNDim; ++n)
    if (n != prefer_ndim && ShelxReadsWith(text, n)) return n;
  return 0;
}

int ReadShelxHklText(std::string_view text, const std::string& file, int hklf, int ndim,
                     int prefer_ndim, long first_line, ImpData& d) {
  if (ndim == 0) ndim = DRTestNDim(text, prefer_ndim);
  if (ndim == 0) {
    // Report the first line that fails with three indices.
    ImpData probe;
    if (ReadShelxHklText(text, file, hklf, 3, 0, first_line, probe) == 0)
      Imp.LastError = fmt::format(fmt::runtime(impmsg::NDimUnknown), file);
    return 1;
  }
  ImpData out;
  out.File = file;
  out.NDim = ndim;
  out.OnF = hklf == 3;
  out.Hklf5 = hklf == 5;
  out.Refl.reserve(std::count(text.begin(), text.end(), '\n') + 1);
  LineWalker w(text, first_line);
  std::string_view line;
  std::string what;
  while (w.Next(line)) {
    ImpRefl r;
    const LineKind k = ParseShelxLine(line, ndim, hklf, r, what);
    if (k == LineKind::Error) return ImpReadError(file, w.LineNo(), what);
    if (k == LineKind::End) break;
    r.Line = w.LineNo();
    out.Refl.push_back(r);
  }
  if (out.Refl.empty()) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::NoReflections), file);
    return 1;
  }
  // HKLF 5: components with negative batch numbers precede the closing
  // component (positive) of the same reflection; a group cannot stay open.
  if (out.Hklf5 && out.Refl.back().Batch < 0) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::Hklf5Open), file, out.Refl.back().Line);
    return 1;
  }
  d = std::move(out);
  return 0;
}

int ReadShelxHkl(const std::string& file, int hklf, int ndim, int prefer_ndim, ImpData& d) {
  std::string text;
  if (ImpReadText(file, text)) return 1;
  return ReadShelxHklText(text, file, hklf, ndim, prefer_ndim, 1, d);
}

// ---- CIF ------------------------------------------------------------------------------

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
int CifReflnLoop(const CifBlock& blk, const std::string& file, ImpData& d) {
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
            file, lp.Trailing.empty() ? loop_line : lp.Trailing.back().Line,
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
            return ImpReadError(file, t.Line,
                                fmt::format("expected an integer index in \"{}\"", tags[hc[q]]));
          r.H[q] = static_cast<int>(h);
        }
        const CifValue& ti = row[static_cast<size_t>(ci)];
        const CifValue& ts = row[static_cast<size_t>(cs)];
        if (!CifNumber(ti.Text, r.I) || IsBlank(ti.Text))
          return ImpReadError(file, ti.Line, fmt::format("expected a number in \"{}\"", tags[ci]));
        if (!CifNumber(ts.Text, r.SigI) || !(r.SigI > 0.))
          return ImpReadError(file, ts.Line,
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
  LineWalker w(res, 1);
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

int ReadCifHklText(std::string_view text, const std::string& file, int prefer_ndim, ImpData& d) {
  // Loops without a data block and loops cut short are reported by the
  // reflection reader itself, with its own message.
  CifFile cif;
  ErrorRecord err;
  CifParseOptions opt;
  opt.ImplicitBlock = true;
  opt.KeepShortLoops = true;
  if (CifParse(text, file, cif, err, opt))
    return ImpReadError(file, err.Line, std::string(MsgCifSyntax) + " Expected " + err.Message);
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
      return ImpReadError(file, t.Line,
                          "expected a text field between \";\" lines after \"_shelx_hkl_file\"");
    const int hklf = res ? HklfOfRes(res->Text) : 4;
    // The field's first line is the rest of the opening ";" line; when blank
    // it is not data (a blank line would end the reflections).
    std::string_view body = t.Text;
    long first = t.Line;
    if (IsBlank(Before(body, '\n'))) {
      body.remove_prefix(std::min(body.size(), body.find('\n') + 1));
      ++first;
    }
    if (ReadShelxHklText(body, file, hklf, 0, prefer_ndim, first, out)) return 1;
  } else {
    int rc = -1;
    for (const auto& b : cif.Blocks) {
      rc = CifReflnLoop(b, file, out);
      if (rc >= 0) {
        blk = &b;
        break;
      }
    }
    if (rc > 0) return 1;
    if (rc < 0) {
      Imp.LastError = fmt::format(fmt::runtime(impmsg::CifNoData), file);
      return 1;
    }
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

int ReadCifHkl(const std::string& file, int prefer_ndim, ImpData& d) {
  std::string text;
  if (ImpReadText(file, text)) return 1;
  return ReadCifHklText(text, file, prefer_ndim, d);
}

// ---- XDS ------------------------------------------------------------------------------

namespace {

// n numbers after the "=" of a header record.
bool XdsNumbers(std::string_view line, size_t n, double* v) {
  const size_t eq = line.find('=');
  const auto w = SplitWords(line.substr(eq + 1));
  if (w.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (!FreeReal(w[i], v[i])) return false;
  return true;
}

}  // namespace

int DRBasicXDS(std::string_view text, const std::string& file, ImpData& d, size_t& data_start,
               long& data_line) {
  LineWalker w(text, 1);
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
        return ImpReadError(file, w.LineNo(), "expected the wavelength after \"=\"");
    } else if (StartsWithIgnoreCase(line, "!UNIT_CELL_CONSTANTS=")) {
      cell.assign(6, 0.);
      if (!XdsNumbers(line, 6, cell.data()))
        return ImpReadError(file, w.LineNo(), "expected six cell parameters after \"=\"");
    } else {
      for (int i = 0; i < 3; ++i)
        if (StartsWithIgnoreCase(line, kAxis[i])) {
          if (!XdsNumbers(line, 3, axes[i]))
            return ImpReadError(file, w.LineNo(), "expected three axis components after \"=\"");
          present += i == 0 ? 1 : i == 1 ? 10 : 100;
        }
    }
  }
  Imp.LastError = std::string(impmsg::XdsNoEnd);
  return 1;
}

int ReadXdsText(std::string_view text, const std::string& file, ImpData& d) {
  ImpData out;
  out.File = file;
  size_t start = 0;
  long line0 = 0;
  if (DRBasicXDS(text, file, out, start, line0)) return 1;
  // Columns (1-based) of the items; INTEGRATE.HKL gives no ITEM_ records and
  // has H K L IOBS SIGMA XCAL YCAL ZCAL first.
  int nitems = 0, ch = 1, ck = 2, cl = 3, ci = 4, cs = 5, cz = 8;
  {
    LineWalker w(text.substr(0, start), 1);
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
            return ImpReadError(file, w.LineNo(), "expected a column number after \"=\"");
          *col = static_cast<int>(v);
        }
  }
  const int need = std::max({ch, ck, cl, ci, cs, 5});
  LineWalker w(text.substr(start), line0 + 1);
  std::string_view line;
  int rejected = 0;
  while (w.Next(line)) {
    if (!line.empty() && line[0] == '!') {
      if (StartsWithIgnoreCase(line, "!END_OF_DATA")) break;
      continue;
    }
    if (IsBlank(line)) continue;
    const auto words = SplitWords(line);
    if (static_cast<int>(words.size()) < need ||
        (nitems > 0 && static_cast<int>(words.size()) != nitems))
      return ImpReadError(
          file, w.LineNo(),
          fmt::format("expected {} items in the record", nitems > 0 ? nitems : need));
    ImpRefl r;
    r.Line = w.LineNo();
    const int hc[3] = {ch, ck, cl};
    for (int q = 0; q < 3; ++q) {
      long long h = 0;
      if (!GetI(words[hc[q] - 1], h) || std::llabs(h) > kImpMaxIndex)
        return ImpReadError(file, w.LineNo(),
                            fmt::format("expected an integer index in item {}", hc[q]));
      r.H[q] = static_cast<int>(h);
    }
    if (!FreeReal(words[ci - 1], r.I))
      return ImpReadError(file, w.LineNo(),
                          fmt::format("expected IOBS as a number in item {}", ci));
    if (!FreeReal(words[cs - 1], r.SigI) || r.SigI == 0.)
      return ImpReadError(file, w.LineNo(),
                          fmt::format("expected SIGMA as a non-zero number in item {}", cs));
    if (cz <= static_cast<int>(words.size()) && !FreeReal(words[cz - 1], r.Frame))
      return ImpReadError(file, w.LineNo(), fmt::format("expected a number in item {}", cz));
    // XDS marks rejected (misfit) reflections by a negative sigma.
    if (r.SigI < 0.) {
      ++rejected;
      continue;
    }
    out.Refl.push_back(r);
  }
  if (out.Refl.empty()) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::NoReflections), file);
    return 1;
  }
  if (rejected) out.Notes.push_back(fmt::format(fmt::runtime(impmsg::XdsRejected), rejected));
  d = std::move(out);
  return 0;
}

int ReadXds(const std::string& file, ImpData& d) {
  std::string text;
  if (ImpReadText(file, text)) return 1;
  return ReadXdsText(text, file, d);
}

// ---- general free format ----------------------------------------------------------------

int ReadGeneralText(std::string_view text, const std::string& file, const GeneralColumns& col,
                    bool on_f, ImpData& d) {
  ImpData out;
  out.File = file;
  out.NDim = col.NDim;
  out.OnF = on_f;
  int need = std::max(col.I, col.Sig);
  for (int q = 0; q < col.NDim; ++q) need = std::max(need, col.H[q]);
  LineWalker w(text, 1);
  std::string_view line;
  const char* val = on_f ? "F" : "I";
  while (w.Next(line)) {
    const std::string_view t = Trim(line);
    if (t.empty() || t[0] == '#' || t[0] == '!') continue;
    const auto words = SplitWords(t);
    if (static_cast<int>(words.size()) < need)
      return ImpReadError(file, w.LineNo(), fmt::format("expected at least {} columns", need));
    ImpRefl r;
    r.Line = w.LineNo();
    for (int q = 0; q < col.NDim; ++q) {
      long long h = 0;
      if (!GetI(words[col.H[q] - 1], h) || std::llabs(h) > kImpMaxIndex)
        return ImpReadError(file, w.LineNo(),
                            fmt::format("expected an integer index in column {}", col.H[q]));
      r.H[q] = static_cast<int>(h);
    }
    if (!FreeReal(words[col.I - 1], r.I))
      return ImpReadError(file, w.LineNo(),
                          fmt::format("expected {} as a number in column {}", val, col.I));
    if (!FreeReal(words[col.Sig - 1], r.SigI) || !(r.SigI > 0.))
      return ImpReadError(file, w.LineNo(),
                          fmt::format("expected sigma({}) > 0 in column {}", val, col.Sig));
    out.Refl.push_back(r);
  }
  if (out.Refl.empty()) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::NoReflections), file);
    return 1;
  }
  d = std::move(out);
  return 0;
}

int ReadGeneral(const std::string& file, const GeneralColumns& col, bool on_f, ImpData& d) {
  std::string text;
  if (ImpReadText(file, text)) return 1;
  return ReadGeneralText(text, file, col, on_f, d);
}

}  // namespace tarn
