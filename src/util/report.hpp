#pragma once
// The report sink: how computing code tells the user what happened and asks
// what to do, without knowing whether a window, a terminal or a batch listing
// is on the other side. The application connects a sink that shows messages
// in message boxes (or as listing lines in batch mode); tests connect one
// that records them. Until a sink is connected, everything is dropped and
// every question takes its default answer.
#include <string>
#include <vector>

namespace tarn {

enum class ReportKind { Info, Warning, Error };

// What the user asked for while a long run polls the sink.
enum class ReportRequest {
  None,           // nothing pending
  EndAfterCycle,  // end the run after the current cycle
  Cancel,         // cancel the run
  Overview,       // show the R-factors overview so far
  Options,        // modify the run's options
};

struct ReportPoll {
  ReportRequest Request = ReportRequest::None;
  bool Confirmed = false;  // the user has already confirmed (no question is asked)
};

// One labelled text field of a small form (options of a running tool).
struct ReportField {
  std::string Label;
  std::string Value;
};

class ReportSink {
 public:
  virtual ~ReportSink() = default;
  // A message with a header and lines.
  virtual void Message(ReportKind kind, const std::string& header,
                       const std::vector<std::string>& lines) = 0;
  // A yes/no question; dflt is the answer taken without a user.
  virtual bool Ask(const std::string& header, const std::vector<std::string>& lines,
                   bool dflt) = 0;
  // One line of the run's report on the screen (the listing window).
  virtual void Line(const std::string& text) = 0;
  // A form of labelled fields; false when the user cancels (fields unchanged).
  virtual bool EditFields(const std::string& /*header*/, std::vector<ReportField>& /*fields*/) {
    return false;
  }
  // The progress window of a long run; never blocks. A run that cannot be
  // interrupted opens it without a title: only its fraction is shown.
  virtual void ProgressBegin(const std::string& /*title*/) {}
  virtual void ProgressEnd() {}
  virtual ReportPoll ProgressPoll() { return {}; }
  // How far the run is, a fraction 0..1 (a progress bar may show it).
  virtual void ProgressFraction(double /*done*/) {}
};

// The sink in use; never null.
ReportSink& Report();
// Connects a sink (the caller keeps ownership); nullptr restores the silent one.
void ReportConnect(ReportSink* sink);

// Shorthands of the sink's calls.
void ReportInfo(const std::string& header, const std::vector<std::string>& lines = {});
void ReportWarning(const std::string& header, const std::vector<std::string>& lines = {});
void ReportError(const std::string& header, const std::vector<std::string>& lines = {});
bool ReportAsk(const std::string& header, const std::vector<std::string>& lines = {},
               bool dflt = false);
void ReportLine(const std::string& text);

}  // namespace tarn
