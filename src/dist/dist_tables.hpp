#pragma once
// Tables of the distance tool kept in the program's home directory, folder
// "dist": typical bond distances of element pairs (typdist.dat) and
// bond-valence parameters of cation-anion pairs (bondval.dat). A missing file
// is an empty table.
//
//   typdist.dat:  element element distance(A)
//   bondval.dat:  cation-element oxidation-state anion-element R0(A) b(A)
// Lines beginning with "#" and blank lines are skipped.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.hpp"

namespace tarn {

struct DistTypical {
  std::string A, B;  // element symbols
  double D = 0.;
};
struct DistBondValEntry {
  std::string Cation;  // element symbol
  int Charge = 0;      // oxidation state of the cation
  std::string Anion;   // element symbol
  double R0 = 0., B = 0.37;
};
struct DistTables {
  std::vector<DistTypical> Typical;
  std::vector<DistBondValEntry> BondVal;
};

// Reads both tables from dir (ending in "/"). Returns 1 with err filled when a
// line cannot be read; t is then unchanged.
[[nodiscard]] int DistLoadTables(const std::string& dir, DistTables& t, ErrorRecord& err);

// Typical distance of two elements, either order.
std::optional<double> DistTypicalOf(const DistTables& t, std::string_view a, std::string_view b);
// Bond-valence parameters of a cation of element el with oxidation state
// charge (0: unknown, the first entry of the element pair) and an anion.
std::optional<DistBondValEntry> DistBondValOf(const DistTables& t, std::string_view el, int charge,
                                              std::string_view anion);

}  // namespace tarn
