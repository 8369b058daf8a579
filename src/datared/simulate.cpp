// Simulated single-crystal intensities. |F|^2 comes from the structure-factor
// calculation on the absolute scale (no extinction). The strongest reflection
// is put at MaxCounts counts; each intensity is drawn from a Poisson
// distribution of its expected counts, sigma(I) = sqrt(counts) on the count
// scale, and the instability term adds a normal error of sigma u*I with
// sigma(I)^2 += (u*I)^2. Results are divided by MaxCounts / 1e4 so that the
// strongest reflection is about 1e4, which every reflection format can hold.
#include "datared/simulate.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>

#include "datared/import.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/m50.hpp"
#include "model/scatdata.hpp"
#include "model/structure.hpp"
#include "refine/calc.hpp"
#include "refine/constr.hpp"
#include "refine/refine.hpp"

namespace tarn {

namespace {

using Index = std::array<int, 6>;

// h' = h R for every operator (with the Friedel mate): the Laue-class
// equivalents of h.
std::set<Index> Equivalents(const PhaseSymmetry& sy, const Index& h, int n) {
  std::set<Index> out;
  for (int k = 0; k < sy.NSymm; ++k) {
    const SymmOp& op = sy.Op[static_cast<size_t>(k)];
    Index e{};
    for (int j = 0; j < n; ++j) {
      double v = 0.;
      for (int i = 0; i < n; ++i)
        v += h[static_cast<size_t>(i)] * op.RM6[static_cast<size_t>(i * n + j)];
      e[static_cast<size_t>(j)] = static_cast<int>(std::lround(v));
    }
    out.insert(e);
    for (int j = 0; j < n; ++j) e[static_cast<size_t>(j)] = -e[static_cast<size_t>(j)];
    out.insert(e);
  }
  return out;
}

}  // namespace

int SimulateSingleCrystal(const SimSettings& s, ImpData& d, std::vector<std::string>& msg) {
  if (Struct.Basic.Phase.empty() || Struct.Model.Atom.empty() || Struct.Basic.DatBlock.empty()) {
    msg.push_back(simmsg::NoModel);
    return 1;
  }
  if (ScatEnsureLoaded() != 0 || EM50ReadAllFormFactors(Struct.Basic) != 0) {
    msg.push_back("The scattering factors cannot be read.");
    return 1;
  }
  const PhaseBasic& ph = Struct.Basic.Phase[0];
  const int n = ph.NDim;
  RefParams p;
  RefBuildParams(p);
  CalcSetup setup;
  if (CalcPrepare(setup, p)) {
    msg.push_back("The structure factors cannot be prepared.");
    return 1;
  }
  // Index limits: |h_i| <= 2 snlmax a_i bounds every reflection of the sphere.
  int lim[3];
  for (int i = 0; i < 3; ++i) lim[i] = static_cast<int>(std::ceil(2. * s.SnlMax * ph.Cell[i])) + 1;
  const int mm = n > 3 ? s.MMax : 0;
  std::map<Index, double> f2;  // representative (largest equivalent) -> |F|^2
  std::set<Index> seen;
  CalcOut out;
  Index h{};
  for (h[0] = -lim[0]; h[0] <= lim[0]; ++h[0])
    for (h[1] = -lim[1]; h[1] <= lim[1]; ++h[1])
      for (h[2] = -lim[2]; h[2] <= lim[2]; ++h[2])
        for (h[3] = n > 3 ? -mm : 0; h[3] <= (n > 3 ? mm : 0); ++h[3]) {
          if (h == Index{} || seen.count(h)) continue;
          const double snl = RefSinThL(ph, h.data(), n);
          if (snl > s.SnlMax) continue;
          const std::set<Index> eq = Equivalents(ph.Symmetry, h, n);
          seen.insert(eq.begin(), eq.end());
          CalcRefl r;
          r.H = *eq.rbegin();
          r.SinThL = snl;
          (void)Calc(setup, r, false, out);
          const double i = out.A * out.A + out.B * out.B;
          if (i < 1e-6 && !s.Absent) continue;  // systematically absent
          f2[*eq.rbegin()] = i < 1e-6 ? 0. : i;
        }
  if (f2.empty()) {
    msg.push_back(simmsg::NoRefl);
    return 1;
  }
  double imax = 0.;
  for (const auto& [k, v] : f2) imax = std::max(imax, v);
  const double k = s.MaxCounts / imax, out_scale = 1.e4 / s.MaxCounts;
  std::mt19937 rng(s.Seed);
  std::normal_distribution<double> gauss(0., 1.);
  d = ImpData{};
  d.File = "simulated";
  d.NDim = n;
  d.Lambda = Struct.Basic.DatBlock[0].Lambda;
  d.Cell.assign(ph.Cell, ph.Cell + 6);
  auto add = [&](const Index& hh, double i) {
    double counts = 0.;
    if (i > 0.) {
      std::poisson_distribution<long> pois(k * i);
      counts = static_cast<double>(pois(rng));
    }
    double iobs = counts, sig2 = std::max(counts, 1.);
    if (i == 0.) {  // absent: background noise only
      sig2 = kSimAbsentBkg;
      iobs = std::sqrt(kSimAbsentBkg) * gauss(rng);
    } else if (s.Instab > 0.) {
      iobs += s.Instab * k * i * gauss(rng);
      sig2 += std::pow(s.Instab * k * i, 2);
    }
    ImpRefl r;
    std::copy(hh.begin(), hh.begin() + n, r.H);
    r.I = iobs * out_scale;
    r.SigI = std::sqrt(sig2) * out_scale;
    r.Line = static_cast<long>(d.Refl.size()) + 1;
    d.Refl.push_back(r);
  };
  for (const auto& [rep, i] : f2) {
    if (!s.Equivalents) {
      add(rep, i);
      continue;
    }
    for (const Index& e : Equivalents(ph.Symmetry, rep, n)) add(e, i);
  }
  return 0;
}

int EM9SimulateToM95(const SimSettings& s, const std::string& m95, std::vector<std::string>& msg) {
  ImpData d;
  if (SimulateSingleCrystal(s, d, msg)) return 1;
  M95Block b;
  DRSetBlockFromData(ImpGeneralI, d, ImpOptions{}, b);
  std::vector<M95Refl> refl;
  ErrorRecord err;
  const size_t nref = d.Refl.size();
  if (DRReadRef(d, b, refl, err) || EM9AppendM95(m95, b, std::move(refl), err) ||
      EM9CompleteM95(m95, err)) {
    msg.push_back(ImpErrorText(err));
    return 1;
  }
  msg.push_back(std::to_string(nref) + " simulated reflections written to \"" + m95 + "\".");
  return 0;
}

}  // namespace tarn
