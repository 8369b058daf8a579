// Transformations: P2(1)/n -> P2(1)/c gives the standard operators and the
// same structure factors (direct summation over the cell), and every
// transformation followed by its inverse gives the files back. The SHELX
// export of the same model carries its twin domains and restraints.
#include "edit/transform.hpp"
#include "edit/shelx_export.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <complex>
#include <sstream>

#include "model/atom_edit.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "util/numbers.hpp"

namespace tarn::test {
namespace {

Structure P21n() {
  const std::string m50 =
      "cell 7.1 9.3 11.2 90 104.5 90\nesdcell 0.001 0.002 0.003 0 0.02 0\nndim 3\n"
      "spgroup P21/n 14\nlattice P\ncentro\nsymmetry x y z\nsymmetry -x+1/2 y+1/2 -z+1/2\n"
      "atom C\natom O\nend\n";
  Structure st;
  EXPECT_EQ(ReadM50Text(m50, "t.m50", st.Basic), 0);
  EXPECT_EQ(SetBasicM50(st.Basic), 0);
  st.Model.Phase.resize(1);
  std::string why;
  EXPECT_EQ(EM40AddAtom(st, 1, "O1", "O", {0.123, 0.234, 0.345}, 0.02, why), 0);
  EXPECT_EQ(EM40AddAtom(st, 1, "C1", "C", {0.31, 0.05, 0.77}, 0.03, why), 0);
  EXPECT_EQ(EM40AddAtom(st, 1, "C2", "C", {0.61, 0.41, 0.18}, 0.025, why), 0);
  EXPECT_EQ(EM40MakeAniso(st, {"C1"}, why), 0);
  st.Model.Atom[1].Par.Val[AtomLayout(st.Model.Atom[1].Shape).Off[BlkAdp] + 4] = 0.0011;
  return st;
}

// |F(h)| by direct summation over the operators, centring and inversion,
// scattering factor = atomic number (no fall-off), harmonic Debye-Waller.
double FAbs(const Structure& st, const std::array<int, 3>& h) {
  const PhaseSymmetry& ps = st.Basic.Phase[0].Symmetry;
  std::complex<double> f = 0.;
  for (const AtomRec& a : st.Model.Atom) {
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    const double z = a.Type == 1 ? 6. : 8.;
    for (int k = 0; k < ps.NSymm; ++k) {
      const SymmOp& o = ps.Op[static_cast<size_t>(k)];
      double phase = 0., hr[3] = {0, 0, 0};
      for (int i = 0; i < 3; ++i) {
        double x = o.S6[static_cast<size_t>(i)];
        for (int j = 0; j < 3; ++j) {
          x += o.RM[static_cast<size_t>(3 * i + j)] *
               a.Par.Val[static_cast<size_t>(lay.Off[BlkPos] + j)];
          hr[j] += h[static_cast<size_t>(i)] * o.RM[static_cast<size_t>(3 * i + j)];
        }
        phase += h[static_cast<size_t>(i)] * x;
      }
      double dw = 1.;
      if (a.Shape.AdpOrder == 2) {
        const double* b = &a.Par.Val[static_cast<size_t>(lay.Off[BlkAdp])];
        dw = std::exp(-(b[0] * hr[0] * hr[0] + b[1] * hr[1] * hr[1] + b[2] * hr[2] * hr[2] +
                        2. * (b[3] * hr[0] * hr[1] + b[4] * hr[0] * hr[2] + b[5] * hr[1] * hr[2])));
      }
      f += a.Par.Val[0] * z * dw * std::polar(1., kTwoPi * phase);
    }
  }
  return std::abs(f);
}

TEST(Transform, P21nToP21cKeepsStructureFactors) {
  Structure st = P21n();
  const Structure orig = st;
  EM40Transform t;
  std::string why;
  ASSERT_EQ(EM40ParseTransform("cell a,b,a+c", t, why), 0) << why;
  ASSERT_EQ(EM40TransformStructure(st, 1, t, why), 0) << why;
  EXPECT_EQ(st.Basic.Phase[0].SymmText[1], "-x y+1/2 -z+1/2") << "P2(1)/c standard";
  EXPECT_TRUE(st.Basic.Phase[0].Centro);
  EXPECT_NE(st.Basic.Phase[0].Cell[4], orig.Basic.Phase[0].Cell[4]);
  for (const std::array<int, 3>& h0 :
       {std::array<int, 3>{1, 0, 0}, {0, 1, 1}, {2, 3, -1}, {-1, 2, 4}, {3, 1, 2}, {1, 1, 1}}) {
    std::array<int, 3> h = h0;
    ASSERT_EQ(EM40TransformIndices(t, h.data()), 0);
    EXPECT_NEAR(FAbs(st, h), FAbs(orig, h0), 1e-8 * (1. + FAbs(orig, h0)))
        << h0[0] << " " << h0[1] << " " << h0[2];
  }
}

// P2(1)/c -> P-1 (subgroup) and the 2a,b,c supercell: the atoms of the new
// asymmetric unit give the same |F| (the supercell twice it on (2h,k,l) and
// nothing on odd h'), and the occupancy factors keep the cell content (an
// atom on the centre at the origin included).
TEST(Transform, SubgroupAndSupercellKeepStructureFactors) {
  Structure orig = P21n();
  std::string why;
  EM40Transform toC;
  ASSERT_EQ(EM40ParseTransform("cell a,b,a+c", toC, why), 0);
  ASSERT_EQ(EM40TransformStructure(orig, 1, toC, why), 0) << why;
  ASSERT_EQ(EM40AddAtom(orig, 1, "O2", "O", {0., 0., 0.}, 0.02, why), 0) << why;
  ASSERT_NEAR(orig.Model.Atom.back().Par.Val[0], 0.5, 1e-12);
  const std::vector<std::array<int, 3>> hs = {{1, 0, 0}, {0, 1, 1}, {2, 3, -1},
                                              {-1, 2, 4}, {3, 1, 2}, {0, 1, 0}};
  struct Case {
    const char* line;
    size_t atoms;
    int factor;
  };
  for (const Case& c : {Case{"subgroup -x,-y,-z", 8, 1}, Case{"supercell 2a,b,c", 8, 2}}) {
    Structure st = orig;
    EM40Transform t;
    ASSERT_EQ(EM40ParseTransform(c.line, t, why), 0) << why;
    ASSERT_EQ(EM40TransformStructure(st, 1, t, why), 0) << c.line << ": " << why;
    EXPECT_EQ(st.Model.Atom.size(), c.atoms) << c.line;
    double occ = 0.;
    for (const AtomRec& a : st.Model.Atom) occ += a.Par.Val[0] * st.Basic.Phase[0].Symmetry.NSymm;
    EXPECT_NEAR(occ, c.factor * 4. * 3.5, 1e-9) << c.line << ": the cell content";
    for (std::array<int, 3> h : hs) {
      const double f0 = FAbs(orig, h);
      ASSERT_EQ(EM40TransformIndices(t, h.data()), 0);
      EXPECT_NEAR(FAbs(st, h), c.factor * f0, 1e-8 * (1. + f0)) << c.line << " " << h[0];
      if (c.factor == 2) {
        h[0] += 1;
        EXPECT_NEAR(FAbs(st, h), 0., 1e-8) << c.line << " odd " << h[0];
      }
    }
  }
  EXPECT_EQ(orig.Basic.Phase[0].SymmText.size(), 2u);
  Structure st = orig;
  EM40Transform t;
  ASSERT_EQ(EM40ParseTransform("subgroup x,-y+1/2,z+1/2", t, why), 0);
  EXPECT_EQ(EM40TransformStructure(st, 1, t, why), 0) << "Pc: " << why;
  ASSERT_EQ(EM40ParseTransform("subgroup x+1/2,y,z", t, why), 0);
  EXPECT_NE(EM40TransformStructure(st, 1, t, why), 0) << "not an operator of the group";
}

// Each transformation and its inverse give byte-identical M50 and M40 texts
// (the cell s.u. survive only permutations of the axes: left out here).
TEST(Transform, ThereAndBackGivesTheFiles) {
  Structure orig = P21n();
  std::fill(orig.Basic.Phase[0].CellSU, orig.Basic.Phase[0].CellSU + 6, 0.);
  std::string m50 = WriteM50Text(orig.Basic), m40;
  ASSERT_EQ(M40WriteText(orig.Model, m40), 0);
  for (const char* line : {"cell a,b,a+c", "cell c,a,b", "cell -a-c,b,a", "origin 1/2 0 1/4",
                           "origin 0.1 0.2 0.3", "enantiomorph", "cell 1 0 0 0 1 0 1 0 1"}) {
    Structure st = orig;
    EM40Transform t;
    std::string why, m40b;
    ASSERT_EQ(EM40ParseTransform(line, t, why), 0) << line << why;
    ASSERT_EQ(EM40TransformStructure(st, 1, t, why), 0) << line << why;
    ASSERT_EQ(EM40TransformStructure(st, 1, EM40InverseTransform(t), why), 0) << line << why;
    EXPECT_EQ(WriteM50Text(st.Basic), m50) << line;
    ASSERT_EQ(M40WriteText(st.Model, m40b), 0);
    EXPECT_EQ(m40b, m40) << line;
  }
}

// Inversion twin, restraints with a symmetry part (EQIV), per-pair RIGU,
// EADP from the six Uij equations, and what has no SHELX form.
TEST(ShelxExport, TwinAndRestraints) {
  Structure st = P21n();
  st.Basic.DatBlock.resize(1);
  st.Basic.DatBlock[0].Lambda = 0.71073;
  st.Basic.Twin = {{1, 0, 0, 0, 1, 0, 0, 0, 1}, {-1, 0, 0, 0, -1, 0, 0, 0, -1}};
  st.Model.DatBlock.resize(1);
  st.Model.DatBlock[0].Twin.resize(2);
  st.Model.DatBlock[0].Twin.Val = {0.7, 0.3};
  RefSettings ref;
  auto lines = [&](int k) -> std::vector<RefCmdLine>& {
    return ref.EditLines[static_cast<size_t>(k - RefFirstSpecial)];
  };
  lines(RkDistFix) = {{"1.54 0.01 C1 C2; O1 C2#s2t1,0,0"}, {"* 0.01 C1 C2"}};
  lines(RkAdpFix) = {{"rigu 0.004 C1 C2; C2 O1"}};
  for (const char* u : {"U11", "U22", "U33", "U12", "U13", "U23"})
    lines(RkEquation).push_back({fmt::format("{0}[C2] = {0}[C1]", u)});
  std::string ins, why;
  std::vector<std::string> notes;
  ASSERT_EQ(EM40ShelxIns(st, 1, 1, ref, 1., ins, notes, why), 0) << why;
  for (const char* part :
       {"TWIN 1 0 0 0 1 0 0 0 1 -2\nBASF 0.30000\n", "EQIV $1 3/2-X,1/2+Y,1/2-Z\n",
        "DFIX 1.54 0.01 C1 C2 O1 C2_$1\n", "RIGU 0.004 0.004 C1 C2\nRIGU 0.004 0.004 C2 O1\n",
        "EADP C1 C2\n"})
    EXPECT_NE(ins.find(part), std::string::npos) << part << "\n" << ins;
  EXPECT_EQ(ins.find("U11[C2]"), std::string::npos);
  EXPECT_NE(std::find(notes.begin(), notes.end(), "Restraint not expressed: distfix * 0.01 C1 C2"),
            notes.end());
}

TEST(Transform, BadLines) {
  for (const char* line : {"cell a,a,c", "cell b,a,c", "cell a,b", "origin 1 2", "origin x 0 0",
                           "shift 0 0 0", "cell 1 0 0 0 1 0 0 0 0", "", "subgroup x,y",
                           "supercell a/2,b,c", "subgroup"}) {
    EM40Transform t;
    std::string why;
    EXPECT_NE(EM40ParseTransform(line, t, why), 0) << line;
    EXPECT_FALSE(why.empty()) << line;
  }
}

}  // namespace
}  // namespace tarn::test
