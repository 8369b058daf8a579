#include "dist/dist_cov.hpp"

#include <fmt/format.h>

#include <cmath>
#include <sstream>

#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr const char* kCellNames[6] = {"a", "b", "c", "alpha", "beta", "gamma"};
constexpr const char* kXyz[3] = {"x", "y", "z"};

}  // namespace

int DistCovariance::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < Names.size(); ++i)
    if (EqIgnoreCase(Names[i], name)) return static_cast<int>(i);
  return -1;
}

int DistReadCovariance(std::string_view text, const std::string& fileName, DistCovariance& cov,
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
  if (!header || Trim(line) != DistCovHeader)
    return fail(line, fmt::format("Expected the first line \"{}\".", DistCovHeader));
  if (!next(w) || w.size() != 2 || w[0] != "npar" || !ToInt(w[1]) || *ToInt(w[1]) < 1)
    return fail(line, "Expected \"npar\" and the number of parameters.");
  const int n = static_cast<int>(*ToInt(w[1]));
  DistCovariance c;
  for (int i = 1; i <= n; ++i) {
    if (!next(w) || w.size() < 3 || w[0] != "par" || ToInt(w[1]) != i)
      return fail(line, fmt::format("Expected \"par {}\" and the parameter.", i));
    bool ok = false;
    if (w[2] == "cell" && w.size() == 4)
      for (const char* cn : kCellNames) ok = ok || w[3] == cn;
    if (w[2] == "atom" && w.size() == 5)
      for (const char* xn : kXyz) ok = ok || w[4] == xn;
    if (!ok)
      return fail(line,
                  "Expected \"cell\" and a b c alpha beta gamma, or \"atom\", its name "
                  "and x, y or z.");
    c.Names.push_back(w[2] == "cell" ? "cell " + w[3] : ToUpper(w[3]) + " " + w[4]);
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

std::string DistCovarianceText(const DistCovariance& cov) {
  std::string t = std::string(DistCovHeader) + "\n";
  t += fmt::format("npar {}\n", cov.Names.size());
  for (size_t i = 0; i < cov.Names.size(); ++i) {
    const auto w = SplitWords(cov.Names[i]);
    t += w[0] == "cell" ? fmt::format("par {} cell {}\n", i + 1, w[1])
                        : fmt::format("par {} atom {} {}\n", i + 1, w[0], w[1]);
  }
  t += "matrix\n";
  for (int r = 0; r < cov.V.rows(); ++r) {
    for (int c = 0; c <= r; ++c) t += fmt::format("{}{:.9g}", c ? " " : "", cov.V(r, c));
    t += "\n";
  }
  return t + "end\n";
}

double DistSuCov(const DistPhase& ph, const DistGrad& g, const DistCovariance& cov) {
  Eigen::VectorXd d = Eigen::VectorXd::Zero(cov.V.rows());
  double rest = 0.;
  auto add = [&](const std::string& name, double der, double su) {
    const int i = cov.IndexOf(name);
    if (i >= 0)
      d[i] += der;
    else
      rest += der * der * su * su;
  };
  for (const auto& [atom, dx] : g.Atom) {
    const DistAtom& a = ph.Atoms[static_cast<size_t>(ph.FromModel[static_cast<size_t>(atom)])];
    for (int k = 0; k < 3; ++k) add(ToUpper(a.Name) + " " + kXyz[k], dx[k], a.XSu[k]);
  }
  for (int k = 0; k < 6; ++k) add(std::string("cell ") + kCellNames[k], g.Cell[k], ph.Cell.Su[k]);
  return std::sqrt(std::max(0., d.dot(cov.V * d)) + rest);
}

}  // namespace tarn
