// Sections of the refinement listing after the run: ADP eigenvalues and
// eigenvectors in the Cartesian frame, per-domain R factors of twins.
#include "refine/refine_listing.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <numbers>

#include "refine/rfactor.hpp"

namespace tarn {
namespace {

constexpr double kDeg = std::numbers::pi / 180.;

Eigen::Matrix3d M(const std::array<double, 9>& a) {
  return Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(a.data());
}

// M^T M is the metric tensor G_ij = a_i a_j cos(angle_ij) for any cell, and
// the frame keeps a along x and c* along z.
TEST(AdpFrame, OrthoMatrixGivesTheMetricTensor) {
  const double cells[][6] = {{5.1, 6.2, 7.3, 90, 101, 90},
                             {4.0, 4.0, 6.5, 90, 90, 120},
                             {5.5, 7.1, 8.2, 77.3, 84.1, 69.8}};
  for (const auto& c : cells) {
    const Eigen::Matrix3d m = M(RefOrthoMatrix(c));
    const double ang[3] = {c[3], c[4], c[5]};  // alpha (b,c), beta (a,c), gamma (a,b)
    Eigen::Matrix3d g;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        g(i, j) = c[i] * c[j] * (i == j ? 1. : std::cos(ang[3 - i - j] * kDeg));
    EXPECT_LT((m.transpose() * m - g).norm(), 1e-10) << c[0];
    EXPECT_NEAR(m(1, 0), 0., 1e-12);
    EXPECT_NEAR(m(2, 0), 0., 1e-12);
    EXPECT_NEAR(m(2, 1), 0., 1e-12);
  }
}

class AdpEigenMono : public ::testing::Test {
 protected:
  // Monoclinic cell; U_cart = R diag(lambda) R^T with R a rotation about
  // (1, 2, 2)/3 by 35 degrees, turned into beta_ij through the inverse frame.
  void Make(const std::array<double, 3>& lambda) {
    orth_ = RefOrthoMatrix(cell_);
    rot_ = Eigen::AngleAxisd(35. * kDeg, Eigen::Vector3d(1, 2, 2).normalized()).toRotationMatrix();
    const Eigen::Matrix3d u =
        rot_ * Eigen::Vector3d(lambda[0], lambda[1], lambda[2]).asDiagonal() * rot_.transpose();
    const Eigen::Matrix3d mi = M(orth_).inverse();
    const Eigen::Matrix3d b = 2. * std::numbers::pi * std::numbers::pi * mi * u * mi.transpose();
    beta_ = {b(0, 0), b(1, 1), b(2, 2), b(0, 1), b(0, 2), b(1, 2)};
  }
  AtomRec Atom(const std::string& name, int adpOrder) const {
    AtomRec a = DefaultAtom();
    a.Name = name;
    a.Shape.AdpOrder = adpOrder;
    ReallocateAtomParams(a, a.Shape);
    const int off = AtomLayout(a.Shape).Off[BlkAdp];
    if (adpOrder >= 2)
      for (int k = 0; k < 6; ++k) a.Par.Val[static_cast<size_t>(off + k)] = beta_[k];
    else
      a.Par.Val[static_cast<size_t>(off)] = 0.02;
    return a;
  }
  double cell_[6] = {5.1, 6.2, 7.3, 90, 101, 90};
  std::array<double, 9> orth_{};
  Eigen::Matrix3d rot_;
  std::array<double, 6> beta_{};
};

TEST_F(AdpEigenMono, KnownDecompositionIsRecovered) {
  Make({0.01, 0.02, 0.04});
  const AdpEigen e = RefAdpEigen(RefUCart(orth_, beta_.data()));
  EXPECT_TRUE(e.PosDef);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(e.Val[static_cast<size_t>(k)], 0.01 * (1 << k), 1e-12);
    const Eigen::Vector3d v(e.Vec[static_cast<size_t>(k)].data());
    EXPECT_NEAR(std::abs(v.dot(rot_.col(k))), 1., 1e-10) << k;
  }
  // b is along y in this cell: U_yy = beta22 b^2 / (2 pi^2), U = beta / (2 pi^2 a*_i a*_j).
  const double uyy = RefUCart(orth_, beta_.data())[4];
  EXPECT_NEAR(uyy, beta_[1] * 6.2 * 6.2 / (2. * std::numbers::pi * std::numbers::pi), 1e-12);
}

TEST_F(AdpEigenMono, SectionListsAnisotropicAtomsAndFlagsNonPositiveDefinite) {
  BasicData b;
  b.Phase.resize(1);
  for (int k = 0; k < 6; ++k) b.Phase[0].Cell[k] = cell_[k];
  AtomModel m;
  Make({0.01, 0.02, 0.04});
  m.Atom.push_back(Atom("C1", 2));
  m.Atom.push_back(Atom("O1", 1));  // isotropic: not listed
  Make({-0.005, 0.02, 0.04});
  m.Atom.push_back(Atom("N1", 2));
  std::vector<std::string> out, serious;
  RefListAdpEigen(m, b, out, serious);
  ASSERT_GE(out.size(), 10u);
  EXPECT_EQ(out[1], listmsg::AdpEigen);
  EXPECT_EQ(out[2], listmsg::AdpFrame);
  int c1 = 0, o1 = 0, n1 = 0, flagged = 0;
  for (const auto& l : out) {
    c1 += l.rfind("C1", 0) == 0;
    o1 += l.rfind("O1", 0) == 0;
    n1 += l.rfind("N1", 0) == 0;
    flagged += l.find(listmsg::NotPosDef) != std::string::npos;
  }
  EXPECT_EQ(c1, 1);
  EXPECT_EQ(o1, 0);
  EXPECT_EQ(n1, 1);
  EXPECT_EQ(flagged, 1);
  ASSERT_EQ(serious.size(), 1u);
  EXPECT_NE(serious[0].find("N1"), std::string::npos);

  // A model without anisotropic atoms gets no section.
  out.clear();
  serious.clear();
  m.Atom = {Atom("O1", 1)};
  RefListAdpEigen(m, b, out, serious);
  EXPECT_TRUE(out.empty());
}

// Two domains related by T = (1 0 0; 0 1 0; 1/2 0 1) acting on index columns:
// reflections with h even coincide with a reflection of the second domain,
// those with h odd belong to the reference domain alone.
TEST(TwinDomainGroups, AssignmentAndSums) {
  TwinSetup t;
  t.NDomain = 2;
  t.Mat = {{1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, 0.5, 0, 1}};
  t.MatI = {{1, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 0, 1, 0, -0.5, 0, 1}};
  t.Frac = {0.7, 0.3};
  t.MetI = {1. / 25., 0, 0, 0, 1. / 36., 0, 0, 0, 1. / 49.};
  t.Lambda = 0.71073;
  struct Case {
    int h[3];
    int domain;
    bool overlap;
  };
  const Case cases[] = {{{1, 2, 3}, 0, false},
                        {{3, 0, 1}, 0, false},
                        {{2, 1, 1}, kRFacOverlapped, true},
                        {{0, 0, 2}, kRFacOverlapped, true}};
  RFacTabs tabs;
  RefSetRFacTabs(tabs, true, 1, 3, false, {"block"}, {});
  RefSetRFacDomains(tabs, 2);
  RefRFacNuluj(tabs);
  for (const auto& c : cases) {
    bool over = false;
    EXPECT_EQ(RefTwinDomain(t, c.h, over), c.domain) << c.h[0];
    EXPECT_EQ(over, c.overlap) << c.h[0];
    RFacRefl r;
    r.Fo = 10.;
    r.Fc = 9.;
    r.Io = 100.;
    r.Ic = 81.;
    r.WF = r.WI = 1.;
    r.TwDomain = c.domain;
    r.Overlap = over;
    RFactorSuma(tabs, r);
  }
  EXPECT_EQ(tabs.Domain[0].All.N, 2);
  EXPECT_EQ(tabs.Domain[1].All.N, 0);
  EXPECT_EQ(tabs.Overlapped.All.N, 2);
  EXPECT_EQ(tabs.NOver, 2);
  EXPECT_EQ(tabs.Overall.All.N, 4);
  std::vector<std::string> out;
  RFactorWrite(tabs, 0, 1., out);
  PisRfac(tabs, out);
  int d1 = 0, ov = 0, zone = 0;
  for (const auto& l : out) {
    d1 += l.rfind(std::string(rfacmsg::Domain) + "1 : ", 0) == 0;
    ov += l.rfind(rfacmsg::Overlapped, 0) == 0;
    zone += l.rfind("twin domain 1", 0) == 0 || l.rfind(rfacmsg::OverlappedLabel, 0) == 0;
  }
  EXPECT_EQ(d1, 1);
  EXPECT_EQ(ov, 1);
  EXPECT_EQ(zone, 2);
  // The overview counts the overlapped reflections in nover.
  EXPECT_EQ(tabs.History.back().NOver, 2);
}

}  // namespace
}  // namespace tarn
