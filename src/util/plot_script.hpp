#pragma once
// A plot described as data (series of points, tick marks, labels, size) and
// its translation into a gnuplot script with the data file it reads. The
// application runs the plotting program; this module only writes text, so
// any tool (powder fits, merging statistics, refinement graphs) can describe
// its plots the same way.
#include <string>
#include <vector>

namespace tarn {

enum class PlotStyle { Lines, Points, Ticks };
enum class PlotFormat { Svg, Png };

struct PlotSeries {
  std::string Title;             // key text; empty: not in the key
  std::vector<double> X, Y;      // Ticks: X are the positions, Y the row (0, 1, ...)
  PlotStyle Style = PlotStyle::Lines;
  std::string Color = "black";   // gnuplot colour name or "#rrggbb"
};

struct PlotDesc {
  std::string Title, XLabel, YLabel;
  int Width = 1200, Height = 800;  // pixels
  std::vector<PlotSeries> Series;
  // Ticks are drawn in a band below the lowest value of the other series,
  // each row TickRow high.
  double TickRow = 0.;
};

// The data file text: one block of "x y" lines per series, blocks separated
// by two blank lines (gnuplot's "index").
std::string PlotDataText(const PlotDesc& d);
// The script that draws d from the data file into out in the given format.
std::string GnuplotScript(const PlotDesc& d, const std::string& dataFile, const std::string& out,
                          PlotFormat f);

}  // namespace tarn
