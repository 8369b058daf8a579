#include "model/covariance.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <sstream>

#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr const char* kCellNames[6] = {"a", "b", "c", "alpha", "beta", "gamma"};
constexpr const char* kXyz[3] = {"x", "y", "z"};
constexpr const char* kMolPos[6] = {"phi", "chi", "psi", "tx", "ty", "tz"};

bool IsHex16(std::string_view s) {
  if (s.size() != 16) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace

int CovMatrix::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < Names.size(); ++i)
    if (EqIgnoreCase(Names[i], name)) return static_cast<int>(i);
  return -1;
}

std::string M40Identity(std::string_view m40Text) {
  // The free-text block "commands" ... "end" at the head (where the Fourier
  // tool keeps its peaks) is not part of the model.
  auto line = [&](size_t at) {
    const size_t e = m40Text.find('\n', at);
    return std::pair{m40Text.substr(at, e == std::string_view::npos ? e : e - at),
                     e == std::string_view::npos ? m40Text.size() : e + 1};
  };
  if (auto [first, next] = line(0); EqIgnoreCase(Trim(first), "commands")) {
    size_t at = next;
    while (at < m40Text.size()) {
      const auto [l, after] = line(at);
      at = after;
      if (EqIgnoreCase(Trim(l), "end")) break;
    }
    m40Text.remove_prefix(at);
  }
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : m40Text) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return fmt::format("{:016x}", h);
}

int ReadCovariance(std::string_view text, const std::string& fileName, CovMatrix& cov,
                   ErrorRecord& err) {
  std::istringstream in{std::string(text)};
  std::string line;
  int no = 0;
  auto fail = [&](const std::string& what, const std::string& msg) {
    err = ErrorRecord::At(fileName, no, msg, what);
    return 1;
  };
  auto next = [&](std::vector<std::string>& w) {
    while (std::getline(in, line)) {
      ++no;
      w = SplitWords(line);
      if (!w.empty()) return true;
    }
    return false;
  };
  std::vector<std::string> w;
  const bool header = static_cast<bool>(std::getline(in, line));
  no = 1;
  if (!header || Trim(line) != CovHeader)
    return fail(line, fmt::format("Expected the first line \"{}\".", CovHeader));
  CovMatrix c;
  if (!next(w) || w.size() != 2 || w[0] != "m40" || !IsHex16(w[1]))
    return fail(line, "Expected \"m40\" and the identity of the M40 (16 hex digits).");
  c.M40Id = w[1];
  if (!next(w) || w.size() != 2 || w[0] != "npar" || !ToInt(w[1]) || *ToInt(w[1]) < 1)
    return fail(line, "Expected \"npar\" and the number of parameters.");
  const int n = static_cast<int>(*ToInt(w[1]));
  for (int i = 1; i <= n; ++i) {
    if (!next(w) || w.size() < 3 || w[0] != "par" || ToInt(w[1]) != i)
      return fail(line, fmt::format("Expected \"par {}\" and the parameter.", i));
    bool ok = false;
    if (w[2] == "cell" && w.size() == 4)
      for (const char* cn : kCellNames) ok = ok || w[3] == cn;
    if (w[2] == "atom" && w.size() == 5)
      for (const char* xn : kXyz) ok = ok || w[4] == xn;
    if (w[2] == "molpos" && w.size() == 5)
      for (const char* mn : kMolPos) ok = ok || w[4] == mn;
    if (!ok)
      return fail(line,
                  "Expected \"cell\" and a b c alpha beta gamma, \"atom\", its name "
                  "and x, y or z, or \"molpos\", its name and phi, chi, psi, tx, ty or tz.");
    c.Names.push_back(w[2] == "cell"     ? "cell " + w[3]
                      : w[2] == "molpos" ? "molpos " + ToUpper(w[3]) + " " + w[4]
                                         : ToUpper(w[3]) + " " + w[4]);
  }
  if (!next(w) || w.size() != 1 || w[0] != "matrix") return fail(line, "Expected \"matrix\".");
  c.V = Eigen::MatrixXd::Zero(n, n);
  int row = 0, col = 0;
  while (row < n) {
    if (!next(w)) return fail("", "The matrix ends before its last row.");
    for (const auto& s : w) {
      auto v = ToReal(s);
      if (!v || row >= n) return fail(line, "Expected the values of the lower triangle.");
      c.V(row, col) = c.V(col, row) = *v;
      if (++col > row) col = 0, ++row;
    }
  }
  for (int i = 0; i < n; ++i)
    if (c.V(i, i) < 0.) return fail(c.Names[static_cast<size_t>(i)], "A variance is negative.");
  if (!next(w) || w.size() != 1 || w[0] != "end") return fail(line, "Expected \"end\".");
  cov = std::move(c);
  return 0;
}

std::string CovarianceText(const CovMatrix& cov) {
  std::string t = std::string(CovHeader) + "\n";
  t += fmt::format("m40 {}\nnpar {}\n", cov.M40Id, cov.Names.size());
  for (size_t i = 0; i < cov.Names.size(); ++i) {
    const auto w = SplitWords(cov.Names[i]);
    t += w[0] == "cell"     ? fmt::format("par {} cell {}\n", i + 1, w[1])
         : w[0] == "molpos" ? fmt::format("par {} molpos {} {}\n", i + 1, w[1], w[2])
                            : fmt::format("par {} atom {} {}\n", i + 1, w[0], w[1]);
  }
  t += "matrix\n";
  for (int r = 0; r < cov.V.rows(); ++r) {
    for (int c = 0; c <= r; ++c) t += fmt::format("{}{:.9g}", c ? " " : "", cov.V(r, c));
    t += "\n";
  }
  return t + "end\n";
}

CovState LoadCovariance(const std::string& fln, CovMatrix& cov, ErrorRecord& err) {
  const std::string path = fln + ".cov";
  if (fln.empty() || !FeFileExists(path)) return CovState::Absent;
  std::string text, m40;
  if (FeReadFile(path, text) != 0) {
    err = ErrorRecord::At(path, 0, "The file could not be read.");
    return CovState::Unreadable;
  }
  CovMatrix c;
  if (ReadCovariance(text, path, c, err) != 0) return CovState::Unreadable;
  if (FeReadFile(fln + ".m40", m40) != 0 || M40Identity(m40) != c.M40Id)
    return CovState::OtherModel;
  cov = std::move(c);
  return CovState::Used;
}

}  // namespace tarn
