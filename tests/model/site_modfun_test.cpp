// Site-symmetry constraints of the special modulation functions checked with
// the modulation evaluators: random parameters are made to obey the site
// equations, and the crenel, sawtooth and orthogonal-set modulations are
// evaluated at points of the internal coordinates and at their images under
// every site operator; the atom is invariant when S p(xb4) = p(eps.xb4 +
// delta) for the operators that carry the crenel interval onto itself. One,
// two and three modulation vectors; harmonic waves and the orthogonal sets.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "model/atoms.hpp"
#include "model/modfun.hpp"
#include "support/report_script.hpp"
#include "support/small_structures.hpp"
#include "symmetry/site.hpp"
#include "symmetry/symm.hpp"

namespace tarn {
namespace {

using test::Constrained;
using test::IntSiteOp;
using test::NumEq;

constexpr double kTolInvariant = 1e-9;

Eigen::MatrixXd AdpS(const Eigen::Matrix3d& r) {
  Mat3 m;
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) m[static_cast<size_t>(i * 3 + k)] = r(i, k);
  const auto s = srotb(m);
  Eigen::MatrixXd e(6, 6);
  for (int i = 0; i < 6; ++i)
    for (int k = 0; k < 6; ++k) e(i, k) = s[static_cast<size_t>(i * 6 + k)];
  return e;
}

struct Case {
  int NDim;
  std::vector<std::string> Gen;
  std::array<double, 3> X;
  bool Refused;  // a site operator maps x4 onto another internal coordinate
};

const Case kCases[] = {
    {4, {"x1 x2 -x3 -x4+1/2"}, {0.1, 0.2, 0.}, false},
    {4, {"x1 x2 -x3 x4+1/2"}, {0.1, 0.2, 0.}, false},                   // copy on another interval
    {4, {"x1 x2 -x3 -x4", "-x1 -x2 x3 -x4+1/2"}, {0., 0., 0.}, false},  // two centres
    {5, {"x1 x2 -x3 -x4 x5+1/2"}, {0.1, 0.2, 0.}, false},
    {5, {"x1 x2 -x3 -x4 x4+x5"}, {0.1, 0.2, 0.}, false},   // first row (-1, 0)
    {5, {"-x1 -x2 x3 -x4+x3 -x5"}, {0., 0., 0.3}, false},  // coupling: delta = z
    {5, {"x1 x2 -x3 -x4 x5", "x2 x1 x3 x4 x5"}, {0.1, 0.1, 0.}, false},
    {5, {"x2 x1 x3 x5 x4"}, {0.1, 0.1, 0.3}, true},
    {5, {"x1 x2 -x3 -x4+x5 x5"}, {0.1, 0.2, 0.}, true},  // first row (-1, 1)
    {6, {"x1 x2 -x3 -x4+1/2 x6 x5"}, {0.1, 0.2, 0.}, false},
    {6, {"x2 x3 x1 x5 x6 x4"}, {0.1, 0.1, 0.1}, true},
};

TEST(SiteModulationFunctions, ConstrainedFunctionsAreInvariantUnderTheSiteOperators) {
  const double x40 = 0.29, width = 0.4;
  const int nw = 2;
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u01(0., 1.), um1(-0.97, 0.97);
  for (const Case& c : kCases) {
    const PhaseSymmetry ps = test::MakeGroup(c.NDim, c.Gen);
    const int d = c.NDim - 3;
    const auto ops = test::IntSiteOps(ps, c.X);
    for (int type : {FunHarm, FunOrtho, FunLegendre, FunXHarm}) {
      SCOPED_TRACE(c.Gen.back() + " type " + std::to_string(type));
      SiteAtom at;
      at.Name = "Sr1";
      at.X = c.X;
      at.Crenel = at.Saw = true;
      at.CrenelX40 = at.SawX40 = at.FunX40 = x40;
      at.FunDelta = width;
      at.FunType = type;
      at.NWave[SpOcc] = at.NWave[SpPos] = at.NWave[SpAdp] = nw;
      SiteContext ctx;
      ctx.Symm = &ps;
      ctx.Metric = {25, 0, 0, 0, 25, 0, 0, 0, 25};
      SpecEquations eqs;
      test::ReportScript shown;
      const int ier = AtSpec({at}, ctx, eqs);
      if (c.Refused) {
        EXPECT_EQ(ier, 1);
        ASSERT_EQ(shown.Log.size(), 1u);
        EXPECT_NE(shown.Log[0].Header.find("\"Sr1\""), std::string::npos) << shown.Log[0].Header;
        continue;
      }
      ASSERT_EQ(ier, 0);
      // The interval centre: the crenel and sawtooth equations fix the same one.
      const auto cren = Constrained(eqs, SpCrenel, {x40, width}, rng);
      const auto saw = Constrained(eqs, SpSaw, {0.05, -0.04, 0.03, x40, width}, rng);
      const double centre = cren[0];
      bool reversing = false;
      for (const IntSiteOp& g : ops)
        reversing = reversing || (g.KeepsInterval(centre) && g.Eps(0, 0) < 0.);
      EXPECT_EQ(NumEq(eqs, SpCrenel), reversing ? 1 : 0);
      if (reversing) {
        EXPECT_NEAR(saw[3], centre, 1e-12);
      }
      FPolSet fs;
      ASSERT_EQ(type == FunHarm || MakeFPolSet(type, 2 * nw, centre, width, fs) == 0, true);
      const auto occ = Constrained(eqs, SpOccWave, std::vector<double>(2 * nw, 0.), rng);
      const auto pos = Constrained(eqs, SpPosWave, std::vector<double>(6 * nw, 0.), rng);
      const auto adp = Constrained(eqs, SpAdpWave, std::vector<double>(12 * nw, 0.), rng);

      // Values of all functions at one point xb4 (d components).
      struct Val {
        double Cren, SawOcc;
        Eigen::Vector3d Saw, Pos;
        double Occ;
        Eigen::VectorXd Adp;
      };
      auto eval = [&](const Eigen::VectorXd& x4) {
        Val v{0., 0., {}, {}, 0., Eigen::VectorXd(6)};
        v.Cren = CrenelOcc(x4[0], cren[0], width);
        double o = 0., u[3];
        MakeOccModSawTooth(saw.data(), saw[3], width, x4.data(), 1, d, &o, u);
        v.SawOcc = o;
        v.Saw = Eigen::Vector3d(u[0], u[1], u[2]);
        if (type == FunHarm) {  // harmonics of q1 restricted to the crenel
          MakePosMod(pos.data(), nw, d, x4.data(), 1, u);
          MakeOccMod(occ.data(), nw, d, x4.data(), 1, &v.Occ);
          MakeBetaMod(adp.data(), 6, nw, d, x4.data(), 1, v.Adp.data());
        } else {
          MakePosModPol(fs, pos.data(), nw, x4.data(), 1, u);
          MakeOccModPol(fs, occ.data(), nw, x4.data(), 1, &v.Occ);
          MakeBetaModPol(fs, adp.data(), 6, nw, x4.data(), 1, v.Adp.data());
        }
        v.Pos = Eigen::Vector3d(u[0], u[1], u[2]);
        return v;
      };
      int checked = 0;
      for (const IntSiteOp& g : ops) {
        if (!g.KeepsInterval(centre)) {
          // The copy lies on another interval: nothing to compare.
          continue;
        }
        const Eigen::MatrixXd sadp = AdpS(g.R);
        for (int t = 0; t < 8; ++t) {
          Eigen::VectorXd x4(d);
          for (int i = 0; i < d; ++i) x4[i] = u01(rng);
          x4[0] = centre + 0.5 * width * um1(rng) + (t % 3 - 1);
          const Eigen::VectorXd y4 = g.Eps * x4 + g.Delta;
          const Val a = eval(x4), b = eval(y4);
          EXPECT_EQ(a.Cren, 1.);
          EXPECT_EQ(a.Cren, b.Cren) << "crenel";
          EXPECT_EQ(a.SawOcc, b.SawOcc) << "sawtooth interval";
          EXPECT_LT((g.R * a.Saw - b.Saw).cwiseAbs().maxCoeff(), kTolInvariant) << "sawtooth";
          EXPECT_LT((g.R * a.Pos - b.Pos).cwiseAbs().maxCoeff(), kTolInvariant) << "position";
          EXPECT_NEAR(a.Occ, b.Occ, kTolInvariant) << "occupancy";
          EXPECT_LT((sadp * a.Adp - b.Adp).cwiseAbs().maxCoeff(), kTolInvariant) << "ADP";
          ++checked;
        }
      }
      EXPECT_GT(checked, 0);
      // No more constraints than symmetry needs: the invariance condition
      // R u(xb4) = u(eps.xb4 + delta) on points of the interval, as a linear
      // system over the position amplitudes, has a null space of the size
      // that the equations leave free.
      const int np = 6 * nw;
      Eigen::MatrixXd sys(0, np);
      for (const IntSiteOp& g : ops) {
        if (!g.KeepsInterval(centre)) continue;
        for (int t = 0; t < 12; ++t) {
          Eigen::VectorXd x4(d);
          for (int i = 0; i < d; ++i) x4[i] = u01(rng);
          x4[0] = centre + 0.5 * width * um1(rng);
          const Eigen::VectorXd y4 = g.Eps * x4 + g.Delta;
          sys.conservativeResize(sys.rows() + 3, Eigen::NoChange);
          for (int j = 0; j < np; ++j) {
            std::vector<double> e(static_cast<size_t>(np), 0.);
            e[static_cast<size_t>(j)] = 1.;
            double ua[3], ub[3];
            if (type == FunHarm) {
              MakePosMod(e.data(), nw, d, x4.data(), 1, ua);
              MakePosMod(e.data(), nw, d, y4.data(), 1, ub);
            } else {
              MakePosModPol(fs, e.data(), nw, x4.data(), 1, ua);
              MakePosModPol(fs, e.data(), nw, y4.data(), 1, ub);
            }
            sys.block(sys.rows() - 3, j, 3, 1) =
                g.R * Eigen::Vector3d(ua[0], ua[1], ua[2]) - Eigen::Vector3d(ub[0], ub[1], ub[2]);
          }
        }
      }
      Eigen::FullPivLU<Eigen::MatrixXd> lu(sys);
      lu.setThreshold(1e-8);
      EXPECT_EQ(np - NumEq(eqs, SpPosWave), np - static_cast<int>(lu.rank()));
      EXPECT_GT(np - NumEq(eqs, SpPosWave), 0);
    }
  }
}

TEST(SiteModulationFunctions, RefusalNamesTheAtomAndTheOperator) {
  const PhaseSymmetry ps = test::MakeGroup(5, {"x2 x1 -x3 x5 x4"});
  SiteAtom at;
  at.Name = "Ba2";
  at.X = {0.1, 0.1, 0.5};  // the site operator carries a lattice shift along z
  at.Crenel = true;
  at.CrenelX40 = 0.3;
  SiteContext ctx;
  ctx.Symm = &ps;
  SpecEquations eqs;
  test::ReportScript shown;
  ASSERT_EQ(AtSpec({at}, ctx, eqs), 1);
  ASSERT_EQ(shown.Of("error").size(), 1u);
  EXPECT_EQ(shown.Log[0].Header,
            "The interval of the special functions isn't invariant under the site symmetry of the "
            "atom \"Ba2\".");
  ASSERT_EQ(shown.Log[0].Lines.size(), 2u);
  EXPECT_EQ(shown.Log[0].Lines[0],
            "The site operator \"x2 x1 -x3 x5 x4\" maps the internal coordinate x4 of the interval "
            "onto another internal coordinate.");
  // Harmonic waves alone are handled by the wave vectors and are accepted.
  at.Crenel = false;
  at.NWave[SpOcc] = 2;
  ctx.Kw = {{1, 0, 0}, {0, 1, 0}};
  eqs = SpecEquations{};
  EXPECT_EQ(AtSpec({at}, ctx, eqs), 0);
}

}  // namespace
}  // namespace tarn
