#pragma once
// The contoured section of a Fourier map, described as data
// (util/plot_script.hpp) for the application to draw.
#include <string>
#include <vector>

#include "fourier/fourier.hpp"
#include "util/plot_script.hpp"

namespace tarn {

// Contour lines of a grid of values v (n0 x n1, index i0 fastest) at level,
// as straight segments in grid coordinates (i0, i1): x0 y0 x1 y1 per segment.
// Marching squares; a saddle cell is resolved by the mean of its corners.
std::vector<std::array<double, 4>> FouContourSegments(const std::vector<float>& v, int n0, int n1,
                                                      double level);

// The section of run.Map spanned by map axes 1 and 2 (the "orient" keyword
// chooses the cell axes) through the highest point of the map, in Angstrom
// with the angle between the two axes kept: positive contours blue,
// negative red, at multiples of a tenth of the largest |density|; the atoms
// of st (phase, 1-based) and the peaks of run within maxDist Angstrom of the
// section marked and named. Title and file names go by name.
PlotDesc FouSectionPlot(const FouRunResult& run, const Structure& st, int phase,
                        const std::string& name, double maxDist = 0.6);

}  // namespace tarn
