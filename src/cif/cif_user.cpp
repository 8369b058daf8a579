// Merging a CIF of the user's (authors, crystal and experiment from the data
// collection, ...) into the report.
#include <iterator>
#include <map>
#include <set>

#include "cif/cif_doc.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

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
  std::vector<CifEntry> extra;
  std::set<std::string> added;  // names of the entries in extra
  for (const auto& b : user.Blocks) {
    for (const auto& it : b.Items) {
      const std::string key = ToLower(it.Name);
      if (it.Value.Unknown() || Embedded(it.Name) || added.count(key)) continue;
      auto f = at.find(key);
      if (f == at.end()) {
        CifEntry e;
        e.Name = it.Name;
        e.Value = CifOutOf(it.Value);
        extra.push_back(std::move(e));
        added.insert(key);
        continue;
      }
      CifEntry& e = doc.Entries[f->second];
      if (e.Kind != CifEntry::Item) continue;  // a loop column given as an item: the loop stays
      const std::string comment = e.Value.Comment;
      e.Value = CifOutOf(it.Value);
      e.Value.Comment = comment;
    }
    for (const auto& l : b.Loops) {
      CifEntry e;
      e.Kind = CifEntry::Loop;
      e.Names = l.Names;
      for (const auto& r : l.Rows) {
        std::vector<CifOut> row;
        for (const auto& v : r) row.push_back(CifOutOf(v));
        e.Rows.push_back(std::move(row));
      }
      // The entries of the document with a name of this loop (its loop, or
      // items the user gives as a loop) make room for it: the first takes
      // the loop, the others go, so that no name stands twice.
      std::set<size_t> hit;
      bool taken = false;
      for (const auto& n : l.Names) {
        const std::string key = ToLower(n);
        taken = taken || added.count(key) || Embedded(n);
        if (auto f = at.find(key); f != at.end()) hit.insert(f->second);
      }
      if (taken) continue;
      if (hit.empty()) {
        for (const auto& n : l.Names) added.insert(ToLower(n));
        extra.push_back(std::move(e));
        continue;
      }
      doc.Entries[*hit.begin()] = std::move(e);
      for (auto i = hit.rbegin(); i != std::prev(hit.rend()); ++i)
        doc.Entries.erase(doc.Entries.begin() + static_cast<long>(*i));
      index();
    }
  }
  if (!extra.empty()) {
    // The structure's block (the last one) takes what the document lacks.
    size_t last = 0;
    for (size_t i = 0; i < doc.Entries.size(); ++i)
      if (doc.Entries[i].Kind == CifEntry::Block) last = i;
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
