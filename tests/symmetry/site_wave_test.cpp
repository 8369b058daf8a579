// Site-symmetry constraints of modulation waves: harmonic waves over several
// modulation vectors, crenel and sawtooth centres and amplitudes, and waves
// over orthogonal function sets, checked by evaluating the functions at
// points of the internal coordinates.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <numbers>
#include <random>

#include "support/small_structures.hpp"
#include "symm_test_util.hpp"
#include "symmetry/site.hpp"

namespace tarn {
namespace {

using test::Constrained;

using test::MakePhase;

struct SiteRun {
  PhaseSymmetry Ps;
  SpecEquations Eqs;
};

// Site equations of one atom at z = 0 under the identity and one operator.
SiteRun RunSite(const char* op, const SiteAtom& at) {
  SiteRun r;
  r.Ps = MakePhase(4, {op});
  SiteContext ctx;
  ctx.Symm = &r.Ps;
  ctx.Metric = {25, 0, 0, 0, 25, 0, 0, 0, 25};
  EXPECT_EQ(AtSpec({at}, ctx, r.Eqs), 0);
  return r;
}

const SpecEquation* Find(const SpecEquations& eqs, int kind, int dep) {
  for (int e = 0; e < eqs.NEq; ++e)
    if (eqs.Eq[static_cast<size_t>(e)].Kind == kind && eqs.Eq[static_cast<size_t>(e)].Dep == dep)
      return &eqs.Eq[static_cast<size_t>(e)];
  return nullptr;
}

// x4 on the period that holds the interval of centre c.
double Wrap(double x4, double c) {
  return x4 - std::round(x4 - c);
}

// The mirror z -> -z with four internal actions (the operator's x4 part).
struct MirrorCase {
  const char* Op;
  int Eps;
  double Delta;
};
const MirrorCase kMirrors[] = {
    {"x1 x2 -x3 -x4", -1, 0.},
    {"x1 x2 -x3 -x4+1/2", -1, 0.5},
    {"x1 x2 -x3 x4", 1, 0.},
    {"x1 x2 -x3 x4+1/2", 1, 0.5},
};

TEST(SiteSpecialFunctions, CrenelAndSawtoothCentresAndAmplitudes) {
  const double x40 = 0.29, width = 0.4;
  for (const MirrorCase& m : kMirrors) {
    SCOPED_TRACE(m.Op);
    SiteAtom at;
    at.Name = "Sr1";
    at.X = {0.1, 0.2, 0.};
    at.Crenel = true;
    at.CrenelX40 = x40;
    at.Saw = true;
    at.SawX40 = x40;
    const SiteRun r = RunSite(m.Op, at);
    const SpecEquation* cx = Find(r.Eqs, SpCrenel, 0);
    const SpecEquation* sx = Find(r.Eqs, SpSaw, 3);
    if (m.Eps > 0) {
      // x4 -> x4 (+1/2) leaves the centre free.
      EXPECT_EQ(cx, nullptr);
      EXPECT_EQ(sx, nullptr);
    } else {
      // 2 x40 = delta (mod 1), the solution nearest to 0.29: 0.5 or 0.25.
      ASSERT_NE(cx, nullptr);
      ASSERT_NE(sx, nullptr);
      EXPECT_TRUE(cx->Coef.empty());
      EXPECT_DOUBLE_EQ(cx->Const, m.Delta == 0. ? 0.5 : 0.25);
      EXPECT_EQ(cx->Text(), m.Delta == 0. ? "x40[Sr1]=0.5" : "x40[Sr1]=0.25");
      EXPECT_DOUBLE_EQ(sx->Const, cx->Const);
    }
    // The sawtooth u(x4) = 2 U (x4 - x40)/width inside the interval must obey
    // R u(x4) = u(eps x4 + delta) wherever both sides are defined.
    std::mt19937 rng(4);
    const std::vector<double> saw = Constrained(r.Eqs, SpSaw, {0.05, -0.03, 0.04, x40, width}, rng);
    if (m.Eps > 0 && m.Delta != 0.) {
      EXPECT_EQ(Find(r.Eqs, SpSaw, 2), nullptr);  // no constraint at all
      continue;
    }
    const Eigen::Vector3d u(saw[0], saw[1], saw[2]);
    EXPECT_GT(u.norm(), 1e-3);
    const double c = saw[3];
    for (double t : {-0.9, -0.3, 0.2, 0.7}) {
      const double x4 = c + 0.5 * width * t;
      const double y = Wrap(m.Eps * x4 + m.Delta, c);
      const Eigen::Vector3d lhs = Eigen::Vector3d(1, 1, -1).cwiseProduct(u) * 2. * (x4 - c) / width;
      const Eigen::Vector3d rhs = u * 2. * (y - c) / width;
      EXPECT_LT((lhs - rhs).cwiseAbs().maxCoeff(), 1e-12) << t;
    }
  }
}

// ------------------------------------------------------------ orthogonal sets
TEST(SiteSpecialFunctions, OrthogonalSetImages) {
  // Legendre and x-harmonics have parity (-1)^j under t -> -t; harmonics of
  // the full period orthogonalised on an interval about 0 have the parities of
  // sine and cosine, about 1/4 (x4 -> 1/2 - x4) the opposite ones.
  struct Case {
    int Type;
    double C;
    int Eps;
    double Delta;
    std::vector<double> Diag;  // expected diagonal image matrix
  };
  const Case cases[] = {
      {2, 0.3, 1, 0., {1, 1, 1, 1, 1, 1}},       {2, 0.3, -1, 0.6, {-1, 1, -1, 1, -1, 1}},
      {3, 0.5, -1, 1., {-1, 1, -1, 1, -1, 1}},   {1, 0., -1, 0., {-1, 1, -1, 1, -1, 1}},
      {1, 0.25, -1, 0.5, {1, -1, -1, 1, 1, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Type * 10 + c.Eps);
    std::vector<double> a;
    ASSERT_EQ(OrthoSetImage(c.Type, 6, c.C, 0.6, c.Eps, c.Delta, a), 0);
    for (int j = 0; j < 6; ++j)
      for (int i = 0; i < 6; ++i)
        EXPECT_NEAR(a[static_cast<size_t>(j * 6 + i)], i == j ? c.Diag[static_cast<size_t>(i)] : 0.,
                    1e-10)
            << j << " " << i;
  }
  // A general centre mixes the harmonics; the image stays an orthogonal
  // involution of the span.
  std::vector<double> a;
  ASSERT_EQ(OrthoSetImage(1, 6, 0.1, 0.5, -1, 0.2, a), 0);
  const Eigen::Map<const Eigen::Matrix<double, 6, 6, Eigen::RowMajor>> m(a.data());
  EXPECT_LT((m * m.transpose() - Eigen::MatrixXd::Identity(6, 6)).cwiseAbs().maxCoeff(), 1e-10);
  EXPECT_LT((m * m - Eigen::MatrixXd::Identity(6, 6)).cwiseAbs().maxCoeff(), 1e-10);
  EXPECT_GT(std::fabs(m(0, 1)) + std::fabs(m(0, 2)), 0.1);
  // An interval that is not carried onto itself.
  EXPECT_EQ(OrthoSetImage(2, 4, 0.3, 0.6, -1, 0.2, a), 1);
  EXPECT_EQ(OrthoSetImage(2, 4, 0.3, 0.6, 1, 0.5, a), 1);
}

// Legendre polynomial P_j(t).
double Legendre(int j, double t) {
  double p0 = 1., p1 = t;
  if (j == 0) return 1.;
  for (int k = 2; k <= j; ++k) {
    const double p2 = ((2. * k - 1.) * t * p1 - (k - 1.) * p0) / k;
    p0 = p1;
    p1 = p2;
  }
  return p1;
}

TEST(SiteSpecialFunctions, LegendreWavesInvariantUnderTheMirror) {
  const int nw = 3;
  const double width = 0.45;
  for (const MirrorCase& m : kMirrors) {
    if (m.Eps > 0 && m.Delta != 0.) continue;  // no interval is invariant
    SCOPED_TRACE(m.Op);
    SiteAtom at;
    at.Name = "Sr1";
    at.X = {0.1, 0.2, 0.};
    at.NWave[SpPos] = nw;
    at.NWave[SpOcc] = nw;
    at.FunType = 2;
    at.FunX40 = 0.27;
    at.FunDelta = width;
    const SiteRun r = RunSite(m.Op, at);
    const double c = m.Eps < 0 ? SiteIntervalCentre(at.FunX40, m.Delta) : at.FunX40;
    // Per wave: x4 reversed fixes three amplitudes (x, y of one function, z of
    // the other), x4 kept fixes z of both.
    int fixedPos = 0;
    for (int e = 0; e < r.Eqs.NEq; ++e)
      fixedPos += r.Eqs.Eq[static_cast<size_t>(e)].Kind == SpPosWave;
    EXPECT_EQ(fixedPos, (m.Eps < 0 ? 3 : 2) * nw);
    std::mt19937 rng(8);
    const auto pos = Constrained(r.Eqs, SpPosWave, std::vector<double>(6 * nw, 0.), rng);
    const auto occ = Constrained(r.Eqs, SpOccWave, std::vector<double>(2 * nw, 0.), rng);
    // u(x4) = sum_j a_j P_j(t), function j = 2w + 1 (sine) or 2w + 2 (cosine).
    auto eval = [&](const std::vector<double>& p, int n, double x4) {
      const double t = 2. * (Wrap(x4, c) - c) / width;
      Eigen::VectorXd v = Eigen::VectorXd::Zero(n);
      for (int j = 0; j < 2 * nw; ++j)
        for (int k = 0; k < n; ++k) v[k] += p[static_cast<size_t>(j * n + k)] * Legendre(j + 1, t);
      return v;
    };
    for (double t : {-0.8, -0.1, 0.35, 0.9}) {
      const double x4 = c + 0.5 * width * t, y = m.Eps * x4 + m.Delta;
      const Eigen::Vector3d lhs =
          Eigen::Vector3d(1, 1, -1).cwiseProduct(Eigen::Vector3d(eval(pos, 3, x4)));
      EXPECT_LT((lhs - eval(pos, 3, y)).cwiseAbs().maxCoeff(), 1e-10) << t;
      EXPECT_NEAR(eval(occ, 1, x4)[0], eval(occ, 1, y)[0], 1e-10) << t;
    }
    EXPECT_GT(Eigen::Map<const Eigen::VectorXd>(pos.data(), 6 * nw).norm(), 0.05);
  }
}

// ------------------------------------------------------------ several vectors
// p(xb4) = sum_w s_w sin(2 pi k_w.xb4) + c_w cos(2 pi k_w.xb4), n components.
Eigen::VectorXd HarmWave(const std::vector<double>& p, int n,
                         const std::vector<std::array<int, 3>>& kw, const Eigen::VectorXd& x4) {
  Eigen::VectorXd v = Eigen::VectorXd::Zero(n);
  for (size_t w = 0; w < kw.size(); ++w) {
    double arg = 0.;
    for (int i = 0; i < x4.size(); ++i) arg += kw[w][static_cast<size_t>(i)] * x4[i];
    const double sn = std::sin(2. * std::numbers::pi * arg),
                 cs = std::cos(2. * std::numbers::pi * arg);
    for (int k = 0; k < n; ++k)
      v[k] += p[2 * n * w + static_cast<size_t>(k)] * sn +
              p[2 * n * w + static_cast<size_t>(n + k)] * cs;
  }
  return v;
}

TEST(SiteSpecialFunctions, HarmonicWavesOfSeveralVectorsUnderExchangingOperators) {
  // (3+2) site groups with a diagonal mirror exchanging q1 and q2. First: a
  // mirror z -> -z whose coupling row x4 + x3 becomes an internal shift of
  // 1/2 for an atom at z = 1/2. Second: a two-fold axis reversing both
  // internal coordinates with the shift (1/4, 1/4), which turns sine into
  // cosine amplitudes of wave (1,0). Waves (1,0), (0,1), (1,1) and (1,-1)
  // form a closed set. Third, (3+3): a three-fold axis permuting q1, q2, q3
  // and an inversion with the shift (1/4, 1/4, 1/4).
  struct Case {
    int NDim;
    std::vector<std::string> Gen;
    std::array<double, 3> X;
    size_t Order;
    std::vector<std::array<int, 3>> Kw;
  };
  const std::vector<std::array<int, 3>> kw2 = {{1, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, -1, 0}};
  const std::vector<std::array<int, 3>> kw3 = {{1, 0, 0},  {0, 1, 0},  {0, 0, 1},
                                               {1, -1, 0}, {0, 1, -1}, {-1, 0, 1}};
  const Case cases[] = {
      {5, {"x2 x1 x3 x5 x4", "x1 x2 -x3 x4+x3 -x5"}, {0.1, 0.1, 0.5}, 8, kw2},
      {5, {"x2 x1 x3 x5 x4", "-x1 -x2 x3 -x4+1/4 -x5+1/4"}, {0., 0., 0.3}, 4, kw2},
      {6, {"x2 x3 x1 x5 x6 x4", "-x1 -x2 -x3 -x4+1/4 -x5+1/4 -x6+1/4"}, {0., 0., 0.}, 6, kw3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Gen[1]);
    const int nw = static_cast<int>(c.Kw.size()), d = c.NDim - 3;
    PhaseSymmetry ps = MakePhase(c.NDim, c.Gen);
    ASSERT_EQ(CompleteSymm(ps), 0);
    const std::array<double, 3> x = c.X;
    const auto siteOps = test::IntSiteOps(ps, x);
    ASSERT_EQ(siteOps.size(), c.Order);
    SiteContext ctx;
    ctx.Symm = &ps;
    ctx.Metric = {25, 0, 0, 0, 25, 0, 0, 0, 49};
    ctx.Kw = c.Kw;
    SiteAtom at;
    at.Name = "Ba1";
    at.X = x;
    at.NWave[SpOcc] = nw;
    at.NWave[SpPos] = nw;
    SpecEquations eqs;
    ASSERT_EQ(AtSpec({at}, ctx, eqs), 0);

    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u01(0., 1.);
    struct Blk {
      int Kind, N;
    };
    for (const Blk b : {Blk{SpOccWave, 1}, Blk{SpPosWave, 3}}) {
      SCOPED_TRACE(b.Kind);
      const int np = 2 * b.N * nw;
      // Invariance S p(xb4) = p(eps.xb4 + delta) of a random constrained set.
      const auto p =
          Constrained(eqs, b.Kind, std::vector<double>(static_cast<size_t>(np), 0.), rng);
      // The same condition as a linear system over the amplitudes at sample
      // points: its null space is the invariant subspace, whose dimension must
      // equal the number of parameters the equations leave free.
      Eigen::MatrixXd a(0, np);
      for (const test::IntSiteOp& g : siteOps) {
        const Eigen::MatrixXd s = b.N == 1 ? Eigen::MatrixXd::Identity(1, 1) : Eigen::MatrixXd(g.R);
        for (int t = 0; t < 8; ++t) {
          Eigen::VectorXd x4(d);
          for (int i = 0; i < d; ++i) x4[i] = u01(rng);
          const Eigen::VectorXd y4 = g.Eps * x4 + g.Delta;
          const Eigen::VectorXd diff =
              s * HarmWave(p, b.N, ctx.Kw, x4) - HarmWave(p, b.N, ctx.Kw, y4);
          EXPECT_LT(diff.cwiseAbs().maxCoeff(), 1e-10);
          a.conservativeResize(a.rows() + b.N, Eigen::NoChange);
          for (int j = 0; j < np; ++j) {
            std::vector<double> e(static_cast<size_t>(np), 0.);
            e[static_cast<size_t>(j)] = 1.;
            a.block(a.rows() - b.N, j, b.N, 1) =
                s * HarmWave(e, b.N, ctx.Kw, x4) - HarmWave(e, b.N, ctx.Kw, y4);
          }
        }
      }
      const int neq = test::NumEq(eqs, b.Kind);
      Eigen::FullPivLU<Eigen::MatrixXd> lu(a);
      lu.setThreshold(1e-8);
      EXPECT_EQ(np - neq, np - static_cast<int>(lu.rank()));
      EXPECT_GT(np - neq, 0);
    }
  }
}

}  // namespace
}  // namespace tarn
