#include "importers/shelx_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <numbers>
#include <string>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/batch_edit.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "refine/refcommands.hpp"
#include "support/report_script.hpp"
#include "support/small_structures.hpp"
#include "support/temp_dir.hpp"
#include "util/files.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::AtomPar;
using test::SharedData;

const AtomRec* FindAt(std::string_view name) {
  return test::FindAtom(Struct.Model, name);
}

struct ShelxTest : test::StructureTest {
  test::ReportScript Tk;
  test::TempDir Dir;
  std::vector<std::string> Msg;
  ErrorRecord Err;
  ShelxImportInfo Info;
  bool HasLine(int kw, std::string_view text) const {
    for (const auto& l : Info.Ref.EditLines[static_cast<size_t>(kw - RefFirstSpecial)])
      if (l.Text == text) return true;
    return false;
  }
  void SetUp() override {
    test::StructureTest::SetUp();
    Sess.fln.clear();
    Sess.KPhase = 1;
  }
  int Import(std::string_view text, const std::string& file) {
    Msg.clear();
    Err.Clear();
    return ImportShelxModel(text, file, Msg, Err, &Info);
  }
};

TEST_F(ShelxTest, NaClResult) {
  const std::string res = SharedData("nacl/NaCl.res");
  if (res.empty()) GTEST_SKIP() << "NaCl.res not available";
  ASSERT_EQ(Import(res, "NaCl.res"), 0) << Err;
  const PhaseBasic& p = Struct.Basic.Phase.at(0);
  EXPECT_DOUBLE_EQ(p.Cell[0], 5.641087);
  EXPECT_DOUBLE_EQ(p.CellSU[2], 0.000051);
  EXPECT_DOUBLE_EQ(Struct.Basic.DatBlock.at(0).Lambda, 0.71073);
  EXPECT_EQ(p.Lattice, "F");
  EXPECT_TRUE(p.Centro);
  EXPECT_EQ(p.SymmText.size(), 24u);
  // Fm-3m: 48 point operations x 4 centring vectors.
  EXPECT_EQ(p.Symmetry.NSymm, 48);
  EXPECT_EQ(p.Symmetry.NLattVec, 4);
  EXPECT_EQ(p.UnitsNumb, 192);
  EXPECT_EQ(p.AtType, (std::vector<std::string>{"Cl", "Na"}));
  ASSERT_EQ(Struct.Model.Atom.size(), 2u);
  const AtomRec& cl = Struct.Model.Atom[0];
  EXPECT_EQ(cl.Name, "CL1");
  EXPECT_EQ(cl.Type, 1);
  EXPECT_EQ(cl.Shape.AdpOrder, 2);
  // "10.02083": occupancy 1/48 of the site, fixed.
  EXPECT_NEAR(AtomPar(cl, BlkOcc), 0.02083, 1e-9);
  EXPECT_EQ(cl.Par.Key[0], 0);
  // beta11 = 2 pi^2 a*^2 U11 for a cubic cell.
  const double pi = std::numbers::pi;
  EXPECT_NEAR(AtomPar(cl, BlkAdp, 0), 2. * pi * pi * 0.01793 / (5.641087 * 5.641087), 1e-10);
  EXPECT_NEAR(AtomPar(cl, BlkAdp, 3), 0., 1e-15);
  EXPECT_DOUBLE_EQ(Struct.Model.DatBlock.at(0).Scale.Val[0], 12.01658);
  EXPECT_EQ(Info.Ref.Edit.I(RkShelxW), 1);
  EXPECT_EQ(Info.Ref.Edit.I(RkWeight), 0);
  EXPECT_EQ(Info.Ref.Edit.I(RkFSquare), 1);
  EXPECT_EQ(Info.Ref.Edit.I(RkAutKeys), 0);  // the file's fixed values stay fixed
  EXPECT_FLOAT_EQ(Info.Ref.Edit.R(RkUnstab), 0.0089f);
  EXPECT_FLOAT_EQ(Info.Ref.Edit.R(RkUnstab2), 0.f);
  EXPECT_EQ(Info.Hklf, 4);
}

std::string ShSh2185() {
  return ShelxEmbeddedFile(SharedData("shelx/SH2185_Cu.cif"), "_shelx_res_file");
}

TEST_F(ShelxTest, DisorderedStructureFromEmbeddedRes) {
  const std::string res = ShSh2185();
  if (res.empty()) GTEST_SKIP() << "SH2185_Cu.cif not available";
  ASSERT_EQ(Import(res, "SH2185_Cu.res"), 0) << Err;
  const PhaseBasic& p = Struct.Basic.Phase.at(0);
  EXPECT_FALSE(p.Centro);
  EXPECT_EQ(p.Symmetry.NSymm, 4);
  EXPECT_EQ(p.UnitsNumb, 4);
  int nH = 0, nHeavy = 0;
  for (const auto& a : Struct.Model.Atom) (a.Type == 2 ? nH : nHeavy)++;
  EXPECT_EQ(nHeavy, 29);
  EXPECT_EQ(nH, 30);
  // Formula from UNIT / Z: C22 H25 N O.
  EXPECT_DOUBLE_EQ(*p.AtTypeData[0].Formula, 22.);
  EXPECT_DOUBLE_EQ(*p.AtTypeData[1].Formula, 25.);

  // Occupancies through FVAR 2 = 0.90572; the published CIF gives 0.094(3)
  // for the minor and 0.906(3) for the major part.
  EXPECT_NEAR(AtomPar(*FindAt("C18B"), BlkOcc), 0.09428, 1e-6);
  EXPECT_NEAR(AtomPar(*FindAt("C16"), BlkOcc), 0.90572, 1e-6);
  EXPECT_TRUE(HasLine(RkEquation, "ai[C16] = 1 - ai[C18B]"));
  EXPECT_TRUE(HasLine(RkEquation, "ai[H17B] = ai[C18B]"));
  // 19 occupancy ties and the 4 x 6 equations of EADP.
  EXPECT_EQ(Info.Ref.EditLines[RkEquation - RefFirstSpecial].size(), 43u);

  // Riding Uiso = 1.2 Ueq(pivot): the CIF lists 0.029 for H18B
  // (Ueq(C18B) = 0.0245) and 0.034 for H16.
  EXPECT_NEAR(AtomPar(*FindAt("H18B"), BlkAdp, 0), 0.029, 0.0005);
  EXPECT_NEAR(AtomPar(*FindAt("H16"), BlkAdp, 0), 0.034, 0.0005);
  EXPECT_TRUE(HasLine(RkKeep, "ADP riding C18B 1.2 H18B"));
  // Aromatic CH (AFIX 43) as trigonal hydro constraints, two neighbours of
  // the pivot found from the geometry; ten such groups in the file.
  int nHydro = 0;
  for (const auto& l : Info.Ref.EditLines[RkKeep - RefFirstSpecial])
    if (l.Text.rfind("hydro triang ", 0) == 0) ++nHydro;
  EXPECT_EQ(nHydro, 10);
  EXPECT_EQ(Info.Ref.Keep.size(), 20u);  // parsed: 10 hydro + 10 riding
  // Weighting as WGHT 0.0369 0.2813.
  EXPECT_FLOAT_EQ(Info.Ref.Edit.R(RkUnstab), 0.01845f);
  EXPECT_FLOAT_EQ(Info.Ref.Edit.R(RkUnstab2), 0.2813f);
  // Restraints: FLAT, DELU, SIMU, RIGU and EADP converted; the pairs of the
  // two disorder parts are not mixed.
  std::string all;
  for (const auto& l : Info.NotConverted) all += l + "\n";
  for (auto k : {"FLAT", "DELU", "SIMU", "RIGU", "EADP"})
    EXPECT_EQ(all.find(k), std::string::npos) << k;
  EXPECT_TRUE(HasLine(RkPlaneFix, "0.01 C17A C16 C15 C14 C13 C18A"));
  EXPECT_TRUE(HasLine(RkAdpFix, "simu 0.02 C18B C17B; C18B C13"));
  EXPECT_TRUE(HasLine(RkEquation, "U23[C18A] = U23[C18B]"));
  for (const auto& l : Info.Ref.EditLines[RkAdpFix - RefFirstSpecial])
    EXPECT_EQ(l.Text.find("C18B C18A"), std::string::npos) << l.Text;
  EXPECT_EQ(Info.Ref.Restraint.size(), 9u);
}

// Residue classes, SAME, ISOR of a terminal atom, EXYZ and CHIV.
TEST_F(ShelxTest, RestraintsOfResiduesAndSame) {
  const std::string ins =
      "TITL r\nCELL 0.71073 10 10 10 90 90 90\nZERR 1 0 0 0 0 0 0\nLATT -1\nSFAC C N\n"
      "UNIT 8 1\nSADI_ABC C1 C2\nISOR C1_1\nEXYZ C3_1 N1\nCHIV C2_1\n"
      "RESI ABC 1\nC1 1 0.10 0.10 0.10 11 0.02\nC2 1 0.25 0.10 0.10 11 0.02\n"
      "C3 1 0.25 0.25 0.10 11 0.02\nC4 1 0.3 0.05 0.2 11 0.02\n"
      "SAME C1_1 C2_1 C3_1\nRESI ABC 2\n"
      "C1 1 0.10 0.50 0.10 11 0.02\nC2 1 0.25 0.50 0.10 11 0.02\nC3 1 0.25 0.65 0.10 11 0.02\n"
      "RESI 0\nN1 2 0.25 0.25 0.10 11 0.02\nHKLF 4\nEND\n";
  ASSERT_EQ(Import(ins, "r.ins"), 0) << Err;
  EXPECT_TRUE(HasLine(RkDistFix, "= 0.02 C1 C2; C1_2 C2_2"));
  EXPECT_TRUE(HasLine(RkDistFix, "= 0.02 C1_2 C2_2; C1 C2"));
  EXPECT_TRUE(HasLine(RkDistFix, "= 0.04 C1_2 C3_2; C1 C3"));
  EXPECT_TRUE(HasLine(RkAdpFix, "isor 0.2 C1"));
  EXPECT_TRUE(HasLine(RkEquation, "y[N1] = y[C3]"));
  std::string notes;
  for (const auto& m : Msg) notes += m + "\n";
  EXPECT_NE(notes.find("CHIV: C2 has not three"), std::string::npos) << notes;
}

// The other SHELX results embedded in the published CIFs import (SH2185_Cu above).
TEST_F(ShelxTest, EmbeddedResultsOfPublishedCifs) {
  for (const char* file : {"shelx/twin4.cif", "shelx/Esser_JW367_0m.cif"}) {
    const std::string res = ShelxEmbeddedFile(SharedData(file), "_shelx_res_file");
    if (res.empty()) GTEST_SKIP() << file << " not available";
    ASSERT_EQ(Import(res, file), 0) << Err;
    EXPECT_GT(Struct.Model.Atom.size(), 10u) << file;
    EXPECT_TRUE(Struct.Basic.Twin.empty()) << file;
  }
}

TEST_F(ShelxTest, CodedParametersTwinExtinctionRestraints) {
  const std::string ins =
      "TITL test\n"
      "CELL 1.5418 10 11 12 90 100 90\n"
      "ZERR 2 0.001 0.001 0.001 0 0.01 0\n"
      "LATT -1\n"
      "SFAC C O\n"
      "UNIT 4 2\n"
      "DISP O 0.049 0.032\n"
      "TWIN\n"
      "BASF 0.3\n"
      "EXTI 0.012\n"
      "DFIX 1.43 0.01 C1 O1 C2 O1\n"
      "SADI C1 C2 C2 O1\n"
      "FVAR 2.5 0.6\n"
      "C1 1 10.25 0.2 0.3 -20.5 0.05\n"
      "C2 1 0.1 0.2 0.5 30.5 0.03 ! comment\n"
      "O1 2 0.1 0.3 0.4 21 0.02 0.03 0.04 =\n"
      "   0.001 0.002 0.003\n"
      "HKLF 4\nEND\n";
  ASSERT_EQ(Import(ins, "t.ins"), 1);  // fv 3 is not given
  EXPECT_EQ(Err.Text().rfind("t.ins, line 15: ", 0), 0u) << Err;

  std::string ok = ins;
  ok.replace(ok.find("30.5"), 4, "20.5");
  ASSERT_EQ(Import(ok, "t.ins"), 0) << Err;
  const AtomRec& c1 = *FindAt("C1");
  const int pos = AtomLayout(c1.Shape).Off[BlkPos];
  EXPECT_DOUBLE_EQ(c1.Par.Val[pos], 0.25);  // "10 + value": fixed
  EXPECT_EQ(c1.Par.Key[pos], 0);
  EXPECT_EQ(c1.Par.Key[pos + 1], 1);
  // -20.5 -> 0.5 (1 - fv2), 20.5 -> 0.5 fv2, 21 -> fv2.
  for (auto [name, occ] : {std::pair{"C1", 0.2}, {"C2", 0.3}, {"O1", 0.6}})
    EXPECT_NEAR(AtomPar(*FindAt(name), BlkOcc), occ, 1e-12) << name;
  EXPECT_TRUE(HasLine(RkEquation, "ai[C2] = 0.5 - ai[C1]"));
  EXPECT_TRUE(HasLine(RkEquation, "ai[O1] = 1 - 2*ai[C1]"));
  // U23 U13 U12 of SHELX land in beta23, beta13, beta12.
  const AtomRec& o1 = *FindAt("O1");
  const PhaseBasic& p = Struct.Basic.Phase[0];
  for (int k = 3; k < 6; ++k)
    EXPECT_NEAR(AtomPar(o1, BlkAdp, k), UToBeta(p, k, 0.001 * (6 - k)), 1e-12);
  EXPECT_DOUBLE_EQ(p.AtTypeData[1].FPrime.at(0), 0.049);
  EXPECT_DOUBLE_EQ(*p.AtTypeData[0].Formula, 2.);
  // TWIN default: 2 domains, -1 matrix, fractions 0.7 / 0.3.
  ASSERT_EQ(Struct.Basic.Twin.size(), 2u);
  EXPECT_EQ(Struct.Basic.Twin[1][0], -1.);
  const DatBlockModel& d = Struct.Model.DatBlock.at(0);
  ASSERT_EQ(d.Twin.size(), 2);
  EXPECT_DOUBLE_EQ(d.Twin.Val[0], 0.7);
  EXPECT_DOUBLE_EQ(d.Twin.Val[1], 0.3);
  EXPECT_EQ(d.ExtType, ExtShelx);
  EXPECT_DOUBLE_EQ(d.Ext.Val[0], 0.012);
  EXPECT_TRUE(HasLine(RkDistFix, "1.43 0.01 C1 O1; C2 O1"));
  EXPECT_TRUE(HasLine(RkDistFix, "= 0.02 C1 C2; C2 O1"));
  EXPECT_EQ(Info.Ref.Restraint.size(), 2u);
}

TEST_F(ShelxTest, BadInputNamesFileAndLineAndKeepsState) {
  const std::string head = "TITL x\nCELL 1 5 5 5 90 90 90\nSFAC C\nUNIT 1\n";
  struct Case {
    std::string Text;
    int Line;
    std::string_view What;
  } cases[] = {
      {head + "FOO 1 2\n", 5, shelxmsg::Unknown},
      {head + "C1 2 0.1 0.2 0.3 11 0.05\n", 5, shelxmsg::SfacRange},
      {head + "C1 1 0.1 0.2x 0.3 11 0.05\n", 5, shelxmsg::BadNumber},
      {"TITL x\nCELL 1 5 5 five 90 90 90\n", 2, shelxmsg::BadNumber},
      {head + "LATT 9\n", 5, shelxmsg::BadLatt},
      {head + "SYMM X,Y\n", 5, shelxmsg::BadSymm},
      {head + "C1 1 0.1 0.2 0.3 11 0.05\nC1 1 0.1 0.2 0.3 11 0.05\n", 6, shelxmsg::DupAtom},
  };
  Struct.Model.Atom.push_back(DefaultAtom());
  Struct.Model.Atom[0].Name = "Keep";
  for (const auto& c : cases) {
    EXPECT_EQ(Import(c.Text, "bad.res"), 1) << c.Text;
    EXPECT_EQ(Err.TextLines().at(0),
              "bad.res, line " + std::to_string(c.Line) + ": " + std::string(c.What));
    EXPECT_TRUE(!Err.What.empty() && c.Text.ends_with(Err.What + "\n")) << Err.What;  // the line
    ASSERT_EQ(Struct.Model.Atom.size(), 1u);
    EXPECT_EQ(Struct.Model.Atom[0].Name, "Keep");
  }
  EXPECT_EQ(Import("TITL x\nSFAC C\nC1 1 0 0 0\n", "bad.res"), 1);
  EXPECT_EQ(Err.TextLines(),
            (std::vector<std::string>{"bad.res: " + std::string(shelxmsg::NoCell)}));
}

TEST_F(ShelxTest, WrittenStructureReadsBackTheSameModel) {
  const std::string res = ShSh2185();
  if (res.empty()) GTEST_SKIP() << "SH2185_Cu.cif not available";
  ASSERT_EQ(Import(res, "SH2185_Cu.res"), 0);
  const AtomModel model = Struct.Model;
  const BasicData basic = Struct.Basic;
  const RefValues edit = Info.Ref.Edit;
  const auto lines = Info.Ref.EditLines;
  const std::string fln = Dir / "sh";
  ASSERT_EQ(WriteImportedStructure(fln, Info.Ref), 0);

  Struct.Basic = BasicData{};
  Struct.Model = AtomModel{};
  ASSERT_EQ(iom50(M50Read, fln + ".m50"), 0);
  ASSERT_EQ(iom40(M40Read, fln + ".m40"), 0);
  EXPECT_EQ(Struct.Basic.Phase[0].SymmText, basic.Phase[0].SymmText);
  for (int i = 0; i < 6; ++i)
    EXPECT_DOUBLE_EQ(Struct.Basic.Phase[0].Cell[i], basic.Phase[0].Cell[i]);
  EXPECT_EQ(Struct.Basic.Phase[0].AtType, basic.Phase[0].AtType);
  ASSERT_EQ(Struct.Model.Atom.size(), model.Atom.size());
  for (size_t i = 0; i < model.Atom.size(); ++i) {
    AtomRec a = Struct.Model.Atom[i];
    const AtomRec& b = model.Atom[i];
    ASSERT_EQ(a.Par.size(), b.Par.size());
    for (int k = 0; k < a.Par.size(); ++k) EXPECT_NEAR(a.Par.Val[k], b.Par.Val[k], 5e-7) << a.Name;
    a.Par.Val = b.Par.Val;  // within the F9.6 rounding; everything else equal
    EXPECT_TRUE(a == b) << a.Name;
  }
  EXPECT_NEAR(Struct.Model.DatBlock.at(0).Scale.Val[0], model.DatBlock[0].Scale.Val[0], 5e-7);
  // The refinement block.
  Sess.fln = fln;
  int error = 0;
  RefSettings read;
  RefReadCommands(read, error);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(read.Run, edit);
  for (int k : {RkEquation, RkKeep, RkDistFix})
    EXPECT_EQ(read.Lines[static_cast<size_t>(k - RefFirstSpecial)],
              lines[static_cast<size_t>(k - RefFirstSpecial)])
        << k;
}

TEST_F(ShelxTest, FailedWriteLeavesExistingStructure) {
  ASSERT_EQ(Import("TITL x\nCELL 1 5 5 5 90 90 90\nSFAC C\nC1 1 0 0 0\n", "a.res"), 0);
  const std::string fln = Dir / "old";
  Dir.Write("old.m50", "old m50\n");
  Dir.Write("old.m40", "old m40\n");
  Struct.Model.Atom[0].Name = "name with blanks";  // cannot be written
  EXPECT_NE(WriteImportedStructure(fln, Info.Ref), 0);
  EXPECT_EQ(test::TempDir::Read(fln + ".m50") + test::TempDir::Read(fln + ".m40"),
            "old m50\nold m40\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Path()), fs::directory_iterator{}), 2);
}

// OMIT h k l: "dontuse" lines selecting the reflection, its equivalents
// under 2/m and their Friedel mates; OMIT s 2theta and SHEL: sin(theta)/lambda limits.
TEST_F(ShelxTest, OmitAndShelBecomeReflectionSelection) {
  const std::string ins =
      "TITL t\nCELL 0.71073 5 6 7 90 90 90\nZERR 2 0 0 0 0 0 0\nLATT 1\nSYMM -X,-Y,Z\n"
      "SFAC NA\nUNIT 2\nOMIT 1 2 3\nOMIT -2 50\nSHEL 10 0.8\nFVAR 1\n"
      "NA1 1 0.1 0.2 0.3 11 0.01\nHKLF 4\nEND\n";
  ASSERT_EQ(Import(ins, "t.res"), 0) << Err;
  ASSERT_EQ(Info.Ref.ExclHKL.size(), 2u);
  auto omitted = [&](std::array<int, 3> h) {
    for (const RefHklSel& s : Info.Ref.ExclHKL)
      if (RefHklSelected(s, h.data(), 3)) return true;
    return false;
  };
  for (auto h : {std::array{1, 2, 3}, {-1, -2, 3}, {-1, -2, -3}, {1, 2, -3}})
    EXPECT_TRUE(omitted(h)) << h[0] << h[1] << h[2];
  for (auto h : {std::array{2, 1, 3}, {1, 2, 4}, {2, 4, 6}, {-1, 2, 3}})
    EXPECT_FALSE(omitted(h)) << h[0] << h[1] << h[2];
  // 2theta 50 deg: sin(25 deg)/0.71073 is below 1/(2*0.8); dmax 10: 0.05.
  EXPECT_EQ(Info.Ref.Edit.I(RkSinLim), 1);
  EXPECT_NEAR(Info.Ref.Edit.R(RkSnlMx), std::sin(25. * std::numbers::pi / 180.) / 0.71073, 1e-6);
  EXPECT_NEAR(Info.Ref.Edit.R(RkSnlMn), 0.05, 1e-7);
  EXPECT_TRUE(std::any_of(Msg.begin(), Msg.end(),
                          [](auto& m) { return m.rfind("OMIT 1 2 3: excluded", 0) == 0; }));
}

}  // namespace
}  // namespace tarn
