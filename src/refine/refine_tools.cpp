// Registration of the refine tools in the dispatcher's tool table
// (TarnSetTool of src/frame/actions.hpp); called once at start-up.
#include "refine/refine_tools.hpp"

#include "frame/actions.hpp"

namespace tarn {

void RegisterRefineTools() {}

}  // namespace tarn
