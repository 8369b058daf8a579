#pragma once
// "Run statistic test - Wilson plot" (action 50108): the intensity
// statistics of the structure's reflections in the listing fln.dir.
#include <string>

#include "app/actions.hpp"

namespace tarn {

// Statistics of the first data block of base.m90 (else of the reflections of
// base.m95) under the current phase; writes base.dir. Returns 0 on success;
// on failure the message has been shown and nothing is written.
[[nodiscard]] int EM9StatisticTest(const std::string& base);

// Tool of action 50108.
int EM9StatisticTool(TarnToolCall& call);

}  // namespace tarn
