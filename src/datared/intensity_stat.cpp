// Intensity statistics: Wilson plot, E statistics, N(z) and the L-test.
#include "datared/intensity_stat.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>

namespace tarn {

namespace {

constexpr int kShells = 20;
constexpr double kE2m1Acentric = 0.736, kE2m1Centric = 0.968;
// Outside [0.70, 1.10] neither the acentric nor the centric distribution
// describes the data.
constexpr double kE2m1Inconclusive = 0.70, kE2m1Hyper = 1.10;
constexpr double kWilsonS2Min = 1. / (4. * 3.5 * 3.5);

double S2Of(const int h[3], const double* g) {
  double q = 0.;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) q += h[i] * g[i * 3 + j] * h[j];
  return q / 4.;  // (sin(th)/lambda)^2 = 1/(4 d^2)
}

// Operators with h.R = h (epsilon) and whether some has h.R = -h (centric).
void EpsCentric(const PhaseSymmetry& ps, const int h[3], int& eps, bool& centric) {
  eps = 0;
  centric = false;
  const int n = ps.NDim;
  for (int k = 0; k < ps.NSymm; ++k) {
    bool same = true, opp = true;
    for (int j = 0; j < 3; ++j) {
      double hr = 0.;
      for (int i = 0; i < 3; ++i) hr += h[i] * ps.Op[k].RM6[i * n + j];
      same = same && std::fabs(hr - h[j]) < 1e-6;
      opp = opp && std::fabs(hr + h[j]) < 1e-6;
    }
    eps += same ? 1 : 0;
    centric = centric || opp;
  }
  eps = std::max(eps, 1);
}

// Sum over the cell of n_j f_j^2(s^2); 0 when a type has no Gaussian form factor.
double SumF2(const PhaseBasic& p, double s2) {
  double sum = 0.;
  for (const AtomTypeBasic& a : p.AtTypeData) {
    if (!a.Formula || *a.Formula <= 0.) continue;
    if (a.FFBasic.size() != 9) return 0.;
    double f = a.FFBasic[8];
    for (int i = 0; i < 8; i += 2) f += a.FFBasic[i] * std::exp(-a.FFBasic[i + 1] * s2);
    sum += *a.Formula * p.UnitsNumb * f * f;
  }
  return sum;
}

}  // namespace

int DRIntensityStatistics(const std::vector<IntStatRefl>& refl, const PhaseBasic& phase,
                          IntStatResult& out) {
  out = IntStatResult{};
  const size_t n = refl.size();
  if (n < 20) return 1;
  const PhaseSymmetry& ps = phase.Symmetry;
  std::vector<double> s2(n), ie(n);
  std::vector<char> centric(n);
  for (size_t k = 0; k < n; ++k) {
    s2[k] = S2Of(refl[k].H, phase.MetTensI);
    int eps = 1;
    bool c = false;
    EpsCentric(ps, refl[k].H, eps, c);
    ie[k] = refl[k].I / eps;
    centric[k] = c;
  }
  // Equal-count shells by s^2.
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return s2[a] < s2[b]; });
  const int nsh = static_cast<int>(std::min<size_t>(kShells, n / 10));
  std::vector<int> shellOf(n);
  out.Shell.assign(static_cast<size_t>(nsh), IntStatShell{});
  for (size_t r = 0; r < n; ++r) {
    const int s = static_cast<int>(r * static_cast<size_t>(nsh) / n);
    shellOf[order[r]] = s;
    IntStatShell& sh = out.Shell[static_cast<size_t>(s)];
    sh.S2 += s2[order[r]];
    sh.IMean += ie[order[r]];
    ++sh.N;
  }
  for (IntStatShell& sh : out.Shell) {
    sh.S2 /= sh.N;
    sh.IMean /= sh.N;
    sh.SumF2 = SumF2(phase, sh.S2);
  }
  // Wilson plot: ln(<I>/sum f^2) = ln K - 2 B s^2.
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  int np = 0;
  // Below 3.5 Angstrom resolution ((sin(th)/lambda)^2 >= 0.0204) when three
  // shells are there, where the plot is a straight line.
  int high = 0;
  for (const IntStatShell& sh : out.Shell) high += sh.S2 >= kWilsonS2Min ? 1 : 0;
  const double s2min = high >= 3 ? kWilsonS2Min : 0.;
  for (const IntStatShell& sh : out.Shell)
    if (sh.SumF2 > 0. && sh.IMean > 0. && sh.S2 >= s2min) {
      const double y = std::log(sh.IMean / sh.SumF2);
      sx += sh.S2;
      sy += y;
      sxx += sh.S2 * sh.S2;
      sxy += sh.S2 * y;
      ++np;
    }
  if (np >= 3 && np * sxx - sx * sx > 0.) {
    const double slope = (np * sxy - sx * sy) / (np * sxx - sx * sx);
    out.Scale = std::exp((sy - slope * sx) / np);
    out.B = -slope / 2.;
    out.Wilson = true;
  }
  // E statistics with E^2 normalised per shell.
  std::map<std::array<int, 3>, double> byIndex;
  for (size_t k = 0; k < n; ++k) {
    const double mean = out.Shell[static_cast<size_t>(shellOf[k])].IMean;
    const double e2 = mean > 0. ? ie[k] / mean : 0.;
    double& sum = centric[k] ? out.E2m1Centric : out.E2m1Acentric;
    sum += std::fabs(e2 - 1.);
    out.E2m1All += std::fabs(e2 - 1.) / static_cast<double>(n);
    auto& nz = centric[k] ? out.NzCentric : out.NzAcentric;
    for (int z = 0; z < 10; ++z)
      if (e2 <= 0.1 * (z + 1)) nz[static_cast<size_t>(z)] += 1.;
    (centric[k] ? out.NCentric : out.NAcentric) += 1;
    if (!centric[k]) byIndex[{refl[k].H[0], refl[k].H[1], refl[k].H[2]}] = e2;
  }
  if (out.NAcentric > 0) {
    out.E2m1Acentric /= out.NAcentric;
    for (double& v : out.NzAcentric) v /= out.NAcentric;
  }
  if (out.NCentric > 0) {
    out.E2m1Centric /= out.NCentric;
    for (double& v : out.NzCentric) v /= out.NCentric;
  }
  // L-test over local pairs; each difference vector d once (first non-zero
  // component positive).
  for (const auto& [h, i1] : byIndex)
    for (int a = -1; a <= 1; ++a)
      for (int b = -1; b <= 1; ++b)
        for (int c = -1; c <= 1; ++c) {
          const int d[3] = {2 * a, 2 * b, 2 * c};
          const int first = a != 0 ? a : b != 0 ? b : c;
          if (first <= 0) continue;
          auto it = byIndex.find({h[0] + d[0], h[1] + d[1], h[2] + d[2]});
          if (it == byIndex.end() || i1 + it->second <= 0.) continue;
          const double l = (i1 - it->second) / (i1 + it->second);
          if (std::fabs(l) > 1.) continue;
          out.LAbs += std::fabs(l);
          out.L2 += l * l;
          for (int z = 0; z < 10; ++z)
            if (std::fabs(l) <= 0.1 * (z + 1)) out.NL[static_cast<size_t>(z)] += 1.;
          ++out.NLPairs;
        }
  if (out.NLPairs > 0) {
    out.LAbs /= out.NLPairs;
    out.L2 /= out.NLPairs;
    for (double& v : out.NL) v /= out.NLPairs;
  }
  // Listing.
  auto& L = out.Listing;
  L.push_back("Wilson plot");
  L.push_back("   <s^2>     s   #refl       <I>     sum f^2   ln(<I>/sum f^2)");
  for (const IntStatShell& sh : out.Shell)
    L.push_back(fmt::format("{:8.4f} {:5.3f} {:7d} {:10.2f} {:11.2f} {:10.4f}", sh.S2,
                            std::sqrt(sh.S2), sh.N, sh.IMean, sh.SumF2,
                            sh.SumF2 > 0. && sh.IMean > 0. ? std::log(sh.IMean / sh.SumF2) : 0.));
  if (out.Wilson)
    L.push_back(fmt::format("Wilson scale K = {:.4g}, overall B = {:.3f} A^2", out.Scale, out.B));
  else
    L.push_back("No Wilson scale: the composition or the form factors of the atom types are missing.");
  L.emplace_back();
  L.push_back(fmt::format("<|E^2-1|> acentric {:.3f} ({} refl., expected 0.736), centric {:.3f} "
                          "({} refl., expected 0.968)",
                          out.E2m1Acentric, out.NAcentric, out.E2m1Centric, out.NCentric));
  // The verdict rests on every reflection: under a centrosymmetric phase
  // all of them are centric and the acentric mean is empty.
  L.push_back(fmt::format("<|E^2-1|> of all {} reflections {:.3f}", n, out.E2m1All));
  L.push_back(out.E2m1All < 0.5 * (kE2m1Acentric + kE2m1Centric)
                  ? "The distribution suggests a non-centrosymmetric structure."
                  : "The distribution suggests a centrosymmetric structure.");
  for (const AtomTypeBasic& a : phase.AtTypeData)
    if (a.Formula && *a.Formula > 0.) out.NAtoms += *a.Formula * phase.UnitsNumb;
  if (out.NAtoms > 0. && out.NAtoms < kIntStatMinAtoms) {
    // Few atoms (often on special positions): the distributions of
    // intensities are far from the limits of many independent atoms.
    out.Conclusive = false;
    L.push_back(fmt::format(
        "Only {:g} atoms in the cell: too few for the Wilson distributions, the distribution is "
        "not conclusive.",
        out.NAtoms));
  } else if (out.E2m1All < kE2m1Inconclusive || out.E2m1All > kE2m1Hyper) {
    out.Conclusive = false;
    L.push_back(
        "Far from both expected values (twinning, pseudo-symmetry or heavy atoms on special "
        "positions): the distribution is not conclusive.");
  }
  L.emplace_back();
  L.push_back("Cumulative distribution N(z) of z = E^2");
  L.push_back("    z   acentric  theory   centric  theory");
  for (int z = 0; z < 10; ++z) {
    const double x = 0.1 * (z + 1);
    L.push_back(fmt::format("{:5.1f} {:9.3f} {:7.3f} {:9.3f} {:7.3f}", x, out.NzAcentric[z],
                            1. - std::exp(-x), out.NzCentric[z], std::erf(std::sqrt(x / 2.))));
  }
  L.emplace_back();
  L.push_back(fmt::format("L-test: {} pairs, <|L|> = {:.3f} (0.500 untwinned, 0.375 perfect twin), "
                          "<L^2> = {:.3f} (0.333, 0.200)",
                          out.NLPairs, out.LAbs, out.L2));
  L.push_back("  |L|  N(|L|)  untwinned  perfect twin");
  for (int z = 0; z < 10; ++z) {
    const double x = 0.1 * (z + 1);
    L.push_back(fmt::format("{:5.1f} {:7.3f} {:9.3f} {:12.3f}", x, out.NL[z], x, x * (3. - x * x) / 2.));
  }
  return 0;
}

}  // namespace tarn
