// Origin of polar space groups: the free directions of real groups, the
// default condition removing the singular direction of the normal matrix,
// renormalisation of the centroid, and fixing by one atom.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <fstream>
#include <random>
#include <sstream>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"
#include "refine/constr.hpp"
#include "refine/refcommands.hpp"
#include "support/refine_sim.hpp"

namespace tarn {
namespace {

// Generators and centring letter of a group of the space-group table.
bool LoadGroup(const std::string& symbol, std::vector<std::string>& gen, std::string& lattice) {
  std::ifstream in("tests/symmetry/data/spacegroups.txt");
  std::string line;
  bool on = false;
  gen.clear();
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string w, num, sym;
    ls >> w;
    if (w == "group") {
      ls >> num >> sym;
      on = sym == symbol;
      lattice = sym.substr(0, 1);
    } else if (on && w == "gen") {
      gen.push_back(line.substr(4));
    } else if (on && w == "end") {
      return true;
    }
  }
  return false;
}

void SetGroup(const std::string& symbol) {
  std::vector<std::string> gen;
  std::string lattice;
  ASSERT_TRUE(LoadGroup(symbol, gen, lattice)) << symbol;
  Struct.Basic = BasicData{};
  Struct.Basic.Phase.resize(1);
  Struct.Basic.DatBlock.resize(1);
  PhaseBasic& ph = Struct.Basic.Phase[0];
  const double cell[6] = {7.1, 8.3, 9.7, 90., symbol.find("P2_1") == 0 ? 104. : 90., 90.};
  std::copy(cell, cell + 6, ph.Cell);
  if (symbol == "P4mm") ph.Cell[1] = ph.Cell[0];
  if (symbol == "P1") ph.Cell[3] = 97., ph.Cell[5] = 101.;
  ph.Lattice = lattice;
  ph.SymmText = gen.empty() ? std::vector<std::string>{"x y z"} : gen;
  ph.AtType = {"C", "O"};
  ph.AtTypeData.resize(2);
  // f(0) = 6 and 8 (Gaussian sets a1 b1 .. a4 b4 c).
  ph.AtTypeData[0].FFBasic = {2, 10, 1, 1, 1, 20, 1, 50, 1};
  ph.AtTypeData[1].FFBasic = {3, 10, 2, 1, 1, 20, 1, 50, 1};
  ASSERT_EQ(SetBasicM50(Struct.Basic), 0);
  Struct.Model = AtomModel{};
  Struct.Model.DatBlock.resize(1);
  Struct.Model.DatBlock[0].Scale.resize(1);
  Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
}

void AddAtom(const std::string& name, int type, std::array<double, 3> x) {
  testsim::AddIsoAtom(name, type, x, 0.02);
}

bool Listed(const RefParams& p, std::string_view s) {
  return std::find(p.Listing.begin(), p.Listing.end(), std::string(s)) != p.Listing.end();
}

struct PolarCase {
  const char* Group;
  std::vector<std::array<double, 3>> Axes;
};

TEST(ConstrOrigin, PolarAxesOfRealGroups) {
  const PolarCase cases[] = {
      {"P1", {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}},
      {"P-1", {}},
      {"P2_1", {{0, 1, 0}}},
      {"P2_1/c", {}},
      {"Cm", {{1, 0, 0}, {0, 0, 1}}},
      {"Pna2_1", {{0, 0, 1}}},
      {"P4mm", {{0, 0, 1}}},
      {"P3", {{0, 0, 1}}},
      {"Fm-3m", {}},
  };
  for (const PolarCase& c : cases) {
    SCOPED_TRACE(c.Group);
    SetGroup(c.Group);
    const auto axes = PolarAxis(Struct.Basic.Phase[0].Symmetry);
    ASSERT_EQ(axes.size(), c.Axes.size());
    for (size_t i = 0; i < axes.size(); ++i)
      for (size_t k = 0; k < 3; ++k) EXPECT_NEAR(axes[i][k], c.Axes[i][k], 1e-12);
    EXPECT_EQ(PolarX4Axis(Struct.Basic.Phase[0].Symmetry), 0);
  }
}

// Position values of every atom, 3 per atom.
std::vector<Eigen::Vector3d> Positions(const RefParams& p) {
  std::vector<Eigen::Vector3d> out;
  for (size_t a = 0; a < Struct.Model.Atom.size(); ++a) {
    const int o = p.AtomBase[a] + 1;
    out.emplace_back(p.Val[static_cast<size_t>(o)], p.Val[static_cast<size_t>(o + 1)],
                     p.Val[static_cast<size_t>(o + 2)]);
  }
  return out;
}

struct ShiftCase {
  const char* Group;
  std::vector<std::array<double, 3>> Atoms;
  int NDirs;
};

TEST(ConstrOrigin, DefaultConditionRemovesTheSingularDirection) {
  const ShiftCase cases[] = {
      {"P2_1", {{0.11, 0.23, 0.37}, {0.41, 0.07, 0.19}, {0.71, 0.52, 0.83}}, 1},
      {"Pna2_1", {{0.11, 0.23, 0.37}, {0.31, 0.27, 0.09}}, 1},
      {"P4mm", {{0., 0., 0.12}, {0.5, 0.5, 0.43}, {0.21, 0.21, 0.71}, {0.17, 0.33, 0.5}}, 1},
      {"P1", {{0.11, 0.23, 0.37}, {0.41, 0.07, 0.19}, {0.61, 0.77, 0.29}}, 3},
  };
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-0.05, 0.05);
  for (const ShiftCase& c : cases) {
    SCOPED_TRACE(c.Group);
    SetGroup(c.Group);
    for (size_t i = 0; i < c.Atoms.size(); ++i)
      AddAtom("A" + std::to_string(i + 1), 1 + static_cast<int>(i % 2), c.Atoms[i]);
    SetBasicM40(Struct.Model);
    RefParams p;
    ASSERT_EQ(RefPrelimConstr(p, RefSettings()), 0);
    EXPECT_TRUE(Listed(p, constrmsg::OriginDefault));
    const int nAct = static_cast<int>(std::count_if(
        p.Origin.begin(), p.Origin.end(), [](const RefOriginDir& o) { return o.Active; }));
    ASSERT_EQ(nAct, c.NDirs);
    const int n = p.NRef;
    // A normal matrix J^T J whose rows cannot see a common shift along any
    // polar axis: the random rows are projected off those directions.
    Eigen::MatrixXd dirs(n, c.NDirs);
    int j = 0;
    for (const RefOriginDir& o : p.Origin) {
      if (!o.Active) continue;
      std::vector<double> d(static_cast<size_t>(p.size()), 0.), dc(static_cast<size_t>(n));
      for (size_t a = 0; a < Struct.Model.Atom.size(); ++a)
        for (int k = 0; k < 3; ++k)
          d[static_cast<size_t>(p.AtomBase[a] + 1 + k)] = o.Dir[static_cast<size_t>(k)];
      for (int k = 0; k < n; ++k)
        dc[static_cast<size_t>(k)] = d[static_cast<size_t>(p.Refined[static_cast<size_t>(k)])];
      dirs.col(j++) = Eigen::Map<Eigen::VectorXd>(dc.data(), n);
    }
    const Eigen::MatrixXd proj = Eigen::MatrixXd::Identity(n, n) -
                                 dirs * (dirs.transpose() * dirs).inverse() * dirs.transpose();
    Eigen::MatrixXd jac = Eigen::MatrixXd::NullaryExpr(3 * n, n, [&]() { return u(rng); }) * proj;
    Eigen::MatrixXd a = jac.transpose() * jac;
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> before(a);
    EXPECT_LT(before.eigenvalues()(0), 1e-12 * before.eigenvalues()(n - 1));
    std::vector<double> packed(static_cast<size_t>(n) * (n + 1) / 2);
    for (int r = 0; r < n; ++r)
      for (int s = 0; s <= r; ++s) packed[static_cast<size_t>(r) * (r + 1) / 2 + s] = a(r, s);
    reffixoriginsuma(p, packed.data());
    for (int r = 0; r < n; ++r)
      for (int s = 0; s <= r; ++s)
        a(r, s) = a(s, r) = packed[static_cast<size_t>(r) * (r + 1) / 2 + s];
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> after(a);
    EXPECT_GT(after.eigenvalues()(0), 1e-6 * after.eigenvalues()(n - 1));
    // The solution of the conditioned equations does not move the centroid.
    const Eigen::VectorXd rhs =
        jac.transpose() * Eigen::VectorXd::NullaryExpr(3 * n, [&]() { return u(rng); });
    const Eigen::VectorXd x = a.ldlt().solve(rhs);
    for (const RefOriginDir& o : p.Origin) {
      if (!o.Active) continue;
      EXPECT_NEAR(Eigen::Map<const Eigen::VectorXd>(o.Row.data(), n).dot(x), 0., 1e-10);
    }
    // A cycle of random shifts (along the polar axes too), then renormalisation:
    // the centroid returns, interatomic vectors and site symmetry are kept.
    std::vector<double> sc(static_cast<size_t>(n)), s(static_cast<size_t>(p.size()));
    for (double& v : sc) v = u(rng);
    refderuncompress(p, sc.data(), s.data());
    for (int i = 0; i < p.size(); ++i) p.Val[static_cast<size_t>(i)] += s[static_cast<size_t>(i)];
    RefAppEq(p);
    const auto shifted = Positions(p);
    reffixoriginrenorm(p);
    const auto fixed = Positions(p);
    for (const RefOriginDir& o : p.Origin) {
      if (!o.Active) continue;
      double c = 0., sw = 0.;
      for (size_t i = 0; i < Struct.Model.Atom.size(); ++i) {
        const double w = Struct.Model.Atom[i].Type == 1 ? 36. : 64.;
        c += w * fixed[i][o.Pivot];
        sw += w;
      }
      EXPECT_NEAR(c / sw, o.Ref, 1e-12);
    }
    for (size_t i = 1; i < fixed.size(); ++i)
      EXPECT_LT(((fixed[i] - fixed[0]) - (shifted[i] - shifted[0])).norm(), 1e-12);
    if (std::string(c.Group) == "P4mm") {
      EXPECT_NEAR(fixed[0].x(), 0., 1e-12);  // still on the fourfold axis
      EXPECT_NEAR(fixed[0].y(), 0., 1e-12);
    }
  }
}

TEST(ConstrOrigin, FixedByOneAtomOrNotNeeded) {
  // "fixed pol": the polar coordinate of the atom is kept, no default.
  SetGroup("P2_1");
  AddAtom("C1", 1, {0.11, 0.23, 0.37});
  AddAtom("O1", 2, {0.41, 0.07, 0.19});
  SetBasicM40(Struct.Model);
  RefFixed f;
  f.What = FixPol;
  f.Atoms = {"O1"};
  RefSettings ref;
  ref.Fixed.push_back(f);
  RefParams p;
  ASSERT_EQ(RefPrelimConstr(p, ref), 0);
  EXPECT_FALSE(Listed(p, constrmsg::OriginDefault));
  EXPECT_FALSE(p.Refines(RefParIndex(p, "y", "O1")));
  EXPECT_TRUE(p.Refines(RefParIndex(p, "x", "O1")));
  EXPECT_TRUE(p.Refines(RefParIndex(p, "y", "C1")));
  // "fixed xyz" of any atom already fixes the origin.
  ref.Fixed[0].What = FixXyz;
  ASSERT_EQ(RefPrelimConstr(p, ref), 0);
  EXPECT_FALSE(Listed(p, constrmsg::OriginDefault));
  // Centrosymmetric group: nothing to fix.
  SetGroup("P2_1/c");
  AddAtom("C1", 1, {0.11, 0.23, 0.37});
  SetBasicM40(Struct.Model);
  ASSERT_EQ(RefPrelimConstr(p, RefSettings()), 0);
  EXPECT_TRUE(p.Origin.empty());
  EXPECT_FALSE(Listed(p, constrmsg::OriginDefault));
}

}  // namespace
}  // namespace tarn
