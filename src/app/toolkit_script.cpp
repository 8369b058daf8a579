#include "app/toolkit_script.hpp"

namespace tarn {

namespace {

template <class T>
std::optional<T> Pop(std::deque<T>& q) {
  if (q.empty()) return std::nullopt;
  T v = std::move(q.front());
  q.pop_front();
  return v;
}

}  // namespace

std::vector<FeScriptToolkit::Record> FeScriptToolkit::Of(std::string_view what) const {
  std::vector<Record> r;
  for (const auto& rec : Log)
    if (rec.What == what) r.push_back(rec);
  return r;
}

int FeScriptToolkit::Count(std::string_view text) const {
  int n = 0;
  for (const auto& rec : Log) {
    bool hit = rec.Header.find(text) != std::string::npos;
    for (const auto& l : rec.Lines) hit = hit || l.find(text) != std::string::npos;
    n += hit;
  }
  for (const auto& l : ListingLines) n += l.find(text) != std::string::npos;
  return n;
}

bool FeScriptToolkit::Saw(std::string_view text) const {
  return Count(text) > 0;
}

void FeScriptToolkit::ShowMain(const FeMainView& view) {
  ++ShowCount;
  LastView = view;
}

FeEvent FeScriptToolkit::NextEvent() {
  auto e = Pop(Events);
  return e ? *e : FeEvent{EventClose, 0, 0, 0};
}

void FeScriptToolkit::Message(FeMsgKind kind, const std::string& header,
                              const std::vector<std::string>& lines) {
  const char* what = kind == FeMsgKind::Info      ? "info"
                     : kind == FeMsgKind::Warning ? "warning"
                                                  : "error";
  Log.push_back({what, header, lines});
}

bool FeScriptToolkit::YesNo(const std::string& header, const std::vector<std::string>& lines,
                            bool dflt) {
  Log.push_back({"yesno", header, lines});
  auto a = Pop(Answers);
  return a ? *a : dflt;
}

FeAnswer FeScriptToolkit::YesNoAll(const std::string& question) {
  Log.push_back({"yesnoall", question, {}});
  auto a = Pop(AllAnswers);
  return a ? *a : FeAnswer::No;
}

std::optional<std::string> FeScriptToolkit::ChooseFile(const std::string& prompt,
                                                       const std::string& hint,
                                                       const std::string& filter) {
  Log.push_back({"file", prompt, {hint, filter}});
  if (Files.empty()) return std::nullopt;
  std::optional<std::string> f = std::move(Files.front());
  Files.pop_front();
  return f;
}

std::optional<int> FeScriptToolkit::ChooseFromList(const std::string& header,
                                                   const std::vector<std::string>& items) {
  Log.push_back({"list", header, items});
  if (Choices.empty()) return std::nullopt;
  std::optional<int> c = Choices.front();
  Choices.pop_front();
  if (!c || *c < 0 || *c >= static_cast<int>(items.size())) return std::nullopt;
  return c;
}

bool FeScriptToolkit::EditForm(const std::string& header, std::vector<FeFormField>& fields) {
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

void FeScriptToolkit::ShowListingFile(const std::string& path) {
  ListingFiles.push_back(path);
}

void FeScriptToolkit::ListingLine(const std::string& line) {
  ListingLines.push_back(line);
}

void FeScriptToolkit::ProgressBegin(const std::string& title) {
  ++ProgressOpen;
  Log.push_back({"progress", title, {}});
}

void FeScriptToolkit::ProgressEnd() {
  --ProgressOpen;
}

FeEvent FeScriptToolkit::PollEvent() {
  ++Polls;
  if (PollEvents.empty() || PollEvents.front().AtPoll > Polls) return FeEvent{};
  FeEvent e = PollEvents.front().Event;
  PollEvents.pop_front();
  return e;
}

}  // namespace tarn
