#include "edit/hydrogens.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

#include "model/atom_edit.hpp"
#include "model/scatdata.hpp"
#include "refine/refine_listing.hpp"
#include "util/numbers.hpp"
#include "util/perpendicular.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr double kTetra = 109.4712206;  // acos(-1/3), degrees
constexpr double kRidingCH3 = 1.5;      // Uiso(H) / Ueq(X) of CH3 and OH
constexpr double kRidingOther = 1.2;
constexpr double kRCovDefault = 0.77;  // A, when the tables give none
constexpr double kMinBond = 0.5;       // A: shorter contacts are not bonds

struct Neigh {
  int Atom = -1;
  std::string Name;   // with symmetry part "#s2t1,0,0"
  Eigen::Vector3d X;  // Cartesian image position, A
};

double RCov(const std::string& el) {
  if (auto e = ScatElement(el); e && e->RCov) return *e->RCov;
  return el == "H" ? 0.31 : kRCovDefault;
}

Eigen::Vector3d Frac(const AtomRec& a) {
  const int o = AtomLayout(a.Shape).Off[BlkPos];
  return {a.Par.Val[static_cast<size_t>(o)], a.Par.Val[static_cast<size_t>(o + 1)],
          a.Par.Val[static_cast<size_t>(o + 2)]};
}

// Bonded neighbours of atom i (all images) among the atoms of its phase.
std::vector<Neigh> Neighbours(const Structure& st, int i, const Eigen::Matrix3d& m) {
  const auto& at = st.Model.Atom;
  const AtomRec& a = at[static_cast<size_t>(i)];
  const PhaseBasic& ph = st.Basic.Phase[static_cast<size_t>(a.Phase - 1)];
  const PhaseSymmetry& s = ph.Symmetry;
  const Eigen::Vector3d xi = Frac(a);
  const double ri = RCov(EM40AtomElement(st, a));
  std::vector<Neigh> out;
  for (size_t j = 0; j < at.size(); ++j) {
    const AtomRec& b = at[j];
    if (b.Phase != a.Phase) continue;
    const double oa = EM40Occupancy(st, a), ob = EM40Occupancy(st, b);
    if (oa < 1. - HydroDisorderTol && ob < 1. - HydroDisorderTol &&
        std::fabs(oa + ob - 1.) < HydroDisorderTol)
      continue;  // alternative positions of a disorder
    const double dmax = ri + RCov(EM40AtomElement(st, b)) + HydroBondTol;
    const Eigen::Vector3d xj = Frac(b);
    for (int op = 0; op < s.NSymm; ++op)
      for (int ce = 0; ce < std::max(1, s.NLattVec); ++ce) {
        const SymmOp& o = s.Op[static_cast<size_t>(op)];
        Eigen::Vector3d y;
        for (int r = 0; r < 3; ++r) {
          y[r] = o.S6[static_cast<size_t>(r)] +
                 (s.NLattVec > 0 ? s.VT6[static_cast<size_t>(ce)][static_cast<size_t>(r)] : 0.);
          for (int q = 0; q < 3; ++q) y[r] += o.RM[static_cast<size_t>(3 * r + q)] * xj[q];
        }
        std::array<int, 3> lt{};
        for (int r = 0; r < 3; ++r) {
          lt[static_cast<size_t>(r)] = static_cast<int>(std::lround(xi[r] - y[r]));
          y[r] += lt[static_cast<size_t>(r)];
        }
        const Eigen::Vector3d d = m * (y - xi);
        const double r = d.norm();
        if (r < kMinBond || r > dmax) continue;
        bool dup = false;
        for (const Neigh& n : out) dup = dup || (n.X - m * y).norm() < 1e-3;
        if (dup) continue;
        Neigh n;
        n.Atom = static_cast<int>(j);
        n.Name = b.Name;
        if (op != 0 || ce != 0 || lt != std::array<int, 3>{0, 0, 0}) {
          n.Name += fmt::format("#s{}", op + 1);
          if (ce > 0) n.Name += fmt::format("c{}", ce + 1);
          if (lt != std::array<int, 3>{0, 0, 0})
            n.Name += fmt::format("t{},{},{}", lt[0], lt[1], lt[2]);
        }
        n.X = m * y;
        out.push_back(std::move(n));
      }
  }
  return out;
}

// Cartesian positions of the hydrogen-bond acceptors (N, O, F, Cl) within
// 2.5-3.3 A of atom i, all images, nearest first.
std::vector<Eigen::Vector3d> Acceptors(const Structure& st, int i, const Eigen::Matrix3d& m) {
  const auto& at = st.Model.Atom;
  const AtomRec& a = at[static_cast<size_t>(i)];
  const PhaseSymmetry& s = st.Basic.Phase[static_cast<size_t>(a.Phase - 1)].Symmetry;
  const Eigen::Vector3d xi = Frac(a), xc = m * xi;
  std::vector<std::pair<double, Eigen::Vector3d>> found;
  for (const AtomRec& b : at) {
    if (b.Phase != a.Phase) continue;
    const std::string el = EM40AtomElement(st, b);
    if (el != "N" && el != "O" && el != "F" && el != "Cl") continue;
    for (int op = 0; op < s.NSymm; ++op)
      for (int ce = 0; ce < std::max(1, s.NLattVec); ++ce) {
        const SymmOp& o = s.Op[static_cast<size_t>(op)];
        Eigen::Vector3d y;
        for (int r = 0; r < 3; ++r) {
          y[r] = o.S6[static_cast<size_t>(r)] +
                 (s.NLattVec > 0 ? s.VT6[static_cast<size_t>(ce)][static_cast<size_t>(r)] : 0.);
          for (int q = 0; q < 3; ++q) y[r] += o.RM[static_cast<size_t>(3 * r + q)] * Frac(b)[q];
        }
        for (int r = 0; r < 3; ++r) y[r] += std::round(xi[r] - y[r]);
        // The neighbouring cells as well: 3.3 A may reach beyond the nearest image.
        for (int t = 0; t < 27; ++t) {
          const Eigen::Vector3d yt = y + Eigen::Vector3d(t % 3 - 1, t / 3 % 3 - 1, t / 9 - 1);
          const double r = (m * yt - xc).norm();
          if (r < 2.5 || r > 3.3) continue;
          if (std::none_of(found.begin(), found.end(),
                           [&](const auto& f) { return (f.second - m * yt).norm() < 1e-3; }))
            found.emplace_back(r, m * yt);
        }
      }
  }
  std::sort(found.begin(), found.end(), [](const auto& p, const auto& q) { return p.first < q.first; });
  std::vector<Eigen::Vector3d> out;
  for (const auto& f : found) out.push_back(f.second);
  return out;
}

// A unit vector perpendicular to `axis` pointing to a further substituent of
// the neighbour nb (not the atom itself), for the staggered torsion.
Eigen::Vector3d Reference(const Structure& st, const Neigh& nb, const Eigen::Vector3d& xc,
                          const Eigen::Vector3d& axis, const Eigen::Matrix3d& m) {
  const auto subs = Neighbours(st, nb.Atom, m);
  // The neighbour's neighbours around its own stored position; shifted to the image.
  const Eigen::Vector3d shift = nb.X - m * Frac(st.Model.Atom[static_cast<size_t>(nb.Atom)]);
  for (const Neigh& s : subs) {
    const Eigen::Vector3d xs = s.X + shift;
    if ((xs - xc).norm() < 1e-3) continue;
    if (EM40AtomElement(st, st.Model.Atom[static_cast<size_t>(s.Atom)]) == "H") continue;
    Eigen::Vector3d r = xs - nb.X;
    r -= r.dot(axis) * axis;
    if (r.norm() > 1e-3) return r.normalized();
  }
  return AnyPerp(axis);
}

// Name of hydrogen k of n on atom x: "H" + the label without its element,
// "A", "B", "C" when there are several; another free name when taken.
std::string HName(const Structure& st, const AtomRec& x, const std::string& el, int k, int n) {
  std::string base = x.Name;
  if (StartsWithIgnoreCase(base, el) && base.size() > el.size()) base = base.substr(el.size());
  std::string name = "H" + base + (n > 1 ? std::string(1, static_cast<char>('A' + k)) : "");
  if (static_cast<int>(name.size()) <= EM40MaxName && EM40FindAtom(st.Model, name) < 0) return name;
  for (int i = 1;; ++i) {
    name = fmt::format("H{}", i);
    if (EM40FindAtom(st.Model, name) < 0) return name;
  }
}

}  // namespace

double EM40HydroDistance(double d0, double tK) {
  if (tK <= 0.) return d0;
  const double tc = tK - 273.15;
  if (tc < -70.) return d0 + 0.02;
  if (tc < -20.) return d0 + 0.01;
  return d0;
}

int EM40AddHydrogens(Structure& st, const std::vector<std::string>& list, double tK,
                     HydroResult& out, std::string& why, const HydroDensity& density) {
  std::vector<int> sel;
  std::string missing;
  sel = EM40SelectAtoms(st.Model, list, missing);
  if (!missing.empty()) {
    why = fmt::format("The atom \"{}\" is not in the structure.", missing);
    return 1;
  }
  const bool all = list.size() == 1 && list[0] == "*";
  Structure work = st;
  HydroResult res;
  const size_t nOrig = work.Model.Atom.size();
  for (int i : sel) {
    const AtomRec x = work.Model.Atom[static_cast<size_t>(i)];
    const std::string el = EM40AtomElement(work, x);
    auto note = [&](const std::string& t) {
      if (!all) res.Notes.push_back(x.Name + ": " + t);
    };
    if (el != "C" && el != "N" && el != "O") {
      note("no hydrogens are placed on this element.");
      continue;
    }
    if (x.Phase < 1 || x.Phase > static_cast<int>(work.Basic.Phase.size())) continue;
    const PhaseBasic& ph = work.Basic.Phase[static_cast<size_t>(x.Phase - 1)];
    const Eigen::Matrix3d m = ToEigen(RefOrthoMatrix(ph.Cell));
    // Neighbours among the atoms of the model before this edit.
    std::vector<Neigh> all_nb = Neighbours(work, i, m), nb;
    bool hasH = false;
    for (const Neigh& n : all_nb) {
      if (n.Atom >= static_cast<int>(nOrig)) continue;
      if (EM40AtomElement(work, work.Model.Atom[static_cast<size_t>(n.Atom)]) == "H")
        hasH = true;
      else
        nb.push_back(n);
    }
    if (hasH) {
      note("it already carries hydrogen atoms.");
      continue;
    }
    const Eigen::Vector3d xc = m * Frac(x);
    std::vector<Eigen::Vector3d> u;
    double mean = 0.;
    for (const Neigh& n : nb) {
      u.push_back((n.X - xc).normalized());
      mean += (n.X - xc).norm();
    }
    const int nn = static_cast<int>(nb.size());
    if (nn > 0) mean /= nn;
    const double ang = nn >= 2 ? std::acos(std::clamp(u[0].dot(u[1]), -1., 1.)) / kDeg : 0.;
    // Group: keep subtype, neighbours, hydrogens, distance, riding factor.
    std::string sub;
    int nh = 0;
    double d0 = 0., ride = kRidingOther;
    bool staggered = false;
    if (el == "C") {
      if (nn == 1 && mean > 1.41) {
        sub = "tetrahed", nh = 3, d0 = HydroDistCH3, ride = kRidingCH3, staggered = true;
      } else if (nn == 1 && mean > 1.25) {
        sub = "triang", nh = 2, d0 = HydroDistCHAr;
      } else if (nn == 2 && ang < 160.) {
        const bool sp2 = (ang > 115. && mean < 1.46) || mean < 1.40;
        if (sp2)
          sub = "triang", nh = 1, d0 = HydroDistCHAr;
        else
          sub = "tetrahed", nh = 2, d0 = HydroDistCH2;
      } else if (nn == 3) {
        double sum = std::acos(std::clamp(u[0].dot(u[1]), -1., 1.)) +
                     std::acos(std::clamp(u[0].dot(u[2]), -1., 1.)) +
                     std::acos(std::clamp(u[1].dot(u[2]), -1., 1.));
        if (sum / kDeg < 348.) sub = "apical", nh = 1, d0 = HydroDistCH;
      }
    } else if (el == "N") {
      if (nn == 1 && mean < 1.40)
        sub = "triang", nh = 2, d0 = HydroDistNH;
      else if (nn == 1)
        sub = "tetrahed", nh = 3, d0 = HydroDistNH3, ride = kRidingCH3, staggered = true;
      else if (nn == 2 && ang > 112.)
        sub = "triang", nh = 1, d0 = HydroDistNH;
    } else if (el == "O") {
      if (nn == 1 && mean > 1.30)
        sub = "tetrahed", nh = 1, d0 = HydroDistOH, ride = kRidingCH3, staggered = true;
      else if (nn == 0)
        sub = "water", nh = 2, ride = kRidingCH3;
    }
    if (sub.empty()) {
      note(fmt::format("{} neighbours, no hydrogen group fits.", nn));
      continue;
    }
    const Eigen::Matrix3d mi = m.inverse();
    // Sum of the density at the hydrogens of directions `dir` at distance dd.
    auto rhoSum = [&](const std::vector<Eigen::Vector3d>& dir, double dd) {
      double r = 0.;
      for (const auto& v : dir) {
        const Eigen::Vector3d f = mi * (xc + dd * v);
        r += density({f[0], f[1], f[2]});
      }
      return r;
    };
    if (sub == "water") {
      const auto acc = Acceptors(work, i, m);
      if (acc.empty()) {
        res.Notes.push_back(x.Name + ": water without acceptors; no hydrogens placed.");
        continue;
      }
      const double d = HydroDistWater, half = 0.5 * HydroAngleWater * kDeg;
      std::vector<Eigen::Vector3d> dir;
      double best = 1e9;
      for (size_t a = 0; a < acc.size(); ++a)
        for (size_t b = a + 1; b < acc.size(); ++b) {
          const Eigen::Vector3d ua = (acc[a] - xc).normalized(), ub = (acc[b] - xc).normalized();
          const double ang = std::acos(std::clamp(ua.dot(ub), -1., 1.)) / kDeg;
          if (ang < 85. || ang > 135. || std::fabs(ang - HydroAngleWater) >= best) continue;
          best = std::fabs(ang - HydroAngleWater);
          const Eigen::Vector3d bis = (ua + ub).normalized(), e = (ua - ub).normalized();
          dir = {std::cos(half) * bis + std::sin(half) * e, std::cos(half) * bis - std::sin(half) * e};
        }
      if (dir.empty()) {
        // One acceptor (the nearest): the second hydrogen on the cone about the first.
        const Eigen::Vector3d u1 = (acc[0] - xc).normalized(), e1 = AnyPerp(u1),
                              e2 = u1.cross(e1);
        const double c = std::cos(2. * half), sn = std::sin(2. * half);
        double bestRho = -1e300, bestPhi = 0.;
        for (int deg = 0; density && deg < 360; ++deg) {
          const double phi = deg * kDeg;
          const double r =
              rhoSum({c * u1 + sn * (std::cos(phi) * e1 + std::sin(phi) * e2)}, d);
          if (r > bestRho) bestRho = r, bestPhi = phi;
        }
        dir = {u1, c * u1 + sn * (std::cos(bestPhi) * e1 + std::sin(bestPhi) * e2)};
      }
      const double ueq = EM40Ueq(ph, x);
      std::vector<std::string> names;
      for (int k = 0; k < 2; ++k) {
        const std::string hn = HName(work, x, el, k, 2);
        const Eigen::Vector3d xh = mi * (xc + d * dir[static_cast<size_t>(k)]);
        if (EM40AddAtom(work, x.Phase, hn, "H", {xh[0], xh[1], xh[2]}, ride * ueq, why)) return 1;
        work.Model.Atom[static_cast<size_t>(EM40FindAtom(work.Model, hn))].Part = x.Part;
        names.push_back(hn);
      }
      res.DistFix.push_back(fmt::format("{:.2f} 0.02 {} {}; {} {}", d, x.Name, names[0], x.Name,
                                        names[1]));
      res.DistFix.push_back(fmt::format("{:.2f} 0.04 {} {}",
                                        2. * d * std::sin(half), names[0], names[1]));
      res.Keep.push_back(fmt::format("ADP riding {} {:.1f} {} {}", x.Name, ride, names[0], names[1]));
      res.Added += 2;
      continue;
    }
    const double d = EM40HydroDistance(d0, tK);
    // Directions of the hydrogens.
    std::vector<Eigen::Vector3d> dir;
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (const auto& v : u) sum += v;
    if (nn == 1) {
      const Eigen::Vector3d axis = -u[0];
      const double cone = (180. - (sub == "tetrahed" ? kTetra : 120.)) * kDeg;
      Eigen::Vector3d e1 = Reference(work, nb[0], xc, axis, m);
      if (staggered) e1 = -e1;  // anti to the substituent
      const Eigen::Vector3d e2 = axis.cross(e1);
      const double step = 2. * kPi / (sub == "tetrahed" ? 3. : 2.);
      auto group = [&](double phi0) {
        std::vector<Eigen::Vector3d> v;
        for (int k = 0; k < nh; ++k) {
          const double phi = phi0 + step * k;
          v.push_back(std::cos(cone) * axis +
                      std::sin(cone) * (std::cos(phi) * e1 + std::sin(phi) * e2));
        }
        return v;
      };
      double phi0 = 0.;
      if (density && staggered) {
        // The torsion of the largest density sum on the circle of the hydrogens.
        double bestRho = -1e300;
        for (int deg = 0; deg < 360; ++deg) {
          const double r = rhoSum(group(deg * kDeg), d);
          if (r > bestRho) bestRho = r, phi0 = deg * kDeg;
        }
      }
      dir = group(phi0);
    } else if (nn == 2 && nh == 2) {
      const Eigen::Vector3d b = -sum.normalized();
      const Eigen::Vector3d n = u[0].cross(u[1]).normalized();
      const double half = 0.5 * kTetra * kDeg;
      dir.push_back(std::cos(half) * b + std::sin(half) * n);
      dir.push_back(std::cos(half) * b - std::sin(half) * n);
    } else {
      dir.push_back(-sum.normalized());
    }
    const double ueq = EM40Ueq(ph, x);
    std::vector<std::string> names;
    for (int k = 0; k < nh; ++k) {
      const std::string hn = HName(work, x, el, k, nh);
      const Eigen::Vector3d xh = mi * (xc + d * dir[static_cast<size_t>(k)]);
      if (EM40AddAtom(work, x.Phase, hn, "H", {xh[0], xh[1], xh[2]}, ride * ueq, why)) return 1;
      AtomRec& h = work.Model.Atom[static_cast<size_t>(EM40FindAtom(work.Model, hn))];
      h.Part = x.Part;
      const double occ = EM40Occupancy(work, x);
      h.Par.Val[static_cast<size_t>(AtomLayout(h.Shape).Off[BlkOcc])] *= occ;
      if (occ < 1. - 1e-6) res.Equation.push_back(fmt::format("ai[{}] = ai[{}]", hn, x.Name));
      names.push_back(hn);
    }
    std::string keep = fmt::format("hydro {} {} ", sub, x.Name);
    keep += sub == "apical" ? "3" : fmt::format("{} {}", nn, nh);
    for (const Neigh& n : nb) keep += " " + n.Name;
    keep += fmt::format(" {:.2f}", d);
    for (const auto& n : names) keep += " " + n;
    res.Keep.push_back(keep);
    std::string riding = fmt::format("ADP riding {} {:.1f}", x.Name, ride);
    for (const auto& n : names) riding += " " + n;
    res.Keep.push_back(riding);
    res.Added += nh;
  }
  // Hydrogens follow their parents in the atom list of the phase.
  SetBasicM40(work.Model);
  st = std::move(work);
  out.Keep.insert(out.Keep.end(), res.Keep.begin(), res.Keep.end());
  out.Equation.insert(out.Equation.end(), res.Equation.begin(), res.Equation.end());
  out.DistFix.insert(out.DistFix.end(), res.DistFix.begin(), res.DistFix.end());
  out.Notes.insert(out.Notes.end(), res.Notes.begin(), res.Notes.end());
  out.Added += res.Added;
  return 0;
}

}  // namespace tarn
