#pragma once
// A plot described as data (series of points, tick marks, labels, size) and
// its translation into a gnuplot script with the data file it reads. The
// application runs the plotting program; this module only writes text, so
// any tool (powder fits, merging statistics, refinement graphs) can describe
// its plots the same way.
#include <string>
#include <vector>

namespace tarn {

enum class PlotStyle { Lines, Points, Ticks, LinesPoints };
enum class PlotFormat { Svg, Png };

struct PlotSeries {
  std::string Title;             // key text; empty: not in the key
  std::vector<double> X, Y;      // Ticks: X are the positions, Y the row (0, 1, ...)
  PlotStyle Style = PlotStyle::Lines;
  std::string Color = "black";   // gnuplot colour name or "#rrggbb"
  double PointSize = 0.3;        // Points, LinesPoints
  bool Y2 = false;               // against the right-hand axis (PlotDesc::Y2Label)
};

// A text at a point of the plot (atom names on a map section).
struct PlotLabel {
  double X = 0., Y = 0.;
  std::string Text;
};

struct PlotDesc {
  std::string Title, XLabel, YLabel;
  std::string Y2Label;             // the right-hand axis, shown when a series uses it
  int Width = 1200, Height = 800;  // pixels
  bool EqualScale = false;         // one unit is as long on both axes (map sections)
  std::vector<PlotSeries> Series;
  std::vector<PlotLabel> Labels;
  // Ticks are drawn in a band below the lowest value of the other series,
  // each row TickRow high.
  double TickRow = 0.;
};

// The data file text: one block of "x y" lines per series, blocks separated
// by two blank lines (gnuplot's "index"). A point whose X is NaN breaks a
// line there (one blank line).
std::string PlotDataText(const PlotDesc& d);
// The script that draws d from the data file into out in the given format.
std::string GnuplotScript(const PlotDesc& d, const std::string& dataFile, const std::string& out,
                          PlotFormat f);

}  // namespace tarn
