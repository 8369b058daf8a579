#pragma once
// Propagation of uncertainties through the refinement's covariance matrix
// (model/covariance.hpp).
#include "dist/dist_search.hpp"
#include "model/covariance.hpp"

namespace tarn {

// Uncertainty of a quantity with derivatives g: sqrt(g^T V g) over the
// parameters in the matrix, plus the independent contributions of the rest.
double DistSuCov(const DistPhase& ph, const DistGrad& g, const CovMatrix& cov);

}  // namespace tarn
