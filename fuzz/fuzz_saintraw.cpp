// Fuzzes the SAINT .raw reader (invariants in import_invariants.hpp); the first
// byte chooses the number of indices asked for and the structure's dimension.
#include <cstdint>
#include <string_view>

#include "import_invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int ndim = data[0] % 7;          // 0 (from the file) or 1..6, out-of-range included
  const int prefer = (data[0] / 7) % 7;  //
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  tarn::ImpData d;
  tarn::ErrorRecord err;
  const int rc = tarn::ReadSaintRawText(text, "fuzz.raw", ndim, prefer, d, err);
  CheckImportResult(rc, d, err);
  return 0;
}
