#pragma once
// Numeric constants and the bridge between the program's fixed-size 3x3
// matrices (row-major arrays) and Eigen's.
#include <Eigen/Dense>
#include <array>
#include <numbers>

namespace tarn {

inline constexpr double kPi = std::numbers::pi;
inline constexpr double kTwoPi = 2. * kPi;
inline constexpr double kDeg = kPi / 180.;  // radians per degree

using Mat3 = std::array<double, 9>;  // 3 x 3 row-major

inline Eigen::Matrix3d ToEigen(const Mat3& a) {
  Eigen::Matrix3d m;
  for (int i = 0; i < 9; ++i) m(i / 3, i % 3) = a[static_cast<size_t>(i)];
  return m;
}

inline Mat3 FromEigen(const Eigen::Matrix3d& m) {
  Mat3 a{};
  for (int i = 0; i < 9; ++i) a[static_cast<size_t>(i)] = m(i / 3, i % 3);
  return a;
}

}  // namespace tarn
