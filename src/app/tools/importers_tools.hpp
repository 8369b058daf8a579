#pragma once
// Registration of the importers tools in the dispatcher's tool table.
namespace tarn {
void RegisterImportersTools();
}  // namespace tarn
