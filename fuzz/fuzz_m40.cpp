// libFuzzer target of the M40 reader: any text must either be refused with a
// message or be read into a model that writes back to a text which reads and
// writes again to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/m40.hpp"
#include "model/structure.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarn;
  if (Struct.Basic.Phase.empty()) {
    Struct.Basic.Phase.resize(1);
    Struct.Basic.Phase[0].AtType = {"Fe", "O", "C"};
  }
  std::string_view text(reinterpret_cast<const char*>(data), size);
  AtomModel m;
  ErrorRecord err;
  if (M40ReadText(text, "fuzz.m40", m, &err)) {
    if (err.Message.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  std::string w1, w2;
  if (M40WriteText(m, w1)) return 0;  // e.g. a value that does not fit its field
  AtomModel r;
  if (M40ReadText(w1, "fuzz2.m40", r)) std::abort();  // what we write we must read
  if (M40WriteText(r, w2) || w1 != w2) std::abort();
  return 0;
}
