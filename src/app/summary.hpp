#pragma once
// What the user reads first after a tool: the tools hand their results over
// as data (the subsystems' result structs), and this part turns them into
// the few summary lines shown after the action and keeps them for the run
// summary of a batch (app/run_summary.hpp).
#include <optional>
#include <string>
#include <vector>

#include "cif/cif_report.hpp"
#include "datared/createm90.hpp"
#include "fourier/fourier.hpp"
#include "refine/refine.hpp"

namespace tarn {

struct DistResults;

// The Fourier map of a run: extremes and the strongest peaks.
struct TarnFourierResult {
  std::string MapTitle;             // "F(obs)", "difference map", ...
  double Max = 0., Min = 0., Rms = 0.;  // e/A^3
  int NRefl = 0;                    // reflections used
  std::vector<FouPeak> Maxima, Minima;  // strongest first
};

// One contact of the distance run.
struct TarnContact {
  std::string Atom1, Atom2;  // names, the second with its symmetry part
  double D = 0., Su = 0.;    // Angstrom
};
struct TarnDistResult {
  int NDistances = 0;                // bond distances listed (each pair once)
  std::vector<TarnContact> Shortest;  // the shortest between non-hydrogen atoms
  std::vector<std::string> Flagged;   // bonds that fail the rigid-bond test, as text
};

// Results of the tools run since the last TarnClearResults.
struct TarnResults {
  std::optional<std::vector<EM9MergeSummary>> Merge;
  std::optional<RefRunSummary> Refine;
  std::optional<TarnFourierResult> Fourier;
  std::optional<TarnDistResult> Dist;
  std::optional<CifRunResult> Cif;
  std::vector<std::string> Plots;  // plot files written (app/plot_run.hpp)
};
TarnResults& TarnToolResults();
void TarnClearResults();

// The summary of each tool: one to a dozen lines.
std::vector<std::string> TarnMergeLines(const std::vector<EM9MergeSummary>& m);
std::vector<std::string> TarnRefineLines(const RefRunSummary& r);
std::vector<std::string> TarnFourierLines(const TarnFourierResult& f);
std::vector<std::string> TarnDistLines(const TarnDistResult& d);
std::vector<std::string> TarnCifLines(const CifRunResult& c);

// Condensed results of the Fourier and distance tools.
TarnFourierResult TarnFourierOf(const FouRunResult& run);
TarnDistResult TarnDistOf(const DistResults& r);

// Shows summary lines after an action (listing lines in batch mode).
void TarnShowSummary(const std::vector<std::string>& lines);

// Number of peaks and contacts a summary shows.
inline constexpr int TarnSummaryPeaks = 5;
inline constexpr int TarnSummaryContacts = 5;
// Number of parameters in the table of what a refinement changed.
inline constexpr int TarnSummaryChanges = 10;

}  // namespace tarn
