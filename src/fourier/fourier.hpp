#pragma once
// Fourier synthesis: maps of electron density, difference density, Patterson
// function and shape function from the coefficient file ".m80" written by the
// refinement (or, for the Patterson map, from M90), on a regular grid over a
// part of the (super)cell, stored in the map file ".m81" with the listing
// ".fou"; then the peak search (foupeaks.hpp).
//
// Conventions. F(h) = sum_j f_j exp(+2 pi i h.x_j) (the refinement's A + iB),
// so rho(x) = 1/V sum_h F(h) exp(-2 pi i h.x). The coefficients are kept for
// one half of reciprocal space only (the first nonzero index in map axis order
// positive) as C = 2 F / V with the origin term halved, so that
//   rho(x) = sum_half Re[C exp(-2 pi i h.x)]
//          = sum_half C_re cos(2 pi h.x) + C_im sin(2 pi h.x)   (e / A^3).
#include <array>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/m40_peaks.hpp"
#include "model/keys.hpp"
#include "model/structure.hpp"

namespace tarn {

// ---- the "fourier" command block ----------------------------------------------------

inline constexpr int FouNInt = 20;     // keywords 1..20 integer (14..20 placeholders)
inline constexpr int FouNReal = 20;    // keywords 21..40 real (29..40 placeholders)
inline constexpr int FouNKeys = 60;    // 41..53 special, 54..60 placeholders
inline constexpr int FouUnset = -333;  // "derive" / "use the default"
inline constexpr int FouMaxPeaks = 3000;

enum FouKw : int {
  FkHarmonic = 1,
  FkAddBord,
  FkMapType,
  FkOrient,
  FkPositive,
  FkNegative,
  FkCMethod,
  FkPeaks,
  FkSubsys,
  FkTMethod,
  FkWeight,
  FkUseSnLim,
  FkIntMethod,
  FkSnlMn = 21,
  FkSnlMx,
  FkCutting,
  FkStep,
  FkUIso,
  FkBIso,
  FkDMax,
  FkIntRad,
  FkXLim = 41,   // xlim, ylim, zlim: 41..43
  FkX1Lim = 44,  // x1lim .. x6lim: 44..49
  FkCenter = 50,
  FkScope,
  FkRefStr,
  FkDatBlocks
};

// Map types.
enum FouMapType : int {
  MapPatterson = 1,
  MapPattersonCalc,
  MapPattersonDiff,
  MapFobs,
  MapFcalc,
  MapDiff,
  MapMultDyn,
  MapMultStat,
  MapShape,
  MapDiffRef
};
inline constexpr int FouCMethodBL = 1;   // modified Beevers-Lipson summation
inline constexpr int FouCMethodFFT = 2;  // fast Fourier transform

struct FouSettings {
  KeyTable Table;                  // simple keywords (values of the last read)
  std::array<double, 6> LimMin{};  // limits of cell axes 1..6 (fractions); < -330: not given
  std::array<double, 6> LimMax{};
  std::array<double, 6> LimStep{};
  std::string Center = "[nic]";  // atom names or three coordinates; "[nic]": no centre
  std::array<double, 3> Scope{0.5, 0.5, 0.5};  // box around the centre, Angstrom
  std::string RefStr;                          // reference structure of map type 10
  std::vector<int> DatBlocks;                  // 1-based data blocks combined; empty: all
  int I(int k) const { return Table.Int(k); }
  double R(int k) const { return Table.Real(k); }
  bool HasCenter() const { return Center != "[nic]"; }
};

std::span<const KeyDef> FouKeyDefs();
// Defaults: table values, limits not given, no centre, scope 0.5 A.
void DefaultFourier(FouSettings& s);
// Reads the "fourier" block of the unit after DefaultFourier; error = 1 when
// anything was reported.
void NactiFourier(KeyUnit& u, FouSettings& s, int& error);
// The same from fln.m50 (its blocks), or fln.l51 when M50 is absent; with a
// listing the keyword lines are echoed into it between "=>" and "<=".
void NactiFourier(const std::string& fln, FouSettings& s, int& error,
                  std::vector<std::string>* listing = nullptr);
// The block's lines from the current settings (header, special lines, the
// simple keywords that differ from their defaults, "end fourier"). phaseName
// is put in the header when not empty; nDim and nDatBlocks decide which
// special lines are written.
std::vector<std::string> FouBlockLines(const FouSettings& s, const std::string& phaseName, int nDim,
                                       int nDatBlocks);
// Writes the block into fln.l51 and fln.m50 (the open structure).
[[nodiscard]] int FouRewriteCommands(const FouSettings& s);

// Title of a map type (for type 10 the reference structure refStr), "" when
// the type is unknown.
std::string FouMapTitle(int mapType, const std::string& refStr = "");

// ---- grid ---------------------------------------------------------------------------------

// Grid in map axis order: map axis i (0-based) is cell axis Order[i] (1-based).
struct FouGrid {
  int NDim = 3;
  std::array<int, 6> N{1, 1, 1, 1, 1, 1};
  std::array<double, 6> XMin{}, XMax{}, Dx{1, 1, 1, 1, 1, 1};
  std::array<int, 6> Order{1, 2, 3, 4, 5, 6};
  bool Fft = false;  // axes 1 and 2 cover the whole period (FFT lengths)
  long long PerSection() const { return static_cast<long long>(N[0]) * N[1]; }
  long long Sections() const { return static_cast<long long>(N[2]) * N[3] * N[4] * N[5]; }
  long long Points() const { return PerSection() * Sections(); }
  double X(int axis, int k) const { return XMin[axis] + k * Dx[axis]; }  // k 0-based
};

// Default box of cell axes 1..3 (fractions, a box that holds an asymmetric
// part of the cell) from the symmetry operators and centring vectors.
void FouDefLimits(const PhaseSymmetry& ps, std::array<double, 3>& lo, std::array<double, 3>& hi);
// Decodes "orient" (-333: natural order) into Order; 1 when a digit is < 1,
// > nDim, repeated, or the count is not nDim.
[[nodiscard]] int FouSetOrder(int orient, int nDim, std::array<int, 6>& order);

// ---- composite parts ------------------------------------------------------------------------

// A composite part (subsystem) as its map sees it. Its superspace coordinates
// are X_part = W X, its indices h_part = h W^-1; Phase is the phase with the
// part's cell (metric tensors, volume), modulation vectors and operators
// (W R W^-1, W t; centring vectors W c). Without a W matrix (or with the
// identity) Phase is the phase itself.
struct FouPart {
  int Part = 1;                   // 1-based
  bool HasW = false;              // W differs from the identity
  std::array<double, 36> HMat{};  // W^-1, NDim x NDim row-major: h_part = h HMat
  PhaseBasic Phase;
};
// The part `part` (1-based) of phase ph; 1 with the reason in why when its W
// matrix is missing, of the wrong size or singular.
[[nodiscard]] int FouPartPhase(const PhaseBasic& ph, int part, FouPart& out, std::string& why);
// Indices h (reference basis, nDim used) into the part's basis, rounded.
void FouPartIndices(const FouPart& part, int nDim, std::array<int, 6>& h);

// ---- coefficients -------------------------------------------------------------------------

// One unique coefficient: indices in map axis order, C = 2F/V (origin halved).
struct FouCoef {
  std::array<int, 6> H{};
  double Re = 0., Im = 0.;
};

// One reflection of the coefficient file (or M90) as the synthesis takes it.
struct FouRefl {
  std::array<int, 6> H{};  // cell axis order
  int Block = 1;
  double Fo = 0., SigFo = 0.;      // before the twin correction
  double FoTw = 0., SigFoTw = 0.;  // after it
  double Fc = 0., A = 0., B = 0.;
  double SinThL = 0.;
};

// The coefficient (re, im) of a reflection by map type with its s.u. and
// magnitude (before weighting): see FouCoefOf.
struct FouRawCoef {
  double Re = 0., Im = 0., Sig = 0., Mag = 0.;
};
FouRawCoef FouCoefOf(int mapType, double fo, double sigFo, const FouRefl& r);
// Weight 1 - sig^2/(mag^2 + sig^2); 1 when sig = 0; 0 when mag = 0 and sig > 0.
double FouWeight(double mag, double sig);

// Expands the reflections' coefficients by the operators of ps into one half
// of reciprocal space (first nonzero index in map order positive), multiplied
// by 2/V, equivalents averaged, the origin term halved. raw[k] belongs to
// refl[k] (indices in cell order). With `magnitudes` (Patterson-type and
// shape maps) the coefficients are taken without the operators' phase shifts.
std::vector<FouCoef> FouExpand(const std::vector<FouRefl>& refl, const std::vector<FouRawCoef>& raw,
                               const PhaseSymmetry& ps, const FouGrid& g, double volume,
                               bool magnitudes, bool& satellites);

// ---- summation and map ----------------------------------------------------------------------

struct FouMap {
  FouGrid Grid;
  int MapType = MapFobs;
  int Code = 1;             // 10 (phase - 1) + composite part
  bool Satellites = false;  // coefficients with nonzero satellite indices contributed
  int PhaseInt = 0;         // further per-phase integer of the header (not used by readers)
  std::vector<float> Rho;   // section by section, map axis 1 fastest
  float Max = 0.f, Min = 0.f;
  double Rms = 0.;  // root mean square of the map values
  float At(long long i, long long j, long long sec) const {
    return Rho[static_cast<size_t>((sec * Grid.N[1] + j) * Grid.N[0] + i)];
  }
};

// Cancellation of a summation (checked once per section); may be empty.
using FouCancelFn = std::function<bool()>;
// The map on grid g from the unique half coefficients: Beevers-Lipson
// summation, or with g.Fft the transform of every section along axes 1 and 2.
// 1 when cancelled.
[[nodiscard]] int FouSynthesis(const FouGrid& g, const std::vector<FouCoef>& c, FouMap& map,
                               const FouCancelFn& cancel = {});
// rho at one point (map axis order), by direct summation.
double FouExMap(const std::vector<FouCoef>& c, int nDim, const double* x);
// Max, min and rms of map.Rho.
void FouMapStats(FouMap& map);

// Map file ".m81": records of max(n1 n2, 36) four-byte words (little-endian):
// the header (36 words), one record per section, a record with max and min.
inline constexpr int FouM81MinRecord = 36;
[[nodiscard]] int FouWriteM81(const std::string& path, const FouMap& map);
// Reads a map file; on failure reports the OpenMaps message and returns 1.
[[nodiscard]] int FouReadM81(const std::string& path, FouMap& map);

// ---- the tool --------------------------------------------------------------------------------

// What a run leaves behind for its caller and the tests.
struct FouRunResult {
  FouMap Map;
  std::vector<FouCoef> Coef;
  std::vector<std::string> Listing;
  int NRefl = 0;    // reflections used
  FouSettings Set;  // the "fourier" block as read for this run
  FouPart Part;     // the composite part mapped (cell, symmetry, index matrix)
  FouPeakLists Peaks;  // the peaks found (empty when the search did not run)
};

// Preparation: commands, coefficient file (M90 for map type 1 without
// ".m80"), grid, coefficients, listing header. phase is 1-based.
[[nodiscard]] int FouPrelim(const Structure& st, const std::string& fln, int phase,
                            FouRunResult& run);
// The whole tool on structure st with files fln.*: writes fln.m81, the
// listing fln.fou and, when the peak search runs, the peaks into fln.m40.
[[nodiscard]] int Fourier(Structure& st, const std::string& fln, int phase, FouRunResult& run);
[[nodiscard]] int Fourier(Structure& st, const std::string& fln, int phase = 1);

// The residual density that reports quote: maximum, minimum and rms (e/A^3)
// of the unweighted difference map (F(obs) - F(calc), weight 0) over the
// whole cell on the grid of step FouReportStep (FFT), from fln.m80 of the
// last refinement, whatever the "fourier" block says. 1 when there is no
// coefficient file or the map cannot be made.
inline constexpr double FouReportStep = 0.1;  // Angstrom
[[nodiscard]] int FouResidualDensity(const Structure& st, const std::string& fln, int phase,
                                     std::array<double, 3>& rho);

namespace foumsg {
inline constexpr std::string_view Header = "Fourier";
inline constexpr std::string_view Heading = "Program for n-dimensional Fourier synthesis";
inline constexpr std::string_view BadM40 = "file M40 isn't correct.";
inline constexpr std::string_view NoM80a = "The M80 file doesn't exist, first you have to";
inline constexpr std::string_view NoM80b = "run REFINE.";
inline constexpr std::string_view WrongMapType = "Wrong map type";
inline constexpr std::string_view WrongOrient = "Wrong orientation";
inline constexpr std::string_view BadLimits = "Incorrect limits for ";
inline constexpr std::string_view TypeOfMap = "Type of map : ";
inline constexpr std::string_view WillPerform = "The calculation will performed";
inline constexpr std::string_view ByFft = "by FFT method";
inline constexpr std::string_view ByBL = " by modified Beevers-Lipson algorithm";
inline constexpr std::string_view Twinned = "F(obs) will be corrrected for twinning";
inline constexpr std::string_view TwinSub = "by substracting of F(calc)";
inline constexpr std::string_view TwinRatio = "by in ratio of F(calc)";
inline constexpr std::string_view MaxDensity = "Maximal density : ";
inline constexpr std::string_view MinDensity = ", minimal density : ";
inline constexpr std::string_view Progress = "Fourier summation";
inline constexpr std::string_view CancelAsk = "Do you really want to cancel the Fourier summation?";
inline constexpr std::string_view Multipole =
    "The multipole deformation maps need multipole parameters, which the model does not have.";
inline constexpr std::string_view NoCoef = "No reflections fulfilling selection conditions.";
inline constexpr std::string_view Inconsistent =
    "There is some inconsistency between the new and reference map.";
inline constexpr std::string_view RefDiff =
    "Difference between Fourier maps of the actual and reference structure";
}  // namespace foumsg

}  // namespace tarn
