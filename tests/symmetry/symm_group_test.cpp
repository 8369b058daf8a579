// Closure of centring vectors and operator lists, magnetic and superspace
// groups, expansion by the centre of symmetry, change of basis and the
// stored symmetry sets.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "symm_test_util.hpp"
#include "symmetry/symm.hpp"

namespace tarn {
namespace {

using test::MakePhase;
using test::OpLine;
using test::SpaceGroups;

class SymmGroup : public ::testing::Test {
 protected:
  SymmSlots Slots;
  ErrorRecord Err;  // the message of the last failure
};

bool HasOpModCentr(const PhaseSymmetry& ps, const SymmOp& op) {
  for (int i = 0; i < ps.NSymm; ++i)
    if (eqrv(ps.Op[i].RM6.data(), op.RM6.data(), ps.NDim * ps.NDim, 1e-9) &&
        CrlEqModCentr(ps.Op[i].S6.data(), op.S6.data(), ps.NDim, ps.VT6, ps.NLattVec))
      return true;
  return false;
}

// The generators of each of the 230 types close to the published group: the
// right order and every tabulated coset representative present.
TEST_F(SymmGroup, AllSpaceGroupTypesCloseToTheirOrder) {
  const auto& groups = SpaceGroups();
  if (groups.empty()) GTEST_SKIP() << "space-group table missing";
  ASSERT_EQ(groups.size(), 230u);
  for (const auto& g : groups) {
    PhaseSymmetry ps = MakePhase(3, g.Gen, g.Centr);
    int incomplete = -1;
    ASSERT_EQ(EM50CompleteCentr(true, ps, incomplete), 0);
    EXPECT_EQ(incomplete, 0) << g.Symbol;
    ASSERT_EQ(CompleteSymm(ps, &Err), 0) << g.Number << " " << g.Symbol << ": " << Err;
    EXPECT_EQ(ps.NSymm * ps.NLattVec, g.Order) << g.Number << " " << g.Symbol;
    EXPECT_EQ(ps.NSymm, static_cast<int>(g.Ops.size())) << g.Symbol;
    EXPECT_EQ(ps.NSymmN, ps.NSymm);
    for (const auto& line : g.Ops) {
      SymmOp op;
      ASSERT_EQ(ReadSymm(line, 3, false, op), 0);
      EXPECT_TRUE(HasOpModCentr(ps, op)) << g.Symbol << " lacks " << line;
    }
    // The full list is already a group: completion keeps it as it is.
    PhaseSymmetry full = MakePhase(3, {}, g.Centr);
    full.NSymm = full.NSymmN = 0;
    for (const auto& line : g.Ops) {
      SymmOp op;
      ASSERT_EQ(ReadSymm(line, 3, false, op), 0);
      CrlAddOp(full, op.RM6.data(), op.S6.data(), 1.);
    }
    ASSERT_EQ(CompleteSymm(full), 0) << g.Symbol;
    ASSERT_EQ(full.NSymm, static_cast<int>(g.Ops.size())) << g.Symbol;
    for (int i = 0; i < full.NSymm; ++i) EXPECT_EQ(OpLine(full, i), g.Ops[i]) << g.Symbol;
  }
}

// Every centring set of the table is closed again from a part of it, and the
// check-only mode flags the part as incomplete without changing it.
TEST_F(SymmGroup, CentringSetsCloseFromPart) {
  const auto& groups = SpaceGroups();
  if (groups.empty()) GTEST_SKIP() << "space-group table missing";
  int tried = 0;
  for (const auto& g : groups) {
    if (g.Centr.size() < 2) continue;
    std::vector<std::vector<double>> part(g.Centr.begin(), g.Centr.end() - 1);
    if (g.Centr.size() == 2) part = {g.Centr.back()};  // R: one vector gives the other
    PhaseSymmetry ps = MakePhase(3, {}, part);
    const int n0 = ps.NLattVec;
    int incomplete = 0;
    ASSERT_EQ(EM50CompleteCentr(true, ps, incomplete), 0);
    EXPECT_EQ(incomplete, 1) << g.Symbol;
    EXPECT_EQ(ps.NLattVec, n0);
    ASSERT_EQ(EM50CompleteCentr(false, ps, incomplete), 0);
    EXPECT_EQ(ps.NLattVec, static_cast<int>(g.Centr.size()) + 1) << g.Symbol;
    for (const auto& c : g.Centr) {
      bool found = false;
      for (int k = 0; k < ps.NLattVec && !found; ++k)
        found = eqrv(ps.VT6[k].data(), c.data(), 3, 1e-9);
      EXPECT_TRUE(found) << g.Symbol;
    }
    ++tried;
  }
  EXPECT_GT(tried, 20);
}

TEST_F(SymmGroup, CentringClosureAndLimit) {
  PhaseSymmetry ps = MakePhase(3, {}, {{0.5, 0.5, 0.}, {0.5, 0., 0.5}});
  int incomplete = 0;
  ASSERT_EQ(EM50CompleteCentr(true, ps, incomplete), 0);
  EXPECT_EQ(incomplete, 1);
  EXPECT_EQ(ps.NLattVec, 3);
  ASSERT_EQ(EM50CompleteCentr(false, ps, incomplete), 0);
  ASSERT_EQ(ps.NLattVec, 4);
  const double expect[3] = {0., 0.5, 0.5};
  EXPECT_TRUE(eqrv(ps.VT6[3].data(), expect, 3, 1e-12));
  // A closed set that does not fit the allocation: count restored, message.
  std::vector<Vec6> vt(3, Vec6{});
  vt[1] = {1. / 3., 2. / 3., 0.};
  vt[2] = {0.25, 0., 0.};
  int n = 3;
  EXPECT_EQ(EM50CompleteCentr(false, vt, n, 5, 3, incomplete, &Err), 1);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(Err.Message, "The maximal number of 5 centring vectors exceeded.");
}

TEST_F(SymmGroup, OperatorClosureAndInconsistency) {
  PhaseSymmetry ps = MakePhase(3, {"-y x z", "x -y z"});
  ASSERT_EQ(CompleteSymm(ps), 0);
  EXPECT_EQ(ps.NSymm, 8);
  EXPECT_EQ(ps.NSymmN, 8);
  // A completed group is closed: completing again adds nothing.
  ASSERT_EQ(CompleteSymm(ps), 0);
  EXPECT_EQ(ps.NSymm, 8);

  PhaseSymmetry bad = MakePhase(3, {"-y x z", "x+1/2 y z"});
  EXPECT_EQ(CompleteSymm(bad, &Err), 1);
  EXPECT_EQ(Err.Message, "Inconsistent non-primitive translation found:");
  EXPECT_EQ(Err.Detail,
            (std::vector<std::string>{"x y z", "x+1/2 y z", "Check them for consistency."}));

  // A listed operator that is a product of earlier ones with another
  // translation.
  PhaseSymmetry prod = MakePhase(3, {"-x -y z", "-x y -z", "x -y -z+1/2"});
  EXPECT_EQ(CompleteSymm(prod, &Err), 1);
  EXPECT_EQ(Err.Detail[0], "x -y -z+1/2");
  EXPECT_EQ(Err.Detail[1], "x -y -z");

  // The same translation is fine when it is a centring vector; the listed
  // duplicate of the identity is dropped.
  PhaseSymmetry cent = MakePhase(3, {"-y x z", "x+1/2 y+1/2 z"}, {{0.5, 0.5, 0.}});
  EXPECT_EQ(CompleteSymm(cent), 0);
  EXPECT_EQ(cent.NSymm, 4);
  // Screw axes of incompatible pitch along one line.
  PhaseSymmetry screws = MakePhase(3, {"-x -y z+1/2", "-x -y z"});
  EXPECT_EQ(CompleteSymm(screws), 1);
}

// A 5-dimensional list generating the signed permutations (3840 elements)
// stops at the operator limit with the message and does not hang.
TEST_F(SymmGroup, TooManyOperatorsStops) {
  PhaseSymmetry ps = MakePhase(5, {"x2 x1 x3 x4 x5", "x2 x3 x4 x5 x1", "-x1 x2 x3 x4 x5"});
  EXPECT_EQ(CompleteSymm(ps, &Err), 1);
  EXPECT_EQ(Err.Message,
            "The number of generated symmetry operators exceeds any reasonable limit.");
  EXPECT_LE(ps.NSymm, kSymmReallocLimit);
}

TEST_F(SymmGroup, MagneticGroupSignsAndRMag) {
  // P2'/m: the 2-fold and the mirror carry time inversion, -1 does not.
  PhaseSymmetry ps = MakePhase(3, {"-x y -z -m", "-x -y -z m"}, {}, true);
  ASSERT_EQ(CompleteSymm(ps), 0);
  ASSERT_EQ(ps.NSymm, 4);
  EXPECT_EQ(ps.Op[0].Elem, "1");
  EXPECT_EQ(ps.Op[1].ZMag, 1.);  // unprimed operators first
  EXPECT_EQ(ps.Op[1].Elem, "-1");
  for (int i = 2; i < 4; ++i) EXPECT_EQ(ps.Op[i].ZMag, -1.) << OpLine(ps, i);
  for (int i = 0; i < ps.NSymm; ++i) {
    const Mat3& R = ps.Op[i].RM;
    const double det = R[0] * (R[4] * R[8] - R[5] * R[7]) - R[1] * (R[3] * R[8] - R[5] * R[6]) +
                       R[2] * (R[3] * R[7] - R[4] * R[6]);
    for (int k = 0; k < 9; ++k) EXPECT_EQ(ps.Op[i].RMag[k], det * ps.Op[i].ZMag * R[k]);
  }
  // Products keep consistent signs: 2' x m' = -1 (unprimed).
  // The identity with time inversion contradicts the identity without.
  PhaseSymmetry bad = MakePhase(3, {"x y z -m"}, {}, true);
  EXPECT_EQ(CompleteSymm(bad, &Err), 1);
  EXPECT_EQ(Err.Message, "Inconsistent non-primitive translation found:");
  EXPECT_EQ(Err.Detail[1], "x y z -m");
}

TEST_F(SymmGroup, OrderMagSymmetryIsStable) {
  PhaseSymmetry ps =
      MakePhase(3, {"-x y -z -m", "-x -y -z m", "x -y z -m", "x y z+1/2 m"}, {}, true);
  CrlOrderMagSymmetry(ps);
  std::vector<std::string> lines;
  for (int i = 0; i < ps.NSymm; ++i) lines.push_back(OpLine(ps, i));
  EXPECT_EQ(lines,
            (std::vector<std::string>{"x y z", "-x -y -z", "x y z+1/2", "-x y -z", "x -y z"}));
}

// (3+1)-dimensional group with a mirror carrying the internal translation 1/2.
TEST_F(SymmGroup, SuperspaceGroupCloses) {
  PhaseSymmetry ps = MakePhase(4, {"x1 x2 -x3 x4+1/2", "-x1 -x2 -x3 -x4", "-x1 x2 x3 -x4"});
  ASSERT_EQ(CompleteSymm(ps), 0);
  EXPECT_EQ(ps.NSymm, 8);
  int withS = 0;
  for (int i = 0; i < ps.NSymm; ++i) withS += ps.Op[i].Elem.find('s') != std::string::npos;
  EXPECT_GT(withS, 0);
  // Internal translation on an operator that reverses x4 contradicts -1.
  PhaseSymmetry bad = MakePhase(4, {"-x1 -x2 -x3 -x4", "-x1 -x2 -x3 -x4+1/2"});
  EXPECT_EQ(CompleteSymm(bad, &Err), 1);
}

TEST_F(SymmGroup, SuperspaceRowsFromModulationVectors) {
  // mmm with q = (1/2, 0, gamma): the 2-fold along a maps q onto -q + a*.
  PhaseSymmetry ps = MakePhase(3, {"-x -y z", "-x y -z", "-x -y -z"});
  ASSERT_EQ(CompleteSymm(ps), 0);
  ASSERT_EQ(ps.NSymm, 8);
  ASSERT_EQ(CrlCompleteSSGSymm(ps, {{0.5, 0., 0.3127}}), 0);
  EXPECT_EQ(ps.NDim, 4);
  for (int i = 0; i < ps.NSymm; ++i) {
    const auto& op = ps.Op[i];
    if (op.Text[0] == "x1" && op.Text[1] == "-x2" && op.Text[2] == "-x3") {
      EXPECT_EQ(op.Text[3], "x1-x4");
    }
    // q.R = eps.q + M holds for every operator
    const double q[3] = {0.5, 0., 0.3127};
    for (int c = 0; c < 3; ++c) {
      const double qr = q[0] * op.RM[c] + q[1] * op.RM[3 + c] + q[2] * op.RM[6 + c];
      EXPECT_NEAR(qr, op.RM6[3 * 4 + 3] * q[c] + op.RM6[3 * 4 + c], 1e-12) << OpLine(ps, i);
    }
  }
  ASSERT_EQ(CompleteSymm(ps), 0);
  EXPECT_EQ(ps.NSymm, 8);

  // Irrational q in P2/m (2 along c): q = (a, b, 0) goes to -q under the 2-fold.
  PhaseSymmetry mono = MakePhase(3, {"-x -y z", "-x -y -z"});
  ASSERT_EQ(CompleteSymm(mono), 0);
  ASSERT_EQ(CrlCompleteSSGSymm(mono, {{std::sqrt(2.) / 10., std::sqrt(3.) / 10., 0.}}), 0);
  for (int i = 0; i < mono.NSymm; ++i) {
    const auto& op = mono.Op[i];
    const double det = op.RM[0] * op.RM[4] * op.RM[8];
    const bool twoOrInv = op.Text[2] == "x3" ? det > 0 : det < 0;
    EXPECT_EQ(op.RM6[15], twoOrInv && op.Text[0] == "-x1" ? -1. : 1.) << OpLine(mono, i);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(op.RM6[12 + c], 0.);
  }
  // Two vectors exchanged by a 4-fold: q1 = (a,0,0), q2 = (0,a,0).
  PhaseSymmetry tet = MakePhase(3, {"-y x z"});
  ASSERT_EQ(CompleteSymm(tet), 0);
  ASSERT_EQ(CrlCompleteSSGSymm(tet, {{0.2718, 0., 0.}, {0., 0.2718, 0.}}), 0);
  EXPECT_EQ(tet.NDim, 5);
  EXPECT_EQ(OpLine(tet, 1), "-x2 x1 x3 -x5 x4");
  ASSERT_EQ(CompleteSymm(tet), 0);
  EXPECT_EQ(tet.NSymm, 4);

  // A vector not mapped onto the set: unchanged phase and an error.
  PhaseSymmetry cub = MakePhase(3, {"z x y"});
  ASSERT_EQ(CompleteSymm(cub), 0);
  const std::string before = OpLine(cub, 1);
  EXPECT_EQ(CrlCompleteSSGSymm(cub, {{0.2718, 0., 0.}}), 1);
  EXPECT_EQ(cub.NDim, 3);
  EXPECT_EQ(OpLine(cub, 1), before);
}

TEST_F(SymmGroup, ExpandCentroSym) {
  PhaseSymmetry ps = MakePhase(3, {"-x y+1/2 -z"});
  ps.NCSymm = 2;
  CrlExpandCentroSym(ps);
  ASSERT_EQ(ps.NSymm, 4);
  EXPECT_EQ(ps.NSymmN, 4);
  EXPECT_EQ(ps.NCSymm, 1);
  EXPECT_EQ(OpLine(ps, 2), "-x -y -z");
  EXPECT_EQ(OpLine(ps, 3), "x -y+1/2 z");
  EXPECT_EQ(ps.Op[3].Elem, "m");
  ASSERT_EQ(CompleteSymm(ps), 0);  // P2_1/m is closed
  EXPECT_EQ(ps.NSymm, 4);
  std::vector<PhaseSymmetry> phases = {MakePhase(3, {"-x -y z"}), ps};
  phases[0].NCSymm = 2;
  EXPECT_EQ(CrlExpandCentroSym(phases), 4);
  EXPECT_EQ(phases[0].NSymm, 4);
  EXPECT_EQ(phases[1].NSymm, 4);  // already explicit: unchanged
}

// Fm-3m to its primitive rhombohedral cell and back.
TEST_F(SymmGroup, TransSymmetryRoundTrip) {
  PhaseSymmetry ps = MakePhase(3, {"-x -y -z", "-y x z", "x -y -z", "z x y"},
                               {{0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}});
  ASSERT_EQ(CompleteSymm(ps), 0);
  ASSERT_EQ(ps.NSymm, 48);
  CrlStoreSymmetry(Slots, ps, 1);
  const double toPrim[9] = {-1, 1, 1, 1, -1, 1, 1, 1, -1};
  const double toFace[9] = {0, 0.5, 0.5, 0.5, 0, 0.5, 0.5, 0.5, 0};
  const double noShift[3] = {0, 0, 0};
  ASSERT_EQ(CrlTransSymmetry(ps, toPrim, noShift), 0);
  EXPECT_EQ(ps.NLattVec, 1);
  EXPECT_EQ(ps.NSymm, 48);
  ASSERT_EQ(CompleteSymm(ps), 0);  // still a group of 48 in the primitive cell
  EXPECT_EQ(ps.NSymm, 48);
  ASSERT_EQ(CrlTransSymmetry(ps, toFace, noShift), 0);
  EXPECT_EQ(ps.NLattVec, 4);
  CrlStoreSymmetry(Slots, ps, 2);
  EXPECT_TRUE(CrlCompareSymmetry(Slots, 1, 2));

  // An origin shift there and back.
  const double ident[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const double s1[3] = {0.25, 0.25, 0.25}, s2[3] = {-0.25, -0.25, -0.25};
  ASSERT_EQ(CrlTransSymmetry(ps, ident, s1), 0);
  CrlStoreSymmetry(Slots, ps, 3);
  EXPECT_FALSE(CrlCompareSymmetry(Slots, 1, 3));
  ASSERT_EQ(CrlTransSymmetry(ps, ident, s2), 0);
  CrlStoreSymmetry(Slots, ps, 3);
  EXPECT_TRUE(CrlCompareSymmetry(Slots, 1, 3));

  // Doubling a: x' = x/2 adds the centring vector (1/2,0,0); the group stays
  // consistent in the larger cell.
  PhaseSymmetry p21 = MakePhase(3, {"-x y+1/2 -z", "-x -y -z"});
  ASSERT_EQ(CompleteSymm(p21), 0);
  const double dbl[9] = {0.5, 0, 0, 0, 1, 0, 0, 0, 1};
  ASSERT_EQ(CrlTransSymmetry(p21, dbl, noShift), 0);
  ASSERT_EQ(p21.NLattVec, 2);
  EXPECT_NEAR(p21.VT6[1][0], 0.5, 1e-12);
  EXPECT_EQ(OpLine(p21, 1), "-x y+1/2 -z");
  ASSERT_EQ(CompleteSymm(p21), 0);
  EXPECT_EQ(p21.NSymm, 4);

  const double sing[9] = {1, 1, 0, 1, 1, 0, 0, 0, 1};
  EXPECT_EQ(CrlTransSymmetry(ps, sing, noShift), 1);
  EXPECT_EQ(ps.NSymm, 48);
}

TEST_F(SymmGroup, StoreRestoreAndCompare) {
  PhaseSymmetry p2m = MakePhase(3, {"-x y -z", "-x -y -z"});
  PhaseSymmetry p2mReordered = MakePhase(3, {"-x -y -z", "x -y z", "-x y -z"});
  PhaseSymmetry p2 = MakePhase(3, {"-x y -z"});
  PhaseSymmetry p2c = MakePhase(3, {"-x y -z+1/2", "-x -y -z"});
  PhaseSymmetry p222 = MakePhase(3, {"-x -y z", "-x y -z"});
  for (auto* ps : {&p2m, &p2mReordered, &p2c, &p222}) ASSERT_EQ(CompleteSymm(*ps), 0);
  CrlStoreSymmetry(Slots, p2m, 0);
  CrlStoreSymmetry(Slots, p2mReordered, 1);
  CrlStoreSymmetry(Slots, p2, 2);
  CrlStoreSymmetry(Slots, p2c, 3);
  CrlStoreSymmetry(Slots, p222, 4);
  EXPECT_TRUE(CrlCompareSymmetry(Slots, 0, 1));
  EXPECT_FALSE(CrlCompareSymmetry(Slots, 0, 3));
  EXPECT_FALSE(CrlCompareSymmetry(Slots, 0, 2));
  EXPECT_TRUE(CrlCompRefExtSymmetry(Slots, 2, 0));
  EXPECT_FALSE(CrlCompRefExtSymmetry(Slots, 0, 2));
  EXPECT_TRUE(CrlCompTwinSymmetry(Slots, 0, 3));
  EXPECT_FALSE(CrlCompTwinSymmetry(Slots, 0, 4));
  EXPECT_FALSE(CrlCompareSymmetry(Slots, 0, 17));  // empty slot

  // Restore brings back the set exactly, with its centrosymmetry count.
  PhaseSymmetry half = MakePhase(3, {"-x y -z"});
  half.NCSymm = 2;
  CrlStoreSymmetry(Slots, half, 10);
  PhaseSymmetry h2;
  ASSERT_EQ(CrlRestoreSymmetry(Slots, h2, 10), 0);
  EXPECT_EQ(h2.NCSymm, 2);
  PhaseSymmetry r;
  ASSERT_EQ(CrlRestoreSymmetry(Slots, r, 3), 0);
  ASSERT_EQ(r.NSymm, p2c.NSymm);
  for (int i = 0; i < r.NSymm; ++i) EXPECT_EQ(OpLine(r, i), OpLine(p2c, i));
  StoredSymmetry ex;
  ASSERT_EQ(CrlRestoreSymmetryExplicite(Slots, 3, ex), 0);
  EXPECT_EQ(ex.NSymmStore, 4);
  CrlStoreSymmetryExplicite(Slots, 9, ex);
  EXPECT_TRUE(CrlCompareSymmetry(Slots, 3, 9));

  // CrlCompleteSymmetry takes the stored translations for matching rotations.
  ASSERT_EQ(CrlCompleteSymmetry(Slots, p2m, 3), 0);
  for (int i = 0; i < p2m.NSymm; ++i) {
    bool same = false;
    for (int k = 0; k < p2c.NSymm; ++k) same |= OpLine(p2m, i) == OpLine(p2c, k);
    EXPECT_TRUE(same) << OpLine(p2m, i);
  }

  // Translations compared modulo centring; Tr3 ignores internal parts.
  PhaseSymmetry i1 = MakePhase(3, {"-x -y z"}, {{0.5, 0.5, 0.5}});
  PhaseSymmetry i2 = MakePhase(3, {"-x+1/2 -y+1/2 z+1/2"}, {{0.5, 0.5, 0.5}});
  CrlStoreSymmetry(Slots, i1, 5);
  CrlStoreSymmetry(Slots, i2, 6);
  EXPECT_TRUE(CrlCompareSymmetry(Slots, 5, 6));
  PhaseSymmetry s1 = MakePhase(4, {"x1 x2 -x3 x4+1/2"});
  PhaseSymmetry s2 = MakePhase(4, {"x1 x2 -x3 x4"});
  CrlStoreSymmetry(Slots, s1, 7);
  CrlStoreSymmetry(Slots, s2, 8);
  EXPECT_FALSE(CrlCompareSymmetry(Slots, 7, 8));
  EXPECT_TRUE(CrlCompareTr3Symmetry(Slots, 7, 8));

  CrlCleanOneSymmetry(Slots, 3);
  EXPECT_EQ(CrlRestoreSymmetry(Slots, r, 3), 1);
  EXPECT_EQ(r.NSymm, p2c.NSymm);  // untouched
  CrlCleanSymmetry(Slots);
  EXPECT_EQ(CrlRestoreSymmetry(Slots, r, 0), 1);
}

}  // namespace
}  // namespace tarn
