#pragma once
// Pieces shared by the writers of fln.cif and fln.fcf.
#include <string>

#include "cif/cif_doc.hpp"
#include "dist/dist_search.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"

namespace tarn {

// value(su) under the structure's rounding rule.
std::string CifNum(double value, double su, int maxDecimals, int rule);
// The cell with s.u., its volume with s.u. (from the independent cell s.u.).
void CifCellItems(CifBuilder& b, const PhaseBasic& p, int rule);
double CifCellVolumeSu(const PhaseBasic& p);
// The loop of the complete list of operators (with centring), numbered as
// the symmetry codes of the geometry loops number them: x,y,z texts, or the
// superspace form x1,x2,x3,x4 for modulated phases, with the time-inversion
// sign (",+1", ",-1") for magnetic phases.
void CifSymmetryLoop(CifBuilder& b, const PhaseBasic& p, const DistPhase& ph);
// Modulated phases: the modulation dimension and the modulation vectors.
void CifWaveVectorItems(CifBuilder& b, const PhaseBasic& p, int rule);
// The magnetic moments and, for modulated phases, the wave vectors of the
// atoms' waves, the Fourier amplitudes with s.u. (occupancy, displacement,
// ADP as U, moment), the crenel and sawtooth functions.
void CifModulationLoops(CifBuilder& b, const Structure& s, const PhaseBasic& p, const DistPhase& ph,
                        int rule);

}  // namespace tarn
