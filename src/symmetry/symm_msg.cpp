// Messages of the symmetry subsystem.
#include <array>

#include "symmetry/symm.hpp"
#include "util/report.hpp"

namespace tarn {

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
}  // namespace

const char* SymmMsgText(SymmMsg id) {
  return kSymmMsgText[static_cast<int>(id)];
}

int SymmFail(ErrorRecord* err, const std::string& header, std::vector<std::string> lines) {
  ReportError(header, lines);
  if (err != nullptr) err->Set(header, std::move(lines));
  return 1;
}

}  // namespace tarn
