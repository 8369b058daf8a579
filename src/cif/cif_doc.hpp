#pragma once
// The CIF report as a document: data blocks, comment lines, items and loops
// in writing order, with its text form and the merge with an earlier file.
#include <string>
#include <string_view>
#include <vector>

#include "cif/cif_dict.hpp"
#include "util/cif_syntax.hpp"

namespace tarn {

// One value as it is written.
struct CifOut {
  enum Forms : int { Auto = 0, Plain, Quoted, TextField };
  std::string Text = "?";
  int Form = Auto;
  std::string Comment;  // written after the value as "# comment"
  // "?" unquoted, or a text field that holds only "?" (the template's).
  bool Unknown() const {
    if (Form == Quoted) return false;
    if (Form != TextField) return Text == "?";
    const size_t a = Text.find_first_not_of(" \n");
    return a != std::string::npos && Text[a] == '?' &&
           Text.find_first_not_of(" \n", a + 1) == std::string::npos;
  }
};

// A value read from a CIF as it is to be written again.
CifOut CifOutOf(const CifValue& v);

struct CifEntry {
  enum Kinds : int { Comment, Block, Item, Loop };
  int Kind = Item;
  std::string Text;  // comment text (without "#") or block name
  std::string Name;  // item
  CifOut Value;
  std::vector<std::string> Names;  // loop
  std::vector<std::vector<CifOut>> Rows;
};

struct CifDoc {
  std::vector<CifEntry> Entries;
  std::vector<int> MissingKeys;  // keys the dictionary could not name
};

// Adds entries by key number through the dictionary; a key without a name
// is recorded in MissingKeys and its item or loop left out.
class CifBuilder {
 public:
  CifBuilder(const CifDict& dict, CifDoc& doc) : dict_(dict), doc_(doc) {}
  void Block(const std::string& name);
  void Comment(const std::string& text);
  void Item(int key, CifOut value = {});
  void Loop(const std::vector<int>& keys, std::vector<std::vector<CifOut>> rows);
  // Shorthands of a value's form.
  static CifOut Q(std::string text) { return {std::move(text), CifOut::Quoted, {}}; }
  static CifOut P(std::string text) { return {std::move(text), CifOut::Plain, {}}; }
  static CifOut T(std::string text) { return {std::move(text), CifOut::TextField, {}}; }

 private:
  bool Named(int key, std::string& name);
  const CifDict& dict_;
  CifDoc& doc_;
};

// The text of a value in the form it needs (quotes, text field).
std::string CifValueText(const CifOut& v);
// The text of the document.
std::string CifDocText(const CifDoc& doc);

// Keeps the user's part of an earlier file: an item that the document leaves
// unknown ("?") takes the earlier value; a loop whose values are all unknown
// is replaced by the earlier loop of the same first name; items and loops of
// the earlier file that the document does not hold at all are appended to the
// block of the same name (else the last block). Everything the document
// computes replaces the earlier values.
void CifKeepUserItems(CifDoc& doc, const CifFile& earlier);

// Merges a CIF of the user's (text of fileName) into the document: its items
// replace the document's values (a "?" leaves them), each of its loops
// replaces the document's loop or items with a name in common, and items and
// loops the document lacks are added to its last block. A text that cannot
// be read returns 1 with err (file, line, what was expected); doc is then
// unchanged.
[[nodiscard]] int CIFUpdateFromUserFile(CifDoc& doc, std::string_view text,
                                        const std::string& fileName, ErrorRecord& err);

}  // namespace tarn
