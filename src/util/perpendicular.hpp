#pragma once
// A unit vector perpendicular to a given one (for placing atoms around an
// axis when no reference direction is known).
#include <Eigen/Dense>

namespace tarn {

// The cross product of a with the axis of its smallest component, normalised.
inline Eigen::Vector3d AnyPerp(const Eigen::Vector3d& a) {
  Eigen::Index k = 0;
  a.cwiseAbs().minCoeff(&k);
  Eigen::Vector3d e = Eigen::Vector3d::Zero();
  e[k] = 1.;
  return a.cross(e).normalized();
}

}  // namespace tarn
