// Text form of symmetry operators and transformation matrices.
#include <fmt/format.h>

#include <cmath>

#include "symmetry/symm.hpp"
#include "util/fract.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr long long kMaxCoef = 1000000;  // bound on integer coefficients read

std::string ColumnSymbol(int j, bool shortForm) {
  if (shortForm) return std::string(1, "xyz"[j]);
  return fmt::format("x{}", j + 1);
}

// Integer with an optional sign ("" and "+" are 1, "-" is -1).
std::optional<long long> ReadCoef(std::string_view s) {
  if (s.empty() || s == "+") return 1;
  if (s == "-") return -1;
  long long sign = 1;
  if (s.front() == '+' || s.front() == '-') {
    if (s.front() == '-') sign = -1;
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  for (char c : s)
    if (c < '0' || c > '9') return std::nullopt;
  auto v = ToInt(s);
  if (!v || *v > kMaxCoef) return std::nullopt;
  return sign * *v;
}

// One component of an operator: row of coefficients and translation.
bool ReadComponent(std::string comp, int ndim, bool shortForm, double* row, double& trans) {
  std::erase(comp, '*');
  for (int j = 0; j < ndim; ++j) {
    row[j] = 0.;
    const std::string sym = ColumnSymbol(j, shortForm);
    const auto pos = comp.find(sym);
    if (pos == std::string::npos) continue;
    const auto end = pos + sym.size();
    if (end < comp.size() && comp[end] >= '0' && comp[end] <= '9')
      return false;  // x12, x1 in x,y,z form
    auto st = pos;
    while (st > 0 && comp[st - 1] != '+' && comp[st - 1] != '-') --st;
    if (st > 0) --st;  // include the sign
    auto coef = ReadCoef(std::string_view(comp).substr(st, pos - st));
    if (!coef) return false;
    row[j] = static_cast<double>(*coef);
    for (auto k = st; k < end; ++k) comp[k] = ' ';
  }
  std::erase(comp, ' ');
  std::optional<double> t;
  if (comp.find('.') != std::string::npos) {
    auto v = ToReal(comp);
    if (!v || !std::isfinite(*v)) return false;
    t = ReadFract(ToFract(*v));
  } else {
    t = ReadFract(comp);
  }
  if (!t) return false;
  trans = *t;
  return true;
}

std::string RealFree(double x) {
  std::string s = fmt::format("{:.6f}", x);
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

}  // namespace

int ReadSymm(std::string_view line, int ndim, bool magnetic, SymmOp& op, ErrorRecord* err) {
  auto fail = [&]() { return SymmFail(err, SymmMsgText(SymmMsg::Syntax), {std::string(line)}); };
  if (ndim < 3 || ndim > kMaxNDim) return fail();
  const std::string lower = ToLower(line);
  const auto words = SplitWords(lower);
  // Short form x, y, z: the line holds a y, or (in 3 dimensions) no column
  // symbol x1..x6 at all, as in the canonical text of an operator without y.
  bool longSymbol = false;
  for (size_t k = 0; k + 1 < lower.size() && !longSymbol; ++k)
    longSymbol = lower[k] == 'x' && lower[k + 1] >= '1' && lower[k + 1] <= '6';
  const bool shortForm = lower.find('y') != std::string::npos || (ndim == 3 && !longSymbol);
  if (shortForm && ndim > 3) return fail();
  const int nw = static_cast<int>(words.size());
  if (nw < ndim) return fail();
  if (nw > ndim + (magnetic ? 1 : 0)) return fail();
  SymmOp out;
  for (int i = 0; i < ndim; ++i)
    if (!ReadComponent(words[i], ndim, shortForm, &out.RM6[i * ndim], out.S6[i])) return fail();
  od0do1(out.S6.data(), ndim);
  out.ZMag = (magnetic && nw > ndim && words[ndim] == "-m") ? -1. : 1.;
  out.RM = MatBlock3(out.RM6.data(), ndim);
  out.RMag = CrlMakeRMag(out.RM, out.ZMag);
  out.Text = CodeSymm(out.RM6.data(), out.S6.data(), ndim);
  out.Elem = SmbOp(out.RM6.data(), out.S6.data(), ndim);
  op = std::move(out);
  return 0;
}

std::vector<std::string> CodeSymm(const double* rm6, const double* s6, int ndim, int mode) {
  std::vector<std::string> texts(ndim);
  const bool shortForm = mode != 1 && ndim < 4;
  for (int i = 0; i < ndim; ++i) {
    std::string s;
    for (int j = 0; j < ndim; ++j) {
      const double r = rm6[i * ndim + j];
      if (!(std::fabs(r) >= kTolCodeSymm)) continue;
      if (r > 0. && !s.empty()) s += '+';
      if (r < 0.) s += '-';
      const double n = std::round(r);
      if (std::fabs(r - n) < kTolCodeSymm) {
        if (std::fabs(n) > 1.) s += fmt::format("{}", static_cast<long long>(std::fabs(n)));
      } else {
        s += RealFree(std::fabs(r));
      }
      s += ColumnSymbol(j, shortForm);
    }
    // Translation p/q with the smallest denominator q <= 25.
    const double t = s6[i];
    bool found = false;
    for (int q = 1; q <= kMaxDenCodeSymm && std::isfinite(t) && std::fabs(t) < 1e9; ++q) {
      const double p = std::round(t * q);
      if (std::fabs(t * q - p) < kTolCodeSymm) {
        found = true;
        const long long ip = static_cast<long long>(p);
        if (ip != 0) {
          if (ip > 0 && !s.empty()) s += '+';
          s += q == 1 ? fmt::format("{}", ip) : fmt::format("{}/{}", ip, q);
        }
        break;
      }
    }
    if (!found) s += "?/?";
    if (s.empty()) s = "0";  // a zero row must still be one word
    texts[i] = std::move(s);
  }
  return texts;
}

int EqStringToIntMatrix(std::string_view text, const std::vector<std::string>& symbols,
                        std::vector<int>& mat) {
  const int n = static_cast<int>(symbols.size());
  std::string t;
  for (char c : text)
    if (c != ' ' && c != '\t') t += c;
  std::vector<std::string> rows;
  const bool perChar = t.find(',') == std::string::npos;
  // Longest symbol matching at position p, or -1.
  auto match = [&](const std::string& s, size_t p) {
    int best = -1;
    size_t len = 0;
    for (int k = 0; k < n; ++k) {
      const auto& sym = symbols[k];
      if (sym.empty() || sym.size() <= len || p + sym.size() > s.size()) continue;
      if (EqIgnoreCase(std::string_view(s).substr(p, sym.size()), sym)) {
        best = k;
        len = sym.size();
      }
    }
    return std::pair<int, size_t>(best, len);
  };
  if (perChar) {
    size_t p = 0;
    while (p < t.size()) {
      std::string r;
      if (t[p] == '+' || t[p] == '-') r += t[p++];
      auto [k, len] = match(t, p);
      if (k < 0) return 1;
      r += t.substr(p, len);
      p += len;
      rows.push_back(r);
    }
  } else {
    rows = SplitOn(t, ",");
  }
  if (static_cast<int>(rows.size()) != n || n == 0) return 1;
  std::vector<int> out(static_cast<size_t>(n) * n, 0);
  for (int i = 0; i < n; ++i) {
    const std::string& e = rows[i];
    if (e.empty()) return 1;
    size_t p = 0;
    while (p < e.size()) {
      long long sign = 1;
      if (e[p] == '+' || e[p] == '-') {
        if (e[p] == '-') sign = -1;
        ++p;
      }
      long long coef = 1;
      const size_t d0 = p;
      while (p < e.size() && e[p] >= '0' && e[p] <= '9') ++p;
      if (p > d0) {
        auto v = ToInt(e.substr(d0, p - d0));
        if (!v || *v > kMaxCoef) return 1;
        coef = *v;
      }
      if (p < e.size() && e[p] == '*') ++p;
      auto [k, len] = match(e, p);
      if (k < 0) return 1;
      p += len;
      const long long v = out[static_cast<size_t>(i) * n + k] + sign * coef;
      if (v > kMaxCoef || v < -kMaxCoef) return 1;
      out[static_cast<size_t>(i) * n + k] = static_cast<int>(v);
    }
  }
  mat = std::move(out);
  return 0;
}

std::string TrMat2String(const Mat3& m) {
  std::string s = "(";
  for (int i = 0; i < 3; ++i) {
    if (i > 0) s += " | ";
    for (int j = 0; j < 3; ++j) {
      if (j > 0) s += ',';
      s += ToFract(m[i * 3 + j]);
    }
  }
  return s + ")";
}

}  // namespace tarn
