// Magnetic neutron scattering in Calc: a two-sublattice antiferromagnet
// against its closed form, moments along the diffraction vector, time
// inversion, the intensity sum, derivatives of every magnetic-atom value
// against central differences.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "support/refine_sim.hpp"

namespace tarn {
namespace {

using namespace testsim;

// <j0> of Fe3+ (Brown, Vol. C Table 4.4.5.2): A a B b C c D.
const std::vector<double> kFe3J0 = {0.3972, 13.2442, 0.6295, 4.9034, -0.0314, 0.3496, 0.0044};
constexpr double kBFe = 9.45;  // neutron length of Fe, fm
constexpr double kBC = 6.646;  // neutron length of C, fm

double J0(double s) {
  const auto& c = kFe3J0;
  return c[0] * std::exp(-c[1] * s * s) + c[2] * std::exp(-c[3] * s * s) +
         c[4] * std::exp(-c[5] * s * s) + c[6];
}

struct MagAtomSpec {
  const char* Name;
  int Type;  // 1 C, 2 Fe
  int Order;
  double Occ;
  std::array<double, 3> X;
  std::array<double, 6> B;    // beta (Uiso in B[0])
  int MagPar;                 // 0 none, 1 moment, 2 moment and one wave
  std::array<double, 3> M;    // stored moment values
  std::array<double, 6> W{};  // wave: sin M1 M2 M3, cos M1 M2 M3 (axes)
};

void SetMagStructure(const std::array<double, 6>& cell, const std::vector<std::string>& ops,
                     const std::vector<MagAtomSpec>& atoms, int radiation = 2,
                     const std::vector<std::string>& spherical = {},
                     const std::vector<Vec3>& q = {}) {
  SetPhase({.Cell = cell,
            .Ops = ops,
            .Radiation = radiation,
            .Lambda = 1.54,
            .Scale = 1.3,
            .FeAnom = {0., 0.},
            .CAnom = {0., 0.},
            .Magnetic = true,
            .Q = q,
            .FeJ0 = kFe3J0});
  Struct.Model.Phase.resize(1);
  if (!spherical.empty()) Struct.Model.Phase[0].Opt.push_back(M40Option{6, spherical});  // magmode
  for (const MagAtomSpec& s : atoms) {
    AtomRec a = MakeAtom({s.Name, s.Type, s.Order, s.Occ, s.X, s.B});
    AtomShape sh = a.Shape;
    sh.MagPar = s.MagPar;
    ReallocateAtomParams(a, sh);
    const AtomLayoutInfo lay = AtomLayout(sh);
    for (int i = 0; i < lay.Len[BlkMag]; ++i)
      a.Par.Val[static_cast<size_t>(lay.Off[BlkMag] + i)] = s.M[static_cast<size_t>(i)];
    for (int i = 0; i < lay.Len[BlkMagWave]; ++i)
      a.Par.Val[static_cast<size_t>(lay.Off[BlkMagWave] + i)] = s.W[static_cast<size_t>(i)];
    Struct.Model.Atom.push_back(a);
  }
}

// Diffraction vector h + m.q (r.l.u.) and sin(theta)/lambda.
std::array<double, 3> KVec(const std::array<int, 6>& h) {
  const PhaseBasic& ph = Struct.Basic.Phase[0];
  std::array<double, 3> k = {1. * h[0], 1. * h[1], 1. * h[2]};
  for (size_t j = 0; j < ph.Qi.size(); ++j)
    for (size_t i = 0; i < 3; ++i) k[i] += h[3 + j] * ph.Qi[j][i];
  return k;
}
double SinThL(const Hkl& h) {
  return RefSinThL(Struct.Basic.Phase[0], h.data(), Struct.Basic.Phase[0].NDim);
}

const std::array<double, 6> kCubic = {5.0, 5.0, 5.0, 90, 90, 90};

// Fe at +-(1/4 1/4 1/4) related by -1' (inversion with time inversion): the
// moments are opposite. For h + k + l odd the nuclear amplitude
// 2 b cos(pi (h+k+l)/2) vanishes and F_M = 2 i p f_m T M, so
// I = 4 p^2 f_m^2 T^2 |M_perp|^2. With the plain inversion (ferromagnet) the
// same reflection has no magnetic intensity.
TEST(CalcMag, AntiferromagnetClosedForm) {
  const double u = 0.008;  // Uiso, Angstrom^2
  struct Case {
    const char* What;
    const char* InvSign;  // time-inversion word of the inversion
    std::array<double, 3> M;
    std::array<int, 6> H;
    double MPerp2;  // |M_perp|^2 for the antiferromagnet, (Bohr magnetons)^2
    int Magnetic;   // classification of the reflection
  };
  const Case cases[] = {
      {"moment along c, h along a", "-m", {0, 0, 3.}, {1, 0, 0}, 9., 1},
      {"moment along a, h along a: no intensity", "-m", {3., 0, 0}, {1, 0, 0}, 0., 0},
      {"moment along a, h along b", "-m", {3., 0, 0}, {0, 1, 0}, 9., 1},
      {"oblique moment, h along c", "-m", {1., 2., 2.}, {0, 0, 3}, 5., 1},
      {"moment along a, h = (1 1 1)", "-m", {3., 0, 0}, {1, 1, 1}, 6., 1},
      {"ferromagnet: no magnetic intensity at (1 0 0)", "m", {0, 0, 3.}, {1, 0, 0}, 0., 0},
  };
  for (const Case& c : cases) {
    SetMagStructure(kCubic, {"x y z m", std::string("-x -y -z ") + c.InvSign},
                    {{"Fe1", 2, 1, 1., {0.25, 0.25, 0.25}, {u}, 1, c.M}});
    RefParams p;
    RefBuildParams(p);
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0) << c.What;
    const CalcOut o = Eval(s, c.H, false);
    const double sthl = SinThL(c.H);
    const double t = std::exp(-8. * kPi * kPi * u * sthl * sthl);
    const double amp = 2. * kMagAmpFm * J0(sthl) * t;
    EXPECT_NEAR(o.IMag, amp * amp * c.MPerp2, 1e-9 * (1. + o.IMag)) << c.What;
    EXPECT_EQ(o.Magnetic, c.Magnetic) << c.What;
    // Purely magnetic: the nuclear part vanishes; the scale multiplies |F|.
    const double nuc = std::norm(std::complex<double>(o.A, o.B));
    const double hs = c.H[0] + c.H[1] + c.H[2];
    EXPECT_NEAR(nuc, std::pow(2. * kBFe * t * std::cos(kPi * hs / 2.), 2), 1e-9) << c.What;
    EXPECT_NEAR(o.Fc, 1.3 * std::sqrt(nuc + o.IMag), 1e-9 * (1. + o.Fc)) << c.What;
  }
  // A nuclear reflection of the antiferromagnet: (2 0 0) has no magnetic part.
  SetMagStructure(kCubic, {"x y z m", "-x -y -z -m"},
                  {{"Fe1", 2, 1, 1., {0.25, 0.25, 0.25}, {u}, 1, {0, 0, 3.}}});
  RefParams p;
  RefBuildParams(p);
  CalcSetup s;
  ASSERT_EQ(CalcPrepare(s, p), 0);
  const CalcOut o = Eval(s, {2, 0, 0}, false);
  EXPECT_NEAR(o.IMag, 0., 1e-12);
  EXPECT_EQ(o.Magnetic, 0);
}

// The same moments in the spherical representation give the same intensity;
// X-ray data see no magnetic scattering; `onlymag` keeps the magnetic part
// alone.
TEST(CalcMag, RepresentationsRadiationAndOnlyMag) {
  const std::array<double, 3> m = {1.2, -0.7, 2.1};
  const double mod = std::sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2]);
  const std::array<double, 3> sph = {mod, std::atan2(m[1], m[0]) * 180. / kPi,
                                     std::acos(m[2] / mod) * 180. / kPi};
  const std::vector<std::string> ops = {"x y z m", "-x -y -z -m"};
  const std::array<int, 6> h = {1, 2, 0};
  auto run = [&](const std::array<double, 3>& mv, const std::vector<std::string>& spher,
                 int radiation, int onlyMag) {
    SetMagStructure(kCubic, ops,
                    {{"Fe1", 2, 1, 1., {0.21, 0.27, 0.31}, {0.01}, 1, mv},
                     {"C1", 1, 1, 1., {0.61, 0.07, 0.43}, {0.02}, 0, {}}},
                    radiation, spher);
    RefSettings ref;
    ref.Run.SetI(RkOnlyMag, onlyMag);
    RefParams p;
    RefBuildParams(p);
    CalcSetup s;
    EXPECT_EQ(CalcPrepare(s, p, ref.Run), 0);
    return Eval(s, h, false);
  };
  const CalcOut cart = run(m, {}, 2, 0);
  const CalcOut spher = run(sph, {"Fe1"}, 2, 0);
  ASSERT_GT(cart.IMag, 1.);
  EXPECT_NEAR(spher.IMag, cart.IMag, 1e-9 * cart.IMag);
  EXPECT_NEAR(spher.Fc, cart.Fc, 1e-9 * cart.Fc);
  const CalcOut xray = run(m, {}, 1, 0);
  EXPECT_EQ(xray.IMag, 0.);
  EXPECT_EQ(xray.Magnetic, 0);
  const CalcOut only = run(m, {}, 2, 1);
  EXPECT_NEAR(only.IMag, cart.IMag, 1e-9 * cart.IMag);
  EXPECT_NEAR(only.Fc, 1.3 * std::sqrt(cart.IMag), 1e-9 * only.Fc);
  EXPECT_EQ(only.A, 0.);
  EXPECT_EQ(only.Magnetic, 1);
}

// dFc/dp of occupancy, position, ADP (isotropic and tensor), moment values
// (both representations) and moment-wave amplitudes of magnetic atoms, with
// the nuclear part and with `onlymag`: a monoclinic group with primed
// operators, a superspace group with -1' and a moment wave, and the
// monoclinic group with the propagation vector k = (0 0 1/2) (coinciding
// satellites summed).
TEST(CalcMag, DerivativesMatchCentralDifferences) {
  struct Case {
    const char* Name;
    std::vector<std::string> Ops;
    std::vector<Vec3> Q;
    std::vector<MagAtomSpec> Atoms;
    std::vector<std::string> Spherical;
    std::vector<Hkl> H;
    std::vector<Vec3> K = {};  // propagation vectors
  };
  const std::array<double, 6> cell = {8.21, 6.44, 10.05, 90, 104.3, 90};
  const std::array<double, 6> beta = {0.0061, 0.0042, 0.0031, 0.0007, -0.0005, 0.0003};
  const std::array<double, 6> wave = {0.7, -0.4, 0.9, 0.3, 1.1, -0.5};
  const Case cases[] = {
      {"P2'/c'",
       {"x y z m", "-x y -z+1/2 -m", "-x -y -z m", "x -y z+1/2 -m"},
       {},
       {{"Fe1", 2, 2, 0.9, {0.1123, 0.2041, 0.3302}, beta, 1, {1.1, -0.6, 2.3}, {}},
        {"Fe2", 2, 1, 1., {0.3512, 0.5712, 0.1811}, {0.011}, 1, {2.7, 35., 61.}, {}},
        {"C1", 1, 1, 1., {0.7734, 0.3917, 0.6021}, {0.015}, 0, {}, {}}},
       {"Fe2"},
       {{1, 2, 1}, {-2, 1, 3}, {0, 1, 1}, {3, 0, -2}}},
      {"superspace P-1'",
       {"x1 x2 x3 x4 m", "-x1 -x2 -x3 -x4 -m"},
       {{0.31, 0., 0.17}},
       {{"Fe1", 2, 2, 0.9, {0.1123, 0.2041, 0.3302}, beta, 2, {1.1, -0.6, 2.3}, wave},
        {"Fe2", 2, 1, 1., {0.3512, 0.5712, 0.1811}, {0.011}, 2, {0.4, 1.3, -0.8}, wave},
        {"C1", 1, 1, 1., {0.7734, 0.3917, 0.6021}, {0.015}, 0, {}, {}}},
       {},
       {{1, 2, 1, 1}, {-2, 1, 3, -1}, {0, 1, 1, 1}, {1, 0, -2, 0}}},
      {"P2'/c' with k",
       {"x y z m", "-x y -z+1/2 -m", "-x -y -z m", "x -y z+1/2 -m"},
       {},
       {{"Fe1", 2, 2, 0.9, {0.1123, 0.2041, 0.3302}, beta, 2, {1.1, -0.6, 2.3}, wave},
        {"Fe2", 2, 1, 1., {0.3512, 0.5712, 0.1811}, {0.011}, 2, {0.4, 1.3, -0.8}, wave},
        {"C1", 1, 1, 1., {0.7734, 0.3917, 0.6021}, {0.015}, 0, {}, {}}},
       {},
       {{1, 2, 1, 1}, {-2, 1, 3, -1}, {0, 1, 1, 1}, {1, 2, 0, 0}},
       {{0., 0., 0.5}}},
  };
  for (const Case& c : cases)
    for (int onlyMag = 0; onlyMag <= 1; ++onlyMag) {
      SetMagStructure(cell, c.Ops, c.Atoms, 2, c.Spherical, c.Q);
      Struct.Basic.Phase[0].QMag = c.K;
      RefSettings ref;
      ref.Run.SetI(RkOnlyMag, onlyMag);
      RefParams p;
      RefBuildParams(p);
      CalcSetup s;
      ASSERT_EQ(CalcPrepare(s, p, ref.Run), 0) << c.Name;
      std::vector<std::pair<int, double>> idx;
      for (int ia = 0; ia < 2; ++ia) {
        const AtomLayoutInfo lay = AtomLayout(Struct.Model.Atom[static_cast<size_t>(ia)].Shape);
        const int base = p.AtomBase[static_cast<size_t>(ia)];
        for (int k = 0; k < lay.Off[BlkAdp] + lay.Len[BlkAdp]; ++k) idx.push_back({base + k, 1e-6});
        for (int k = 0; k < 3; ++k) idx.push_back({base + lay.Off[BlkMag] + k, 1e-4});
        for (int k = 0; k < lay.Len[BlkMagWave]; ++k)
          idx.push_back({base + lay.Off[BlkMagWave] + k, 1e-4});
      }
      for (const auto& h : c.H) ASSERT_GT(Eval(s, h, false).IMag, 0.) << c.Name;
      ExpectFcDerivatives(s, p, idx, c.H, 2e-4,
                          std::string(c.Name) + " onlymag " + std::to_string(onlyMag));
    }
}

// A moment wave M(x4) = S sin(2 pi x4) + C cos(2 pi x4) on Fe in the superspace
// group P1 (orthogonal cell, q along c*): the first-order satellites carry
// M~ = +-(i/2) S + C/2, so I = (p f_m T |M~_perp|)^2; main reflections and
// second-order satellites have no magnetic part.
TEST(CalcMag, MomentWaveSatellites) {
  // One moment wave: only the satellites m = +-k of its wave vector carry
  // moment. (3+1): the default wave vector 1; (3+2): the vector (1, 1) of the
  // phase's "wave" option.
  const std::array<double, 6> cell = {5., 6., 7., 90, 90, 90};
  const std::array<double, 3> S = {2., 0., 0.5}, C = {0., 3., 0.};
  const double u = 0.01;
  struct Case {
    std::vector<std::string> Ops;
    std::vector<Vec3> Q;
    std::vector<std::string> Wave;
    std::array<int, 2> K;
    std::vector<Hkl> H;
  };
  const Case cases[] = {
      {{"x1 x2 x3 x4 m"},
       {{0., 0., 0.3}},
       {},
       {1, 0},
       {{1, 0, 0, 1}, {1, 0, 0, -1}, {0, 1, 1, 1}, {2, 1, 0, -1}, {1, 0, 0, 0}, {1, 0, 0, 2}}},
      {{"x1 x2 x3 x4 x5 m"},
       {{0., 0., 0.3}, {0.2, 0., 0.}},
       {"1", "1"},
       {1, 1},
       {{1, 0, 0, 1, 1}, {1, 0, 0, -1, -1}, {0, 1, 1, 1, 0}, {2, 1, 0, 0, -1}, {1, 0, 0, 1, -1}}},
  };
  for (const Case& c : cases) {
    SetMagStructure(cell, c.Ops,
                    {{"Fe1",
                      2,
                      1,
                      1.,
                      {0.1, 0.2, 0.3},
                      {u},
                      2,
                      {0, 0, 0},
                      {S[0], S[1], S[2], C[0], C[1], C[2]}}},
                    2, {}, c.Q);
    if (!c.Wave.empty()) Struct.Model.Phase[0].Opt.push_back(M40Option{2, c.Wave});
    RefParams p;
    RefBuildParams(p);
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    const int d = static_cast<int>(c.Q.size());
    for (const std::array<int, 6> h : c.H) {
      const CalcOut o = Eval(s, h, false);
      const std::array<double, 3> k = KVec(h);
      std::array<double, 3> e = {k[0] / cell[0], k[1] / cell[1], k[2] / cell[2]};
      const double len = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
      for (double& v : e) v /= len;
      int sign = 0;  // +1: m = k, -1: m = -k
      for (int sg : {1, -1}) {
        bool eq = true;
        for (int j = 0; j < d; ++j) eq = eq && h[3 + j] == sg * c.K[static_cast<size_t>(j)];
        if (eq) sign = sg;
      }
      double expect = 0.;
      if (sign != 0) {
        std::array<std::complex<double>, 3> mt;
        for (size_t i = 0; i < 3; ++i)
          mt[i] = std::complex<double>(0., 0.5 * sign) * S[i] + 0.5 * C[i];
        const std::complex<double> em = e[0] * mt[0] + e[1] * mt[1] + e[2] * mt[2];
        double perp2 = 0.;
        for (size_t i = 0; i < 3; ++i) perp2 += std::norm(mt[i] - e[i] * em);
        const double sthl = SinThL(h);
        const double amp = kMagAmpFm * J0(sthl) * std::exp(-8. * kPi * kPi * u * sthl * sthl);
        expect = amp * amp * perp2;
      }
      EXPECT_NEAR(o.IMag, expect, 1e-9 * (1. + expect))
          << d << ": " << h[0] << h[1] << h[2] << h[3] << h[4];
    }
  }
}

// A propagation vector k = (0 0 1/2) against the same antiferromagnet in the
// doubled cell c' = 2c, with the atom at z/2 and its opposite at z/2 + 1/2: the
// satellite (h k l m) is the reflection (h k 2l+m) of the doubled cell, with
// twice the amplitude (two cells); its intensity is the coherent sum of both
// satellites at that vector. With P-1 the inversion image of the atom is
// related through the internal part -1 of the operator (k R = -k).
TEST(CalcMag, PropagationVectorAgainstDoubledCell) {
  const std::array<double, 3> r = {0.1, 0.2, 0.15};
  const std::array<double, 3> S = {0., 1.0, 0.4}, C = {1.5, 0., 2.};
  const double ph = kTwoPi * 0.5 * r[2];  // 2 pi k.r
  std::array<double, 3> m1{}, m2{};
  for (size_t i = 0; i < 3; ++i) m1[i] = S[i] * std::sin(ph) + C[i] * std::cos(ph), m2[i] = -m1[i];
  const std::vector<Hkl> hs = {{0, 0, 0, 1}, {1, 0, 0, 1}, {1, 0, 0, -1}, {0, 1, 2, -1}, {2, 1, -1, 1}};
  for (bool inv : {false, true}) {
    std::vector<std::string> ops = {"x y z m"};
    if (inv) ops.push_back("-x -y -z m");
    SetMagStructure({4., 4.5, 5., 90, 90, 90}, ops,
                    {{"Fe1", 2, 1, 1., r, {0.01}, 2, {0, 0, 0}, {S[0], S[1], S[2], C[0], C[1], C[2]}}});
    Struct.Basic.Phase[0].QMag = {{0., 0., 0.5}};
    RefParams p;
    RefBuildParams(p);
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    std::vector<double> iSmall;
    for (const Hkl& h : hs) {
      CalcRefl cr;
      cr.H = h;
      cr.SinThL = 0.5 * std::sqrt(h[0] * h[0] / 16. + h[1] * h[1] / 20.25 + std::pow((h[2] + 0.5 * h[3]) / 5., 2));
      CalcOut o;
      ASSERT_EQ(Calc(s, cr, false, o), 0);
      EXPECT_EQ(o.A, 0.);
      iSmall.push_back(o.IMag);
    }
    SetMagStructure({4., 4.5, 10., 90, 90, 90}, ops,
                    {{"Fe1", 2, 1, 1., {r[0], r[1], 0.5 * r[2]}, {0.01}, 1, m1, {}},
                     {"Fe2", 2, 1, 1., {r[0], r[1], 0.5 * r[2] + 0.5}, {0.01}, 1, m2, {}}});
    RefBuildParams(p);
    ASSERT_EQ(CalcPrepare(s, p), 0);
    for (size_t k = 0; k < hs.size(); ++k) {
      const Hkl h = {hs[k][0], hs[k][1], 2 * hs[k][2] + hs[k][3]};
      const double big4 = Eval(s, h, false).IMag;
      EXPECT_GT(big4, 1.) << inv << " " << k;
      EXPECT_NEAR(4. * iSmall[k], big4, 1e-9 * big4) << inv << " " << k;
    }
  }
}

// What the magnetic sum does not handle is refused with the atom's name:
// moment waves in a three-dimensional phase, in the spherical representation,
// or over two modulation vectors without their wave vectors.
TEST(CalcMag, MomentWavesAreRefused) {
  const MagAtomSpec fe = {
      "Fe1", 2, 1, 1., {0.1, 0.2, 0.3}, {0.01}, 2, {1, 0, 0}, {1, 0, 0, 0, 0, 0}};
  SetMagStructure(kCubic, {"x y z m"}, {fe});
  RefParams p;
  RefBuildParams(p);
  CalcSetup s;
  EXPECT_NE(CalcPrepare(s, p), 0);
  SetMagStructure(kCubic, {"x1 x2 x3 x4 m"}, {fe}, 2, {"Fe1"}, {{0., 0., 0.3}});
  RefBuildParams(p);
  EXPECT_NE(CalcPrepare(s, p), 0);
  // Two modulation vectors without the "wave" option: the wave vector is unknown.
  SetMagStructure(kCubic, {"x1 x2 x3 x4 x5 m"}, {fe}, 2, {}, {{0., 0., 0.3}, {0.2, 0., 0.}});
  RefBuildParams(p);
  EXPECT_NE(CalcPrepare(s, p), 0);
  Struct.Model.Phase[0].Opt.push_back(M40Option{2, {"0", "1"}});
  RefBuildParams(p);
  EXPECT_EQ(CalcPrepare(s, p), 0);
}

}  // namespace
}  // namespace tarn
