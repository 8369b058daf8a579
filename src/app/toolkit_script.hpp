#pragma once
// A scripted toolkit for the tests: replays queued events and answers and
// records every message, question, file prompt and listing it is shown.
// When a queue runs dry, questions get their default answer, choosers are
// cancelled and the next event is the close request (kind 9).
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/toolkit.hpp"

namespace tarn {

class FeScriptToolkit final : public FeToolkit {
 public:
  struct Record {
    std::string What;  // "info", "warning", "error", "yesno", "yesnoall", "file", "list", "form",
                       // "progress"
    std::string Header;
    std::vector<std::string> Lines;
  };

  // Input.
  std::deque<FeEvent> Events;
  std::deque<bool> Answers;                      // YesNo
  std::deque<FeAnswer> AllAnswers;               // YesNoAll
  std::deque<std::optional<std::string>> Files;  // ChooseFile
  std::deque<std::optional<int>> Choices;        // ChooseFromList
  std::deque<std::vector<std::string>> Forms;    // EditForm: new values; empty cancels
  // PollEvent: each event is delivered by the first poll whose count (1-based,
  // counted since the toolkit was made) reaches its AtPoll.
  struct Timed {
    int AtPoll = 1;
    FeEvent Event;
  };
  std::deque<Timed> PollEvents;

  // Output.
  std::vector<Record> Log;
  std::vector<std::string> ListingLines;  // ListingLine
  std::vector<std::string> ListingFiles;  // ShowListingFile
  int ShowCount = 0;
  int Polls = 0;         // PollEvent calls so far
  int ProgressOpen = 0;  // ProgressBegin minus ProgressEnd calls
  FeMainView LastView;

  // Convenience for the tests.
  void Push(int kind, int id = 0, int subKind = 0, int value = 0) {
    Events.push_back(FeEvent{kind, id, subKind, value});
  }
  void PushPoll(int atPoll, int id, int subKind = 0) {
    PollEvents.push_back(Timed{atPoll, FeEvent{EventButton, id, subKind, 0}});
  }
  // Records of one kind ("info", ...), in order.
  std::vector<Record> Of(std::string_view what) const;
  // True when a header or line of a record, or a listing line, contains text.
  bool Saw(std::string_view text) const;
  // Number of records and listing lines containing text.
  int Count(std::string_view text) const;

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
};

}  // namespace tarn
