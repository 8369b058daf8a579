#pragma once
// Scale factors between the sets of measurements that feed one data block
// (reflection blocks, or frame groups of the runs of a block): the
// "Transformation to the common scale". Method: Hamilton, Rollett & Sparks,
// Acta Cryst. 18 (1965) 129 - see docs/data-reduction.md.
#include <string>
#include <vector>

#include "model/basic.hpp"
#include "model/refl.hpp"

namespace tarn {

// A measurement is "gt" (takes part in the fit) when I > kScaleGtLim * sigma(I).
inline constexpr double kScaleGtLim = 3.;
// Fewest measurements of a set left in the fit for its scale to be refined.
inline constexpr int kScaleMinUsed = 5;
// Iterations of the alternating least squares and its convergence limit
// (largest relative change of a scale).
inline constexpr int kScaleMaxIter = 200;
inline constexpr double kScaleConv = 1e-9;
// Rounds of outlier rejection ("scalelim") after the first fit.
inline constexpr int kScaleRejectRounds = 5;

struct ScaleSet {
  std::string Label;  // e.g. "block 1 run 2 frames 101-200"
  int NCommon = 0;    // unique reflections shared with other sets
  int NGt = 0;        // of those, measured > kScaleGtLim sigma here and in another set
  int NUsed = 0;      // measurements of the set used in the final fit
  double Scale = 1.;  // factor bringing the set to the reference set's scale
};

struct ScaleResult {
  std::vector<ScaleSet> Sets;
  int Ref = 0;        // reference set (scale 1), 0-based
  int NIter = 0;      // iterations of the last fit
  int NRejected = 0;  // measurements rejected by the scalelim test
};

// Refines one scale per set. group[i] numbers the unique reflection
// (equivalence class) of measurement i, set[i] its set (0 .. nset-1); I and
// sigma are the measurements. Measurements deviating by more than scalelim *
// sigma(I) from the scaled mean of their reflection are left out of the next
// round. Fails (1) when a set keeps fewer than kScaleMinUsed measurements or
// is not linked to the reference set through common reflections; then
// res.Sets tells which (NUsed) and no scale is taken.
[[nodiscard]] int DRMakeScales(const std::vector<int>& group, const std::vector<int>& set,
                               const std::vector<double>& i, const std::vector<double>& sig,
                               int nset, double scalelim, ScaleResult& res);

// The summary table "Summary from transformation to the common scale".
void DRScalesListing(const ScaleResult& res, std::vector<std::string>& lst);

// Sets of the measurements of the M95 blocks `feeds` (0-based) feeding one
// data block: one set per block, and per frame group of "framegr" frames of
// each run when the block has framegr > 0. With one set only nothing is
// done and factor stays empty. Otherwise the indices are transformed by the
// blocks' "trmat" and reduced under the point group of the phase (the
// centre of symmetry added with "addcentrsymm"), DRMakeScales is run with
// the data block's "scalelim", and factor[fb][r] is the scale of reflection r
// of block fb (1 for reflections outside the fit). The summary goes to lst.
// Returns 1 with the message in lst when the scales cannot be refined.
[[nodiscard]] int EM9MakeScales(const std::vector<M95Block>& b95,
                                const std::vector<std::vector<M95Refl>>& r95,
                                const std::vector<int>& feeds, const PhaseBasic& phase,
                                const M90Block& b90, std::vector<std::vector<double>>& factor,
                                std::vector<std::string>& lst);

}  // namespace tarn
