#pragma once
// The terminal front-end of the interactive program. The main window is shown
// as text (title, structure, phase and data block, the tree of actions with
// their codes, the menu); each input line is one event:
//   an action code such as 51202            -> kind 3 (tree item)
//   "menu CODE"                             -> kind 2 (menu item)
//   "dialog CODE"                           -> kind 18 (a tool's command dialog)
//   a label path "Refinement/Run refinement" or "Structure/Open" -> kind 3 / kind 2
//   "quit", "exit" or end of input          -> kind 9 (close request)
//   an empty line                           -> kind 4 (ignored)
//   "show" prints the main window again, "help" the list above.
// It works on a terminal and through a pipe. In batch mode messages are
// written as lines and questions take their default answer without reading.
//
// Progress of a long run (the refinement cycles) is written as lines; on a
// terminal a progress bar (percentage, elapsed time) is drawn on the last
// line once the run has taken more than two seconds. While
// the run is going, Ctrl-C (SIGINT) is its progress window: the first press
// asks to end the run after the current cycle, a second one cancels it, a
// third one ends the program as Ctrl-C normally does. A press is its own
// confirmation: nothing is read from the input, which may be a pipe holding
// the next commands. Outside a run Ctrl-C keeps its usual effect.
#include <chrono>
#include <iosfwd>
#include <string>

#include "app/toolkit.hpp"

namespace tarn {

class FeTerminalToolkit final : public FeToolkit {
 public:
  // pager: show listings through $PAGER (only sensible when out is a terminal).
  FeTerminalToolkit(std::istream& in, std::ostream& out, bool pager);

  void ShowMain(const FeMainView& view) override;
  FeEvent NextEvent() override;
  void Message(FeMsgKind kind, const std::string& header,
               const std::vector<std::string>& lines) override;
  bool YesNo(const std::string& header, const std::vector<std::string>& lines, bool dflt) override;
  FeAnswer YesNoAll(const std::string& question) override;
  std::optional<std::string> ChooseFile(const std::string& prompt, const std::string& hint,
                                        const std::string& filter) override;
  std::optional<int> ChooseFromList(const std::string& header,
                                    const std::vector<std::string>& items) override;
  bool EditForm(const std::string& header, std::vector<FeFormField>& fields) override;
  void ShowListingFile(const std::string& path) override;
  void ListingLine(const std::string& line) override;
  void ProgressBegin(const std::string& title) override;
  void ProgressEnd() override;
  FeEvent PollEvent() override;
  void ProgressFraction(double done) override;
  // Show a progress bar (percentage and elapsed time) once a run has taken
  // longer than delay seconds: only when the output is a terminal, never into
  // a pipe.
  static constexpr double kBarDelay = 2.;
  void SetProgressBar(bool on, double delay = kBarDelay) {
    barOn_ = on;
    barDelay_ = delay;
  }

  // Event of one input line against the view last shown (exposed for tests).
  FeEvent ParseLine(const std::string& line) const;

 private:
  bool ReadLine(std::string& line);  // false at end of input
  void PrintView();

  std::istream& in_;
  std::ostream& out_;
  bool pager_;
  FeMainView view_;
  std::string shownKey_;    // what the view looked like when last printed in full
  int progressDepth_ = 0;   // nested ProgressBegin calls
  bool sigintCaught_ = false;  // the outer ProgressBegin took over SIGINT
  int interruptsSeen_ = 0;  // SIGINT presses already turned into events
  bool barOn_ = false;      // progress bar wanted (the output is a terminal)
  bool barShown_ = false;   // a bar is on the current line
  double barDelay_ = kBarDelay;
  std::chrono::steady_clock::time_point progressStart_;
  void ClearBar();
};

}  // namespace tarn
