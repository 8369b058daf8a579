// Readers of SAINT .raw, FullProf single-crystal .int and XD .hkl files.
#include "datared/readers_extra.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "datared/import_msg.hpp"
#include "util/files.hpp"
#include "util/fortran_format.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace msg {
constexpr std::string_view TwinOpen =
    "the last record of an overlap must have a positive twin component";
constexpr std::string_view FpKind =
    "the file holds data of kind {} (only 0, single-crystal intensities, is imported)";
constexpr std::string_view FpTooManyVectors =
    "at most 3 propagation vectors independent up to sign (found more)";
constexpr std::string_view XdExtra =
    "The {} further items of each record of \"{}\" (after h k l, scale group, value and sigma) "
    "were not imported.";
}  // namespace msg

std::string Cols(const FortranField& f) {
  return fmt::format("columns {}-{}", f.Col + 1, f.Col + f.Width);
}

// The data fields (I and real) of a parsed format, in order.
std::vector<FortranField> DataFields(const std::vector<FortranField>& f) {
  std::vector<FortranField> out;
  for (const auto& x : f)
    if (x.Kind != 'X') out.push_back(x);
  return out;
}

bool IndexOk(double h) {
  return std::abs(h) <= kImpMaxIndex;
}

// ---- SAINT --------------------------------------------------------------------------------

// The fields of a SAINT record that are imported; the others are skipped as
// columns: status and observed x, y (17 columns) before the frame number, the
// 146 columns of predicted position, corrections, angles, counts and keys
// before the twin component.
constexpr std::string_view kSaintTail = "2F8.0,I4,6F8.5,17X,F8.2,146X,I4";

int SaintFields(int nind, std::vector<FortranField>& f) {
  std::string err;
  return ParseFortranFormat(fmt::format("({}I4,{})", nind, kSaintTail), f, err);
}

// True when the first record has a real number in columns 13-20 (I after three
// indices) rather than the integer fields of satellite indices.
bool SaintThreeIndices(std::string_view line) {
  const std::string_view f = line.size() > 12 ? line.substr(12, 8) : std::string_view{};
  return f.find_first_of(".eEdD") != std::string_view::npos;
}

}  // namespace

int ReadSaintRawText(std::string_view text, const std::string& file, int ndim, int prefer_ndim,
                     ImpData& d) {
  const auto lines = ImpLines(text);
  size_t first = 0;
  while (first < lines.size() && (Trim(lines[first]).empty() || lines[first][0] == '!')) ++first;
  if (first == lines.size()) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::NoReflections), file);
    return 1;
  }
  const int nind = SaintThreeIndices(lines[first]) ? 3 : 6;
  if (nind == 3 && ndim > 3) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::NDimMismatch), 3, ndim);
    return 1;
  }
  std::vector<FortranField> all;
  if (SaintFields(nind, all)) return ImpReadError(file, 0, "a valid record layout");
  const auto fields = DataFields(all);
  // Data fields: indices, I, sigma, batch, 6 cosines, frame, twin component.
  const int fi = nind, fs = nind + 1, fb = nind + 2, fc = nind + 3, ff = nind + 9, ft = nind + 10;
  const char* names[] = {"I", "sigma(I)", "a batch number"};
  ImpData out;
  out.File = file;
  out.NoAbsCorr = true;
  int lastsat = 0;  // last satellite column that is not zero anywhere (1..3)
  std::vector<double> v;
  for (size_t k = first; k < lines.size(); ++k) {
    const std::string_view line = lines[k];
    const long no = static_cast<long>(k) + 1;
    if (Trim(line).empty() || line[0] == '!') continue;
    int present = 0;
    const int bad = ReadFortranRecord(line, all, v, present);
    if (bad) {
      const int i = bad - 1;
      std::string what;
      if (i < nind)
        what = "an integer index";
      else if (i < fc)
        what = names[i - fi];
      else if (i < ff)
        what = "a direction cosine";
      else if (i == ff)
        what = "the observed frame number";
      else
        what = "an integer twin component";
      return ImpReadError(file, no, fmt::format("expected {} in {}", what, Cols(fields[i])));
    }
    if (present <= ff)
      return ImpReadError(file, no,
                          fmt::format("expected a record that reaches the observed frame number "
                                      "in {}",
                                      Cols(fields[ff])));
    ImpRefl r;
    r.Line = no;
    for (int i = 0; i < nind; ++i) {
      if (!IndexOk(v[i]))
        return ImpReadError(
            file, no,
            fmt::format("expected an index of at most {} in {}", kImpMaxIndex, Cols(fields[i])));
      r.H[i] = static_cast<int>(v[i]);
      if (i >= 3 && r.H[i] != 0) lastsat = std::max(lastsat, i - 2);
    }
    r.I = v[fi];
    r.SigI = v[fs];
    if (!(r.SigI > 0.))
      return ImpReadError(file, no, fmt::format("expected sigma(I) > 0 in {}", Cols(fields[fs])));
    r.Batch = static_cast<int>(v[fb]);
    std::copy(v.begin() + fc, v.begin() + ff, r.DirCos);
    r.HasDirCos = true;
    r.Frame = v[ff];
    if (present > ft && v[ft] != 0.) {
      r.Domain = static_cast<int>(v[ft]);
      out.TwinDomains = true;
    }
    out.Refl.push_back(r);
  }
  if (out.Refl.empty()) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::NoReflections), file);
    return 1;
  }
  if (out.TwinDomains && out.Refl.back().Domain < 0)
    return ImpReadError(file, out.Refl.back().Line, msg::TwinOpen);
  // Dimension: three indices, or 3 + the satellite indices in use.
  if (nind == 3) {
    out.NDim = 3;
  } else if (ndim >= 3 && ndim <= 6) {
    out.NDim = ndim;
  } else if (prefer_ndim >= 3 && prefer_ndim <= 6 && lastsat <= prefer_ndim - 3) {
    out.NDim = prefer_ndim;
  } else {
    out.NDim = 3 + std::max(lastsat, 1);
  }
  if (lastsat > out.NDim - 3)
    for (const ImpRefl& r : out.Refl)
      for (int i = out.NDim; i < 6; ++i)
        if (r.H[i] != 0)
          return ImpReadError(file, r.Line,
                              fmt::format("expected satellite index {} to be 0 for {} indices "
                                          "in {}",
                                          i - 2, out.NDim, Cols(fields[i])));
  d = std::move(out);
  return 0;
}

int ReadSaintRaw(const std::string& file, int ndim, int prefer_ndim, ImpData& d) {
  std::string text;
  if (ImpReadText(file, text)) return 1;
  return ReadSaintRawText(text, file, ndim, prefer_ndim, d);
}

// ---- FullProf -----------------------------------------------------------------------------

int DRBasicFullProfText(std::string_view text, const std::string& file, ImpData& d) {
  const auto lines = ImpLines(text);
  if (lines.size() < 3)
    return ImpReadError(file, static_cast<long>(lines.size()) + 1,
                        lines.size() < 2 ? "expected the Fortran format of the records"
                                         : "expected the wavelength and the data type");
  std::vector<FortranField> all;
  std::string err;
  if (ParseFortranFormat(Trim(lines[1]), all, err))
    return ImpReadError(file, 2, "expected the Fortran format of the records (" + err + ")");
  const auto fields = DataFields(all);
  int nint = 0;
  while (nint < static_cast<int>(fields.size()) && fields[nint].Kind == 'I') ++nint;
  if (nint != 3 && nint != 4)
    return ImpReadError(file, 2,
                        "expected a format that begins with the integer fields h k l, and the "
                        "number of the propagation vector for satellites");
  if (static_cast<int>(fields.size()) < nint + 2 || fields[nint].Kind != 'R' ||
      fields[nint + 1].Kind != 'R')
    return ImpReadError(file, 2,
                        "expected real fields of the value and its sigma after the indices");
  // Line 3: wavelength, data type, kind of data.
  const auto w3 = SplitWords(lines[2]);
  const auto lam = w3.empty() ? std::nullopt : ToReal(w3[0]);
  const auto typ = w3.size() < 2 ? std::nullopt : ToInt(w3[1]);
  if (!lam || !typ || (*typ != 0 && *typ != 1))
    return ImpReadError(file, 3, "expected the wavelength and the data type (0 for F^2, 1 for F)");
  if (w3.size() >= 3) {
    const auto kind = ToInt(w3[2]);
    if (!kind) return ImpReadError(file, 3, "expected an integer kind of data after the type");
    if (*kind != 0) return ImpReadError(file, 3, fmt::format(fmt::runtime(msg::FpKind), *kind));
  }
  ImpData out;
  out.File = file;
  out.OnF = *typ == 1;
  if (*lam > 0.) out.Lambda = *lam;
  size_t k = 3;
  // Propagation vectors: vector n is +-q_j (sat[n] = {j, sign}), or zero.
  std::vector<std::array<double, 3>> q;
  std::vector<std::array<int, 2>> sat;
  if (nint == 4) {
    const auto nk = k < lines.size() ? ToInt(lines[k]) : std::nullopt;
    if (!nk || *nk < 1 || *nk > 99)
      return ImpReadError(file, static_cast<long>(k) + 1,
                          "expected the number of propagation vectors");
    ++k;
    for (long n = 1; n <= *nk; ++n, ++k) {
      const auto w = k < lines.size() ? SplitWords(lines[k]) : std::vector<std::string>{};
      std::array<double, 3> kv{};
      bool ok = w.size() == 4 && ToInt(w[0]) == n;
      for (int i = 0; ok && i < 3; ++i) {
        const auto x = ToReal(w[i + 1]);
        ok = x.has_value();
        if (ok) kv[i] = *x;
      }
      if (!ok)
        return ImpReadError(file, static_cast<long>(k) + 1,
                            fmt::format("expected propagation vector {} as \"{} k1 k2 k3\"", n, n));
      const bool zero =
          std::all_of(kv.begin(), kv.end(), [](double x) { return std::abs(x) <= kPropVecTol; });
      std::array<int, 2> s = {0, 0};
      for (size_t j = 0; !zero && j < q.size() && s[1] == 0; ++j)
        for (int sg : {1, -1}) {
          bool same = true;
          for (int i = 0; i < 3; ++i) same = same && std::abs(kv[i] - sg * q[j][i]) <= kPropVecTol;
          if (same) {
            s = {static_cast<int>(j), sg};
            break;
          }
        }
      if (!zero && s[1] == 0) {
        if (q.size() == 3)
          return ImpReadError(file, static_cast<long>(k) + 1, msg::FpTooManyVectors);
        q.push_back(kv);
        s = {static_cast<int>(q.size()) - 1, 1};
      }
      sat.push_back(s);
    }
  }
  out.NDim = 3 + static_cast<int>(q.size());
  for (const auto& x : q) out.QVec.insert(out.QVec.end(), x.begin(), x.end());
  const char* val = out.OnF ? "F" : "F^2";
  std::vector<double> v;
  for (; k < lines.size(); ++k) {
    const std::string_view line = lines[k];
    const long no = static_cast<long>(k) + 1;
    if (Trim(line).empty() || Trim(line)[0] == '!') continue;
    int present = 0;
    const int bad = ReadFortranRecord(line, all, v, present);
    if (bad) {
      const int i = bad - 1;
      const std::string what = i < 3           ? "an integer index"
                               : i < nint      ? "the number of a propagation vector"
                               : i == nint     ? std::string(val)
                               : i == nint + 1 ? fmt::format("sigma({})", val)
                                               : "a number";
      return ImpReadError(file, no, fmt::format("expected {} in {}", what, Cols(fields[i])));
    }
    if (present < nint + 2)
      return ImpReadError(file, no,
                          fmt::format("expected sigma({}) in {}", val, Cols(fields[nint + 1])));
    ImpRefl r;
    r.Line = no;
    for (int i = 0; i < 3; ++i) {
      if (!IndexOk(v[i]))
        return ImpReadError(
            file, no,
            fmt::format("expected an index of at most {} in {}", kImpMaxIndex, Cols(fields[i])));
      r.H[i] = static_cast<int>(v[i]);
    }
    if (nint == 4) {
      const long n = static_cast<long>(v[3]);
      if (n < 1 || n > static_cast<long>(sat.size()))
        return ImpReadError(file, no,
                            fmt::format("expected the number of a propagation vector (1-{}) in {}",
                                        sat.size(), Cols(fields[3])));
      if (sat[n - 1][1] != 0) r.H[3 + sat[n - 1][0]] = sat[n - 1][1];
    }
    r.I = v[nint];
    r.SigI = v[nint + 1];
    if (!(r.SigI > 0.))
      return ImpReadError(file, no,
                          fmt::format("expected sigma({}) > 0 in {}", val, Cols(fields[nint + 1])));
    out.Refl.push_back(r);
  }
  if (out.Refl.empty()) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::NoReflections), file);
    return 1;
  }
  d = std::move(out);
  return 0;
}

int DRBasicFullProf(const std::string& file, ImpData& d) {
  std::string text;
  if (ImpReadText(file, text)) return 1;
  return DRBasicFullProfText(text, file, d);
}

// ---- XD -----------------------------------------------------------------------------------

int DRBasicRefXDText(std::string_view text, const std::string& file, ImpData& d) {
  const auto lines = ImpLines(text);
  size_t k = 0;
  while (k < lines.size() && Trim(lines[k]).empty()) ++k;
  const auto h = k < lines.size() ? SplitWords(lines[k]) : std::vector<std::string>{};
  const auto ndat = h.size() == 4 ? ToInt(h[3]) : std::nullopt;
  const bool f2 = h.size() == 4 && EqIgnoreCase(h[1], "F^2");
  const bool f1 = h.size() == 4 && EqIgnoreCase(h[1], "F");
  if (!ndat || !EqIgnoreCase(h[2], "NDAT") || (!f1 && !f2) || *ndat < 6 || *ndat > 100)
    return ImpReadError(file, static_cast<long>(k) + 1,
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
      return ImpReadError(file, no, fmt::format("expected {} items (NDAT), found {}", n, w.size()));
    ImpRefl r;
    r.Line = no;
    for (int i = 0; i < 3; ++i) {
      const auto x = ToInt(w[i]);
      if (!x || std::llabs(*x) > kImpMaxIndex)
        return ImpReadError(
            file, no,
            fmt::format("expected an integer index of at most {} as item {}", kImpMaxIndex, i + 1));
      r.H[i] = static_cast<int>(*x);
    }
    const auto sg = ToInt(w[3]);
    if (!sg || *sg < 0 || *sg > 9999)
      return ImpReadError(file, no, "expected the scale group as item 4");
    r.Batch = static_cast<int>(*sg);
    const auto y = ToReal(w[4]), s = ToReal(w[5]);
    if (!y) return ImpReadError(file, no, fmt::format("expected {} as item 5", val));
    if (!s || !(*s > 0.))
      return ImpReadError(file, no, fmt::format("expected sigma({}) > 0 as item 6", val));
    r.I = *y;
    r.SigI = *s;
    for (int i = 6; i < n; ++i)
      if (!ToReal(w[i]))
        return ImpReadError(file, no, fmt::format("expected a number as item {}", i + 1));
    out.Refl.push_back(r);
  }
  if (out.Refl.empty()) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::NoReflections), file);
    return 1;
  }
  if (n > 6) out.Notes.push_back(fmt::format(fmt::runtime(msg::XdExtra), n - 6, file));
  d = std::move(out);
  return 0;
}

int DRBasicRefXD(const std::string& file, ImpData& d) {
  std::string text;
  if (ImpReadText(file, text)) return 1;
  return DRBasicRefXDText(text, file, d);
}

}  // namespace tarn
