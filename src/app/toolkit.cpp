#include "app/toolkit.hpp"

#include "util/report.hpp"

namespace tarn {

namespace {

FeSilentToolkit null_toolkit;
FeToolkit* current = &null_toolkit;

// The report sink of the subsystems, connected to the toolkit in use:
// messages become message boxes, questions yes/no dialogs, report lines lines
// of the listing window, and the progress buttons requests of the run.
class ToolkitSink : public ReportSink {
 public:
  void Message(ReportKind kind, const std::string& header,
               const std::vector<std::string>& lines) override {
    const FeMsgKind k = kind == ReportKind::Error     ? FeMsgKind::Error
                        : kind == ReportKind::Warning ? FeMsgKind::Warning
                                                      : FeMsgKind::Info;
    Fe().Message(k, header, lines);
  }
  bool Ask(const std::string& header, const std::vector<std::string>& lines,
           bool dflt) override {
    return Fe().YesNo(header, lines, dflt);
  }
  void Line(const std::string& text) override { Fe().ListingLine(text); }
  bool EditFields(const std::string& header, std::vector<ReportField>& fields) override {
    std::vector<FeFormField> f;
    for (const auto& x : fields) f.push_back({x.Label, x.Value});
    if (!Fe().EditForm(header, f)) return false;
    for (size_t i = 0; i < fields.size() && i < f.size(); ++i) fields[i].Value = f[i].Value;
    return true;
  }
  void ProgressBegin(const std::string& title) override { Fe().ProgressBegin(title); }
  void ProgressEnd() override { Fe().ProgressEnd(); }
  void ProgressFraction(double done) override { Fe().ProgressFraction(done); }
  ReportPoll ProgressPoll() override {
    const FeEvent e = Fe().PollEvent();
    ReportPoll p;
    if (e.Kind != EventButton) return p;
    p.Confirmed = e.SubKind == 1;
    switch (e.Id) {
      case ProgressCancel: p.Request = ReportRequest::Cancel; break;
      case ProgressEndCycle: p.Request = ReportRequest::EndAfterCycle; break;
      case ProgressRFactors: p.Request = ReportRequest::Overview; break;
      case ProgressOptions: p.Request = ReportRequest::Options; break;
      default: break;
    }
    return p;
  }
};

ToolkitSink toolkit_sink;

}  // namespace

void FeConnectReports() {
  ReportConnect(&toolkit_sink);
}

FeToolkit& Fe() {
  return *current;
}
void FeSetToolkit(FeToolkit* tk) {
  current = tk ? tk : &null_toolkit;
  FeConnectReports();
}

void FeInfo(const std::string& header, const std::vector<std::string>& lines) {
  Fe().Message(FeMsgKind::Info, header, lines);
}
void FeWarning(const std::string& header, const std::vector<std::string>& lines) {
  Fe().Message(FeMsgKind::Warning, header, lines);
}
void FeChybne(const std::string& header, const std::vector<std::string>& lines) {
  Fe().Message(FeMsgKind::Error, header, lines);
}
bool FeYesNo(const std::string& header, const std::vector<std::string>& lines, bool dflt) {
  return Fe().YesNo(header, lines, dflt);
}

}  // namespace tarn
