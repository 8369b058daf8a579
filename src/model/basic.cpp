#include "model/basic.hpp"

namespace tarn {

BasicData Basic;

}  // namespace tarn
