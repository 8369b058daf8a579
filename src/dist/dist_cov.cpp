#include "dist/dist_cov.hpp"

#include <cmath>

#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr const char* kCellNames[6] = {"a", "b", "c", "alpha", "beta", "gamma"};
constexpr const char* kXyz[3] = {"x", "y", "z"};

}  // namespace

double DistSuCov(const DistPhase& ph, const DistGrad& g, const CovMatrix& cov) {
  Eigen::VectorXd d = Eigen::VectorXd::Zero(cov.V.rows());
  double rest = 0.;
  auto add = [&](const std::string& name, double der, double su) {
    const int i = cov.IndexOf(name);
    if (i >= 0)
      d[i] += der;
    else
      rest += der * der * su * su;
  };
  for (const auto& [atom, dx] : g.Atom) {
    const DistAtom& a = ph.Atoms[static_cast<size_t>(ph.FromModel[static_cast<size_t>(atom)])];
    for (int k = 0; k < 3; ++k) add(ToUpper(a.Name) + " " + kXyz[k], dx[k], a.XSu[k]);
  }
  for (int k = 0; k < 6; ++k) add(std::string("cell ") + kCellNames[k], g.Cell[k], ph.Cell.Su[k]);
  return std::sqrt(std::max(0., d.dot(cov.V * d)) + rest);
}

}  // namespace tarn
