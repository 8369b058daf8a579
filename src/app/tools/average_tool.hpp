#pragma once
// "Run average": the averaging of equivalent reflections as an action of its
// own, on the reflections already prepared (M90) or, without M90, on the
// imported ones (M95). Only the listing fln.ave is written; the reflection
// files are not changed.
#include <string>

#include "app/actions.hpp"

namespace tarn {

// Averages every data block of base.m90 (or every reflection block of
// base.m95 when there is no M90) under the point group of the current phase
// with the block's averaging settings, and writes base.ave. Returns 0 on
// success; on failure the message has been shown and nothing is written.
[[nodiscard]] int EM9Average(const std::string& base);

// Tool of the next step "average" (action 50106).
int EM9AverageTool(TarnToolCall& call);

}  // namespace tarn
