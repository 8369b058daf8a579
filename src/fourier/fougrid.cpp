// Grid of the map (default box, axis order) and the Fourier coefficients:
// coefficient by map type, weighting, symmetry expansion into one half of
// reciprocal space with averaging of equivalents.
#include <algorithm>
#include <cmath>
#include <map>

#include "fourier/fourier.hpp"
#include "util/numbers.hpp"

namespace tarn {

namespace {

// Quasi-random test points of the cell (additive recurrence with irrational
// steps): a box that holds an image of each of them holds an asymmetric part.
constexpr int kBoxTestPoints = 600;
constexpr double kBoxTol = 1e-9;

bool BoxCovers(const PhaseSymmetry& ps, const std::array<double, 3>& hi) {
  const double step[3] = {std::sqrt(2.) - 1., std::sqrt(3.) - 1., std::sqrt(5.) - 2.};
  for (int k = 1; k <= kBoxTestPoints; ++k) {
    double p[3];
    for (int i = 0; i < 3; ++i) p[i] = std::fmod(0.0137 * (i + 1) + k * step[i], 1.);
    bool inside = false;
    for (int s = 0; s < ps.NSymm && !inside; ++s) {
      const SymmOp& op = ps.Op[static_cast<size_t>(s)];
      for (int c = 0; c < std::max(ps.NLattVec, 1) && !inside; ++c) {
        bool in = true;
        for (int i = 0; i < 3 && in; ++i) {
          double y = op.S6[i] + (ps.NLattVec > 0 ? ps.VT6[static_cast<size_t>(c)][i] : 0.);
          for (int j = 0; j < 3; ++j) y += op.RM6[i * ps.NDim + j] * p[j];
          y -= std::floor(y);
          in = y <= hi[i] + kBoxTol;
        }
        inside = in;
      }
    }
    if (!inside) return false;
  }
  return true;
}

}  // namespace

void FouDefLimits(const PhaseSymmetry& ps, std::array<double, 3>& lo, std::array<double, 3>& hi) {
  lo = {0., 0., 0.};
  hi = {1., 1., 1.};
  if (ps.NSymm <= 1 && ps.NLattVec <= 1) return;
  // Greedy: shrink one axis at a time to the smallest fraction that still
  // holds an image of every point, until no axis shrinks further.
  static constexpr double kCand[] = {1. / 8., 1. / 6., 1. / 4., 1. / 3., 1. / 2.};
  for (bool changed = true; changed;) {
    changed = false;
    for (int i = 0; i < 3; ++i)
      for (double c : kCand) {
        if (c >= hi[i] - 1e-12) break;
        std::array<double, 3> t = hi;
        t[i] = c;
        if (BoxCovers(ps, t)) {
          hi = t;
          changed = true;
          break;
        }
      }
  }
}

int FouSetOrder(int orient, int nDim, std::array<int, 6>& order) {
  for (int i = 0; i < 6; ++i) order[i] = i + 1;
  if (orient == FouUnset) return 0;
  if (orient <= 0) return 1;
  std::vector<int> d;
  for (int v = orient; v > 0; v /= 10) d.insert(d.begin(), v % 10);
  if (static_cast<int>(d.size()) != nDim) return 1;
  std::array<bool, 7> seen{};
  for (int i = 0; i < nDim; ++i) {
    if (d[i] < 1 || d[i] > nDim || seen[d[i]]) return 1;
    seen[d[i]] = true;
    order[i] = d[i];
  }
  return 0;
}

double FouWeight(double mag, double sig) {
  if (sig == 0.) return 1.;
  if (mag == 0.) return 0.;
  return 1. - sig * sig / (mag * mag + sig * sig);
}

FouRawCoef FouCoefOf(int mapType, double fo, double sigFo, const FouRefl& r) {
  const double cosp = r.Fc > 0. ? r.A / r.Fc : 0., sinp = r.Fc > 0. ? r.B / r.Fc : 0.;
  FouRawCoef c;
  switch (mapType) {
    case MapPatterson:
      c.Re = fo * fo;
      break;
    case MapPattersonCalc:
      c.Re = r.Fc * r.Fc;
      break;
    case MapPattersonDiff:
      c.Re = fo * fo - r.Fc * r.Fc;
      break;
    case MapFobs:
    case MapDiffRef:
      c = {fo * cosp, fo * sinp, sigFo, fo};
      return c;
    case MapFcalc:
      c = {r.Fc * cosp, r.Fc * sinp, sigFo, r.Fc};
      return c;
    case MapDiff:
      c = {(fo - r.Fc) * cosp, (fo - r.Fc) * sinp, sigFo, fo - r.Fc};
      return c;
    case MapShape:
      c.Re = 1.;
      return c;
    default:
      return c;
  }
  // Patterson types.
  c.Sig = 2. * fo * sigFo;
  c.Mag = c.Re;
  return c;
}

std::vector<FouCoef> FouExpand(const std::vector<FouRefl>& refl, const std::vector<FouRawCoef>& raw,
                               const PhaseSymmetry& ps, const FouGrid& g, double volume,
                               bool magnitudes, bool& satellites) {
  struct Acc {
    double Re = 0., Im = 0.;
    int N = 0;
  };
  std::map<std::array<int, 6>, Acc> box;
  const int n = g.NDim;
  satellites = false;
  for (size_t k = 0; k < refl.size(); ++k) {
    const FouRefl& r = refl[k];
    for (int s = 0; s < ps.NSymm; ++s) {
      const SymmOp& op = ps.Op[static_cast<size_t>(s)];
      // F(hR) = F(h) exp(-2 pi i h.t) for the operator x -> Rx + t.
      std::array<int, 6> hr{};
      double ht = 0.;
      for (int j = 0; j < n; ++j) {
        double v = 0.;
        for (int i = 0; i < n; ++i) v += r.H[i] * op.RM6[i * ps.NDim + j];
        hr[j] = static_cast<int>(std::lround(v));
        ht += r.H[j] * op.S6[j];
      }
      double cr = raw[k].Re, ci = raw[k].Im;
      // Patterson-type and shape coefficients are magnitudes: no phase shift.
      if (!magnitudes) {
        const double psi = -kTwoPi * ht;
        const double c = std::cos(psi), si = std::sin(psi);
        const double nr = cr * c - ci * si, ni = cr * si + ci * c;
        cr = nr;
        ci = ni;
      }
      std::array<int, 6> hm{};
      for (int i = 0; i < n; ++i) hm[i] = hr[g.Order[i] - 1];
      int first = 0;
      for (int i = 0; i < n && first == 0; ++i) first = hm[i];
      if (first < 0) {
        for (int i = 0; i < n; ++i) hm[i] = -hm[i];
        ci = -ci;
      }
      Acc& a = box[hm];
      a.Re += cr;
      a.Im += ci;
      ++a.N;
      for (int i = 3; i < n; ++i) satellites |= r.H[i] != 0;
    }
  }
  std::vector<FouCoef> out;
  out.reserve(box.size());
  for (const auto& [h, a] : box) {
    FouCoef c;
    c.H = h;
    const double f = 2. / volume / a.N;
    c.Re = a.Re * f;
    c.Im = a.Im * f;
    bool origin = true;
    for (int i = 0; i < n; ++i) origin &= h[i] == 0;
    if (origin) {
      c.Re *= 0.5;
      c.Im = 0.;
    }
    out.push_back(c);
  }
  return out;
}

}  // namespace tarn
