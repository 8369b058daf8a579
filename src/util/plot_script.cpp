// Gnuplot scripts of plot descriptions.
#include "util/plot_script.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace tarn {

namespace {

// Text in gnuplot's double quotes.
std::string Quoted(const std::string& s) {
  std::string o = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') o += '\\';
    o += c;
  }
  return o + "\"";
}

}  // namespace

std::string PlotDataText(const PlotDesc& d) {
  std::string s;
  for (size_t k = 0; k < d.Series.size(); ++k) {
    const auto& p = d.Series[k];
    if (k > 0) s += "\n\n";
    s += fmt::format("# {}\n", p.Title);
    bool broken = true;  // no blank line first or twice: two would end the block
    size_t written = 0;
    for (size_t i = 0; i < p.X.size() && i < p.Y.size(); ++i) {
      if (std::isnan(p.X[i])) {
        if (!broken) s += "\n";
        broken = true;
        continue;
      }
      s += fmt::format("{:.6g} {:.8g}\n", p.X[i], p.Y[i]);
      broken = false;
      ++written;
    }
    if (written == 0) s += "0 NaN\n";  // an empty block would end the index count early
  }
  return s;
}

std::string GnuplotScript(const PlotDesc& d, const std::string& dataFile, const std::string& out,
                          PlotFormat f) {
  std::string s;
  if (f == PlotFormat::Svg)
    s += fmt::format("set terminal svg size {},{} dynamic background rgb 'white'\n", d.Width, d.Height);
  else
    s += fmt::format("set terminal png size {},{} background rgb 'white'\n", d.Width, d.Height);
  s += "set output " + Quoted(out) + "\n";
  if (!d.Title.empty()) s += "set title " + Quoted(d.Title) + "\n";
  if (!d.XLabel.empty()) s += "set xlabel " + Quoted(d.XLabel) + "\n";
  if (!d.YLabel.empty()) s += "set ylabel " + Quoted(d.YLabel) + "\n";
  bool y2 = false;
  for (const auto& p : d.Series) y2 = y2 || p.Y2;
  if (y2) {
    s += "set ytics nomirror\nset y2tics\n";
    if (!d.Y2Label.empty()) s += "set y2label " + Quoted(d.Y2Label) + "\n";
  }
  if (d.EqualScale) s += "set size ratio -1\n";
  for (const auto& l : d.Labels)
    s += "set label " + Quoted(l.Text) + fmt::format(" at {:.6g},{:.6g} offset 0.6,0.6 front\n", l.X, l.Y);
  s += d.EqualScale ? "set key outside right top\nset grid\n" : "set key top right\nset grid\n";
  // Tick marks: short vertical bars in the band of their row.
  std::string plots;
  for (size_t k = 0; k < d.Series.size(); ++k) {
    const auto& p = d.Series[k];
    if (!plots.empty()) plots += ", \\\n     ";
    const std::string src = Quoted(dataFile) + fmt::format(" index {}", k);
    const std::string title =
        (p.Title.empty() ? "notitle" : "title " + Quoted(p.Title)) + (p.Y2 ? " axes x1y2" : "");
    switch (p.Style) {
      case PlotStyle::Lines:
        plots += src + " using 1:2 with lines lc rgb " + Quoted(p.Color) + " " + title;
        break;
      case PlotStyle::Points:
        plots += src + fmt::format(" using 1:2 with points pt 7 ps {:.3g} lc rgb ", p.PointSize) +
                 Quoted(p.Color) + " " + title;
        break;
      case PlotStyle::LinesPoints:
        plots += src + fmt::format(" using 1:2 with linespoints pt 7 ps {:.3g} lc rgb ", p.PointSize) +
                 Quoted(p.Color) + " " + title;
        break;
      case PlotStyle::Ticks:
        plots += src + fmt::format(" using 1:2:(0):({:.6g}) with vectors nohead lc rgb ", 0.8 * d.TickRow) +
                 Quoted(p.Color) + " " + title;
        break;
    }
  }
  s += "plot " + plots + "\n";
  s += "unset output\n";
  return s;
}

}  // namespace tarn
