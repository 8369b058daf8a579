// Modulated atoms of (3+2)-dimensional phases with waves along q1, q2 and
// q1 + q2 (the phase's "wave" option): satellites against Bessel values, the
// Bessel expansion against the integration over the internal torus,
// derivatives, refusal of undefined wave vectors, and site constraints that
// leave the atom invariant under an operator exchanging q1 and q2.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "model/basic.hpp"
#include "model/structure.hpp"
#include "refine/calc_mod.hpp"
#include "support/refine_sim.hpp"
#include "symmetry/site.hpp"

namespace tarn {
namespace {

constexpr double kPi = std::numbers::pi;
using Cx = std::complex<double>;
using H5 = std::array<int, 5>;

const char* const kIdent = "x1 x2 x3 x4 x5";
const char* const kSwap = "x2 x1 x3 x5 x4";  // exchanges a and b, q1 and q2

// Tetragonal-like cell 5 x 5 x 7 A, q1 = (0.21, 0, 0.1), q2 = (0.21, 0, 0.1) turned by the
// exchange of a and b; `waves` the words of the "wave" option (none: no record).
void SetPhase5(const std::vector<std::string>& ops, bool centro,
               const std::vector<std::string>& waves) {
  testsim::SetModPhase(
      {{5, 5, 7}, {{0.21, 0., 0.1}, {0., 0.21, 0.1}}, "Ba", ops, "P", centro, waves});
}

const std::vector<std::string> kWaves3 = {"1", "0", "0", "1", "1", "1"};  // (1,0) (0,1) (1,1)

using testsim::ExpectModDerivatives;
using testsim::ModG;
using testsim::WaveShape;

// Atom at (0.13, 0.13, 0.41) with reproducible small waves.
AtomRec MakeAtom(const AtomShape& sh, unsigned seed = 5) {
  return testsim::MakeModAtom(
      {"Ba1", 0.5, {0.13, 0.13, 0.41}, 0.011, {0.0079, 0.0079, 0.0040, 0.0008, -0.0005, -0.0005}},
      sh, seed);
}

const std::vector<H5> kRefl = {
    {1, 0, 0, 0, 0},   {2, -1, 3, 0, 1}, {1, 1, 1, 1, 1},    {0, 2, -1, -1, 0}, {3, 1, 2, 1, -1},
    {-2, 0, 1, 0, -2}, {1, 3, 0, 2, 1},  {4, -2, 2, -1, -1}, {0, 0, 2, 0, 3},   {2, 2, 2, 2, 2}};

TEST(CalcmWaves, SatelliteOfOneWaveIsABesselValue) {
  // One displacive sine wave u = S sin(2 pi k.x4): the satellite m = -n k
  // (n integer) is ai T(k') exp(2 pi i h.x) J_n(2 pi k'.S), k' = h + m.q, and
  // every other satellite is zero.
  struct Case {
    std::vector<std::string> Words;
    std::array<int, 2> K;
  };
  const Case cases[] = {{{"0", "1"}, {0, 1}}, {{"1", "1"}, {1, 1}}, {{"2", "-1"}, {2, -1}}};
  const double s[3] = {0.02, -0.035, 0.015};
  for (const Case& c : cases) {
    SetPhase5({kIdent}, false, c.Words);
    AtomRec a = MakeAtom(WaveShape(1, 0, 1, 0));
    const AtomLayoutInfo l = AtomLayout(a.Shape);
    for (int j = 0; j < 3; ++j) {
      a.Par.Val[l.Off[BlkPosWave] + j] = s[j];
      a.Par.Val[l.Off[BlkPosWave] + 3 + j] = 0.;
    }
    const double* v = a.Par.Val.data();
    const auto& q = Struct.Basic.Phase[0].Qi;
    for (int n = -2; n <= 2; ++n)
      for (int off : {0, 1}) {  // off = 1: m is not a multiple of k
        const int h[5] = {1, -2, 3, -n * c.K[0] + off, -n * c.K[1]};
        double k[3];
        for (int j = 0; j < 3; ++j) k[j] = h[j] + h[3] * q[0][j] + h[4] * q[1][j];
        const double k2 = (k[0] * k[0] + k[1] * k[1]) / 25. + k[2] * k[2] / 49.;
        const double alpha = 2. * kPi * (k[0] * s[0] + k[1] * s[1] + k[2] * s[2]);
        const double jn = (n < 0 && n % 2 != 0 ? -1. : 1.) * std::cyl_bessel_j(std::abs(n), alpha);
        const Cx ref =
            off ? Cx(0.)
                : v[0] * std::exp(-2. * kPi * kPi * v[4] * k2) * jn *
                      std::polar(1., 2. * kPi * (h[0] * v[1] + h[1] * v[2] + h[2] * v[3]));
        for (int method : {0, 1}) {
          const Cx g = ModG(a, method, h);
          EXPECT_NEAR(g.real(), ref.real(), 1e-7)
              << method << " k " << c.K[0] << c.K[1] << " n " << n;
          EXPECT_NEAR(g.imag(), ref.imag(), 1e-7)
              << method << " k " << c.K[0] << c.K[1] << " n " << n;
        }
      }
  }
}

TEST(CalcmWaves, BesselAgreesWithIntegrationAndDerivativesWithDifferences) {
  SetPhase5({kIdent, kSwap}, true, kWaves3);
  const std::vector<AtomShape> shapes = {WaveShape(2, 1, 3, 2), WaveShape(1, 3, 2, 1)};
  const H5 hs[] = {{2, -1, 3, 1, 1}, {1, 1, 2, -1, 0}, {0, 2, 1, 0, -1}};
  for (const auto& sh : shapes) {
    SCOPED_TRACE(sh.AdpOrder);
    const AtomRec a = MakeAtom(sh);
    const int zero[5] = {};
    const double scale = std::abs(ModG(a, 1, zero));
    for (const auto& h : kRefl) {
      const Cx g1 = ModG(a, 0, h.data()), g2 = ModG(a, 1, h.data());
      EXPECT_LE(std::abs(g1 - g2), 1e-4 * std::max(std::abs(g2), 0.05 * scale))
          << h[0] << h[1] << h[2] << h[3] << h[4] << " " << g1 << " " << g2;
    }
    const int np = AtomLayout(sh).NPar;
    ModAtomPrep m;
    ASSERT_EQ(CalcmPrepare(m, a, 0, 1), 0);
    ExpectModDerivatives(m, a, std::vector<H5>(std::begin(hs), std::end(hs)), "");
    // Bessel derivatives: truncation 1e-5 of the strongest term times 2 pi |k|.
    for (const auto& h : hs) {
      std::vector<double> dr(np), di(np), br(np), bi(np);
      (void)ModG(a, 1, h.data(), dr.data(), di.data());
      (void)ModG(a, 0, h.data(), br.data(), bi.data());
      for (int i = 0; i < np; ++i) {
        const double tb = 1e-4 * std::hypot(dr[i], di[i]) + 1e-5 * 2. * kPi * 4. * scale;
        EXPECT_NEAR(br[i], dr[i], tb) << "Bessel par " << i;
        EXPECT_NEAR(bi[i], di[i], tb) << "Bessel par " << i;
      }
    }
  }
}

TEST(CalcmWaves, UndefinedOrMalformedWaveVectorsAreRefused) {
  ModAtomPrep m;
  // d = 2 without the option: harmonic waves refused, an unmodulated atom taken.
  SetPhase5({kIdent}, false, {});
  EXPECT_EQ(CalcmPrepare(m, MakeAtom(WaveShape(2, 0, 1, 0)), 0, 1), 1);
  EXPECT_EQ(CalcmPrepare(m, MakeAtom(WaveShape(2, 0, 0, 0)), 0, 1), 0);
  // Fewer vectors than waves.
  SetPhase5({kIdent}, false, {"1", "0"});
  EXPECT_EQ(CalcmPrepare(m, MakeAtom(WaveShape(2, 0, 2, 0)), 0, 0), 1);
  EXPECT_EQ(CalcmPrepare(m, MakeAtom(WaveShape(2, 0, 1, 0)), 0, 0), 0);
  // A crenel needs its waves along q1.
  SetPhase5({kIdent}, false, {"0", "1"});
  AtomShape cren = WaveShape(2, 0, 1, 0);
  cren.Flag[0] = 1;
  AtomRec ac = MakeAtom(cren);
  ac.Par.Val[AtomLayout(cren).Off[BlkCrenel] + 1] = 0.5;
  EXPECT_EQ(CalcmPrepare(m, ac, 0, 1), 1);

  struct Parse {
    std::vector<std::string> Words;
    int D, Rc;
    size_t N;
  };
  const Parse parses[] = {
      {{"1", "0", "0", "1", "1", "1"}, 2, 0, 3},
      {{"1", "0", "1"}, 2, 1, 0},       // not a whole number of vectors
      {{"1", "0", "0", "0"}, 2, 1, 0},  // zero vector
      {{"1", "x"}, 2, 1, 0},            // not an integer
      {{"1", "0", "-1", "0", "1", "1"}, 3, 0, 2},
  };
  for (const Parse& p : parses) {
    PhaseModel ph;
    ph.Opt = {M40Option{2, p.Words}};
    ModWaves w;
    std::string msg;
    EXPECT_EQ(ModWavesOfPhase(ph, p.D, w, &msg), p.Rc) << p.Words.size();
    EXPECT_EQ(w.size(), p.N);
    EXPECT_EQ(msg.empty(), p.Rc == 0);
  }
  // Without the record the first-vector harmonics cover d = 1 only.
  EXPECT_TRUE(ModWavesCover(nullptr, 3, 1));
  EXPECT_FALSE(ModWavesCover(nullptr, 3, 2));
  EXPECT_EQ(ModWaveVector(2, 1), (std::array<int, 3>{3, 0, 0}));
}

TEST(CalcmWaves, SiteConstrainedAtomIsItsOwnImage) {
  // The atom on the diagonal mirror (x, x, z) of the exchange q1 <-> q2: with
  // the site constraints applied to random amplitudes both operators give the
  // same copy, so the structure factor of the two-operator group is twice
  // that of the identity alone; without the constraints it is not.
  SetPhase5({kIdent, kSwap}, false, kWaves3);
  const AtomShape sh = WaveShape(2, 3, 3, 3);
  SiteContext ctx;
  ctx.Symm = &Struct.Basic.Phase[0].Symmetry;
  ctx.Metric = {25, 0, 0, 0, 25, 0, 0, 0, 49};
  ModWaves kw;
  ASSERT_EQ(ModWavesOfPhase(Struct.Model.Phase[0], 2, kw, nullptr), 0);
  ctx.Kw = kw;
  SiteAtom s;
  s.Name = "Ba1";
  s.X = {0.13, 0.13, 0.41};
  s.AdpOrder = 2;
  for (int k = 0; k < 3; ++k) s.NWave[static_cast<size_t>(k)] = sh.NWave[static_cast<size_t>(k)];
  SpecEquations eqs;
  ASSERT_EQ(AtSpec({s}, ctx, eqs), 0);
  ASSERT_GT(eqs.NEq, 0);

  const AtomRec free = MakeAtom(sh, 17);
  AtomRec a = free;
  const AtomLayoutInfo l = AtomLayout(sh);
  const std::pair<int, int> blocks[] = {{SpPos, BlkPos},
                                        {SpAdp, BlkAdp},
                                        {SpOccWave, BlkOccWave},
                                        {SpPosWave, BlkPosWave},
                                        {SpAdpWave, BlkAdpWave}};
  for (int e = 0; e < eqs.NEq; ++e) {
    const SpecEquation& q = eqs.Eq[static_cast<size_t>(e)];
    int off = -1;
    for (const auto& [kind, blk] : blocks)
      if (kind == q.Kind) off = l.Off[blk];
    ASSERT_GE(off, 0) << q.Text();
    double v = q.Const;
    for (size_t i = 0; i < q.Coef.size(); ++i) v += q.Coef[i] * a.Par.Val[off + q.Ind[i]];
    a.Par.Val[off + q.Dep] = v;
  }
  std::vector<Cx> full, freeFull;
  for (const auto& h : kRefl) {
    full.push_back(ModG(a, 1, h.data()));
    freeFull.push_back(ModG(free, 1, h.data()));
  }
  SetPhase5({kIdent}, false, kWaves3);
  double freeDiff = 0.;
  for (size_t r = 0; r < kRefl.size(); ++r) {
    const Cx g1 = ModG(a, 1, kRefl[r].data());
    EXPECT_LE(std::abs(full[r] - 2. * g1), 1e-9) << r;
    freeDiff = std::max(freeDiff, std::abs(freeFull[r] - 2. * ModG(free, 1, kRefl[r].data())));
  }
  EXPECT_GT(freeDiff, 1e-3);
}

}  // namespace
}  // namespace tarn
