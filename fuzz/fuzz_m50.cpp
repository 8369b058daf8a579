// Fuzz target of the M50 reader and writer. The input is the text of an M50
// file. A text that reads must write, read back and write again to the same
// bytes; SetBasicM50 must then complete it or refuse it without crashing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "model/basic.hpp"
#include "model/m50.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  BasicData a;
  if (ReadM50Text(text, "fuzz.m50", a)) return 0;
  std::string t1 = WriteM50Text(a);
  BasicData b;
  if (ReadM50Text(t1, "fuzz.m50", b)) std::abort();  // written text must read
  if (WriteM50Text(b) != t1) std::abort();           // and write back unchanged
  (void)SetBasicM50(b);
  return 0;
}
