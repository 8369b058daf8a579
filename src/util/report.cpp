#include "util/report.hpp"

namespace tarn {

namespace {

class SilentSink : public ReportSink {
 public:
  void Message(ReportKind, const std::string&, const std::vector<std::string>&) override {}
  bool Ask(const std::string&, const std::vector<std::string>&, bool dflt) override {
    return dflt;
  }
  void Line(const std::string&) override {}
};

SilentSink silent;
ReportSink* current = &silent;

}  // namespace

ReportSink& Report() {
  return *current;
}

void ReportConnect(ReportSink* sink) {
  current = sink != nullptr ? sink : &silent;
}

void ReportInfo(const std::string& header, const std::vector<std::string>& lines) {
  current->Message(ReportKind::Info, header, lines);
}
void ReportWarning(const std::string& header, const std::vector<std::string>& lines) {
  current->Message(ReportKind::Warning, header, lines);
}
void ReportError(const std::string& header, const std::vector<std::string>& lines) {
  current->Message(ReportKind::Error, header, lines);
}
bool ReportAsk(const std::string& header, const std::vector<std::string>& lines, bool dflt) {
  return current->Ask(header, lines, dflt);
}
void ReportLine(const std::string& text) {
  current->Line(text);
}

}  // namespace tarn
