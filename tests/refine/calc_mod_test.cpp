// Modulated atoms in the structure factor: integration and Bessel expansion
// agree with each other and with a direct periodic sum, crenel of width 1,
// analytic derivatives against finite differences, equivalent satellites in a
// superspace group, composite index transformation.
#include "refine/calc_mod.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "model/basic.hpp"
#include "model/structure.hpp"
#include "symmetry/site.hpp"
#include "support/refine_sim.hpp"

namespace tarn {
namespace {

constexpr double kPi = std::numbers::pi;
using Cx = std::complex<double>;

// (3+1)-dimensional phase, cell 5 x 6 x 7 Angstrom orthogonal, q = (0.1, 0, 0.37).
void SetPhase(const std::vector<std::string>& ops, const std::string& lattice, bool centro) {
  testsim::SetModPhase({{5, 6, 7}, {{0.1, 0., 0.37}}, "Fe", ops, lattice, centro});
}

// Atom Fe1 with reproducible values: harmonic ADP of about U = 0.01 A^2 (or Uiso).
AtomRec MakeAtom(const AtomShape& sh) {
  return testsim::MakeModAtom(
      {"Fe1", 0.75, {0.13, 0.27, 0.41}, 0.012, {0.0079, 0.0055, 0.0040, 0.0008, -0.0005, 0.0003}},
      sh, 7);
}

using testsim::ExpectModDerivatives;
using testsim::ModG;
using testsim::WaveShape;

const std::vector<std::array<int, 4>> kRefl = {
    {1, 0, 0, 0},   {2, -1, 3, 0}, {1, 1, 1, 1},  {0, 2, -1, -1}, {3, 1, 2, 2},
    {-2, 0, 1, -2}, {1, 3, 0, 3},  {4, -2, 2, 1}, {0, 0, 2, -3},  {2, 2, 2, 0}};

// P2/m-like superspace group with a C centring: the 2-fold carries an internal
// shift 1/2 and the inversion is added by the centrosymmetric flag.
void SetTestGroup() {
  SetPhase({"x1 x2 x3 x4", "-x1 -x2 x3 x4+1/2"}, "C", true);
}

TEST(Calcm, UnmodulatedAtomEqualsPeriodicSum) {
  SetTestGroup();
  const AtomRec a = MakeAtom(WaveShape(2, 0, 0, 0));
  const PhaseSymmetry& ps = Struct.Basic.Phase[0].Symmetry;
  const double* v = a.Par.Val.data();
  for (const auto& h : kRefl) {
    // Direct sum over operators and centring of ai T exp(2 pi i h.(R x + t + c)).
    Cx ref = 0.;
    if (h[3] == 0)
      for (int i = 0; i < ps.NSymm; ++i)
        for (int c = 0; c < ps.NLattVec; ++c) {
          const SymmOp& op = ps.Op[i];
          double k[3] = {}, ph = 0.;
          for (int r = 0; r < 3; ++r) {
            double y = op.S6[r] + ps.VT6[c][r];
            for (int j = 0; j < 3; ++j) {
              k[j] += h[r] * op.RM[3 * r + j];
              y += op.RM[3 * r + j] * v[1 + j];
            }
            ph += h[r] * y;
          }
          const double ex = v[4] * k[0] * k[0] + v[5] * k[1] * k[1] + v[6] * k[2] * k[2] +
                            2. * (v[7] * k[0] * k[1] + v[8] * k[0] * k[2] + v[9] * k[1] * k[2]);
          ref += v[0] * std::exp(-ex) * std::polar(1., 2. * kPi * ph);
        }
    for (int method : {0, 1}) {
      const Cx g = ModG(a, method, h.data());
      EXPECT_NEAR(g.real(), ref.real(), 1e-9) << method << " " << h[0] << h[1] << h[2] << h[3];
      EXPECT_NEAR(g.imag(), ref.imag(), 1e-9) << method;
    }
  }
}

TEST(Calcm, BesselAndIntegrationAgree) {
  SetTestGroup();
  // Harmonic waves of every kind handled by both methods, anisotropic and
  // isotropic ADP, and a crenel under displacive waves (Bessel terms convolved
  // with the crenel's Fourier coefficients).
  const std::vector<AtomShape> shapes = {WaveShape(2, 0, 2, 0), WaveShape(2, 1, 2, 1),
                                         WaveShape(1, 2, 1, 2), WaveShape(2, 0, 2, 0, true),
                                         WaveShape(2, 1, 1, 0, true)};
  for (const auto& sh : shapes) {
    const AtomRec a = MakeAtom(sh);
    // Bessel terms below 1e-5 are dropped: weak satellites are compared on the
    // scale of the strongest reflection.
    const int zero[4] = {};
    const double scale = std::abs(ModG(a, 1, zero));
    for (const auto& h : kRefl) {
      const Cx g1 = ModG(a, 0, h.data()), g2 = ModG(a, 1, h.data());
      EXPECT_LE(std::abs(g1 - g2), 1e-4 * std::max(std::abs(g2), 0.05 * scale))
          << sh.NWave[0] << sh.NWave[1] << sh.NWave[2] << sh.Flag[0] << " h " << h[0] << h[1]
          << h[2] << h[3] << " " << g1 << " " << g2;
    }
  }
}

// "diff" sets the cut-off of the Bessel terms: a coarse one moves G away from
// the integrated value.
TEST(Calcm, BesselCutOffFollowsDiff) {
  SetTestGroup();
  const AtomRec a = MakeAtom(WaveShape(2, 0, 2, 0));
  const int h[4] = {3, 1, 2, 2};
  const Cx g2 = ModG(a, 1, h);
  ModAtomPrep m;
  ASSERT_EQ(CalcmPrepare(m, a, 0, 0), 0);
  Cx fine, coarse;
  ASSERT_EQ(Calcm1(m, a, h, fine, nullptr, nullptr, nullptr), 0);
  m.BesselDiff = 0.3;
  ASSERT_EQ(Calcm1(m, a, h, coarse, nullptr, nullptr, nullptr), 0);
  EXPECT_LT(std::abs(fine - g2), 1e-4 * std::abs(g2));
  EXPECT_GT(std::abs(coarse - g2), 1e-3 * std::abs(g2));
}

TEST(Calcm, CrenelOfWidthOneIsPlainOccupancy) {
  SetTestGroup();
  AtomRec plain = MakeAtom(WaveShape(2, 0, 2, 1));
  AtomRec cren = MakeAtom(WaveShape(2, 0, 2, 1, true));
  const AtomLayoutInfo l = AtomLayout(cren.Shape);
  cren.Par.Val[l.Off[BlkCrenel]] = 0.37;
  cren.Par.Val[l.Off[BlkCrenel] + 1] = 1.;
  // Same waves in both atoms.
  const AtomLayoutInfo lp = AtomLayout(plain.Shape);
  for (int b : {BlkPosWave, BlkAdpWave})
    for (int i = 0; i < l.Len[b]; ++i) cren.Par.Val[l.Off[b] + i] = plain.Par.Val[lp.Off[b] + i];
  const int zero[4] = {};
  const double scale = std::abs(ModG(plain, 1, zero));
  for (const auto& h : kRefl)
    for (int method : {0, 1}) {
      const Cx g1 = ModG(cren, method, h.data()), g2 = ModG(plain, method, h.data());
      EXPECT_LE(std::abs(g1 - g2), (method == 0 ? 1e-5 : 1e-8) * scale) << method << " " << h[3];
    }
}

TEST(Calcm, DerivativesMatchFiniteDifferences) {
  SetTestGroup();
  struct Case {
    const char* what;
    AtomShape shape;
    int method;
    int funType;
  };
  const std::vector<Case> cases = {
      {"harmonic, integration", WaveShape(2, 2, 2, 1), 1, 0},
      {"harmonic, Bessel", WaveShape(2, 2, 2, 1), 0, 0},
      {"isotropic, Bessel", WaveShape(1, 1, 1, 2), 0, 0},
      {"crenel, integration", WaveShape(2, 1, 2, 1, true), 1, 0},
      {"crenel, Bessel", WaveShape(2, 1, 2, 0, true), 0, 0},
      {"sawtooth", WaveShape(1, 0, 1, 0, false, true), 1, 0},
      {"static anharmonic, integration", WaveShape(4, 1, 1, 1), 1, 0},
      {"crenel, Legendre", WaveShape(2, 1, 2, 1, true), 1, FunLegendre},
      {"crenel, x-harmonics", WaveShape(2, 0, 2, 0, true), 1, FunXHarm},
  };
  const std::array<int, 4> hs[] = {{2, -1, 3, 1}, {1, 1, 2, -2}, {3, 1, 0, 0}};
  for (const Case& c : cases) {
    AtomRec a = MakeAtom(c.shape);
    a.FunType = c.funType;
    a.FunVal[0] = 0.3;
    a.FunVal[1] = 0.6;
    ModAtomPrep m;
    ASSERT_EQ(CalcmPrepare(m, a, 0, c.method), 0);
    const int np = m.Lay.NPar;
    if (c.method == 0) {
      // A truncated expansion has no accurate finite differences; its
      // derivatives are checked against those of the integration, which are.
      // Tolerance: 1e-4 relative, and the truncation (1e-5 of the strongest
      // contribution) times the largest factor 2 pi |k| of a derivative.
      ModAtomPrep m1;
      ASSERT_EQ(CalcmPrepare(m1, a, 0, 1), 0);
      const int zero[4] = {};
      Cx g, gmax;
      ASSERT_EQ(Calcm2(m1, a, zero, gmax, nullptr, nullptr, nullptr), 0);
      for (const auto& h : hs) {
        std::vector<double> dr(np), di(np), r1(np), i1(np);
        ASSERT_EQ(Calcm1(m, a, h.data(), g, dr.data(), di.data(), nullptr), 0);
        ASSERT_EQ(Calcm2(m1, a, h.data(), g, r1.data(), i1.data(), nullptr), 0);
        for (int i = 0; i < np; ++i) {
          const double tol = 1e-4 * std::max(std::abs(r1[i]), std::abs(i1[i])) +
                             1e-5 * 2. * kPi * 4. * std::abs(gmax);
          EXPECT_NEAR(dr[i], r1[i], tol) << c.what << " par " << i << " h " << h[3];
          EXPECT_NEAR(di[i], i1[i], tol) << c.what << " par " << i << " h " << h[3];
        }
      }
      continue;
    }
    ExpectModDerivatives(m, a, std::vector<std::array<int, 4>>(std::begin(hs), std::end(hs)),
                         c.what);
  }
}

TEST(Calcm, EquivalentSatellitesHaveEqualModulus) {
  SetTestGroup();
  const AtomRec a = MakeAtom(WaveShape(2, 1, 2, 1));
  for (const auto& h : kRefl) {
    if ((h[0] + h[1]) % 2 != 0) continue;  // C centring
    const std::array<int, 4> eq[] = {
        {-h[0], -h[1], h[2], h[3]}, {-h[0], -h[1], -h[2], -h[3]}, {h[0], h[1], -h[2], -h[3]}};
    for (int method : {0, 1}) {
      const double f0 = std::abs(ModG(a, method, h.data()));
      for (const auto& e : eq)
        EXPECT_NEAR(std::abs(ModG(a, method, e.data())), f0, 1e-8 + 1e-6 * f0);
    }
  }
  // C centring extinguishes h + k odd.
  const int odd[4] = {1, 0, 2, 1};
  EXPECT_NEAR(std::abs(ModG(a, 1, odd)), 0., 1e-12);
}

TEST(Calcm, CompositePartUsesItsIndicesAndMetric) {
  // Part 2 exchanges the third axis and the internal one: its c* is q of the
  // phase and its own modulation vector is c*.
  SetPhase({"x1 x2 x3 x4"}, "P", false);
  PhaseBasic& ph = Struct.Basic.Phase[0];
  ph.Qi = {{0., 0., 0.37}};
  ph.NComp = 2;
  ph.WMatrix = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
                {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0}};
  AtomRec a = MakeAtom(WaveShape(1, 0, 0, 0));
  a.Part = 2;
  const double* v = a.Par.Val.data();
  const int h[4] = {1, 2, 0, 3};  // (1 2 3 0) in the part: a main reflection of part 2
  for (int method : {0, 1}) {
    const Cx g = ModG(a, method, h);
    // |k|^2 of a* + 2 b* + 3 q, q = 0.37 c*.
    const double k2 = 1. / 25. + 4. / 36. + std::pow(3. * 0.37 / 7., 2);
    const Cx ref = v[0] * std::exp(-2. * kPi * kPi * v[4] * k2) *
                   std::polar(1., 2. * kPi * (v[1] + 2. * v[2] + 3. * v[3]));
    EXPECT_NEAR(g.real(), ref.real(), 1e-10);
    EXPECT_NEAR(g.imag(), ref.imag(), 1e-10);
  }
  const int sat[4] = {1, 2, 1, 3};  // satellite of part 2: no contribution without waves
  EXPECT_NEAR(std::abs(ModG(a, 1, sat)), 0., 1e-9);
}

TEST(Calcm, NegativeAdpAndAnharmonicBesselAreReported) {
  SetTestGroup();
  AtomRec a = MakeAtom(WaveShape(2, 0, 1, 0));
  for (int c = 0; c < 3; ++c) a.Par.Val[AtomLayout(a.Shape).Off[BlkAdp] + c] = -5.;
  ModAtomPrep m;
  ASSERT_EQ(CalcmPrepare(m, a, 0, 1), 0);
  const int h[4] = {3, 1, 4, 1};
  Cx g;
  std::string msg;
  EXPECT_EQ(Calcm2(m, a, h, g, nullptr, nullptr, &msg), 1);
  EXPECT_EQ(msg, "ADP of the atom \"Fe1\" strongly negative");
  // Modulated anharmonic tensors are refused by the Bessel method only.
  AtomShape sh = WaveShape(3, 0, 1, 0);
  sh.NWave[3] = 1;
  EXPECT_EQ(CalcmPrepare(m, MakeAtom(sh), 0, 0), 1);
  EXPECT_EQ(CalcmPrepare(m, MakeAtom(sh), 0, 1), 0);
  EXPECT_EQ(CalcmPrepare(m, MakeAtom(WaveShape(3, 0, 1, 0)), 0, 0), 0);
}

// A third-order tensor with one wave (and a position wave) integrated over x4
// against the direct sum of ai exp(2 pi i (h.x + m x4 + k.u)) T P(x4) on a
// fine grid, P the Gram-Charlier factor of the full tensor C(x4) (stored
// x 10^3); its derivatives against central differences.
TEST(Calcm, ModulatedAnharmonicTensorByIntegration) {
  SetPhase({"x1 x2 x3 x4"}, "P", false);
  AtomShape sh = WaveShape(3, 0, 1, 0);
  sh.NWave[3] = 1;
  AtomRec a = MakeAtom(sh);
  const AtomLayoutInfo l = AtomLayout(sh);
  for (int i = 0; i < l.Len[BlkAnh3Wave]; ++i)
    a.Par.Val[static_cast<size_t>(l.Off[BlkAnh3Wave] + i)] = 0.15 * std::cos(0.7 * i + 1.);
  const double* v = a.Par.Val.data();
  const auto tup = TensorIndexTuples(3);
  const int nc = static_cast<int>(tup.size()), pw = l.Off[BlkPosWave];
  constexpr int kN = 4000;
  for (const auto& h : kRefl) {
    const double k[3] = {h[0] + 0.1 * h[3], static_cast<double>(h[1]), h[2] + 0.37 * h[3]};
    const double ex = v[4] * k[0] * k[0] + v[5] * k[1] * k[1] + v[6] * k[2] * k[2] +
                      2. * (v[7] * k[0] * k[1] + v[8] * k[0] * k[2] + v[9] * k[1] * k[2]);
    Cx ref = 0.;
    for (int p = 0; p < kN; ++p) {
      const double x4 = (p + 0.5) / kN, sn = std::sin(2. * kPi * x4), cs = std::cos(2. * kPi * x4);
      double ph = h[3] * x4, ckkk = 0.;
      for (int j = 0; j < 3; ++j) ph += h[j] * v[1 + j] + k[j] * (v[pw + j] * sn + v[pw + 3 + j] * cs);
      for (int i = 0; i < 27; ++i) {  // all index triples of the full tensor
        std::vector<int> t = {i / 9, (i / 3) % 3, i % 3};
        std::sort(t.begin(), t.end());
        const int c = static_cast<int>(std::find(tup.begin(), tup.end(), t) - tup.begin());
        ckkk += (v[l.Off[BlkAnh3] + c] + v[l.Off[BlkAnh3Wave] + c] * sn +
                 v[l.Off[BlkAnh3Wave] + nc + c] * cs) *
                k[i / 9] * k[(i / 3) % 3] * k[i % 3];
      }
      const Cx pf = 1. + std::pow(Cx(0., 2. * kPi), 3) / 6. * ckkk * 1e-3;
      ref += v[0] * std::exp(-ex) * std::polar(1., 2. * kPi * ph) * pf / double(kN);
    }
    const Cx g = ModG(a, 1, h.data());
    EXPECT_LT(std::abs(g - ref), 1e-6 + 1e-6 * std::abs(ref)) << h[0] << h[1] << h[2] << h[3];
  }
  ModAtomPrep m;
  ASSERT_EQ(CalcmPrepare(m, a, 0, 1), 0);
  ExpectModDerivatives(m, a, std::vector<std::array<int, 4>>{{2, -1, 3, 1}, {1, 1, 2, -2}},
                       "modulated anharmonic");
}

}  // namespace
}  // namespace tarn
