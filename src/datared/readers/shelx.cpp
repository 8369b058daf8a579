// SHELX HKLF 3/4/5 fixed-column reflection files.
#include "datared/readers/shelx.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "datared/import_msg.hpp"
#include "model/refl_fmt.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Fortran Fw.d input: a field without a decimal point or exponent has d
// implied decimals ("  1234" read with F8.2 is 12.34); a blank field is zero.
bool GetFortranF(std::string_view f, int d, double& v) {
  if (f.find_first_of(".eE") != std::string_view::npos) return GetR(f, v);
  long long i = 0;
  if (!GetI(f, i)) return false;
  v = static_cast<double>(i) / std::pow(10., d);
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
  ImpLineWalker w(text, 1);
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

}  // namespace

int DRTestNDim(std::string_view text, int prefer_ndim) {
  if (prefer_ndim >= 3 && prefer_ndim <= kReflMaxNDim && ShelxReadsWith(text, prefer_ndim))
    return prefer_ndim;
  for (int n = 3; n <= kReflMaxNDim; ++n)
    if (n != prefer_ndim && ShelxReadsWith(text, n)) return n;
  return 0;
}

int ReadShelxHklText(std::string_view text, const std::string& file, int hklf, int ndim,
                     int prefer_ndim, long first_line, ImpData& d, ErrorRecord& err) {
  if (ndim == 0) ndim = DRTestNDim(text, prefer_ndim);
  if (ndim == 0) {
    // Report the first line that fails with three indices.
    ImpData probe;
    if (ReadShelxHklText(text, file, hklf, 3, 0, first_line, probe, err) == 0)
      return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::NDimUnknown), file));
    return 1;
  }
  ImpData out;
  out.File = file;
  out.NDim = ndim;
  out.OnF = hklf == 3;
  out.Hklf5 = hklf == 5;
  out.Refl.reserve(std::count(text.begin(), text.end(), '\n') + 1);
  ImpLineWalker w(text, first_line);
  std::string_view line;
  std::string what;
  while (w.Next(line)) {
    ImpRefl r;
    const LineKind k = ParseShelxLine(line, ndim, hklf, r, what);
    if (k == LineKind::Error) return ImpReadError(err, file, w.LineNo(), what);
    if (k == LineKind::End) break;
    r.Line = w.LineNo();
    out.Refl.push_back(r);
  }
  if (out.Refl.empty())
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::NoReflections), file));
  // HKLF 5: components with negative batch numbers precede the closing
  // component (positive) of the same reflection; a group cannot stay open.
  if (out.Hklf5 && out.Refl.back().Batch < 0)
    return ImpReadError(err, file, out.Refl.back().Line, std::string(impmsg::Hklf5Open));
  d = std::move(out);
  return 0;
}

int ReadShelxHkl(const std::string& file, int hklf, int ndim, int prefer_ndim, ImpData& d,
                 ErrorRecord& err) {
  std::string text;
  if (ImpReadText(file, text, err)) return 1;
  return ReadShelxHklText(text, file, hklf, ndim, prefer_ndim, 1, d, err);
}

int ImpReadShelx(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  const int code = req.Format ? req.Format->Code : ImpShelxI;
  const int hklf = code == ImpShelxF ? 3 : code == ImpShelxHklf5 ? 5 : 4;
  return ReadShelxHkl(req.File, hklf, req.Opt.NDim, req.PreferNDim, d, err);
}

}  // namespace tarn
