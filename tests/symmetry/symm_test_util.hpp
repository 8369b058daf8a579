#pragma once
// Helpers of the symmetry tests: phases built from operator lines and the
// table of the 230 space-group types.
#include <string>
#include <vector>

#include "symmetry/symm.hpp"

namespace tarn::test {

// Phase of dimension ndim holding the identity, the given centring vectors
// (texts of fractions, one vector a string) and the operators read from lines.
PhaseSymmetry MakePhase(int ndim, const std::vector<std::string>& ops,
                        const std::vector<std::vector<double>>& centr = {}, bool magnetic = false);

// Canonical one-line text of operator i ("x y z+1/2").
std::string OpLine(const PhaseSymmetry& ps, int i);

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
