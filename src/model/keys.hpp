#pragma once
// Keyword command blocks: the tools' option blocks kept after the basic data
// of M50 and, while the structure is open, in the work file fln.l51.
//
// A block is a header line (block name, optionally a phase name), keyword
// lines of blank-separated keyword-value items and a closing line whose first
// word is "end". Each tool declares a fixed KeyTable: integer keywords first,
// then real keywords, then special keywords whose text the tool parses itself.
//
//   static constexpr KeyDef kDefs[] = {{"cycles", 10}, {"damp", 1.0}, {"fixed", 0, KeyRepeat}};
//   KeyTable t = MakeKeyTable(kDefs, /*nInt=*/1, /*nReal=*/1);
//   KeyUnit u;  if (KeyOpen(u, L51FileName())) ...
//   int found;  Najdi(u, "refine", found);
//   for (int k;;) { if (NactiCommon(u, t, k) || k == 0) break;  ... parse u.Text ... }
#include <array>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// ---- keyword tables ----------------------------------------------------------

inline constexpr int KeyNameLen = 10;    // keyword names: at most 10 characters
inline constexpr int KeyTextMax = 5555;  // text buffer of a special keyword, characters
inline constexpr int KeyLineMax = 78;    // longest line written by WriteKeys
inline constexpr bool KeyRepeat = true;  // KeyDef::Repeat: may occur any number of times

enum class KeyKind : unsigned char { Int, Real, Special };

// One entry of a tool's declaration. Names beginning with "#" are
// placeholders that keep later positions stable and never match a word.
struct KeyDef {
  std::string_view Name;
  double Default = 0.;  // integral for integer keywords; unused for special ones
  bool Repeat = false;  // true: may occur any number of times
};

struct KeySlot {
  std::string Name;  // at most KeyNameLen characters
  KeyKind Kind = KeyKind::Int;
  double Default = 0.;
  double Value = 0.;  // integer keywords hold integral values
  int Count = 0;      // 0 not yet seen, 1 seen, negative: may repeat
  int NActive = 0;    // active commands counted by UpdateNumberOfCommands
  int NDisabled = 0;  // disabled ("!") commands counted there
};

struct KeyTable {
  std::vector<KeySlot> Slot;  // Slot[k - 1] is keyword k
  int NInt = 0;               // keywords 1 .. NInt are integer
  int NReal = 0;              // keywords NInt+1 .. NInt+NReal are real
  bool SingleReal = false;    // real values are kept in single precision

  int Size() const { return static_cast<int>(Slot.size()); }
  KeySlot& operator[](int k) { return Slot[static_cast<size_t>(k - 1)]; }
  const KeySlot& operator[](int k) const { return Slot[static_cast<size_t>(k - 1)]; }
  bool IsSimple(int k) const { return k >= 1 && k <= NInt + NReal; }
  int Int(int k) const { return static_cast<int>((*this)[k].Value); }
  double Real(int k) const { return (*this)[k].Value; }
  void SetInt(int k, int v) { (*this)[k].Value = v; }
  void SetReal(int k, double v);
};

// Builds a table from its declaration: defs[0 .. nInt) integer,
// defs[nInt .. nInt+nReal) real, the rest special. Values start at defaults.
KeyTable MakeKeyTable(std::span<const KeyDef> defs, int nInt, int nReal, bool singleReal = false);
// Values back to defaults, occurrence counters back to "not yet seen".
void KeyResetTable(KeyTable& t);

// Looks a typed word up: an exact name (case ignored) or an unambiguous
// abbreviation. Returns the keyword number, 0 when unknown, -1 when ambiguous.
int KeyFind(const KeyTable& t, std::string_view word);

// ---- the open unit -------------------------------------------------------------

// How a line beginning with "!" (a disabled command) is read.
enum class KeyBang : unsigned char {
  Skip,  // skipped together with its "&" continuation lines
  Keep   // read, with KeyUnit::Disabled set for what it yields
};

// What the reader met, recorded when KeyUnit::Trace is set (used by the writers).
struct KeyEvent {
  enum Type : unsigned char { SimpleItem, SpecialItem, EndWord } What = SimpleItem;
  int K = 0;      // keyword number (SimpleItem, SpecialItem)
  int Line = 0;   // 0-based index into KeyUnit::Lines
  int Begin = 0;  // column of the keyword (or of "end")
  int End = 0;    // SimpleItem: column after its value; SpecialItem: its last line
  bool Disabled = false;
};

// A command-block source read line by line (a file, or text in memory).
struct KeyUnit {
  std::string FileName;            // for messages
  int FirstLineNo = 1;             // number of Lines[0] in FileName, for messages
  std::vector<std::string> Lines;  // the whole file
  int Next = 0;                    // index of the next unread line
  KeyBang Bang = KeyBang::Skip;
  bool Echo = false;   // echo keyword lines to Listing as "=>" line "<="
  bool Quiet = false;  // no messages (the writers' own scans)
  std::function<void(const std::string&)> Listing;  // the tool's listing, may be empty
  std::vector<KeyEvent>* Trace = nullptr;

  // Results of the last NactiCommon call.
  std::string Text;       // special keyword: its text from the keyword onward
  int TextWord = 0;       // length of the keyword word at the start of Text
  bool Disabled = false;  // the keyword came from a "!" line (KeyBang::Keep)
  bool Finished = false;  // "end" read, or the block could not be read on
  int NErrors = 0;        // messages reported so far

  // Words of the current line still to be read.
  int CurLine = -1;  // index of the current line, -1 none
  std::string Cur;   // current line, comment removed, "!"/"&" blanked
  int Pos = 0;       // next column of Cur to read
  bool CurDisabled = false;
};

// Opens a file as a unit. Returns 0, or 1 after a message when it cannot be read.
[[nodiscard]] int KeyOpen(KeyUnit& u, const std::string& path);
// A unit over text in memory (name used in messages).
void KeyOpenText(KeyUnit& u, std::string name, std::string_view text);
// The argument text of the last special keyword (Text without the keyword).
std::string_view KeyArgs(const KeyUnit& u);

// ---- phases of the structure ----------------------------------------------------

// Phase names in order, set by the M50 reader; phase-specific blocks carry the
// current phase's name (Sess.KPhase) when there is more than one phase.
struct KeyPhaseState {
  std::vector<std::string> PhaseNames;
};

// ---- reading ------------------------------------------------------------------------

// Najdi ("find"): positions the unit after the header of the block `name` of the current
// phase, searching from the unit's current line: found = 1, or found = 0 and
// the unit is at its end.
void Najdi(KeyUnit& u, std::string_view name, int& found);

// NactiCommon ("read common"): reads the next keyword of the current block into k:
//   k == 0: "end" read (u.Finished) or the block could not be read on;
//   k > NInt + NReal: a special keyword, its text (continuation lines joined)
//     in u.Text; u.Disabled tells whether it came from a "!" line;
//   simple keywords are consumed here: their value goes into the table.
// Errors in single words are reported and counted in u.NErrors, and reading
// goes on. Returns 1 when the block ended without "end" (end of file or a read
// error), 0 otherwise.
[[nodiscard]] int NactiCommon(KeyUnit& u, KeyTable& t, int& k);

// ---- storage in M50 and fln.l51 ---------------------------------------------------

// Program block names in their fixed order.
inline constexpr std::array<std::string_view, 5> KeyBlockNames = {"refine", "fourier", "dist",
                                                                  "contour", "mod2d"};
// The separator line written between the basic data and the blocks.
extern const std::string KeySeparator;
// Any line beginning with "****" separates and is never block text.
bool IsKeySeparator(std::string_view line);

std::string L51FileName();  // Sess.fln + ".l51"
std::string M50FileName();  // Sess.fln + ".m50"

// Appends an empty block ("name", "end name") for every program block that
// Najdi would not find for some phase: the first four, and "mod2d" too when
// withMod2d. With several phases a block other than "refine" is added per phase.
void AddDefaultBlocks(std::vector<std::string>& lines, bool withMod2d);

// Writes fln.l51 from the lines that follow the basic data's "end" line in
// M50 (a leading separator is dropped): a separator, the blocks, and the
// default blocks missing among them.
[[nodiscard]] int KeysStoreL51(const std::vector<std::string>& tail, bool withMod2d);
// The block lines to append after the separator when M50 is written: fln.l51
// without its leading separator. When fln.l51 does not exist it is first
// created with the default blocks.
[[nodiscard]] int KeysTailForM50(std::vector<std::string>& out, bool withMod2d);
// Rewrites the part of fln.m50 after the basic data from fln.l51; the basic
// data are kept byte for byte.
[[nodiscard]] int KeysRewriteM50();
// Replaces the block of the current phase (its header is blockLines[0], the
// last line its "end" line) in fln.l51 and fln.m50, or appends it when the
// block is missing. Both files are prepared before either is replaced.
[[nodiscard]] int KeysReplaceBlock(const std::vector<std::string>& blockLines);
// The block `name` of the current phase as stored, header through its "end"
// line; empty when there is none. Returns 1 when the blocks cannot be read.
[[nodiscard]] int KeysBlockLines(std::string_view name, std::vector<std::string>& out);

// Where lines given to the checks below come from, for the reader's messages.
struct KeyCheckSource {
  std::string File;                                 // file named in the messages
  int FirstLine = 1;                                // line number of the first line in that file
  std::function<void(const std::string&)> Listing;  // may be empty
};
// Reads the keyword lines of a block body (without header; an "end" line is
// optional) with a tool's table; every problem is reported with the reader's
// message. Returns the number of messages (0: the tool will read the block).
int KeysCheckBlock(const std::vector<std::string>& body, const KeyTable& table,
                   const KeyCheckSource& src);
// Merges keyword lines into the block `name` of the current phase (added when
// missing): a simple keyword replaces its stored value (a value equal to the
// default is dropped, as WriteKeys does); a special command is added unless an
// identical active one is stored (words compared ignoring case and spacing),
// and replaces the stored one of a keyword that may occur only once. Comments
// and other commands stay. The edit lines are read first: when the reader
// reports anything, nothing is written and 1 is returned. notes get one line
// per change ("cycles 10", the added command, "... (already there)").
[[nodiscard]] int KeysMergeBlock(std::string_view name, const std::vector<std::string>& edit,
                                 const KeyTable& table, const KeyCheckSource& src,
                                 std::vector<std::string>& notes);

// ---- writing ----------------------------------------------------------------------

// The lines of the simple keywords whose value differs from its default, in
// table order: each line starts with two blanks, items are separated by one
// blank, no line longer than KeyLineMax unless a single item is.
std::vector<std::string> KeyValueLines(const KeyTable& t);
// Text of keyword k's value: an integer, or the shortest real that reads back.
std::string KeyValueText(const KeyTable& t, int k);

// The block `name` of the current phase in `lines` rewritten with the current
// simple values; special-keyword, comment and disabled lines are kept.
// Appends the block when it is missing.
std::vector<std::string> KeyRewriteBlock(const std::vector<std::string>& lines,
                                         std::string_view name, const KeyTable& t);
// Rewrites the block in fln.l51 with the table's current simple values.
[[nodiscard]] int WriteKeys(std::string_view blockName, const KeyTable& t);

// Name of the temporary file of one kind of command: fln + "_" + keyword + ".tmp".
std::string KeyTmpFileName(std::string_view keyword);
// Copies each command of `keyword` in block `block` of fln.l51 (disabled ones
// with their leading "!", continuation lines joined, one command a line) into
// KeyTmpFileName(keyword). In a "refine" block "dontuse" and "useonly" are
// collected together.
[[nodiscard]] int MakeKeyWordFile(std::string_view keyword, std::string_view block,
                                  const KeyTable& t);
// Appends the lines of KeyTmpFileName(name), each indented by two blanks, to
// `block` and deletes the file. A missing file appends nothing.
[[nodiscard]] int MergeFileToM50(std::string_view name, std::vector<std::string>& block);
// Counts the commands in KeyTmpFileName(name of keyword k) up to the first
// blank line into t[k].NActive and t[k].NDisabled ("!" lines; "#" lines are
// not counted).
void UpdateNumberOfCommands(KeyTable& t, int k);
// DopisKeys ("write the keys back"): ends the editing of a block: editedFile holds the whole edited
// block. When it differs from the stored block the user is asked whether to keep the changes (batch
// mode keeps them) and fln.l51 and M50 get the new block. The edited file is removed. changed tells
// whether the block was replaced.
[[nodiscard]] int DopisKeys(const std::string& editedFile, bool& changed);

}  // namespace tarn
