// The tool table of the application: every tool of the program is plugged
// into the dispatcher here, so that the frame library itself links no tool.
// A code that is not registered tells the user "This tool is not available
// yet." and the program goes on.
#include <string>
#include <vector>

#include "frame/actions.hpp"
#include "model/basic.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"

namespace tarn {

void TarnRegisterTools() {
  // Listing viewers, recovery of parameter files, the settings dialog and the
  // file editor belong to the frame.
  TarnRegisterFrameTools();

  // Readers of the structure's files, run when a structure is opened and
  // after every action for the files that changed.
  TarnSetReader(ReaderM50, [](const std::string& path) { return iom50(M50Read, path); });
  TarnSetReader(ReaderM40, [](const std::string& path) { return iom40(M40Read, path); });
  // The phase and data-block lists of the main window.
  TarnSetListsHook([](std::vector<std::string>& phases, std::vector<std::string>& blocks) {
    for (const auto& p : Basic.Phase) phases.push_back(p.Name);
    for (const auto& b : Basic.DatBlock) blocks.push_back(b.Name);
  });
}

}  // namespace tarn
