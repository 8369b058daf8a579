#pragma once
// The variance-covariance matrix of a refinement, read from the structure
// file fln.cov, and the propagation of uncertainties through it.
//
// File layout (text, free format):
//   # Tarnwork covariance 1            first line, the format version
//   npar N
//   par 1 cell a                       N lines: number, "cell" and one of
//   par 2 atom C1 x                      a b c alpha beta gamma, or "atom",
//   ...                                  the atom's name and x, y or z
//   matrix
//   v11 v21 v22 v31 v32 v33 ...        the lower triangle row by row,
//   end                                  N(N+1)/2 values, any number a line
// Units are those of the parameters: A and degrees for the cell, fractions
// for coordinates. Parameters not in the file keep their own s.u. and are
// taken as independent of all others.
#include <Eigen/Dense>
#include <string>
#include <string_view>
#include <vector>

#include "dist/dist_search.hpp"
#include "util/error.hpp"

namespace tarn {

struct DistCovariance {
  std::vector<std::string> Names;  // "cell a", "C1 x" (atom names upper case)
  Eigen::MatrixXd V;               // symmetric, N x N
  // Index of a parameter, -1 when absent.
  int IndexOf(std::string_view name) const;
};

inline constexpr std::string_view DistCovHeader = "# Tarnwork covariance 1";

// Reads the text of a covariance file. Returns 1 with err filled (line, what
// was expected) when it cannot be read; cov is then unchanged.
[[nodiscard]] int DistReadCovariance(std::string_view text, const std::string& fileName,
                                     DistCovariance& cov, ErrorRecord& err);
// The text of a covariance file (for the writer of the refinement and tests).
std::string DistCovarianceText(const DistCovariance& cov);

// Uncertainty of a quantity with derivatives g: sqrt(g^T V g) over the
// parameters in the matrix, plus the independent contributions of the rest.
double DistSuCov(const DistPhase& ph, const DistGrad& g, const DistCovariance& cov);

}  // namespace tarn
