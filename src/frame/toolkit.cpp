#include "frame/toolkit.hpp"

namespace tarn {

namespace {

// Used before a real toolkit is installed: answers every question with its
// default, shows nothing and reports end of input.
class NullToolkit final : public FeToolkit {
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

NullToolkit null_toolkit;
FeToolkit* current = &null_toolkit;

}  // namespace

FeToolkit& Fe() { return *current; }
void FeSetToolkit(FeToolkit* tk) { current = tk ? tk : &null_toolkit; }

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
