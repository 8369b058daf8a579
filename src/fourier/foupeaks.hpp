#pragma once
// Peak search of a Fourier map: candidates on the grid, parabolic refinement
// of their positions, removal of symmetry-equivalent duplicates, the bounded
// list of the strongest peaks, charge integration and the nearest atoms (the
// peak sections kept with M40: model/m40_peaks.hpp).
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "fourier/fourier.hpp"

namespace tarn {

inline constexpr double FouKoincTol = 0.45;  // peaks closer than this (A) coincide

// Sets `positive` and `negative` of the command values when they are -333:
// 50 for Patterson-type maps and the shape function; otherwise from the
// expected atoms of the asymmetric part (formula x Z / symmetry) less those
// present (types 4, 5: non-hydrogen atoms + 10); negative 10 for X-rays,
// else equal to positive; both at most 3000.
void FouDefaultPeaks(const Structure& st, int phase, int mapType, FouSettings& s);

// Parabola through (x0 - h, ym), (x0, y0), (x0 + h, yp): its extremum x, y.
void vrchol(double x0, double h, double ym, double y0, double yp, double& x, double& y);

// Inserts p into `list` (strongest first by Height) holding at most nmax
// peaks; a peak weaker than all held peaks of a full list is discarded.
void FouInclude(std::vector<FouPeak>& list, int nmax, const FouPeak& p);

// The shortest distance (A) between fractional positions a and b under the
// phase's operators, centring vectors and lattice translations; op, centring
// (0-based) and translation of the image of b that is nearest.
double FouSymmDist(const PhaseBasic& ph, const std::array<double, 3>& a,
                   const std::array<double, 3>& b, int* op = nullptr, int* centr = nullptr,
                   std::array<int, 3>* trans = nullptr);

// Maxima (or minima) of a three-dimensional map, at most nmax, strongest
// first, with duplicates under symmetry removed. Charges are integrated in
// a sphere of radius `intrad` from the coefficients. 1 when cancelled.
[[nodiscard]] int FouFindPeaks(const FouMap& map, const std::vector<FouCoef>& coef,
                               const PhaseBasic& ph, bool minima, int nmax, double intrad,
                               std::vector<FouPeak>& out, const FouCancelFn& cancel = {});
// Nearest atom of the phase (name with symmetry part) and its distance.
void DistForOneAtom(const Structure& st, int phase, FouPeak& p);

// The whole peak search after a synthesis: lists, listing, M40 sections.
[[nodiscard]] int FouPeaks(Structure& st, const std::string& fln, int phase, FouRunResult& run);

}  // namespace tarn
