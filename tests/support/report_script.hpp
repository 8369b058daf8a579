#pragma once
// A report sink for tests: records every message, question, form and report
// line, answers questions and forms from queues, and delivers progress
// requests at given polls.
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "util/report.hpp"

namespace tarn::test {

class ReportScript : public ReportSink {
 public:
  struct Record {
    std::string What;  // "info", "warning", "error", "yesno", "form", "progress"
    std::string Header;
    std::vector<std::string> Lines;
  };
  struct Timed {
    int AtPoll = 1;  // delivered by the first poll whose count reaches it
    ReportPoll Poll;
  };

  // Input.
  std::deque<bool> Answers;                    // Ask
  std::deque<std::vector<std::string>> Forms;  // EditFields: new values; empty cancels
  std::deque<Timed> PollEvents;

  // Output.
  std::vector<Record> Log;
  std::vector<std::string> ListingLines;  // Line
  int Polls = 0;
  int ProgressOpen = 0;

  ReportScript() { ReportConnect(this); }
  ~ReportScript() override { ReportConnect(nullptr); }
  ReportScript(const ReportScript&) = delete;
  ReportScript& operator=(const ReportScript&) = delete;

  void PushPoll(int atPoll, ReportRequest r, bool confirmed = false) {
    PollEvents.push_back({atPoll, ReportPoll{r, confirmed}});
  }
  std::vector<Record> Of(std::string_view what) const {
    std::vector<Record> r;
    for (const auto& rec : Log)
      if (rec.What == what) r.push_back(rec);
    return r;
  }
  // Number of records and report lines containing text.
  int Count(std::string_view text) const {
    int n = 0;
    for (const auto& rec : Log) {
      bool hit = rec.Header.find(text) != std::string::npos;
      for (const auto& l : rec.Lines) hit = hit || l.find(text) != std::string::npos;
      n += hit;
    }
    for (const auto& l : ListingLines) n += l.find(text) != std::string::npos;
    return n;
  }
  bool Saw(std::string_view text) const { return Count(text) > 0; }

  void Message(ReportKind kind, const std::string& header,
               const std::vector<std::string>& lines) override {
    const char* what = kind == ReportKind::Info      ? "info"
                       : kind == ReportKind::Warning ? "warning"
                                                     : "error";
    Log.push_back({what, header, lines});
  }
  bool Ask(const std::string& header, const std::vector<std::string>& lines, bool dflt) override {
    Log.push_back({"yesno", header, lines});
    if (Answers.empty()) return dflt;
    const bool a = Answers.front();
    Answers.pop_front();
    return a;
  }
  void Line(const std::string& text) override { ListingLines.push_back(text); }
  bool EditFields(const std::string& header, std::vector<ReportField>& fields) override {
    std::vector<std::string> shown;
    for (const auto& f : fields) shown.push_back(f.Label + ": " + f.Value);
    Log.push_back({"form", header, shown});
    if (Forms.empty()) return false;
    std::vector<std::string> values = std::move(Forms.front());
    Forms.pop_front();
    if (values.empty()) return false;
    for (size_t k = 0; k < fields.size() && k < values.size(); ++k) fields[k].Value = values[k];
    return true;
  }
  void ProgressBegin(const std::string& title) override {
    ++ProgressOpen;
    Log.push_back({"progress", title, {}});
  }
  void ProgressEnd() override { --ProgressOpen; }
  ReportPoll ProgressPoll() override {
    ++Polls;
    if (PollEvents.empty() || PollEvents.front().AtPoll > Polls) return {};
    const ReportPoll p = PollEvents.front().Poll;
    PollEvents.pop_front();
    return p;
  }
};

}  // namespace tarn::test
