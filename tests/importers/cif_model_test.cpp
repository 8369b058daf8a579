#include "importers/cif_model.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "importers/shelx_model.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/scatdata.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "support/report_script.hpp"
#include "support/small_structures.hpp"
#include "util/cif_syntax.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::SharedData;

struct CifModelTest : test::StructureTest {
  void SetUp() override {
    test::StructureTest::SetUp();
    savedHome_ = Sess.HomeDir;
    Sess.HomeDir = "data/";  // the space-group tables
  }
  void TearDown() override {
    Sess.HomeDir = savedHome_;
    test::StructureTest::TearDown();
  }
  std::string savedHome_;
  test::ReportScript Tk;
  std::vector<std::string> Msg;
  ErrorRecord Err;
  int Import(std::string_view text, const std::string& file) {
    Msg.clear();
    Err.Clear();
    return ImportCifModel(text, file, Msg, Err);
  }
  // An atom by label, the case of the letters ignored.
  static const AtomRec* Find(std::string_view name) {
    for (const auto& x : Struct.Model.Atom)
      if (EqIgnoreCase(x.Name, name)) return &x;
    return nullptr;
  }
};

// The published CIF and the SHELX result file of the same refinement give the
// same model: one import checked against the other.
TEST_F(CifModelTest, SameModelAsFromShelx) {
  struct Case {
    const char* Cif;
    bool Embedded;  // the .res is inside the CIF
    const char* Res;
    double TolX, TolBeta, TolOcc;
  } cases[] = {
      {"nacl/NaCl.cif", false, "nacl/NaCl.res", 1e-6, 5e-5, 1e-5},
      {"shelx/SH2185_Cu.cif", true, nullptr, 2e-3, 5e-4, 2e-3},
  };
  for (const auto& c : cases) {
    const std::string cif = SharedData(c.Cif);
    if (cif.empty()) GTEST_SKIP() << c.Cif << " not available";
    const std::string res =
        c.Embedded ? ShelxEmbeddedFile(cif, "_shelx_res_file") : SharedData(c.Res);
    ASSERT_EQ(ImportShelxModel(res, "x.res", Msg, Err), 0) << Err;
    const AtomModel ref = Struct.Model;
    const BasicData refB = Struct.Basic;
    ASSERT_EQ(Import(cif, c.Cif), 0) << Err;
    const PhaseBasic &p = Struct.Basic.Phase.at(0), &q = refB.Phase.at(0);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(p.Cell[i], q.Cell[i], 1e-3) << c.Cif;
    EXPECT_EQ(p.Symmetry.NSymm, q.Symmetry.NSymm) << c.Cif;
    EXPECT_EQ(p.Symmetry.NLattVec, q.Symmetry.NLattVec) << c.Cif;
    EXPECT_EQ(p.Centro, q.Centro) << c.Cif;
    EXPECT_EQ(p.Lattice, q.Lattice) << c.Cif;
    EXPECT_EQ(Struct.Model.Atom.size(), ref.Atom.size()) << c.Cif;
    for (const auto& a : ref.Atom) {
      const AtomRec* b = Find(a.Name);  // labels differ in case between the two files
      ASSERT_NE(b, nullptr) << a.Name;
      EXPECT_EQ(b->Shape.AdpOrder, a.Shape.AdpOrder) << a.Name;
      EXPECT_NEAR(test::AtomPar(*b, BlkOcc), test::AtomPar(a, BlkOcc), c.TolOcc) << a.Name;
      for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(test::AtomPar(*b, BlkPos, k), test::AtomPar(a, BlkPos, k), c.TolX) << a.Name;
      const int n = a.Shape.AdpOrder == 2 ? 6 : 1;
      for (int k = 0; k < n; ++k)
        EXPECT_NEAR(test::AtomPar(*b, BlkAdp, k), test::AtomPar(a, BlkAdp, k),
                    n == 1 ? 2e-3 : c.TolBeta)
            << a.Name;
    }
  }
}

// Site-symmetry orders of atoms on special positions divide the chemical
// occupancy; composition from the formula sum.
TEST_F(CifModelTest, SpecialPositionsAndComposition) {
  struct Case {
    const char* File;
    const char* Atom;
    double Ai;  // chemical occupancy / site order
    const char* Type;
    double Formula;
  } cases[] = {
      {"cif-models/tio2_rutile.cif", "Ti1", 1. / 8., "Ti", 1.},   // 2a, mmm
      {"cif-models/tio2_rutile.cif", "O1", 1. / 4., "O", 2.},     // 4f, m2m
      {"cif-models/9008564.cif", "C", 1. / 24., "C", 1.},         // 8a, -43m
      {"cif-models/nias_p63mmc.cif", "Ni1", 1. / 12., "Ni", 1.},  // 2a, -3m
  };
  for (const auto& c : cases) {
    const std::string cif = SharedData(c.File);
    if (cif.empty()) GTEST_SKIP() << c.File << " not available";
    ASSERT_EQ(Import(cif, c.File), 0) << Err;
    const AtomRec* a = Find(c.Atom);
    ASSERT_NE(a, nullptr) << c.File << " " << c.Atom;
    EXPECT_NEAR(test::AtomPar(*a, BlkOcc), c.Ai, 1e-9) << c.File << " " << c.Atom;
    const PhaseBasic& p = Struct.Basic.Phase[0];
    size_t it = 0;
    while (it < p.AtType.size() && ScatParseName(p.AtType[it])->Element != c.Type) ++it;
    ASSERT_LT(it, p.AtType.size()) << c.File;
    EXPECT_NEAR(p.AtTypeData[it].Formula.value_or(0.), c.Formula, 1e-3) << c.File << " " << c.Type;
  }
}

// A CIF that names its group only by symbol gets the group's operators.
TEST_F(CifModelTest, SymbolOnlyGivesTheOperators) {
  const std::string head =
      "data_x\n_cell_length_a 5\n_cell_length_b 6\n_cell_length_c 7\n_cell_angle_alpha 90\n"
      "_cell_angle_beta 100\n_cell_angle_gamma 90\n"
      "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n"
      "_atom_site_fract_z\nC1 0.1 0.2 0.3\n";
  const struct {
    const char* Item;
    int Order;      // operators with centring
    int Inversion;  // 1 when the list is centrosymmetric
    const char* Group;
  } cases[] = {{"_space_group_name_H-M_alt 'P 1 21/n 1'", 4, 1, "P21/n"},
               {"_symmetry_space_group_name_H-M 'P21'", 2, 0, "P21"},
               {"_space_group_name_Hall '-P 2ybc'", 4, 1, "P21/c"},
               {"_space_group_name_H-M_alt 'F d -3 m :1'", 192, 0, "Fd-3m:1"},
               {"_space_group_IT_number 166", 36, 1, "R-3m:H"}};
  for (const auto& c : cases) {
    ASSERT_EQ(Import(head + c.Item + "\n", "sym.cif"), 0) << Err;
    PhaseBasic& p = Struct.Basic.Phase[0];
    ASSERT_EQ(SetBasicM50(Struct.Basic), 0) << c.Item;
    EXPECT_EQ(p.Symmetry.NSymm * p.Symmetry.NLattVec, c.Order) << c.Item;
    EXPECT_EQ(p.Centro ? 1 : 0, c.Inversion) << c.Item;
    EXPECT_EQ(p.SpGroup, c.Group) << c.Item;
  }
}

TEST_F(CifModelTest, BadInputReported) {
  const std::string cell =
      "data_x\n_cell_length_a 5\n_cell_length_b 5\n_cell_length_c 5\n_cell_angle_alpha 90\n"
      "_cell_angle_beta 90\n_cell_angle_gamma 90\n";
  const std::string atoms =
      "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n"
      "_atom_site_fract_z\nC1 0.1 0.2 0.3\n";
  const std::string ops = "loop_\n_space_group_symop_operation_xyz\n'x,y,z'\n'-x,-y,-z'\n";
  const struct {
    std::string Text;
    std::string_view Expect;
  } cases[] = {
      {cell + "_space_group_name_H-M_alt 'P 21/q'\n" + atoms, cifmsg::SymbolOnly},
      {cell + atoms, cifmsg::NoSymmetry},
      {"data_x\n_cell_length_a 5\n" + ops + atoms, cifmsg::NoCell},
      {cell + ops, cifmsg::NoBlock},
      {cell + ops +
           "loop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n"
           "_atom_site_fract_z\nC1 0.1 0.2x 0.3\n",
       "line 17: Malformed number"},
      {cell + "loop_\n_space_group_symop_operation_xyz\n'x,y'\n" + atoms, cifmsg::BadOperator},
      {cell + ops + atoms + "C1 0 0 0\n", cifmsg::DupAtom},
      {cell + ops + atoms + "'C 1' 0 0 0\n", cifmsg::BadName},
      {cell + ops + atoms + "_b 'x\n_b 2\n", MsgCifSyntax},
  };
  Struct.Model.Atom.push_back(DefaultAtom());
  for (const auto& c : cases) {
    EXPECT_EQ(Import(c.Text, "bad.cif"), 1) << c.Text;
    std::string all;
    for (auto& m : Err.TextLines()) all += m + "\n";
    EXPECT_NE(all.find(c.Expect), std::string::npos) << all;
    EXPECT_NE(all.find("bad.cif"), std::string::npos) << all;
    EXPECT_EQ(Struct.Model.Atom.size(), 1u);
  }
}

// Damaged and odd published CIFs: a model or a report, never a crash.
TEST_F(CifModelTest, PathologicalFiles) {
  const fs::path dir = "../shared/data/cif-bad";
  if (!fs::exists(dir)) GTEST_SKIP() << "cif-bad not available";
  int imported = 0, reported = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::string text;
    ASSERT_EQ(FeReadFile(e.path().string(), text), 0);
    if (Import(text, e.path().string()) == 0) {
      ++imported;
      EXPECT_FALSE(Struct.Model.Atom.empty()) << e.path();
    } else {
      ++reported;
      EXPECT_EQ(Err.File, e.path().string()) << Err;
    }
  }
  EXPECT_GT(reported, 0);
  EXPECT_GT(imported, 0);
}

}  // namespace
}  // namespace tarn
