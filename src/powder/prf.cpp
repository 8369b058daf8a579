// The profile file of a fitted pattern.
#include "powder/prf.hpp"

#include <fmt/format.h>

#include <cmath>

#include "model/refl_fmt.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Appends v in a field of the Fortran descriptor, or stars when it does not fit.
void F(std::string& s, double v, int w, int d) {
  char buf[kMaxFieldWidth + 1];
  char* e = PutF(buf, v, w, d);
  s += e != nullptr ? std::string(buf, e) : std::string(static_cast<size_t>(w), '*');
}
void E(std::string& s, double v) {
  char buf[kMaxFieldWidth + 1];
  char* e = PutE(buf, std::isfinite(v) ? v : 0., 15, 6);
  s += e != nullptr ? std::string(buf, e) : std::string(15, '*');
}
void I(std::string& s, long long v, int w) {
  char buf[kMaxFieldWidth + 1];
  char* e = PutI(buf, v, w);
  s += e != nullptr ? std::string(buf, e) : std::string(static_cast<size_t>(w), '*');
}

bool Field(const std::string& l, size_t col, size_t w, double& v) {
  if (col + w > l.size()) return false;
  auto x = ToReal(Trim(std::string_view(l).substr(col, w)));
  if (!x) return false;
  v = *x;
  return true;
}

}  // namespace

std::string PwdMakePrfText(const PwdPatternData& p) {
  std::string s;
  I(s, static_cast<long long>(p.X.size()), 8);
  I(s, static_cast<long long>(p.Refl.size()), 8);
  I(s, static_cast<long long>(p.Phases.size()), 8);
  s += '\n';
  for (size_t i = 0; i < p.X.size(); ++i) {
    F(s, p.X[i], 10, 3);
    E(s, p.Yo[i]);
    E(s, i < p.Yc.size() ? p.Yc[i] : 0.);
    E(s, i < p.Bg.size() ? p.Bg[i] : 0.);
    F(s, p.Sig[i], 10, 3);
    I(s, p.Use.empty() ? 1 : p.Use[i], 5);
    s += '\n';
  }
  for (const auto& r : p.Refl) {
    for (int k = 0; k < 6; ++k) I(s, k < 3 ? r.H[static_cast<size_t>(k)] : r.M[static_cast<size_t>(k - 3)], 4);
    F(s, r.Mult, 5, 0);
    I(s, r.Phase + 1, 4);
    for (int c = 0; c < 2; ++c) {
      const size_t cc = static_cast<size_t>(c);
      const bool on = c < p.NLam;
      F(s, on ? r.Pos[cc] : 0., 10, 4);
      F(s, on ? r.Pk[cc].H : 0., 10, 4);
      F(s, on ? r.Pk[cc].Eta : 0., 10, 4);
      E(s, on ? r.I[cc] : 0.);
    }
    F(s, r.Q > 0. ? 1. / std::sqrt(r.Q) : 0., 12, 6);
    E(s, r.F2Calc);
    E(s, r.F2Obs);
    s += '\n';
  }
  return s;
}

int PwdMakePrfFile(const std::string& file, const PwdPatternData& p) {
  return FeWriteFileAtomic(file, PwdMakePrfText(p)) != 0 ? 1 : 0;
}

int PwdPrfNacti(const std::string& file, PwdPrf& out, ErrorRecord& err) {
  std::string text;
  if (FeReadFile(file, text) != 0) {
    err = ErrorRecord::At(file, 0, kPrfBad);
    return 1;
  }
  std::vector<std::string> lines;
  for (auto& l : SplitOn(text, "\n")) lines.push_back(std::string(TrimRight(l)));
  auto bad = [&](size_t k) {
    err = ErrorRecord::At(file, static_cast<int>(k + 1), kPrfBad, k < lines.size() ? lines[k] : "");
    return 1;
  };
  PwdPrf r;
  double np, nr, nph;
  if (lines.empty() || !Field(lines[0], 0, 8, np) || !Field(lines[0], 8, 8, nr) || !Field(lines[0], 16, 8, nph))
    return bad(0);
  const size_t n = static_cast<size_t>(np), m = static_cast<size_t>(nr);
  if (lines.size() < 1 + n + m) return bad(lines.size());
  r.NPhases = static_cast<int>(nph);
  for (size_t i = 0; i < n; ++i) {
    const auto& l = lines[1 + i];
    double x, yo, yc, bg, s, u;
    if (!Field(l, 0, 10, x) || !Field(l, 10, 15, yo) || !Field(l, 25, 15, yc) || !Field(l, 40, 15, bg) ||
        !Field(l, 55, 10, s) || !Field(l, 65, 5, u))
      return bad(1 + i);
    r.X.push_back(x), r.Yo.push_back(yo), r.Yc.push_back(yc), r.Bg.push_back(bg);
    r.Use.push_back(static_cast<int>(u));
  }
  for (size_t j = 0; j < m; ++j) {
    const auto& l = lines[1 + n + j];
    PwdPrf::Tick t;
    double v[3], ph, pos;
    for (int k = 0; k < 3; ++k)
      if (!Field(l, static_cast<size_t>(4 * k), 4, v[k])) return bad(1 + n + j);
    if (!Field(l, 29, 4, ph) || !Field(l, 33, 10, pos)) return bad(1 + n + j);
    for (int k = 0; k < 3; ++k) t.H[k] = static_cast<int>(v[k]);
    t.Phase = static_cast<int>(ph), t.Pos = pos;
    double mult = 0., d = 0., f2c = 0., f2o = 0.;
    if (Field(l, 24, 5, mult)) t.Mult = static_cast<int>(mult);
    // The fields after the peaks (123 columns), when the file has them.
    if (Field(l, 123, 12, d) && Field(l, 135, 15, f2c) && Field(l, 150, 15, f2o)) {
      t.D = d;
      if (f2c >= 0.) t.F2Calc = f2c;
      if (f2o >= 0.) t.F2Obs = f2o;
    }
    r.Ticks.push_back(t);
  }
  out = std::move(r);
  return 0;
}

}  // namespace tarn
