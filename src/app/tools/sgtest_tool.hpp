#pragma once
// "Make space group test" (action 50102) and the batch command
// ".run->sgtest" with one line "standard", "original" or "none".
#include <optional>
#include <string>
#include <vector>

#include "app/actions.hpp"
#include "symmetry/spgroup.hpp"
#include "util/numbers.hpp"

namespace tarn {

// Runs the space-group test on every reflection of base.m95 in the cell of
// the current phase, writes the ranking to the listing base.dir (and, in
// batch mode, to the batch output) and, unless mode is "none", accepts the
// best candidate (DRSGTestEpilog). Interactively (mode unused) its pages are
// a form of tolerances and limits, the listing, the ranked candidates to
// choose from and the setting (standard or the cell of the data). Returns 0 when a group was
// accepted or mode is "none", 1 when no candidate fits or the test cannot run.
[[nodiscard]] int EM9SpaceGroupTest(const std::string& base, const std::string& mode, bool batch);

// What DRSGTestEpilog does besides accepting the group.
struct SgEpilogExtra {
  // The cell the test was repeated in (axes in the data's, columns): the
  // structure and the M95 blocks move into it first; reflections without
  // integral indices there (absent by an X centring) are left out.
  std::optional<Mat3> Cell;
  // Twin matrices x' = R x of the accepted cell (DRSGTestTwinMatrices): M50
  // gets the identity and, per matrix, the index matrix T = R^-T of the
  // domain (h_ref = T k), carried into the standard setting when the
  // structure moves; M40 gets equal twin fractions, refined.
  std::vector<Mat3> Twins;
};

// DRSGTestEpilog: accepts table entry `entry` (a setting in the axes of the
// data, or of extra.Cell) for the current phase. With `standard` and a setting other than the
// reference one, the structure moves into the reference setting (International
// Tables' standard): cell, operators, atoms and ADPs of M50/M40, and the
// cell and indices of every M95 block; otherwise the group is taken in the
// cell of the data. M90 is removed (the next merge makes it anew). Files are
// written to temporary names first, so nothing changes on failure.
[[nodiscard]] int DRSGTestEpilog(const std::string& base, const SgTable& tab, int entry,
                                 bool standard, bool batch, const SgEpilogExtra& extra = {});

// Tool of action 50102: batch mode takes the mode from the call's first
// item; interactively the best candidate is offered for acceptance.
int EM9SpaceGroupTestTool(TarnToolCall& call);

}  // namespace tarn
