#pragma once
// R factors of a refinement run: sums per group of reflections, their values
// per cycle, the tables written after the run and the reflection listings.
//
// Every used reflection adds to the "all" record of each group it belongs to
// and, when observed (not "*"), to the "obs" record; an excluded reflection
// ("#") adds to nothing. A record keeps the sums on F and on F**2 at once, so
// both R(F) and wR2(F**2) are available whatever quantity is refined:
//   R   = 100 sum |Fo - Fc| / sum Fo                      (on F)
//   wR  = 100 sqrt(sum wF (Fo - Fc)**2 / sum wF Fo**2)    (on F, weights of F)
//   R2  = 100 sum |Io - Ic| / sum Io                      (on F**2)
//   wR2 = 100 sqrt(sum wI (Io - Ic)**2 / sum wI Io**2)    (on F**2, weights of I)
//   GOF = sqrt(sum w D**2 / (n - p)) on the refined quantity, p every refined
//         parameter including the scale factors; 9999.99 when n - p < 1;
//   restrained GOF = sqrt((sum w D**2 + sum wr Dr**2) / (n + r - p)) over all
//         reflections, with the r restraints as observations (weights wr).
// Values are in percent; a value whose denominator is not positive is absent (-1).
#include <array>
#include <string>
#include <vector>

#include "refine/calc_ext.hpp"
#include "refine/refcommands.hpp"

namespace tarn {

inline constexpr int kRFacMaxSatOrder = 9;       // satellite orders with a group of their own
inline constexpr double kRFacGofNone = 9999.99;  // GOF when n - p < 1
inline constexpr double kRFacNone = -1.;         // R value without a positive denominator
inline constexpr int kRFacWorstCount = 30;       // reflections in the worst-fitted list
// RFacRefl::TwDomain of a reflection that is not assigned to a twin domain,
// and of one to which several domains contribute.
inline constexpr int kRFacNoDomain = -1;
inline constexpr int kRFacOverlapped = -2;

// Sums of one record.
struct RFacSum {
  double AbsDF = 0., AbsFo = 0.;  // sum |Fo - Fc|, sum |Fo|
  double WDF2 = 0., WFo2 = 0.;    // sum wF (Fo - Fc)**2, sum wF Fo**2
  double AbsDI = 0., AbsIo = 0.;  // sum |Io - Ic|, sum |Io|
  double WDI2 = 0., WIo2 = 0.;    // sum wI (Io - Ic)**2, sum wI Io**2
  int N = 0;
};

// R values of one record (percent, kRFacNone when absent).
struct RFacVal {
  double R = kRFacNone, wR = kRFacNone;    // on F
  double R2 = kRFacNone, wR2 = kRFacNone;  // on F**2
  double Gof = kRFacGofNone;               // refined quantity
  int N = 0;
};
RFacVal RFacValues(const RFacSum& s, bool fsquare, int npar);

struct RFacGroup {
  std::string Label;  // "main reflections", "satellites of order 1", data-block name, condition
  RFacSum Obs, All;
};

// One used reflection as the R factors see it (scale of the observations).
struct RFacRefl {
  int H[6] = {};  // indices
  int NDim = 3;
  double Fo = 0., Fc = 0.;  // F observed and calculated (scaled)
  double SigFo = 0.;
  double Io = 0., Ic = 0.;  // Fo**2 (the observed intensity) and Fc**2
  double SigIo = 0.;
  double WF = 0., WI = 0.;  // weights of F and of I
  char Flag = ' ';          // ' ', '*' unobserved, '%' not matching, '#' excluded
  int SatOrder = 0;         // 0 main, k > 0 satellite of order k, -1 unsorted
  int DatBlock = 0;         // 0-based
  int Magnetic = -1;        // -1 no magnetic structure, 0 nuclear, 1 magnetic
  // Twin domain (0-based) whose reflection alone makes the observed one;
  // kRFacOverlapped when reflections of several domains coincide there,
  // kRFacNoDomain when the block is not twinned.
  int TwDomain = kRFacNoDomain;
  bool Overlap = false;  // more than one reflection contributes (counted in nover)
  double SinThL = 0.;
};

// Summary of one cycle (a line of the "R-factors overview").
struct RFacCycle {
  int Cycle = 0;
  RFacVal Obs, All;
  int NSkip = 0, NOver = 0;
  double Damp = 1.;
  double AvChange = 0., MaxChange = 0.;  // mean and largest |change/s.u.| (filled by the driver)
};

struct RFacTabs {
  bool FSquare = true;
  int NPar = 0;  // refined parameters (for the GOF)
  int NDim = 3;  // largest NDim of the phases
  bool Magnetic = false;
  std::vector<std::string> DatBlockNames;
  std::vector<RefHklSel> Partial;  // "rfactors" commands

  RFacGroup Overall;
  std::vector<RFacGroup> Sat;  // index = satellite order, 0 = main (modulated only)
  RFacGroup Unsorted;
  RFacGroup Nuclear, MagneticGr;
  std::vector<RFacGroup> Block;    // per data block
  std::vector<RFacGroup> PartGr;   // per rfactors command
  std::vector<RFacGroup> Domain;   // per twin domain (reflections of that domain alone)
  RFacGroup Overlapped;            // reflections of several twin domains together
  int NRestr = 0;                  // restraints taken as observations in the cycle
  double RestrWD2 = 0.;            // their sum of weighted squared residuals
  int NSkip = 0;                   // "Number of reflections excluded due to refinement options"
  int NOver = 0;                   // overlapped reflections
  std::vector<RFacCycle> History;  // one entry per RFactorWrite
};

// Groups for the run: partial commands ("rfactors"), data blocks, satellites.
void RefSetRFacTabs(RFacTabs& t, bool fsquare, int npar, int ndim, bool magnetic,
                    const std::vector<std::string>& datBlockNames,
                    const std::vector<RefHklSel>& partial);
// Groups of the twin domains (ndomain > 1; none otherwise).
void RefSetRFacDomains(RFacTabs& t, int ndomain);
// Twin domain of the observed reflection h (indices of the reference
// setting): the domain of its contributions when they all come from one
// domain, else kRFacOverlapped. `overlap` is set when more than one
// reflection contributes (TwinParts), whatever their domains.
int RefTwinDomain(const TwinSetup& t, const int* h, bool& overlap);
// RefRFacNuluj: clears the R-factor sums.
// Clears all sums (not the history).
void RefRFacNuluj(RFacTabs& t);
// RFactorSuma: adds one reflection to the R-factor sums.
// Adds one reflection.
void RFactorSuma(RFacTabs& t, const RFacRefl& r);
// Values of the overall records (obs, all).
RFacVal RefRFacOverall(const RFacTabs& t, bool obs);
// GOF over all reflections and the restraints (NRestr, RestrWD2).
double RefRFacRestrainedGof(const RFacTabs& t);
// Expected weighted R of the overall obs record: 100 sqrt(n - p) / sqrt(sum w Yo**2).
double RefRFacExpected(const RFacTabs& t);
// RFactorWrite: writes the R-factor lines of one cycle.
// Lines of one cycle; the cycle is appended to t.History.
void RFactorWrite(RFacTabs& t, int cycle, double damp, std::vector<std::string>& out);
// Machine-readable line "(a1,'factors',i1,': ',4f8.4,3i7)".
std::string RFacMachineLine(char kind, int index, const RFacVal& obs, const RFacVal& all,
                            bool fsquare, int nskip);
// PisRfac: writes the R-factor tables after the run.
// The tables after the run: overview, zones and overall, partial R factors.
void PisRfac(const RFacTabs& t, std::vector<std::string>& out);
// "R(obs)= ... wR(obs)= ... R(all)= ... wR(all)= ..." (wR2 on F**2), " ------" for values
// that are not positive.
std::string RefMakeRFacString(const RFacGroup& g, bool fsquare, int npar);

// Reflection listings: the worst fitted (largest |Fo - Fc| / sigma of the refined
// quantity first, at most kRFacWorstCount) and the rejected ("#") reflections.
std::vector<RFacRefl> RefWorstReflections(const std::vector<RFacRefl>& used, bool fsquare,
                                          int count = kRFacWorstCount);
// RefCalcRval: lists the reflections of a set (worst agreement, rejected).
// Listing of the given reflections with a heading and the R values of the
// listed set: indices, Fo, Fc, sigma, |Fo-Fc|/sigma, flag.
void RefCalcRval(const std::vector<RFacRefl>& list, const std::string& heading, bool fsquare,
                 std::vector<std::string>& out);

// Labels and headings.
namespace rfacmsg {
inline constexpr std::string_view Main = "R factors for main reflections : ";
inline constexpr std::string_view Nuclear = "R factors for nuclear reflections : ";
inline constexpr std::string_view Magnetic = "R factors for magnetic reflections : ";
inline constexpr std::string_view Unsorted = "R factors for unsorted satellites : ";
inline constexpr std::string_view Satellites = "R factors for satellites of order ";
inline constexpr std::string_view All = "R factors for all reflections : ";
inline constexpr std::string_view DatBlock = "R factors for data block ";
inline constexpr std::string_view Domain = "R factors for twin domain ";
inline constexpr std::string_view Overlapped = "R factors for overlapped reflections : ";
inline constexpr std::string_view OverlappedLabel = "overlapped reflections";
inline constexpr std::string_view Excluded =
    "Number of reflections excluded due to refinement options: ";
inline constexpr std::string_view Overview = "R-factors overview";
inline constexpr std::string_view Zones = "R-factors for individual zones";
inline constexpr std::string_view OverallHead = "Overall";
inline constexpr std::string_view PartialHead = "Partial R-factors";
inline constexpr std::string_view Condition = "Reflection condition";
inline constexpr std::string_view UnsortedLabel = "unsorted satellites";
inline constexpr std::string_view Worst = "Fo/Fc list of worst fitted reflections";
inline constexpr std::string_view Rejected = "Fo/Fc list of rejected reflections";
inline constexpr std::string_view BeforeFirst = " before first cycle";
inline constexpr std::string_view AfterLast = " after last cycle";
inline constexpr std::string_view NoValue = " ------";
inline constexpr std::string_view RestrainedGof = " restrained GOF(all)=";
}  // namespace rfacmsg

}  // namespace tarn
