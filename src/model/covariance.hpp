#pragma once
// The variance-covariance matrix of a refinement: the structure file fln.cov,
// written by the refinement and read by the geometry tools.
//
// File layout (text, free format):
//   # Tarnwork covariance 1            first line, the format version
//   m40 0123456789abcdef               identity of the M40 it belongs to
//   npar N
//   par 1 cell a                       N lines: number, "cell" and one of
//   par 2 atom C1 x                      a b c alpha beta gamma, "atom",
//   par 9 molpos Mol1a phi                 the atom's name and x, y or z, or
//   ...                                  "molpos", a molecule position's name
//                                        and phi chi psi (deg) or tx ty tz
//   matrix
//   v11 v21 v22 v31 v32 v33 ...        the lower triangle row by row,
//   end                                  N(N+1)/2 values, any number a line
// Units are those of the parameters: A and degrees for the cell, fractions
// for coordinates. The identity is M40Identity of the bytes of the M40 the
// refinement left behind: a matrix whose identity differs from the current
// M40's describes another model and must not be used.
#include <Eigen/Dense>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.hpp"

namespace tarn {

struct CovMatrix {
  std::string M40Id;               // M40Identity of the M40 it belongs to
  std::vector<std::string> Names;  // "cell a", "C1 x", "molpos MOL1A phi" (names upper case)
  Eigen::MatrixXd V;               // symmetric, N x N
  // Index of a parameter, -1 when absent.
  int IndexOf(std::string_view name) const;
};

inline constexpr std::string_view CovHeader = "# Tarnwork covariance 1";

// Identity of an M40's text: the 64-bit FNV-1a hash, as 16 hex digits, of
// the text after the free-text "commands" block at its head (the peaks of a
// Fourier synthesis kept there do not change the model).
std::string M40Identity(std::string_view m40Text);

// Reads the text of a covariance file. Returns 1 with err filled (line, what
// was expected) when it cannot be read; cov is then unchanged.
[[nodiscard]] int ReadCovariance(std::string_view text, const std::string& fileName,
                                 CovMatrix& cov, ErrorRecord& err);
// The text of a covariance file.
std::string CovarianceText(const CovMatrix& cov);

// Outcome of looking for the covariance of structure fln.
enum class CovState { Used, Absent, OtherModel, Unreadable };
// Reads fln.cov when it belongs to the current fln.m40. Returns Used with cov
// filled, or why it was not taken (err filled for Unreadable).
CovState LoadCovariance(const std::string& fln, CovMatrix& cov, ErrorRecord& err);

}  // namespace tarn
