// Parameter sections of the refinement listing.
#include "refine/refine_listing.hpp"
#include "util/numbers.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace tarn {

namespace {


// Symmetric 3x3 from the six components 11 22 33 12 13 23.
Eigen::Matrix3d Sym(const double* t) {
  Eigen::Matrix3d m;
  m << t[0], t[3], t[4], t[3], t[1], t[5], t[4], t[5], t[2];
  return m;
}

Eigen::Matrix3d ToM(const std::array<double, 9>& a) {
  Eigen::Matrix3d m;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) m(i, j) = a[static_cast<size_t>(3 * i + j)];
  return m;
}

}  // namespace

std::array<double, 9> RefOrthoMatrix(const double* cell) {
  const double a = cell[0], b = cell[1], c = cell[2];
  const double ca = std::cos(cell[3] * kDeg), cb = std::cos(cell[4] * kDeg);
  const double cg = std::cos(cell[5] * kDeg), sg = std::sin(cell[5] * kDeg);
  // V / (a b c) = sqrt(1 - ca^2 - cb^2 - cg^2 + 2 ca cb cg).
  const double v = std::sqrt(std::max(0., 1. - ca * ca - cb * cb - cg * cg + 2. * ca * cb * cg));
  return {a,  b * cg, c * cb,                   //
          0., b * sg, c * (ca - cb * cg) / sg,  //
          0., 0.,     c * v / sg};
}

std::array<double, 9> RefUCart(const std::array<double, 9>& orth, const double* beta) {
  const Eigen::Matrix3d m = ToM(orth);
  const Eigen::Matrix3d u =
      m * (Sym(beta) / (2. * std::numbers::pi * std::numbers::pi)) * m.transpose();
  std::array<double, 9> r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[static_cast<size_t>(3 * i + j)] = 0.5 * (u(i, j) + u(j, i));
  return r;
}

AdpEigen RefAdpEigen(const std::array<double, 9>& ucart) {
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> es(ToM(ucart));
  AdpEigen e;
  for (int k = 0; k < 3; ++k) {
    e.Val[static_cast<size_t>(k)] = es.eigenvalues()(k);
    for (int i = 0; i < 3; ++i)
      e.Vec[static_cast<size_t>(k)][static_cast<size_t>(i)] = es.eigenvectors()(i, k);
    e.PosDef = e.PosDef && es.eigenvalues()(k) > kAdpPosDefMin;
  }
  return e;
}

void RefListAdpEigen(const AtomModel& m, const BasicData& b, std::vector<std::string>& out,
                     std::vector<std::string>& serious) {
  std::vector<std::string> lines;
  int shownPhase = -1;
  for (const auto& a : m.Atom) {
    if (a.Shape.AdpOrder < 2) continue;
    const int ph = std::clamp(a.Phase - 1, 0, std::max(0, static_cast<int>(b.Phase.size()) - 1));
    if (b.Phase.empty()) return;
    const PhaseBasic& p = b.Phase[static_cast<size_t>(ph)];
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    const int off = lay.Off[BlkAdp];
    if (lay.Len[BlkAdp] < 6 || off + 6 > a.Par.size()) continue;
    const std::array<double, 9> orth = RefOrthoMatrix(p.Cell);
    if (ph != shownPhase) {
      // The frame of each phase once, before its first atom.
      shownPhase = ph;
      if (b.Phase.size() > 1) lines.push_back("Phase " + p.Name);
      lines.push_back(std::string(listmsg::AdpFrame));
      for (int i = 0; i < 3; ++i)
        lines.push_back(fmt::format("{:12.6f}{:12.6f}{:12.6f}", orth[static_cast<size_t>(3 * i)],
                                    orth[static_cast<size_t>(3 * i + 1)],
                                    orth[static_cast<size_t>(3 * i + 2)]));
      lines.push_back(fmt::format("{:<10}{:>12}{:>30}", "atom", "U (A**2)", "eigenvector"));
    }
    const AdpEigen e = RefAdpEigen(RefUCart(orth, a.Par.Val.data() + off));
    for (int k = 2; k >= 0; --k) {
      const auto& v = e.Vec[static_cast<size_t>(k)];
      std::string l =
          fmt::format("{:<10}{:12.6f}{:10.4f}{:10.4f}{:10.4f}", k == 2 ? a.Name : std::string(),
                      e.Val[static_cast<size_t>(k)], v[0], v[1], v[2]);
      if (k == 0 && !e.PosDef) l += "  " + std::string(listmsg::NotPosDef);
      lines.push_back(l);
    }
    if (!e.PosDef) serious.push_back(std::string(listmsg::NotPosDefWarn) + a.Name);
  }
  if (lines.empty()) return;
  out.push_back("");
  out.push_back(std::string(listmsg::AdpEigen));
  for (auto& l : lines) out.push_back(std::move(l));
}

}  // namespace tarn
