#pragma once
// "Make space group test" (action 50102) and the batch command
// ".run->sgtest" with one line "standard", "original" or "none".
#include <string>

#include "app/actions.hpp"
#include "symmetry/spgroup.hpp"

namespace tarn {

// Runs the space-group test on every reflection of base.m95 in the cell of
// the current phase, writes the ranking to the listing base.dir (and, in
// batch mode, to the batch output) and, unless mode is "none", accepts the
// best candidate (DRSGTestEpilog). Interactively (mode unused) its pages are
// a form of tolerances and limits, the listing, the ranked candidates to
// choose from and the setting (standard or the cell of the data). Returns 0 when a group was
// accepted or mode is "none", 1 when no candidate fits or the test cannot run.
[[nodiscard]] int EM9SpaceGroupTest(const std::string& base, const std::string& mode, bool batch);

// DRSGTestEpilog: accepts table entry `entry` (a setting in the axes of the
// data) for the current phase. With `standard` and a setting other than the
// reference one, the structure moves into the reference setting (International
// Tables' standard): cell, operators, atoms and ADPs of M50/M40, and the
// cell and indices of every M95 block; otherwise the group is taken in the
// cell of the data. M90 is removed (the next merge makes it anew). Files are
// written to temporary names first, so nothing changes on failure.
[[nodiscard]] int DRSGTestEpilog(const std::string& base, const SgTable& tab, int entry,
                                 bool standard, bool batch);

// Tool of action 50102: batch mode takes the mode from the call's first
// item; interactively the best candidate is offered for acceptance.
int EM9SpaceGroupTestTool(TarnToolCall& call);

}  // namespace tarn
