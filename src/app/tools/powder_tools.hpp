#pragma once
// The powder tools: import of a powder pattern with its instrument file,
// the powder keywords of M41 from a batch, and the Le Bail decomposition
// and fit with its profile file, listing and plot.
namespace tarn {

void RegisterPowderTools();

}  // namespace tarn
