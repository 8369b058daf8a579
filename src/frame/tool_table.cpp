// The tool table of the application: every tool of the program is plugged
// into the dispatcher here, so that the frame library itself links no tool.
// A code that is not registered tells the user "This tool is not available
// yet." and the program goes on.
#include "frame/actions.hpp"

namespace tarn {

void TarnRegisterTools() {
  // Listing viewers, recovery of parameter files, the settings dialog and the
  // file editor belong to the frame.
  TarnRegisterFrameTools();
}

}  // namespace tarn
