// The listing fln.dis of the distance tool.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "dist/dist.hpp"
#include "model/session.hpp"
#include "symmetry/symm.hpp"
#include "util/real_text.hpp"
#include "util/round_esd.hpp"

namespace tarn {

namespace {

class Out {
 public:
  explicit Out(int rule) : rule_(rule) {}
  std::vector<std::string> Lines;
  void Line(std::string s = {}) { Lines.push_back(std::move(s)); }
  // A value with its uncertainty in a 15-character field, decimal points
  // aligned (DistRoundESD).
  std::string Esd(double v, double su, int maxDec = 4) const {
    std::string t = RoundESD(v, su, maxDec, rule_, RoundEsdLeadingBlank);
    size_t dot = t.find('.');
    if (dot == std::string::npos) dot = t.find('(');
    if (dot == std::string::npos) dot = t.size();
    const int pad = std::max(0, 6 - static_cast<int>(dot));
    t.insert(0, static_cast<size_t>(pad), ' ');
    if (t.size() < 15) t.resize(15, ' ');
    return t;
  }

 private:
  int rule_;
};

std::string Num(double v) {
  return ShortestReal(std::round(v * 1e6) / 1e6);
}

std::string Star(bool b) {
  return b ? "*" : " ";
}

}  // namespace

std::string DistRoundESD(double value, double su, int maxDecimals, int rule) {
  return Out(rule).Esd(value, su, maxDecimals);
}

// The t values of a modulated distance (every "each"-th) and its summary.
static void TCurveLines(Out& o, const DistResults& r, const DistTCurve& cv) {
  const int each = r.Cmd.Each, d = r.Phase.NDimI;
  for (size_t i = 0; each > 0 && i < cv.D.size(); i += static_cast<size_t>(each)) {
    std::string t;
    for (int k = 0; k < d; ++k) t += fmt::format(" {:6.3f}", r.TGrid[i][static_cast<size_t>(k)]);
    const bool in = i < cv.In.size() ? cv.In[i] != 0 : cv.D[i] >= 0.;
    o.Line(!in ? fmt::format("      t ={}   --", t) : fmt::format("      t ={} {:8.4f}", t, cv.D[i]));
  }
  if (cv.N == 0)
    o.Line("      The atoms do not meet within the limits at any t.");
  else
    o.Line(fmt::format("      Average : {:.4f}, Minimum : {:.4f}, Maximum : {:.4f}", cv.Ave, cv.Min,
                       cv.Max));
}

std::vector<std::string> DistListing(const Structure& s, const DistTables& tables,
                                     const DistResults& r) {
  const DistPhase& ph = r.Phase;
  const DistCommands& c = r.Cmd;
  const PhaseBasic& p = s.Basic.Phase[static_cast<size_t>(ph.Phase - 1)];
  Out o(ph.RoundRule);
  o.Line(fmt::format("{} {} - distances, angles and torsions", Sess.ProgramName, Sess.Version));
  if (!Sess.fln.empty()) o.Line("Structure: " + Sess.fln);
  if (!p.Name.empty()) o.Line("Phase: " + p.Name);
  o.Line(fmt::format("Cell: {}", [&] {
    std::string t;
    for (int k = 0; k < 6; ++k)
      t += (k ? " " : "") + RoundESD(ph.Cell.Par[k], ph.Cell.Su[k], 4, ph.RoundRule);
    return t;
  }()));
  o.Line();
  o.Line(c.Angles == 1 ? "Distances and angles will be calculated"
                       : "Distances will be calculated");
  if (c.DMax > 0.)
    o.Line(fmt::format("Distances will be calculated from d(min)={} to d(max)={}", Num(c.DMin),
                       Num(c.DMax)));
  else
    o.Line(fmt::format(
        "Distances will be calculated from d(min)={} to specific maximal distances as listed below "
        "expanded by %:{}",
        Num(c.DMin), Num(c.ExpDMax)));
  o.Line(c.FullCoor != 0 ? "Full coordination of atoms will be printed"
                         : "Reduced coordination of atoms will be printed");
  if (c.Round == 1) o.Line("Coordinates are rounded to their standard uncertainties");
  o.Line(ph.Cov ? "Uncertainties from the covariance matrix of the refinement"
                : "Uncertainties from the coordinate and cell s.u., taken as independent");
  if (!ph.CovNote.empty()) o.Line(ph.CovNote);
  if (c.OccCut > 0.) o.Line("Atoms with occupancy up to " + Num(c.OccCut) + " are left out");
  if (ph.NDimI > 0) {
    o.Line(fmt::format("Modulated structure: distances over {} values of t for the neighbours "
                       "of the average structure",
                       r.TGrid.size()));
    o.Line(c.Each <= 0   ? std::string("Print of steps supressed")
           : c.Each == 1 ? std::string("Each step will be printed")
                         : fmt::format("Each {} step will be printed", c.Each));
    o.Line("A value over t counts where both atoms exist and lie within the limits (\"--\" elsewhere)");
    if (!ph.Parts.empty())
      o.Line(fmt::format("Composite of {} parts: images by the operators in the basis of each "
                         "part and translations of its lattice; the distance before each curve is "
                         "the one at the first t of the grid",
                         ph.Parts.size()));
    for (const auto& n : r.Mod.Unsupported)
      o.Line("Atom " + n + ": its modulation is not evaluated (composite part, or waves without "
             "wave vectors); its average position is used");
  }
  o.Line();
  if (c.DMax <= 0.) {
    o.Line("Atom type    Atom radius");
    for (size_t t = 0; t < p.AtType.size(); ++t) {
      const double rad = DistTypeRadius(p, static_cast<int>(t) + 1);
      o.Line(fmt::format("{:<12} {}", p.AtType[t], rad > 0. ? Num(rad) : "-"));
    }
    o.Line();
    o.Line("Maximal distances of pairs of atom types");
    for (int i = 1; i <= static_cast<int>(p.AtType.size()); ++i)
      for (int j = i; j <= static_cast<int>(p.AtType.size()); ++j)
        o.Line(fmt::format("{:<8} {:<8} {}", p.AtType[static_cast<size_t>(i - 1)],
                           p.AtType[static_cast<size_t>(j - 1)],
                           fmt::format("{:.3f}", DistPairMax(p, tables, c, i, j))));
    o.Line();
  }
  if (c.LstType == 0) {
    o.Line("Symmetry operators (the translation of each neighbour is included):");
  } else {
    o.Line("Symmetry operators (names#s<operator>c<centring>t<translation>):");
  }
  for (size_t i = 0; i < ph.Ops.size(); ++i)
    o.Line(fmt::format("  {:>3} {}", i + 1, ph.Ops[i].Text));
  o.Line();

  {
    bool head = false;
    for (const auto& a : ph.Atoms) {
      if (a.Kind == DoAtom) continue;
      if (!head) o.Line("Objects other than atoms (fractional position):");
      head = true;
      static constexpr const char* kWhat[] = {"", "Fourier maximum", "Fourier minimum", "centre",
                                              "lone pair"};
      o.Line(fmt::format("  {:<9} {:<16} {:9.6f} {:9.6f} {:9.6f}", a.Name, kWhat[a.Kind], a.X[0],
                         a.X[1], a.X[2]));
    }
    if (head) o.Line();
    head = false;
    for (const auto& a : ph.Atoms) {
      if (a.Mol < 0) continue;
      if (!head) o.Line("Atoms of molecules (model atoms placed by the positions of M40):");
      head = true;
      const auto& mol = s.Model.Mol[static_cast<size_t>(a.Mol)];
      o.Line(fmt::format("  {:<9} {:<8} {:<8} {:9.6f} {:9.6f} {:9.6f}", a.Name, mol.Name,
                         mol.Pos[static_cast<size_t>(a.MolPos)].Name, a.X[0], a.X[1], a.X[2]));
    }
    if (head) o.Line();
  }
  if (!c.DirRef.empty()) {
    std::string d;
    for (const auto& w : c.DirRef) d += " " + w;
    o.Line("Angles of the bonds to the reference direction" + d + " in the last column");
    o.Line();
  }

  // The operator of a neighbour with its lattice translation included.
  auto opText = [&](const DistNeighbour& n) {
    const DistOp& op = ph.Ops[static_cast<size_t>(n.Op)];
    Mat6 rm{};
    Vec6 t{};
    for (int i = 0; i < 3; ++i) {
      t[static_cast<size_t>(i)] = op.T[static_cast<size_t>(i)] + n.N[static_cast<size_t>(i)];
      for (int j = 0; j < 3; ++j)
        rm[static_cast<size_t>(i * 3 + j)] = op.R[static_cast<size_t>(i * 3 + j)];
    }
    std::string text;
    for (const auto& comp : CodeSymm(rm.data(), t.data(), 3))
      text += (text.empty() ? "" : ",") + comp;
    return text;
  };
  auto name = [&](const DistNeighbour& n) {
    return c.LstType == 1 ? DistNameWithSymm(ph, n) : ph.Atoms[static_cast<size_t>(n.Atom)].Name;
  };

  for (const auto& co : r.Coord) {
    const DistAtom& A = ph.Atoms[static_cast<size_t>(co.Central)];
    o.Line(fmt::format("Coordination of atom {}", A.Name));
    if (co.Neigh.empty()) {
      o.Line("  no neighbours within the limits");
      o.Line();
      continue;
    }
    o.Line(c.LstType == 1 ? "  Atom                 Distance"
                          : "  Atom      Distance       Symmetry");
    for (size_t k = 0; k < co.Neigh.size(); ++k) {
      const DistNeighbour& n = co.Neigh[k];
      const std::string ref = n.RefAngle >= 0. ? " " + o.Esd(n.RefAngle, n.RefAngleSu, 2) : "";
      if (c.LstType == 1)
        o.Line(fmt::format("  {:<20} {}{}{}", name(n), o.Esd(n.D, n.DSu), Star(n.LowOcc), ref));
      else
        o.Line(fmt::format("  {:<9} {}{} {}{}", name(n), o.Esd(n.D, n.DSu), Star(n.LowOcc),
                           opText(n), ref));
      if (k < co.Curves.size()) TCurveLines(o, r, co.Curves[k]);
    }
    if (co.Overflow)
      o.Line(fmt::format("  The maximal number of {} neighbours exceeded.", DistMaxNeighbours));
    if (c.TTables == 1 && !co.Curves.empty()) {
      // Coordination table over t: the neighbours within the limits at t.
      o.Line("  Coordination as a function of t: t, number of neighbours, shortest, mean and "
             "longest distance");
      const size_t step = static_cast<size_t>(std::max(1, c.Each));
      for (size_t g = 0; g < r.TGrid.size(); g += step) {
        std::string t;
        for (int k = 0; k < ph.NDimI; ++k) t += fmt::format(" {:6.3f}", r.TGrid[g][static_cast<size_t>(k)]);
        int cn = 0;
        double lo = 1e30, hi = 0., sum = 0.;
        for (const auto& cv : co.Curves)
          if (g < cv.In.size() && cv.In[g]) {
            ++cn;
            lo = std::min(lo, cv.D[g]);
            hi = std::max(hi, cv.D[g]);
            sum += cv.D[g];
          }
        o.Line(cn == 0 ? fmt::format("    t ={} {:3d}", t, cn)
                       : fmt::format("    t ={} {:3d} {:8.4f} {:8.4f} {:8.4f}", t, cn, lo,
                                     sum / cn, hi));
      }
    }
    if (!co.Angles.empty()) {
      o.Line("  Angles");
      for (size_t k = 0; k < co.Angles.size(); ++k) {
        const DistAngleRec& a = co.Angles[k];
        o.Line(fmt::format("  {:<9} {:<9} {:<9} {}", name(co.Neigh[static_cast<size_t>(a.B)]),
                           A.Name, name(co.Neigh[static_cast<size_t>(a.C)]),
                           o.Esd(a.Value, a.Su, 2)));
        if (k < co.AngleCurves.size()) TCurveLines(o, r, co.AngleCurves[k]);
      }
    }
    o.Line();
  }

  auto measures = [&](const char* title, const std::vector<DistMeasure>& list, int dec) {
    if (list.empty()) return;
    o.Line(title);
    for (const auto& m : list) {
      std::string names;
      for (const auto& n : m.Atoms) names += fmt::format("{:<12}", n);
      o.Line("  " + names + (m.Ok ? o.Esd(m.Value, m.Su, dec) : std::string("atom not found")));
    }
    o.Line();
  };
  measures("Individual distances", r.Distances, 4);
  measures("Individual angles", r.Angles, 2);
  measures("Torsion angles", r.Torsions, 2);

  for (size_t i = 0; i < r.Planes.size(); ++i) {
    const auto& pl = r.Planes[i];
    std::string names;
    for (const auto& n : pl.Atoms) names += " " + n;
    o.Line(fmt::format("Best plane {}:{}", i + 1, names));
    if (!pl.Ok) {
      o.Line("  atom not found");
      o.Line();
      continue;
    }
    o.Line("  Atom          Distance from the plane");
    for (const auto& d : pl.Dev)
      o.Line(fmt::format("  {:<12}{}", d.Atoms[0], o.Esd(d.Value, d.Su)));
    o.Line(fmt::format("  r.m.s. deviation: {:.4f}", pl.Rms));
    o.Line();
  }
  measures("Angles between planes", r.PlaneAngles, 2);

  bool anyH = false;
  for (const auto& a : ph.Atoms) anyH = anyH || a.Element == "H" || a.Element == "D";
  if (anyH) {
    o.Line("Hydrogen bonds");
    o.Line("Maximal donor-hydrogen bond : " + Num(c.DHMax));
    o.Line("Maximal hydrogen-acceptor bond: " + Num(c.HAMax));
    o.Line("Minimal angle donor-hydrogen-acceptor: " + Num(c.DHAMin));
    if (r.HBonds.empty()) o.Line("  no hydrogen bonds found");
    for (const auto& h : r.HBonds) {
      const std::string hn = ph.Atoms[static_cast<size_t>(h.H)].Name;
      o.Line(fmt::format("  {:<12} {:<8} {:<12} D-H {} H...A {} D...A {} D-H...A {}",
                         DistNameWithSymm(ph, h.Donor), hn, DistNameWithSymm(ph, h.Acceptor),
                         o.Esd(h.Donor.D, h.Donor.DSu), o.Esd(h.Acceptor.D, h.Acceptor.DSu),
                         o.Esd(h.DA, h.DASu), o.Esd(h.Angle, h.AngleSu, 2)));
    }
    o.Line();
  }
  if (!r.BondValences.empty()) {
    o.Line("List of bond valence sums");
    for (const auto& b : r.BondValences) {
      std::string l = fmt::format("Bond valence sum for : {:<8} {} ({} bonds)",
                                  ph.Atoms[static_cast<size_t>(b.Atom)].Name,
                                  o.Esd(b.Sum, b.Su, 3), b.NBonds);
      if (ph.NDimI > 0)
        l += b.NT == 0 ? std::string(" average : -")
                       : fmt::format(" average : {:.3f} minumum : {:.3f}  maximum : {:.3f}", b.Ave,
                                     b.Min, b.Max);
      o.Line(l);
    }
    o.Line();
  }
  o.Line(
      fmt::format("Hirshfeld test: differences of mean-square displacements along bonds "
                  "greater than {} s.u.",
                  Num(c.HirshLev)));
  if (r.Hirshfeld.empty()) {
    o.Line(
        fmt::format("There were no bonds violating the test ({} bonds tested)", r.HirshfeldTested));
  } else {
    for (const auto& h : r.Hirshfeld)
      o.Line(fmt::format("  {:<9} {:<20} {}", ph.Atoms[static_cast<size_t>(h.A)].Name,
                         DistNameWithSymm(ph, h.B), o.Esd(h.Delta, h.Su, 5)));
  }
  return o.Lines;
}

}  // namespace tarn
