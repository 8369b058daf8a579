#include "model/session.hpp"

namespace tarn {

Session Sess;

}  // namespace tarn
