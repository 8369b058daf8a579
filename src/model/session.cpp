#include "model/session.hpp"

#include "model/structure.hpp"

namespace tarn {

Session Sess;
Structure Struct;

}  // namespace tarn
