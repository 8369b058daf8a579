#pragma once
// The refine tools: their registration in the dispatcher's tool table and the
// refinement-commands dialog.
#include <string>

#include "refine/refcommands.hpp"

namespace tarn {

void RegisterRefineTools();

// The settings dialog; returns 1 when the block was rewritten.
int RefSetCommands();
// Pages of the dialog over the edited copy of s; each returns 0 to go on, 1
// when cancelled.
int RefBasicCommands(RefSettings& s);
int RefSelectCommands(RefSettings& s);
int RefRestrainCommands(RefSettings& s);
int RefModulationCommands(RefSettings& s);
int RefPowderCommands(RefSettings& s);
// Editor of the lines of one sub-command kind (k, and k2 when two kinds are
// edited together: equation+eqadhoc, dontuse+useonly). Works on s.EditLines.
void RefEditCommandList(RefSettings& s, const std::string& title, int k, int k2 = 0);

}  // namespace tarn
