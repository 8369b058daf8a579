#include "cif/cif_doc.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr size_t kItemColumn = 34;  // values of single items start here
constexpr size_t kLineMax = 80;     // longer values go into text fields


bool NeedsQuotes(const std::string& s) {
  if (s.empty()) return true;
  const char c = s[0];
  if (c == '_' || c == '#' || c == '$' || c == '\'' || c == '"' || c == '[' || c == ']' || c == ';')
    return true;
  if (s.find_first_of(" \t") != std::string::npos) return true;
  const std::string l = ToLower(s);
  return l.rfind("data_", 0) == 0 || l.rfind("save_", 0) == 0 || l == "loop_" || l == "global_" ||
         l == "stop_";
}

// A quote that can close the value: q followed by a blank inside it cannot.
bool CanQuote(const std::string& s, char q) {
  for (size_t i = 0; i + 1 < s.size(); ++i)
    if (s[i] == q && (s[i + 1] == ' ' || s[i + 1] == '\t')) return false;
  return true;
}

bool IsWholeLoopUnknown(const CifEntry& e) {
  for (const auto& r : e.Rows)
    for (const auto& v : r)
      if (!v.Unknown()) return false;
  return true;
}

}  // namespace

bool CifBuilder::Named(int key, std::string& name) {
  name = dict_.Name(key);
  if (!name.empty()) return true;
  if (std::find(doc_.MissingKeys.begin(), doc_.MissingKeys.end(), key) == doc_.MissingKeys.end())
    doc_.MissingKeys.push_back(key);
  return false;
}

void CifBuilder::Block(const std::string& name) {
  CifEntry e;
  e.Kind = CifEntry::Block;
  e.Text = name;
  doc_.Entries.push_back(std::move(e));
}

void CifBuilder::Comment(const std::string& text) {
  CifEntry e;
  e.Kind = CifEntry::Comment;
  e.Text = text;
  doc_.Entries.push_back(std::move(e));
}

void CifBuilder::Item(int key, CifOut value) {
  CifEntry e;
  if (!Named(key, e.Name)) return;
  e.Value = std::move(value);
  doc_.Entries.push_back(std::move(e));
}

void CifBuilder::Loop(const std::vector<int>& keys, std::vector<std::vector<CifOut>> rows) {
  CifEntry e;
  e.Kind = CifEntry::Loop;
  bool ok = true;
  for (int k : keys) {
    std::string n;
    ok = Named(k, n) && ok;
    e.Names.push_back(n);
  }
  if (!ok || rows.empty()) return;
  e.Rows = std::move(rows);
  doc_.Entries.push_back(std::move(e));
}

std::string CifValueText(const CifOut& v) {
  const bool multi = v.Text.find('\n') != std::string::npos;
  int form = v.Form;
  if (form == CifOut::Auto)
    form = multi || v.Text.size() > kLineMax ? CifOut::TextField
           : NeedsQuotes(v.Text)             ? CifOut::Quoted
                                             : CifOut::Plain;
  if (form == CifOut::Quoted && (multi || (!CanQuote(v.Text, '\'') && !CanQuote(v.Text, '"'))))
    form = CifOut::TextField;
  // A plain value may carry leading blanks that align a column.
  if (form == CifOut::Plain && NeedsQuotes(std::string(Trim(v.Text)))) form = CifOut::Quoted;
  if (form == CifOut::Plain) return v.Text;
  if (form == CifOut::Quoted) {
    const char q = CanQuote(v.Text, '\'') ? '\'' : '"';
    return q + v.Text + q;
  }
  // A text field: ";" lines around the text; a line of the text that starts
  // with ";" would end the field, so it gets a leading blank.
  std::string out = ";\n";
  size_t pos = 0;
  while (pos <= v.Text.size()) {
    size_t end = v.Text.find('\n', pos);
    if (end == std::string::npos) end = v.Text.size();
    std::string line = v.Text.substr(pos, end - pos);
    if (!line.empty() && line[0] == ';') line.insert(line.begin(), ' ');
    out += line + "\n";
    pos = end + 1;
  }
  return out + ";";
}

std::string CifDocText(const CifDoc& doc) {
  std::string out;
  auto withComment = [](std::string t, const CifOut& v) {
    if (!v.Comment.empty()) t += "   # " + v.Comment;
    return t;
  };
  for (const auto& e : doc.Entries) {
    switch (e.Kind) {
      case CifEntry::Comment:
        out += e.Text.empty() ? "\n" : "#" + e.Text + "\n";
        break;
      case CifEntry::Block:
        out += (out.empty() ? "" : "\n") + ("data_" + e.Text) + "\n";
        break;
      case CifEntry::Item: {
        const std::string v = CifValueText(e.Value);
        if (v[0] == ';') {
          out += e.Name + "\n" + withComment(v, e.Value) + "\n";
        } else {
          std::string line = e.Name;
          line += line.size() + 1 < kItemColumn ? std::string(kItemColumn - line.size(), ' ') : " ";
          if (line.size() + v.size() > kLineMax)
            out += e.Name + "\n " + withComment(v, e.Value) + "\n";
          else
            out += withComment(line + v, e.Value) + "\n";
        }
        break;
      }
      case CifEntry::Loop: {
        out += "loop_\n";
        for (const auto& n : e.Names) out += "  " + n + "\n";
        for (const auto& r : e.Rows) {
          std::string line;
          for (const auto& v : r) {
            const std::string t = CifValueText(v);
            if (t[0] == ';') {
              if (!line.empty()) out += line + "\n";
              out += withComment(t, v) + "\n";
              line.clear();
            } else {
              line += " " + t;
              if (!v.Comment.empty()) {
                out += line + "   # " + v.Comment + "\n";
                line.clear();
              }
            }
          }
          if (!line.empty()) out += line + "\n";
        }
        break;
      }
    }
  }
  return out;
}

void CifKeepUserItems(CifDoc& doc, const CifFile& earlier) {
  // Names the document holds (case ignored).
  std::set<std::string> known;
  for (const auto& e : doc.Entries) {
    if (e.Kind == CifEntry::Item) known.insert(ToLower(e.Name));
    for (const auto& n : e.Names) known.insert(ToLower(n));
  }
  std::map<std::string, const CifValue*> items;
  std::map<std::string, const CifLoop*> loops;  // by first name
  for (const auto& b : earlier.Blocks) {
    for (const auto& it : b.Items) items.emplace(ToLower(it.Name), &it.Value);
    for (const auto& l : b.Loops)
      if (!l.Names.empty()) loops.emplace(ToLower(l.Names[0]), &l);
  }
  for (auto& e : doc.Entries) {
    if (e.Kind == CifEntry::Item && e.Value.Unknown()) {
      auto f = items.find(ToLower(e.Name));
      if (f != items.end() && !f->second->Unknown()) {
        std::string comment = e.Value.Comment;
        e.Value = CifOutOf(*f->second);
        e.Value.Comment = comment;
      }
    } else if (e.Kind == CifEntry::Loop && !e.Names.empty() && IsWholeLoopUnknown(e)) {
      auto f = loops.find(ToLower(e.Names[0]));
      if (f != loops.end()) {
        e.Names = f->second->Names;
        e.Rows.clear();
        for (const auto& r : f->second->Rows) {
          std::vector<CifOut> row;
          for (const auto& v : r) row.push_back(CifOutOf(v));
          e.Rows.push_back(std::move(row));
        }
      }
    }
  }
  // What the document does not hold at all: appended to its block.
  for (const auto& b : earlier.Blocks) {
    std::vector<CifEntry> extra;
    for (const auto& it : b.Items)
      if (!known.count(ToLower(it.Name))) {
        CifEntry e;
        e.Name = it.Name;
        e.Value = CifOutOf(it.Value);
        extra.push_back(std::move(e));
      }
    for (const auto& l : b.Loops) {
      bool any = false;
      for (const auto& n : l.Names) any = any || known.count(ToLower(n));
      if (any) continue;
      CifEntry e;
      e.Kind = CifEntry::Loop;
      e.Names = l.Names;
      for (const auto& r : l.Rows) {
        std::vector<CifOut> row;
        for (const auto& v : r) row.push_back(CifOutOf(v));
        e.Rows.push_back(std::move(row));
      }
      extra.push_back(std::move(e));
    }
    if (extra.empty()) continue;
    // End of the block of the same name, else of the last block.
    size_t at = doc.Entries.size();
    for (size_t i = 0; i < doc.Entries.size(); ++i)
      if (doc.Entries[i].Kind == CifEntry::Block && EqIgnoreCase(doc.Entries[i].Text, b.Name)) {
        at = i + 1;
        while (at < doc.Entries.size() && doc.Entries[at].Kind != CifEntry::Block) ++at;
      }
    CifEntry head;
    head.Kind = CifEntry::Comment;
    head.Text = " Items kept from the earlier file";
    extra.insert(extra.begin(), head);
    doc.Entries.insert(doc.Entries.begin() + static_cast<long>(at), extra.begin(), extra.end());
    for (const auto& e : extra) {
      if (e.Kind == CifEntry::Item) known.insert(ToLower(e.Name));
      for (const auto& n : e.Names) known.insert(ToLower(n));
    }
  }
}

CifOut CifOutOf(const CifValue& v) {
  CifOut o;
  // A text field's value starts with the rest of its opening ";" line, empty
  // in the files we write: that line break is not part of the text.
  o.Text = v.Kind == CifValue::TextField && v.Text.rfind('\n', 0) == 0 ? v.Text.substr(1) : v.Text;
  o.Form = v.Kind == CifValue::TextField ? CifOut::TextField
           : v.Kind == CifValue::Quoted  ? CifOut::Quoted
                                         : CifOut::Plain;
  return o;
}

}  // namespace tarn
