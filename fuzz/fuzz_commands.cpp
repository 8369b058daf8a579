// Fuzz target of the command-block reader and the block rewriter.
// The input is the text of fln.l51. For every program block: read it with a
// table shaped like the tools' tables (both "!" modes), then rewrite it with
// the values read and check that the rewritten block reads back to the same
// values and that a second rewrite changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "model/keys.hpp"
#include "model/structure.hpp"
#include "model/session.hpp"

namespace {

using namespace tarn;

constexpr KeyDef kDefs[] = {{"print", -2},
                            {"cycles", 10},
                            {"convchck", 1},
                            {"convcycl", 1},
                            {"stat", 1},
                            {"damp", 1.0},
                            {"convlim", 0.05},
                            {"diff", 1e-5},
                            {"statlim", 0.1},
                            {"#r10", 0},
                            {"fixed", 0, KeyRepeat},
                            {"equation", 0, KeyRepeat},
                            {"dontuse", 0, KeyRepeat},
                            {"randomize", 0}};

void Check(bool ok) {
  if (!ok) std::abort();
}

// Reads the block `name`; returns false when there is none.
bool ReadBlock(const std::vector<std::string>& lines, std::string_view name, KeyBang bang,
               KeyTable& t) {
  KeyUnit u;
  u.Lines = lines;
  u.Quiet = true;
  u.Bang = bang;
  int found = 0;
  Najdi(u, name, found);
  if (!found) return false;
  for (int k = 0, guard = 0;; ++guard) {
    const int rc = NactiCommon(u, t, k);
    Check(guard <= static_cast<int>(lines.size()) * 64 + 64);
    if (rc || k == 0) break;
    Check(k > t.NInt + t.NReal && k <= t.Size());
    Check(static_cast<int>(u.Text.size()) <= KeyTextMax);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 20000) return 0;
  KeyUnit src;
  KeyOpenText(src, "fuzz.l51", std::string_view(reinterpret_cast<const char*>(data), size));
  const std::vector<std::string>& lines = src.Lines;
  Struct.KeyPhases.PhaseNames.clear();
  if (size > 0 && data[0] % 3 == 0) Struct.KeyPhases.PhaseNames = {"Alpha", "Beta"};
  Sess.KPhase = size > 1 && data[1] % 2 ? 2 : 1;
  if (Struct.KeyPhases.PhaseNames.empty()) Sess.KPhase = 1;

  for (auto name : KeyBlockNames) {
    KeyTable keep = MakeKeyTable(kDefs, 5, 4);
    ReadBlock(lines, name, KeyBang::Keep, keep);
    KeyTable t = MakeKeyTable(kDefs, 5, 4);
    ReadBlock(lines, name, KeyBang::Skip, t);

    const std::vector<std::string> once = KeyRewriteBlock(lines, name, t);
    KeyTable back = MakeKeyTable(kDefs, 5, 4);
    Check(ReadBlock(once, name, KeyBang::Skip, back));
    for (int k = 1; k <= t.NInt + t.NReal; ++k) Check(back[k].Value == t[k].Value);
    Check(KeyRewriteBlock(once, name, back) == once);
    for (auto& l : KeyValueLines(t)) Check(l.size() <= static_cast<size_t>(KeyLineMax));
  }
  return 0;
}
