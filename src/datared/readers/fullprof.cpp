// FullProf single-crystal integrated intensities (.int).
#include "datared/readers/fullprof.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "datared/import_msg.hpp"
#include "util/fortran_format.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr std::string_view FpKind =
    "the file holds data of kind {} (only 0, single-crystal intensities, is imported)";
constexpr std::string_view FpTooManyVectors =
    "at most 3 propagation vectors independent up to sign (found more)";

std::string Cols(const FortranField& f) {
  return fmt::format("columns {}-{}", f.Col + 1, f.Col + f.Width);
}

}  // namespace

int DRBasicFullProfText(std::string_view text, const std::string& file, ImpData& d,
                        ErrorRecord& err) {
  const auto lines = ImpLines(text);
  if (lines.size() < 3)
    return ImpReadError(err, file, static_cast<long>(lines.size()) + 1,
                        lines.size() < 2 ? "expected the Fortran format of the records"
                                         : "expected the wavelength and the data type");
  std::vector<FortranField> all;
  std::string ferr;
  if (ParseFortranFormat(Trim(lines[1]), all, ferr))
    return ImpReadError(err, file, 2, "expected the Fortran format of the records (" + ferr + ")");
  std::vector<FortranField> fields;  // the data fields (I and real), in order
  for (const auto& x : all)
    if (x.Kind != 'X') fields.push_back(x);
  int nint = 0;
  while (nint < static_cast<int>(fields.size()) && fields[nint].Kind == 'I') ++nint;
  if (nint != 3 && nint != 4)
    return ImpReadError(err, file, 2,
                        "expected a format that begins with the integer fields h k l, and the "
                        "number of the propagation vector for satellites");
  if (static_cast<int>(fields.size()) < nint + 2 || fields[nint].Kind != 'R' ||
      fields[nint + 1].Kind != 'R')
    return ImpReadError(err, file, 2,
                        "expected real fields of the value and its sigma after the indices");
  // Line 3: wavelength, data type, kind of data.
  const auto w3 = SplitWords(lines[2]);
  const auto lam = w3.empty() ? std::nullopt : ToReal(w3[0]);
  const auto typ = w3.size() < 2 ? std::nullopt : ToInt(w3[1]);
  if (!lam || !typ || (*typ != 0 && *typ != 1))
    return ImpReadError(err, file, 3,
                        "expected the wavelength and the data type (0 for F^2, 1 for F)");
  if (w3.size() >= 3) {
    const auto kind = ToInt(w3[2]);
    if (!kind) return ImpReadError(err, file, 3, "expected an integer kind of data after the type");
    if (*kind != 0) return ImpReadError(err, file, 3, fmt::format(fmt::runtime(FpKind), *kind));
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
      return ImpReadError(err, file, static_cast<long>(k) + 1,
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
        return ImpReadError(err, file, static_cast<long>(k) + 1,
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
          return ImpReadError(err, file, static_cast<long>(k) + 1, std::string(FpTooManyVectors));
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
      return ImpReadError(err, file, no, fmt::format("expected {} in {}", what, Cols(fields[i])));
    }
    if (present < nint + 2)
      return ImpReadError(err, file, no,
                          fmt::format("expected sigma({}) in {}", val, Cols(fields[nint + 1])));
    ImpRefl r;
    r.Line = no;
    for (int i = 0; i < 3; ++i) {
      if (std::abs(v[i]) > kImpMaxIndex)
        return ImpReadError(
            err, file, no,
            fmt::format("expected an index of at most {} in {}", kImpMaxIndex, Cols(fields[i])));
      r.H[i] = static_cast<int>(v[i]);
    }
    if (nint == 4) {
      const long n = static_cast<long>(v[3]);
      if (n < 1 || n > static_cast<long>(sat.size()))
        return ImpReadError(err, file, no,
                            fmt::format("expected the number of a propagation vector (1-{}) in {}",
                                        sat.size(), Cols(fields[3])));
      if (sat[n - 1][1] != 0) r.H[3 + sat[n - 1][0]] = sat[n - 1][1];
    }
    r.I = v[nint];
    r.SigI = v[nint + 1];
    if (!(r.SigI > 0.))
      return ImpReadError(err, file, no,
                          fmt::format("expected sigma({}) > 0 in {}", val, Cols(fields[nint + 1])));
    out.Refl.push_back(r);
  }
  if (out.Refl.empty()) {
    return ImpFail(err, file, fmt::format(fmt::runtime(impmsg::NoReflections), file));
  }
  d = std::move(out);
  return 0;
}

int DRBasicFullProf(const std::string& file, ImpData& d, ErrorRecord& err) {
  std::string text;
  if (ImpReadText(file, text, err)) return 1;
  return DRBasicFullProfText(text, file, d, err);
}

int ImpReadFullProf(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  return DRBasicFullProf(req.File, d, err);
}

}  // namespace tarn
