// Keyword tables and the generic command-block reader (Najdi, NactiCommon).
#include "model/keys.hpp"

#include <fmt/format.h>

#include <fstream>
#include <sstream>

#include "model/keys_internal.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

// ---- messages of the command-block reader -----------------------------------
namespace keymsg {
constexpr std::string_view Unknown = "unknown keyword : ";
constexpr std::string_view NotUniqueA = "keyword : ";
constexpr std::string_view NotUniqueB = " isn't unique";
constexpr std::string_view Duplicate = "duplicate occurrence of ";
constexpr std::string_view FirstAccepted = "remember that the first occurrence will be accepted";
constexpr std::string_view Eof = "EOF reached during reading of keywords.";
constexpr std::string_view ReadError = "An input error occurred during reading of keywords.";
constexpr std::string_view BadInt = "reading error of the keyword : {} - \"{}\" isn't an integer";
constexpr std::string_view BadReal =
    "reading error of the keyword : {} - \"{}\" isn't a real number";
constexpr std::string_view NoValue = "reading error of the keyword : {} - its value is missing";
constexpr std::string_view TooLong = "the text of the keyword : {} is longer than {} characters";
constexpr std::string_view Where = "file {}, line {}: {}";
}  // namespace keymsg

// ---- tables ----------------------------------------------------------------------

void KeyTable::SetReal(int k, double v) {
  (*this)[k].Value = SingleReal ? static_cast<double>(static_cast<float>(v)) : v;
}

KeyTable MakeKeyTable(std::span<const KeyDef> defs, int nInt, int nReal, bool singleReal) {
  KeyTable t;
  t.NInt = nInt;
  t.NReal = nReal;
  t.SingleReal = singleReal;
  t.Slot.reserve(defs.size());
  for (size_t i = 0; i < defs.size(); ++i) {
    KeySlot s;
    s.Name = std::string(defs[i].Name.substr(0, KeyNameLen));
    const int k = static_cast<int>(i) + 1;
    s.Kind = k <= nInt ? KeyKind::Int : k <= nInt + nReal ? KeyKind::Real : KeyKind::Special;
    s.Default = defs[i].Default;
    if (s.Kind == KeyKind::Real && singleReal)
      s.Default = static_cast<double>(static_cast<float>(s.Default));
    s.Value = s.Default;
    s.Count = defs[i].Repeat ? -1 : 0;
    t.Slot.push_back(std::move(s));
  }
  return t;
}

void KeyResetTable(KeyTable& t) {
  for (auto& s : t.Slot) {
    s.Value = s.Default;
    if (s.Count > 0) s.Count = 0;
  }
}

int KeyFind(const KeyTable& t, std::string_view word) {
  if (word.empty() || word.front() == '#') return 0;
  int found = 0;
  int n = 0;
  for (int k = 1; k <= t.Size(); ++k) {
    const std::string& name = t[k].Name;
    if (name.empty() || name.front() == '#') continue;
    if (EqIgnoreCase(name, word)) return k;  // an exact name always wins
    if (word.size() < name.size() && StartsWithIgnoreCase(name, word)) {
      found = k;
      ++n;
    }
  }
  return n == 1 ? found : n == 0 ? 0 : -1;
}

// ---- lines -------------------------------------------------------------------------

bool IsKeySeparator(std::string_view line) {
  return line.substr(0, 4) == "****";
}

namespace keys_detail {

LineKind Classify(std::string_view line) {
  if (IsKeySeparator(line)) return LineKind::Separator;
  auto t = TrimLeft(line);
  if (t.empty()) return LineKind::Blank;
  switch (t.front()) {
    case '*':
    case '#':
      return LineKind::Comment;
    case '!':
      return LineKind::Bang;
    case '&':
      return LineKind::Amp;
    default:
      return LineKind::Keyword;
  }
}

std::string CleanLine(std::string_view line, LineKind kind) {
  std::string s(line);
  if (kind == LineKind::Bang || kind == LineKind::Amp) {
    auto p = s.find_first_not_of(" \t\r");
    if (p != std::string::npos) s[p] = ' ';
  }
  if (auto p = s.find('!'); p != std::string::npos) s.resize(p);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.pop_back();
  return s;
}

std::string FirstWord(std::string_view line) {
  auto words = SplitWords(CleanLine(line, Classify(line)));
  return words.empty() ? std::string() : words.front();
}

int FindBlockHeader(const std::vector<std::string>& lines, int from, std::string_view name,
                    int kPhase) {
  const auto& ph = Struct.KeyPhases.PhaseNames;
  const int nPhase = static_cast<int>(ph.size());
  for (int i = std::max(from, 0); i < static_cast<int>(lines.size()); ++i) {
    if (Classify(lines[i]) != LineKind::Keyword) continue;
    auto words = SplitWords(CleanLine(lines[i], LineKind::Keyword));
    if (words.empty() || !EqIgnoreCase(words[0], name)) continue;
    if (nPhase <= 1) return i;
    if (words.size() >= 2) {
      if (kPhase >= 1 && kPhase <= nPhase && EqIgnoreCase(words[1], Trim(ph[kPhase - 1]))) return i;
    } else if (kPhase == 1 || EqIgnoreCase(name, "refine")) {
      return i;
    }
  }
  return -1;
}

int BlockLastLine(const std::vector<std::string>& lines, int header) {
  const int n = static_cast<int>(lines.size());
  for (int i = header + 1; i < n; ++i) {
    if (Classify(lines[i]) != LineKind::Keyword) continue;
    std::string w = FirstWord(lines[i]);
    if (EqIgnoreCase(w, "end")) return i;
    for (auto b : KeyBlockNames)
      if (EqIgnoreCase(w, b)) return i - 1;
  }
  return n - 1;
}

}  // namespace keys_detail

using namespace keys_detail;

// ---- units ---------------------------------------------------------------------------

namespace {

void SplitLines(std::string_view text, std::vector<std::string>& out) {
  out.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t e = text.find('\n', start);
    if (e == std::string_view::npos) e = text.size();
    std::string_view l = text.substr(start, e - start);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    out.emplace_back(l);
    start = e + 1;
  }
}

void ResetUnit(KeyUnit& u) {
  u.Next = 0;
  u.Text.clear();
  u.TextWord = 0;
  u.Disabled = false;
  u.Finished = false;
  u.CurLine = -1;
  u.Cur.clear();
  u.Pos = 0;
  u.CurDisabled = false;
}

void Report(KeyUnit& u, const std::string& header, int line, std::vector<std::string> more = {}) {
  ++u.NErrors;
  if (u.Quiet) return;
  std::vector<std::string> lines = std::move(more);
  if (line >= 0 && line < static_cast<int>(u.Lines.size()))
    lines.push_back(fmt::format(keymsg::Where, u.FileName, line + u.FirstLineNo,
                                std::string(TrimRight(u.Lines[line]))));
  else
    lines.push_back(fmt::format("file {}", u.FileName));
  if (u.Listing) {
    u.Listing(header);
    for (auto& l : lines) u.Listing(l);
  }
  ReportError(header, lines);
}

void EchoLine(KeyUnit& u, int i) {
  if (u.Echo && u.Listing && !u.Quiet) u.Listing("=>" + std::string(TrimRight(u.Lines[i])) + "<=");
}

// Makes the next keyword line current; false at the end of the unit.
bool NextLine(KeyUnit& u) {
  const int n = static_cast<int>(u.Lines.size());
  while (u.Next < n) {
    const int i = u.Next++;
    LineKind kind = Classify(u.Lines[i]);
    if (kind == LineKind::Blank || kind == LineKind::Comment || kind == LineKind::Separator)
      continue;
    if (kind == LineKind::Bang && u.Bang == KeyBang::Skip) {
      while (u.Next < n && Classify(u.Lines[u.Next]) == LineKind::Amp) ++u.Next;
      continue;
    }
    u.CurLine = i;
    u.Cur = CleanLine(u.Lines[i], kind);
    u.Pos = 0;
    u.CurDisabled = kind == LineKind::Bang;
    EchoLine(u, i);
    return true;
  }
  u.CurLine = -1;
  return false;
}

// Next blank-separated word of the current line: columns [b, e).
bool NextWord(KeyUnit& u, int& b, int& e) {
  if (u.CurLine < 0) return false;
  const int n = static_cast<int>(u.Cur.size());
  int p = u.Pos;
  while (p < n && (u.Cur[p] == ' ' || u.Cur[p] == '\t')) ++p;
  if (p >= n) {
    u.Pos = n;
    return false;
  }
  b = p;
  while (p < n && u.Cur[p] != ' ' && u.Cur[p] != '\t') ++p;
  e = p;
  u.Pos = p;
  return true;
}

// Joins one continuation piece to a special keyword's text, applying the
// "+"/"-" junction rules: "a+" "-b" -> "a-b"; "a-" "-b" -> "a+b";
// "a+"/"a-" followed by "+b" is joined unchanged.
void JoinPiece(std::string& text, std::string_view piece) {
  piece = Trim(piece);
  if (piece.empty()) return;
  const char last = text.empty() ? ' ' : text.back();
  if (last == '+' || last == '-') {
    if (piece.front() == '-') {
      text.pop_back();
      if (last == '-') {
        text += '+';
        piece.remove_prefix(1);
      }
    }
    text += piece;
  } else {
    if (!text.empty()) text += ' ';
    text += piece;
  }
}

// Appends the lines that continue a special keyword's text; returns the index
// of the last line used.
int JoinContinuations(KeyUnit& u, std::string& text, int k, const KeyTable& t, int last) {
  const int n = static_cast<int>(u.Lines.size());
  bool reported = false;
  while (u.Next < n) {
    const std::string& line = u.Lines[u.Next];
    LineKind kind = Classify(line);
    if (kind == LineKind::Blank || kind == LineKind::Comment) {
      ++u.Next;
      continue;
    }
    const bool junction = !text.empty() && (text.back() == '+' || text.back() == '-');
    if (kind == LineKind::Amp) {
      // "&" stands for a blank.
    } else if (kind == LineKind::Keyword && junction && !EqIgnoreCase(FirstWord(line), "end")) {
      // A text ending in "+" or "-" goes on with the next line.
    } else {
      break;
    }
    const int i = u.Next++;
    EchoLine(u, i);
    JoinPiece(text, CleanLine(line, kind));
    last = i;
    if (static_cast<int>(text.size()) > KeyTextMax) {
      text.resize(KeyTextMax);
      if (!reported) Report(u, fmt::format(keymsg::TooLong, t[k].Name, KeyTextMax), i);
      reported = true;
    }
  }
  return last;
}

void Trace(KeyUnit& u, KeyEvent::Type what, int k, int line, int b, int e) {
  if (u.Trace) u.Trace->push_back(KeyEvent{what, k, line, b, e, u.CurDisabled});
}

}  // namespace

int KeyOpen(KeyUnit& u, const std::string& path) {
  ResetUnit(u);
  u.FileName = path;
  u.Lines.clear();
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  if (f) ss << f.rdbuf();
  if (!f || f.bad()) {
    Report(u, std::string(keymsg::ReadError), -1);
    u.Finished = true;
    return 1;
  }
  SplitLines(ss.str(), u.Lines);
  return 0;
}

void KeyOpenText(KeyUnit& u, std::string name, std::string_view text) {
  ResetUnit(u);
  u.FileName = std::move(name);
  SplitLines(text, u.Lines);
}

std::string_view KeyArgs(const KeyUnit& u) {
  std::string_view s(u.Text);
  return Trim(s.substr(std::min<size_t>(static_cast<size_t>(u.TextWord), s.size())));
}

// ---- reading ---------------------------------------------------------------------------

void Najdi(KeyUnit& u, std::string_view name, int& found) {
  found = 0;
  u.CurLine = -1;
  u.Finished = false;
  u.Text.clear();
  int i = FindBlockHeader(u.Lines, u.Next, name, Sess.KPhase);
  if (i < 0) {
    u.Next = static_cast<int>(u.Lines.size());
    return;
  }
  EchoLine(u, i);
  u.Next = i + 1;
  found = 1;
}

int NactiCommon(KeyUnit& u, KeyTable& t, int& k) {
  k = 0;
  u.Text.clear();
  u.TextWord = 0;
  u.Disabled = false;
  if (u.Finished) return 0;
  for (;;) {
    int b = 0, e = 0;
    if (!NextWord(u, b, e)) {
      if (NextLine(u)) continue;
      Report(u, std::string(keymsg::Eof), -1);
      u.Finished = true;
      return 1;
    }
    const int line = u.CurLine;
    const std::string word = u.Cur.substr(b, e - b);
    if (EqIgnoreCase(word, "end")) {
      if (u.CurDisabled) continue;  // a disabled "end" ends nothing
      Trace(u, KeyEvent::EndWord, 0, line, b, e);
      u.Finished = true;
      u.CurLine = -1;
      return 0;
    }
    const int kk = KeyFind(t, word);
    if (kk <= 0) {
      Report(u,
             kk == 0 ? std::string(keymsg::Unknown) + word
                     : std::string(keymsg::NotUniqueA) + word + std::string(keymsg::NotUniqueB),
             line);
      // Numbers that follow belong to the bad keyword; skip them too.
      for (;;) {
        const int save = u.Pos;
        int vb = 0, ve = 0;
        if (!NextWord(u, vb, ve)) break;
        if (!ToReal(std::string_view(u.Cur).substr(vb, ve - vb))) {
          u.Pos = save;
          break;
        }
      }
      continue;
    }
    KeySlot& s = t[kk];
    if (t.IsSimple(kk)) {
      int vb = 0, ve = 0;
      const bool haveValue = NextWord(u, vb, ve);
      const int itemEnd = haveValue ? ve : e;
      if (u.CurDisabled) continue;  // disabled values are not in force
      Trace(u, KeyEvent::SimpleItem, kk, line, b, itemEnd);
      if (s.Count > 0) {
        Report(u, std::string(keymsg::Duplicate) + "\"" + word + "\"", line,
               {std::string(keymsg::FirstAccepted)});
        continue;
      }
      if (s.Count == 0) s.Count = 1;
      if (!haveValue) {
        Report(u, fmt::format(keymsg::NoValue, s.Name), line);
        continue;
      }
      std::string_view v = std::string_view(u.Cur).substr(vb, ve - vb);
      if (s.Kind == KeyKind::Int) {
        auto iv = ToInt(v);
        if (!iv || *iv < INT32_MIN || *iv > INT32_MAX)
          Report(u, fmt::format(keymsg::BadInt, s.Name, v), line);
        else
          t.SetInt(kk, static_cast<int>(*iv));
      } else {
        auto rv = ToReal(v);
        if (!rv)
          Report(u, fmt::format(keymsg::BadReal, s.Name, v), line);
        else
          t.SetReal(kk, *rv);
      }
      continue;
    }
    // Special keyword: its text runs to the end of the line and on through
    // the lines that continue it.
    const bool disabled = u.CurDisabled;
    std::string text = u.Cur.substr(b);
    if (static_cast<int>(text.size()) > KeyTextMax) {
      text.resize(KeyTextMax);
      Report(u, fmt::format(keymsg::TooLong, s.Name, KeyTextMax), line);
    }
    u.CurLine = -1;
    const int last = JoinContinuations(u, text, kk, t, line);
    if (!disabled && s.Count > 0) {
      Report(u, std::string(keymsg::Duplicate) + "\"" + word + "\"", line,
             {std::string(keymsg::FirstAccepted)});
      continue;
    }
    if (!disabled && s.Count == 0) s.Count = 1;
    if (u.Trace) u.Trace->push_back(KeyEvent{KeyEvent::SpecialItem, kk, line, b, last, disabled});
    u.Text = std::move(text);
    u.TextWord = e - b;
    u.Disabled = disabled;
    k = kk;
    return 0;
  }
}

}  // namespace tarn
