#pragma once
// The plots of the merge and of the intensity statistics, described as data
// (util/plot_script.hpp); the application draws them.
#include <string>

#include "datared/createm90.hpp"
#include "datared/intensity_stat.hpp"
#include "util/plot_script.hpp"

namespace tarn {

// Rint (all groups, percent) and the mean I/sigma of the unique reflections
// (right-hand axis) against sin(theta)/lambda, by the shells of the merge.
PlotDesc EM9MergePlot(const EM9MergeSummary& s, const std::string& name);
// The Wilson plot: ln(<I>/sum f^2) against (sin(theta)/lambda)^2 by shells with
// the fitted line ln K - 2 B s^2 (ln <I> alone when the composition is unknown).
PlotDesc DRWilsonPlot(const IntStatResult& r, const std::string& name);
// The cumulative distribution N(z) of E^2, acentric and centric, with the
// curves of the ideal distributions 1 - exp(-z) and erf(sqrt(z/2)).
PlotDesc DRNzPlot(const IntStatResult& r, const std::string& name);

}  // namespace tarn
