// Elementary operator algebra: normalisation, products and inverses,
// centring representatives, tensor maps, axial vectors and element symbols.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "symm_test_util.hpp"
#include "symmetry/symm.hpp"

namespace tarn {
namespace {

using test::SpaceGroups;

TEST(Od0do1, Normalisation) {
  const double in[] = {0.99995, -0.25, 1.5, -1., 0.00005, 2., -0.99995, 0.9998, -3.75, 0.5};
  const double out[] = {0., 0.75, 0.5, 0., 0., 0., 0., 0.9998, 0.25, 0.5};
  double v[10];
  std::copy(std::begin(in), std::end(in), v);
  od0do1(v, 10);
  for (int i = 0; i < 10; ++i) EXPECT_NEAR(v[i], out[i], 1e-12) << in[i];
  double bad = std::nan("");
  od0do1(&bad, 1);
  EXPECT_EQ(bad, 0.);
}

TEST(Eqrv, StrictToleranceAndEmpty) {
  const double a[2] = {0., 1.}, b[2] = {0.0005, 1.}, c[2] = {0.001, 1.};
  EXPECT_TRUE(eqrv(a, b, 2, 0.001));
  EXPECT_FALSE(eqrv(a, c, 2, 0.0009));
  EXPECT_TRUE(eqrv(a, c, 0, 0.001));
}

// g.g^-1 is the identity for every tabulated operator, and the product
// formula agrees with applying the two operators to a point in turn.
TEST(MultInvSymmOp, ProductsAndInversesOfTabulatedOperators) {
  const auto& groups = SpaceGroups();
  if (groups.empty()) GTEST_SKIP() << "space-group table missing";
  const double x[3] = {0.123, 0.456, 0.789};
  for (const auto& g : groups) {
    for (size_t a = 0; a < g.Ops.size(); ++a) {
      SymmOp p, q;
      ASSERT_EQ(ReadSymm(g.Ops[a], 3, false, p), 0);
      ASSERT_EQ(ReadSymm(g.Ops[(a * 7 + 3) % g.Ops.size()], 3, false, q), 0);
      double ri[9], ti[3], r[9], t[3];
      ASSERT_EQ(InvSymmOp(p.RM6.data(), p.S6.data(), 3, ri, ti), 0);
      MultSymmOp(p.RM6.data(), p.S6.data(), ri, ti, 3, r, t);
      const double e[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1}, z[3] = {0, 0, 0};
      EXPECT_TRUE(eqrv(r, e, 9, 1e-12)) << g.Ops[a];
      EXPECT_TRUE(eqrv(t, z, 3, 1e-12)) << g.Ops[a];
      // (p.q)(x) == p(q(x))
      MultSymmOp(p.RM6.data(), p.S6.data(), q.RM6.data(), q.S6.data(), 3, r, t);
      double qx[3], pqx[3], direct[3];
      for (int i = 0; i < 3; ++i)
        qx[i] = q.S6[i] + q.RM6[i * 3] * x[0] + q.RM6[i * 3 + 1] * x[1] + q.RM6[i * 3 + 2] * x[2];
      for (int i = 0; i < 3; ++i) {
        pqx[i] =
            p.S6[i] + p.RM6[i * 3] * qx[0] + p.RM6[i * 3 + 1] * qx[1] + p.RM6[i * 3 + 2] * qx[2];
        direct[i] = t[i] + r[i * 3] * x[0] + r[i * 3 + 1] * x[1] + r[i * 3 + 2] * x[2];
      }
      EXPECT_TRUE(eqrv(pqx, direct, 3, 1e-12));
    }
  }
}

TEST(MultInvSymmOp, SuperspaceInverseAndSingular) {
  SymmOp op;
  ASSERT_EQ(ReadSymm("-x1 x2 -x3 x1-x4+1/2", 4, false, op), 0);
  double ri[16], ti[4], r[16], t[4];
  ASSERT_EQ(InvSymmOp(op.RM6.data(), op.S6.data(), 4, ri, ti), 0);
  MultSymmOp(ri, ti, op.RM6.data(), op.S6.data(), 4, r, t);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) EXPECT_EQ(r[i * 4 + j], i == j ? 1. : 0.);
    EXPECT_NEAR(t[i], 0., 1e-12);
  }
  const double sing[9] = {1, 1, 0, 1, 1, 0, 0, 0, 1}, s0[3] = {};
  double keep[9] = {7, 7, 7, 7, 7, 7, 7, 7, 7}, kt[3] = {7, 7, 7};
  EXPECT_EQ(InvSymmOp(sing, s0, 3, keep, kt), 1);
  EXPECT_EQ(keep[0], 7.);
}

TEST(CrlNormCentr, RepresentativeModuloCentring) {
  PhaseSymmetry ps = test::MakePhase(3, {}, {{0.5, 0.5, 0.5}});
  double t[3] = {0.75, 0.75, 0.25};
  CrlNormCentr(t, 3, ps.VT6, ps.NLattVec);
  EXPECT_NEAR(t[0], 0.25, 1e-12);
  EXPECT_NEAR(t[2], 0.75, 1e-12);
  double u[3] = {0.5, 0.5, 1.49999};
  CrlNormCentr(u, 3, ps.VT6, ps.NLattVec);
  EXPECT_NEAR(u[0] + u[1] + u[2], 0., 1e-12);
  const double a[3] = {0.1, 0.2, 0.3}, b[3] = {0.6, 1.7, -0.2}, c[3] = {0.6, 0.2, 0.3};
  EXPECT_TRUE(CrlEqModCentr(a, b, 3, ps.VT6, ps.NLattVec));
  EXPECT_FALSE(CrlEqModCentr(a, c, 3, ps.VT6, ps.NLattVec));
}

// srotb(R) applied to the six components equals R.B.R^T for random
// symmetric tensors, for every operator of a hexagonal and a cubic group.
TEST(Srotb, AgreesWithTensorProduct) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1., 1.);
  PhaseSymmetry hex = test::MakePhase(3, {"-y x-y z", "y x -z", "-x -y -z", "-x -y z"});
  PhaseSymmetry cub = test::MakePhase(3, {"-x -y -z", "z x y", "-y x z"});
  ASSERT_EQ(CompleteSymm(hex), 0);
  ASSERT_EQ(CompleteSymm(cub), 0);
  ASSERT_EQ(hex.NSymm, 24);
  ASSERT_EQ(cub.NSymm, 48);
  for (const PhaseSymmetry* pp : {&hex, &cub}) {
    const PhaseSymmetry& ps = *pp;
    for (int i = 0; i < ps.NSymm; ++i) {
      const Mat3& R = ps.Op[i].RM;
      double B[3][3];
      for (int a = 0; a < 3; ++a)
        for (int b = a; b < 3; ++b) B[a][b] = B[b][a] = u(rng);
      double b6[6];
      for (int a = 0; a < 3; ++a)
        for (int b = a; b < 3; ++b) b6[indext(a, b)] = B[a][b];
      const auto S = srotb(R);
      for (int p = 0; p < 3; ++p)
        for (int q = p; q < 3; ++q) {
          double direct = 0.;
          for (int k = 0; k < 3; ++k)
            for (int l = 0; l < 3; ++l) direct += R[p * 3 + k] * B[k][l] * R[q * 3 + l];
          double viaS = 0.;
          for (int m = 0; m < 6; ++m) viaS += S[indext(p, q) * 6 + m] * b6[m];
          EXPECT_NEAR(viaS, direct, 1e-12) << test::OpLine(ps, i);
        }
    }
  }
  EXPECT_EQ(indext(0, 1), 3);
  EXPECT_EQ(indext(2, 0), 4);
  EXPECT_EQ(indext(1, 2), 5);
}

TEST(CrlMakeRMag, AxialVectors) {
  const Mat3 inv = {-1, 0, 0, 0, -1, 0, 0, 0, -1}, two = {-1, 0, 0, 0, 1, 0, 0, 0, -1},
             mir = {1, 0, 0, 0, -1, 0, 0, 0, 1}, one = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  auto neg = [](Mat3 m) {
    for (double& x : m) x = x == 0. ? 0. : -x;
    return m;
  };
  EXPECT_EQ(CrlMakeRMag(inv, 1.), one);        // moments are invariant under -1
  EXPECT_EQ(CrlMakeRMag(inv, -1.), neg(one));  // -1'
  EXPECT_EQ(CrlMakeRMag(two, 1.), two);
  EXPECT_EQ(CrlMakeRMag(two, -1.), neg(two));
  EXPECT_EQ(CrlMakeRMag(mir, 1.), neg(mir));
  EXPECT_EQ(CrlMakeRMag(mir, -1.), mir);
}

TEST(SmbOp, ElementSymbols) {
  struct Case {
    int ndim;
    const char* op;
    const char* symbol;
  };
  const Case cases[] = {
      {3, "x y z", "1"},
      {3, "-x -y -z", "-1"},
      {3, "-x -y z", "2"},
      {3, "-x y+1/2 -z", "21"},
      {3, "-y x z", "4+"},
      {3, "y -x z", "4-"},
      {3, "-y x z+1/4", "41"},
      {3, "-y x z+1/2", "42"},
      {3, "-y x z+3/4", "43"},
      {3, "y -x z+1/4", "43"},
      {3, "z x y", "3+"},
      {3, "y z x", "3-"},
      {3, "-y x-y z", "3+"},
      {3, "-x+y -x z", "3-"},
      {3, "-y x-y z+1/3", "31"},
      {3, "-y x-y z+2/3", "32"},
      {3, "-x+y -x z+1/3", "32"},
      {3, "x-y x z", "6+"},
      {3, "x-y x z+1/6", "61"},
      {3, "x-y x z+1/3", "62"},
      {3, "x-y x z+1/2", "63"},
      {3, "x-y x z+5/6", "65"},
      {3, "y -x -z", "-4+"},
      {3, "-y x -z", "-4-"},
      {3, "-z -x -y", "-3+"},
      {3, "-x+y -x -z", "-6+"},
      {3, "y -x+y -z", "-3+"},
      {3, "x y -z", "m"},
      {3, "x y -z+1/2", "m"},
      {3, "x+1/2 y -z", "a"},
      {3, "x y+1/2 -z", "b"},
      {3, "x -y z+1/2", "c"},
      {3, "x+1/2 -y z+1/2", "n"},
      {3, "x+1/4 -y z+1/4", "d"},
      {3, "y x z", "m"},
      {3, "y x z+1/2", "c"},
      {3, "-y+1/2 -x+1/2 z", "m"},
      {3, "x+1/2 y+1/2 -z", "n"},
      {3, "-x y z+1/3", "g"},
      {3, "x y+1/3 z", "t"},
      {3, "-z -y -x", "2"},
      {3, "z y x", "m"},
      {3, "y+3/4 x+1/4 -z+3/4", "21"},
      {4, "x1 x2 -x3 x4+1/2", "m(s)"},
      {4, "-x1 -x2 x3 -x4+1/2", "2(0)"},
      {4, "-x2 x1 x3 x4+1/4", "4+(q)"},
      {4, "-x2 x1-x2 x3 x4+1/3", "3+(t)"},
      {4, "x1-x2 x1 x3 x4+1/6", "6+(h)"},
      {4, "-x1 -x2 -x3 -x4", "-1(0)"},
      {5, "x1 x2 -x3 x4+1/2 x5", "m(s0)"},
  };
  for (const auto& c : cases) {
    SymmOp op;
    ASSERT_EQ(ReadSymm(c.op, c.ndim, false, op), 0) << c.op;
    EXPECT_EQ(SmbOp(op.RM6.data(), op.S6.data(), c.ndim), c.symbol) << c.op;
    EXPECT_EQ(op.Elem, c.symbol) << c.op;
  }
  // e glide: a in the own translation, b by the C-centring vector.
  PhaseSymmetry ps = test::MakePhase(3, {"x+1/2 y -z"}, {{0.5, 0.5, 0.}});
  EXPECT_EQ(SmbOp(ps.Op[1].RM6.data(), ps.Op[1].S6.data(), 3, &ps.VT6, ps.NLattVec), "e");
  EXPECT_EQ(ps.Op[1].Elem, "e");
}

}  // namespace
}  // namespace tarn
