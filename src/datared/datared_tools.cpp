// Registration of the datared tools in the dispatcher's tool table
// (TarnSetTool of src/frame/actions.hpp); called once at start-up.
#include "datared/datared_tools.hpp"

#include "frame/actions.hpp"

namespace tarn {

void RegisterDataredTools() {}

}  // namespace tarn
