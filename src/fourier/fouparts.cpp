// Composite parts (subsystems) as their maps see them: the part's cell,
// modulation vectors and operators from its W matrix, and the index
// transformation of the reflections.
//
// Superspace coordinates of part nu are X_nu = W X (X in the reference
// basis), so its indices are h_nu = h W^-1 (h_nu . X_nu = h . X). With
// W = [[Z, Z^d], [V, V^d]] and sigma the modulation vectors (d x 3) of the
// reference, the part's reciprocal basis is A a* with A = Z + Z^d sigma, its
// reciprocal metric G*_nu = A G* A^T and its modulation vectors
// sigma_nu = (V + V^d sigma) A^-1. Operators become (W R W^-1, W t) and
// centring vectors W c.
#include <fmt/format.h>

#include <Eigen/Dense>
#include <cmath>

#include "fourier/fourier.hpp"
#include "symmetry/site.hpp"
#include "util/numbers.hpp"

namespace tarn {

namespace {

constexpr double kTolIdentity = 1e-9;

double Frac(double v) {
  v -= std::floor(v);
  return v > 1. - 1e-9 ? 0. : v;
}

}  // namespace

int FouPartPhase(const PhaseBasic& ph, int part, FouPart& out, std::string& why) {
  out = FouPart{};
  out.Part = part;
  out.Phase = ph;
  const int n = ph.NDim, d = n - 3;
  for (int i = 0; i < n; ++i) out.HMat[static_cast<size_t>(i * n + i)] = 1.;
  if (ph.NComp < 2 || d < 1) return 0;
  const bool has = part >= 1 && part <= static_cast<int>(ph.WMatrix.size()) &&
                   static_cast<int>(ph.WMatrix[static_cast<size_t>(part - 1)].size()) == n * n;
  if (!has) {
    if (part == 1) return 0;  // the reference basis itself
    why = fmt::format("The W matrix of composite part {} is missing or does not fit the phase.",
                      part);
    return 1;
  }
  const auto& wv = ph.WMatrix[static_cast<size_t>(part - 1)];
  Eigen::MatrixXd w(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) w(i, j) = wv[static_cast<size_t>(i * n + j)];
  if ((w - Eigen::MatrixXd::Identity(n, n)).cwiseAbs().maxCoeff() < kTolIdentity) return 0;
  if (std::abs(w.determinant()) < 1e-6) {
    why = fmt::format("The W matrix of composite part {} is singular.", part);
    return 1;
  }
  out.HasW = true;
  const Eigen::MatrixXd wi = w.inverse();
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) out.HMat[static_cast<size_t>(i * n + j)] = wi(i, j);

  // Cell of the part.
  Eigen::MatrixXd sigma = Eigen::MatrixXd::Zero(d, 3);
  for (int i = 0; i < d && i < static_cast<int>(ph.Qi.size()); ++i)
    for (int j = 0; j < 3; ++j) sigma(i, j) = ph.Qi[static_cast<size_t>(i)][static_cast<size_t>(j)];
  const Eigen::Matrix3d a = w.topLeftCorner(3, 3) + w.topRightCorner(3, d) * sigma;
  if (std::abs(a.determinant()) < 1e-6) {
    why = fmt::format("The W matrix of composite part {} gives no three-dimensional cell.", part);
    return 1;
  }
  Eigen::Matrix3d gi;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) gi(i, j) = ph.MetTensI[3 * i + j];
  const Eigen::Matrix3d gis = a * gi * a.transpose();
  const Eigen::Matrix3d g = gis.inverse();
  PhaseBasic& p = out.Phase;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      p.MetTens[3 * i + j] = g(i, j);
      p.MetTensI[3 * i + j] = gis(i, j);
    }
  p.CellVol = std::sqrt(g.determinant());
  for (int i = 0; i < 3; ++i) {
    p.Cell[i] = std::sqrt(g(i, i));
    p.CellR[i] = std::sqrt(gis(i, i));
  }
  constexpr int kPair[3][2] = {{1, 2}, {0, 2}, {0, 1}};
  for (int k = 0; k < 3; ++k) {
    const int i = kPair[k][0], j = kPair[k][1];
    p.Cell[3 + k] = std::acos(g(i, j) / (p.Cell[i] * p.Cell[j])) * 180. / kPi;
    p.CellR[3 + k] = std::acos(gis(i, j) / (p.CellR[i] * p.CellR[j])) * 180. / kPi;
  }
  const Eigen::MatrixXd qs = (w.bottomLeftCorner(d, 3) + w.bottomRightCorner(d, d) * sigma) *
                             a.inverse();
  p.Qi.assign(static_cast<size_t>(d), Vec3{});
  for (int i = 0; i < d; ++i)
    for (int j = 0; j < 3; ++j) p.Qi[static_cast<size_t>(i)][static_cast<size_t>(j)] = qs(i, j);

  // Operators and centring vectors in the part's basis.
  std::vector<double> wr(static_cast<size_t>(n * n)), wir(static_cast<size_t>(n * n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      wr[static_cast<size_t>(i * n + j)] = w(i, j);
      wir[static_cast<size_t>(i * n + j)] = wi(i, j);
    }
  PhaseSymmetry& ps = p.Symmetry;
  for (int s = 0; s < ps.NSymm && s < ps.MaxSymm(); ++s) {
    SymmOp& op = ps.Op[static_cast<size_t>(s)];
    Mat6 r{};
    Vec6 t{};
    SiteOpToSub(op.RM6.data(), op.S6.data(), n, wr.data(), wir.data(), r.data(), t.data());
    for (int i = 0; i < n; ++i) t[static_cast<size_t>(i)] = Frac(t[static_cast<size_t>(i)]);
    op.RM6 = r;
    op.S6 = t;
    double det = 0.;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) op.RM[static_cast<size_t>(3 * i + j)] = r[static_cast<size_t>(i * n + j)];
    det = op.RM[0] * (op.RM[4] * op.RM[8] - op.RM[5] * op.RM[7]) -
          op.RM[1] * (op.RM[3] * op.RM[8] - op.RM[5] * op.RM[6]) +
          op.RM[2] * (op.RM[3] * op.RM[7] - op.RM[4] * op.RM[6]);
    for (int k = 0; k < 9; ++k) op.RMag[static_cast<size_t>(k)] = det * op.ZMag * op.RM[static_cast<size_t>(k)];
    op.Text = CodeSymm(r.data(), t.data(), n);
    op.Elem.clear();
  }
  // Centring vectors that become lattice translations of the part vanish.
  std::vector<Vec6> vt;
  for (int c = 0; c < ps.NLattVec && c < ps.MaxLattVec(); ++c) {
    Vec6 v{};
    for (int i = 0; i < n; ++i) {
      double s = 0.;
      for (int k = 0; k < n; ++k) s += w(i, k) * ps.VT6[static_cast<size_t>(c)][static_cast<size_t>(k)];
      v[static_cast<size_t>(i)] = Frac(s);
    }
    bool dup = false;
    for (const auto& u : vt) {
      bool same = true;
      for (int i = 0; i < n && same; ++i)
        same = std::abs(u[static_cast<size_t>(i)] - v[static_cast<size_t>(i)]) < 1e-6;
      dup = dup || same;
    }
    if (!dup) vt.push_back(v);
  }
  if (ps.NLattVec > 0) {
    ps.VT6 = vt;
    ps.NLattVec = static_cast<int>(vt.size());
  }
  return 0;
}

void FouPartIndices(const FouPart& part, int nDim, std::array<int, 6>& h) {
  if (!part.HasW) return;
  std::array<int, 6> out{};
  for (int j = 0; j < nDim; ++j) {
    double v = 0.;
    for (int i = 0; i < nDim; ++i) v += h[static_cast<size_t>(i)] * part.HMat[static_cast<size_t>(i * nDim + j)];
    out[static_cast<size_t>(j)] = static_cast<int>(std::lround(v));
  }
  h = out;
}

}  // namespace tarn
