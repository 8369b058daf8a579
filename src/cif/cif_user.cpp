// Merging a CIF of the user's (authors, crystal and experiment from the data
// collection, ...) into the report.
#include <map>
#include <optional>

#include "cif/cif_doc.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

CifOut Out(const CifValue& v) {
  CifOut o;
  o.Text = v.Kind == CifValue::TextField && v.Text.rfind('\n', 0) == 0 ? v.Text.substr(1) : v.Text;
  o.Form = v.Kind == CifValue::TextField ? CifOut::TextField
           : v.Kind == CifValue::Quoted  ? CifOut::Quoted
                                         : CifOut::Plain;
  return o;
}

// The embedded structure files belong to the program: a user file never
// replaces them.
bool Embedded(const std::string& name) {
  return ToLower(name).rfind("_tarn_file_", 0) == 0;
}

// Index just past the entries of the block that holds entry i.
size_t BlockEnd(const CifDoc& doc, size_t i) {
  while (i < doc.Entries.size() && doc.Entries[i].Kind != CifEntry::Block) ++i;
  return i;
}

}  // namespace

int CIFUpdateFromUserFile(CifDoc& doc, std::string_view text, const std::string& fileName,
                          ErrorRecord& err) {
  CifFile user;
  if (CifParse(text, fileName, user, err)) return 1;
  // Where each name stands in the document: entry index (case ignored).
  std::map<std::string, size_t> at;
  auto index = [&] {
    at.clear();
    for (size_t i = 0; i < doc.Entries.size(); ++i) {
      const CifEntry& e = doc.Entries[i];
      if (e.Kind == CifEntry::Item) at.emplace(ToLower(e.Name), i);
      for (const auto& n : e.Names) at.emplace(ToLower(n), i);
    }
  };
  index();
  // The structure's block (the last one) takes what the document lacks.
  size_t last = 0;
  for (size_t i = 0; i < doc.Entries.size(); ++i)
    if (doc.Entries[i].Kind == CifEntry::Block) last = i;
  std::vector<CifEntry> extra;
  for (const auto& b : user.Blocks) {
    for (const auto& it : b.Items) {
      if (it.Value.Unknown() || Embedded(it.Name)) continue;
      auto f = at.find(ToLower(it.Name));
      if (f == at.end()) {
        CifEntry e;
        e.Name = it.Name;
        e.Value = Out(it.Value);
        extra.push_back(std::move(e));
        continue;
      }
      CifEntry& e = doc.Entries[f->second];
      if (e.Kind != CifEntry::Item) continue;  // a loop column given as an item: the loop stays
      const std::string comment = e.Value.Comment;
      e.Value = Out(it.Value);
      e.Value.Comment = comment;
    }
    for (const auto& l : b.Loops) {
      CifEntry e;
      e.Kind = CifEntry::Loop;
      e.Names = l.Names;
      for (const auto& r : l.Rows) {
        std::vector<CifOut> row;
        for (const auto& v : r) row.push_back(Out(v));
        e.Rows.push_back(std::move(row));
      }
      // The document's loop with a name of this one is replaced whole.
      std::optional<size_t> same;
      for (const auto& n : l.Names) {
        auto f = at.find(ToLower(n));
        if (f != at.end() && doc.Entries[f->second].Kind == CifEntry::Loop) same = f->second;
      }
      if (same) {
        doc.Entries[*same] = std::move(e);
        index();
      } else {
        extra.push_back(std::move(e));
      }
    }
  }
  if (!extra.empty()) {
    CifEntry head;
    head.Kind = CifEntry::Comment;
    head.Text = " Items of " + fileName;
    extra.insert(extra.begin(), head);
    const size_t end = BlockEnd(doc, last + 1);
    doc.Entries.insert(doc.Entries.begin() + static_cast<long>(end), extra.begin(), extra.end());
  }
  return 0;
}

}  // namespace tarn
