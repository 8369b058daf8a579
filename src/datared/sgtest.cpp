// The space-group test: centring, Laue group, ranked space groups.
#include "datared/sgtest.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "util/fract.hpp"
#include "util/numbers.hpp"
#include "util/strings.hpp"

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
constexpr LaueDef kLaue[] = {{"-1", "P-1", "triclinic"},        {"2/m", "P12/m1", "monoclinic"},
                             {"2/m", "P112/m", "monoclinic"},   {"2/m", "P2/m11", "monoclinic"},
                             {"mmm", "Pmmm", "orthorhombic"},   {"4/m", "P4/m", "tetragonal"},
                             {"4/mmm", "P4/mmm", "tetragonal"}, {"-3", "P-3", "trigonal"},
                             {"-3m1", "P-3m1", "trigonal"},     {"-31m", "P-31m", "trigonal"},
                             {"6/m", "P6/m", "hexagonal"},      {"6/mmm", "P6/mmm", "hexagonal"},
                             {"m-3", "Pm-3", "cubic"},          {"m-3m", "Pm-3m", "cubic"}};

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

bool Near(double a, double b, double tol) {
  return std::fabs(a - b) <= tol;
}

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

double IoverS(const IntStatRefl& r) {
  return r.SigI > 0. ? r.I / r.SigI : 0.;
}

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

// Probability of a centrosymmetric structure from <|E^2-1|>; below 0.70
// (twinning, atoms on special positions) the statistics say nothing.
double PCentro(double e2m1) {
  return e2m1 < 0.70 ? 0.5 : std::clamp((e2m1 - 0.736) / (0.968 - 0.736), 0., 1.);
}

// Figure of merit: the absences a group explains, weighted by how weak they
// are, times the probability of (non-)centrosymmetry from <|E^2-1|>.
double Fom(const SgAbsStat& a, bool centro, double pc) {
  const double weak = a.NAll > 0 ? std::exp(-a.AveIs) : 1.;
  return (1. + a.NAll * weak) * (0.1 + (centro ? pc : 1. - pc));
}

// Reflections a symmetry element makes absent are consistent with it when
// their ave(I/sig(I)) stays within the limit and at most a tenth of them
// (and two more) are observed: a limit on the average alone lets a strong
// data set with many observed "absences" through.
bool Fits(const SgAbsStat& a, double limit) {
  return a.NAll == 0 || (a.AveIs <= limit && a.NObs <= 2 + a.NAll / 10);
}

// True when the (3+1)-dimensional reflection h is absent under ps (NDim 4).
bool SsgAbsent(const PhaseSymmetry& ps, const int h[4]) {
  const int n = ps.NDim;
  for (int k = 0; k < ps.NSymm; ++k) {
    const SymmOp& op = ps.Op[k];
    bool inv = true;
    for (int j = 0; j < n && inv; ++j) {
      double hr = 0.;
      for (int i = 0; i < n; ++i) hr += h[i] * op.RM6[i * n + j];
      inv = std::fabs(hr - h[j]) < 1e-6;
    }
    if (!inv) continue;
    for (int c = 0; c < ps.NLattVec; ++c) {
      double ht = 0.;
      for (int i = 0; i < n; ++i) ht += h[i] * (op.S6[i] + ps.VT6[c][i]);
      if (std::fabs(ht - std::round(ht)) > 1e-4) return true;
    }
  }
  return false;
}

// Does q (three components) have the form of a table's "(0,b,G)"-type
// vector: zeros and fractions where given, anything where a letter stands.
bool QFits(const std::string& form, const Vec3& q) {
  const size_t a = form.find('('), b = form.find(')');
  if (a == std::string::npos || b == std::string::npos || form.find('(', b) != std::string::npos)
    return false;  // one vector only
  const std::vector<std::string> w = SplitOn(form.substr(a + 1, b - a - 1), ",");
  if (w.size() != 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    const std::string c(Trim(w[i]));
    if (!c.empty() && std::isalpha(static_cast<unsigned char>(c[0]))) continue;
    const std::optional<double> v = ReadFract(c);
    if (!v || std::fabs(*v - q[i]) > 1e-3) return false;
  }
  return true;
}

}  // namespace

int DRSGTestSSG4(const std::vector<SsgTestRefl>& refl, const Vec3& q, const SgTable& tab,
                 const SsgTable& stab, const SgTestResult& main, const SgTestSettings& set,
                 std::vector<SsgCandidate>& out, std::vector<std::string>& lines) {
  out.clear();
  const int le = FindSmbSg(tab, main.LaueGroup);
  if (le < 0) return 1;
  const std::set<Rot> laue = Rotations(SgEntryOps(tab, le), true);
  const double pc = PCentro(main.E2m1Conclusive ? main.E2m1 : 0.);
  static constexpr int kPerm[6][3] = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1},
                                      {1, 0, 2}, {0, 2, 1}, {2, 1, 0}};
  const char* kAxis = "abc";
  for (int ip = 0; ip < 6; ++ip) {
    // New axis j is old axis perm[j]; odd permutations negate the first axis
    // so that the new basis keeps its hand. Indices and q follow h' = P^T h.
    const int* perm = kPerm[ip];
    const bool odd = ip >= 3;
    auto tr = [&](const double* v, double* o) {
      for (int j = 0; j < 3; ++j) o[j] = (j == 0 && odd ? -1. : 1.) * v[perm[j]];
    };
    Vec3 qn;
    tr(q.data(), qn.data());
    // q and -q describe the same modulation: the first non-zero component
    // positive, with m following.
    int msign = 1;
    for (double x : qn)
      if (std::fabs(x) > 1e-6) {
        msign = x < 0. ? -1 : 1;
        break;
      }
    for (double& x : qn) x *= msign;
    std::string axes;
    for (int j = 0; j < 3; ++j)
      axes += std::string(j ? "," : "") + (j == 0 && odd ? "-" : "") + kAxis[perm[j]];
    std::set<Rot> laueN;  // the Laue group in the new axes: R' = Q R P, Q = P^T
    for (const Rot& r : laue) {
      Rot n{};
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          n[i * 3 + j] = ((i == 0) == (j == 0) ? 1 : (odd ? -1 : 1)) * r[perm[i] * 3 + perm[j]];
      laueN.insert(n);
    }
    std::vector<SsgTestRefl> rn = refl;
    for (SsgTestRefl& r : rn) {
      double h[3] = {double(r.H[0]), double(r.H[1]), double(r.H[2])}, hn[3];
      tr(h, hn);
      for (int j = 0; j < 3; ++j) r.H[j] = static_cast<int>(std::lround(hn[j]));
      r.H[3] *= msign;
    }
    for (size_t i = 0; i < stab.Entry.size(); ++i) {
      const SsgEntry& e = stab.Entry[i];
      if (e.NDim != 4 || !QFits(e.QForm, qn)) continue;
      const PhaseSymmetry& ps = SsgEntryOps(stab, static_cast<int>(i));
      if (Rotations(ps, true) != laueN) continue;
      SsgCandidate c;
      c.Entry = static_cast<int>(i);
      c.Symbol = e.Symbol;
      c.Axes = axes;
      for (const SsgTestRefl& r : rn)
        if (SsgAbsent(ps, r.H)) AddAbs(c.Abs, IntStatRefl{{0, 0, 0}, r.I, r.SigI}, set.ObsLimit);
      Finish(c.Abs);
      if (!Fits(c.Abs, set.LimOther)) continue;
      c.Fom = Fom(c.Abs, Rotations(ps, false).size() == laueN.size(), pc);
      out.push_back(c);
    }
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const SsgCandidate& a, const SsgCandidate& b) { return a.Fom > b.Fom; });
  // A group met in several settings is listed in its best one.
  std::set<int> seen;
  std::erase_if(out, [&](const SsgCandidate& c) { return !seen.insert(c.Entry).second; });
  lines.push_back(
      fmt::format("Superspace groups for q = ({:.4f}, {:.4f}, {:.4f})", q[0], q[1], q[2]));
  lines.push_back(
      "Superspace group              axes       #obs/#all   ave(I/sig(I))  Figure of merit");
  for (const SsgCandidate& c : out)
    lines.push_back(fmt::format("{:<28} {:<8} {:6d}/{:<6d} {:10.2f} {:14.3f}", c.Symbol, c.Axes,
                                c.Abs.NObs, c.Abs.NAll, c.Abs.AveIs, c.Fom));
  return out.empty() ? 1 : 0;
}

namespace {

Eigen::Matrix3d MetricOf(const double* c) {
  const double d = M_PI / 180.;
  Eigen::Matrix3d g;
  g << c[0] * c[0], c[0] * c[1] * std::cos(c[5] * d), c[0] * c[2] * std::cos(c[4] * d),
      c[0] * c[1] * std::cos(c[5] * d), c[1] * c[1], c[1] * c[2] * std::cos(c[3] * d),
      c[0] * c[2] * std::cos(c[4] * d), c[1] * c[2] * std::cos(c[3] * d), c[2] * c[2];
  return g;
}

void CellOfMetric(const Eigen::Matrix3d& g, double* c) {
  for (int i = 0; i < 3; ++i) c[i] = std::sqrt(g(i, i));
  for (int i = 0; i < 3; ++i) {
    const int j = (i + 1) % 3, k = (i + 2) % 3;
    c[3 + i] = std::acos(std::clamp(g(j, k) / (c[j] * c[k]), -1., 1.)) * 180. / M_PI;
  }
}

// The crystal system of a cell's metric in its own axes (rank 1 triclinic
// .. 6 cubic; monoclinic with b unique).
int SystemRank(const double* c, const SgTestSettings& s) {
  const bool ab = Near(c[0], c[1], s.TolCell), bc = Near(c[1], c[2], s.TolCell);
  const bool al = Near(c[3], 90., s.TolAngle), be = Near(c[4], 90., s.TolAngle),
             ga = Near(c[5], 90., s.TolAngle), ga120 = Near(c[5], 120., s.TolAngle);
  if (al && be && ga) return ab && bc ? 6 : ab ? 4 : 3;
  if (al && be && ga120 && ab) return 5;
  return al && ga ? 2 : 1;
}

constexpr const char* kSystem[] = {"",           "triclinic", "monoclinic", "orthorhombic",
                                   "tetragonal", "hexagonal", "cubic"};

}  // namespace

Mat3 DRSGTestReducedCell(const double* cell) {
  const Eigen::Matrix3d g = MetricOf(cell);
  Eigen::Matrix3d b = Eigen::Matrix3d::Identity();  // columns: basis in data axes
  auto len2 = [&](const Eigen::Vector3d& v) { return v.dot(g * v); };
  for (bool changed = true; changed;) {
    changed = false;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        for (int k = -1; k < 3; ++k) {  // k = -1: pairs; else the third vector too
          if (j == i || k == i || k == j) continue;
          for (int sj : {-1, 1})
            for (int sk : {-1, 1}) {
              if (k < 0 && sk < 0) continue;
              Eigen::Vector3d v = b.col(i) + sj * b.col(j);
              if (k >= 0) v += sk * b.col(k);
              if (len2(v) < len2(b.col(i)) * (1. - 1e-9)) {
                b.col(i) = v;
                changed = true;
              }
            }
        }
  }
  std::array<int, 3> o{0, 1, 2};
  std::sort(o.begin(), o.end(), [&](int x, int y) { return len2(b.col(x)) < len2(b.col(y)); });
  Eigen::Matrix3d r;
  for (int i = 0; i < 3; ++i) r.col(i) = b.col(o[static_cast<size_t>(i)]);
  if (r.determinant() < 0.) r.col(2) = -r.col(2);
  return FromEigen(r);
}

std::vector<SgCellCandidate> DRSGTestMetricCells(const double* cell, const SgTestSettings& set) {
  const Eigen::Matrix3d r = ToEigen(DRSGTestReducedCell(cell)), g = MetricOf(cell);
  const double detR = std::fabs(r.determinant());
  SgCellCandidate best[7];
  double dev[7];
  std::fill(dev, dev + 7, 1e30);
  Eigen::Matrix3d p;
  for (int code = 0; code < 19683; ++code) {  // entries -1, 0, 1
    for (int e = 0, c = code; e < 9; ++e, c /= 3) p(e / 3, e % 3) = c % 3 - 1;
    const double det = p.determinant();
    if (det < 0.5 || det > 4.5) continue;
    const Eigen::Matrix3d m = r * p;
    double c[6];
    CellOfMetric(m.transpose() * g * m, c);
    const int rank = SystemRank(c, set);
    if (rank < 2) continue;
    // Among cells of one system the smallest volume, then beta closest to
    // (but not below) 90 degrees, then the shortest axes.
    const double d = det * 1e6 + (c[4] < 90. - set.TolAngle ? 1e4 : 0.) +
                     std::fabs(c[4] - 90.) * 10. + c[0] + c[1] + c[2];
    if (d >= dev[rank]) continue;
    dev[rank] = d;
    SgCellCandidate& b = best[rank];
    b.System = kSystem[rank];
    b.P = FromEigen(m);
    for (double& x : b.P) x = std::round(x);
    std::copy(c, c + 6, b.Cell);
    b.Det = static_cast<int>(std::lround(det * detR));
  }
  std::vector<SgCellCandidate> out;
  for (int rank = 6; rank >= 2; --rank)
    if (!best[rank].System.empty()) out.push_back(best[rank]);
  return out;
}

std::vector<Mat3> DRSGTestTwinMatrices(const double* cell, const SgTable& tab,
                                       const std::string& laueGroup, const SgTestSettings& set) {
  std::vector<Mat3> out;
  const int le = FindSmbSg(tab, laueGroup);
  if (le < 0) return out;
  const std::set<Rot> laue = Rotations(SgEntryOps(tab, le), true);
  const Eigen::Matrix3d g = MetricOf(cell);
  std::vector<Eigen::Matrix3d> kept;
  auto inLaue = [&](const Eigen::Matrix3d& m) {
    Rot r;
    for (int i = 0; i < 9; ++i)
      r[static_cast<size_t>(i)] = static_cast<int>(std::lround(m(i / 3, i % 3)));
    return laue.count(r) > 0;
  };
  Eigen::Matrix3d r;
  for (int code = 0; code < 19683; ++code) {
    for (int e = 0, c = code; e < 9; ++e, c /= 3) r(e / 3, e % 3) = c % 3 - 1;
    if (std::fabs(r.determinant() - 1.) > 1e-6 || inLaue(r)) continue;
    // The metric of the rotated axes (columns of R^-1 map the basis).
    const Eigen::Matrix3d h = r.transpose() * g * r;
    bool keeps = true;
    for (int i = 0; i < 3 && keeps; ++i)
      for (int j = 0; j < 3 && keeps; ++j) {
        const double n = std::sqrt(g(i, i) * g(j, j));
        keeps = std::fabs(h(i, j) - g(i, j)) <= set.TolTwin * n * (i == j ? 2. : 1.);
      }
    if (!keeps) continue;
    const Eigen::Matrix3d ri = r.inverse();
    if (std::any_of(kept.begin(), kept.end(),
                    [&](const Eigen::Matrix3d& k) { return inLaue(ri * k); }))
      continue;  // same coset of the Laue group
    kept.push_back(r);
    out.push_back(FromEigen(r));
  }
  return out;
}

std::vector<Vec3> DRSGTestCentrRepeat(const std::vector<IntStatRefl>& refl,
                                      const std::vector<Vec3>& vt, const SgTestSettings& set) {
  // The lattice found so far (centring vectors modulo integers), closed
  // after every accepted vector.
  std::vector<Vec3> lat = vt;
  auto inLattice = [&](const Vec3& t) {
    return std::any_of(lat.begin(), lat.end(), [&](const Vec3& v) {
      for (int i = 0; i < 3; ++i) {
        const double d = t[i] - v[i];
        if (std::fabs(d - std::round(d)) > 1e-6) return false;
      }
      return true;
    });
  };
  std::vector<Vec3> found;
  for (int n : {2, 3})
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        for (int k = 0; k < n; ++k) {
          const Vec3 t{double(i) / n, double(j) / n, double(k) / n};
          if (inLattice(t)) continue;
          // Reflections the vector adds to the absences of the lattice.
          SgAbsStat s;
          for (const IntStatRefl& r : refl)
            if (!CentringAbsent(lat, r.H) && CentringAbsent({t}, r.H)) AddAbs(s, r, set.ObsLimit);
          Finish(s);
          if (s.NAll == 0 || !Fits(s, set.LimCentr)) continue;
          found.push_back(t);
          // drsgtestcentrclean: closure, every sum of a lattice vector and a
          // multiple of t, reduced to [0, 1).
          std::vector<Vec3> add;
          for (int m = 1; m < n; ++m)
            for (const Vec3& v : lat) {
              Vec3 w;
              for (int c = 0; c < 3; ++c)
                w[c] = v[c] + m * t[c] - std::floor(v[c] + m * t[c] + 1e-9);
              add.push_back(w);
            }
          for (const Vec3& w : add)
            if (!inLattice(w)) lat.push_back(w);
        }
  return found;
}

std::string DRSGTestAxesText(const Mat3& p) {
  std::string axes;
  for (int j = 0; j < 3; ++j) {
    std::string t;
    for (int i = 0; i < 3; ++i) {
      const double v = p[static_cast<size_t>(3 * i + j)];
      if (std::fabs(v) < 1e-9) continue;
      const double a = std::fabs(v);
      const std::string num = std::fabs(a - 1.) > 1e-9 ? ToFract(a, 12) : "";
      t += (v < 0. ? "-" : t.empty() ? "" : "+") + num + "abc"[i];
    }
    axes += (j ? "," : "") + t;
  }
  return axes;
}

Mat3 DRSGTestSubCell(const std::vector<Vec3>& x) {
  // Lattice points in [0, 1)^3: the closure of the X vectors.
  std::vector<Eigen::Vector3d> pts{Eigen::Vector3d::Zero()};
  auto reduce = [](Eigen::Vector3d v) {
    for (int i = 0; i < 3; ++i) v[i] -= std::floor(v[i] + 1e-9);
    return v;
  };
  for (size_t k = 0; k < pts.size() && pts.size() < 64; ++k)
    for (const Vec3& t : x) {
      const Eigen::Vector3d w = reduce(pts[k] + Eigen::Vector3d(t[0], t[1], t[2]));
      if (std::none_of(pts.begin(), pts.end(),
                       [&](const Eigen::Vector3d& q) { return (q - w).norm() < 1e-6; }))
        pts.push_back(w);
    }
  const double want = 1. / static_cast<double>(pts.size());
  // Three lattice vectors (a point minus a vertex of the cell) spanning the
  // volume of one lattice point form a basis.
  std::vector<Eigen::Vector3d> cand;
  for (const Eigen::Vector3d& q : pts)
    for (int c = 0; c < 8; ++c) {
      const Eigen::Vector3d v = q - Eigen::Vector3d(c & 1, (c >> 1) & 1, (c >> 2) & 1);
      if (v.norm() > 1e-9) cand.push_back(v);
    }
  Eigen::Matrix3d b = Eigen::Matrix3d::Identity();
  for (size_t i = 0; i < cand.size(); ++i)
    for (size_t j = i + 1; j < cand.size(); ++j)
      for (size_t k = j + 1; k < cand.size(); ++k) {
        Eigen::Matrix3d m;
        m << cand[i], cand[j], cand[k];
        if (std::fabs(std::fabs(m.determinant()) - want) > 1e-6) continue;
        if (m.determinant() < 0.) m.col(2) = -m.col(2);
        b = m;
        i = j = k = cand.size();  // done
      }
  return FromEigen(b);
}

int DRSGTestToCell(const Mat3& p, std::vector<IntStatRefl>& refl, PhaseBasic& phase) {
  const Eigen::Matrix3d m = ToEigen(p);
  const Eigen::Matrix3d g = m.transpose() * MetricOf(phase.Cell) * m, gi = g.inverse();
  CellOfMetric(g, phase.Cell);
  for (int i = 0; i < 9; ++i) {
    phase.MetTens[i] = g(i / 3, i % 3);
    phase.MetTensI[i] = gi(i / 3, i % 3);
  }
  phase.CellVol = std::sqrt(g.determinant());
  int dropped = 0;
  std::erase_if(refl, [&](IntStatRefl& r) {
    const Eigen::Vector3d h = m.transpose() * Eigen::Vector3d(r.H[0], r.H[1], r.H[2]);
    for (int i = 0; i < 3; ++i) {
      if (std::fabs(h[i] - std::round(h[i])) > 1e-4) {
        ++dropped;
        return true;
      }
    }
    for (int i = 0; i < 3; ++i) r.H[i] = static_cast<int>(std::lround(h[i]));
    return false;
  });
  return dropped;
}

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
  if (DRIntensityStatistics(refl, phase, st) == 0) {
    out.E2m1 = st.E2m1All;
    out.E2m1Conclusive = st.Conclusive;
  }
  // Cells of higher metric symmetry the axes of the data may hide.
  out.Cells = DRSGTestMetricCells(phase.Cell, set);
  const int own = SystemRank(phase.Cell, set);
  for (SgCellCandidate& c : out.Cells) {
    if (std::find(std::begin(kSystem), std::end(kSystem), c.System) - std::begin(kSystem) <= own)
      continue;
    c.Higher = true;
    L.push_back(fmt::format(
        "Cell of higher metric symmetry: {:<13} {:.4f} {:.4f} {:.4f} {:.2f} {:.2f} {:.2f}  "
        "axes {}  volume {} x that of the cell",
        c.System, c.Cell[0], c.Cell[1], c.Cell[2], c.Cell[3], c.Cell[4], c.Cell[5],
        DRSGTestAxesText(c.P), c.Det));
  }
  if (!L.empty()) L.emplace_back();
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
    const bool ok = Fits(s, set.LimCentr);
    const size_t nv = EM50GenCentr(c).size();
    L.push_back(fmt::format("{:<10} {:6d}/{:<6d} {:10.2f}{}",
                            c == 'R'   ? "R-obverse"
                            : c == 'T' ? "R-reverse"
                                       : std::string(1, c),
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
  out.XCentr = DRSGTestCentrRepeat(refl, vt, set);
  for (const Vec3& x : out.XCentr)
    L.push_back(fmt::format("X centring vector ({:.4f} {:.4f} {:.4f}): the cell may be a supercell",
                            x[0], x[1], x[2]));
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
    L.push_back(fmt::format("Averaging for Laue group: {:<8} {:8.4f}{}", l->Name, r,
                            ok ? "" : "   rejected"));
    if (ok && (rots.size() > bestOrder || (rots.size() == bestOrder && r < bestR))) {
      bestOrder = rots.size();
      bestR = r;
      out.Laue = l->Name;
      out.LaueGroup = l->Group;
      out.System = l->System;
      laueRots = rots;
    }
  }
  out.Twins = DRSGTestTwinMatrices(phase.Cell, tab, out.LaueGroup, set);
  for (const Mat3& t : out.Twins)
    L.push_back(fmt::format("Twin matrix suggested by the metric: {} {} {} / {} {} {} / {} {} {}",
                            t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8]));
  // Candidates: settings of the centring whose Laue class is the chosen one.
  // Probability of a centrosymmetric structure from <|E^2-1|>; below 0.70
  // (twinning, atoms on special positions) the statistics say nothing.
  const double pc = PCentro(out.E2m1Conclusive ? out.E2m1 : 0.);
  std::set<std::pair<int, std::string>> seen;  // (number, absences) already listed
  for (size_t i = 0; i < tab.Entry.size(); ++i) {
    const SgEntry& e = tab.Entry[i];
    if (std::toupper(static_cast<unsigned char>(e.Short[0])) !=
        (out.Centring == 'T' ? 'R' : out.Centring))
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
    if (!Fits(c.Abs, set.LimOther)) continue;
    if (!seen.insert({e.Number, key}).second) continue;  // other origin choice
    // Figure of merit: the absences the group explains, weighted by how
    // weak they are, times the probability of (non-)centrosymmetry from
    // <|E^2-1|>; ties go to the group of higher symmetry.
    c.Fom = Fom(c.Abs, c.Centro, pc);
    out.Cand.push_back(c);
  }
  // Equal figures of merit: the group of higher symmetry first.
  std::stable_sort(out.Cand.begin(), out.Cand.end(),
                   [](const SgCandidate& a, const SgCandidate& b) {
                     if (std::fabs(a.Fom - b.Fom) > 1e-9 * std::max(a.Fom, b.Fom))
                       return a.Fom > b.Fom;
                     return a.Order > b.Order;
                   });
  L.emplace_back();
  L.push_back(fmt::format("<|E^2-1|> = {:.3f}{}", out.E2m1,
                          out.E2m1Conclusive ? "" : " (not conclusive: not used)"));
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
