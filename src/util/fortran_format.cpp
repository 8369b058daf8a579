// Formatted input through a Fortran FORMAT statement (edit descriptors).
#include "util/fortran_format.hpp"

#include <fmt/format.h>

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace tarn {

namespace {

// Largest repeat count, width or decimal count accepted in a descriptor.
constexpr int kMaxNumber = 9999;
// Longest mantissa accepted by a numeric field.
constexpr size_t kMaxDigits = 40;

class FormatParser {
 public:
  FormatParser(std::string_view t, std::vector<FortranField>& out, std::string& err)
      : t_(t), out_(out), err_(err) {}

  int Run() {
    Skip();
    // The outer parentheses are optional.
    const bool paren = Peek() == '(';
    if (paren) ++p_;
    if (List(paren ? ')' : '\0')) return 1;
    if (paren) {
      if (Peek() != ')') return Fail("expected \")\"");
      // As for a format held in a character variable, text after the closing
      // parenthesis (a comment) is ignored.
      return 0;
    }
    if (p_ != t_.size()) return Fail("unexpected text after the format");
    return 0;
  }

 private:
  char Peek() {
    Skip();
    return p_ < t_.size() ? static_cast<char>(std::toupper(static_cast<unsigned char>(t_[p_])))
                          : '\0';
  }
  void Skip() {
    while (p_ < t_.size() && (t_[p_] == ' ' || t_[p_] == '\t')) ++p_;
  }
  int Fail(std::string_view what) {
    err_ = fmt::format("{} at position {} of \"{}\"", what, p_ + 1, t_);
    return 1;
  }
  // Unsigned number, or -1 when there is none.
  int Number() {
    Skip();
    if (p_ >= t_.size() || !std::isdigit(static_cast<unsigned char>(t_[p_]))) return -1;
    long v = 0;
    while (p_ < t_.size() && std::isdigit(static_cast<unsigned char>(t_[p_]))) {
      v = 10 * v + (t_[p_++] - '0');
      if (v > kMaxNumber) return -2;
    }
    return static_cast<int>(v);
  }
  int Add(char kind, int width, int dec) {
    if (static_cast<int>(out_.size()) >= kFortranMaxFields)
      return Fail(fmt::format("more than {} fields", kFortranMaxFields));
    out_.push_back({kind, col_, width, dec});
    col_ += width;
    return 0;
  }
  // Items separated by commas up to the closing character (not consumed).
  int List(char close) {
    if (Peek() == close || Peek() == '\0') return Fail("expected an edit descriptor");
    while (true) {
      if (Item()) return 1;
      const char c = Peek();
      if (c == ',') {
        ++p_;
        continue;
      }
      if (c == close) return 0;
      return Fail(close == '\0' ? "expected \",\"" : "expected \",\" or \")\"");
    }
  }
  int Item() {
    const int rep = Number();
    if (rep == -2) return Fail("number too large");
    if (rep == 0) return Fail("repeat count 0");
    const int n = rep < 0 ? 1 : rep;
    const char c = Peek();
    if (c == '(') {
      ++p_;
      const size_t first = out_.size();
      if (List(')')) return 1;
      ++p_;  // ")"
      const std::vector<FortranField> group(out_.begin() + first, out_.end());
      for (int k = 1; k < n; ++k)
        for (const auto& g : group)
          if (Add(g.Kind, g.Width, g.Decimals)) return 1;
      return 0;
    }
    if (c == 'X') {
      // "nX": the count is the width; a bare "X" skips one column.
      ++p_;
      return Add('X', n, 0);
    }
    if (c == '\0') return Fail("expected an edit descriptor");
    ++p_;
    char kind = 0;
    bool real = false;
    switch (c) {
      case 'I':
        kind = 'I';
        break;
      case 'A':
        kind = 'X';
        break;
      case 'F':
      case 'D':
      case 'G':
        kind = 'R';
        real = true;
        break;
      case 'E':
        kind = 'R';
        real = true;
        if (Peek() == 'S' || Peek() == 'N') ++p_;  // ES, EN
        break;
      default:
        --p_;
        return Fail(fmt::format("unsupported edit descriptor \"{}\"", c));
    }
    const int w = Number();
    if (w == -2) return Fail("number too large");
    if (w <= 0) return Fail(fmt::format("expected the width of \"{}\"", c));
    int d = 0;
    if (Peek() == '.') {
      ++p_;
      d = Number();
      if (d < 0) return Fail("expected the number of decimals");
    } else if (real && c != 'G') {
      return Fail(fmt::format("expected \".\" and the decimals of \"{}\"", c));
    }
    // Exponent width of Ew.dEe: irrelevant for input.
    if (real && Peek() == 'E') {
      ++p_;
      if (Number() < 0) return Fail("expected the exponent width");
    }
    if (kind == 'I') d = 0;
    for (int k = 0; k < n; ++k)
      if (Add(kind, w, d)) return 1;
    return 0;
  }

  std::string_view t_;
  size_t p_ = 0;
  int col_ = 0;
  std::vector<FortranField>& out_;
  std::string& err_;
};

// The field without blanks (BN: blanks are ignored).
std::string Squeeze(std::string_view f) {
  std::string s;
  s.reserve(f.size());
  for (char c : f)
    if (c != ' ' && c != '\t') s += c;
  return s;
}

}  // namespace

int ParseFortranFormat(std::string_view text, std::vector<FortranField>& out, std::string& err) {
  std::vector<FortranField> f;
  if (FormatParser(text, f, err).Run()) return 1;
  out.swap(f);
  return 0;
}

int FortranDataCount(const std::vector<FortranField>& f) {
  int n = 0;
  for (const auto& x : f) n += x.Kind != 'X';
  return n;
}

bool ReadFortranInt(std::string_view field, long long& v) {
  const std::string s = Squeeze(field);
  if (s.empty()) {
    v = 0;
    return true;
  }
  size_t i = 0;
  const bool neg = s[0] == '-';
  if (s[0] == '+' || s[0] == '-') ++i;
  if (i == s.size() || s.size() - i > 18) return false;
  long long x = 0;
  for (; i < s.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    x = 10 * x + (s[i] - '0');
  }
  v = neg ? -x : x;
  return true;
}

bool ReadFortranReal(std::string_view field, int decimals, double& v) {
  const std::string s = Squeeze(field);
  if (s.empty()) {
    v = 0.;
    return true;
  }
  // Mantissa: [sign] digits [. digits]; exponent: E|D [sign] digits, or sign digits.
  size_t i = 0;
  std::string digits;
  bool neg = false, point = false;
  int frac = 0;
  if (s[i] == '+' || s[i] == '-') neg = s[i++] == '-';
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      digits += c;
      if (point) ++frac;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits.empty() || digits.size() > kMaxDigits) return false;
  long exp = 0;
  if (i < s.size()) {
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(s[i])));
    if (c == 'E' || c == 'D' || c == 'Q')
      ++i;
    else if (c != '+' && c != '-')
      return false;
    if (i == s.size()) return false;
    bool eneg = false;
    if (s[i] == '+' || s[i] == '-') eneg = s[i++] == '-';
    if (i == s.size() || s.size() - i > 4) return false;
    for (; i < s.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
      exp = 10 * exp + (s[i] - '0');
    }
    if (eneg) exp = -exp;
  }
  // Without a point the last `decimals` digits are the fraction.
  const long scale = exp - (point ? frac : decimals);
  const std::string text = fmt::format("{}{}e{}", neg ? "-" : "", digits, scale);
  char* end = nullptr;
  const double x = std::strtod(text.c_str(), &end);
  if (!std::isfinite(x)) return false;
  v = x;
  return true;
}

int ReadFortranRecord(std::string_view line, const std::vector<FortranField>& f,
                      std::vector<double>& vals, int& present) {
  vals.clear();
  present = 0;
  int k = 0;
  for (const FortranField& x : f) {
    if (x.Kind == 'X') continue;
    ++k;
    std::string_view t;
    if (static_cast<size_t>(x.Col) < line.size()) {
      t = line.substr(x.Col, x.Width);
      ++present;
    }
    if (x.Kind == 'I') {
      long long i = 0;
      if (!ReadFortranInt(t, i)) return k;
      vals.push_back(static_cast<double>(i));
    } else {
      double r = 0.;
      if (!ReadFortranReal(t, x.Decimals, r)) return k;
      vals.push_back(r);
    }
  }
  return 0;
}

}  // namespace tarn
