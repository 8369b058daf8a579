#pragma once
// Runs the plotting program (gnuplot, "GnuplotCommand" of the settings file,
// else gnuplot found on PATH) on a plot description: out + ".svg" and
// out + ".png" are written; the script and data go to temporary files beside
// them. Returns 0, or 1 with a listing line when the program is missing or fails.
#include <string>

#include "util/plot_script.hpp"

namespace tarn {

// The command line of the plotting program, empty when there is none.
std::string TarnGnuplotCommand();
[[nodiscard]] int TarnRunPlot(const PlotDesc& d, const std::string& out);

}  // namespace tarn
