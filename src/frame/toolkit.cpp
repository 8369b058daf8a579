#include "frame/toolkit.hpp"

namespace tarn {

namespace {

FeSilentToolkit null_toolkit;
FeToolkit* current = &null_toolkit;

}  // namespace

FeToolkit& Fe() {
  return *current;
}
void FeSetToolkit(FeToolkit* tk) {
  current = tk ? tk : &null_toolkit;
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
