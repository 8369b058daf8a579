#pragma once
// The distance tool's registration in the dispatcher's tool table.

namespace tarn {

void RegisterDistTools();

}  // namespace tarn
