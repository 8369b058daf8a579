#include "util/real_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace tarn {

namespace {

// Shortest round-trip digits of v from to_chars in scientific notation:
// sign, digit string without the point, decimal exponent of the first digit.
struct Decimal {
  bool Negative = false;
  std::string Digits;
  int Exp = 0;
};

template <class T>
Decimal ShortestDigits(T v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view s(buf, r.ptr - buf);
  Decimal d;
  if (!s.empty() && s.front() == '-') {
    d.Negative = true;
    s.remove_prefix(1);
  }
  const auto e = s.find('e');
  for (char c : s.substr(0, e))
    if (c != '.') d.Digits += c;
  int exp = 0;
  std::from_chars(s.data() + e + 1 + (s[e + 1] == '+'), s.data() + s.size(), exp);
  d.Exp = exp;
  return d;
}

// The same decimal value in fixed and in compact scientific notation.
std::string FixedText(const Decimal& d) {
  std::string out = d.Negative ? "-" : "";
  const int n = static_cast<int>(d.Digits.size());
  if (d.Exp < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-d.Exp - 1), '0');
    out += d.Digits;
  } else if (n <= d.Exp + 1) {
    out += d.Digits;
    out.append(static_cast<size_t>(d.Exp + 1 - n), '0');
  } else {
    out += d.Digits.substr(0, static_cast<size_t>(d.Exp + 1));
    out += '.';
    out += d.Digits.substr(static_cast<size_t>(d.Exp + 1));
  }
  return out;
}

std::string ScientificText(const Decimal& d) {
  std::string out = d.Negative ? "-" : "";
  out += d.Digits.front();
  if (d.Digits.size() > 1) {
    out += '.';
    out.append(d.Digits, 1, std::string::npos);
  }
  out += 'e';
  out += std::to_string(d.Exp);
  return out;
}

template <class T>
std::string Shortest(T v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  if (v == 0) return std::signbit(v) ? "-0" : "0";
  const Decimal d = ShortestDigits(v);
  std::string f = FixedText(d);
  std::string s = ScientificText(d);
  return f.size() <= s.size() + ShortRealFixedExtra ? f : s;
}

}  // namespace

std::string ShortestReal(double v) {
  return Shortest(v);
}
std::string ShortestReal(float v) {
  return Shortest(v);
}

}  // namespace tarn
