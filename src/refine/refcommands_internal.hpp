#pragma once
// Helpers shared by the files of the refinement command block.
#include <string>
#include <vector>

#include "model/keys.hpp"

namespace tarn {

// Reports a bad sub-command: the message as header, then the lines, then
// "Command : " with the command's name and text (and its place when read from
// a unit, whose error count goes up).
void RefReport(KeyUnit* u, int k, const std::string& header, std::vector<std::string> lines = {});

}  // namespace tarn
