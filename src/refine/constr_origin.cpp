// Origin of polar space groups. In a group whose operators all leave a
// direction v invariant (R v = v), a common shift of every atom along v
// changes no structure factor: the normal matrix is singular along it. The
// free directions are the kernel of the stacked matrices R - I; the origin is
// fixed either by one atom ("fixed pol") or by the default condition
//   sum_a w_a u.dx_a = 0,  w_a = occupancy * f(0)^2 of the atom type,
// added to the normal equations as lambda g g^T (Flack & Schwarzenbach,
// Acta Cryst. A44 (1988) 499), with the centroid sum_a w_a u.x_a / sum w_a
// brought back to its starting value after every cycle.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "model/atoms.hpp"
#include "model/structure.hpp"
#include "model/basic.hpp"
#include "refine/constr.hpp"
#include "refine/constr_internal.hpp"
#include "refine/refcommands.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr double kTolKernel = 1.0e-6;   // pivot below which a column of R - I counts as zero
constexpr double kTolFreeDir = 1.0e-9;  // mismatch of a direction representable by refined shifts

// Basis of the null space of the stacked rows (n columns) in reduced echelon
// form; each vector has 1 at its free column. Returns the free columns too.
std::vector<std::vector<double>> NullSpace(std::vector<std::vector<double>> a, int n,
                                           std::vector<int>& freeCol) {
  std::vector<int> pivCol;
  size_t row = 0;
  for (int c = 0; c < n && row < a.size(); ++c) {
    size_t best = row;
    for (size_t r = row; r < a.size(); ++r)
      if (std::fabs(a[r][static_cast<size_t>(c)]) > std::fabs(a[best][static_cast<size_t>(c)]))
        best = r;
    if (std::fabs(a[best][static_cast<size_t>(c)]) < kTolKernel) continue;
    std::swap(a[row], a[best]);
    const double d = a[row][static_cast<size_t>(c)];
    for (double& x : a[row]) x /= d;
    for (size_t r = 0; r < a.size(); ++r) {
      if (r == row) continue;
      const double f = a[r][static_cast<size_t>(c)];
      if (f == 0.) continue;
      for (int k = 0; k < n; ++k)
        a[r][static_cast<size_t>(k)] -= f * a[row][static_cast<size_t>(k)];
    }
    pivCol.push_back(c);
    ++row;
  }
  std::vector<std::vector<double>> out;
  freeCol.clear();
  for (int c = 0; c < n; ++c) {
    if (std::find(pivCol.begin(), pivCol.end(), c) != pivCol.end()) continue;
    std::vector<double> v(static_cast<size_t>(n), 0.);
    v[static_cast<size_t>(c)] = 1.;
    for (size_t r = 0; r < pivCol.size(); ++r)
      v[static_cast<size_t>(pivCol[r])] = -a[r][static_cast<size_t>(c)];
    out.push_back(std::move(v));
    freeCol.push_back(c);
  }
  return out;
}

// Scattering power of an atom: occupancy * f(0)^2 (f(0) = a1+a2+a3+a4+c of
// the Gaussian form factor), 1 when the form factor is not a Gaussian set.
double OriginWeight(const RefParams& p, int ia) {
  const AtomRec& a = Struct.Model.Atom[static_cast<size_t>(ia)];
  const AtomLayoutInfo lay = AtomLayout(a.Shape);
  double occ = 1.;
  if (lay.Len[BlkOcc] > 0)
    occ = std::max(
        0., p.Val[static_cast<size_t>(p.AtomBase[static_cast<size_t>(ia)] + lay.Off[BlkOcc])]);
  double f0 = 1.;
  const size_t ph = static_cast<size_t>(std::max(1, a.Phase) - 1);
  if (ph < Struct.Basic.Phase.size()) {
    const auto& td = Struct.Basic.Phase[ph].AtTypeData;
    const size_t t = static_cast<size_t>(std::max(1, a.Type) - 1);
    if (t < td.size() && td[t].FFBasic.size() == 9) {
      const auto& ff = td[t].FFBasic;
      f0 = ff[0] + ff[2] + ff[4] + ff[6] + ff[8];
    }
  }
  return occ * f0 * f0;
}

// Atoms of phase ph (0-based) that carry the origin: hydrogen atoms placed
// by keep commands follow their parents and are left out.
std::vector<int> OriginAtoms(const RefParams& p, int ph) {
  std::set<int> placed;
  for (const RefHydro& h : p.Hydro) placed.insert(h.H.begin(), h.H.end());
  std::vector<int> out;
  for (size_t ia = 0; ia < Struct.Model.Atom.size(); ++ia)
    if (Struct.Model.Atom[ia].Phase == ph + 1 && !placed.count(static_cast<int>(ia)))
      out.push_back(static_cast<int>(ia));
  return out;
}

int PosParam(const RefParams& p, int ia, int k) {
  return p.AtomBase[static_cast<size_t>(ia)] +
         AtomLayout(Struct.Model.Atom[static_cast<size_t>(ia)].Shape).Off[BlkPos] + k;
}

// Weighted centroid u.x of the atoms, with the weights normalised.
double Centroid(const RefParams& p, const std::vector<int>& atoms, const RefOriginDir& o,
                std::vector<double>* w = nullptr) {
  std::vector<double> ww;
  double sw = 0.;
  for (int ia : atoms) {
    ww.push_back(OriginWeight(p, ia));
    sw += ww.back();
  }
  if (sw <= 0.) {
    std::fill(ww.begin(), ww.end(), 1.);
    sw = static_cast<double>(ww.size());
  }
  double c = 0.;
  for (size_t i = 0; i < atoms.size(); ++i) {
    ww[i] /= sw;
    for (int k = 0; k < 3; ++k)
      c += ww[i] * o.Dual[static_cast<size_t>(k)] *
           p.Val[static_cast<size_t>(PosParam(p, atoms[i], k))];
  }
  if (w) *w = std::move(ww);
  return c;
}

}  // namespace

std::vector<std::array<double, 3>> PolarAxis(const PhaseSymmetry& ps) {
  if (ps.NCSymm == 2) return {};  // -1 among the operators
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < ps.NSymm; ++i)
    for (int r = 0; r < 3; ++r) {
      std::vector<double> row(3);
      for (int c = 0; c < 3; ++c)
        row[static_cast<size_t>(c)] =
            ps.Op[static_cast<size_t>(i)].RM6[static_cast<size_t>(r * ps.NDim + c)] -
            (r == c ? 1. : 0.);
      rows.push_back(std::move(row));
    }
  std::vector<int> freeCol;
  std::vector<std::array<double, 3>> out;
  for (const auto& v : NullSpace(rows, 3, freeCol)) out.push_back({v[0], v[1], v[2]});
  return out;
}

int PolarX4Axis(const PhaseSymmetry& ps) {
  const int ni = ps.NDim - 3;
  if (ni <= 0 || ps.NCSymm == 2) return 0;
  std::vector<std::vector<double>> rows;
  for (int i = 0; i < ps.NSymm; ++i)
    for (int r = 0; r < ni; ++r) {
      std::vector<double> row(static_cast<size_t>(ni));
      for (int c = 0; c < ni; ++c)
        row[static_cast<size_t>(c)] =
            ps.Op[static_cast<size_t>(i)].RM6[static_cast<size_t>((r + 3) * ps.NDim + c + 3)] -
            (r == c ? 1. : 0.);
      rows.push_back(std::move(row));
    }
  std::vector<int> freeCol;
  return static_cast<int>(NullSpace(rows, ni, freeCol).size());
}

void reffixoriginreset(RefParams& p) {
  p.Origin.clear();
  for (size_t ip = 0; ip < Struct.Basic.Phase.size(); ++ip) {
    const PhaseSymmetry& ps = Struct.Basic.Phase[ip].Symmetry;
    const auto axes = PolarAxis(ps);
    for (const auto& v : axes) {
      RefOriginDir o;
      o.Phase = static_cast<int>(ip);
      o.Dir = v;
      // The free column of the echelon vector is its last non-zero
      // component; the other vectors are zero there.
      int piv = 0;
      for (int k = 0; k < 3; ++k)
        if (std::fabs(v[static_cast<size_t>(k)]) > kTolKernel) piv = k;
      o.Pivot = piv;
      o.Dual = {0., 0., 0.};
      o.Dual[static_cast<size_t>(piv)] = 1.;
      o.Ref = Centroid(p, OriginAtoms(p, o.Phase), o);
      p.Origin.push_back(o);
    }
    if (PolarX4Axis(ps) > 0) {
      RefOriginDir o;
      o.Phase = static_cast<int>(ip);
      o.X4 = true;
      p.Origin.push_back(o);
    }
  }
}

void RefFixOriginCommand(RefParams& p, const RefFixed& f) {
  for (const std::string& raw : f.Atoms) {
    const std::string name = raw.substr(0, raw.find('#'));
    int atom = -1;
    for (size_t ia = 0; ia < Struct.Model.Atom.size(); ++ia)
      if (EqIgnoreCase(Struct.Model.Atom[ia].Name, name)) atom = static_cast<int>(ia);
    if (atom < 0) {
      RefListLine(p, std::string(constrmsg::OriginNoAtom) + name, true);
      continue;
    }
    const int ph = Struct.Model.Atom[static_cast<size_t>(atom)].Phase - 1;
    for (RefOriginDir& o : p.Origin) {
      if (o.Phase != ph || o.X4 != (f.What == FixX4)) continue;
      if (!o.X4) {
        p.Key[static_cast<size_t>(PosParam(p, atom, o.Pivot))] = 0;
        o.UserFixed = true;
        continue;
      }
      // A shift along x4 turns the (sin, cos) pair of each first-order wave;
      // keeping the component whose partner is largest fixes it to first order.
      const AtomLayoutInfo lay = AtomLayout(Struct.Model.Atom[static_cast<size_t>(atom)].Shape);
      if (lay.Len[BlkPosWave] < 6) continue;
      const int base = p.AtomBase[static_cast<size_t>(atom)] + lay.Off[BlkPosWave];
      int best = 0;
      for (int k = 1; k < 6; ++k)
        if (std::fabs(p.Val[static_cast<size_t>(base + (k + 3) % 6)]) >
            std::fabs(p.Val[static_cast<size_t>(base + (best + 3) % 6)]))
          best = k;
      p.Key[static_cast<size_t>(base + best)] = 0;
      o.UserFixed = true;
    }
  }
}

void RefFixOrigin(RefParams& p) {
  const int n = p.size();
  for (RefOriginDir& o : p.Origin) {
    o.Active = false;
    o.Row.clear();
    if (o.UserFixed) continue;
    if (o.X4) {
      RefListLine(p, std::string(constrmsg::X4Origin1), true);
      RefListLine(p, std::string(constrmsg::X4Origin2), false);
      continue;
    }
    const std::vector<int> atoms = OriginAtoms(p, o.Phase);
    if (atoms.empty()) continue;
    // Is the common shift along Dir reachable by refined shifts? Not when an
    // atom's coordinate along it is kept (the origin is then fixed by it).
    std::vector<double> d(static_cast<size_t>(n), 0.), dc(static_cast<size_t>(p.NRef)),
        s(static_cast<size_t>(n));
    for (int ia : atoms)
      for (int k = 0; k < 3; ++k)
        d[static_cast<size_t>(PosParam(p, ia, k))] = o.Dir[static_cast<size_t>(k)];
    for (int k = 0; k < p.NRef; ++k)
      dc[static_cast<size_t>(k)] = d[static_cast<size_t>(p.Refined[static_cast<size_t>(k)])];
    refderuncompress(p, dc.data(), s.data());
    bool free = true;
    for (int ia : atoms)
      for (int k = 0; k < 3; ++k) {
        const size_t i = static_cast<size_t>(PosParam(p, ia, k));
        if (std::fabs(s[i] - d[i]) > kTolFreeDir) free = false;
      }
    bool any = false;
    for (double v : dc) any = any || v != 0.;
    if (!free || !any) continue;
    RefListLine(p, std::string(constrmsg::OriginDefault), false);
    o.Ref = Centroid(p, atoms, o);
    // g over the full vector: derivative of the centroid; compressed like a
    // derivative (the compression is the transpose of the shift expansion).
    std::vector<double> w;
    Centroid(p, atoms, o, &w);
    std::vector<double> g(static_cast<size_t>(n), 0.);
    for (size_t i = 0; i < atoms.size(); ++i)
      for (int k = 0; k < 3; ++k)
        g[static_cast<size_t>(PosParam(p, atoms[i], k))] += w[i] * o.Dual[static_cast<size_t>(k)];
    o.Row.assign(static_cast<size_t>(p.NRef), 0.);
    RefDerCompress(p, g.data(), o.Row.data());
    o.Active = true;
  }
}

void reffixoriginsuma(const RefParams& p, double* am) {
  double dmax = 0.;
  for (int i = 0; i < p.NRef; ++i)
    dmax = std::max(dmax, am[static_cast<size_t>(i) * (i + 1) / 2 + static_cast<size_t>(i)]);
  if (dmax <= 0.) dmax = 1.;
  for (const RefOriginDir& o : p.Origin) {
    if (!o.Active) continue;
    double gg = 0.;
    for (double v : o.Row) gg += v * v;
    if (gg <= 0.) continue;
    const double lambda = dmax / gg;
    for (int i = 0; i < p.NRef; ++i) {
      const double gi = o.Row[static_cast<size_t>(i)];
      if (gi == 0.) continue;
      double* rowp = am + static_cast<size_t>(i) * (i + 1) / 2;
      for (int j = 0; j <= i; ++j) rowp[j] += lambda * gi * o.Row[static_cast<size_t>(j)];
    }
  }
}

void reffixoriginrenorm(RefParams& p) {
  for (const RefOriginDir& o : p.Origin) {
    if (!o.Active) continue;
    const double shift = Centroid(p, OriginAtoms(p, o.Phase), o) - o.Ref;
    // Every atom of the phase moves, placed hydrogen atoms included.
    for (size_t ia = 0; ia < Struct.Model.Atom.size(); ++ia) {
      if (Struct.Model.Atom[ia].Phase != o.Phase + 1) continue;
      for (int k = 0; k < 3; ++k)
        p.Val[static_cast<size_t>(PosParam(p, static_cast<int>(ia), k))] -=
            shift * o.Dir[static_cast<size_t>(k)];
    }
  }
}

}  // namespace tarn
