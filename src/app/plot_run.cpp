// Running gnuplot on plot descriptions.
#include "app/plot_run.hpp"

#include <fmt/format.h>

#include "app/settings.hpp"
#include "app/summary.hpp"
#include "app/toolkit.hpp"
#include "model/session.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr std::string_view kNoGnuplot = "The plotting program gnuplot was not found: no plot was made.";

// The text in single quotes for /bin/sh.
std::string Sh(const std::string& s) {
  std::string o = "'";
  for (char c : s) o += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return o + "'";
}

// Draws d into out.svg and out.png with the program cmd; the names of the
// files made are appended to written. Returns the file that failed, or "".
std::string Draw(const std::string& cmd, const PlotDesc& d, const std::string& out,
                 std::vector<std::string>& written) {
  const std::string data = out + "_plot.tmp", script = out + "_gp.tmp";
  std::string failed;
  if (FeWriteFileAtomic(data, PlotDataText(d)) != 0) failed = data;
  for (PlotFormat f : {PlotFormat::Svg, PlotFormat::Png}) {
    if (!failed.empty()) break;
    const std::string file = out + (f == PlotFormat::Svg ? ".svg" : ".png");
    FeDeleteFile(file);
    if (FeWriteFileAtomic(script, GnuplotScript(d, data, file, f)) != 0 ||
        FeSystem(cmd + " " + Sh(script) + " > /dev/null 2>&1") != 0 || !FeFileExists(file))
      failed = file;
    else
      written.push_back(file);
  }
  FeDeleteFile(data);
  FeDeleteFile(script);
  return failed;
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
    Fe().ListingLine(std::string(kNoGnuplot));
    return 1;
  }
  std::vector<std::string> written;
  const std::string failed = Draw(cmd, d, out, written);
  if (failed.empty()) return 0;
  Fe().ListingLine(fmt::format("The plot \"{}\" could not be made with \"{}\".", failed, cmd));
  return 1;
}

std::string TarnStructureName() {
  std::string dir, name;
  FeSplitPath(Sess.fln, dir, name);
  return name;
}

std::vector<std::string> TarnWritePlots(const std::vector<TarnPlotJob>& jobs) {
  std::vector<std::string> written;
  if (jobs.empty()) return written;
  const std::string cmd = TarnGnuplotCommand();
  if (cmd.empty()) {
    Fe().ListingLine(std::string(kNoGnuplot));
    return written;
  }
  for (const auto& j : jobs) {
    const std::string failed = Draw(cmd, j.Plot, j.Out, written);
    if (!failed.empty()) {
      Fe().ListingLine(fmt::format("The plot \"{}\" could not be made with \"{}\"; no further plot was made.",
                                   failed, cmd));
      break;
    }
  }
  if (!written.empty()) {
    std::string names;
    for (const auto& w : written) {
      std::string dir, name;
      FeSplitPath(w, dir, name);
      names += (names.empty() ? "" : ", ") + name;
    }
    Fe().ListingLine("  plots: " + names);
  }
  auto& all = TarnToolResults().Plots;
  all.insert(all.end(), written.begin(), written.end());
  return written;
}

}  // namespace tarn
