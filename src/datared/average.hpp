#pragma once
// Merging of symmetry-equivalent reflections (DRAverage) and its statistics:
// Rint and Rexp in 8 shells of sin(theta)/lambda and by satellite order,
// the instability factor of sigma(I), coverage, and the listing texts.
// Formulas and conventions: docs/data-reduction.md.
//
// Input are the reflection arrays of Refl (model/refl.hpp): HCondAr packed
// with Refl.Pack, RIAr, RSAr, ICullAr. Output are the averaging arrays
// RIAveAr, RSAveAr, HCondAveAr (packed with Refl.Pack), DiffAveAr, NAveRedAr,
// Ave2Org and OrderAve, and ICullAr updated with the culls of the fit.
#include <array>
#include <string>
#include <vector>

#include "model/refl.hpp"
#include "symmetry/symm.hpp"

namespace tarn {

// Culling flags in ICullAr.
inline constexpr int kCullNone = 0;  // measurement used
inline constexpr int kCullFit = 1;   // culled by the "flimcull" test of DRAverage
inline constexpr int kCullMan = 2;   // culled by the user; kept marked
inline constexpr int kCullAuto = 3;  // culled automatically on import ("flimcullave")

// Number of sin(theta)/lambda shells of the statistics.
inline constexpr int kAveShells = 8;
// Largest |index| the sort key of the equivalents holds (10 bits per index).
inline constexpr int kAveMaxIndex = 511;
// Smallest number of measurements left in a group after culling.
inline constexpr int kAveMinAfterCull = 2;
// Fewest groups with two or more measurements for refining the instability factor.
inline constexpr int kInstabMinGroups = 10;

// sigma(I(ave)) of a group of n measurements (see docs/data-reduction.md).
enum SigIMethod : int {
  SigIMaxPropScatter = 1,  // larger of 1/sqrt(sum 1/sigma^2) and the standard error of the mean
  SigIPropagated = 2,      // sigma propagated through the mean taken (unweighted or weighted)
  SigIScatter = 3,         // standard error of the mean from the scatter (n >= 2)
};

// How the members of a group are weighted in its mean ("avesigwt").
enum AveWeighting : int {
  AveUnweighted = 0,   // I(ave) = sum I / n
  AveSigmaWeight = 1,  // weights 1/sigma^2
  // SHELX rule: w = I/sigma^2 for I > 3 sigma, else 3/sigma; sigma(I(ave)) =
  // max(1/sqrt(sum 1/sigma^2), sum|I - I(ave)| / (n sqrt(n-1))), whatever "sigimethod"
  AveShelxWeight = 2,
};

// How the groups of equivalents are printed.
enum AvePrintMode : int {
  AvePrintLimited = 0,     // groups with |I-I(ave)| > flimprint*sig(I(ave))
  AvePrintFull = 1,        // every group
  AvePrintSuppressed = 2,  // none
};

struct AveSettings {
  int SigIMethod = SigIMaxPropScatter;  // "sigimethod"
  int AveSigWt = AveUnweighted;         // "avesigwt": AveWeighting
  bool AddCentrSymm = false;            // "addcentrsymm": Friedel pairs merged in acentric groups
  double FLimCull = -1.;                // "flimcull": in sig(I(ave)); <= 0 no culling
  double FLimPrint = 5.;                // "flimprint": in sig(I(ave))
  double ObsLim = 3.;                   // "obslim": in sig(I)
  int PrintMode = AvePrintLimited;
  double InstabFactor = 0.;  // g: sigma(I)^2 -> sigma(I)^2 + (g*I)^2 before averaging
  // Geometry for the shells: reciprocal metric G* (1/A^2, 3x3 row-major) and the
  // modulation vectors (reciprocal-lattice units, NDim-3 of them).
  std::array<double, 9> MetTensI = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::vector<std::array<double, 3>> Qi;
};

// Accumulators of one shell or satellite group; index 0 all, 1 observed.
struct AveStatAcc {
  double RNum[2] = {}, RDen[2] = {};    // sums of |I(i)-I(ave)| and I(i)
  int NMeas[2] = {};                    // measurements
  int NUnique[2] = {};                  // averaged reflections
  int NSingle[2] = {};                  // averaged reflections measured once
  double SigSum[2] = {}, ISum[2] = {};  // sums of sig(I(ave)) and I(ave) (Rexp)
  double ISigSum[2] = {};               // sum of I(ave)/sig(I(ave)) over NISig of them
  int NISig[2] = {};
};

struct AveStats {
  int NDim = 3;
  std::array<double, kAveShells> SLim{};  // upper sin(theta)/lambda limits, 1/A
  std::array<AveStatAcc, kAveShells> Shell{};
  std::vector<AveStatAcc> Sat;  // by satellite order 0..MaxSat (NDim > 3)
  AveStatAcc Total;
};

// Grouping of an averaging: the measurements (indices into the Refl arrays)
// ordered by group, group g holding Order[Start[g] .. Start[g+1]-1], and the
// indices written for each group (NDim per group).
struct AveGrouping {
  int NDim = 3;
  std::vector<int> Order;
  std::vector<int> Start;  // NAve + 1 entries
  std::vector<int> HAve;   // NDim indices per group
  std::vector<double> S;   // sin(theta)/lambda per group, 1/A
};

struct AveResult {
  int NMeasured = 0;  // measurements taken into the averaging (not culled before)
  int NUnique = 0;    // averaged reflections
  int NObs = 0;       // observed averaged reflections (one-decimal rule)
  int NCulledFit = 0, NCulledMan = 0, NCulledAuto = 0;
  int NGroupsMulti = 0;               // groups with two or more measurements
  double RintAll = 0., RintObs = 0.;  // 100 * sum|I-I(ave)| / sum I over all measurements
  double RintMulti = 0.;  // the same over groups of two or more measurements only, fraction
  double RsigmaAll = 0.;  // sum sig(I(ave)) / sum I(ave), fraction
  AveStats Stats;
  std::vector<std::string> Listing;  // lines of the averaging listing
  AveGrouping Grouping;              // the groups of equivalents averaged
};

// The rotation parts (NDim x NDim) of the point group of a phase: the
// distinct RM6 of its operators, with -R added when the phase is
// centrosymmetric (NCSymm 2). centro is set when -1 is in the group.
std::vector<Mat6> DRPointGroup(const PhaseSymmetry& ps, bool& centro);

// Observed when nint(10*I) > obslim*nint(10*sig), i.e. with I and sigma
// taken to one decimal as they are written into M90.
bool DRIsObserved(double i, double sig, double obslim);

// sin(theta)/lambda of indices h (NDim of them), 1/A.
double DRSinThOverLambda(const int* h, int ndim, const AveSettings& set);

// Mean and sigma of one group of measurements under the settings.
void DRAverageGroup(const double* i, const double* sig, int n, const AveSettings& set, double& iave,
                    double& sigave);

// Averages the reflection arrays of Refl under the rotations rot (NDim x NDim,
// acting on index rows as h' = h.R); centro adds -h to the equivalents.
// Returns 1 with the message when the indices cannot be sorted.
[[nodiscard]] int DRAverageForPointGroup(const std::vector<Mat6>& rot, bool centro,
                                         const AveSettings& set, AveResult& res);
// The same under the point group of a phase, with "addcentrsymm".
[[nodiscard]] int DRAverage(const PhaseSymmetry& ps, const AveSettings& set, AveResult& res);

// Statistics by shells (and satellite orders); limits of equal reciprocal
// volume: SLim[k] = smax*((k+1)/8)^(1/3).
void EM9AverageStatReset(AveStats& st, double smax, int ndim, int maxsat);
int EM9AverageStatShell(const AveStats& st, double s);
void EM9AverageStatRint(AveStats& st, double s, int sat, double num, double den, bool first,
                        bool single, bool obs);
void EM9AverageStatRexp(AveStats& st, double s, int sat, double sig, double i, bool obs);
void EM9AverageStatOutput(const AveStats& st, std::vector<std::string>& lines);

// Refines g of sigma(I)^2 + (g*I)^2 so that the scatter of the equivalents
// matches their sigmas (chi^2 per degree of freedom 1) on the groups gr of
// an averaging; g = 0 when the sigmas already cover the scatter. Returns 1
// (message in lines) when there are fewer than kInstabMinGroups such groups.
[[nodiscard]] int EM9SigCountSigStat(const AveGrouping& gr, double& g,
                                     std::vector<std::string>& lines);

// Coverage of the averaged set (the groups gr) against all reflections allowed by the
// symmetry up to the largest sin(theta)/lambda of the data, by shells of
// sin(theta)/lambda and of theta. Returns the completeness of the main
// reflections to that limit (measured unique / possible, a fraction), or -1
// when there is nothing to count.
double EM9CheckCompleteness(const AveGrouping& gr, const PhaseSymmetry& ps,
                            const AveSettings& set, double lambda,
                            std::vector<std::string>& lines);

// True when indices h (NDim) are systematically absent in the group: a
// centring vector c with h.c not integer, or an operator (R,t) with h.R = h
// and h.t not integer.
bool DRIsExtinct(const PhaseSymmetry& ps, const int* h);

// A reflection rejected before averaging, for the listing.
struct RejectedRefl {
  int H[kReflMaxNDim] = {};
  double I = 0., SigI = 0.;
  int Reason = 0;  // 1 non-integer indices, 2 systematically absent, 3 sin(theta) > 1
};
void EM9OutputOfRejected(const std::vector<RejectedRefl>& rej, int ndim,
                         std::vector<std::string>& lines);

// The listing symbol of a measurement against its average: "+" .. "++++",
// "-" .. "----" or "" (within 3 sig(I(ave))).
const char* DRAveMark(double i, double iave, double sigave);

}  // namespace tarn
