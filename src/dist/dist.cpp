// The distance tool: neighbour lists, angles and the individual quantities.
#include "dist/dist.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "model/covariance.hpp"
#include "model/scatdata.hpp"
#include "model/session.hpp"
#include "util/files.hpp"
#include "util/report.hpp"
#include "util/round_esd.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {}  // namespace

double DistTypeRadius(const PhaseBasic& p, int t) {
  if (t < 1 || t > static_cast<int>(p.AtType.size())) return 0.;
  const auto& d = p.AtTypeData;
  if (t <= static_cast<int>(d.size()) && d[static_cast<size_t>(t - 1)].AtRadius)
    return *d[static_cast<size_t>(t - 1)].AtRadius;
  if (auto e = ScatElement(p.AtType[static_cast<size_t>(t - 1)]); e && e->RCov) return *e->RCov;
  return 0.;
}

namespace {

std::string ElementOf(const std::string& type) {
  auto n = ScatParseName(type);
  return n ? n->Element : type;
}

// Coordinates rounded to the last digit their uncertainty shows.
void RoundCoordinates(DistPhase& ph) {
  for (auto& a : ph.Atoms)
    for (int k = 0; k < 3; ++k)
      if (a.XSu[k] > RoundEsdZeroSu) {
        const double f = std::pow(10., RoundEsdDecimals(a.XSu[k], ph.RoundRule));
        a.X[k] = std::round(a.X[k] * f) / f;
      }
}

// An individual quantity between named atoms.
template <class Fn>
DistMeasure Individual(const DistPhase& ph, const std::vector<std::string>& names, Fn fn) {
  DistMeasure m;
  m.Atoms = names;
  std::vector<DistPoint> p;
  for (const auto& n : names) {
    DistNeighbour nb;
    if (!DistParseAtom(ph, n, nb)) return m;
    p.push_back(DistPointOf(ph, nb));
  }
  const DistValue v = fn(p);
  m.Value = v.Value;
  m.Su = DistSu(ph, v.Grad);
  m.Ok = true;
  return m;
}

}  // namespace

double DistPairMax(const PhaseBasic& p, const DistTables& tables, const DistCommands& c, int t1,
                   int t2) {
  if (c.DMax > 0.) return c.DMax;
  const int nt = static_cast<int>(p.AtType.size());
  if (t1 < 1 || t2 < 1 || t1 > nt || t2 > nt) return 0.;
  const std::string& a = p.AtType[static_cast<size_t>(t1 - 1)];
  const std::string& b = p.AtType[static_cast<size_t>(t2 - 1)];
  double d = 0.;
  for (const auto& td : p.TypDist)
    if ((EqIgnoreCase(td.AtA, a) && EqIgnoreCase(td.AtB, b)) ||
        (EqIgnoreCase(td.AtA, b) && EqIgnoreCase(td.AtB, a)))
      d = td.Dist;
  if (d <= 0.)
    if (auto t = DistTypicalOf(tables, ElementOf(a), ElementOf(b))) d = *t;
  if (d <= 0.) {
    const double r1 = DistTypeRadius(p, t1), r2 = DistTypeRadius(p, t2);
    if (r1 > 0. && r2 > 0.) d = r1 + r2;
  }
  return d * (1. + c.ExpDMax / 100.);
}

int DistRun(const Structure& s, const DistCommands& c, const DistTables& tables, DistResults& r,
            std::shared_ptr<const CovMatrix> cov, std::string covNote) {
  r = DistResults{};
  r.Cmd = c;
  if (DistMakePhase(s, Sess.KPhase, r.Phase)) return 1;
  DistPhase& ph = r.Phase;
  if (c.Round == 1) RoundCoordinates(ph);
  const PhaseBasic& p = s.Basic.Phase[static_cast<size_t>(ph.Phase - 1)];
  const int nt = static_cast<int>(p.AtType.size());

  // Maximal distances per pair of atom types; row 0 / column 0 hold the
  // limit of the objects (peaks, centres, lone pairs): dmax, else the
  // largest limit of the other atom's type.
  std::vector<double> pairMax(static_cast<size_t>((nt + 1) * (nt + 1)), 0.);
  double dmaxAll = 0.;
  for (int i = 1; i <= nt; ++i)
    for (int j = 1; j <= nt; ++j) {
      const double d = DistPairMax(p, tables, c, i, j);
      pairMax[static_cast<size_t>(i * (nt + 1) + j)] = d;
      auto& oi = pairMax[static_cast<size_t>(i * (nt + 1))];
      oi = c.DMax > 0. ? c.DMax : std::max(oi, d);
      pairMax[static_cast<size_t>(i)] = oi;
      dmaxAll = std::max(dmaxAll, d);
    }
  auto typeMax = [&](int t1, int t2) {
    t1 = std::max(t1, 0);
    t2 = std::max(t2, 0);
    if (t1 > nt || t2 > nt || (t1 == 0 && t2 == 0)) return c.DMax > 0. ? c.DMax : 0.;
    return pairMax[static_cast<size_t>(t1 * (nt + 1) + t2)];
  };
  std::vector<char> objNeighbour;
  {
    const auto objs = DistAddObjects(s, c, ph, typeMax);
    objNeighbour.assign(ph.Atoms.size(), 0);
    for (int i : objs) objNeighbour[static_cast<size_t>(i)] = 1;
  }
  ph.Cov = std::move(cov);
  ph.CovNote = std::move(covNote);
  DistIndexCov(ph);
  auto occOk = [&](int a) {
    return !(c.OccCut > 0.) || ph.Atoms[static_cast<size_t>(a)].Occ > c.OccCut;
  };
  auto pairOk = [&](int a, int b) {
    const DistAtom &A = ph.Atoms[static_cast<size_t>(a)], &B = ph.Atoms[static_cast<size_t>(b)];
    if (B.Kind != DoAtom) return objNeighbour[static_cast<size_t>(b)] != 0;
    if (!occOk(b)) return false;
    // Parts of one split position are alternatives, not neighbours.
    if (c.SkipSplt > 0 && a != b && A.Split > 0 && A.Split == B.Split) return false;
    return true;
  };

  // Modulated phases: neighbours may come within the limits only at some t,
  // so the search reaches farther by the displacements of both atoms and
  // each candidate is kept when it lies within the limits at one t at least.
  const bool mod = ph.NDimI > 0;
  double dispAll = 0.;
  if (mod) {
    if (DistMakeModel(s, ph, r.Mod)) return 1;
    r.TGrid = DistTGrid(c, ph.NDimI);
    if (!r.TGrid.empty()) ph.T0 = r.TGrid[0];
    for (const auto& ma : r.Mod.Atoms) dispAll = std::max(dispAll, ma.MaxDisp);
  }
  auto disp = [&](int i) { return mod ? r.Mod.Atoms[static_cast<size_t>(i)].MaxDisp : 0.; };
  bool dirrefBad = false;
  for (int a = 0; a < static_cast<int>(ph.Atoms.size()); ++a) {
    const DistAtom& A = ph.Atoms[static_cast<size_t>(a)];
    if (A.Kind != DoAtom || !DistSelected(c.Select, A.Name) || !occOk(a)) continue;
    DistCoordination co;
    co.Central = a;
    auto limit = [&](int b) { return typeMax(A.Type, ph.Atoms[static_cast<size_t>(b)].Type); };
    auto reach = [&](int b) {
      const double d = limit(b);
      return d > 0. ? d + disp(a) + disp(b) : 0.;
    };
    auto accept = [&](int b) {
      if (!pairOk(a, b) || !DistSelected(c.SelSecnd, ph.Atoms[static_cast<size_t>(b)].Name))
        return false;
      // Reduced coordination: each pair once, under its first atom.
      return c.FullCoor != 0 || b >= a || ph.Atoms[static_cast<size_t>(b)].Kind != DoAtom;
    };
    co.Neigh = ph.Parts.empty()
                   ? DistAround(ph, a, mod ? 0. : c.DMin, dmaxAll + 2. * dispAll, reach, accept)
                   : DistModAround(ph, r.Mod, a, r.TGrid, reach, accept);
    if (mod) {
      std::vector<DistNeighbour> kept;
      for (auto& n : co.Neigh) {
        DistTCurve cv = DistModDistance(ph, r.Mod, a, n, r.TGrid, c.OccCut);
        DistModLimit(cv, c.DMin, limit(n.Atom));
        if (cv.N == 0) continue;
        kept.push_back(std::move(n));
        co.Curves.push_back(std::move(cv));
      }
      co.Neigh = std::move(kept);
    }
    if (static_cast<int>(co.Neigh.size()) > DistMaxNeighbours) {
      ReportError(fmt::format("The maximal number of {} neighbours exceeded.", DistMaxNeighbours),
                  {"Atom " + A.Name + ": the list is cut to the nearest ones."});
      co.Neigh.resize(DistMaxNeighbours);
      if (co.Curves.size() > co.Neigh.size()) co.Curves.resize(co.Neigh.size());
      co.Overflow = true;
    }
    for (auto& n : co.Neigh)
      n.LowOcc = A.Occ < c.OccInd || (ph.Atoms[static_cast<size_t>(n.Atom)].Kind == DoAtom &&
                                      ph.Atoms[static_cast<size_t>(n.Atom)].Occ < c.OccInd);
    if (!DistRefAngles(ph, c.DirRef, a, co.Neigh)) dirrefBad = true;
    if (c.Angles == 1) {
      const DistPoint pa = DistPointOf(ph, a);
      for (int i = 0; i < static_cast<int>(co.Neigh.size()); ++i)
        for (int j = i + 1; j < static_cast<int>(co.Neigh.size()); ++j) {
          const DistValue v = DistAngle(ph.Cell, DistPointOf(ph, co.Neigh[static_cast<size_t>(i)]),
                                        pa, DistPointOf(ph, co.Neigh[static_cast<size_t>(j)]));
          co.Angles.push_back({i, j, v.Value, DistSu(ph, v.Grad)});
          if (mod) {
            // An angle counts at the t where both of its bonds do.
            DistTCurve cv = DistModAngle(ph, r.Mod, a, co.Neigh[static_cast<size_t>(i)],
                                         co.Neigh[static_cast<size_t>(j)], r.TGrid);
            const auto &bi = co.Curves[static_cast<size_t>(i)].In,
                       &bj = co.Curves[static_cast<size_t>(j)].In;
            for (size_t g = 0; g < cv.In.size(); ++g) cv.In[g] = cv.In[g] && bi[g] && bj[g];
            DistModLimit(cv, -1., -1.);
            co.AngleCurves.push_back(std::move(cv));
          }
        }
    }
    r.Coord.push_back(std::move(co));
  }
  if (dirrefBad)
    ReportWarning("dirref: expected three numbers (a lattice direction) or two atoms.");

  for (const auto& names : c.IndDist)
    r.Distances.push_back(Individual(ph, names, [&](const std::vector<DistPoint>& q) {
      return DistDistance(ph.Cell, q[0], q[1]);
    }));
  for (const auto& names : c.IndAngle)
    r.Angles.push_back(Individual(ph, names, [&](const std::vector<DistPoint>& q) {
      return DistAngle(ph.Cell, q[0], q[1], q[2]);
    }));
  for (const auto& names : c.Torsion)
    r.Torsions.push_back(Individual(ph, names, [&](const std::vector<DistPoint>& q) {
      return DistTorsion(ph.Cell, {q[0], q[1], q[2], q[3]});
    }));

  DistBestPlanes(r);
  DistHydrogenBonds(r);
  DistBondValenceSums(s, tables, r, typeMax);
  DistHirshfeldTest(r);
  r.Listing = DistListing(s, tables, r);
  return 0;
}

int Dist(const Structure& s, DistResults& out) {
  const int kp = Sess.KPhase;
  if (kp < 1 || kp > static_cast<int>(s.Basic.Phase.size())) {
    ReportError("The structure has no basic data for the distance calculation.");
    return 1;
  }
  const int ndimI = s.Basic.Phase[static_cast<size_t>(kp - 1)].NDim - 3;
  // The element tables give the radii of atom types that M50 leaves without;
  // a failure has been reported and limits then come from dmax alone.
  (void)ScatEnsureLoaded();
  DistCommands c;
  // Errors of single keywords have been reported; the tool runs with the rest.
  (void)DistReadCommands(s.Basic.CommandText, c, ndimI);
  DistTables tables;
  ErrorRecord err;
  if (DistLoadTables(Sess.HomeDir + "dist/", tables, err)) {
    ReportError("The tables of the distance calculation could not be read.", err.Lines());
    return 1;
  }
  std::shared_ptr<const CovMatrix> cov;
  std::string note;
  if (c.Covar == 0) {
    note = "The covariance matrix of the refinement is not used (covar 0)";
  } else {
    auto m = std::make_shared<CovMatrix>();
    switch (LoadCovariance(Sess.fln, *m, err)) {
      case CovState::Used:
        cov = std::move(m);
        break;
      case CovState::OtherModel:
        note = "The covariance matrix " + Sess.fln + ".cov belongs to another M40: not used";
        break;
      case CovState::Unreadable:
        ReportWarning("The covariance matrix could not be read; the s.u. are taken as independent.",
                      err.Lines());
        note = "The covariance matrix " + Sess.fln + ".cov could not be read: not used";
        break;
      case CovState::Absent:
        break;
    }
  }
  if (DistRun(s, c, tables, out, cov, note)) return 1;
  if (Sess.fln.empty()) return 0;
  std::string text;
  for (const auto& l : out.Listing) text += l + "\n";
  if (FeWriteFileAtomic(Sess.fln + ".dis", text)) {
    ReportError("The listing " + Sess.fln + ".dis could not be written.");
    return 1;
  }
  return 0;
}

}  // namespace tarn
