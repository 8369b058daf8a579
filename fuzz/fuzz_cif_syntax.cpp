// Fuzzes the CIF syntax reader and the number helper: a fault is reported
// with a line inside the text; on success every loop row has one value per
// data name and every value's line lies inside the text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "util/cif_syntax.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  int nLines = 1;
  for (char c : text) nLines += c == '\n';
  tarn::CifFile f;
  tarn::ErrorRecord err;
  if (tarn::CifParse(text, "fuzz.cif", f, err)) {
    if (err.Line < 1 || err.Line > nLines) std::abort();
    return 0;
  }
  for (const auto& b : f.Blocks) {
    for (const auto& it : b.Items) {
      if (it.Value.Line < 1 || it.Value.Line > nLines) std::abort();
      double v = 0., su = 0.;
      if (tarn::CifNumber(it.Value.Text, v, su) && !(su >= 0.)) std::abort();
    }
    for (const auto& l : b.Loops) {
      if (l.Names.empty() || l.Rows.empty()) std::abort();
      for (const auto& r : l.Rows)
        if (r.size() != l.Names.size()) std::abort();
    }
  }
  return 0;
}
