#pragma once
// The refine tools: their registration in the dispatcher's tool table and the
// refinement-commands dialog.
#include <string>

namespace tarn {

void RegisterRefineTools();

// The settings dialog; returns 1 when the block was rewritten.
int RefSetCommands();
// Pages of the dialog; each returns 0 to go on, 1 when cancelled.
int RefBasicCommands();
int RefSelectCommands();
int RefRestrainCommands();
int RefModulationCommands();
int RefPowderCommands();
// Editor of the lines of one sub-command kind (k, and k2 when two kinds are
// edited together: equation+eqadhoc, dontuse+useonly). Works on Ref.EditLines.
void RefEditCommandList(const std::string& title, int k, int k2 = 0);

}  // namespace tarn
