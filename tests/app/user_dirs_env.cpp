// The application tests keep the program's per-user state (settings,
// history, temporaries) in a scratch folder of this test process: nothing
// reaches the user's own ~/.config or ~/.local/state. Fixtures that need a
// folder of their own set the variables again and restore these.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct ScratchUserDirs {
  std::filesystem::path Root;
  ScratchUserDirs() {
    Root = std::filesystem::temp_directory_path() / ("tarn_xdg_" + std::to_string(::getpid()));
    for (const char* v : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
      setenv(v, (Root / v).c_str(), 1);
    unsetenv("TARNWORKPORTABLE");
  }
  ~ScratchUserDirs() {
    std::error_code ec;
    std::filesystem::remove_all(Root, ec);
  }
};

const ScratchUserDirs kScratch;

}  // namespace
