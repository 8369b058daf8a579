// The refinement command block: defaults, clamping, abbreviations, the
// sub-command syntax with its messages, the restriction code, reflection
// groups and the round trip through the writer.
#include "refine/refcommands.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "model/atoms.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "support/report_script.hpp"
#include "support/temp_dir.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

struct RefCmdTest : ::testing::Test {
  test::ReportScript Tk;
  RefSettings S;
  void SetUp() override {
    Struct.Model = AtomModel{};
    Struct.KeyPhases.PhaseNames.clear();
    Sess.fln.clear();
    Sess.KPhase = 1;
  }
  int Read(const std::string& text) {
    KeyUnit u;
    KeyOpenText(u, "test.m50", text);
    int error = 0;
    RefReadCommandsUnit(u, S, error);
    return error;
  }
};

// A block without values, or no block at all, leaves the defaults in every copy.
TEST_F(RefCmdTest, EmptyBlockGivesDefaults) {
  ASSERT_EQ(Read("refine\nend refine\n"), 0);
  EXPECT_EQ(S.Run, S.Dflt);
  EXPECT_EQ(S.Edit, S.Dflt);
  EXPECT_TRUE(Tk.Of("error").empty());
  S.Run.SetI(RkCycles, 99);
  ASSERT_EQ(Read("fourier\nend fourier\n"), 0);
  EXPECT_EQ(S.Run, S.Dflt);
}

TEST_F(RefCmdTest, Clamping) {
  struct Case {
    const char* Line;
    int K;
    double Want;
  } cases[] = {
      {"damp 0", RkDamp, 1.0},       {"damp 1.5", RkDamp, 1.0},     {"damp -0.2", RkDamp, 1.0},
      {"damp 0.3", RkDamp, 0.3},     {"print 5", RkPrint, 2},       {"print -7", RkPrint, -2},
      {"print 1", RkPrint, 1},       {"weight -1", RkWeight, 0},    {"weight 3", RkWeight, 2},
      {"keydynam 4", RkKeyDynam, 1}, {"keydynam -1", RkKeyDynam, 0}};
  for (const auto& c : cases) {
    ASSERT_EQ(Read(std::string("refine\n  ") + c.Line + "\nend refine\n"), 0) << c.Line;
    const double got = c.K <= RefNInt ? S.Run.I(c.K) : S.Run.R(c.K);
    EXPECT_NEAR(got, c.Want, 1e-6) << c.Line;
    EXPECT_EQ(S.Edit, S.Run);
  }
}

TEST_F(RefCmdTest, AbbreviationsAndGenericErrors) {
  EXPECT_EQ(Read("refine\n cyc 5 wei 1 lsm 2 marq 0.01\nend\n"), 0);
  EXPECT_EQ(S.Run.I(RkCycles), 5);
  EXPECT_EQ(S.Run.I(RkWeight), 1);
  EXPECT_EQ(S.Run.I(RkLsMethod), 2);
  EXPECT_FLOAT_EQ(S.Run.R(RkMarqLam), 0.01f);
  // Ambiguous and unknown words are reported; the rest of the block is kept.
  EXPECT_EQ(Read("refine\n conv 3 cycles 4\n bogus 1\n damp 0.5\nend\n"), 1);
  EXPECT_TRUE(Tk.Saw("isn't unique"));
  EXPECT_TRUE(Tk.Saw("unknown keyword"));
  EXPECT_EQ(S.Run.I(RkCycles), 4);
  EXPECT_FLOAT_EQ(S.Run.R(RkDamp), 0.5f);
  // A typed placeholder never matches.
  EXPECT_EQ(KeyFind(RefMakeTable(), "#i24"), 0);
}

// Each bad sub-command gives its message, the command's name, and the error flag.
TEST_F(RefCmdTest, MessagesOfBadSubCommands) {
  struct Case {
    const char* Line;
    const char* Msg;
  } cases[] = {
      {"fixed coords C1", "Syntax error in the \"fixed\" keyword wrong parameter name : coords"},
      {"fixed value abc C1", "incorrect real number"},
      {"fixed pol C1 C2", "Only one atom per phase may fix the origin"},
      {"fixed xyz C1#q2", "The symmetry part isn't correct : C1#q2"},
      {"equation x[C1] = y", "Atom/Phase/DatBlock name missing."},
      {"equation x[C1] = y[C2] +* 3", "Syntax error in equation : "},
      {"equation x[C1] y[C2]", "Syntax error in equation : "},
      {"equation for atoms C1 C2 x=y", "delimiter \":\" or \"%\" not found"},
      {"equation for atoms C1 C2 : x[C1]=y", "should have form e.g. x=y, U11=U22."},
      {"equation for atoms C1 C2 : x", "should have form e.g. x=y, U11=U22."},
      {"equation for atoms A1 A2 A3 A4 A5 A6 A7 A8 A9 A10 A11 : x=y",
       "number of atoms in equation larger than 10"},
      {"restric C1 C2 x", "Incorrect restriction flag."},
      {"restric C1 C2 25", "Incorrect restriction flag."},
      {"restric C1 C2 0", "Incorrect restriction flag."},
      {"keep hydro tetrahed C1 0 3 0.96 H1 H2 H3", "The number of neighbor atoms is too small"},
      {"keep hydro tetrahed C1 4 1 C2 C3 C4 C5 0.96 H1", " neighbors atoms exceeds the limit"},
      {"keep hydro triang C1 1 3 C2 0.96 H1 H2 H3", " Neighbor+H atoms exceeds the limit"},
      {"keep hydro tetrahed C1 x 3 C2 0.96 H1 H2 H3", "Wrong anchor string."},
      {"keep hydro apical C1 3 N1 N2 N3 0.96", "Wrong anchor string."},
      {"keep hydro apical C1 2 N1 N2 0.96 H1", "The number of neighbor atoms is too small"},
      {"keep geom twist C1 C2 C3", "Syntax error in the \"keep\" keyword"},
      {"keep ADP riding C1 abc H1", "Wrong anchor string."},
      {"dontuse hkl : h+q=2n", "Syntax error in the reflection group or condition"},
      {"useonly hxl : l=2n", "Syntax error in the reflection group or condition"},
      {"rfactors hkl : l=2n except", "Syntax error in the reflection group or condition"},
      {"scale x hkl : l=2n", "wrong numerical string"},
      {"dontuse h,k,l+h+k+h+k+h+k+h+k+h+k+h+k+h+k+h+k+h+k+h : l=2n", "longer than 40"},
      {"distfix 1.54 0.01 C1 C2 C3 C4", "Each distance of atoms should be separated by semicolon"},
      {"anglefix = 0.5 O1 C1 O2 O3 C2 O4", "Each angle of atoms should be separated by semicolon"},
      {"torsfix * 1 C1 C2 C3; C4 C5", "semicolon is missing"},
      {"distfix 1.5x 0.01 C1 C2", "incorrect real number"},
      {"distfix 1.54 0.01 C1 C2#s0", "The symmetry part isn't correct : C2#s0"},
  };
  for (const auto& c : cases) {
    Tk.Log.clear();
    EXPECT_EQ(Read(std::string("refine\n  ") + c.Line + "\nend refine\n"), 1) << c.Line;
    auto errs = Tk.Of("error");
    ASSERT_EQ(errs.size(), 1u) << c.Line;
    EXPECT_NE(errs[0].Header.find(c.Msg), std::string::npos) << c.Line << " -> " << errs[0].Header;
    const std::string name = SplitWords(c.Line)[0];
    bool named = false;
    for (const auto& l : errs[0].Lines) named = named || l.find("Command : " + name) == 0;
    EXPECT_TRUE(named) << c.Line;
  }
}

// Checks against the loaded model: same object, cycloidal, magnetic atoms.
TEST_F(RefCmdTest, MessagesAgainstTheModel) {
  auto atom = [](const char* n, int phase, int part, int mag) {
    AtomRec a;
    a.Name = n;
    a.Phase = phase;
    a.Part = part;
    a.Shape.MagPar = mag;
    return a;
  };
  Struct.Model.Atom = {atom("C1", 1, 1, 0), atom("C2", 1, 1, 0),  atom("C3", 2, 1, 0),
                       atom("C4", 1, 2, 0), atom("Fe1", 1, 1, 1), atom("Fe2", 1, 1, 2)};
  struct Case {
    const char* Line;
    const char* Msg;  // empty: accepted
  } cases[] = {
      {"keep geom plane C1 C2 C3", "C1 C2 C3 are not from the same phase."},
      {"keep geom rigid C1 C4", "C1 C4 are not from the same composite part."},
      {"distfix 1.5 0.01 C1 C3", "are not from the same phase."},
      {"distfix 1.5 0.01 C1 X9", "Atom \"X9\" doesn't exist"},
      {"keep mag cycloidal Fe1", "Cycloidal condition applicable only for atom with magnetic"},
      {"keep mag cycloidal Fe2", ""},
      {"magmfix 4 0.1 C1", "C1 is not a magnetic atom."},
      {"magmfix 4 0.1 Fe1 Fe2", ""},
      {"distfix 1.5 0.01 C1 C2#s2t1/2,0,0; C1 Fe1", ""},
  };
  for (const auto& c : cases) {
    Tk.Log.clear();
    const int err = Read(std::string("refine\n  ") + c.Line + "\nend refine\n");
    auto errs = Tk.Of("error");
    if (*c.Msg == 0) {
      EXPECT_EQ(err, 0) << c.Line;
      EXPECT_TRUE(errs.empty()) << c.Line;
      continue;
    }
    EXPECT_EQ(err, 1) << c.Line;
    ASSERT_EQ(errs.size(), 1u) << c.Line;
    EXPECT_NE(errs[0].Header.find(c.Msg), std::string::npos) << c.Line << " -> " << errs[0].Header;
  }
}

TEST_F(RefCmdTest, RestricCodeBothWays) {
  // Published forms of the editor: v = g + 100 h; identical -10-v, complementary -v,
  // keep sum v, free v+10.
  EXPECT_EQ(RefRestricCode(OccIdentical, 1, 0, true), -11);
  EXPECT_EQ(RefRestricCode(OccComplementary, 2, 1, true), -102);
  EXPECT_EQ(RefRestricCode(OccKeepSum, 4, 0, true), 4);
  EXPECT_EQ(RefRestricCode(OccFree, 1, 3, true), 311);
  EXPECT_EQ(RefRestricCode(OccKeepSum, 3, 0, false), 2);  // ADP only is written as 2
  for (int occ = OccIdentical; occ <= OccFree; ++occ)
    for (int g = 1; g <= 4; ++g)
      for (int h = 0; h <= 7; ++h) {
        const int code = RefRestricCode(occ, g, h, true);
        int o = 0, gg = 0, hh = 0;
        ASSERT_EQ(RefRestricDecode(code, o, gg, hh), 0) << code;
        EXPECT_EQ(o, occ) << code;
        EXPECT_EQ(gg, g) << code;
        EXPECT_EQ(hh, h) << code;
      }
  int o, g, h;
  for (int bad : {0, 5, -5, 10, 25, -120, 9}) EXPECT_EQ(RefRestricDecode(bad, o, g, h), 1) << bad;
  // Mixed atom/molecule lists allow only occupancies (g 4, h 0).
  MoleculeRec m;
  m.Name = "Mol1";
  Struct.Model.Mol.push_back(m);
  EXPECT_EQ(Read("refine\n restric C1 Mol1 4\nend\n"), 0);
  EXPECT_EQ(Read("refine\n restric C1 Mol1 1\nend\n"), 1);
  EXPECT_TRUE(Tk.Saw("For the mixed atom/molecule command only occupancies can be restriced."));
}

TEST_F(RefCmdTest, EquationsParsed) {
  ASSERT_EQ(Read("refine\n equation x[C1] = 0.5*y[C2] + 0.25\n"
                 " equation 2*ai[C1] = 1 - ai[C2]\n"
                 " eqadhoc U11[C3]=U22[C3]/2\n"
                 " equation for atoms C1 C2 except C2 : x=y\n"
                 " equation for molecules M1 M2 % phi=-chi\n"
                 "end\n"),
            0);
  ASSERT_EQ(S.Equation.size(), 6u);
  const auto& e0 = S.Equation[0];
  EXPECT_EQ(e0.Dep.Par, "x");
  EXPECT_EQ(e0.Dep.Owner, "C1");
  ASSERT_EQ(e0.Terms.size(), 1u);
  EXPECT_DOUBLE_EQ(e0.Terms[0].Coef, 0.5);
  EXPECT_EQ(e0.Terms[0].Owner, "C2");
  EXPECT_DOUBLE_EQ(e0.Const, 0.25);
  // 2 ai1 = 1 - ai2  ->  ai1 = 0.5 - 0.5 ai2
  EXPECT_DOUBLE_EQ(S.Equation[1].Const, 0.5);
  EXPECT_DOUBLE_EQ(S.Equation[1].Terms[0].Coef, -0.5);
  EXPECT_TRUE(S.Equation[2].AdHoc);
  EXPECT_DOUBLE_EQ(S.Equation[2].Terms[0].Coef, 0.5);
  // The per-atom form: C2 is excepted; both molecules get their equation.
  EXPECT_EQ(S.Equation[3].Dep.Owner, "C1");
  EXPECT_EQ(S.Equation[3].Terms[0].Owner, "C1");
  EXPECT_EQ(S.Equation[4].Dep.Owner, "M1");
  EXPECT_DOUBLE_EQ(S.Equation[5].Terms[0].Coef, -1.);
}

TEST_F(RefCmdTest, ReflectionGroupsSelect) {
  ASSERT_EQ(Read("refine\n dontuse hhl : l=2n\n useonly h0l : h+l=2n+1 except h=3\n"
                 " rfactors h,-2h+l,h+k+l\n scale 2 hkl : h-k=3\nend\n"),
            0);
  ASSERT_EQ(S.ExclHKL.size(), 2u);
  ASSERT_EQ(S.RFactors.size(), 1u);
  ASSERT_EQ(S.Scale.size(), 1u);
  EXPECT_EQ(S.Scale[0].ScaleNo, 2);
  EXPECT_TRUE(S.ExclHKL[1].UseOnly);
  struct Case {
    const RefHklSel* S;
    std::array<int, 3> H;
    bool Want;
  } cases[] = {{&S.ExclHKL[0], {1, 1, 2}, true},   {&S.ExclHKL[0], {-2, -2, -4}, true},
               {&S.ExclHKL[0], {1, 1, 1}, false},  {&S.ExclHKL[0], {1, 2, 2}, false},
               {&S.ExclHKL[1], {1, 0, 2}, true},   {&S.ExclHKL[1], {3, 0, 2}, false},
               {&S.ExclHKL[1], {-1, 0, -2}, true}, {&S.ExclHKL[1], {1, 0, 1}, false},
               {&S.ExclHKL[1], {1, 1, 2}, false},  {&S.RFactors[0], {1, 1, 4}, true},
               {&S.RFactors[0], {2, -1, 6}, true}, {&S.Scale[0], {5, 2, 0}, true},
               {&S.Scale[0], {2, 5, 7}, true},     {&S.Scale[0], {4, 2, 0}, false}};
  for (const auto& c : cases)
    EXPECT_EQ(RefHklSelected(*c.S, c.H.data(), 3), c.Want)
        << c.S->GroupText << " " << c.H[0] << c.H[1] << c.H[2];
}

// Every sub-command through the writer and back: same settings, same lines,
// same parsed lists; a disabled "fixed" line stays in the block but is not applied.
TEST_F(RefCmdTest, RoundTripOfEveryKind) {
  const std::string block =
      "refine\n"
      "  cycles 20 damp 0.7 print 1 unstab 0.02 snlmx 0.6\n"
      "  dertest\n"
      "  randomize 17 0.05\n"
      "  restric Fe1 Fe2 -11\n"
      "  equation x[C1] = 0.5*y[C2] + 0.25\n"
      "  eqadhoc ai[C1] = 1 - ai[C2]\n"
      "  fixed xyz C1\n"
      "! fixed u C2\n"
      "  fixed value 0.5 C3 C4\n"
      "  dontuse hkl : l=2n+1\n"
      "  scale 2 h0l : h=2n\n"
      "  rfactors hhl\n"
      "  distfix 1.54 0.01 C1 C2; C2 C3\n"
      "  anglefix = 0.5 O1 C1 O2; O3 C2 O4\n"
      "  torsfix * 2 C1 C2 C3 C4\n"
      "  magmfix 4 0.1 Fe1\n"
      "  keep hydro tetrahed C1 1 3 C2 0.96 H1 H2 H3\n"
      "  keep hydro triang C5 1 2 C6 0.96 H4 H5\n"
      "  keep hydro apical C7 3 N1 N2 N3 0.96 H6\n"
      "  keep geom plane C1 C2 C3 C4\n"
      "  keep geom rigid C1 C2 C3\n"
      "  keep geom rigidmod C1 C2 C3\n"
      "  keep ADP riding C1 1.2 H1 H2 H3\n"
      "  keep mag cycloidal Fe1\n"
      "  useonly hkl : h+k=2n\n"
      "  usedatbl DB1 DB2\n"
      "  lebailph ph2\n"
      "  grphases ph1 ph2; ph3\n"
      "end refine\n";
  ASSERT_EQ(Read(block), 0);
  const RefValues run = S.Run;
  const auto lines = S.Lines;
  EXPECT_EQ(S.Fixed.size(), 2u);  // the disabled line is not applied
  EXPECT_EQ(S.Fixed[0].What, FixXyz);
  EXPECT_DOUBLE_EQ(S.Fixed[1].Value, 0.5);
  EXPECT_EQ(S.Restric.size(), 1u);
  EXPECT_EQ(S.Restric[0].Occ, OccIdentical);
  EXPECT_EQ(S.Keep.size(), 8u);
  EXPECT_EQ(S.Keep[2].Sub, KeepApical);
  EXPECT_EQ(S.Keep[2].Neighbours.size(), 3u);
  EXPECT_EQ(S.Restraint.size(), 4u);
  EXPECT_EQ(S.Restraint[1].Target, 2);
  EXPECT_EQ(S.Restraint[2].Target, 3);
  EXPECT_EQ(S.ExclHKL.size(), 2u);
  EXPECT_EQ(S.UseDatBl.size(), 2u);
  EXPECT_EQ(S.GrPhases.size(), 2u);
  EXPECT_TRUE(S.DerTest);
  EXPECT_EQ(S.RandomSeed, 17);
  EXPECT_TRUE(lines[RkFixed - RefFirstSpecial][1].Disabled);

  std::string again;
  for (auto& l : RefBlockLines(S)) again += l + "\n";
  ASSERT_EQ(Read(again), 0) << again;
  EXPECT_EQ(S.Run, run);
  EXPECT_EQ(S.Lines, lines) << again;
  EXPECT_EQ(S.Keep.size(), 8u);
  EXPECT_EQ(S.Fixed.size(), 2u);
}

// A structure on disk: M50 and L51 with the given blocks.
struct RefFileTest : RefCmdTest {
  test::TempDir Dir;
  void SetUp() override {
    RefCmdTest::SetUp();
    Sess.fln = Dir / "st";
  }
  void TearDown() override { Sess.fln.clear(); }
  void Store(const std::string& blocks) {
    Dir.Write("st.m50", "title test\nend\n" + KeySeparator + "\n" + blocks);
    std::vector<std::string> tail;
    std::istringstream in(blocks);
    for (std::string l; std::getline(in, l);) tail.push_back(l);
    ASSERT_EQ(KeysStoreL51(tail, false), 0);
  }
};

TEST_F(RefFileTest, ReadFromM50WritesFixedFile) {
  Store(
      "refine\n  cycles 3\n  fixed xyz C1 C2\n  fixed value 0.25 ai[C3]\nend refine\n"
      "fourier\nend fourier\n");
  int error = 1;
  RefReadCommands(S, error);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(S.Run.I(RkCycles), 3);
  EXPECT_EQ(test::TempDir::Read(Sess.fln + "_fixed.tmp"), "xyz C1\nxyz C2\nvalue 0.25 ai[C3]\n");
}

}  // namespace
}  // namespace tarn
