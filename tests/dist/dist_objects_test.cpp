// Objects other than atoms: Fourier peaks kept with M40, centres, lone
// pairs, and the angles of bonds to a reference direction.
#include <gtest/gtest.h>

#include <cmath>

#include "dist/dist_fixture.hpp"
#include "model/m40_peaks.hpp"
#include "util/numbers.hpp"

namespace tarn {
namespace {

using test::CoordOf;
using test::MakeStructure;
using test::RunDist;

TEST(DistObjects, PeaksCentresLonePairsAndReferenceDirection) {
  // a = 10: C1 at the origin, C2 1.5 A along x, N1 3 A along y of their centre.
  auto s = MakeStructure({10, 10, 10, 90, 90, 90}, {{"C", 0.77}, {"N", 0.73}},
                         {{"C1", 1, {0, 0, 0}, {0.0002, 0.0002, 0.0002}},
                          {"C2", 1, {0.15, 0, 0}, {0.0002, 0.0002, 0.0002}},
                          {"N1", 2, {0.075, 0.3, 0}, {0.0001, 0.0001, 0.0001}}});
  FouPeakLists peaks;
  peaks.Max.push_back({{0, 0.25, 0}, 1.5, 0., -1., "", "max1", {}});
  peaks.Min.push_back({{0, 0, 0.25}, -1., 0., -1., "", "min1", {}});
  s.Model.Commands = FouJoinPeaks({}, peaks);

  auto names = [&](const DistResults& r, const char* atom) {
    std::vector<std::string> out;
    for (const auto& n : CoordOf(r, atom)->Neigh)
      out.push_back(r.Phase.Atoms[static_cast<size_t>(n.Atom)].Name);
    return out;
  };
  const std::string lim = "dmax 2.6\n";
  EXPECT_EQ(names(RunDist(s, lim), "C1"), std::vector<std::string>{"C2"});
  EXPECT_EQ(names(RunDist(s, lim + "include 1"), "C1"),
            (std::vector<std::string>{"C2", "max1"}));
  EXPECT_EQ(names(RunDist(s, lim + "include 3"), "C1").size(), 3u);

  // The centre of C1 and C2 with the distance to N1: its s.u. takes half of
  // each constituent's; the lone pair of C1 lies opposite its bond to C2.
  auto r = RunDist(s, lim + "center C1 C2\ninddist N1 Cen1\nlonepair C1 0.8\ndirref 1 1 0");
  ASSERT_EQ(r.Distances.size(), 1u);
  ASSERT_TRUE(r.Distances[0].Ok);
  EXPECT_NEAR(r.Distances[0].Value, 3.0, 1e-9);
  EXPECT_NEAR(r.Distances[0].Su, std::sqrt(3.) * 0.001, 1e-9);
  const auto* c2 = CoordOf(r, "C2");
  ASSERT_NE(c2, nullptr);
  bool lp = false;
  for (const auto& n : c2->Neigh)
    if (r.Phase.Atoms[static_cast<size_t>(n.Atom)].Name == "LpC1") {
      lp = true;
      EXPECT_NEAR(n.D, 2.3, 1e-9);
      EXPECT_NEAR(n.RefAngle, 135., 1e-9);  // the bond runs along -x
    }
  EXPECT_TRUE(lp);
  for (const auto& n : c2->Neigh)
    if (r.Phase.Atoms[static_cast<size_t>(n.Atom)].Name == "C1") {
      EXPECT_NEAR(n.RefAngle, 135., 1e-9);
      EXPECT_GT(n.RefAngleSu, 0.);
    }
}

TEST(DistObjects, AtomsOfMoleculesWithTheUncertaintiesOfTheirPosition) {
  // a = 10: model atoms Ca (0.1, 0, 0) and Cb (0.25, 0, 0) about the origin,
  // one position turned by phi = 90 deg about z and moved by (0.5, 0.5, 0.5):
  // Ca at (0.5, 0.6, 0.5), Cb at (0.5, 0.75, 0.5); N1 at (0.6, 0.5, 0.5).
  auto s = MakeStructure({10, 10, 10, 90, 90, 90}, {{"C", 0.77}, {"N", 0.73}},
                         {{"N1", 2, {0.6, 0.5, 0.5}}, {"Ca", 1, {0.1, 0, 0}}, {"Cb", 1, {0.25, 0, 0}}});
  MoleculeRec mol;
  mol.Name = "Mol";
  mol.Ref.resize(3);
  mol.Atoms.assign(s.Model.Atom.begin() + 1, s.Model.Atom.end());
  s.Model.Atom.resize(1);
  MolPosRec pos;
  pos.Name = "Mola";
  pos.Par.resize(MolLayout(mol.Shape).NPar);
  pos.Par.Val = {1, 90, 0, 0, 0.5, 0.5, 0.5};  // ai, phi chi psi, tx ty tz
  pos.Par.Sig = {0, 1, 0, 0, 0, 0.001, 0};
  mol.Pos.push_back(pos);
  s.Model.Mol.push_back(mol);
  DistCommands c;
  ASSERT_EQ(DistReadCommands("dist\ninddist Ca Cb\ninddist N1 Ca\nend dist\n", c, 0), 0);
  DistResults r;
  ASSERT_EQ(DistRun(s, c, DistTables{}, r), 0);
  const auto* cn = CoordOf(r, "N1");
  ASSERT_NE(cn, nullptr);
  ASSERT_EQ(cn->Neigh.size(), 1u) << "Ca within 1.575 A";
  EXPECT_NEAR(cn->Neigh[0].D, std::sqrt(2.), 1e-9);
  ASSERT_NE(CoordOf(r, "Cb"), nullptr) << "atoms of molecules are central atoms too";
  // Ca-Cb is rigid: the shared angles and translation give it no s.u.
  EXPECT_NEAR(r.Distances[0].Value, 1.5, 1e-9);
  EXPECT_NEAR(r.Distances[0].Su, 0., 1e-12);
  // N1-Ca: Ca moves by 10 (-0.1, 0) A per radian of phi and along y with ty.
  const double dPhi = 10. * 0.1 / std::sqrt(2.) * kDeg, dTy = 10. / std::sqrt(2.);
  EXPECT_NEAR(r.Distances[1].Su, std::hypot(dPhi * 1., dTy * 0.001), 1e-9);
  // Through a covariance matrix of the position's parameters.
  auto cov = std::make_shared<CovMatrix>();
  cov->Names = {"molpos MOLA phi", "molpos MOLA ty"};
  cov->V.resize(2, 2);
  cov->V << 1., 1e-3, 1e-3, 1e-6;  // fully correlated
  ASSERT_EQ(DistRun(s, c, DistTables{}, r, cov), 0);
  EXPECT_NEAR(r.Distances[1].Su, dPhi + dTy * 0.001, 1e-9);
}

}  // namespace
}  // namespace tarn
