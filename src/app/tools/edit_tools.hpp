#pragma once
// The model editors: "New atom" (50201), "Edit atoms" (50403), the export to
// SHELX (52201, 52202) and the batch ".Edit->Atoms"; their registration in
// the dispatcher's tool table.

namespace tarn {

void RegisterEditTools();

}  // namespace tarn
