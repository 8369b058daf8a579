#pragma once
// Runs the plotting program (gnuplot, "GnuplotCommand" of the settings file,
// else gnuplot found on PATH) on a plot description: out + ".svg" and
// out + ".png" are written; the script and data go to temporary files beside
// them. Returns 0, or 1 with a listing line when the program is missing or fails.
#include <string>
#include <vector>

#include "util/plot_script.hpp"

namespace tarn {

// The command line of the plotting program, empty when there is none.
std::string TarnGnuplotCommand();
[[nodiscard]] int TarnRunPlot(const PlotDesc& d, const std::string& out);

// The open structure's name (Sess.fln without its directory), for plot titles.
std::string TarnStructureName();

// One plot of a tool: the description and the file name without extension.
struct TarnPlotJob {
  PlotDesc Plot;
  std::string Out;
};
// The plots of one tool run: each drawn as out.svg and out.png. When the
// plotting program is missing or fails, one listing line says so and the
// remaining plots are skipped; the tool goes on. The files written are
// listed in the listing ("Plots: ...") and kept for the run summary.
// Returns the files written.
std::vector<std::string> TarnWritePlots(const std::vector<TarnPlotJob>& jobs);

}  // namespace tarn
