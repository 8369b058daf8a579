#pragma once
// Hand-built structures for the distance tests: one phase from cell,
// centring, operators, atom types with radii and atoms.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "dist/dist.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"

namespace tarn::test {

struct TAtom {
  std::string Name;
  int Type = 1;
  Vec3 X{};
  Vec3 Su{};
  double Ai = 1.;
};

struct TType {
  std::string Name;
  double Radius = 0.;  // 0: none given
};

inline Structure MakeStructure(const std::array<double, 6>& cell, const std::vector<TType>& types,
                               const std::vector<TAtom>& atoms,
                               const std::vector<std::string>& symm = {"x y z"},
                               const std::string& lattice = "P",
                               const std::array<double, 6>& cellSu = {},
                               const std::vector<Vec3>& q = {}) {
  Structure s;
  s.Basic.Phase.resize(1);
  s.Basic.DatBlock.resize(1);
  PhaseBasic& p = s.Basic.Phase[0];
  p.NDim = 3 + static_cast<int>(q.size());  // q: modulation vectors, operators in NDim words
  p.Qi = q;
  std::copy(cell.begin(), cell.end(), p.Cell);
  std::copy(cellSu.begin(), cellSu.end(), p.CellSU);
  p.Lattice = lattice;
  p.SymmText = symm;
  for (const auto& t : types) {
    p.AtType.push_back(t.Name);
    AtomTypeBasic d;
    if (t.Radius > 0.) d.AtRadius = t.Radius;
    p.AtTypeData.push_back(d);
  }
  EXPECT_EQ(SetBasicM50(s.Basic), 0);
  for (const auto& a : atoms) {
    AtomRec r = DefaultAtom();
    r.Name = a.Name;
    r.Type = a.Type;
    r.Shape.AdpOrder = 1;
    r.Par.resize(AtomLayout(r.Shape).NPar);
    const auto lay = AtomLayout(r.Shape);
    r.Par.Val[lay.Off[BlkOcc]] = a.Ai;
    for (int k = 0; k < 3; ++k) {
      r.Par.Val[lay.Off[BlkPos] + k] = a.X[k];
      r.Par.Sig[lay.Off[BlkPos] + k] = a.Su[k];
    }
    r.Par.Val[lay.Off[BlkAdp]] = 0.02;
    s.Model.Atom.push_back(r);
  }
  s.Model.Phase.resize(1);
  return s;
}

// Gives atom i an anisotropic tensor beta (11 22 33 12 13 23) with s.u.
inline void SetBeta(Structure& s, int i, const std::array<double, 6>& beta,
                    const std::array<double, 6>& su) {
  AtomRec& r = s.Model.Atom[static_cast<size_t>(i)];
  AtomShape sh = r.Shape;
  sh.AdpOrder = 2;
  ReallocateAtomParams(r, sh);
  const auto lay = AtomLayout(sh);
  for (int k = 0; k < 6; ++k) {
    r.Par.Val[lay.Off[BlkAdp] + k] = beta[k];
    r.Par.Sig[lay.Off[BlkAdp] + k] = su[k];
  }
}

// Runs the tool on s with the block text (lines of a "dist" block) and the
// shipped tables.
inline DistResults RunDist(const Structure& s, const std::string& block = "", bool tables = false) {
  DistCommands c;
  EXPECT_EQ(DistReadCommands("dist\n" + block + "\nend dist\n", c, 0), 0);
  DistTables t;
  ErrorRecord err;
  if (tables) {
    EXPECT_EQ(DistLoadTables("data/dist/", t, err), 0) << err.Text();
  }
  DistResults r;
  EXPECT_EQ(DistRun(s, c, t, r), 0);
  return r;
}

// Names of the neighbours of the coordination of atom `name`.
inline const DistCoordination* CoordOf(const DistResults& r, const std::string& name) {
  for (const auto& c : r.Coord)
    if (r.Phase.Atoms[static_cast<size_t>(c.Central)].Name == name) return &c;
  return nullptr;
}

}  // namespace tarn::test
