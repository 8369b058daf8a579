// Gnuplot scripts of plot descriptions.
#include "util/plot_script.hpp"

#include <fmt/format.h>

#include <algorithm>

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
    for (size_t i = 0; i < p.X.size() && i < p.Y.size(); ++i) s += fmt::format("{:.6g} {:.8g}\n", p.X[i], p.Y[i]);
    if (p.X.empty()) s += "0 NaN\n";  // an empty block would end the index count early
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
  s += "set key top right\nset grid\n";
  // Tick marks: short vertical bars in the band of their row.
  std::string plots;
  for (size_t k = 0; k < d.Series.size(); ++k) {
    const auto& p = d.Series[k];
    if (!plots.empty()) plots += ", \\\n     ";
    const std::string src = Quoted(dataFile) + fmt::format(" index {}", k);
    const std::string title = p.Title.empty() ? "notitle" : "title " + Quoted(p.Title);
    switch (p.Style) {
      case PlotStyle::Lines:
        plots += src + " using 1:2 with lines lc rgb " + Quoted(p.Color) + " " + title;
        break;
      case PlotStyle::Points:
        plots += src + " using 1:2 with points pt 7 ps 0.3 lc rgb " + Quoted(p.Color) + " " + title;
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
