#pragma once
// "Make space group test" (action 50102) and the batch command
// ".run->sgtest" with one line "standard", "original" or "none".
#include <string>

#include "app/actions.hpp"

namespace tarn {

// Runs the space-group test on every reflection of base.m95 in the cell of
// the current phase, writes the ranking to the listing base.dir (and, in
// batch mode, to the batch output) and, unless mode is "none", accepts the
// best candidate: M50 gets the group's operators and symbol, M90 is removed
// (the next merge makes it anew). Returns 0 when a group was accepted or
// mode is "none", 1 when no candidate fits or the test cannot run.
[[nodiscard]] int EM9SpaceGroupTest(const std::string& base, const std::string& mode, bool batch);

// Tool of action 50102: batch mode takes the mode from the call's first
// item; interactively the best candidate is offered for acceptance.
int EM9SpaceGroupTestTool(TarnToolCall& call);

}  // namespace tarn
