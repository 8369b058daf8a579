#pragma once
// Registration of the refine tools in the dispatcher's tool table.
namespace tarn {
void RegisterRefineTools();
}  // namespace tarn
