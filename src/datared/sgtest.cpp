// The space-group test: centring, Laue group, ranked space groups.
#include "datared/sgtest.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace tarn {

namespace {

using Rot = std::array<int, 9>;

// Laue groups with the symmorphic centrosymmetric group whose rotations
// they are, in the axes of the cell.
struct LaueDef {
  const char* Name;
  const char* Group;
  const char* System;
};
constexpr LaueDef kLaue[] = {
    {"-1", "P-1", "triclinic"},     {"2/m", "P12/m1", "monoclinic"},
    {"2/m", "P112/m", "monoclinic"}, {"2/m", "P2/m11", "monoclinic"},
    {"mmm", "Pmmm", "orthorhombic"}, {"4/m", "P4/m", "tetragonal"},
    {"4/mmm", "P4/mmm", "tetragonal"}, {"-3", "P-3", "trigonal"},
    {"-3m1", "P-3m1", "trigonal"},   {"-31m", "P-31m", "trigonal"},
    {"6/m", "P6/m", "hexagonal"},    {"6/mmm", "P6/mmm", "hexagonal"},
    {"m-3", "Pm-3", "cubic"},        {"m-3m", "Pm-3m", "cubic"}};

std::set<Rot> Rotations(const PhaseSymmetry& ps, bool withInverse) {
  std::set<Rot> s;
  for (int k = 0; k < ps.NSymm; ++k) {
    Rot r;
    for (int i = 0; i < 9; ++i) r[i] = static_cast<int>(std::lround(ps.Op[k].RM[i]));
    s.insert(r);
    if (withInverse) {
      for (int& x : r) x = -x;
      s.insert(r);
    }
  }
  return s;
}

bool Near(double a, double b, double tol) { return std::fabs(a - b) <= tol; }

// The Laue groups the metric of the cell allows, in its axes.
std::vector<const LaueDef*> AllowedLaue(const double* c, const SgTestSettings& s) {
  const bool ab = Near(c[0], c[1], s.TolCell), bc = Near(c[1], c[2], s.TolCell);
  const bool al = Near(c[3], 90., s.TolAngle), be = Near(c[4], 90., s.TolAngle),
             ga = Near(c[5], 90., s.TolAngle), ga120 = Near(c[5], 120., s.TolAngle);
  std::vector<const LaueDef*> out;
  for (const LaueDef& l : kLaue) {
    const std::string g = l.Group, sys = l.System;
    bool ok = sys == "triclinic";
    if (g == "P12/m1") ok = al && ga;
    if (g == "P112/m") ok = al && be;
    if (g == "P2/m11") ok = be && ga;
    if (sys == "orthorhombic") ok = al && be && ga;
    if (sys == "tetragonal") ok = al && be && ga && ab;
    if (sys == "trigonal" || sys == "hexagonal") ok = al && be && ga120 && ab;
    if (sys == "cubic") ok = al && be && ga && ab && bc;
    if (ok) out.push_back(&l);
  }
  return out;
}

double IoverS(const IntStatRefl& r) { return r.SigI > 0. ? r.I / r.SigI : 0.; }

void AddAbs(SgAbsStat& s, const IntStatRefl& r, double obsLimit) {
  ++s.NAll;
  s.AveIs += IoverS(r);
  if (IoverS(r) > obsLimit) ++s.NObs;
}

void Finish(SgAbsStat& s) {
  if (s.NAll > 0) s.AveIs /= s.NAll;
}

bool CentringAbsent(const std::vector<Vec3>& vt, const int h[3]) {
  for (const Vec3& c : vt) {
    const double x = h[0] * c[0] + h[1] * c[1] + h[2] * c[2];
    if (std::fabs(x - std::round(x)) > 1e-4) return true;
  }
  return false;
}

// Rint of the data merged under the rotations (each orbit member mapped to
// its lexicographically largest image).
double Rint(const std::vector<IntStatRefl>& refl, const std::vector<char>& skip,
            const std::set<Rot>& rots) {
  std::map<std::array<int, 3>, std::vector<double>> groups;
  for (size_t k = 0; k < refl.size(); ++k) {
    if (skip[k]) continue;
    std::array<int, 3> best{-9999, -9999, -9999};
    for (const Rot& r : rots) {
      std::array<int, 3> g{};
      for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i) g[j] += refl[k].H[i] * r[i * 3 + j];
      best = std::max(best, g);
    }
    groups[best].push_back(refl[k].I);
  }
  double num = 0., den = 0.;
  for (const auto& [h, v] : groups) {
    if (v.size() < 2) continue;
    double m = 0.;
    for (double x : v) m += x;
    m /= static_cast<double>(v.size());
    for (double x : v) {
      num += std::fabs(x - m);
      den += std::fabs(x);
    }
  }
  return den > 0. ? num / den : 0.;
}

}  // namespace

SgAbsStat DRSGTestCentr(const std::vector<IntStatRefl>& refl, char lattice, double obsLimit) {
  SgAbsStat s;
  const std::vector<Vec3> vt = EM50GenCentr(lattice);
  for (const IntStatRefl& r : refl)
    if (CentringAbsent(vt, r.H)) AddAbs(s, r, obsLimit);
  Finish(s);
  return s;
}

int DRSGTest(const std::vector<IntStatRefl>& refl, const PhaseBasic& phase, const SgTable& tab,
             const SgTestSettings& set, SgTestResult& out) {
  out = SgTestResult{};
  auto& L = out.Listing;
  // Intensity statistics (phase in P1: all reflections acentric).
  IntStatResult st;
  if (DRIntensityStatistics(refl, phase, st) == 0) out.E2m1 = st.E2m1Acentric;
  // Centring: of the accepted ones, the one with the most centring vectors
  // (a data set without the reflections a centring forbids accepts it), then
  // the one that explains the most absences.
  const bool hexCell = Near(phase.Cell[5], 120., set.TolAngle);
  std::string letters = hexCell ? "PRT" : "PABCIF";
  L.push_back("Centring     #obs/#all   ave(I/sig(I))");
  int bestAll = -1;
  size_t bestVec = 0;
  for (char c : letters) {
    SgAbsStat s = DRSGTestCentr(refl, c, set.ObsLimit);
    out.CentrStat.emplace_back(c, s);
    const bool ok = s.AveIs <= set.LimCentr;
    const size_t nv = EM50GenCentr(c).size();
    L.push_back(fmt::format("{:<10} {:6d}/{:<6d} {:10.2f}{}", c == 'R' ? "R-obverse" : c == 'T' ? "R-reverse" : std::string(1, c),
                            s.NObs, s.NAll, s.AveIs, ok ? "" : "   rejected"));
    if (ok && (nv > bestVec || (nv == bestVec && s.NAll > bestAll))) {
      bestVec = nv;
      bestAll = s.NAll;
      out.Centring = c;
    }
  }
  const std::vector<Vec3> vt = EM50GenCentr(out.Centring);
  std::vector<char> skip(refl.size());
  for (size_t k = 0; k < refl.size(); ++k) skip[k] = CentringAbsent(vt, refl[k].H);
  // Laue group: Rint against that of -1; the accepted group of highest order.
  const std::vector<const LaueDef*> laue = AllowedLaue(phase.Cell, set);
  double r1 = 0.;
  size_t bestOrder = 0;
  double bestR = 0.;
  std::set<Rot> laueRots;
  L.emplace_back();
  L.push_back("Laue group      Rint");
  for (const LaueDef* l : laue) {
    const int e = FindSmbSg(tab, l->Group);
    if (e < 0) continue;
    const std::set<Rot> rots = Rotations(SgEntryOps(tab, e), true);
    const double r = Rint(refl, skip, rots);
    if (std::string(l->Name) == "-1") r1 = r;
    // Accepted when the agreement is not much worse than that of the Friedel
    // pairs alone.
    const bool ok = r <= std::max(1.5 * r1, r1 + 0.05);
    out.LaueRint.emplace_back(l->Name, r);
    L.push_back(fmt::format("Averaging for Laue group: {:<8} {:8.4f}{}", l->Name, r, ok ? "" : "   rejected"));
    if (ok && (rots.size() > bestOrder || (rots.size() == bestOrder && r < bestR))) {
      bestOrder = rots.size();
      bestR = r;
      out.Laue = l->Name;
      out.System = l->System;
      laueRots = rots;
    }
  }
  // Candidates: settings of the centring whose Laue class is the chosen one.
  // Probability of a centrosymmetric structure from <|E^2-1|>; below 0.70
  // (twinning, atoms on special positions) the statistics say nothing.
  const double pc =
      out.E2m1 < 0.70 ? 0.5 : std::clamp((out.E2m1 - 0.736) / (0.968 - 0.736), 0., 1.);
  std::set<std::pair<int, std::string>> seen;  // (number, absences) already listed
  for (size_t i = 0; i < tab.Entry.size(); ++i) {
    const SgEntry& e = tab.Entry[i];
    if (std::toupper(static_cast<unsigned char>(e.Short[0])) != (out.Centring == 'T' ? 'R' : out.Centring))
      continue;
    if (out.Centring == 'T' || (out.Centring == 'R' && e.Short.find(":R") != std::string::npos))
      continue;  // reverse setting and rhombohedral axes are not tabulated in hexagonal axes
    const PhaseSymmetry& ps = SgEntryOps(tab, static_cast<int>(i));
    if (Rotations(ps, true) != laueRots) continue;
    SgCandidate c;
    c.Entry = static_cast<int>(i);
    c.Symbol = e.Short;
    c.Number = e.Number;
    c.Centro = Rotations(ps, false).size() == laueRots.size();
    c.Order = ps.NSymm * ps.NLattVec;
    std::string key;
    for (size_t k = 0; k < refl.size(); ++k) {
      if (skip[k] || !SgIsAbsent(ps, refl[k].H)) continue;
      AddAbs(c.Abs, refl[k], set.ObsLimit);
      key += std::to_string(k) + ",";
    }
    Finish(c.Abs);
    if (c.Abs.NAll > 0 && c.Abs.AveIs > set.LimOther) continue;
    if (!seen.insert({e.Number, key}).second) continue;  // other origin choice
    // Figure of merit: the absences the group explains, weighted by how
    // weak they are, times the probability of (non-)centrosymmetry from
    // <|E^2-1|>; ties go to the group of higher symmetry.
    const double weak = c.Abs.NAll > 0 ? std::exp(-c.Abs.AveIs) : 1.;
    c.Fom = (1. + c.Abs.NAll * weak) * (0.1 + (c.Centro ? pc : 1. - pc));
    out.Cand.push_back(c);
  }
  // Equal figures of merit: the group of higher symmetry first.
  std::stable_sort(out.Cand.begin(), out.Cand.end(), [](const SgCandidate& a, const SgCandidate& b) {
    if (std::fabs(a.Fom - b.Fom) > 1e-9 * std::max(a.Fom, b.Fom)) return a.Fom > b.Fom;
    return a.Order > b.Order;
  });
  L.emplace_back();
  L.push_back(fmt::format("<|E^2-1|> = {:.3f}", out.E2m1));
  L.push_back("Space group       number   #obs/#all   ave(I/sig(I))  Figure of merit");
  for (const SgCandidate& c : out.Cand)
    L.push_back(fmt::format("{:<16} {:6d} {:6d}/{:<6d} {:10.2f} {:14.3f}", c.Symbol, c.Number,
                            c.Abs.NObs, c.Abs.NAll, c.Abs.AveIs, c.Fom));
  if (out.Cand.empty()) {
    L.push_back("All  contradict to selected centering and Laue group.");
    return 1;
  }
  return 0;
}

}  // namespace tarn
