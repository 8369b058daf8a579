#include "model/basic.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <cmath>
#include <numbers>

#include "util/real_text.hpp"
#include "util/report.hpp"

namespace tarn {

namespace {

// Avogadro's number scaled for g/cm^3 from g/mol and Angstrom^3: N_A * 1e-24.
inline constexpr double kAvogadroA3 = 0.602214076;
// Smallest acceptable G determinant (Angstrom^6) of a cell.
inline constexpr double kMinMetricDet = 1e-12;
// Centring vectors allocated for a phase (the closure may not exceed it).
inline constexpr int kMaxCentring = 64;

double Deg(double rad) {
  return rad * 180. / std::numbers::pi;
}
double Rad(double deg) {
  return deg * std::numbers::pi / 180.;
}

// Real metric tensor from the cell: G_ij = a_i . a_j (Giacovazzo, Fundamentals
// of Crystallography, eq. 2.5).
Eigen::Matrix3d MetricTensor(const double* cell) {
  double ca = std::cos(Rad(cell[3])), cb = std::cos(Rad(cell[4])), cg = std::cos(Rad(cell[5]));
  Eigen::Matrix3d g;
  g << cell[0] * cell[0], cell[0] * cell[1] * cg, cell[0] * cell[2] * cb,  //
      cell[0] * cell[1] * cg, cell[1] * cell[1], cell[1] * cell[2] * ca,   //
      cell[0] * cell[2] * cb, cell[1] * cell[2] * ca, cell[2] * cell[2];
  return g;
}

// The complete symmetry of a phase from its listed operators and centring.
int SetSymmetry(PhaseBasic& p, ErrorRecord* err) {
  PhaseSymmetry ps = CrlPrimitivePhase(p.NDim, p.Magnetic);
  ps.NSymm = ps.NSymmN = 0;
  for (const auto& t : p.SymmText) {
    SymmOp op;
    if (ReadSymm(t, p.NDim, p.Magnetic, op, err)) return 1;
    CrlAddOp(ps, op.RM6.data(), op.S6.data(), op.ZMag);
  }
  if (ps.NSymm == 0) CrlAddOp(ps, CrlPrimitivePhase(p.NDim).Op[0].RM6.data(), Vec6{}.data(), 1.);
  // Centring: the vectors of the symbol, then the explicit ones, closed.
  ReallocSymm(ps, 0, kMaxCentring);
  auto add = [&](const std::vector<double>& v) {
    Vec6 w{};
    std::copy(v.begin(), v.begin() + std::min<size_t>(v.size(), kMaxNDim), w.begin());
    od0do1(w.data(), p.NDim);
    for (int i = 0; i < ps.NLattVec; ++i)
      if (eqrv(w.data(), ps.VT6[i].data(), p.NDim, kTolCentr)) return 0;
    if (ps.NLattVec >= kMaxCentring) return 1;
    CrlAddCentr(ps, w.data());
    return 0;
  };
  auto vt = LatticeCentring(p.Lattice, p.NDim);
  for (size_t i = 1; i < vt.size(); ++i) (void)add(vt[i]);
  for (const auto& v : p.LattVec)
    if (add(v)) {
      ReportError(fmt::format("The maximal number of {} centring vectors exceeded.", kMaxCentring));
      return 1;
    }
  int incomplete = 0;
  if (EM50CompleteCentr(false, ps, incomplete, err)) return 1;
  ps.NCSymm = p.Centro ? 2 : 1;
  if (CompleteSymm(ps, err)) return 1;
  CrlExpandCentroSym(ps);
  p.Symmetry = std::move(ps);
  return 0;
}

}  // namespace

std::vector<std::vector<double>> LatticeCentring(const std::string& symbol, int ndim) {
  std::vector<std::vector<double>> v;
  auto add = [&](double x, double y, double z) {
    std::vector<double> t(static_cast<size_t>(ndim), 0.);
    t[0] = x;
    t[1] = y;
    t[2] = z;
    v.push_back(std::move(t));
  };
  add(0, 0, 0);
  if (symbol == "P" || symbol == "X") return v;
  if (symbol == "A")
    add(0, .5, .5);
  else if (symbol == "B")
    add(.5, 0, .5);
  else if (symbol == "C")
    add(.5, .5, 0);
  else if (symbol == "I")
    add(.5, .5, .5);
  else if (symbol == "F") {
    add(0, .5, .5);
    add(.5, 0, .5);
    add(.5, .5, 0);
  } else if (symbol == "R") {  // obverse setting, hexagonal axes
    add(2. / 3., 1. / 3., 1. / 3.);
    add(1. / 3., 2. / 3., 2. / 3.);
  } else {
    v.clear();
  }
  return v;
}

void SetFormula(PhaseBasic& p) {
  std::string s;
  for (size_t i = 0; i < p.AtType.size(); ++i) {
    if (i >= p.AtTypeData.size() || !p.AtTypeData[i].Formula) continue;
    double n = *p.AtTypeData[i].Formula;
    if (n == 0.) continue;
    if (!s.empty()) s += ' ';
    s += p.AtType[i];
    if (n != 1.) s += ShortestReal(n);
  }
  p.FormulaText = s;
}

int SetBasicM50(BasicData& b, ErrorRecord* symmErr) {
  for (auto& p : b.Phase) {
    p.NDimI = p.NDim - 3;
    Eigen::Matrix3d g = MetricTensor(p.Cell);
    double det = g.determinant();
    if (!(det > kMinMetricDet) || !std::isfinite(det)) {
      ReportError("Cell parameters do not give a positive volume.",
                  {fmt::format("Phase \"{}\": {} {} {} {} {} {}", p.Name, p.Cell[0], p.Cell[1],
                               p.Cell[2], p.Cell[3], p.Cell[4], p.Cell[5])});
      return 1;
    }
    Eigen::Matrix3d gi = g.inverse();
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        p.MetTens[3 * i + j] = g(i, j);
        p.MetTensI[3 * i + j] = gi(i, j);
      }
    p.CellVol = std::sqrt(det);
    // Reciprocal cell from G* (a*^2 = G*_11, cos alpha* = G*_23 / (b* c*), ...).
    for (int i = 0; i < 3; ++i) p.CellR[i] = std::sqrt(gi(i, i));
    p.CellR[3] = Deg(std::acos(gi(1, 2) / (p.CellR[1] * p.CellR[2])));
    p.CellR[4] = Deg(std::acos(gi(0, 2) / (p.CellR[0] * p.CellR[2])));
    p.CellR[5] = Deg(std::acos(gi(0, 1) / (p.CellR[0] * p.CellR[1])));

    if (SetSymmetry(p, symmErr)) return 1;

    // Composition sums.
    p.FormulaAtoms = 0.;
    p.FormulaWeight = 0.;
    bool weights = true;
    for (size_t i = 0; i < p.AtTypeData.size(); ++i) {
      const auto& a = p.AtTypeData[i];
      if (!a.Formula) continue;
      p.FormulaAtoms += *a.Formula;
      if (a.AtWeight)
        p.FormulaWeight += *a.Formula * *a.AtWeight;
      else
        weights = false;
    }
    // Density = Z M / (N_A V).
    p.Density = weights && p.FormulaWeight > 0.
                    ? p.UnitsNumb * p.FormulaWeight / (kAvogadroA3 * p.CellVol)
                    : 0.;
    SetFormula(p);
  }
  return 0;
}

}  // namespace tarn
