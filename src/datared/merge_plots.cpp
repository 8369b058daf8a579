// Plots of the merge and of the intensity statistics.
#include "datared/merge_plots.hpp"

#include <cmath>

namespace tarn {

PlotDesc EM9MergePlot(const EM9MergeSummary& s, const std::string& name) {
  PlotDesc d;
  d.Title = name + ": merge" + (s.Block.empty() ? "" : " of data block " + s.Block);
  d.XLabel = "sin(theta)/lambda (1/A), upper limit of the shell";
  d.YLabel = "Rint, all groups (%)";
  d.Y2Label = "mean I/sigma(I)";
  PlotSeries r{"Rint", {}, {}, PlotStyle::LinesPoints, "red", 1.2};
  PlotSeries q{"I/sigma(I)", {}, {}, PlotStyle::LinesPoints, "blue", 1.2, true};
  for (size_t k = 0; k < s.ShellS.size(); ++k) {
    r.X.push_back(s.ShellS[k]), r.Y.push_back(100. * s.ShellRint[k]);
    q.X.push_back(s.ShellS[k]), q.Y.push_back(s.ShellISig[k]);
  }
  d.Series = {r, q};
  return d;
}

PlotDesc DRWilsonPlot(const IntStatResult& r, const std::string& name) {
  PlotDesc d;
  d.Title = name + ": Wilson plot";
  d.XLabel = "(sin(theta)/lambda)^2 (1/A^2)";
  bool withF = true;
  for (const auto& sh : r.Shell) withF = withF && sh.SumF2 > 0.;
  d.YLabel = withF ? "ln(<I>/sum f^2)" : "ln <I>";
  PlotSeries obs{"shells", {}, {}, PlotStyle::Points, "blue", 1.2};
  for (const auto& sh : r.Shell) {
    if (sh.N == 0 || !(sh.IMean > 0.)) continue;
    obs.X.push_back(sh.S2);
    obs.Y.push_back(std::log(withF ? sh.IMean / sh.SumF2 : sh.IMean));
  }
  d.Series = {obs};
  if (r.Wilson && withF && r.Scale > 0. && !r.Shell.empty()) {
    PlotSeries fit{"ln K - 2B s^2, B = " + std::to_string(r.B).substr(0, 5) + " A^2", {}, {},
                   PlotStyle::Lines, "red"};
    for (const double s2 : {0., r.Shell.back().S2}) {
      fit.X.push_back(s2);
      fit.Y.push_back(std::log(r.Scale) - 2. * r.B * s2);
    }
    d.Series.push_back(fit);
  }
  return d;
}

PlotDesc DRNzPlot(const IntStatResult& r, const std::string& name) {
  PlotDesc d;
  d.Title = name + ": cumulative distribution N(z) of E^2";
  d.XLabel = "z";
  d.YLabel = "N(z)";
  PlotSeries acen{"acentric ideal", {}, {}, PlotStyle::Lines, "red"};
  PlotSeries cen{"centric ideal", {}, {}, PlotStyle::Lines, "blue"};
  for (int k = 0; k <= 50; ++k) {
    const double z = k / 50.;
    acen.X.push_back(z), acen.Y.push_back(1. - std::exp(-z));
    cen.X.push_back(z), cen.Y.push_back(std::erf(std::sqrt(z / 2.)));
  }
  d.Series = {acen, cen};
  PlotSeries oa{"acentric observed", {}, {}, PlotStyle::Points, "red", 1.5};
  PlotSeries oc{"centric observed", {}, {}, PlotStyle::Points, "blue", 1.5};
  for (size_t k = 0; k < r.NzAcentric.size(); ++k) {
    const double z = 0.1 * static_cast<double>(k + 1);
    if (r.NAcentric > 0) oa.X.push_back(z), oa.Y.push_back(r.NzAcentric[k]);
    if (r.NCentric > 0) oc.X.push_back(z), oc.Y.push_back(r.NzCentric[k]);
  }
  if (!oa.X.empty()) d.Series.push_back(oa);
  if (!oc.X.empty()) d.Series.push_back(oc);
  return d;
}

}  // namespace tarn
