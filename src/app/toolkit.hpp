#pragma once
// The least windowing layer the frame needs: one interface, implemented by the
// terminal front-end of the interactive program and by the scripted toolkit of
// the tests. Every interactive screen of the program goes through here.
#include <optional>
#include <string>
#include <vector>

namespace tarn {

// Event kinds returned by FeToolkit::NextEvent.
enum FeEventKind : int {
  EventNone = 0,
  EventMenu = 2,      // menu item chosen: Id = menu-item code
  EventButton = 3,    // push button or tree item activated: Id = control / action code
  EventIgnore = 4,    // ignorable event
  EventResize = 8,    // main window resized
  EventClose = 9,     // main window close request (also end of input)
  EventTreeSel = 10,  // selection in the action tree: Id = 1121, SubKind 1 select / 4 clear
  EventToolDlg = 18,  // request for a tool's command dialog: Id = action code
};

// Push buttons of the progress window of a long run (EventButton ids,
// delivered by FeToolkit::PollEvent while the window is open).
enum FeProgressButton : int {
  ProgressEndCycle = 4801,  // end the run after the current cycle
  ProgressCancel = 4802,    // cancel the run
  ProgressRFactors = 4803,  // show the R-factors overview so far
  ProgressOptions = 4804,   // modify the run's options (cycles, damping, ...)
};

struct FeEvent {
  int Kind = EventNone;
  int Id = 0;  // control, tree or menu-item code
  // For EventTreeSel: 1 selected, 4 cleared. For the progress buttons: 1 when
  // the user has already confirmed the request (no question is asked).
  int SubKind = 0;
  int Value = 0;  // for EventTreeSel sub-kind 1: the selected item's code
};

enum class FeMsgKind { Info, Warning, Error };

// Answer of a yes/no/all question.
enum class FeAnswer { No = 0, Yes = 1, All = 2 };

// One entry of the action tree as the main window shows it.
struct FeTreeItem {
  int Code = 0;   // action code 50000 + 100*g + i - 1, or 0 for a file item
  int Level = 0;  // 0 group heading, 1 item
  std::string Label;
  bool Enabled = true;
  bool Visible = true;
};

// One entry of a menu.
struct FeMenuItem {
  std::string Menu;   // menu title, e.g. "&Structure"
  std::string Label;  // item label with its access key, e.g. "&Open"
  int Code = 0;
  bool Enabled = true;
  bool Checked = false;
};

// What the main window shows; the toolkit draws it when asked to.
struct FeMainView {
  std::string Title;
  std::string Structure;                // open structure (fln) or blank
  std::vector<std::string> Phases;      // phase names (shown when more than one)
  std::vector<std::string> DataBlocks;  // data-block names (shown when more than one)
  int KPhase = 1;                       // current phase, 1-based
  int KDatBlock = 1;                    // current data block, 1-based
  std::vector<FeTreeItem> Tree;
  std::vector<FeMenuItem> Menu;
  std::vector<std::string> Status;  // status-bar parts
};

// One editable field of a form dialog (the settings dialog, command editors).
struct FeFormField {
  std::string Label;
  std::string Value;
};

class FeToolkit {
 public:
  virtual ~FeToolkit() = default;

  // Draw (or redraw) the main window.
  virtual void ShowMain(const FeMainView& view) = 0;
  // Wait for the next event.
  virtual FeEvent NextEvent() = 0;
  // Message box with a header and lines.
  virtual void Message(FeMsgKind kind, const std::string& header,
                       const std::vector<std::string>& lines) = 0;
  // Yes/no question; dflt is the answer taken on empty input.
  virtual bool YesNo(const std::string& header, const std::vector<std::string>& lines,
                     bool dflt) = 0;
  // Yes/no/all question.
  virtual FeAnswer YesNoAll(const std::string& question) = 0;
  // File chooser: prompt, hint and a filter such as "*.m50"; nullopt on cancel.
  virtual std::optional<std::string> ChooseFile(const std::string& prompt, const std::string& hint,
                                                const std::string& filter) = 0;
  // Choose one line of a list (history, pop-up lists); 0-based index or nullopt on cancel.
  virtual std::optional<int> ChooseFromList(const std::string& header,
                                            const std::vector<std::string>& items) = 0;
  // Edit a form of labelled text fields; false on cancel (fields unchanged).
  virtual bool EditForm(const std::string& header, std::vector<FeFormField>& fields) = 0;
  // Show a text file in a listing window.
  virtual void ShowListingFile(const std::string& path) = 0;
  // Append one line to the listing window (batch mode).
  virtual void ListingLine(const std::string& line) = 0;

  // The progress window of a long run: opened by ProgressBegin, closed by
  // ProgressEnd. While it is open the run calls PollEvent now and then; it
  // never blocks and returns kind EventNone when nothing is pending. Toolkits
  // without a progress window keep these defaults.
  virtual void ProgressBegin(const std::string& /*title*/) {}
  virtual void ProgressEnd() {}
  virtual FeEvent PollEvent() { return FeEvent{}; }
  // How far the run is, a fraction 0..1.
  virtual void ProgressFraction(double /*done*/) {}
};

// A toolkit that shows nothing, answers every question with its default and
// reports end of input. In use before a real toolkit is installed; tests
// derive their fakes from it and override only what they look at.
class FeSilentToolkit : public FeToolkit {
 public:
  void ShowMain(const FeMainView&) override {}
  FeEvent NextEvent() override { return FeEvent{EventClose, 0, 0, 0}; }
  void Message(FeMsgKind, const std::string&, const std::vector<std::string>&) override {}
  bool YesNo(const std::string&, const std::vector<std::string>&, bool dflt) override {
    return dflt;
  }
  FeAnswer YesNoAll(const std::string&) override { return FeAnswer::No; }
  std::optional<std::string> ChooseFile(const std::string&, const std::string&,
                                        const std::string&) override {
    return std::nullopt;
  }
  std::optional<int> ChooseFromList(const std::string&, const std::vector<std::string>&) override {
    return std::nullopt;
  }
  bool EditForm(const std::string&, std::vector<FeFormField>&) override { return false; }
  void ShowListingFile(const std::string&) override {}
  void ListingLine(const std::string&) override {}
};

// The toolkit in use; never null once the program has started (a silent
// default toolkit is installed before that).
FeToolkit& Fe();
// Install a toolkit; the caller keeps ownership. nullptr restores the default.
// Also connects the subsystems' report sink to the toolkit.
void FeSetToolkit(FeToolkit* tk);
// Connects the subsystems' report sink to the toolkit in use.
void FeConnectReports();

// Message boxes of the toolkit in use (the subsystems use the report sink of
// util/report.hpp instead).
void FeInfo(const std::string& header, const std::vector<std::string>& lines = {});
void FeWarning(const std::string& header, const std::vector<std::string>& lines = {});
// FeChybne ("errors"): an error box.
void FeChybne(const std::string& header, const std::vector<std::string>& lines = {});
bool FeYesNo(const std::string& header, const std::vector<std::string>& lines = {},
             bool dflt = false);

}  // namespace tarn
