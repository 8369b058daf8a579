// Satellite reflections of modulated phases in a powder pattern.
#include <algorithm>
#include <cmath>
#include <set>

#include "powder/lebail.hpp"

namespace tarn {

double PwdQ(const std::array<double, 6>& g, const std::array<double, 3>& v) {
  return g[0] * v[0] * v[0] + g[1] * v[1] * v[1] + g[2] * v[2] * v[2] +
         2. * (g[3] * v[0] * v[1] + g[4] * v[0] * v[2] + g[5] * v[1] * v[2]);
}

std::array<double, 3> PwdReflVector(const PwdPhaseData& ph, const PwdReflection& r) {
  std::array<double, 3> v{static_cast<double>(r.H[0]), static_cast<double>(r.H[1]), static_cast<double>(r.H[2])};
  // Modulation vectors of a modulated phase, else the propagation vectors of a magnetic one.
  const auto& vec = ph.QVec.empty() ? ph.KMag : ph.QVec;
  for (size_t i = 0; i < vec.size() && i < 3; ++i)
    if (r.M[i] != 0)
      for (size_t j = 0; j < 3; ++j) v[j] += r.M[i] * vec[i][j];
  return v;
}

double PwdQVecDeriv(const PwdPatternData& p, const PwdReflection& r, int k) {
  const PwdPhaseData& ph = p.Phases[static_cast<size_t>(r.Phase)];
  const size_t i = static_cast<size_t>(k / 3), c = static_cast<size_t>(k % 3);
  if (i >= 3 || r.M[i] == 0) return 0.;
  const auto g = PwdRecMetric(ph.Cell);
  const auto v = PwdReflVector(ph, r);
  const double gv[3] = {g[0] * v[0] + g[3] * v[1] + g[4] * v[2], g[3] * v[0] + g[1] * v[1] + g[5] * v[2],
                        g[4] * v[0] + g[5] * v[1] + g[2] * v[2]};
  return 2. * r.M[i] * gv[c];
}

namespace {

using Index6 = std::array<int, 6>;

// Image of the (3 + d) indices under an operator (row vector times R, R
// NDim x NDim row-major), the sign s applied.
Index6 Image(const Index6& h, const double* r, int n, int s) {
  Index6 o{};
  for (int j = 0; j < n; ++j) {
    double v = 0.;
    for (int i = 0; i < n; ++i) v += h[static_cast<size_t>(i)] * r[i * n + j];
    o[static_cast<size_t>(j)] = s * static_cast<int>(std::lround(v));
  }
  return o;
}

bool NonInteger(double x) { return std::abs(x - std::round(x)) > 0.01; }

}  // namespace

void PwdAddSatellites(PwdPatternData& p, int iph, double qmax, double xmin, double xmax) {
  const PwdPhaseData& phase = p.Phases[static_cast<size_t>(iph)];
  const int d = std::min(static_cast<int>(phase.QVec.size()), 3), n = 3 + d;
  if (d == 0 || phase.MaxSat < 1) return;
  const PhaseSymmetry& s = phase.Sym;
  // Superspace operators when the symmetry has this dimension, else the
  // identity: equivalents are then the Friedel pair only.
  std::vector<std::vector<double>> ops;
  if (s.NDim == n && s.NSymm > 0) {
    for (int k = 0; k < s.NSymm; ++k)
      ops.emplace_back(s.Op[static_cast<size_t>(k)].RM6.begin(), s.Op[static_cast<size_t>(k)].RM6.begin() + n * n);
  } else {
    std::vector<double> e(static_cast<size_t>(n * n), 0.);
    for (int i = 0; i < n; ++i) e[static_cast<size_t>(i * n + i)] = 1.;
    ops.push_back(e);
  }
  const bool superspace = s.NDim == n;
  auto extinct = [&](const Index6& h) {
    if (!superspace) return false;
    for (int c = 0; c < s.NLattVec; ++c) {
      double v = 0.;
      for (int j = 0; j < n; ++j) v += h[static_cast<size_t>(j)] * s.VT6[static_cast<size_t>(c)][static_cast<size_t>(j)];
      if (NonInteger(v)) return true;
    }
    for (size_t k = 0; k < ops.size(); ++k) {
      if (Image(h, ops[k].data(), n, 1) != h) continue;
      double v = 0.;
      for (int j = 0; j < n; ++j) v += h[static_cast<size_t>(j)] * s.Op[k].S6[static_cast<size_t>(j)];
      if (NonInteger(v)) return true;
    }
    return false;
  };
  const auto g = PwdRecMetric(phase.Cell);
  int hm[3];
  for (size_t i = 0; i < 3; ++i) {
    double qs = 0.;
    for (int k = 0; k < d; ++k) qs += std::abs(phase.QVec[static_cast<size_t>(k)][i]);
    hm[i] = static_cast<int>(phase.Cell[i] * std::sqrt(qmax) + phase.MaxSat * qs) + 1;
  }
  const int ms = phase.MaxSat;
  for (int m1 = -ms; m1 <= ms; ++m1)
    for (int m2 = d > 1 ? -ms : 0; m2 <= (d > 1 ? ms : 0); ++m2)
      for (int m3 = d > 2 ? -ms : 0; m3 <= (d > 2 ? ms : 0); ++m3) {
        const int order = std::abs(m1) + std::abs(m2) + std::abs(m3);
        const int nonzero = (m1 != 0) + (m2 != 0) + (m3 != 0);
        if (order == 0 || order > ms || (phase.NoMixedSat && nonzero > 1)) continue;
        for (int h = -hm[0]; h <= hm[0]; ++h)
          for (int k = -hm[1]; k <= hm[1]; ++k)
            for (int l = -hm[2]; l <= hm[2]; ++l) {
              PwdReflection r;
              r.H = {h, k, l}, r.M = {m1, m2, m3}, r.Phase = iph;
              const double q = PwdQ(g, PwdReflVector(phase, r));
              if (q > qmax || q <= 0.) continue;
              const Index6 hh{h, k, l, m1, m2, m3};
              std::set<Index6> imgs;
              for (const auto& o : ops)
                for (int sg : {1, -1}) imgs.insert(Image(hh, o.data(), n, sg));
              if (*imgs.rbegin() != hh || extinct(hh)) continue;
              r.Q = q, r.Mult = static_cast<int>(imgs.size());
              r.I = {kPwdLeBailStart, kPwdLeBailStart * p.Ratio};
              for (int c = 0; c < p.NLam; ++c) r.Pos[static_cast<size_t>(c)] = PwdPosition(p, q, c);
              if (!p.Tof && (r.Pos[0] + 3. < xmin || r.Pos[0] - 3. > xmax)) continue;
              if (p.Tof && (r.Pos[0] < xmin * 0.98 || r.Pos[0] > xmax * 1.02)) continue;
              p.Refl.push_back(r);
            }
      }
}

}  // namespace tarn
