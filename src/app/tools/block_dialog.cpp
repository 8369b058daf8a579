#include "app/tools/block_dialog.hpp"

#include <fmt/format.h>

#include "app/toolkit.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr int kNewLines = 4;  // empty fields offered for new special lines

bool IsPlaceholder(const KeySlot& s) { return !s.Name.empty() && s.Name[0] == '#'; }

std::string ValueText(const KeyTable& t, int k, double v) {
  return k <= t.NInt ? std::to_string(static_cast<int>(v)) : ShortestReal(v);
}

// A special line of the block: its first word (after "!") is a keyword
// beyond the simple ones.
bool IsSpecialLine(const KeyTable& t, std::string_view line) {
  std::string_view l = Trim(line);
  if (!l.empty() && l[0] == '!') l = Trim(l.substr(1));
  const auto w = SplitWords(l);
  if (w.empty()) return false;
  const int k = KeyFind(t, w[0]);
  return k > t.NInt + t.NReal;
}

}  // namespace

int FeEditCommandBlock(const BlockDialog& d) {
  const KeyTable& t = *d.Table;
  std::vector<FeFormField> simple, special;
  std::vector<int> keys;
  for (int k = 1; k <= t.NInt + t.NReal; ++k) {
    if (IsPlaceholder(t[k])) continue;
    keys.push_back(k);
    simple.push_back({t[k].Name, ValueText(t, k, t[k].Value)});
  }
  for (size_t i = 1; i + 1 < d.Lines.size(); ++i)
    if (IsSpecialLine(t, d.Lines[i]))
      special.push_back({fmt::format("line {}", special.size() + 1), std::string(Trim(d.Lines[i]))});
  for (int i = 0; i < kNewLines; ++i) special.push_back({"new line", ""});
  for (;;) {
    if (!Fe().EditForm(d.Title + ": basic values", simple)) return 1;
    if (!Fe().EditForm(d.Title + ": lists and objects", special)) return 1;
    std::string text = d.Lines.front() + "\n";
    for (size_t i = 0; i < keys.size(); ++i) {
      const std::string v(Trim(simple[i].Value));
      if (v != ValueText(t, keys[i], t[keys[i]].Default))
        text += "  " + t[keys[i]].Name + " " + v + "\n";
    }
    for (const auto& f : special)
      if (!Trim(f.Value).empty()) text += "  " + std::string(Trim(f.Value)) + "\n";
    text += d.Lines.back() + "\n";
    if (d.Accept(text) == 0) return 0;
  }
}

}  // namespace tarn
