// Extinction factors with their parameter derivatives, twin-domain
// coincidences and the representations of magnetic moments.
#include "refine/calc_ext.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "support/fd_check.hpp"

namespace tarn {
namespace {

constexpr double kDegT = std::numbers::pi / 180.;

DatBlockModel ExtBlock(int type, int kind, int distr, std::vector<double> val) {
  DatBlockModel m;
  m.ExtType = type;
  m.ExtKind = kind;
  m.ExtDistr = distr;
  m.Ext.resize(static_cast<int>(val.size()));
  m.Ext.Val = val;
  return m;
}

ExtInput BaseInput() {
  ExtInput in;
  in.Fc2 = 4.0e4;
  in.SinTh = 0.3;
  in.Lambda = 0.71073;
  in.PolK = 1.;
  in.Volume = 500.;
  in.HCart = {0.3, -0.5, 0.7};
  in.TBar = 150.;
  return in;
}

// Positive-definite tensors: particle ~ 20 um, mosaic g ~ 1e4.
const std::vector<double> kAniso = {2.5e-3, 3.0e-3, 2.0e-3, 4.0e-4,  -3.0e-4, 2.0e-4,
                                    1.0e-8, 1.4e-8, 0.8e-8, -2.0e-9, 1.0e-9,  3.0e-9};

TEST(ExtFactor, DerivativesMatchCentralDifferences) {
  ExtAbsTables abs;
  for (int i = 0; i <= 10; ++i) {
    abs.A[i] = 0.5 + 0.03 * i;
    abs.B[i] = 0.05 - 0.01 * i;
  }
  struct Case {
    const char* name;
    int type, kind, distr, rad;
    double tbar;
    bool abs;
  };
  const Case cases[] = {
      {"iso I gauss", ExtIso, 1, 1, 1, 150., false},
      {"iso I lorentz", ExtIso, 1, 2, 1, 150., false},
      {"iso II", ExtIso, 2, 1, 1, 150., false},
      {"iso II sphere path", ExtIso, 2, 1, 1, 0., false},
      {"iso general gauss", ExtIso, 3, 1, 1, 150., false},
      {"iso general lorentz", ExtIso, 3, 2, 1, 0., false},
      {"iso general neutron", ExtIso, 3, 1, 2, 150., false},
      {"iso general absorption", ExtIso, 3, 1, 1, 150., true},
      {"aniso I", ExtAniso, 1, 1, 1, 150., false},
      {"aniso II", ExtAniso, 2, 2, 1, 150., false},
      {"aniso general gauss", ExtAniso, 3, 1, 1, 0., false},
      {"aniso general lorentz", ExtAniso, 3, 2, 2, 150., true},
      {"shelx", ExtShelx, 1, 1, 1, 0., false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> val = c.type == ExtIso     ? std::vector<double>{8., 1.2e4}
                              : c.type == ExtAniso ? kAniso
                                                   : std::vector<double>{0.02};
    DatBlockModel m = ExtBlock(c.type, c.kind, c.distr, val);
    ExtInput in = BaseInput();
    in.RadType = c.rad;
    if (c.rad == 2) in.Fc2 = 4.0e4 * 80.;  // fm^2, comparable extinction
    in.TBar = c.tbar;
    in.Abs = c.abs ? &abs : nullptr;
    int prob = 0;
    std::vector<double> dy(val.size());
    double y = ExtFactor(m, in, dy.data(), prob);
    ASSERT_EQ(prob, 0);
    EXPECT_LT(y, 0.98);  // the case must exercise the correction
    EXPECT_GT(y, 0.02);
    for (size_t k = 0; k < val.size(); ++k) {
      auto values = [&](double v, std::vector<double>* der) {
        DatBlockModel mv = m;
        mv.Ext.Val[k] = v;
        std::vector<double> d(val.size());
        const double yv = ExtFactor(mv, in, d.data(), prob);
        if (der) der->push_back(d[k]);
        return std::vector<double>{yv};
      };
      EXPECT_TRUE(test::FdAgree(test::FdScan(values, val[k], {.Step = 1e-4 * std::abs(val[k])}),
                                1e-4, 1e-6 * std::abs(y / val[k])))
          << "value " << k;
    }
  }
}

TEST(ExtFactor, Limits) {
  ExtInput in = BaseInput();
  int prob;
  // No extinction for vanishing particles or mosaic parameter.
  EXPECT_NEAR(ExtFactor(ExtBlock(ExtIso, 2, 1, {1.e-10, 1.e4}), in, nullptr, prob), 1., 1.e-9);
  EXPECT_NEAR(ExtFactor(ExtBlock(ExtIso, 3, 2, {1.e-10, 1.e4}), in, nullptr, prob), 1., 1.e-9);
  EXPECT_NEAR(ExtFactor(ExtBlock(ExtIso, 1, 1, {8., 1.e-6}), in, nullptr, prob), 1., 1.e-9);
  // A vanishing mosaic parameter removes only the secondary part of the general type: y = y_p.
  double xp0, xs0;
  ExtXValues(3, 1, 8., 1.e-9, in, xp0, xs0);
  EXPECT_NEAR(xs0, 0., 1.e-9);
  // The general secondary parameter tends to type II for a perfect mosaic (g -> inf) and to
  // type I when the particles are large (r S >> g), for both distributions.
  for (int distr : {1, 2}) {
    double xp, xsGen, xs;
    ExtXValues(3, distr, 8., 1.e12, in, xp, xsGen);
    ExtXValues(2, distr, 8., 1.e12, in, xp, xs);
    EXPECT_NEAR(xsGen / xs, 1., 1.e-6);
    ExtXValues(3, distr, 1.e8, 50., in, xp, xsGen);
    ExtXValues(1, distr, 1.e8, 50., in, xp, xs);
    EXPECT_NEAR(xsGen / xs, 1., 1.e-4);
  }
  // Primary parameter: (r_e |F| lambda r / V)^2.
  double xp, xs;
  ExtXValues(3, 1, 8., 1.e4, in, xp, xs);
  double expect = 2.8179403262e-5 * std::sqrt(in.Fc2) * in.Lambda * 8.e4 / in.Volume;
  EXPECT_NEAR(xp, expect * expect, 1.e-9 * xp);
}

TEST(ExtFactor, SameResultTwoWays) {
  int prob;
  // At 2 theta = 90 deg the second polarisation component has weight 0: an X-ray factor equals
  // the neutron factor for the same |F|^2 expressed in fm^2.
  ExtInput x = BaseInput();
  x.SinTh = std::sqrt(0.5);
  ExtInput n = x;
  n.RadType = 2;
  n.Fc2 = x.Fc2 * std::pow(2.8179403262e-5, 2) / 1.e-10;
  DatBlockModel gen = ExtBlock(ExtIso, 3, 1, {8., 1.2e4});
  EXPECT_NEAR(ExtFactor(gen, x, nullptr, prob), ExtFactor(gen, n, nullptr, prob), 1.e-12);

  // Absorption tables holding the Gaussian coefficients reproduce the plain model at a grid
  // point of sin(theta).
  ExtInput in = BaseInput();
  ExtAbsTables abs;
  for (int i = 0; i <= 10; ++i) {
    double c = 1. - 2. * 0.01 * i * i;
    abs.A[i] = 0.58 + 0.48 * c + 0.24 * c * c;
    abs.B[i] = 0.02 - 0.025 * c;
  }
  double plain = ExtFactor(gen, in, nullptr, prob);
  in.Abs = &abs;
  EXPECT_NEAR(ExtFactor(gen, in, nullptr, prob), plain, 1.e-12);

  // An isotropic tensor pair gives the isotropic factor, and the trace of the tensor derivatives
  // folds back into dy/dr and dy/dg.
  in.Abs = nullptr;
  double r = 8., g = 1.2e4;
  DatBlockModel an = ExtBlock(ExtAniso, 3, 2,
                              {1 / (r * r), 1 / (r * r), 1 / (r * r), 0, 0, 0, 1 / (g * g),
                               1 / (g * g), 1 / (g * g), 0, 0, 0});
  DatBlockModel iso = ExtBlock(ExtIso, 3, 2, {r, g});
  std::vector<double> da(12), di(2);
  double ya = ExtFactor(an, in, da.data(), prob);
  EXPECT_NEAR(ya, ExtFactor(iso, in, di.data(), prob), 1.e-12);
  // r = (W)^-1/2 with W = w I: dr/dw = -r^3/2, and dy/dw = sum of the diagonal derivatives.
  EXPECT_NEAR(da[0] + da[1] + da[2], di[0] * (-0.5 * r * r * r),
              1.e-9 * std::abs(di[0] * r * r * r));
  EXPECT_NEAR(da[6] + da[7] + da[8], di[1] * (-0.5 * g * g * g),
              1.e-9 * std::abs(di[1] * g * g * g));
}

TEST(ExtFactor, AnisotropicImpossible) {
  ExtInput in = BaseInput();
  std::vector<double> v = kAniso;
  v[0] = v[1] = v[2] = -1.e-3;  // particle tensor negative along every direction
  std::vector<double> dy(12, 7.);
  int prob = 0;
  EXPECT_EQ(ExtFactor(ExtBlock(ExtAniso, 2, 1, v), in, dy.data(), prob), 1.);
  EXPECT_EQ(prob, 1);
  for (double d : dy) EXPECT_EQ(d, 0.);
  EXPECT_STREQ(ExtMsgText(ExtMsg::AnisoImpossible), "Anisotropic extinction cannot be performed.");
  // Type I with a given path length needs only the mosaic tensor.
  ExtFactor(ExtBlock(ExtAniso, 1, 1, v), in, nullptr, prob);
  EXPECT_EQ(prob, 0);
}

TEST(ShelxExt, HandComputed) {
  // e = 0.001 * 100^2 * 1.5418^3 / 0.5 = 73.30171229; (1 + 0.01 e)^-1/2.
  double d;
  EXPECT_NEAR(ShelxExt(0.01, 100., 1.5418, 0.5, 1, &d), 0.7596238172, 1.e-9);
  EXPECT_NEAR(d, -16.06496721, 1.e-6);
  // Radiation type 3: c = 1.
  EXPECT_NEAR(ShelxExt(0.01, 1., 1.5418, 0.5, 3, nullptr), 0.9652483966, 1.e-9);
  // Through the data block: intensity factor on the absolute |F|^2.
  DatBlockModel m = ExtBlock(ExtShelx, 1, 1, {0.01});
  ExtInput in;
  in.Fc2 = 1.e4;
  in.Lambda = 1.5418;
  in.SinTh = std::sin(0.5 * std::asin(0.5));  // sin(2 theta) = 0.5
  int prob;
  EXPECT_NEAR(ExtFactor(m, in, nullptr, prob), 0.7596238172, 1.e-9);
}

// ---------------------------------------------------------------- twins
BasicData TwinBasic(const std::vector<std::vector<double>>& mats, double a, double b, double c,
                    std::vector<Vec3> q = {}) {
  BasicData bd;
  bd.Phase.resize(1);
  PhaseBasic& ph = bd.Phase[0];
  ph.NDim = 3 + static_cast<int>(q.size());
  ph.Qi = q;
  double mi[9] = {1 / (a * a), 0, 0, 0, 1 / (b * b), 0, 0, 0, 1 / (c * c)};
  std::copy(mi, mi + 9, ph.MetTensI);
  bd.DatBlock.resize(1);
  bd.DatBlock[0].Lambda = 1.;
  bd.Twin = mats;
  return bd;
}

std::vector<TwinPart> Parts(const TwinSetup& t, std::vector<int> h) {
  std::vector<TwinPart> p;
  TwinParts(t, h.data(), p);
  return p;
}

TEST(SetTw, MerohedralAllCoincide) {
  // Tetragonal cell, twofold about [110]: every reflection meets (k, h, -l) of domain 2.
  BasicData bd = TwinBasic({{1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 1, 0, 1, 0, 0, 0, 0, -1}}, 5, 5, 9);
  DatBlockModel m;
  m.Twin.resize(2);
  m.Twin.Val = {0.7, 0.3};
  TwinSetup t;
  std::string msg;
  ASSERT_EQ(SetTw(t, bd, m, 0, 0, 0.1, 4, 0., 0, msg), 0) << msg;
  for (auto h : {std::vector<int>{1, 2, 3}, {0, 0, 4}, {-3, 7, 1}}) {
    auto p = Parts(t, h);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[1].Domain, 1);
    EXPECT_EQ(p[1].H[0], h[1]);
    EXPECT_EQ(p[1].H[1], h[0]);
    EXPECT_EQ(p[1].H[2], -h[2]);
  }
  // Intensity sum and its fraction derivative (the first fraction is the remainder).
  auto p = Parts(t, {1, 2, 3});
  std::vector<double> inten = {100., 40.};
  double d[2];
  EXPECT_NEAR(TwinSum(t, p, inten, d), 0.7 * 100 + 0.3 * 40, 1.e-12);
  m.Twin.Val = {0.9, 0.35};  // the stored first value is not used
  TwinUpdateFractions(t, m);
  EXPECT_NEAR(TwinSum(t, p, inten, nullptr), 0.65 * 100 + 0.35 * 40, 1.e-12);
  EXPECT_NEAR(d[1], 40. - 100., 1.e-12);
}

TEST(SetTw, NonMerohedralPartialAndFaults) {
  // Domain 2 at h_ref = T k with T = [1 0 0; 0 -1 0; 0.501 0 -1]: reflections with even h
  // nearly coincide (offset 0.001 h c*), odd h fall between.
  BasicData bd =
      TwinBasic({{1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 0, -1, 0, 0.501, 0, -1}}, 5, 6, 10);
  DatBlockModel m;
  m.Twin.resize(2);
  m.Twin.Val = {0.5, 0.5};
  TwinSetup t;
  std::string msg;
  ASSERT_EQ(SetTw(t, bd, m, 0, 0, 0.1, 4, 0., 0, msg), 0);
  struct Case {
    std::vector<int> h;
    size_t n;  // parts found
  };
  // Separation 2 asin(0.001 h * 0.1 / 2) ~ 0.0057 h degrees at lambda = 1.
  const Case cases[] = {{{2, 1, 3}, 2},  {{0, 5, 5}, 2},  {{1, 1, 3}, 1},
                        {{16, 0, 1}, 2}, {{18, 0, 1}, 1}, {{-3, 2, 2}, 1}};
  for (const Case& c : cases) {
    auto p = Parts(t, c.h);
    EXPECT_EQ(p.size(), c.n) << c.h[0] << " " << c.h[1] << " " << c.h[2];
    if (p.size() == 2) {
      EXPECT_EQ(p[1].H[2], static_cast<int>(std::round(0.501 * c.h[0])) - c.h[2]);
    }
  }
  // Faults: singular matrix, fraction count.
  BasicData bad = TwinBasic({{1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 2, 0, 0, 0, 0, 1}}, 5, 6, 10);
  EXPECT_EQ(SetTw(t, bad, m, 0, 0, 0.1, 4, 0., 0, msg), 1);
  EXPECT_EQ(msg, "Twin matrix of domain 2 is singular.");
  m.Twin.resize(3);
  EXPECT_EQ(SetTw(t, bd, m, 0, 0, 0.1, 4, 0., 0, msg), 1);
  EXPECT_EQ(msg, ExtMsgText(ExtMsg::TwinCount));
}

TEST(SetTw, SatellitesAndOverlap) {
  // Tetragonal twin by [110], q = (0 0 1/2): satellites of domain 2 coincide with satellites
  // of domain 1; satellites of the same domain overlap at l + 1/2 = (l+1) - 1/2.
  BasicData bd = TwinBasic({{1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 1, 0, 1, 0, 0, 0, 0, -1}}, 5, 5, 9,
                           {{0, 0, 0.5}});
  DatBlockModel m;
  m.Twin.resize(2);
  m.Twin.Val = {0.6, 0.4};
  TwinSetup t;
  std::string msg;
  ASSERT_EQ(SetTw(t, bd, m, 0, 0, 0.1, 1, 0., 0, msg), 0);
  auto has = [](const std::vector<TwinPart>& p, int d, std::array<int, 4> h) {
    for (const auto& x : p)
      if (x.Domain == d && x.H[0] == h[0] && x.H[1] == h[1] && x.H[2] == h[2] && x.H[3] == h[3])
        return true;
    return false;
  };
  auto p = Parts(t, {1, 2, 3, 1});  // at (1, 2, 3.5)
  EXPECT_TRUE(has(p, 1, {2, 1, -4, 1}));
  EXPECT_TRUE(has(p, 1, {2, 1, -3, -1}));
  EXPECT_FALSE(has(p, 0, {1, 2, 4, -1}));  // same-domain overlap needs the option
  ASSERT_EQ(SetTw(t, bd, m, 0, 0, 0.1, 1, 0.2, 1, msg), 0);
  p = Parts(t, {1, 2, 3, 1});
  EXPECT_TRUE(has(p, 0, {1, 2, 4, -1}));
  EXPECT_EQ(p.size(), 4u);
}

// ---------------------------------------------------------------- magnetic
TEST(Magnetic, RepresentationsRoundTrip) {
  // Triclinic cell: the Cartesian modulus follows from the cell angles alone,
  // |M|^2 = sum m_i m_j cos(angle_ij) for components along unit axis vectors.
  PhaseBasic ph;
  double cell[6] = {5.1, 6.3, 7.2, 80., 105., 95.};
  std::copy(cell, cell + 6, ph.Cell);
  ph.Symmetry = CrlPrimitivePhase(3, true);
  MagSetup s;
  ASSERT_EQ(MagPrepare(s, ph), 0);
  AtomModel am;
  AtomRec at = DefaultAtom();
  at.Name = "Fe1";
  AtomShape sh = at.Shape;
  sh.MagPar = 1;
  ReallocateAtomParams(at, sh);
  AtomLayoutInfo lay = AtomLayout(at.Shape);
  const double m[3] = {1.3, -2.1, 0.7};
  for (int i = 0; i < 3; ++i) {
    at.Par.Val[lay.Off[BlkMag] + i] = m[i];
    at.Par.Sig[lay.Off[BlkMag] + i] = 0.01;
  }
  am.Atom.push_back(at);
  SetMag(am, s, 0, MagFract, MagSpher);
  const double* v = &am.Atom[0].Par.Val[lay.Off[BlkMag]];
  double ca = std::cos(cell[3] * kDegT), cb = std::cos(cell[4] * kDegT),
         cg = std::cos(cell[5] * kDegT);
  double mod2 = m[0] * m[0] + m[1] * m[1] + m[2] * m[2] + 2 * m[0] * m[1] * cg +
                2 * m[0] * m[2] * cb + 2 * m[1] * m[2] * ca;
  EXPECT_NEAR(v[0], std::sqrt(mod2), 1.e-12);
  EXPECT_GT(am.Atom[0].Par.Sig[lay.Off[BlkMag]], 0.);
  // The spherical moment gives the same Cartesian vector.
  auto a = MagMomentCart(s, m, MagFract, nullptr);
  auto b = MagMomentCart(s, v, MagSpher, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(a[i], b[i], 1.e-12);
  SetMag(am, s, 0, MagSpher, MagFract);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(v[i], m[i], 1.e-12);
  }
}

}  // namespace
}  // namespace tarn
