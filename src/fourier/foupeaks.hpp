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
inline constexpr double FouPeakMargin = 0.5;  // grid steps a peak may lie beyond a bounded box

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

// KoincSimple: do the positions a and b (fractional) coincide under the
// phase's symmetry, i.e. lie closer than FouKoincTol?
bool KoincSimple(const PhaseBasic& ph, const std::array<double, 3>& a,
                 const std::array<double, 3>& b);

// FouGetTbl: the value of a three-dimensional map at grid indices (i, j, k)
// of map axes 1-3 (0-based). Along an axis that covers a whole period the
// indices wrap; a point beyond a bounded axis is summed from the coefficients
// (FouExMap at x = xmin + index dx).
double FouGetTbl(const FouMap& map, const std::vector<FouCoef>& coef, int i, int j, int k);

// Maxima (or minima) of a three-dimensional map, at most nmax, strongest
// first, with duplicates under symmetry removed. Charges are integrated in
// a sphere of radius `intrad` from the coefficients. Along axes that cover a
// whole period the grid wraps; along bounded axes the points one step beyond
// the grid are summed from the coefficients (FouExMap), so the border points
// are searched too (with no coefficients only the inner points are). 1 when
// cancelled.
[[nodiscard]] int FouFindPeaks(const FouMap& map, const std::vector<FouCoef>& coef,
                               const PhaseBasic& ph, bool minima, int nmax, double intrad,
                               std::vector<FouPeak>& out, const FouCancelFn& cancel = {});
// The mean of a superspace map over its internal axes (map axes 4 .. n, one
// period each): the three-dimensional map of the average structure.
FouMap FouMeanMap(const FouMap& map);
// Interprets the string of peak p through the sections of a (3+1)-dimensional
// map: from p.X the nearest maximum of every section within dmax Angstrom is
// followed and the displacements u(x4) fitted by a mean position (which
// replaces p.X) and `harmonic` harmonic waves (p.Wave). The string of an atom
// at x0 with the wave u stands at (x0 + u(t), t + q.u(t)), so the internal
// coordinate of a section point is t = x4 - q.u. 1 when fewer sections than
// unknowns gave a maximum.
[[nodiscard]] int FouPeakWaves(const FouMap& map, const PhaseBasic& ph, int harmonic, double dmax,
                               FouPeak& p);
// Charge integration in an adjusted shape (intmethod 2): the grid points
// within the radius rmax of the peak whose density has the peak's sign and
// whose path of steepest ascent (over the 26 neighbours; descent for minima)
// ends on the peak's grid maximum: the peak's basin, cut at the zero level,
// at the saddles towards other peaks and at rmax.
struct FouIntShape {
  std::vector<std::array<int, 3>> Off;  // grid offsets within rmax, map axis order
  std::array<int, 3> Reach{};           // largest offset along each axis
  double CellVol = 0.;                  // volume of one grid cell, A^3
};
// Offsets within rmax (A) of a grid point of the map and the cell volume.
void foupeakintprolog(const FouMap& map, const PhaseBasic& ph, double rmax, FouIntShape& s);
// The charge (electrons) of peak p in its adjusted shape.
double foupeakintmake(const FouMap& map, const FouIntShape& s, const FouPeak& p);
// Nearest atom of the composite part of the phase (name with symmetry part)
// and its distance, in the part's basis and metric.
void DistForOneAtom(const Structure& st, int phase, const FouPart& part, FouPeak& p);

// The whole peak search after a synthesis: lists, listing, M40 sections.
[[nodiscard]] int FouPeaks(Structure& st, const std::string& fln, int phase, FouRunResult& run);

}  // namespace tarn
