#pragma once
// Builders of small structures for the tests of symmetry, model and import:
// phases from operator lines, the open structure kept aside while a test
// changes it, atoms looked up by name, and the texts of ../shared/data.
// (The symmetry tests use only the inline phase builders, which need nothing
// of the model library.)
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "model/atoms.hpp"
#include "model/structure.hpp"
#include "symmetry/site.hpp"
#include "symmetry/symm.hpp"
#include "util/files.hpp"

namespace tarn::test {

// Phase of dimension ndim holding the identity, the given centring vectors
// and the operators read from lines (not completed).
inline PhaseSymmetry MakePhase(int ndim, const std::vector<std::string>& ops,
                               const std::vector<std::vector<double>>& centr = {},
                               bool magnetic = false) {
  PhaseSymmetry ps = CrlPrimitivePhase(ndim, magnetic);
  for (const auto& c : centr) CrlAddCentr(ps, c.data());
  for (const auto& line : ops) {
    SymmOp op;
    if (ReadSymm(line, ndim, magnetic, op) != 0) {
      ADD_FAILURE() << "cannot read operator: " << line;
      continue;
    }
    CrlAddOp(ps, op.RM6.data(), op.S6.data(), op.ZMag);
  }
  return ps;
}

// MakePhase closed into a group.
inline PhaseSymmetry MakeGroup(int ndim, const std::vector<std::string>& ops,
                               const std::vector<std::vector<double>>& centr = {},
                               bool magnetic = false) {
  PhaseSymmetry ps = MakePhase(ndim, ops, centr, magnetic);
  EXPECT_EQ(CompleteSymm(ps), 0);
  return ps;
}

// Random values of block `kind` around v, the dependent ones from the site
// equations.
inline std::vector<double> Constrained(const SpecEquations& eqs, int kind, std::vector<double> v,
                                       std::mt19937& rng) {
  std::uniform_real_distribution<double> u(-0.1, 0.1);
  for (double& x : v) x += u(rng);
  for (int e = 0; e < eqs.NEq; ++e) {
    const SpecEquation& q = eqs.Eq[static_cast<size_t>(e)];
    if (q.Kind != kind) continue;
    double s = q.Const;
    for (size_t i = 0; i < q.Coef.size(); ++i) s += q.Coef[i] * v[static_cast<size_t>(q.Ind[i])];
    v[static_cast<size_t>(q.Dep)] = s;
  }
  return v;
}

// Number of site equations of block `kind`.
inline int NumEq(const SpecEquations& eqs, int kind) {
  int n = 0;
  for (int e = 0; e < eqs.NEq; ++e) n += eqs.Eq[static_cast<size_t>(e)].Kind == kind;
  return n;
}

// Cartesian frame of a cell (Angstrom, degrees): a along x, b in the xy plane.
inline Eigen::Matrix3d CellOrtho(const double* c) {
  const double d = 3.14159265358979323846 / 180.;
  const double ca = std::cos(c[3] * d), cb = std::cos(c[4] * d), cg = std::cos(c[5] * d),
               sg = std::sin(c[5] * d);
  const double v = std::sqrt(1. - ca * ca - cb * cb - cg * cg + 2. * ca * cb * cg);
  Eigen::Matrix3d m;
  m << c[0], c[1] * cg, c[2] * cb, 0., c[1] * sg, c[2] * (ca - cb * cg) / sg, 0., 0., c[2] * v / sg;
  return m;
}

// An operator of a (3+d)-dimensional group (primitive) that maps the real
// position x onto itself, with its action xb4 -> Eps.xb4 + Delta on the
// internal coordinates (Delta = t_I + M.x), taken straight from the operator.
struct IntSiteOp {
  Eigen::Matrix3d R;
  Eigen::MatrixXd Eps;
  Eigen::VectorXd Delta;
  // x4 kept with an integer shift, or reversed about the centre c.
  bool KeepsInterval(double c) const {
    for (int j = 1; j < Eps.cols(); ++j)
      if (Eps(0, j) != 0.) return false;
    const double v = Eps(0, 0) < 0. ? 2. * c - Delta[0] : Delta[0];
    return std::fabs(v - std::round(v)) < 1e-9;
  }
};
inline std::vector<IntSiteOp> IntSiteOps(const PhaseSymmetry& ps, const std::array<double, 3>& x) {
  const int n = ps.NDim, d = n - 3;
  if (ps.NLattVec > 1) ADD_FAILURE() << "centring vectors are not taken here";
  std::vector<IntSiteOp> out;
  for (int j = 0; j < ps.NSymm; ++j) {
    const SymmOp& op = ps.Op[static_cast<size_t>(j)];
    auto rm = [&](int r, int c) { return op.RM6[static_cast<size_t>(r * n + c)]; };
    bool on = true;
    for (int i = 0; i < 3; ++i) {
      double y = op.S6[static_cast<size_t>(i)] - x[static_cast<size_t>(i)];
      for (int k = 0; k < 3; ++k) y += rm(i, k) * x[static_cast<size_t>(k)];
      on = on && std::fabs(y - std::round(y)) < 1e-9;
    }
    if (!on) continue;
    IntSiteOp s{Eigen::Matrix3d::Zero(), Eigen::MatrixXd::Zero(d, d), Eigen::VectorXd::Zero(d)};
    for (int i = 0; i < 3; ++i)
      for (int k = 0; k < 3; ++k) s.R(i, k) = rm(i, k);
    for (int i = 0; i < d; ++i) {
      s.Delta[i] = op.S6[static_cast<size_t>(3 + i)];
      for (int k = 0; k < 3; ++k) s.Delta[i] += rm(3 + i, k) * x[static_cast<size_t>(k)];
      for (int k = 0; k < d; ++k) s.Eps(i, k) = rm(3 + i, 3 + k);
    }
    out.push_back(s);
  }
  return out;
}

// Canonical one-line text of operator i ("x y z+1/2").
inline std::string OpLine(const PhaseSymmetry& ps, int i) {
  std::string s;
  for (const auto& t : ps.Op[i].Text) s += (s.empty() ? "" : " ") + t;
  return s;
}

// Keeps the basic data and the model of the open structure aside for the
// time of a test and starts it from empty ones.
class StructureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = {Struct.Basic, Struct.Model};
    Struct.Basic = BasicData{};
    Struct.Model = AtomModel{};
  }
  void TearDown() override {
    Struct.Basic = std::move(saved_.first);
    Struct.Model = std::move(saved_.second);
  }

 private:
  std::pair<BasicData, AtomModel> saved_;
};

// The atom of a model by name; nullptr when absent.
inline const AtomRec* FindAtom(const AtomModel& m, std::string_view name) {
  for (const auto& a : m.Atom)
    if (a.Name == name) return &a;
  return nullptr;
}

// Value k of a parameter block of an atom (BlkOcc, BlkPos, BlkAdp, ...).
inline double AtomPar(const AtomRec& a, int block, int k = 0) {
  return a.Par.Val[AtomLayout(a.Shape).Off[block] + k];
}

// Text of a file of ../shared/data; empty when the data are absent.
inline std::string SharedData(const std::string& rel) {
  std::string text;
  if (FeReadFile("../shared/data/" + rel, text)) return "";
  return text;
}

}  // namespace tarn::test
