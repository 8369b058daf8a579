// Running gnuplot on plot descriptions.
#include "app/plot_run.hpp"

#include <fmt/format.h>

#include "app/settings.hpp"
#include "app/toolkit.hpp"
#include "model/session.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// The text in single quotes for /bin/sh.
std::string Sh(const std::string& s) {
  std::string o = "'";
  for (char c : s) o += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return o + "'";
}

}  // namespace

std::string TarnGnuplotCommand() {
  std::string cmd(Trim(Sess.IniValue[IniGnuplotCommand]));
  if (cmd.empty()) cmd = GetPathTo("gnuplot");
  return cmd;
}

int TarnRunPlot(const PlotDesc& d, const std::string& out) {
  const std::string cmd = TarnGnuplotCommand();
  if (cmd.empty()) {
    Fe().ListingLine("The plotting program gnuplot was not found: no plot was made.");
    return 1;
  }
  const std::string data = out + "_plot.tmp", script = out + "_gp.tmp";
  int err = FeWriteFileAtomic(data, PlotDataText(d)) != 0 ? 1 : 0;
  for (PlotFormat f : {PlotFormat::Svg, PlotFormat::Png}) {
    if (err) break;
    const std::string file = out + (f == PlotFormat::Svg ? ".svg" : ".png");
    if (FeWriteFileAtomic(script, GnuplotScript(d, data, file, f)) != 0 ||
        FeSystem(cmd + " " + Sh(script) + " > /dev/null 2>&1") != 0 || !FeFileExists(file)) {
      Fe().ListingLine(fmt::format("The plot \"{}\" could not be made with \"{}\".", file, cmd));
      err = 1;
    }
  }
  FeDeleteFile(data);
  FeDeleteFile(script);
  return err;
}

}  // namespace tarn
