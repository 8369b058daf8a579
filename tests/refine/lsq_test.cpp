// Least-squares engine: the blocked accumulation against one observation at a
// time, shifts and s.u. against a dense solution of the same equations,
// singularities with their messages, damped shifts through equations,
// square-root scales, convergence and dynamical damping.
#include "refine/lsq.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <random>

#include "model/atoms.hpp"
#include "model/structure.hpp"

namespace tarn {
namespace {

// n refined parameters labelled p1 .. pn, no constraints.
RefParams PlainParams(int n) {
  RefParams p;
  for (int i = 0; i < n; ++i) {
    RefParInfo in;
    in.Name = in.Label = "p" + std::to_string(i + 1);
    p.Info.push_back(in);
    p.Val.push_back(0.);
    p.Sig.push_back(0.);
    p.Key.push_back(1);
    p.Map.push_back(i);
    p.Refined.push_back(i);
    p.DepOf.push_back(-1);
  }
  p.NRef = n;
  return p;
}

// Random weighted problem: derivative rows with columns on very different
// scales (as coordinates, ADPs and scales are), weights and residuals.
struct Problem {
  Eigen::MatrixXd G;  // m x n
  Eigen::VectorXd W, R;
};
Problem MakeProblem(int m, int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1., 1.);
  Problem pr;
  pr.G.resize(m, n);
  pr.W.resize(m);
  pr.R.resize(m);
  for (int j = 0; j < n; ++j) {
    const double scale = std::pow(10., 3. * u(rng));
    for (int i = 0; i < m; ++i) pr.G(i, j) = scale * u(rng);
  }
  for (int i = 0; i < m; ++i) {
    pr.W(i) = 0.1 + std::abs(u(rng));
    pr.R(i) = u(rng);
  }
  return pr;
}

void Accumulate(NormalEq& ne, const Problem& pr) {
  RefLoopNuluj(ne, static_cast<int>(pr.G.cols()));
  Eigen::VectorXd g(pr.G.cols());
  for (int i = 0; i < pr.G.rows(); ++i) {
    g = pr.G.row(i).transpose();
    SumaRefine(ne, pr.W(i), pr.R(i), g.data());
  }
}

double Packed(const NormalEq& ne, int i, int j) {
  if (i < j) std::swap(i, j);
  return ne.Am[static_cast<size_t>(i * (i + 1) / 2 + j)];
}

// Rank-k accumulation in both kernels equals one observation at a time, for
// sizes around the register tiles and observation counts around the block.
TEST(Lsq, BlockedAccumulationEqualsOneAtATime) {
  struct Case {
    int n, m;
  };
  const Case cases[] = {{1, 3}, {5, 64}, {7, 65}, {13, 200}, {48, 129}, {131, 70}};
  for (int kernel : {0, 1}) {
    LsqSetKernel(kernel);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << "kernel " << kernel << " n " << c.n << " m " << c.m);
      Problem pr = MakeProblem(c.m, c.n, 7u + static_cast<unsigned>(c.n));
      pr.W(0) = 0.;  // no contribution
      if (c.m > 2) pr.W(2) = -1.;
      NormalEq ne;
      Accumulate(ne, pr);
      SumaFlush(ne);
      EXPECT_EQ(ne.NObs, c.m > 2 ? c.m - 2 : c.m - 1);
      for (int i = 0; i < c.n; ++i) {
        double rhs = 0.;
        for (int r = 0; r < c.m; ++r)
          if (pr.W(r) > 0.) rhs += pr.W(r) * pr.R(r) * pr.G(r, i);
        EXPECT_NEAR(ne.Rhs[static_cast<size_t>(i)], rhs, 1e-12 * (std::abs(rhs) + 1e-300) + 1e-300);
        for (int j = 0; j <= i; ++j) {
          double a = 0., mag = 0.;
          for (int r = 0; r < c.m; ++r) {
            if (!(pr.W(r) > 0.)) continue;
            a += pr.W(r) * pr.G(r, i) * pr.G(r, j);
            mag += std::abs(pr.W(r) * pr.G(r, i) * pr.G(r, j));
          }
          ASSERT_NEAR(Packed(ne, i, j), a, 1e-13 * mag) << i << " " << j;
        }
      }
    }
  }
  LsqSetKernel(1);
}

// Shifts and s.u. against a dense solution of the same normal equations.
TEST(Lsq, InverAgreesWithDenseSolution) {
  struct Case {
    const char* what;
    int lsMethod;
    double lam;
    bool esdCorr;
    int nBlocks;
    double suFactor;
  };
  const Case cases[] = {{"plain", 0, 0., false, 1, 1.},
                        {"Marquardt", 2, 0.3, false, 1, 1.},
                        {"Berar, one block", 0, 0., true, 1, 1.7},
                        {"Berar ignored, two blocks", 0, 0., true, 2, 1.}};
  const int m = 300, n = 17;
  const double gof = 1.37;
  const Problem pr = MakeProblem(m, n, 11u);
  const RefParams p = PlainParams(n);
  const Eigen::MatrixXd A = pr.G.transpose() * pr.W.asDiagonal() * pr.G;
  const Eigen::VectorXd b = pr.G.transpose() * pr.W.asDiagonal() * pr.R;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Eigen::MatrixXd a = A;
    if (c.lsMethod == 2) a.diagonal() *= 1. + c.lam;
    const Eigen::MatrixXd C = a.inverse();
    const Eigen::VectorXd delta = C * b;
    NormalEq ne;
    Accumulate(ne, pr);
    InverSettings s;
    s.LsMethod = c.lsMethod;
    s.MarqLam = c.lam;
    s.EsdCorr = c.esdCorr;
    s.NDatBlocks = c.nBlocks;
    s.Berar = 1.7;
    InverResult out;
    std::vector<std::string> lst;
    ASSERT_EQ(Inver(ne, p, s, gof, m, out, lst), 0);
    EXPECT_TRUE(lst.empty());
    EXPECT_TRUE(out.Singular.empty());
    for (int i = 0; i < n; ++i) {
      const double su = gof * c.suFactor * std::sqrt(C(i, i));
      EXPECT_NEAR(out.Sig[static_cast<size_t>(i)], su, 1e-9 * su);
      EXPECT_NEAR(out.Shift[static_cast<size_t>(i)], delta(i),
                  1e-9 * std::abs(delta(i)) + 1e-9 * su);
      for (int j = 0; j < i; ++j)
        EXPECT_NEAR(InverCorrelation(ne, i, j), C(i, j) / std::sqrt(C(i, i) * C(j, j)), 1e-9);
    }
  }
}

// A zero derivative column and an exactly dependent column are blocked with
// the messages; the others get the solution of the reduced equations.
TEST(Lsq, SingularParametersAreBlocked) {
  const int m = 120, n = 9;
  Problem pr = MakeProblem(m, n, 3u);
  pr.G.col(3).setZero();
  pr.G.col(7) = -2.5 * pr.G.col(1);
  RefParams p = PlainParams(n);
  NormalEq ne;
  Accumulate(ne, pr);
  InverSettings s;
  s.Cycle = 4;
  InverResult out;
  std::vector<std::string> lst;
  ASSERT_EQ(Inver(ne, p, s, 1., m, out, lst), 0);
  EXPECT_EQ(out.Singular, (std::vector<int>{3, 7}));
  const std::vector<std::string> want = {
      "In the cycle 4 there were 2 singularities:", "Singularity - element #4 : [p4]",
      "The parameter will be blocked.", "Singularity - element #8 : [p8]",
      "The parameter will be blocked."};
  EXPECT_EQ(lst, want);
  std::vector<int> keep = {0, 1, 2, 4, 5, 6, 8};
  Eigen::MatrixXd g(m, static_cast<int>(keep.size()));
  for (size_t k = 0; k < keep.size(); ++k) g.col(static_cast<int>(k)) = pr.G.col(keep[k]);
  const Eigen::MatrixXd C = (g.transpose() * pr.W.asDiagonal() * g).inverse();
  const Eigen::VectorXd delta = C * (g.transpose() * pr.W.asDiagonal() * pr.R);
  for (size_t k = 0; k < keep.size(); ++k) {
    const int i = keep[k], kk = static_cast<int>(k);
    EXPECT_NEAR(out.Shift[static_cast<size_t>(i)], delta(kk), 1e-8 * std::sqrt(C(kk, kk)));
    EXPECT_NEAR(out.Sig[static_cast<size_t>(i)], std::sqrt(C(kk, kk)), 1e-8 * std::sqrt(C(kk, kk)));
  }
  EXPECT_EQ(out.Shift[3], 0.);
  EXPECT_EQ(out.Sig[7], 0.);

  // one singularity: singular wording
  pr.G.col(7) = MakeProblem(m, 1, 5u).G.col(0);
  Accumulate(ne, pr);
  lst.clear();
  ASSERT_EQ(Inver(ne, p, s, 1., m, out, lst), 0);
  ASSERT_FALSE(lst.empty());
  EXPECT_EQ(lst[0], "In the cycle 4 there was one singularity:");

  // (2 n)/3 singular parameters end the run
  Problem small = MakeProblem(50, 3, 9u);
  small.G.col(0).setZero();
  small.G.col(2).setZero();
  Accumulate(ne, small);
  lst.clear();
  EXPECT_EQ(Inver(ne, PlainParams(3), s, 1., 50, out, lst), 1);
  EXPECT_EQ(out.Fatal, 2);
  EXPECT_EQ(lst.back(), "The number of corrections for singularities too large.");
}

TEST(Lsq, ReflectionCountAgainstParameters) {
  const int n = 10;
  const RefParams p = PlainParams(n);
  struct Case {
    int nRefl, rc, fatal;
    const char* second;
  };
  const Case cases[] = {{9, 1, 1, "number of parameters to be refined."},
                        {29, 0, 0, "three times number of parameters to be refined."},
                        {30, 0, 0, nullptr}};
  for (const Case& c : cases) {
    const Problem pr = MakeProblem(40, n, 2u);
    NormalEq ne;
    Accumulate(ne, pr);
    InverResult out;
    std::vector<std::string> lst;
    EXPECT_EQ(Inver(ne, p, InverSettings{}, 1., c.nRefl, out, lst), c.rc);
    EXPECT_EQ(out.Fatal, c.fatal);
    if (c.second == nullptr) {
      EXPECT_TRUE(lst.empty());
      continue;
    }
    ASSERT_EQ(lst.size(), 2u);
    EXPECT_EQ(lst[0], "The number of reflections is smaller than");
    EXPECT_EQ(lst[1], c.second);
    EXPECT_EQ(out.Warning, c.fatal == 0);
  }
}

// Atom C1 (ai, x, y, z, Uiso) and a scale; y = 0.5 + 2 x - z is dependent.
RefParams ZmenaParams() {
  RefParams p;
  auto add = [&](int kind, int sub, int block, const char* name, double v) {
    RefParInfo in;
    in.Kind = kind;
    in.Sub = sub;
    in.Block = block;
    in.Name = name;
    in.Label = kind == OwnAtom ? std::string(name) + "[C1]" : name;
    p.Info.push_back(in);
    p.Val.push_back(v);
    p.Sig.push_back(0.);
    p.Key.push_back(1);
  };
  add(OwnAtom, 0, BlkOcc, "ai", 1.);
  add(OwnAtom, 0, BlkPos, "x", 0.1);
  add(OwnAtom, 0, BlkPos, "y", 0.5);
  add(OwnAtom, 0, BlkPos, "z", 0.2);
  add(OwnAtom, 0, BlkAdp, "Uiso", 0.02);
  add(OwnDatBlock, DatScale, DatScale, "sc1", 2.);
  p.AtomBase = {0};
  p.Key[0] = 0;
  RefEq e;
  e.Dep = 2;
  e.Const = 0.5;
  e.Ind = {1, 3};
  e.Coef = {2., -1.};
  p.Exp = {e};
  p.DepOf = {-1, -1, 0, -1, -1, -1};
  p.Map = {-1, 0, -1, 1, 2, 3};
  p.Refined = {1, 3, 4, 5};
  p.NRef = 4;
  return p;
}

TEST(Lsq, ZmenaAppliesDampedShiftsThroughEquations) {
  RefParams p = ZmenaParams();
  InverResult inv;
  inv.Shift = {0.01, -0.02, 0.004, 5.};
  inv.Sig = {0.001, 0.002, 0.0005, 0.6};
  ZmenaState st;
  st.SqScale = {5};
  std::vector<std::string> lst;
  ASSERT_EQ(Zmena(p, inv, 0.5, st, lst), 0);
  EXPECT_DOUBLE_EQ(p.Val[1], 0.105);
  EXPECT_DOUBLE_EQ(p.Val[3], 0.19);
  EXPECT_DOUBLE_EQ(p.Val[2], 0.5 + 2. * 0.105 - 0.19);
  EXPECT_DOUBLE_EQ(p.Val[0], 1.);  // fixed
  // scale refined as K = sc^2: K = 4 + 0.5 * 5 = 6.5
  EXPECT_DOUBLE_EQ(p.Val[5], std::sqrt(6.5));
  EXPECT_DOUBLE_EQ(p.Sig[5], 0.5 * 0.6 / std::sqrt(6.5));
  EXPECT_DOUBLE_EQ(p.Sig[2], std::sqrt(4. * 1e-6 + 4e-6));
  EXPECT_TRUE(lst.empty());
  EXPECT_NEAR(st.MaxChange, 5., 1e-9);  // x: 0.005 / 0.001

  // the same solution again with another damping from the saved values
  RefParams q = ZmenaParams();
  ZmenaState st2 = st;
  ASSERT_EQ(Zmena(q, inv, 0.25, st2, lst), 0);
  ASSERT_EQ(inverbackdamp(p, inv, 0.25, st, lst), 0);
  EXPECT_EQ(p.Val, q.Val);
  EXPECT_EQ(p.Sig, q.Sig);

  // a negative square, a non-finite shift and a negative Uiso are reported
  RefParams r = ZmenaParams();
  inv.Shift = {std::nan(""), 0., -0.1, -10.};
  lst.clear();
  ASSERT_EQ(Zmena(r, inv, 1., st, lst), 0);
  EXPECT_EQ(r.Val[5], 0.);
  EXPECT_EQ(r.Sig[5], 0.);
  EXPECT_EQ(r.Val[1], 0.1);
  const std::vector<std::string> want = {"The parameter x[C1] reached unreallistic value.",
                                         "The parameter Uiso[C1] reached unreallistic value.",
                                         "The parameter sc1 reached unreallistic value."};
  EXPECT_EQ(lst, want);
}

// The s.u. of a dependent parameter from the full covariance of the solution
// equals the dense c^T C c.
TEST(Lsq, DependentSuFromCovariance) {
  RefParams p = ZmenaParams();
  const Problem pr = MakeProblem(60, 4, 21u);
  NormalEq ne;
  Accumulate(ne, pr);
  InverResult inv;
  std::vector<std::string> lst;
  ASSERT_EQ(Inver(ne, p, InverSettings{}, 1.2, 60, inv, lst), 0);
  ZmenaState st;
  st.Cov = &ne;
  ASSERT_EQ(Zmena(p, inv, 1., st, lst), 0);
  const Eigen::MatrixXd C = (pr.G.transpose() * pr.W.asDiagonal() * pr.G).inverse();
  Eigen::Vector4d c(2., -1., 0., 0.);
  EXPECT_NEAR(p.Sig[2], 1.2 * std::sqrt(c.dot(C * c)), 1e-9 * p.Sig[2]);
}

// The final s.u. come from the equations without the Marquardt term and
// leave the values alone.
TEST(Lsq, InverFinalIgnoresMarquardt) {
  RefParams p = ZmenaParams();
  const Problem pr = MakeProblem(60, 4, 22u);
  NormalEq ne;
  Accumulate(ne, pr);
  InverSettings s;
  s.LsMethod = 2;
  s.MarqLam = 10.;
  InverResult inv;
  std::vector<std::string> lst;
  const std::vector<double> before = p.Val;
  ASSERT_EQ(inverfinal(ne, p, s, 1., 60, ZmenaState{}, inv, lst), 0);
  for (size_t i = 0; i < before.size(); ++i) EXPECT_DOUBLE_EQ(p.Val[i], before[i]) << i;
  const Eigen::MatrixXd C = (pr.G.transpose() * pr.W.asDiagonal() * pr.G).inverse();
  EXPECT_NEAR(p.Sig[4], std::sqrt(C(2, 2)), 1e-9 * p.Sig[4]);
}

// convcycl 2, convlim 0.05: the run ends after the second consecutive cycle
// strictly below the limit (the next cycle is the last).
TEST(Lsq, ConvergenceCounter) {
  const double ratios[] = {0.1, 0.04, 0.06, 0.05, 0.04, 0.03, 0.01};
  const int counts[] = {0, 1, 0, 0, 1, 2, 3};
  RefParams p = PlainParams(1);
  ZmenaState st;
  st.ConvChck = true;
  st.ConvCycl = 2;
  st.ConvLim = 0.05;
  st.Cycles = 20;
  InverResult inv;
  inv.Sig = {1.};
  std::vector<std::string> lst;
  for (int c = 0; c < 7; ++c) {
    st.Cycle = c;
    inv.Shift = {ratios[c]};
    p.Val[0] = 0.;  // the change is then exactly the ratio
    ASSERT_EQ(Zmena(p, inv, 1., st, lst), 0);
    EXPECT_EQ(st.ConvCount, counts[c]) << c;
    EXPECT_EQ(st.Converged, counts[c] >= 2) << c;
  }
  EXPECT_EQ(st.Cycles, 6);  // set at cycle 5, not raised later
}

TEST(Lsq, UisoLimit) {
  Struct.Model = AtomModel{};  // the parameter list alone describes the atom
  RefParams p = ZmenaParams();
  InverResult inv;
  inv.Shift = {0., 0., 0.1, 0.};
  inv.Sig = {1., 1., 1., 1.};
  ZmenaState st;
  st.UIsoLim = 0.1;
  std::vector<std::string> lst;
  ASSERT_EQ(Zmena(p, inv, 1., st, lst), 0);
  EXPECT_EQ(st.UIsoOff, std::vector<int>{0});
  st.UIsoLim = 0.2;
  ASSERT_EQ(Zmena(p, inv, 0., st, lst), 0);
  EXPECT_TRUE(st.UIsoOff.empty());
}

// toldynam 5 %, reddynam 2, ncdynam 2, damp 1 at the start.
TEST(Lsq, DynamicalDamping) {
  DynDampState st;
  st.TolDynam = 5.;
  st.RedDynam = 2.;
  st.NcDynam = 2;
  st.DampStart = 1.;
  double damp = 1.;
  struct Step {
    double r;
    int action;
    double damp;
  };
  const Step steps[] = {
      {0.10, DynNone, 1.},       {0.104, DynNone, 1.},  // within 5 %
      {0.12, DynReduced, 0.5},                          // > 1.05 * 0.104
      {0.11, DynReduced, 0.25},                         // still against 0.104
      {0.105, DynNone, 0.25},    {0.10, DynNone, 0.25},
      {0.09, DynIncreased, 0.5},  // three cycles since the reduction > ncdynam
      {0.09, DynNone, 0.5},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(RefApplyDynRed(st, static_cast<int>(i), steps[i].r, damp), steps[i].action) << i;
    EXPECT_DOUBLE_EQ(damp, steps[i].damp) << i;
  }
  // more than kMaxDynRed reductions end the run
  int last = DynNone;
  for (int i = 0; i < 20 && last != DynTooMany; ++i)
    last = RefApplyDynRed(st, 10 + i, 1. + i, damp);
  EXPECT_EQ(last, DynTooMany);
  EXPECT_EQ(st.NRed, kMaxDynRed + 1);
  EXPECT_GT(damp, 0.);
}

TEST(Lsq, BerarFactor) {
  std::mt19937 rng(5);
  std::normal_distribution<double> nd;
  const int n = 200000;
  std::vector<double> white(n), ar(n), alt(n);
  double prev = 0.;
  for (int i = 0; i < n; ++i) {
    white[i] = nd(rng);
    prev = 0.6 * prev + nd(rng);
    ar[i] = prev;
    alt[i] = i % 2 ? 1. : -1.;
  }
  EXPECT_NEAR(BerarFactor(white.data(), n), 1., 0.01);
  EXPECT_NEAR(BerarFactor(ar.data(), n), 2., 0.03);  // sqrt(1.6 / 0.4)
  EXPECT_EQ(BerarFactor(alt.data(), n), 1.);
}

}  // namespace
}  // namespace tarn
