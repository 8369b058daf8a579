#pragma once
// Pieces shared by the writers of fln.cif and fln.fcf.
#include <string>

#include "cif/cif_doc.hpp"
#include "dist/dist_search.hpp"
#include "model/basic.hpp"

namespace tarn {

// value(su) under the structure's rounding rule.
std::string CifNum(double value, double su, int maxDecimals, int rule);
// The cell with s.u., its volume with s.u. (from the independent cell s.u.).
void CifCellItems(CifBuilder& b, const PhaseBasic& p, int rule);
double CifCellVolumeSu(const PhaseBasic& p);
// The loop of the complete list of operators (with centring), numbered as
// the symmetry codes of the geometry loops number them.
void CifSymmetryLoop(CifBuilder& b, const DistPhase& ph);

}  // namespace tarn
