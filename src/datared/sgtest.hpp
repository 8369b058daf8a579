#pragma once
// The space-group test on reflections measured in a cell: lattice system of
// the cell, centring from the reflections it makes absent, Laue group from
// the agreement of the reflections it makes equivalent, and the space groups
// of that centring and Laue class ranked by the reflections they make absent
// and by the intensity statistics. Only settings in the axes of the given
// cell are considered (no reduced-cell or supercell search).
#include <string>
#include <vector>

#include "datared/intensity_stat.hpp"
#include "symmetry/spgroup.hpp"
#include "symmetry/ssgroup.hpp"

namespace tarn {

struct SgTestSettings {
  double TolCell = 0.02;  // Angstrom, equality of cell lengths
  double TolAngle = 0.2;  // degrees, equality of angles with 90 and 120
  double LimCentr = 10.;  // largest ave(I/sig(I)) of reflections absent by centring
  double LimOther = 5.;   // largest ave(I/sig(I)) of reflections absent by other elements
  double ObsLimit = 3.;   // I/sig(I) above which a reflection counts as observed
  double TolTwin = 0.02;  // pseudo-symmetry of the metric: relative change of the
                          // lengths, change of the cosines of the angles
};

// Statistics of the reflections that a symmetry element makes absent.
struct SgAbsStat {
  int NObs = 0, NAll = 0;  // observed / all absent reflections
  double AveIs = 0.;       // ave(I/sig(I)) over them
};

struct SgCandidate {
  int Entry = -1;      // table entry
  std::string Symbol;  // short symbol
  int Number = 0;
  bool Centro = false;
  int Order = 0;    // operators including centring
  SgAbsStat Abs;    // absent besides the centring
  double Fom = 0.;  // figure of merit, larger is better
};

// A cell of the data's lattice whose metric has the symmetry of a crystal
// system (within the tolerances).
struct SgCellCandidate {
  std::string System;  // "monoclinic" ... "cubic"
  Mat3 P{};            // its axes in those of the data: columns a', b', c' (integers)
  double Cell[6] = {};
  int Det = 1;  // volume relative to that of the data's cell
  bool Higher = false;  // of a higher system than the metric of the data's own axes
};

struct SgTestResult {
  std::string System;   // "triclinic" ... "cubic"
  char Centring = 'P';  // chosen lattice letter (T for R reverse)
  std::vector<std::pair<char, SgAbsStat>> CentrStat;
  std::vector<SgCellCandidate> Cells;  // DRSGTestMetricCells of the data's cell
  std::vector<Mat3> Twins;             // twin matrices the metric suggests (DRSGTestTwinMatrices)
  std::vector<Vec3> XCentr;  // further centring vectors the data obey (DRSGTestCentrRepeat)
  std::string Laue;          // chosen Laue group, e.g. "mmm"
  std::string LaueGroup;     // its symmorphic group in the cell's axes, e.g. "Pmmm"
  std::vector<std::pair<std::string, double>> LaueRint;  // tested groups and their Rint
  double E2m1 = 0.;                                      // <|E^2-1|> of the acentric-assumed data
  bool E2m1Conclusive = true;  // false: too few atoms or too far from both values, not used
  std::vector<SgCandidate> Cand;                         // fitting candidates, best first
  std::vector<std::string> Listing;
};

// DRSGTest: runs the test on refl (indices in the given cell) with the cell,
// the table of space groups and the intensity statistics of phase (a phase
// with the cell, P1, and the composition when known). Returns 1 with a
// listing line when no candidate fits (Cand empty).
[[nodiscard]] int DRSGTest(const std::vector<IntStatRefl>& refl, const PhaseBasic& phase,
                           const SgTable& tab, const SgTestSettings& set, SgTestResult& out);

// A reflection of (3+1)-dimensional data: h k l m.
struct SsgTestRefl {
  int H[4] = {};
  double I = 0., SigI = 0.;
};

struct SsgCandidate {
  int Entry = -1;      // entry of the superspace table
  std::string Symbol;  // symbol in the setting of the table
  std::string Axes;    // that setting's axes in the data's, e.g. "c,a,b"
  SgAbsStat Abs;       // reflections the group makes absent (centring included)
  double Fom = 0.;     // figure of merit, larger is better
};

// DRSGTestSSG4: superspace candidates of modulated data (one modulation
// vector q, components in the reciprocal axes of the data's cell). For each
// permutation of the axes (the tables give each group with q in one
// direction) the (3+1)-dimensional groups whose modulation vector has the
// form of q and whose point group has the Laue class `main` chose are ranked
// by the main and satellite reflections they make absent, weighted as the
// space groups are by DRSGTest (<|E^2-1|> of `main`). Candidates whose absent
// reflections have ave(I/sig(I)) above set.LimOther are left out. Listing
// lines go to `lines`; returns 1 when no candidate fits.
[[nodiscard]] int DRSGTestSSG4(const std::vector<SsgTestRefl>& refl, const Vec3& q,
                               const SgTable& tab, const SsgTable& stab, const SgTestResult& main,
                               const SgTestSettings& set, std::vector<SsgCandidate>& out,
                               std::vector<std::string>& lines);

// DRSGTestReducedCell: a reduced basis of the lattice of `cell` (no shorter
// vector is reached by adding or subtracting the others), shortest first,
// right-handed; columns in the data's axes.
Mat3 DRSGTestReducedCell(const double* cell);

// DRSGTestMetricCells: from the reduced cell, the cells of up to four times
// its volume spanned by its vectors and their sums and differences
// whose metric is that of a crystal system: per system (monoclinic to cubic)
// the smallest, highest system first. Reports cells the data's own axes may
// hide (a centred lattice given in a primitive cell, a wrong choice of axes).
std::vector<SgCellCandidate> DRSGTestMetricCells(const double* cell, const SgTestSettings& set);

// DRSGTestTwinMatrices: rotations (x' = R x, integer entries, det 1) that
// keep the metric of `cell` within set.TolTwin but are not in the Laue
// group of symbol `laueGroup` (e.g. "P12/m1"): one per coset of the Laue
// group. Twinning by (pseudo-)merohedry makes these the twin matrices.
std::vector<Mat3> DRSGTestTwinMatrices(const double* cell, const SgTable& tab,
                                       const std::string& laueGroup, const SgTestSettings& set);

// DRSGTestCentrRepeat: further centring vectors (halves and thirds of the
// cell) beyond the lattice vt whose added absences the data obey (as a
// centring is accepted), each closed into the lattice before the next is
// tried. A non-empty result says the cell may be a supercell.
std::vector<Vec3> DRSGTestCentrRepeat(const std::vector<IntStatRefl>& refl,
                                      const std::vector<Vec3>& vt, const SgTestSettings& set);

// The axes of P (columns) in those of the data, e.g. "a+b,-a+b,c", "1/2a,b,c".
std::string DRSGTestAxesText(const Mat3& p);

// DRSGTestSubCell: the cell of the lattice spanned by the data's axes and
// the X centring vectors x (the subcell of a supercell), reduced; columns in
// the data's axes (fractional entries).
Mat3 DRSGTestSubCell(const std::vector<Vec3>& x);

// DRSGTestToCell: reflections and phase moved into the cell with axes P
// (columns, in the data's axes): h' = P^T h, G' = P^T G P (cell, metric
// tensors, volume). Reflections without integral indices in the new cell
// (absent by an X centring) are left out; returns how many.
int DRSGTestToCell(const Mat3& p, std::vector<IntStatRefl>& refl, PhaseBasic& phase);

// DRSGTestCentr: absence statistics of the reflections a centring makes absent.
SgAbsStat DRSGTestCentr(const std::vector<IntStatRefl>& refl, char lattice, double obsLimit);

}  // namespace tarn
