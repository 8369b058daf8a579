// Fuzzes the SHELX HKLF 3/4/5 reader (invariants in import_invariants.hpp).
#include <cstdint>
#include <string_view>

#include "import_invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tarn::ImpData d;
  tarn::ErrorRecord err;
  const int hklf = size > 0 ? 3 + data[0] % 3 : 4;
  if (size > 0) text.remove_prefix(1);
  const int rc = tarn::ReadShelxHklText(text, "fuzz.hkl", hklf, 0, 0, 1, d, err);
  CheckImportResult(rc, d, err);
  return 0;
}
