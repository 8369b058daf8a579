#pragma once
// The plots of a refinement, described as data (util/plot_script.hpp): Fo^2
// against Fc^2, the normal probability plot of the weighted residuals and the
// fit of a powder pattern.
#include <string>

#include "powder/lebail.hpp"
#include "refine/refine.hpp"
#include "util/plot_script.hpp"

namespace tarn {

// Fo^2 against Fc^2 with the line Fo^2 = Fc^2.
PlotDesc RefFoFcPlot(const RefPlotData& d, const std::string& name);
// The weighted residuals in increasing order against the quantiles of the
// standard normal distribution expected for them, Phi^-1((i - 1/2)/n)
// (Abrahams & Keve, Acta Cryst. A27 (1971) 157), with the line y = x of
// normally distributed residuals of unit variance.
PlotDesc RefNormalProbabilityPlot(const RefPlotData& d, const std::string& name);
// The fit of powder pattern kpwd (1-based among the powder blocks): observed
// (points), calculated and difference (lines, the difference below the
// pattern) on the used points, and a row of reflection ticks per phase.
PlotDesc RefPowderFitPlot(const PwdPatternData& p, const std::string& name, int kpwd);
// Phi^-1(p), the quantile of the standard normal distribution, 0 < p < 1.
double RefNormalQuantile(double p);

}  // namespace tarn
