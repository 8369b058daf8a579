// Fuzzes the FullProf .int reader, and with it the Fortran format interpreter
// of its second line, and the XD reader (invariants in import_invariants.hpp).
#include <cstdint>
#include <string_view>

#include "import_invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tarn::ImpData d;
  tarn::ErrorRecord err;
  int rc = tarn::DRBasicFullProfText(text, "fuzz.int", d, err);
  CheckImportResult(rc, d, err);
  // A file with modulation vectors gives satellite indices within 3 + vectors.
  if (rc == 0 && d.QVec.size() != 3 * static_cast<size_t>(d.NDim - 3)) __builtin_trap();
  tarn::ImpData x;
  tarn::ErrorRecord xerr;
  rc = tarn::DRBasicRefXDText(text, "fuzz.hkl", x, xerr);
  CheckImportResult(rc, x, xerr);
  return 0;
}
