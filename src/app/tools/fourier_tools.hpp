#pragma once
// The Fourier tools: their registration in the dispatcher's tool table.

namespace tarn {

void RegisterFourierTools();

}  // namespace tarn
