#pragma once
// Builders of small structures for the tests of symmetry, model and import:
// phases from operator lines, the open structure kept aside while a test
// changes it, atoms looked up by name, and the texts of ../shared/data.
// (The symmetry tests use only the inline phase builders, which need nothing
// of the model library.)
#include <gtest/gtest.h>

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
