// Messages of the symmetry subsystem and the error record.
#include <array>

#include "symmetry/symm.hpp"

namespace tarn {

SymmErrorState SymmErr;

namespace {
constexpr std::array<const char*, static_cast<int>(SymmMsg::Count)> kSymmMsgText = {
    "A syntactic error in the following symmetry operator.",
    "Inconsistent non-primitive translation found:",
    "Check them for consistency.",
    "The number of generated symmetry operators exceeds any reasonable limit.",
    "The maximal number of",
    "centring vectors exceeded.",
    "The modulation vector isn't transformed onto the set of modulation vectors by the operator:",
    "The stored symmetry set is empty:",
    "The transformation matrix is singular.",
};
SymmMessageSink gSink = nullptr;
}  // namespace

const char* SymmMsgText(SymmMsg id) {
  return kSymmMsgText[static_cast<int>(id)];
}

void SymmSetMessageSink(SymmMessageSink sink) {
  gSink = sink;
}

void SymmReport(const std::string& header, const std::vector<std::string>& lines) {
  SymmErr.Last = SymmMessage{header, lines};
  ++SymmErr.NMessages;
  if (gSink) gSink(SymmErr.Last);
}

}  // namespace tarn
