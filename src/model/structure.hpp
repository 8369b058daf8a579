#pragma once
// The open structure: everything read from its files that the tools share.
// Opening, importing or creating a structure replaces the whole value, so
// nothing of an earlier structure survives into the next one.
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/keys.hpp"
#include "model/refl.hpp"

namespace tarn {

struct Structure {
  BasicData Basic;          // M50: phases, cells, symmetry, composition, data blocks
  AtomModel Model;          // M40: atoms, molecules and their parameters
  ReflData Refl;            // M95/M90 block headers and the reflection arrays
  KeyPhaseState KeyPhases;  // phase names of the command blocks
};

// The structure open in this session.
extern Structure Struct;

}  // namespace tarn
