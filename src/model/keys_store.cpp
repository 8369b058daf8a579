// Storage of the command blocks in M50 and fln.l51, and the writers:
// WriteKeys, MakeKeyWordFile, MergeFileToM50, UpdateNumberOfCommands, DopisKeys.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "model/keys.hpp"
#include "model/keys_internal.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/real_text.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

using namespace keys_detail;

const std::string KeySeparator(80, '*');

namespace {

namespace storemsg {
constexpr std::string_view CantRead = "The file \"{}\" cannot be read.";
constexpr std::string_view CantWrite = "The file \"{}\" cannot be written.";
constexpr std::string_view NoEndM50 = "Unexpected end of M50 file.";
constexpr std::string_view NotSpecial = "\"{}\" isn't a command keyword of the table.";
constexpr std::string_view NoHeader = "The file \"{}\" holds no command block.";
constexpr std::string_view KeepChanges = "The \"{}\" commands have been changed.";
constexpr std::string_view KeepQuestion = "Do you want to keep the changes?";
}  // namespace storemsg

namespace fs = std::filesystem;

// Reads a text file into lines (CR LF accepted). 1 when it cannot be read.
int ReadLines(const std::string& path, std::vector<std::string>& out) {
  out.clear();
  std::ifstream f(path, std::ios::binary);
  if (!f) return 1;
  std::ostringstream ss;
  ss << f.rdbuf();
  if (f.bad()) return 1;
  KeyUnit u;
  KeyOpenText(u, path, ss.str());
  out = std::move(u.Lines);
  return 0;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string s;
  for (auto& l : lines) {
    s += l;
    s += '\n';
  }
  return s;
}

// Writes text beside path under a temporary name; the caller renames it.
int WriteTmpBeside(const std::string& path, const std::string& text, std::string& tmp) {
  tmp = fmt::format("{}.{}.keytmp", path, static_cast<long>(getpid()));
  std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
  if (f) f << text;
  if (f) f.flush();
  if (!f) {
    f.close();
    std::error_code ec;
    fs::remove(tmp, ec);
    ReportError(fmt::format(storemsg::CantWrite, path));
    return 1;
  }
  return 0;
}

int RenameInto(const std::string& tmp, const std::string& path) {
  std::error_code ec;
  fs::rename(tmp, path, ec);
  if (ec) {
    fs::remove(tmp, ec);
    ReportError(fmt::format(storemsg::CantWrite, path));
    return 1;
  }
  return 0;
}

int WriteAtomic(const std::string& path, const std::vector<std::string>& lines) {
  if (FeWriteFileAtomic(path, JoinLines(lines)) == 0) return 0;
  ReportError(fmt::format(storemsg::CantWrite, path));
  return 1;
}

std::string PhaseName(int k) {
  const auto& ph = Struct.KeyPhases.PhaseNames;
  if (k >= 1 && k <= static_cast<int>(ph.size())) return std::string(Trim(ph[k - 1]));
  return {};
}

int NPhases() {
  return std::max<int>(1, static_cast<int>(Struct.KeyPhases.PhaseNames.size()));
}

// Header written for a new block of the current phase.
std::string NewHeader(std::string_view name) {
  std::string h(name);
  if (NPhases() > 1 && !EqIgnoreCase(name, "refine")) h += " " + PhaseName(Sess.KPhase);
  return h;
}

// Block lines without the leading separator of fln.l51.
void DropLeadingSeparator(std::vector<std::string>& lines) {
  if (!lines.empty() && IsKeySeparator(lines.front())) lines.erase(lines.begin());
}

// Index of the basic data's "end" line in M50, or -1.
int M50EndLine(const std::vector<std::string>& lines) {
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    auto t = TrimLeft(lines[i]);
    if (t.empty() || t.front() == '*' || t.front() == '#' || t.substr(0, 2) == "--") continue;
    auto w = SplitWords(t.substr(0, t.find('!')));
    if (!w.empty() && EqIgnoreCase(w[0], "end")) return i;
  }
  return -1;
}

// M50 with its blocks replaced by `blocks` (lines without a leading separator).
int BuildM50(const std::string& path, const std::vector<std::string>& blocks,
             std::vector<std::string>& out) {
  std::vector<std::string> m50;
  if (ReadLines(path, m50)) {
    ReportError(fmt::format(storemsg::CantRead, path));
    return 1;
  }
  const int end = M50EndLine(m50);
  if (end < 0) {
    ReportError(std::string(storemsg::NoEndM50), {fmt::format("file {}", path)});
    return 1;
  }
  out.assign(m50.begin(), m50.begin() + end + 1);
  const bool sep = end + 1 < static_cast<int>(m50.size()) && IsKeySeparator(m50[end + 1]);
  out.push_back(sep ? m50[end + 1] : KeySeparator);
  out.insert(out.end(), blocks.begin(), blocks.end());
  return 0;
}

}  // namespace

std::string L51FileName() {
  return Sess.fln + ".l51";
}
std::string M50FileName() {
  return Sess.fln + ".m50";
}

// ---- storage -----------------------------------------------------------------------

void AddDefaultBlocks(std::vector<std::string>& lines, bool withMod2d) {
  const int nb = withMod2d ? 5 : 4;
  for (int b = 0; b < nb; ++b) {
    const std::string_view name = KeyBlockNames[b];
    for (int ph = 1; ph <= NPhases(); ++ph) {
      if (FindBlockHeader(lines, 0, name, ph) >= 0) continue;
      std::string header(name);
      if (ph > 1 && !EqIgnoreCase(name, "refine")) header += " " + PhaseName(ph);
      lines.push_back(header);
      lines.push_back("end " + std::string(name));
    }
  }
}

int KeysStoreL51(const std::vector<std::string>& tail, bool withMod2d) {
  std::vector<std::string> lines = tail;
  DropLeadingSeparator(lines);
  AddDefaultBlocks(lines, withMod2d);
  lines.insert(lines.begin(), KeySeparator);
  return WriteAtomic(L51FileName(), lines);
}

int KeysTailForM50(std::vector<std::string>& out, bool withMod2d) {
  out.clear();
  const std::string l51 = L51FileName();
  std::error_code ec;
  if (!fs::exists(l51, ec) && KeysStoreL51({}, withMod2d)) return 1;
  if (ReadLines(l51, out)) {
    ReportError(fmt::format(storemsg::CantRead, l51));
    return 1;
  }
  DropLeadingSeparator(out);
  return 0;
}

int KeysRewriteM50() {
  std::vector<std::string> blocks, m50;
  if (KeysTailForM50(blocks, false)) return 1;
  if (BuildM50(M50FileName(), blocks, m50)) return 1;
  return WriteAtomic(M50FileName(), m50);
}

namespace {

// Puts `blocks` (without the leading separator) into fln.l51 and after the
// basic data of fln.m50; both files are prepared before either is replaced.
int StoreBlocks(const std::vector<std::string>& blocks) {
  std::vector<std::string> l51 = blocks;
  l51.insert(l51.begin(), KeySeparator);
  std::error_code ec;
  const bool haveM50 = fs::exists(M50FileName(), ec);
  std::vector<std::string> m50;
  if (haveM50 && BuildM50(M50FileName(), blocks, m50)) return 1;
  std::string tmpL51, tmpM50;
  if (WriteTmpBeside(L51FileName(), JoinLines(l51), tmpL51)) return 1;
  if (haveM50 && WriteTmpBeside(M50FileName(), JoinLines(m50), tmpM50)) {
    fs::remove(tmpL51, ec);
    return 1;
  }
  if (haveM50 && RenameInto(tmpM50, M50FileName())) {
    fs::remove(tmpL51, ec);
    return 1;
  }
  return RenameInto(tmpL51, L51FileName());
}

// A command compared with another: its words, single blanks, case ignored.
std::string Normalized(std::string_view text) {
  std::string r;
  for (const auto& w : SplitWords(text)) r += (r.empty() ? "" : " ") + ToLower(w);
  return r;
}

// A special keyword met in a block: its text and the lines it takes there.
struct SpecialAt {
  int K = 0;
  std::string Text;
  int Line = 0, Begin = 0, Last = 0;  // line and column of the keyword, last line
};

}  // namespace

int KeysReplaceBlock(const std::vector<std::string>& blockLines) {
  if (blockLines.empty()) return 1;
  const std::string name = FirstWord(blockLines.front());
  std::vector<std::string> blocks;
  if (KeysTailForM50(blocks, false)) return 1;
  const int h = FindBlockHeader(blocks, 0, name, Sess.KPhase);
  if (h >= 0) {
    const int last = BlockLastLine(blocks, h);
    blocks.erase(blocks.begin() + h, blocks.begin() + last + 1);
    blocks.insert(blocks.begin() + h, blockLines.begin(), blockLines.end());
  } else {
    blocks.insert(blocks.end(), blockLines.begin(), blockLines.end());
  }
  return StoreBlocks(blocks);
}

int KeysBlockLines(std::string_view name, std::vector<std::string>& out) {
  out.clear();
  std::vector<std::string> blocks;
  if (KeysTailForM50(blocks, false)) return 1;
  const int h = FindBlockHeader(blocks, 0, name, Sess.KPhase);
  if (h >= 0) out.assign(blocks.begin() + h, blocks.begin() + BlockLastLine(blocks, h) + 1);
  return 0;
}

int KeysCheckBlock(const std::vector<std::string>& body, const KeyTable& table,
                   const KeyCheckSource& src) {
  KeyUnit u;
  u.Lines = body;
  // The reader needs the block's end; a body without one gets it here.
  u.Lines.emplace_back("end");
  u.FileName = src.File;
  u.FirstLineNo = src.FirstLine;
  u.Listing = src.Listing;
  KeyTable t = table;
  KeyResetTable(t);
  for (int k = 0;;) {
    if (NactiCommon(u, t, k) || k == 0) break;
  }
  return u.NErrors;
}

int KeysMergeBlock(std::string_view name, const std::vector<std::string>& edit,
                   const KeyTable& table, const KeyCheckSource& src,
                   std::vector<std::string>& notes) {
  notes.clear();
  // The edit lines through the reader first: nothing is written when it
  // reports anything.
  KeyUnit e;
  e.Lines = edit;
  e.Lines.emplace_back("end");
  e.FileName = src.File;
  e.FirstLineNo = src.FirstLine;
  e.Listing = src.Listing;
  KeyTable tEdit = table;
  KeyResetTable(tEdit);
  std::vector<KeyEvent> editEv;
  e.Trace = &editEv;
  std::vector<std::pair<int, std::string>> specials;
  for (int k = 0;;) {
    if (NactiCommon(e, tEdit, k) || k == 0) break;
    if (!tEdit.IsSimple(k)) specials.emplace_back(k, std::string(TrimRight(e.Text)));
  }
  if (e.NErrors > 0) return 1;

  std::vector<std::string> blocks;
  if (KeysTailForM50(blocks, false)) return 1;
  // The stored block: its simple values and its active special commands.
  KeyTable t = table;
  KeyResetTable(t);
  std::vector<SpecialAt> stored;
  const int h = FindBlockHeader(blocks, 0, name, Sess.KPhase);
  if (h >= 0) {
    KeyUnit u;
    u.Lines.assign(blocks.begin() + h + 1, blocks.begin() + BlockLastLine(blocks, h) + 1);
    u.Quiet = true;
    std::vector<KeyEvent> ev;
    u.Trace = &ev;
    for (int k = 0;;) {
      if (NactiCommon(u, t, k) || k == 0) break;
      if (!t.IsSimple(k) && !ev.empty() && ev.back().What == KeyEvent::SpecialItem) {
        const KeyEvent& x = ev.back();
        stored.push_back({k, Normalized(u.Text), h + 1 + x.Line, x.Begin, h + 1 + x.End});
      }
    }
  }
  std::vector<bool> set(static_cast<size_t>(tEdit.Size()) + 1, false);
  for (const auto& x : editEv)
    if (x.What == KeyEvent::SimpleItem) set[static_cast<size_t>(x.K)] = true;
  for (int k = 1; k <= tEdit.NInt + tEdit.NReal; ++k) {
    if (!set[static_cast<size_t>(k)]) continue;
    t[k].Value = tEdit[k].Value;
    notes.push_back(fmt::format("{} {}", t[k].Name, KeyValueText(t, k)));
  }
  // New commands: an identical stored one makes the line superfluous; a
  // keyword that may occur only once has its stored command replaced.
  std::vector<std::string> added;
  std::vector<const SpecialAt*> replaced;
  for (const auto& [k, text] : specials) {
    const std::string norm = Normalized(text);
    bool same = false;
    for (const auto& s : stored) same = same || (s.K == k && s.Text == norm);
    for (const auto& a : added) same = same || Normalized(a) == norm;
    if (same) {
      notes.push_back(fmt::format("{} (already there)", text));
      continue;
    }
    if (table[k].Count >= 0)
      for (const auto& s : stored)
        if (s.K == k) replaced.push_back(&s);
    added.push_back(text);
    notes.push_back(text);
  }
  // Replaced commands go, from the bottom so that line numbers stay valid.
  std::sort(replaced.begin(), replaced.end(),
            [](const SpecialAt* a, const SpecialAt* b) { return a->Line > b->Line; });
  for (const SpecialAt* s : replaced) {
    std::string head = blocks[s->Line].substr(0, static_cast<size_t>(s->Begin));
    blocks.erase(blocks.begin() + s->Line, blocks.begin() + s->Last + 1);
    if (!Trim(head).empty()) blocks.insert(blocks.begin() + s->Line, head);
  }
  std::vector<std::string> out = KeyRewriteBlock(blocks, name, t);
  const int h2 = FindBlockHeader(out, 0, name, Sess.KPhase);
  if (h2 < 0) return 1;
  int end = BlockLastLine(out, h2);
  for (const auto& a : added) out.insert(out.begin() + end++, "  " + a);
  return StoreBlocks(out);
}

// ---- writing ----------------------------------------------------------------------------

std::string KeyValueText(const KeyTable& t, int k) {
  const KeySlot& s = t[k];
  if (s.Kind == KeyKind::Int) return fmt::format("{}", static_cast<long long>(s.Value));
  return t.SingleReal ? ShortestReal(static_cast<float>(s.Value)) : ShortestReal(s.Value);
}

std::vector<std::string> KeyValueLines(const KeyTable& t) {
  std::vector<std::string> out;
  std::string line;
  for (int k = 1; k <= t.NInt + t.NReal && k <= t.Size(); ++k) {
    const KeySlot& s = t[k];
    if (s.Name.empty() || s.Name.front() == '#') continue;
    if (s.Value == s.Default || !std::isfinite(s.Value)) continue;
    std::string item = s.Name + " " + KeyValueText(t, k);
    if (!line.empty() && line.size() + 1 + item.size() > static_cast<size_t>(KeyLineMax)) {
      out.push_back(line);
      line.clear();
    }
    line += line.empty() ? "  " + item : " " + item;
  }
  if (!line.empty()) out.push_back(line);
  return out;
}

std::vector<std::string> KeyRewriteBlock(const std::vector<std::string>& lines,
                                         std::string_view name, const KeyTable& t) {
  std::vector<std::string> out;
  const int h = FindBlockHeader(lines, 0, name, Sess.KPhase);
  if (h < 0) {
    out = lines;
    out.push_back(NewHeader(name));
    for (auto& l : KeyValueLines(t)) out.push_back(l);
    out.push_back("end " + std::string(name));
    return out;
  }
  const int last = BlockLastLine(lines, h);
  // Read the block silently, recording where each item stands.
  KeyUnit u;
  u.Lines.assign(lines.begin() + h + 1, lines.begin() + last + 1);
  u.Quiet = true;
  std::vector<KeyEvent> ev;
  u.Trace = &ev;
  KeyTable scratch = t;
  KeyResetTable(scratch);
  for (int k = 0;;) {
    if (NactiCommon(u, scratch, k) || k == 0) break;
  }
  int endLine = static_cast<int>(u.Lines.size());
  int endCol = 0;
  for (auto& e : ev)
    if (e.What == KeyEvent::EndWord) endLine = e.Line, endCol = e.Begin;

  // The new values go first, right after the header: a kept line ending in
  // "+" or "-" would otherwise take the next line as its continuation.
  out.assign(lines.begin(), lines.begin() + h + 1);
  for (auto& l : KeyValueLines(t)) out.push_back(l);
  const int nRange = static_cast<int>(u.Lines.size());
  const int nBody = std::min(endLine + 1, nRange);
  for (int i = 0; i < nBody; ++i) {
    // Work on the line as the reader saw it (comment removed, columns kept).
    std::string line = CleanLine(u.Lines[i], Classify(u.Lines[i]));
    if (i == endLine) line.resize(std::min<size_t>(line.size(), static_cast<size_t>(endCol)));
    bool cut = i == endLine;
    // Remove the simple items, from the right so columns stay valid.
    for (auto it = ev.rbegin(); it != ev.rend(); ++it) {
      if (it->What != KeyEvent::SimpleItem || it->Line != i) continue;
      if (it->Begin < static_cast<int>(line.size()))
        line.erase(it->Begin, std::min<size_t>(line.size(), it->End) - it->Begin);
      cut = true;
    }
    if (!cut) {
      out.push_back(u.Lines[i]);
      continue;
    }
    // What is left (words the reader did not know) stays on a line of its
    // own; unknown words that would now open the line as a comment, a
    // continuation or a block header go.
    std::string_view rest = Trim(line);
    while (!rest.empty()) {
      const auto blank = rest.find_first_of(" \t");
      const std::string_view word = rest.substr(0, blank);
      bool drop = word.front() == '&' || word.front() == '*' || word.front() == '#';
      for (auto b : KeyBlockNames) drop = drop || EqIgnoreCase(word, b);
      if (!drop) break;
      rest = blank == std::string_view::npos ? std::string_view() : Trim(rest.substr(blank));
    }
    if (!rest.empty()) out.push_back("  " + std::string(rest));
  }
  out.push_back("end " + std::string(name));
  // Lines of the range after an "end" met inside a line are outside the block.
  for (int i = nBody; i < nRange; ++i) out.push_back(u.Lines[i]);
  out.insert(out.end(), lines.begin() + last + 1, lines.end());
  return out;
}

int WriteKeys(std::string_view blockName, const KeyTable& t) {
  std::vector<std::string> blocks;
  if (KeysTailForM50(blocks, false)) return 1;
  std::vector<std::string> out = KeyRewriteBlock(blocks, blockName, t);
  out.insert(out.begin(), KeySeparator);
  return WriteAtomic(L51FileName(), out);
}

std::string KeyTmpFileName(std::string_view keyword) {
  return Sess.fln + "_" + std::string(keyword) + ".tmp";
}

int MakeKeyWordFile(std::string_view keyword, std::string_view block, const KeyTable& t) {
  const int k = KeyFind(t, keyword);
  if (k <= t.NInt + t.NReal) {
    ReportError(fmt::format(storemsg::NotSpecial, keyword));
    return 1;
  }
  int partner = 0;
  if (EqIgnoreCase(block, "refine")) {
    if (EqIgnoreCase(t[k].Name, "dontuse")) partner = KeyFind(t, "useonly");
    if (EqIgnoreCase(t[k].Name, "useonly")) partner = KeyFind(t, "dontuse");
  }
  std::vector<std::string> cmds;
  KeyUnit u;
  u.Quiet = true;
  u.Bang = KeyBang::Keep;
  std::error_code ec;
  if (fs::exists(L51FileName(), ec)) {
    if (KeyOpen(u, L51FileName())) return 1;
    u.Quiet = true;
    u.Bang = KeyBang::Keep;
    int found = 0;
    Najdi(u, block, found);
    KeyTable scratch = t;
    KeyResetTable(scratch);
    for (int kk = 0; found;) {
      if (NactiCommon(u, scratch, kk) || kk == 0) break;
      if (kk != k && (partner <= 0 || kk != partner)) continue;
      std::string cmd = u.Disabled ? "!" : "";
      cmd += t[kk].Name;
      if (auto args = KeyArgs(u); !args.empty()) cmd += " " + std::string(args);
      cmds.push_back(std::move(cmd));
    }
  }
  return WriteAtomic(KeyTmpFileName(t[k].Name), cmds);
}

int MergeFileToM50(std::string_view name, std::vector<std::string>& block) {
  const std::string path = KeyTmpFileName(name);
  std::error_code ec;
  if (!fs::exists(path, ec)) return 0;
  std::vector<std::string> lines;
  if (ReadLines(path, lines)) {
    ReportError(fmt::format(storemsg::CantRead, path));
    return 1;
  }
  for (auto& l : lines)
    if (!Trim(l).empty()) block.push_back("  " + std::string(Trim(l)));
  fs::remove(path, ec);
  return 0;
}

void UpdateNumberOfCommands(KeyTable& t, int k) {
  KeySlot& s = t[k];
  s.NActive = s.NDisabled = 0;
  std::vector<std::string> lines;
  if (ReadLines(KeyTmpFileName(s.Name), lines)) return;
  for (auto& l : lines) {
    auto w = TrimLeft(l);
    if (Trim(w).empty()) break;
    if (w.front() == '!')
      ++s.NDisabled;
    else if (w.front() != '#')
      ++s.NActive;
  }
}

int DopisKeys(const std::string& editedFile, bool& changed) {
  changed = false;
  std::error_code ec;
  std::vector<std::string> edited;
  if (ReadLines(editedFile, edited)) {
    ReportError(fmt::format(storemsg::CantRead, editedFile));
    return 1;
  }
  while (!edited.empty() && Trim(edited.back()).empty()) edited.pop_back();
  while (!edited.empty() && Trim(edited.front()).empty()) edited.erase(edited.begin());
  if (edited.empty() || Classify(edited.front()) != LineKind::Keyword) {
    ReportError(fmt::format(storemsg::NoHeader, editedFile));
    fs::remove(editedFile, ec);
    return 1;
  }
  const std::string name = FirstWord(edited.front());
  std::vector<std::string> blocks;
  if (KeysTailForM50(blocks, false)) return 1;
  std::vector<std::string> stored;
  if (int h = FindBlockHeader(blocks, 0, name, Sess.KPhase); h >= 0)
    stored.assign(blocks.begin() + h, blocks.begin() + BlockLastLine(blocks, h) + 1);
  auto same = [](const std::vector<std::string>& a, const std::vector<std::string>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (TrimRight(a[i]) != TrimRight(b[i])) return false;
    return true;
  };
  int rc = 0;
  if (!same(edited, stored)) {
    const bool keep = Sess.BatchMode || ReportAsk(fmt::format(storemsg::KeepChanges, name),
                                                  {std::string(storemsg::KeepQuestion)}, true);
    if (keep) {
      rc = KeysReplaceBlock(edited);
      changed = rc == 0;
    }
  }
  fs::remove(editedFile, ec);
  return rc;
}

}  // namespace tarn
