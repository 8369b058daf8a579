// Registration of the importers tools in the dispatcher's tool table
// (TarnSetTool of src/frame/actions.hpp); called once at start-up.
#include "importers/importers_tools.hpp"

#include "frame/actions.hpp"

namespace tarn {

void RegisterImportersTools() {}

}  // namespace tarn
