// Flack parameter from the quotients of Friedel opposites.
#include "refine/flack.hpp"

#include <cmath>
#include <map>
#include <utility>

namespace tarn {

namespace {

// Canonical indices of h under the rotations of a phase: the largest h.R.
std::array<int, 3> Canonical(const CalcSymm& sy, const std::array<int, 3>& h) {
  std::array<int, 3> best = h;
  for (const auto& r : sy.R) {
    std::array<int, 3> e{};
    for (int j = 0; j < 3; ++j) {
      double v = 0.;
      for (int i = 0; i < 3; ++i)
        v += h[static_cast<size_t>(i)] * r[static_cast<size_t>(3 * i + j)];
      e[static_cast<size_t>(j)] = static_cast<int>(std::lround(v));
    }
    if (e > best) best = e;
  }
  return best;
}

}  // namespace

int RefFlackParsons(const std::vector<FlackRefl>& refl, const std::vector<CalcSymm>& symm,
                    FlackResult& out) {
  out = FlackResult{};
  // Reflections by phase and canonical indices.
  std::map<std::pair<int, std::array<int, 3>>, size_t> at;
  for (size_t k = 0; k < refl.size(); ++k) {
    const FlackRefl& r = refl[k];
    if (r.Phase < 0 || static_cast<size_t>(r.Phase) >= symm.size()) continue;
    const CalcSymm& sy = symm[static_cast<size_t>(r.Phase)];
    if (sy.Centro) continue;
    at.emplace(std::make_pair(r.Phase, Canonical(sy, r.H)), k);
  }
  // Normal equation of the one-parameter fit dQ = Q(obs) - Q(calc, 0) = a x.
  double saa = 0., say = 0., syy = 0.;
  for (const auto& [key, k] : at) {
    const CalcSymm& sy = symm[static_cast<size_t>(key.first)];
    const std::array<int, 3> m = Canonical(sy, {-key.second[0], -key.second[1], -key.second[2]});
    if (!(key.second > m)) continue;  // centric (m == h), or the pair is taken from its mate
    const auto f = at.find({key.first, m});
    if (f == at.end()) continue;
    const FlackRefl &p = refl[k], &q = refl[f->second];
    if (!(p.I > kFlackSigLim * p.SigI) || !(q.I > kFlackSigLim * q.SigI)) continue;
    const double a = p.I + q.I, c = p.Ic + q.Ic;
    if (!(c > 0.)) continue;
    const double qo = (p.I - q.I) / a, qc = (p.Ic - q.Ic) / c;
    const double sq = std::sqrt(p.SigI * p.SigI + q.SigI * q.SigI) / a;
    const double w = 1. / (sq * sq), d = -2. * qc, y = qo - qc;
    saa += w * d * d;
    say += w * d * y;
    syy += w * y * y;
    ++out.NQuot;
  }
  if (out.NQuot < kFlackMinPairs || !(saa > 0.)) return 1;
  out.X = say / saa;
  // chi^2 = sum w (y - a x)^2 = syy - x say at the minimum.
  const double chi2 = std::max(syy - out.X * say, 0.) / (out.NQuot - 1);
  out.Su = std::sqrt(chi2 / saa);
  return 0;
}

}  // namespace tarn
