// The program: the terminal front-end, the tool table, and the start-up
// sequence that runs a batch or the event loop.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/actions.hpp"
#include "app/startup.hpp"
#include "app/toolkit_term.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  // Listings go through $PAGER only when a person reads them on a terminal.
  tarn::FeTerminalToolkit toolkit(std::cin, std::cout, isatty(STDOUT_FILENO) != 0);
  // A progress bar redraws its line: on a terminal only, never into a pipe.
  toolkit.SetProgressBar(isatty(STDOUT_FILENO) != 0);
  tarn::FeSetToolkit(&toolkit);
  tarn::TarnRegisterTools();
  int status = tarn::TarnMain(args);
  tarn::FeSetToolkit(nullptr);
  return status;
}
