// Molecules made from atoms of the model: the same structure factors as the
// atoms, a second position that is a symmetry image of the first (the 2_1
// axis of P2_1/c as a rotation and translation), the molecule section of M40
// read back, and the edit lines that refuse without changing anything.
#include "edit/molecules.hpp"

#include <gtest/gtest.h>

#include <complex>

#include "edit/edit_script.hpp"
#include "support/refine_sim.hpp"
#include "symmetry/site_mol.hpp"

namespace tarn {
namespace {

using namespace testsim;

std::vector<std::complex<double>> AllF() {
  RefParams p;
  RefBuildParams(p);
  CalcSetup s;
  EXPECT_EQ(CalcPrepare(s, p), 0);
  std::vector<std::complex<double>> f;
  for (const Hkl& h : std::vector<Hkl>{{1, 0, 0},
                                       {0, 2, 1},
                                       {1, 1, 1},
                                       {2, -3, 4},
                                       {-3, 1, 5},
                                       {4, 4, -2},
                                       {5, -1, 7},
                                       {0, 0, 6}}) {
    const CalcOut o = Eval(s, h, false);
    f.emplace_back(o.A, o.B);
  }
  return f;
}

void Apply(const std::vector<std::string>& lines) {
  AtomEditRun run;
  run.St = Struct;
  std::string why;
  for (const auto& l : lines) ASSERT_EQ(EM40EditLine(run, l, why), 0) << l << ": " << why;
  Struct = run.St;
}

TEST(EditMolecules, SameStructureFactorsAsTheAtoms) {
  SetPhase({.Cell = kCellMono,
            .Ops = {"x y z", "-x y+1/2 -z+1/2", "-x -y -z", "x -y+1/2 z+1/2"},
            .Lambda = 0.71073});
  const std::array<double, 3> x0 = {0.3312, 0.2511, 0.4012};
  for (const AtomSpec& s : std::vector<AtomSpec>{
           {"Fe1", 2, 2, 1.0, x0, {0.0061, 0.0042, 0.0031, 0.0007, -0.0005, 0.0003}},
           {"C1", 1, 1, 0.9, {0.4912, 0.2712, 0.4611}, {0.021, 0, 0, 0, 0, 0}},
           {"C2",
            1,
            2,
            1.0,
            {0.2134, 0.3917, 0.3521},
            {0.0081, 0.0052, 0.0043, -0.0011, 0.0009, 0.0004}},
           {"O9", 1, 1, 1.0, {0.8, 0.1, 0.7}, {0.015, 0, 0, 0, 0, 0}}})
    Struct.Model.Atom.push_back(MakeAtom(s));
  const auto want = AllF();
  const AtomModel atoms = Struct.Model;
  auto expectSame = [&](const char* what) {
    const auto got = AllF();
    for (size_t i = 0; i < want.size(); ++i)
      EXPECT_LT(std::abs(got[i] - want[i]), 1e-9 * (1. + std::abs(want[i]))) << what << " " << i;
  };
  // Centre of gravity, then an explicit reference point.
  Apply({"molecule Mol1 Fe1 C*"});
  ASSERT_EQ(Struct.Model.Mol.size(), 1u);
  EXPECT_EQ(Struct.Model.Atom.size(), 1u);
  EXPECT_EQ(Struct.Model.Mol[0].Pos[0].Name, "Mol1a");
  expectSame("centre of gravity");
  Struct.Model = atoms;
  Apply({"molecule Mol1 Fe1 C1 C2 ref 0.33 0.25 0.40"});
  expectSame("reference point");
  // Two half positions: the second turned by 180 degrees about b (Euler
  // 90 180 -90) about the reference point c0 and moved by
  // (-2 c0x, 1/2, 1/2 - 2 c0z): the image (-x, y+1/2, -z+1/2) of the first.
  Struct.Model.Mol[0].Pos[0].Par.Val[MpAi] = 0.5;
  Apply({"position Mol1 90 180 -90 -0.66 0.5 -0.3 0.5 Half"});
  expectSame("symmetry image");
  EXPECT_EQ(Struct.Model.Mol[0].Pos[1].Name, "Half");
  // M40 carries the molecule section as written.
  std::string text;
  ASSERT_EQ(M40WriteText(Struct.Model, text), 0);
  AtomModel back;
  ASSERT_EQ(M40ReadText(text, "t.m40", back), 0);
  std::string again;
  ASSERT_EQ(M40WriteText(back, again), 0);
  EXPECT_EQ(again, text);
  ASSERT_EQ(back.Mol.size(), 1u);
  EXPECT_EQ(back.Mol[0].Pos.size(), 2u);
  EXPECT_EQ(back.Mol[0].Atoms.size(), 3u);
  // The image alone at half weight: F(O9) + F(molecule) / 2.
  Apply({"delete-position Mol1a"});
  const auto half = AllF();
  const AtomModel mol = Struct.Model;
  Struct.Model = atoms;
  Struct.Model.Atom = {atoms.Atom[3]};
  const auto fo9 = AllF();
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_LT(std::abs(half[i] - (fo9[i] + 0.5 * (want[i] - fo9[i]))),
              1e-9 * (1. + std::abs(want[i])));
  Struct.Model = mol;

  // Wrong lines change nothing.
  const AtomModel before = Struct.Model;
  for (const char* l :
       {"molecule Mol1 O9", "molecule 9x O9", "molecule M2 Nope", "molecule M2 O9 ref 0 0 zz",
        "position Nope 0 0 0 0 0 0", "position Mol1 0 0 0 0 0 0 1.5",
        "position Mol1 0 0 0 0 0 0 1 O9", "delete-position Half", "delete-position Nope",
        "delete-molecule Mol1 Nope"}) {
    AtomEditRun run;
    run.St = Struct;
    std::string why;
    EXPECT_EQ(EM40EditLine(run, l, why), 1) << l;
    EXPECT_FALSE(why.empty()) << l;
    EXPECT_EQ(run.St.Model.Mol, before.Mol) << l;
    EXPECT_EQ(run.St.Model.Atom, before.Atom) << l;
  }
}

}  // namespace
}  // namespace tarn
