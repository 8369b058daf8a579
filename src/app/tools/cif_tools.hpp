#pragma once
// The CIF tools' registration in the dispatcher's tool table.

namespace tarn {

void RegisterCifTools();

}  // namespace tarn
