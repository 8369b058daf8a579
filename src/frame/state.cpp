#include "frame/state.hpp"

namespace tarn {

FrameState Frame;

}  // namespace tarn
