#pragma once
// The refinement run: `Refine` reads M50, M40, M90 and the refinement command
// block, prepares the parameter list and the structure factors, performs the
// least-squares cycles and writes M40 (with the ".s40" copy first), the
// listing ".ref" and the coefficient file ".m80".
//
// Nothing on disk but the listing, the ".l40"/".l50" backups and ".m80" is
// written before the run succeeded; on any failure M40 and M50 keep their
// bytes and the in-memory model is restored.
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "refine/calc.hpp"
#include "refine/lsq.hpp"
#include "refine/refine_weight.hpp"
#include "refine/rfactor.hpp"
#include "util/plot_script.hpp"

namespace tarn {

// One reflection of the run with what does not change between cycles.
struct RefWorkRefl {
  std::array<int, 6> H{};
  int NDim = 3;
  int Block = 0;       // 0-based data block
  int Phase = 0;       // 0-based phase
  int SatOrder = 0;    // 0 main, k satellite order (sum of |m|)
  int Scale = 0;       // 0-based scale of the block (M90 scale number, or a "scale" line)
  double SinThL = 0.;  // 1/Angstrom
  bool Skip = false;   // removed by the selection options (sin(th)/lambda, dontuse, usedatbl)
  RefObs Obs;          // Fo, sigma(Fo) (fweakflag) prepared once
};

// A refined parameter over the whole run.
struct RefChange {
  std::string Label;  // "x[C1]", "beta11[CL1]", ...
  double Start = 0.;  // value before the first cycle
  double Value = 0.;  // final value
  double Su = 0.;     // its s.u. (0 when not known)
};

// The reflections of the last cycle as the plots take them: Fo^2 and Fc^2 on
// the scale of the observations and the weighted residual w^1/2 (yo - yc) of
// the refined quantity (F^2 or F), one entry per reflection used.
struct RefPlotData {
  std::vector<double> Fo2, Fc2, WRes;
};

// Result of a run (for the summary line, the CIF and the tests).
struct RefRunSummary {
  RFacVal Obs, All;  // overall values of the last cycle (R values in percent)
  int CyclesDone = 0;
  int NPar = 0;
  int NRestraints = 0;    // restraint equations in the normal equations
  double MaxChange = 0.;  // largest |change/s.u.| of the last cycle
  std::vector<RefChange> Changes;  // every refined parameter, in the order of the run
  std::vector<std::string> Blocked;  // labels of parameters blocked due to singularity
  std::vector<std::string> Serious;  // serious warnings
  std::string Summary;               // R-factor summary line of the last cycle
  int NPowder = 0;                   // powder patterns refined (Summary holds their R values)
  int NSingle = -1;                  // single-crystal reflections used (-1: every block is single-crystal)
  RefPlotData Plot;                  // the reflections of the last cycle
  // Rietveld runs: the fit of every pattern and its file name without
  // extension (that of its profile file).
  std::vector<PlotDesc> PwdPlots;
  std::vector<std::string> PwdPlotFiles;
};
// The whole run on the open structure (Sess.fln), the listing written to
// ".ref". Returns 0 on success with the result in summary, 1 after the message
// when the run failed or was stopped.
[[nodiscard]] int Refine(RefRunSummary& summary);
// "callfour": what runs the Fourier calculation after a refinement (the
// application connects its Fourier tool; 0 success). Without one, nothing runs.
void RefSetFourierHook(std::function<int()> fn);
// The same on fln with the listing lines returned (tests).
[[nodiscard]] int RefineRun(const std::string& fln, std::vector<std::string>& listing,
                            RefRunSummary& summary);

// sin(theta)/lambda of a reflection of a phase (modulation vectors added).
double RefSinThL(const PhaseBasic& ph, const int* h, int ndim);
// "selsat": -2 every reflection, -1 main reflections only, 0 satellites only,
// n > 0 main reflections and satellites up to order n (satOrder: sum of |m|).
bool RefSatSelected(int selsat, int satOrder);
// "selcomp" for a composite phase: 0 every reflection, 1 main reflections of
// any subsystem, 2 the common reflections (main in every subsystem), 4 the
// pure satellites (main in none); subsystem nu indexes h as W_nu h.
bool RefCompSelected(int selcomp, const PhaseBasic& ph, const std::array<int, 6>& h);
// True when h is a centric reflection: some operator maps h onto -h.
bool RefCentric(const CalcSymm& sy, const int* h);

// One record of the coefficient file (docs/file-formats-m80.md).
struct RefM80Rec {
  std::array<int, 6> H{};
  int NDim = 3;
  int Block = 1;                   // 1-based data block
  double Fo = 0., SigFo = 0.;      // before the twin correction
  double FoTw = 0., SigFoTw = 0.;  // after the twin correction
  double Fc = 0., A = 0., B = 0.;  // scale of the observations
  double SinThL = 0.;
};
std::string RefM80Line(const RefM80Rec& r);
// Reads one record back; 0, or 1 when the line is not a record.
[[nodiscard]] int RefM80Parse(std::string_view line, int ndim, RefM80Rec& r);

// The electron-diffraction loop: starts the dynamical-diffraction program.
// Returns 1 with the message when the program is not installed.
[[nodiscard]] int RefLoopED(const std::string& fln, int block, std::vector<std::string>& listing);

namespace refinemsg {
inline constexpr std::string_view NoM90 =
    "The refinement cannot be executed as the reflection file M90 doesn't exist.";
inline constexpr std::string_view NoRefl = "No reflections fulfilling selection conditions.";
inline constexpr std::string_view Header = "Refinement";
inline constexpr std::string_view LastGof = "Last GOF: ";
inline constexpr std::string_view LastWR = "Last wR(all): ";
inline constexpr std::string_view LastWR2 = "Last wR2(all): ";
inline constexpr std::string_view Blocked = "List of parameters blocked due to singularity";
inline constexpr std::string_view Serious = "List of serious warnings";
inline constexpr std::string_view SeriousInListing = "Serious warnings in the listing!";
inline constexpr std::string_view Changes = "Changes of the refined parameters in the last cycle";
inline constexpr std::string_view Correlation = "correlation";
inline constexpr std::string_view NoED1 =
    "The dynamical-diffraction program Pivra is not installed";
inline constexpr std::string_view NoED2 =
    "(expected as \"Pivra\" in the home directory or on the PATH); the electron-diffraction "
    "refinement cannot be run.";
inline constexpr std::string_view EDFailed = "The dynamical-diffraction program Pivra failed: ";
inline constexpr std::string_view ReadFailed = "The refinement cannot be started: ";
inline constexpr std::string_view WriteFailed = "The refined parameters could not be written to ";
}  // namespace refinemsg

}  // namespace tarn
