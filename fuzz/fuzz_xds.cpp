// Fuzzes the XDS reader, header and records (invariants in import_invariants.hpp).
#include <cstdint>
#include <string_view>

#include "import_invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tarn::ImpData d;
  tarn::ErrorRecord err;
  const int rc = tarn::ReadXdsText(text, "fuzz.HKL", d, err);
  CheckImportResult(rc, d, err);
  return 0;
}
