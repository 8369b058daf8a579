#pragma once
// The table of the 230 space-group types for the symmetry tests (phases from
// operator lines: support/small_structures.hpp).
#include <string>
#include <vector>

#include "support/small_structures.hpp"
#include "symmetry/symm.hpp"

namespace tarn::test {

struct SpaceGroupEntry {
  int Number = 0;
  std::string Symbol;
  int Order = 0;                           // operators including centring
  std::vector<std::vector<double>> Centr;  // non-zero centring vectors
  std::vector<std::string> Gen;            // generators
  std::vector<std::string> Ops;            // all coset representatives
};

// The table tests/symmetry/data/spacegroups.txt; empty when it is missing.
const std::vector<SpaceGroupEntry>& SpaceGroups();

}  // namespace tarn::test
