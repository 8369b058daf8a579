// CIF 1.1 syntax reader: see cif_syntax.hpp.
#include "util/cif_syntax.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cmath>
#include <optional>
#include <set>

#include "util/strings.hpp"

namespace tarn {

namespace {

struct Token {
  enum Kinds : int { Value = 0, Name, Data, Loop, Save, SaveEnd, Bad };
  int Kind = Value;
  CifValue V;  // text (name, block code, value) and line
};

bool Blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\f';
}

// Splits the text into lines (LF; a CR before it is dropped).
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> out;
  size_t p = 0;
  while (p < text.size()) {
    size_t e = text.find('\n', p);
    if (e == std::string_view::npos) e = text.size();
    std::string_view l = text.substr(p, e - p);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    out.push_back(l);
    p = e + 1;
  }
  return out;
}

class Lexer {
 public:
  Lexer(std::string_view text, const std::string& file) : lines_(Lines(text)), file_(file) {}
  // Next token; false at the end or on a fault (err_ set).
  bool Next(Token& t);
  bool Failed() const { return failed_; }
  ErrorRecord Err;
  int LineNo() const { return static_cast<int>(line_) + 1; }
  std::vector<ErrorRecord> Warn;
  ErrorRecord MakeError(int line, std::string what) const {
    ErrorRecord e;
    e.Title = std::string(MsgCifSyntax);
    e.File = file_;
    e.Line = line;
    e.Message = std::move(what);
    if (line >= 1 && static_cast<size_t>(line) <= lines_.size())
      e.What = std::string(lines_[static_cast<size_t>(line - 1)].substr(0, 200));
    return e;
  }
  // Control characters are faults; characters outside ASCII are kept and
  // reported once per file (CIF 1.1 is ASCII text).
  bool CheckChars(std::string_view l, int line) {
    for (char c : l) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 && c != '\t' && c != '\r' && c != '\f')
        return Fail(line, "a control character is not allowed in a CIF");
      if (u >= 0x80 && !nonAscii_) {
        nonAscii_ = true;
        Warn.push_back(MakeError(line, "a character outside ASCII"));
      }
    }
    return true;
  }
  bool Fail(int line, std::string what) {
    failed_ = true;
    Err = MakeError(line, std::move(what));
    return false;
  }

 private:
  std::vector<std::string_view> lines_;
  std::string file_;
  size_t line_ = 0;  // current line index
  size_t col_ = 0;   // current column in it
  bool checked_ = false;
  bool failed_ = false;
  bool nonAscii_ = false;
};

bool Lexer::Next(Token& t) {
  for (;;) {
    if (line_ >= lines_.size()) return false;
    std::string_view l = lines_[line_];
    if (!checked_) {
      checked_ = true;
      if (!CheckChars(l, LineNo())) return false;
    }
    while (col_ < l.size() && Blank(l[col_])) ++col_;
    if (col_ >= l.size() || l[col_] == '#') {
      ++line_;
      col_ = 0;
      checked_ = false;
      continue;
    }
    const int ln = LineNo();
    const char c = l[col_];
    t = Token{};
    t.V.Line = ln;
    if (c == ';' && col_ == 0) {
      // Text field up to the next line that starts with ";".
      std::string s(l.substr(1));
      size_t k = line_ + 1;
      for (; k < lines_.size(); ++k) {
        std::string_view m = lines_[k];
        if (!CheckChars(m, static_cast<int>(k) + 1)) return false;
        if (!m.empty() && m[0] == ';') break;
        s += '\n';
        s.append(m);
      }
      if (k >= lines_.size())
        return Fail(ln, "the text field is not closed by a line starting with \";\"");
      line_ = k;
      col_ = 1;
      checked_ = true;
      t.Kind = Token::Value;
      t.V.Kind = CifValue::TextField;
      t.V.Text = std::move(s);
      return true;
    }
    if (c == '\'' || c == '"') {
      size_t j = col_ + 1;
      while (j < l.size() && !(l[j] == c && (j + 1 == l.size() || Blank(l[j + 1])))) ++j;
      t.V.Kind = CifValue::Quoted;
      if (j >= l.size()) {
        // Recovered: the value runs to the end of the line.
        Warn.push_back(MakeError(ln, fmt::format("the quoted string is not closed by {} before "
                                                 "the line end",
                                                 c)));
        t.V.Text = std::string(TrimRight(l.substr(col_ + 1)));
        col_ = l.size();
        return true;
      }
      t.V.Text = std::string(l.substr(col_ + 1, j - col_ - 1));
      col_ = j + 1;
      return true;
    }
    size_t j = col_;
    while (j < l.size() && !Blank(l[j])) ++j;
    std::string_view w = l.substr(col_, j - col_);
    col_ = j;
    t.V.Text = std::string(w);
    if (w[0] == '_') {
      if (w.size() == 1) return Fail(ln, "a data name after \"_\"");
      t.Kind = Token::Name;
    } else if (StartsWithIgnoreCase(w, "data_")) {
      t.Kind = Token::Data;
      t.V.Text = std::string(w.substr(5));
      if (t.V.Text.empty()) return Fail(ln, "a block code after \"data_\"");
    } else if (EqIgnoreCase(w, "loop_")) {
      t.Kind = Token::Loop;
    } else if (EqIgnoreCase(w, "save_")) {
      t.Kind = Token::SaveEnd;
    } else if (StartsWithIgnoreCase(w, "save_")) {
      t.Kind = Token::Save;
      t.V.Text = std::string(w.substr(5));
    } else if (EqIgnoreCase(w, "global_") || EqIgnoreCase(w, "stop_")) {
      return Fail(ln, fmt::format("the reserved word \"{}\" is not allowed in a CIF", w));
    } else if (w[0] == '[' || w[0] == ']' || w[0] == '$') {
      return Fail(ln, fmt::format("a value starting with \"{}\" must be quoted", w[0]));
    } else {
      t.Kind = Token::Value;
    }
    return true;
  }
}

}  // namespace

int CifLoop::Column(std::string_view name) const {
  for (size_t i = 0; i < Names.size(); ++i)
    if (EqIgnoreCase(Names[i], name)) return static_cast<int>(i);
  return -1;
}

const CifValue* CifBlock::Find(std::string_view name) const {
  for (const auto& it : Items)
    if (EqIgnoreCase(it.Name, name)) return &it.Value;
  for (const auto& l : Loops) {
    const int c = l.Column(name);
    if (c >= 0 && !l.Rows.empty()) return &l.Rows[0][static_cast<size_t>(c)];
  }
  return nullptr;
}

const CifLoop* CifBlock::FindLoop(std::string_view name) const {
  for (const auto& l : Loops)
    if (l.Column(name) >= 0) return &l;
  return nullptr;
}

int CifParse(std::string_view text, const std::string& fileName, CifFile& out, ErrorRecord& err,
             const CifParseOptions& opt) {
  Lexer lx(text, fileName);
  CifFile f;
  CifBlock* blk = nullptr;
  std::set<std::string> names;   // data names of the current block (lower case)
  std::set<std::string> blocks;  // block codes (lower case)
  bool inSave = false;
  int saveLine = 0;
  CifBlock saveSink;  // items of a save frame: checked, then dropped
  Token t;
  bool have = lx.Next(t);
  auto fail = [&](int line, std::string what) {
    lx.Fail(line, std::move(what));
    err = lx.Err;
    return 1;
  };
  auto addName = [&](const std::string& n, int line) {
    if (inSave) return true;
    if (!names.insert(ToLower(n)).second) {
      lx.Fail(line, fmt::format("the data name \"{}\" is used twice in the block", n));
      return false;
    }
    return true;
  };
  while (have) {
    if (!blk && opt.ImplicitBlock && (t.Kind == Token::Name || t.Kind == Token::Loop)) {
      f.Blocks.emplace_back();
      blk = &f.Blocks.back();
      blk->Line = t.V.Line;
    }
    CifBlock* target = inSave ? &saveSink : blk;
    switch (t.Kind) {
      case Token::Data: {
        if (inSave)
          return fail(t.V.Line, fmt::format("save_ to close the save frame of line {}", saveLine));
        if (!blocks.insert(ToLower(t.V.Text)).second)
          return fail(t.V.Line, fmt::format("the block code \"{}\" is used twice", t.V.Text));
        f.Blocks.emplace_back();
        blk = &f.Blocks.back();
        blk->Name = t.V.Text;
        blk->Line = t.V.Line;
        names.clear();
        have = lx.Next(t);
        break;
      }
      case Token::Save: {
        if (!blk) return fail(t.V.Line, "data_ before the save frame");
        if (inSave) return fail(t.V.Line, "save_ to close the save frame before a new one");
        inSave = true;
        saveLine = t.V.Line;
        saveSink = CifBlock{};
        ++blk->SaveFrames;
        have = lx.Next(t);
        break;
      }
      case Token::SaveEnd: {
        if (!inSave) return fail(t.V.Line, "save_ without an open save frame");
        inSave = false;
        have = lx.Next(t);
        break;
      }
      case Token::Name: {
        if (!target) return fail(t.V.Line, "a data block (data_) before the first data item");
        CifItem it;
        it.Name = t.V.Text;
        it.Line = t.V.Line;
        if (!addName(it.Name, it.Line)) {
          err = lx.Err;
          return 1;
        }
        Token v;
        if (!lx.Next(v)) {
          if (lx.Failed()) {
            err = lx.Err;
            return 1;
          }
          return fail(it.Line, fmt::format("a value for \"{}\"", it.Name));
        }
        if (v.Kind != Token::Value)
          return fail(v.V.Line, fmt::format("a value for \"{}\" before \"{}\"", it.Name, v.V.Text));
        it.Value = std::move(v.V);
        target->Items.push_back(std::move(it));
        have = lx.Next(t);
        break;
      }
      case Token::Loop: {
        if (!target) return fail(t.V.Line, "a data block (data_) before the first loop");
        CifLoop lp;
        lp.Line = t.V.Line;
        have = lx.Next(t);
        while (have && t.Kind == Token::Name) {
          if (!addName(t.V.Text, t.V.Line)) {
            err = lx.Err;
            return 1;
          }
          lp.Names.push_back(t.V.Text);
          have = lx.Next(t);
        }
        if (lx.Failed()) break;
        if (lp.Names.empty()) return fail(lp.Line, "data names after loop_");
        std::vector<CifValue> vals;
        while (have && t.Kind == Token::Value) {
          vals.push_back(std::move(t.V));
          have = lx.Next(t);
        }
        if (lx.Failed()) break;
        const size_t n = lp.Names.size();
        if (vals.empty()) return fail(lp.Line, "values for the loop");
        if (vals.size() % n != 0 && opt.KeepShortLoops) {
          const size_t full = vals.size() / n * n;
          lp.Trailing.assign(std::make_move_iterator(vals.begin() + static_cast<long>(full)),
                             std::make_move_iterator(vals.end()));
          vals.resize(full);
        } else if (vals.size() % n != 0) {
          return fail(vals.back().Line,
                      fmt::format("{} values per row in the loop of line {} ({} values found)", n,
                                  lp.Line, vals.size()));
        }
        for (size_t r = 0; r < vals.size(); r += n)
          lp.Rows.emplace_back(std::make_move_iterator(vals.begin() + static_cast<long>(r)),
                               std::make_move_iterator(vals.begin() + static_cast<long>(r + n)));
        target->Loops.push_back(std::move(lp));
        break;
      }
      default:
        return fail(t.V.Line, fmt::format("a data name or loop_ before the value \"{}\"",
                                          t.V.Text.substr(0, 40)));
    }
  }
  if (lx.Failed()) {
    err = lx.Err;
    return 1;
  }
  if (inSave) return fail(saveLine, "save_ to close the save frame");
  f.Warnings = std::move(lx.Warn);
  out = std::move(f);
  return 0;
}

bool CifNumber(std::string_view s, double& value, double& su) {
  s = Trim(s);
  size_t p = 0;
  if (p < s.size() && (s[p] == '+' || s[p] == '-')) ++p;
  size_t digits = 0, decimals = 0;
  while (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p]))) ++p, ++digits;
  if (p < s.size() && s[p] == '.') {
    ++p;
    while (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p])))
      ++p, ++digits, ++decimals;
  }
  if (digits == 0) return false;
  int exponent = 0;
  if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
    size_t q = p + 1;
    if (q < s.size() && (s[q] == '+' || s[q] == '-')) ++q;
    size_t b = q;
    while (q < s.size() && std::isdigit(static_cast<unsigned char>(s[q]))) ++q;
    if (q == b || q - b > 4) return false;
    exponent = std::atoi(std::string(s.substr(p + 1, q - p - 1)).c_str());
    p = q;
  }
  auto v = ToReal(s.substr(0, p));
  if (!v || !std::isfinite(*v)) return false;
  double u = 0.;
  if (p < s.size()) {
    if (s[p] != '(' || s.back() != ')') return false;
    std::string_view d = s.substr(p + 1, s.size() - p - 2);
    if (d.empty() || d.size() > 9) return false;
    for (char c : d)
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    u = static_cast<double>(std::atol(std::string(d).c_str())) *
        std::pow(10., exponent - static_cast<int>(decimals));
  }
  value = *v;
  su = u;
  return true;
}

bool CifNumber(std::string_view s, double& value) {
  double su = 0.;
  return CifNumber(s, value, su);
}

}  // namespace tarn
