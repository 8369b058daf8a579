#pragma once
// The progress window of a refinement run (RefProgress): per-cycle lines, and
// the user's requests delivered by the toolkit's PollEvent while the cycles
// run: end after this cycle, cancel, the R-factors overview so far, and the
// change of the number of cycles, the damping and the Marquardt technique.
#include <string>
#include <string_view>
#include <vector>

#include "refine/rfactor.hpp"

namespace tarn {

// Reflections between two polls inside a reflection loop.
inline constexpr int kRefPollEvery = 64;

struct RefProgressCtl {
  bool EndAfterCycle = false;  // the user asked to end the run after the current cycle
  bool Cancel = false;         // the user cancelled the run
  // What "Modify refinement options" edits; the run reads them before each cycle.
  int Cycles = 0;                  // last cycle number (cycles 0 .. Cycles are run)
  double Damp = 1.;                // damping factor of the shifts
  int LsMethod = 1;                // 2 Marquardt technique, else plain
  double MarqLam = 0.;             // Marquardt fudge factor
  int CurrentCycle = 0;            // the cycle running (Cycles cannot go below it)
  const RFacTabs* Tabs = nullptr;  // for the "RFactors overview" (null: none yet)
};

// Polls the toolkit once and acts on what the user asked. True when the run
// must stop now (cancelled).
bool RefProgressPoll(RefProgressCtl& c);
// Lines of one finished cycle (GOF and weighted R of all reflections), shown
// in the progress window (standard output in batch mode), then a poll.
void RefProgress(RefProgressCtl& c, int cycle, const RFacVal& obs, const RFacVal& all,
                 bool fsquare);

namespace progressmsg {
inline constexpr std::string_view Title = "Refinement";
inline constexpr std::string_view AskCancel = "Do you really want to cancel the refinement?";
inline constexpr std::string_view AskEnd = "Do you really want to end the refinement?";
inline constexpr std::string_view Overview = "RFactors overview";
inline constexpr std::string_view Options = "Modify refinement options";
inline constexpr std::string_view Cancelled = "The refinement was cancelled by the user.";
inline constexpr std::string_view Ended = "The refinement ends after this cycle as asked.";
inline constexpr std::string_view FieldCycles = "Number of cycles";
inline constexpr std::string_view FieldDamp = "Damping factor";
inline constexpr std::string_view FieldMarq = "Marquardt technique (1 yes, 0 no)";
inline constexpr std::string_view FieldFudge = "Marquardt fudge factor";
}  // namespace progressmsg

}  // namespace tarn
