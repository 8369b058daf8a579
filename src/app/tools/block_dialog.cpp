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

// The first word of a line and the rest (a leading "!" stays with the word).
std::pair<std::string, std::string> KeyAndArgs(std::string_view line) {
  const std::string_view l = Trim(line);
  const size_t sp = l.find_first_of(" \t");
  if (sp == std::string_view::npos) return {std::string(l), ""};
  return {std::string(l.substr(0, sp)), std::string(Trim(l.substr(sp)))};
}

// The dialog in the pages of tabs, then the page of the other lines.
int EditTabs(const BlockDialog& d, const std::vector<BlockTab>& tabs) {
  const KeyTable& t = *d.Table;
  std::vector<std::vector<FeFormField>> pages(tabs.size() + 1);
  std::vector<std::vector<int>> keys(tabs.size());
  std::vector<bool> used(d.Lines.size(), false);
  for (size_t p = 0; p < tabs.size(); ++p)
    for (const auto& name : tabs[p].Keys) {
      const int k = KeyFind(t, name);
      if (k <= 0) continue;
      std::string value;
      if (k <= t.NInt + t.NReal) {
        value = ValueText(t, k, t[k].Value);
      } else {
        for (size_t i = 1; i + 1 < d.Lines.size(); ++i) {
          auto [w, args] = KeyAndArgs(d.Lines[i]);
          if (!used[i] && EqIgnoreCase(w, t[k].Name)) {
            value = args;
            used[i] = true;
            break;
          }
        }
      }
      keys[p].push_back(k);
      pages[p].push_back({t[k].Name, value});
    }
  std::vector<FeFormField>& other = pages.back();
  for (size_t i = 1; i + 1 < d.Lines.size(); ++i)
    if (!used[i] && IsSpecialLine(t, d.Lines[i]))
      other.push_back({fmt::format("line {}", other.size() + 1), std::string(Trim(d.Lines[i]))});
  for (int i = 0; i < kNewLines; ++i) other.push_back({"new line", ""});
  for (;;) {
    for (size_t p = 0; p < pages.size(); ++p) {
      const std::string title = p < tabs.size() ? tabs[p].Title : "other lines";
      if (!Fe().EditForm(d.Title + ": " + title, pages[p])) return 1;
    }
    std::string text = d.Lines.front() + "\n";
    std::vector<bool> shown(static_cast<size_t>(t.NInt + t.NReal) + 1, false);
    for (size_t p = 0; p < tabs.size(); ++p)
      for (size_t f = 0; f < keys[p].size(); ++f) {
        const int k = keys[p][f];
        const std::string v(Trim(pages[p][f].Value));
        if (k <= t.NInt + t.NReal) {
          shown[static_cast<size_t>(k)] = true;
          if (v != ValueText(t, k, t[k].Default)) text += "  " + t[k].Name + " " + v + "\n";
        } else if (!v.empty()) {
          text += "  " + t[k].Name + " " + v + "\n";
        }
      }
    // Simple keywords no page shows keep their values.
    for (int k = 1; k <= t.NInt + t.NReal; ++k)
      if (!shown[static_cast<size_t>(k)] && !IsPlaceholder(t[k]) && t[k].Value != t[k].Default)
        text += "  " + t[k].Name + " " + ValueText(t, k, t[k].Value) + "\n";
    for (const auto& f : other)
      if (!Trim(f.Value).empty()) text += "  " + std::string(Trim(f.Value)) + "\n";
    text += d.Lines.back() + "\n";
    if (d.Accept(text) == 0) return 0;
  }
}

}  // namespace

int FeEditCommandBlock(const BlockDialog& d, const std::vector<BlockTab>& tabs) {
  if (!tabs.empty()) return EditTabs(d, tabs);
  return FeEditCommandBlock(d);
}

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
