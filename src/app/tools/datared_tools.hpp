#pragma once
// Registration of the datared tools in the dispatcher's tool table.
namespace tarn {
void RegisterDataredTools();
}  // namespace tarn
