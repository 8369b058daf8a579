// Tests of the M40 reader/writer and of the atom model's layout routines.
#include "model/m40.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/structure.hpp"
#include "support/report_script.hpp"
#include "support/small_structures.hpp"
#include "support/temp_dir.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

// Basic data of two phases (the first modulated) and two data blocks.
class M40Test : public test::StructureTest {
 protected:
  void SetUp() override {
    test::StructureTest::SetUp();
    Struct.Basic.Phase.resize(2);
    Struct.Basic.Phase[0].AtType = {"Fe", "O", "C"};
    Struct.Basic.Phase[0].NDim = 4;
    Struct.Basic.Phase[1].AtType = {"Na", "Cl"};
    Struct.Basic.DatBlock.resize(2);
  }
  ErrorRecord Err;
};

// Deterministic values with at most 6 decimals, so that they survive F9.6.
double Val6(int seed, int i) {
  return std::round(std::sin(0.37 * seed + 1.91 * i) * 9.e6) / 1.e6;
}

void FillPars(ParList& p, int seed) {
  for (int i = 0; i < p.size(); i++) {
    p.Val[i] = Val6(seed, i);
    p.Key[i] = (seed + i) % 3;
    p.Sig[i] = std::fabs(Val6(seed + 7, i)) / 100.;
    p.Sig[i] = std::round(p.Sig[i] * 1.e6) / 1.e6;
  }
}

AtomRec MakeAtom(const std::string& name, int type, const AtomShape& s, int funType, int seed) {
  AtomRec a;
  a.Name = name;
  a.Type = type;
  a.FunType = funType;
  a.Shape = s;
  a.Par.resize(AtomLayout(s).NPar);
  FillPars(a.Par, seed);
  if (funType > 0) {
    a.FunVal[0] = 0.25;
    a.FunVal[1] = 0.5;
    a.FunSig[0] = 0.001;
    a.FunSig[1] = 0.002;
    a.FunKey = 1;
  }
  return a;
}

// A model that uses every feature of the file: two phases (the first
// modulated with two composite parts), molecules with TLS and waves, atoms of
// all displacement orders, crenel, sawtooth, function lines, magnetic moments
// with waves, two data blocks with scales, extinction and twins, options and
// a commands block.
AtomModel RichModel() {
  AtomModel m;
  m.HasCommands = true;
  m.Commands = {"  free text kept as written", "refine cycles 10"};
  m.Phase.resize(2);
  m.Phase[0].NComp = 2;
  m.Phase[0].Opt = {{2, {"1", "1"}}, {2, {"2", "2"}}, {4, {"1"}}, {7, {"Fe1", "Fe2"}}};
  m.DatBlock.resize(2);
  m.DatBlock[0].Scale.resize(3);
  m.DatBlock[0].ExtType = ExtIso;
  m.DatBlock[0].ExtKind = 3;
  m.DatBlock[0].ExtDistr = 2;
  m.DatBlock[0].Ext.resize(2);
  m.DatBlock[0].Twin.resize(2);
  m.DatBlock[1].Scale.resize(1);
  m.DatBlock[1].ExtType = ExtAniso;
  m.DatBlock[1].Ext.resize(12);
  int seed = 1;
  for (auto& db : m.DatBlock)
    for (ParList* p : {&db.Scale, &db.Ext, &db.Twin}) FillPars(*p, seed++);
  m.DatBlock[0].Scale.Val[0] = 123.456789;  // does not fit F9.6

  int k = 0;
  auto add = [&](AtomRec a, int phase, int part) {
    a.Phase = phase;
    a.Part = part;
    m.Atom.push_back(std::move(a));
    k++;
  };
  AtomShape iso;
  iso.AdpOrder = 1;
  AtomRec twoAttr = MakeAtom("O1", 2, iso, 0, 100);
  twoAttr.TwoAttr = true;
  add(twoAttr, 1, 1);
  for (int d = 2; d <= MaxAdpOrder; d++) {
    AtomShape s;
    s.AdpOrder = d;
    for (int kind = 0; kind <= d; kind++) s.NWave[kind] = (kind + d) % 3;
    s.Flag[0] = d % 2;
    s.Flag[1] = (d == 3 || d == 6) ? 1 : 0;
    s.Flag[d] = d == 6 ? 7 : 0;
    s.MagPar = d == 4 ? 3 : (d == 5 ? 1 : 0);
    AtomRec a = MakeAtom(fmt::format("Fe{}", d), 1, s, d % 4, 200 + d);
    if (d == 5) a.FunHasWidth = false, a.FunVal[1] = a.FunSig[1] = 0.;  // no width field
    add(a, 1, d % 2 + 1);
  }
  add(MakeAtom("Na1", 1, AtomShape{}, 0, 300), 2, 1);
  add(MakeAtom("Cl1", 2, AtomShape{}, 0, 301), 2, 1);

  MoleculeRec mo;
  mo.Name = "Benz";
  mo.Phase = 1;
  mo.Part = 2;
  mo.RefType = 1;
  mo.RotType = 0;
  mo.Shape.TLS = true;
  mo.Shape.Flag[0] = 1;
  mo.Shape.NWave = {1, 2, 1, 1, 0, 1};
  mo.Ref.resize(3);
  FillPars(mo.Ref, 400);
  for (int i = 0; i < 3; i++)
    mo.Atoms.push_back(MakeAtom(fmt::format("C{}", i + 1), 3, {}, 0, 410 + i));
  for (int i = 0; i < 2; i++) {
    MolPosRec p;
    p.Name = fmt::format("Benz#{}", i + 1);
    p.Par.resize(MolLayout(mo.Shape).NPar);
    FillPars(p.Par, 420 + i);
    mo.Pos.push_back(p);
  }
  m.Mol.push_back(mo);
  MoleculeRec plain;
  plain.Name = "H2O";
  plain.Phase = 2;
  plain.Ref.resize(3);
  plain.Atoms.push_back(MakeAtom("Ow", 2, {}, 0, 500));
  plain.Pos.resize(1);
  plain.Pos[0].Name = "H2O#1";
  plain.Pos[0].Par.resize(MolLayout(plain.Shape).NPar);
  FillPars(plain.Pos[0].Par, 501);
  m.Mol.push_back(plain);
  SetBasicM40(m);
  return m;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> l;
  std::istringstream ss(text);
  for (std::string s; std::getline(ss, s);) l.push_back(s);
  return l;
}

bool IsBlankCols(const std::string& s, int from, int to) {
  for (int i = from; i < to; i++)
    if (s[i] != ' ') return false;
  return true;
}

// ---- parameter lines --------------------------------------------------------------

TEST(M40Iost, KeysStartInColumn61ForEveryLineLength) {
  const double v[13] = {0.1, -0.2, 0.3, 1.5, -2.25, 3., 4., 5., 6., 7., 8., 9., 10.};
  const int k[13] = {1, 0, 1, 0, 1, 0, 2, 3, 4, 5, 6, 7, 8};
  for (int n : {1, 5, 6, 7, 12, 13}) {
    std::string out;
    iost(out, n, v, k);
    auto lines = Lines(out);
    ASSERT_EQ(static_cast<int>(lines.size()), (n + 5) / 6) << n;
    for (size_t li = 0; li < lines.size(); li++) {
      const int r = std::min(6, n - 6 * static_cast<int>(li));
      EXPECT_EQ(static_cast<int>(lines[li].size()), 60 + r) << n;
      EXPECT_TRUE(IsBlankCols(lines[li], 9 * r, 60)) << n;
      for (int i = 0; i < r; i++) EXPECT_EQ(lines[li][60 + i], '0' + k[6 * li + i]) << n;
    }
    // Listing form: the same keys in the same columns, between the marks.
    std::string lst;
    iost(lst, n, v, k, IostListing);
    auto ll = Lines(lst);
    ASSERT_EQ(ll.size(), lines.size());
    for (size_t li = 0; li < ll.size(); li++) {
      EXPECT_EQ(ll[li].substr(58, 2), "=>");
      EXPECT_EQ(ll[li].substr(60), lines[li].substr(60) + "<=");
      EXPECT_EQ(ll[li].substr(1, 9), lines[li].substr(0, 9));
    }
    // And back.
    M40Lines in(out, "t");
    double rv[13];
    int rk[13];
    ASSERT_EQ(iost(in, n, rv, rk), 0);
    for (int i = 0; i < n; i++) {
      EXPECT_EQ(rv[i], v[i]);
      EXPECT_EQ(rk[i], k[i]);
    }
  }
}

TEST(M40Iost, F96FieldsKeepNineCharactersAndReadBackToTheSameText) {
  struct Case {
    double v;
    const char* text;
  };
  const Case cases[] = {
      {0.1234567, " 0.123457"},  {-1.5, "-1.500000"},        {99.9999994, "99.999999"},
      {123.456789, "123.45679"}, {-12.3456789, "-12.34568"}, {-3333., "-3333.000"},
      {1.e12, "1.000e+12"},      {-2.5e-7, "-0.000000"},     {0., " 0.000000"}};
  for (const auto& c : cases) {
    std::string s;
    PutF96(s, c.v);
    EXPECT_EQ(s, c.text) << c.v;
    double back = 0;
    M40Lines in(s, "t");
    int key;
    ASSERT_EQ(iost(in, 1, &back, &key), 0) << s;
    std::string again;
    PutF96(again, back);
    EXPECT_EQ(again, s);
  }
}

// ---- atom records ------------------------------------------------------------------

TEST_F(M40Test, TwoAndThreeAttributeFormsReadTheSameValues) {
  const std::string three =
      "Fe1       1  2  0  0.500000 0.100000 0.200000 0.300000      000  0  0  0\n"
      " 0.010000 0.020000 0.030000 0.001000 0.002000 0.003000      1111111111\n";
  const std::string two =
      "Fe1       1  2     0.500000 0.100000 0.200000 0.300000      000  0  0  0\n"
      " 0.010000 0.020000 0.030000 0.001000 0.002000 0.003000      1111111111\n";
  AtomRec a3, a2;
  M40Lines i3(three, "three"), i2(two, "two");
  ASSERT_EQ(ioat(i3, a3, 3), 0) << i3.Err;
  ASSERT_EQ(ioat(i2, a2, 3), 0) << i2.Err;
  EXPECT_FALSE(a3.TwoAttr);
  EXPECT_TRUE(a2.TwoAttr);
  EXPECT_EQ(a3.Par.Val, a2.Par.Val);
  EXPECT_EQ(a3.Par.Val[0], 0.5);
  EXPECT_EQ(a3.Par.Val[3], 0.3);
  EXPECT_EQ(a3.Par.Val[9], 0.003);
  // Each form is written back as it was read.
  std::string w3, w2;
  ioat(w3, a3);
  ioat(w2, a2);
  EXPECT_EQ(w3, three);
  EXPECT_EQ(w2, two);
}

TEST_F(M40Test, AtomListingFormKeepsIntegersAndKeysInColumn61) {
  AtomShape s;
  s.AdpOrder = 3;
  s.NWave = {1, 2, 0, 1, 0, 0, 0, 0};
  AtomRec a = MakeAtom("Fe7", 1, s, 0, 5);
  std::string plain, lst;
  ioat(plain, a);
  ioat(lst, a, IostListing);
  auto p = Lines(plain), l = Lines(lst);
  ASSERT_EQ(p.size(), l.size());
  EXPECT_EQ(l[0].substr(58, 2), ">>");
  EXPECT_EQ(l[0].substr(60), p[0].substr(60) + "<<");
  EXPECT_EQ(l[1].substr(58, 2), "=>");
  EXPECT_EQ(l[1].substr(60), p[1].substr(60) + "<=");
  EXPECT_EQ(p[2].substr(0, 8), "Fe7     ");  // flag line of kinds 4-7
  EXPECT_EQ(p[2].substr(60), "0000  1  0  0  0");
}

// ---- whole file ---------------------------------------------------------------------

TEST_F(M40Test, RichModelSurvivesWriteAndRead) {
  const AtomModel m = RichModel();
  std::string text;
  ASSERT_EQ(M40WriteText(m, text, IostPlain, &Err), 0) << Err;
  AtomModel r;
  ASSERT_EQ(M40ReadText(text, "rich.m40", r, &Err), 0) << Err << ": " << Err.What;
  EXPECT_EQ(r.HasCommands, true);
  EXPECT_EQ(r.Commands, m.Commands);
  ASSERT_EQ(r.Phase.size(), 2u);
  EXPECT_EQ(r.Phase[0].NComp, 2);
  ASSERT_EQ(r.Phase[0].Opt.size(), m.Phase[0].Opt.size());
  for (size_t i = 0; i < r.Phase[0].Opt.size(); i++) {
    EXPECT_EQ(r.Phase[0].Opt[i].Index, m.Phase[0].Opt[i].Index);
    EXPECT_EQ(r.Phase[0].Opt[i].Words, m.Phase[0].Opt[i].Words);
  }
  ASSERT_EQ(r.DatBlock.size(), 2u);
  for (int b = 0; b < 2; b++) {
    EXPECT_EQ(r.DatBlock[b].ExtType, m.DatBlock[b].ExtType);
    EXPECT_EQ(r.DatBlock[b].ExtKind, m.DatBlock[b].ExtKind);
    EXPECT_EQ(r.DatBlock[b].ExtDistr, m.DatBlock[b].ExtDistr);
    EXPECT_TRUE(r.DatBlock[b].Ext == m.DatBlock[b].Ext && r.DatBlock[b].Twin == m.DatBlock[b].Twin);
  }
  // The scale of 123.456789 keeps 9 significant characters.
  EXPECT_EQ(r.DatBlock[0].Scale.Val[0], 123.45679);
  // Atoms come back grouped by phase and part; molecules as they were.
  std::vector<const AtomRec*> expect;
  for (int p = 1; p <= 2; p++)
    for (int c = 1; c <= 2; c++)
      for (const auto& a : m.Atom)
        if (a.Phase == p && a.Part == c) expect.push_back(&a);
  ASSERT_EQ(r.Atom.size(), expect.size());
  for (size_t i = 0; i < expect.size(); i++) EXPECT_TRUE(*expect[i] == r.Atom[i]) << r.Atom[i].Name;
  EXPECT_TRUE(r.Mol == m.Mol);
  // A second write is byte-identical to the first, also when the file was
  // read with CR LF and stray carriage returns.
  std::string again, crlf;
  ASSERT_EQ(M40WriteText(r, again), 0);
  EXPECT_EQ(again, text);
  for (char c : text) crlf += c == '\n' ? std::string("\r\r\n") : std::string(1, c);
  ASSERT_EQ(M40ReadText(crlf, "crlf", r, &Err), 0) << Err;
  ASSERT_EQ(M40WriteText(r, again), 0);
  EXPECT_EQ(again, text);
}

TEST_F(M40Test, ArbitraryValuesRoundToSixDecimalsOnceAndThenStay) {
  AtomModel m = RichModel();
  for (auto& a : m.Atom)
    for (int i = 0; i < a.Par.size(); i++) {
      a.Par.Val[i] = std::sin(1.234567891 * (i + 1)) * 3.3;
      a.Par.Sig[i] = 1.e-7 * i;
    }
  std::string t1, t2, t3;
  ASSERT_EQ(M40WriteText(m, t1), 0);
  AtomModel r1, r2;
  ASSERT_EQ(M40ReadText(t1, "a", r1, &Err), 0) << Err;
  for (size_t j = 0; j < r1.Atom.size(); j++)
    for (int i = 0; i < r1.Atom[j].Par.size(); i++) {
      const double v = r1.Atom[j].Par.Val[i];
      EXPECT_EQ(v, std::round(v * 1.e6) / 1.e6);
    }
  ASSERT_EQ(M40WriteText(r1, t2), 0);
  EXPECT_EQ(t2, t1);
  ASSERT_EQ(M40ReadText(t2, "b", r2), 0);
  ASSERT_EQ(M40WriteText(r2, t3), 0);
  EXPECT_EQ(t3, t2);
}

TEST_F(M40Test, FileWithoutSuBlockOrCommandsReads) {
  AtomModel m;
  m.Phase.resize(2);
  m.Atom.push_back(MakeAtom("Na1", 1, {}, 0, 1));
  m.Atom.back().Phase = 2;
  std::string text;
  ASSERT_EQ(M40WriteText(m, text), 0);
  EXPECT_EQ(text.find("commands"), std::string::npos);
  const std::string noSu = text.substr(0, text.find(std::string(M40SuSeparator)));
  AtomModel r;
  ASSERT_EQ(M40ReadText(noSu, "x", r, &Err), 0) << Err;
  ASSERT_EQ(r.Atom.size(), 1u);
  EXPECT_EQ(r.Atom[0].Phase, 2);
  EXPECT_EQ(r.Atom[0].Par.Val, m.Atom[0].Par.Val);
  for (double s : r.Atom[0].Par.Sig) EXPECT_EQ(s, 0.);
}

// ---- bad input ------------------------------------------------------------------------

TEST_F(M40Test, BadInputNamesLineAndText) {
  AtomModel m;
  m.Phase.resize(2);
  AtomShape s3;
  s3.AdpOrder = 3;
  m.Atom.push_back(MakeAtom("Fe1", 2, {}, 0, 1));
  m.Atom.push_back(MakeAtom("Fe2", 1, s3, 2, 2));
  std::string good;
  ASSERT_EQ(M40WriteText(m, good), 0);
  const auto lines = Lines(good);
  // Lines: 1-2 heads, 3 data blocks, 4 Fe1, 5 adp, 6 Fe2, 7 adp, 8 flags,
  // 9-10 third-order tensor, 11 function line.
  ASSERT_EQ(lines[3].substr(0, 3), "Fe1");
  ASSERT_NE(lines[10].find("Legendre"), std::string::npos);
  auto with = [&](int lineNo, std::string text) {
    auto l = lines;
    l[lineNo - 1] = std::move(text);
    std::string t;
    for (auto& s : l) t += s + "\n";
    return t;
  };
  auto cut = [&](int keep) {
    std::string t;
    for (int i = 0; i < keep; i++) t += lines[i] + "\n";
    return t;
  };
  std::string typeZero = lines[3], typeBig = lines[3], badReal = lines[4], badKey = lines[4];
  typeZero.replace(8, 3, "  0");
  typeBig.replace(8, 3, "  4");
  badReal.replace(9, 9, " 0.0x0000");
  badKey[62] = 'x';
  std::string badOrder = lines[5], badFun = lines[10], badSep = lines[11];
  badOrder.replace(11, 3, " 27");
  badFun.replace(19, 8, "Cheb    ");
  badSep[40] = '*';
  struct Case {
    std::string text;
    const char* what;
    int line;
  };
  const Case cases[] = {
      {with(4, typeZero), "Incorrect flag for atomic type (=0)", 4},
      {with(4, typeBig), "Incorrect flag for atomic type (=4)", 4},
      {with(5, badReal), "Real number expected in columns 10-18.", 5},
      {with(5, badKey), "Refinement key (one digit) expected in column 63.", 5},
      {with(6, badOrder), "Incorrect order of the displacement tensor (=7)", 6},
      {with(11, badFun), "Function line expected; the function name must be \"Legendre\".", 11},
      {with(12, badSep), "Separator line of the s.u. block expected.", 12},
      {with(1, "    0    1    0    0    0    0"),
       "Incorrect head record: number of composite parts 0.", 1},
      {cut(9), "Unexpected end of M40 file.", 0},
      {good + "Fe3\n", "Unexpected text after the s.u. block.", static_cast<int>(lines.size()) + 1},
  };
  for (const auto& c : cases) {
    AtomModel r;
    r.Phase.resize(5);  // must stay untouched
    EXPECT_EQ(M40ReadText(c.text, "bad.m40", r, &Err), 1) << c.what;
    EXPECT_EQ(Err.Message, c.what);
    EXPECT_EQ(Err.Line, c.line) << c.what;
    EXPECT_EQ(Err.File, "bad.m40");
    if (c.line > 0 && c.line <= static_cast<int>(lines.size())) {
      EXPECT_EQ(Err.What, Lines(c.text)[c.line - 1]);
    }
    EXPECT_EQ(r.Phase.size(), 5u);
  }
}

TEST_F(M40Test, FailedReadKeepsModelAndFailedWriteKeepsFile) {
  test::TempDir dir;
  const std::string file = dir / "s.m40";
  Struct.Model = RichModel();
  ASSERT_EQ(iom40(M40Write, file, &Err), 0) << Err;
  const std::string before = test::TempDir::Read(file);
  // Reading back through the program-wide model gives the same text again.
  Struct.Model = AtomModel{};
  ASSERT_EQ(iom40(M40Read, file, &Err), 0) << Err;
  ASSERT_EQ(Struct.Model.Atom.size(), RichModel().Atom.size());
  std::string text;
  ASSERT_EQ(M40WriteText(Struct.Model, text), 0);
  EXPECT_EQ(text, before);

  // A model that cannot be written leaves the file as it was.
  AtomModel keep = Struct.Model;
  Struct.Model.Atom[0].Par.Val[2] = std::nan("");
  EXPECT_EQ(iom40(M40Write, file), 1);
  Struct.Model.Atom[0].Par.Val[2] = 0.;
  Struct.Model.Atom[0].Par.Key[2] = 10;
  EXPECT_EQ(iom40(M40Write, file), 1);
  // A damaged file leaves the model as it was.
  dir.Write("s.m40x", before.substr(0, before.size() / 2));
  Struct.Model = keep;
  test::ReportScript shown;
  EXPECT_EQ(iom40(M40Read, file + "x", &Err), 1);
  EXPECT_EQ(Err.File, file + "x");
  // Shown as the message and "File "f"" (", line n:" and the line when known).
  ASSERT_EQ(shown.Of("error").size(), 1u);
  EXPECT_EQ(shown.Log[0].Lines, M40ErrorLines(Err));
  EXPECT_EQ(shown.Log[0].Lines.at(1).rfind("File \"" + file + "x\"", 0), 0u);
  std::string after;
  ASSERT_EQ(M40WriteText(Struct.Model, after), 0);
  EXPECT_EQ(after, before);
  EXPECT_EQ(iom40(M40Read, dir / "none.m40"), 1);
  EXPECT_EQ(test::TempDir::Read(file), before);
  // No temporaries are left beside the file.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 2);
}

// ---- layout and reallocation ----------------------------------------------------------

TEST(AtomLayoutTest, CountsMatchTensorAndWaveSizes) {
  AtomShape s;
  s.AdpOrder = 6;
  s.MagPar = 2;
  s.Flag[0] = 1;
  s.Flag[1] = 1;
  s.NWave = {1, 1, 1, 1, 1, 1, 1, 1};
  // static: 1+3+6 + 10+15+21+28 + magnetic 3; crenel 2 + sawtooth 5;
  // waves: 2 + 6 + 12 + 20+30+42+56 + magnetic 6.
  EXPECT_EQ(AtomLayout(s).NPar, 10 + 74 + 3 + 2 + 5 + 2 + 6 + 12 + 148 + 6);
  AtomShape iso;
  iso.AdpOrder = 1;
  iso.NWave[2] = 2;
  EXPECT_EQ(AtomLayout(iso).NPar, 10 + 4);
  MolShape ms;
  ms.TLS = true;
  ms.NWave = {1, 1, 1, 1, 1, 1};
  EXPECT_EQ(MolLayout(ms).NPar, 7 + 21 + 2 + 6 + 6 + 12 + 12 + 18);
}

TEST(AtomLayoutTest, ReallocationKeepsEveryBlockInPlace) {
  AtomShape s;
  s.AdpOrder = 3;
  s.NWave = {1, 1, 1, 0, 0, 0, 0, 0};
  AtomRec a;
  a.Shape = s;
  a.Par.resize(AtomLayout(s).NPar);
  const AtomLayoutInfo lo = AtomLayout(s);
  // Mark every value with its block and position in the block.
  for (int b = 0; b < NAtBlocks; b++)
    for (int i = 0; i < lo.Len[b]; i++) {
      a.Par.Val[lo.Off[b] + i] = 100 * b + i;
      a.Par.Key[lo.Off[b] + i] = b % 10;
    }
  AtomShape t = s;
  t.NWave[0] = 2;  // one occupancy wave more
  t.NWave[1] = 0;  // position waves dropped
  t.Flag[0] = 1;   // crenel added
  t.MagPar = 1;    // moment added
  t.NWave[3] = 1;  // third-order wave added
  ReallocateAtomParams(a, t);
  const AtomLayoutInfo ln = AtomLayout(t);
  ASSERT_EQ(a.Par.size(), ln.NPar);
  EXPECT_TRUE(a.Shape == t);
  for (int b = 0; b < NAtBlocks; b++)
    for (int i = 0; i < ln.Len[b]; i++) {
      const bool old = i < lo.Len[b];
      EXPECT_EQ(a.Par.Val[ln.Off[b] + i], old ? 100 * b + i : 0.) << b << " " << i;
      EXPECT_EQ(a.Par.Key[ln.Off[b] + i], old ? b % 10 : 0) << b << " " << i;
    }
}

TEST_F(M40Test, SetBasicM40FollowsBasicDataAndCounts) {
  AtomModel m = RichModel();
  m.Phase.resize(1);
  m.DatBlock.clear();
  SetBasicM40(m);
  EXPECT_EQ(m.Phase.size(), 2u);
  ASSERT_EQ(m.DatBlock.size(), 2u);
  EXPECT_EQ(m.DatBlock[1].Scale.Val, std::vector<double>{1.});
  AtomModel r = RichModel();
  EXPECT_EQ(r.Phase[0].NAtPart[0] + r.Phase[0].NAtPart[1], 6);
  EXPECT_EQ(r.Phase[0].NMolPart[1], 1);
  EXPECT_EQ(r.Phase[0].MaxWaves, 2);
  // The head's count of values agrees with the lists the file holds.
  std::string text;
  ASSERT_EQ(M40WriteText(r, text), 0);
  AtomModel back;
  ASSERT_EQ(M40ReadText(text, "c", back), 0);
  EXPECT_EQ(back.Phase[0].NPar, r.Phase[0].NPar);
  EXPECT_EQ(back.Phase[1].NParR, r.Phase[1].NPar);
}

}  // namespace
}  // namespace tarn
