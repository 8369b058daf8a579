// Plots of a refinement.
#include "refine/refine_plots.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace tarn {

namespace {

// The straight line y = x from lo to hi.
PlotSeries Diagonal(double lo, double hi) {
  return {"y = x", {lo, hi}, {lo, hi}, PlotStyle::Lines, "red"};
}

}  // namespace

double RefNormalQuantile(double p) {
  // Phi(x) = erfc(-x/sqrt 2)/2 increases with x: bisection to double precision.
  double lo = -40., hi = 40.;
  for (int k = 0; k < 100 && hi - lo > 1e-12; ++k) {
    const double m = 0.5 * (lo + hi);
    (0.5 * std::erfc(-m / std::sqrt(2.)) < p ? lo : hi) = m;
  }
  return 0.5 * (lo + hi);
}

PlotDesc RefFoFcPlot(const RefPlotData& d, const std::string& name) {
  PlotDesc p;
  p.Title = name + ": Fo^2 against Fc^2";
  p.XLabel = "Fc^2";
  p.YLabel = "Fo^2";
  PlotSeries s{"reflections", d.Fc2, d.Fo2, PlotStyle::Points, "blue", 0.4};
  double lo = 0., hi = 0.;
  for (size_t k = 0; k < d.Fo2.size() && k < d.Fc2.size(); ++k) {
    lo = std::min({lo, d.Fo2[k], d.Fc2[k]});
    hi = std::max({hi, d.Fo2[k], d.Fc2[k]});
  }
  p.Series = {s, Diagonal(lo, hi)};
  return p;
}

PlotDesc RefNormalProbabilityPlot(const RefPlotData& d, const std::string& name) {
  PlotDesc p;
  p.Title = name + ": normal probability plot of the weighted residuals";
  p.XLabel = "expected (standard normal quantile)";
  p.YLabel = "observed sqrt(w) (yo - yc), in increasing order";
  std::vector<double> r = d.WRes;
  std::sort(r.begin(), r.end());
  PlotSeries s{"reflections", {}, r, PlotStyle::Points, "blue", 0.4};
  const double n = static_cast<double>(r.size());
  for (size_t i = 0; i < r.size(); ++i) s.X.push_back(RefNormalQuantile((static_cast<double>(i) + 0.5) / n));
  const double e = r.empty() ? 1. : std::max(std::abs(s.X.front()), std::abs(s.X.back()));
  p.Series = {s, Diagonal(-e, e)};
  return p;
}

PlotDesc RefPowderFitPlot(const PwdPatternData& p, const std::string& name, int kpwd) {
  PlotDesc d;
  d.Title = fmt::format("{}: powder block {}", name, kpwd);
  d.XLabel = p.Tof ? "TOF (us)" : "2theta (deg)";
  d.YLabel = "Intensity";
  PlotSeries obs{"observed", {}, {}, PlotStyle::Points, "red"};
  PlotSeries calc{"calculated", {}, {}, PlotStyle::Lines, "black"};
  PlotSeries diff{"difference", {}, {}, PlotStyle::Lines, "blue"};
  const size_t n = std::min({p.X.size(), p.Yo.size(), p.Yc.size()});
  auto used = [&](size_t i) { return p.Use.size() < n || p.Use[i]; };
  double ymin = 1e300, ymax = -1e300, dmax = 0.;
  for (size_t i = 0; i < n; ++i)
    if (used(i)) {
      ymin = std::min({ymin, p.Yo[i], p.Yc[i]});
      ymax = std::max({ymax, p.Yo[i], p.Yc[i]});
      dmax = std::max(dmax, std::abs(p.Yo[i] - p.Yc[i]));
    }
  if (ymin > ymax) ymin = ymax = 0.;
  const double base = ymin - dmax;  // the difference curve's zero
  for (size_t i = 0; i < n; ++i)
    if (used(i)) {
      obs.X.push_back(p.X[i]), obs.Y.push_back(p.Yo[i]);
      calc.X.push_back(p.X[i]), calc.Y.push_back(p.Yc[i]);
      diff.X.push_back(p.X[i]), diff.Y.push_back(base + p.Yo[i] - p.Yc[i]);
    }
  d.Series = {obs, calc, diff};
  d.TickRow = 0.04 * std::max(ymax - base + dmax, 1.);
  const char* colors[] = {"dark-green", "magenta", "orange", "brown"};
  for (size_t ph = 0; ph < p.Phases.size(); ++ph) {
    PlotSeries t{p.Phases.size() > 1 ? p.Phases[ph].Name : "reflections", {}, {}, PlotStyle::Ticks, colors[ph % 4]};
    const double y = base - dmax - (static_cast<double>(ph) + 1.) * d.TickRow;
    for (const auto& r : p.Refl)
      if (r.Phase == static_cast<int>(ph)) t.X.push_back(r.Pos[0]), t.Y.push_back(y);
    d.Series.push_back(t);
  }
  return d;
}

}  // namespace tarn
