#include "dist/dist_tables.hpp"

#include <sstream>

#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Reads the data lines of one table: each must have `n` words that `take`
// accepts. A missing file gives no lines.
template <class Take>
int ReadTable(const std::string& path, size_t n, std::string_view expect, ErrorRecord& err,
              Take take) {
  if (!FeFileExists(path)) return 0;
  std::string text;
  if (FeReadFile(path, text)) {
    err = ErrorRecord::At(path, 0, "The file could not be read.");
    return 1;
  }
  std::istringstream in(text);
  std::string line;
  for (int no = 1; std::getline(in, line); ++no) {
    auto t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    auto w = SplitWords(t);
    if (w.size() != n || !take(w)) {
      err = {path, no, 0, std::string(t), std::string(expect)};
      return 1;
    }
  }
  return 0;
}

}  // namespace

int DistLoadTables(const std::string& dir, DistTables& t, ErrorRecord& err) {
  DistTables n;
  if (ReadTable(dir + "typdist.dat", 3, "Expected: element, element, distance in Angstrom.", err,
                [&](const std::vector<std::string>& w) {
                  auto d = ToReal(w[2]);
                  if (!d || *d <= 0.) return false;
                  n.Typical.push_back({w[0], w[1], *d});
                  return true;
                }))
    return 1;
  if (ReadTable(dir + "bondval.dat", 5,
                "Expected: cation element, oxidation state, anion element, R0 and b in Angstrom.",
                err, [&](const std::vector<std::string>& w) {
                  auto q = ToInt(w[1]);
                  auto r0 = ToReal(w[3]), b = ToReal(w[4]);
                  if (!q || !r0 || !b || *b <= 0.) return false;
                  n.BondVal.push_back({w[0], static_cast<int>(*q), w[2], *r0, *b});
                  return true;
                }))
    return 1;
  t = std::move(n);
  return 0;
}

std::optional<double> DistTypicalOf(const DistTables& t, std::string_view a, std::string_view b) {
  for (const auto& e : t.Typical)
    if ((EqIgnoreCase(e.A, a) && EqIgnoreCase(e.B, b)) ||
        (EqIgnoreCase(e.A, b) && EqIgnoreCase(e.B, a)))
      return e.D;
  return std::nullopt;
}

std::optional<DistBondValEntry> DistBondValOf(const DistTables& t, std::string_view el, int charge,
                                              std::string_view anion) {
  for (const auto& e : t.BondVal)
    if (EqIgnoreCase(e.Cation, el) && EqIgnoreCase(e.Anion, anion) &&
        (charge == 0 || e.Charge == charge))
      return e;
  return std::nullopt;
}

}  // namespace tarn
