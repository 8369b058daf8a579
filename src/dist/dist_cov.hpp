#pragma once
// Propagation of uncertainties through the refinement's covariance matrix
// (model/covariance.hpp).
#include "dist/dist_search.hpp"
#include "model/covariance.hpp"

namespace tarn {

// Finds the rows of ph.Cov for the atoms and the cell of ph.
void DistIndexCov(DistPhase& ph);

// Uncertainty of a quantity with derivatives g: sqrt(g^T V g) over the
// parameters in the matrix, plus the independent contributions of the rest.
double DistSuCov(const DistPhase& ph, const DistGrad& g, const CovMatrix& cov);

}  // namespace tarn
