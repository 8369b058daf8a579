// Tests of the M50 reader and writer and of SetBasicM50.
#include "model/m50.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <random>
#include <sstream>

#include "model/basic.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "support/report_script.hpp"
#include "support/small_structures.hpp"
#include "support/temp_dir.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

BasicData Read(std::string_view text) {
  BasicData b;
  ErrorRecord err;
  EXPECT_EQ(ReadM50Text(text, "t.m50", b, &err), 0) << err << ": " << err.What;
  return b;
}

// A file with every kind of record: two phases (a 4-dimensional modulated
// magnetic one and a 6-dimensional one), two data blocks, atom types with
// tables written over several lines and glued minus signs, and command blocks.
constexpr std::string_view kRich = R"(Version Tarnwork
title  Two phases , test of every record
phase Mod1
cell 8.3992 8.1627 11.8119 90 90.0000 90 ! from the cfl
esdcell 0.0012 0.001 0.002 0 0.01 0
ndim 4
qi 0 0.16604 0
qi 9 9 9 this second vector is ignored
qr 0 0.5 0
spgroup Pnma(0b0)s00 62 621
sgshift 0 0 0 0.25
lattice x
lattvec 0.5 0.5 0 0.5
symmetry x1 x2 x3 x4 m
symmetry -x1+1/2 -x2 x3+1/2 -x4+1/2 -m
centro
localsymm -x1 x2 x3
xyzmode 2
unitsnumb 4
densities 2.5 2.61
chemform Fe C H O
atlist Fe O
formtab 1
magnetic 1
atom Fe
ffel 5 0.1 0.2 0.3
  0.4 0.5
FFMag 1 0.0706 35.008 0.3589 15.358 0.5819 5.561 -0.0114 0.1398 0.0
f' -1.179 0.301
f" 3.204 0.845
nslater 4 4 3
ZSlater 3.6 3.6 2.1
DzSlater 0.1 0.1 0.05
fneutron 9.45
fneutronim -0.001
FFBasic 9 11.7695 4.7611 7.3573
 0.3072 3.5222 15.3535
   2.3045-76.8805 1.0369
atradius 1.26
color red
atweight 55.845
formula 1
fffree 0
dmax 2.5
formtab 2
wffile fe.wfn
stofunction 4s2 3d6
usemottform 1
usetscfile 0
atom O
FFCore 3 1 2 3
FFVal 3 -0 0.00001 1.5e20
formula 2.5
atmag Fe Fe3
atmagj Fe 0.3972 13.2442 0.6295 4.9034 -0.0314 0.3496 0.0044
addmagJ2 Fe 1.6691 15.1836 1.6521 4.4914 -0.0015 0.0199 0.0089
addmagJ4 Fe -0.0015 0.0199 0.0089 1 2 3 4
addmagJ6 Fe 1 2 3 4 5 6 7
qmag 0.5 0 0.5
parentstr parent.m50
parentmat 1 0 0 0 1 0 0 0 1
typdist Fe O 2.05
commen 1 6 1
tzero 0.0625
phase High6
cell 10.0 11 12 80 85 95
ndim 6
ncomp 2
qi 0.1 0 0
qi 0 0.2 0
qi 0 0 1.3e-3
wmatrix 1 0 0 0 0 0 0 1 0 0 0 0 0 0 0 0 0 1 0 0 0 1 0 0 0 0 1 0 0 0 0 0 0 0 1 0
spgroup ? 0 55
lattice F
symmetry x1 x2 x3 x4 x5 x6
unitsnumb 2
atom Na
formula 1
atweight 22.98977
* a comment line
# another
-- and another
lambda 0.71073
alphagmono 0.5
betagmono 0.25
monangle 12.5
nalpha 1
radtype 1.4
lpfactor 2
kalphar 0.5
perfmono 0.5
slimits 0 0.8
flimits 0 100000
powder 0
noofref 8578
datcolltemp 100
lambda 1.54056
kalpha2 1.54439
radtype 2
refofanom 1
twin 1 0 0 0 1 0 0 0 1
twin 0 1 0 1 0 0 0 0 -1
phasetwin 1 2
wavefile spectrum.dat
roundmethod 1
end
********************************************************************************
refine
  ncycle 10
end refine
fourier Mod1
  mapa 1
end fourier
)";

TEST(M50, RichFileRoundTripsByteIdentically) {
  BasicData a = Read(kRich);
  std::string t1 = WriteM50Text(a);
  BasicData b = Read(t1);
  std::string t2 = WriteM50Text(b);
  EXPECT_EQ(t1, t2);
  // The command blocks are kept exactly, without the separator line.
  EXPECT_EQ(b.CommandText,
            "refine\n  ncycle 10\nend refine\nfourier Mod1\n  mapa 1\nend fourier\n");
  // No record was lost: every keyword of the table appears in the written text
  // (the unset ones of the first data block aside).
  for (int k = 1; k <= NM50Keys; ++k) {
    std::string key(M50Keys[k]);
    if (key == "kalpha1") continue;  // equal to lambda in both blocks: not written
    bool found = false;
    std::istringstream s(t1);
    for (std::string l; std::getline(s, l);)
      if (auto w = SplitWords(l); !w.empty() && w[0] == key) found = true;
    EXPECT_TRUE(found) << key;
  }
}

TEST(M50, RichFileValues) {
  BasicData b = Read(WriteM50Text(Read(kRich)));
  ASSERT_EQ(b.Phase.size(), 2u);
  ASSERT_EQ(b.DatBlock.size(), 2u);
  const PhaseBasic& p = b.Phase[0];
  EXPECT_EQ(b.Title, "Two phases , test of every record");
  EXPECT_EQ(p.Name, "Mod1");
  EXPECT_EQ(p.Cell[0], 8.3992);
  EXPECT_EQ(p.Cell[4], 90.);
  EXPECT_EQ(p.CellSU[1], 0.001);
  EXPECT_EQ(p.NDim, 4);
  ASSERT_EQ(p.Qi.size(), 1u);  // the second "qi" of a 4-dimensional phase is ignored
  EXPECT_EQ(p.Qi[0][1], 0.16604);
  EXPECT_EQ(p.SpGroup, "Pnma(0b0)s00");
  EXPECT_EQ(p.SpGroupNumber, 62);
  EXPECT_EQ(p.SpGroupCode, 621);
  EXPECT_EQ(p.SpGroupCode10, 62);
  EXPECT_EQ(p.Lattice, "X");
  ASSERT_EQ(p.LattVec.size(), 1u);
  EXPECT_EQ(p.LattVec[0], (std::vector<double>{0.5, 0.5, 0, 0.5}));
  EXPECT_TRUE(p.Magnetic);
  EXPECT_TRUE(p.Centro);
  ASSERT_EQ(p.SymmText.size(), 2u);
  EXPECT_EQ(SplitWords(p.SymmText[1]).back(), "-m");
  ASSERT_EQ(p.AtType, (std::vector<std::string>{"Fe", "O"}));
  const AtomTypeBasic& fe = p.AtTypeData[0];
  // Table over three lines with a glued minus sign.
  EXPECT_EQ(fe.FFBasic, (std::vector<double>{11.7695, 4.7611, 7.3573, 0.3072, 3.5222, 15.3535,
                                             2.3045, -76.8805, 1.0369}));
  EXPECT_EQ(fe.FFEl, (std::vector<double>{0.1, 0.2, 0.3, 0.4, 0.5}));
  EXPECT_EQ(fe.FFMagType, 1);
  EXPECT_EQ(fe.FFMag.size(), 9u);
  EXPECT_EQ(fe.FPrime, (std::vector<double>{-1.179, 0.301}));
  EXPECT_EQ(fe.FormTab, 2);  // "formtab" after "atom" belongs to the atom type
  EXPECT_EQ(p.FormTab, 1);   // before it, to the phase
  EXPECT_EQ(fe.StoFunction, "4s2 3d6");
  const AtomTypeBasic& o = p.AtTypeData[1];
  ASSERT_EQ(o.FFVal.size(), 3u);
  EXPECT_TRUE(std::signbit(o.FFVal[0]));
  EXPECT_EQ(o.FFVal[2], 1.5e20);
  ASSERT_EQ(p.AtMag.size(), 1u);
  EXPECT_EQ(p.AtMag[0].Ion, "Fe3");
  EXPECT_EQ(p.AtMag[0].J2[1], 15.1836);
  EXPECT_EQ(p.TypDist[0].Dist, 2.05);

  const PhaseBasic& q = b.Phase[1];
  EXPECT_EQ(q.Name, "High6");
  EXPECT_EQ(q.NDim, 6);
  EXPECT_EQ(q.NComp, 2);
  EXPECT_EQ(q.Qi.size(), 3u);
  EXPECT_EQ(q.Qi[2][2], 1.3e-3);
  ASSERT_EQ(q.WMatrix.size(), 1u);
  EXPECT_EQ(q.WMatrix[0].size(), 36u);
  EXPECT_EQ(q.SpGroup, "?");
  EXPECT_EQ(q.SpGroupCode, 0);  // unknown group: code 0 whatever the file says
  EXPECT_TRUE(q.AtTypeData[0].Formula.has_value());

  const DatBlockBasic& d1 = b.DatBlock[0];
  const DatBlockBasic& d2 = b.DatBlock[1];
  EXPECT_EQ(d1.Lambda, 0.71073);
  EXPECT_EQ(d1.KAlpha1, 0.71073);  // lambda sets both alpha wavelengths
  EXPECT_EQ(d1.KAlpha2, 0.71073);
  EXPECT_EQ(d1.Radiation, 1);  // 1.4 rounded
  EXPECT_EQ(d1.NoOfRef, 8578);
  EXPECT_EQ(d1.SLimits, (std::vector<double>{0, 0.8}));
  EXPECT_EQ(d2.Lambda, 1.54056);
  EXPECT_EQ(d2.KAlpha1, 1.54056);
  EXPECT_EQ(d2.KAlpha2, 1.54439);
  EXPECT_EQ(d2.Radiation, 2);
  EXPECT_FALSE(d2.MonAngle.has_value());
  EXPECT_EQ(b.Twin.size(), 2u);
  EXPECT_EQ(b.PhaseTwin, (std::vector<int>{1, 2}));
  EXPECT_EQ(b.RoundMethod, 1);
}

// Values built in memory, with reals that need all 17 digits, survive a write
// and a read exactly.
TEST(M50, RandomValuesSurviveWriteAndRead) {
  std::mt19937_64 rng(4711);
  std::uniform_real_distribution<double> u(-1e3, 1e3);
  std::uniform_int_distribution<int> e(-30, 30);
  auto r = [&] { return u(rng) * std::pow(10., e(rng)); };
  for (int ndim = 3; ndim <= 6; ++ndim) {
    BasicData a;
    a.Phase.resize(2);
    for (auto& p : a.Phase) {
      p.Name = "P" + std::to_string(ndim);
      for (double& c : p.Cell) c = std::fabs(r());
      for (double& c : p.CellSU) c = std::fabs(r());
      p.NDim = ndim;
      for (int i = 0; i < ndim - 3; ++i) p.Qi.push_back({r(), r(), r()});
      p.LattVec.push_back(std::vector<double>(ndim, 0.5));
      p.Lattice = "X";
      p.SgShift = {r(), r(), r()};
      p.AtType = {"Xx"};
      p.AtTypeData.resize(1);
      for (int i = 0; i < 20; ++i) p.AtTypeData[0].FFBasic.push_back(r());
      p.AtTypeData[0].FNeutron = r();
      p.AtTypeData[0].FFMag.assign(9, r());
      p.AtTypeData[0].FFMagType = 0;
    }
    a.DatBlock.resize(2);
    for (auto& d : a.DatBlock) {
      d.Lambda = std::fabs(r());
      d.KAlpha1 = d.Lambda;
      d.KAlpha2 = r();
      d.MonAngle = r();
    }
    std::string t1 = WriteM50Text(a);
    BasicData b = Read(t1);
    ASSERT_EQ(b.Phase.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      const auto& pa = a.Phase[i];
      const auto& pb = b.Phase[i];
      for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(pa.Cell[k], pb.Cell[k]);
        EXPECT_EQ(pa.CellSU[k], pb.CellSU[k]);
      }
      EXPECT_EQ(pa.Qi, pb.Qi);
      EXPECT_EQ(pa.LattVec, pb.LattVec);
      EXPECT_EQ(pa.SgShift, pb.SgShift);
      EXPECT_EQ(pa.AtTypeData[0].FFBasic, pb.AtTypeData[0].FFBasic);
      EXPECT_EQ(pa.AtTypeData[0].FFMag, pb.AtTypeData[0].FFMag);
      EXPECT_EQ(pa.AtTypeData[0].FNeutron, pb.AtTypeData[0].FNeutron);
      EXPECT_EQ(a.DatBlock[i].Lambda, b.DatBlock[i].Lambda);
      EXPECT_EQ(a.DatBlock[i].KAlpha2, b.DatBlock[i].KAlpha2);
      EXPECT_EQ(a.DatBlock[i].MonAngle, b.DatBlock[i].MonAngle);
    }
    EXPECT_EQ(WriteM50Text(b), t1);
  }
}

// Small variations of one minimal file that must read the same way.
TEST(M50, EquivalentSpellings) {
  const std::string body = "cell 5 6 7 90 100 90\nndim 3\nlattice C\nsymmetry x y z\nend\n";
  BasicData ref = Read("Version Tarnwork\n" + body);
  struct Case {
    std::string name, text;
  } cases[] = {
      {"no version line", body},
      {"CRLF line ends",
       "Version Tarnwork\r\ncell 5 6 7 90 100 90\r\nndim 3\r\nlattice C\r\n"
       "symmetry x y z\r\nend\r\n"},
      {"case of keywords and lattice",
       "VERSION x\nCELL 5 6 7 90 100 90\nNDim 3\nlattice c\n"
       "Symmetry x y z\nEND\n"},
      {"comments and blanks",
       "version\n\n# c\n* c\n-- c\ncell 5 6 7 90 100 90 ! c\n  ndim 3\n"
       "lattice C\nunknownkey 1 2 3\nsymmetry x   y  z\nend\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BasicData b = Read(c.text);
    EXPECT_EQ(WriteM50Text(b), WriteM50Text(ref));
  }
  EXPECT_EQ(ref.Phase[0].Lattice, "C");
  EXPECT_EQ(ref.Phase[0].SymmText, (std::vector<std::string>{"x y z"}));
}

TEST(M50, GluedMinusSplitting) {
  struct Case {
    std::string_view line;
    std::vector<std::string> words;
  } cases[] = {
      {"1.2-3.4", {"1.2", "-3.4"}},   {"   0   0   3-5.76448", {"0", "0", "3", "-5.76448"}},
      {"-1-2-3", {"-1", "-2", "-3"}}, {"1e-05 2.5E-3-1", {"1e-05", "2.5E-3", "-1"}},
      {"1.-2", {"1.", "-2"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitM50Numbers(c.line), c.words) << c.line;
}

TEST(M50, ReadFFFromM50AcrossLines) {
  std::string text = "FFBasic 1.5\n# comment between\n2-3\n\n4 5 6\nnext";
  M50Cursor cur;
  std::vector<std::string> store = SplitOn(text, "\n");
  for (const auto& s : store) cur.Lines.push_back(s);
  cur.Pending = {"1.5"};
  std::vector<double> v;
  ErrorRecord err;
  ASSERT_EQ(ReadFFFromM50(cur, v, 4, err), 0);
  EXPECT_EQ(v, (std::vector<double>{1.5, 2, -3, 4}));
  EXPECT_EQ(cur.Line, 4u);
  // The rest of the line stays for the next read; a negative count puts a 0 first.
  ASSERT_EQ(ReadFFFromM50(cur, v, -2, err), 0);
  EXPECT_EQ(v, (std::vector<double>{0, 5, 6}));
  // A keyword where a number is expected is a read error on that line.
  EXPECT_EQ(ReadFFFromM50(cur, v, 1, err), 1);
  EXPECT_EQ(err.Line, 6);
  EXPECT_EQ(err.What, "next");
  EXPECT_EQ(err.Message, MsgM50ReadError);
}

TEST(M50, BadFilesAreReportedWithLine) {
  struct Case {
    std::string name, text;
    std::string_view message;
    int line;
  } cases[] = {
      {"no end", "Version Tarnwork\ncell 1 2 3 90 90 90\n", MsgM50UnexpectedEnd, 2},
      {"empty file", "", MsgM50UnexpectedEnd, 1},
      {"bad real", "cell 1 2 x 90 90 90\nend\n", MsgM50ReadError, 1},
      {"too few values", "\ncell 1 2 3 90 90\nend\n", MsgM50ReadError, 2},
      {"ndim out of range", "ndim 7\nend\n", MsgM50BadValue, 1},
      {"bad lattice", "lattice Q\nend\n", MsgM50BadLattice, 1},
      {"table runs into end", "atom C\nFFBasic 9 1 2 3\n4 5\nend\n", MsgM50ReadError, 4},
      {"table runs out of file", "atom C\nFFBasic 9 1 2 3\n", MsgM50UnexpectedEnd, 2},
      {"lattvec shorter than ndim", "ndim 4\nlattvec 0.5 0.5 0\nend\n", MsgM50ReadError, 2},
      {"lattvec before ndim", "lattvec 0.5 0.5 0\nndim 4\nend\n", MsgM50ReadError, 1},
      {"short symmetry", "ndim 4\nsymmetry x1 x2 x3\nend\n", MsgM50SymmSyntax, 2},
      {"bad table count", "atom C\nFFBasic -3 1 2 3\nend\n", MsgM50BadValue, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BasicData b;
    b.Title = "untouched";
    ErrorRecord err;
    EXPECT_EQ(ReadM50Text(c.text, "bad.m50", b, &err), 1);
    EXPECT_EQ(b.Title, "untouched");
    EXPECT_EQ(err.Message, c.message);
    EXPECT_EQ(err.Line, c.line);
    EXPECT_EQ(err.File, "bad.m50");
  }
}

TEST(M50, RecordsBeforeAnyAtomAreIgnored) {
  BasicData b = Read("fneutron 5\nFFMag 0 1 2 3 4 5 6 7 8 9\natom C\nfneutron 6.646\nend\n");
  ASSERT_EQ(b.Phase[0].AtType.size(), 1u);
  EXPECT_EQ(b.Phase[0].AtTypeData[0].FNeutron, 6.646);
  EXPECT_TRUE(b.Phase[0].AtTypeData[0].FFMag.empty());
}

TEST(M50, FFMagWithoutIntegerReadsOverLines) {
  BasicData b = Read("atom Fe\nFFMag\n0.1 0.2 0.3\n0.4 0.5-0.6\n0.7 0.8 0.9\nend\n");
  const auto& a = b.Phase[0].AtTypeData[0];
  EXPECT_EQ(a.FFMagType, 0);
  EXPECT_EQ(a.FFMag, (std::vector<double>{0.1, 0.2, 0.3, 0.4, 0.5, -0.6, 0.7, 0.8, 0.9}));
}

// ---- SetBasicM50 -------------------------------------------------------------

TEST(M50, MetricTensorsTwoWays) {
  const double cells[][6] = {{5.641087, 5.641087, 5.641087, 90, 90, 90},
                             {8.3992, 8.1627, 11.8119, 90, 90, 90},
                             {10, 11, 12, 80, 85, 95},
                             {4.9134, 4.9134, 5.4052, 90, 90, 120}};
  for (const auto& c : cells) {
    BasicData b;
    b.Phase.resize(1);
    std::copy(c, c + 6, b.Phase[0].Cell);
    ASSERT_EQ(SetBasicM50(b), 0);
    const PhaseBasic& p = b.Phase[0];
    auto rad = [](double d) { return d * std::numbers::pi / 180.; };
    double ca = std::cos(rad(c[3])), cb = std::cos(rad(c[4])), cg = std::cos(rad(c[5]));
    // Volume: V = abc sqrt(1 - cos^2 a - cos^2 b - cos^2 g + 2 cos a cos b cos g).
    double v = c[0] * c[1] * c[2] * std::sqrt(1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg);
    EXPECT_NEAR(p.CellVol, v, 1e-9 * v);
    // a* = b c sin(alpha) / V, cos(alpha*) = (cos b cos g - cos a) / (sin b sin g).
    EXPECT_NEAR(p.CellR[0], c[1] * c[2] * std::sin(rad(c[3])) / v, 1e-12);
    EXPECT_NEAR(p.CellR[2], c[0] * c[1] * std::sin(rad(c[5])) / v, 1e-12);
    double cas = (cb * cg - ca) / (std::sin(rad(c[4])) * std::sin(rad(c[5])));
    EXPECT_NEAR(std::cos(rad(p.CellR[3])), cas, 1e-12);
    // G G* = 1.
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        double s = 0;
        for (int k = 0; k < 3; ++k) s += p.MetTens[3 * i + k] * p.MetTensI[3 * k + j];
        EXPECT_NEAR(s, i == j ? 1. : 0., 1e-12);
      }
  }
}

// NaCl: volume and density against the published CIF (V = 179.510(5) A^3,
// D = 2.162 g/cm^3, M = 58.44), from the cell of the published .res file.
TEST(M50, NaClVolumeAndDensityAgainstPublishedValues) {
  std::ifstream f("../shared/data/nacl/NaCl.res");
  if (!f) GTEST_SKIP() << "../shared/data not present";
  std::string cellLine;
  for (std::string l; std::getline(f, l);)
    if (l.rfind("CELL", 0) == 0) cellLine = l;
  auto w = SplitWords(cellLine);
  ASSERT_EQ(w.size(), 8u);
  std::string text = "cell";
  for (size_t i = 2; i < 8; ++i) text += " " + w[i];
  text +=
      "\nlattice F\nunitsnumb 4\natom Na\nformula 1\natweight 22.98977\n"
      "atom Cl\nformula 1\natweight 35.453\nend\n";
  BasicData b = Read(text);
  ASSERT_EQ(SetBasicM50(b), 0);
  const PhaseBasic& p = b.Phase[0];
  EXPECT_NEAR(p.CellVol, 179.510, 0.005);
  EXPECT_NEAR(p.FormulaWeight, 58.44, 0.005);
  EXPECT_NEAR(p.Density, 2.162, 0.0005);
  EXPECT_EQ(p.FormulaAtoms, 2.);
  EXPECT_EQ(p.FormulaText, "Na Cl");
  EXPECT_EQ(p.Symmetry.NLattVec, 4);  // F centring
}

TEST(M50, FormulaTextAndCentring) {
  BasicData b = Read(
      "ndim 4\nlattice I\nlattvec 0 0 0 0.5\natom C\nformula 6\natom H\nformula 12\n"
      "atom O\nformula 6\natom X\nend\n");
  ASSERT_EQ(SetBasicM50(b), 0);
  EXPECT_EQ(b.Phase[0].FormulaText, "C6 H12 O6");
  EXPECT_EQ(b.Phase[0].Density, 0.);  // no weights: not computed
  // I centring and (0,0,0,1/2) close to four vectors.
  const PhaseSymmetry& s = b.Phase[0].Symmetry;
  ASSERT_EQ(s.NLattVec, 4);
  EXPECT_EQ(s.VT6[1], (Vec6{0.5, 0.5, 0.5, 0, 0, 0}));
  EXPECT_EQ(s.VT6[2], (Vec6{0, 0, 0, 0.5, 0, 0}));
  EXPECT_EQ(s.VT6[3], (Vec6{0.5, 0.5, 0.5, 0.5, 0, 0}));
}

// Operators are kept in canonical text; SetBasicM50 closes them into the group.
TEST(M50, SymmetryIsCanonicalAndCompleted) {
  struct Case {
    std::string name, records;
    std::vector<std::string> text;  // stored operator texts
    int nSymm;                      // complete group (coset representatives)
  } cases[] = {
      {"Pnma generators, centrosymmetric",
       "symmetry x y z\nsymmetry -x+0.5 -y z+1/2\nsymmetry -x y+1/2 -z\ncentro\n",
       {"x y z", "-x+1/2 -y z+1/2", "-x y+1/2 -z"},
       8},
      {"4-dimensional, translation in x4",
       "ndim 4\nqi 0 0 0.3\nsymmetry x1 x2 x3 x4\nsymmetry -x1 -x2 x3 -x4+0.5\n",
       {"x1 x2 x3 x4", "-x1 -x2 x3 -x4+1/2"},
       2},
      {"magnetic, time inversion kept",
       "magnetic\nsymmetry x y z +m\nsymmetry -x -y -z -M\n",
       {"x y z m", "-x -y -z -m"},
       2},
      {"no operators: the identity", "ndim 5\n", {}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BasicData b = Read(c.records + "end\n");
    EXPECT_EQ(b.Phase[0].SymmText, c.text);
    ASSERT_EQ(SetBasicM50(b), 0);
    EXPECT_EQ(b.Phase[0].Symmetry.NSymm, c.nSymm);
    EXPECT_EQ(Read(WriteM50Text(b)).Phase[0].SymmText, c.text);
  }
}

TEST(M50, SymmetryFaults) {
  BasicData b;
  ErrorRecord err;
  EXPECT_EQ(ReadM50Text("symmetry -x y z\nsymmetry x y z\nend\n", "s.m50", b, &err), 1);
  EXPECT_EQ(err.Message, MsgM50FirstNotIdentity);
  EXPECT_EQ(err.Line, 1);
  EXPECT_EQ(ReadM50Text("ndim 4\nsymmetry x y z\nend\n", "s.m50", b, &err), 1);
  EXPECT_EQ(err.Message, MsgM50SymmSyntax);
  EXPECT_EQ(err.Line, 2);
  // 1/27 has no text form with a denominator up to 25: refused, not lost.
  EXPECT_EQ(ReadM50Text("symmetry x y z\nsymmetry -x -y z+1/27\nend\n", "s.m50", b, &err), 1);
  EXPECT_EQ(err.Message, MsgM50SymmSyntax);
  // A pure translation beside the identity is inconsistent: the file reads,
  // its completion fails with the symmetry message.
  b = Read("symmetry x y z\nsymmetry x+1/2 y z\nend\n");
  EXPECT_EQ(SetBasicM50(b, &err), 1);
  EXPECT_EQ(err.Message, SymmMsgText(SymmMsg::Inconsistent));
  EXPECT_EQ(err.Detail.size(), 3u);
}

TEST(M50, DegenerateCellIsRejected) {
  BasicData b = Read("cell 1 1 1 90 90 180\nend\n");
  EXPECT_EQ(SetBasicM50(b), 1);
}

// ---- files -------------------------------------------------------------------

class M50Files : public test::StructureTest {
 protected:
  static std::string Slurp(const fs::path& p) { return test::TempDir::Read(p.string()); }
  static void Put(const fs::path& p, std::string_view t) {
    std::ofstream(p, std::ios::binary) << t;
  }
  test::TempDir tmp_;
  const fs::path dir_ = tmp_.Path();
  ErrorRecord err_;
};

TEST_F(M50Files, ReadWriteReadThroughFiles) {
  fs::path m50 = dir_ / "x.m50";
  Put(m50, kRich);
  ASSERT_EQ(iom50(M50Read, m50.string()), 0);
  // The command blocks went to x.l51 behind a separator, with the missing
  // default blocks added (per phase but for refine; mod2d: the structure is
  // modulated).
  std::string l51 = Slurp(dir_ / "x.l51");
  EXPECT_EQ(l51.rfind("****", 0), 0u);
  EXPECT_NE(l51.find("refine\n  ncycle 10\nend refine\nfourier Mod1\n"), std::string::npos);
  for (const char* block :
       {"fourier High6\nend fourier\n", "dist\nend dist\n", "dist High6\nend dist\n",
        "contour High6\nend contour\n", "mod2d\nend mod2d\n"})
    EXPECT_NE(l51.find(block), std::string::npos) << block;
  EXPECT_EQ(l51.find("\nrefine\nend refine"), std::string::npos);  // not added twice
  EXPECT_NEAR(Struct.Basic.Phase[0].CellVol, 8.3992 * 8.1627 * 11.8119, 1e-9);

  ASSERT_EQ(iom50(M50Write, m50.string()), 0);
  std::string first = Slurp(m50);
  ASSERT_EQ(iom50(M50Read, m50.string()), 0);
  ASSERT_EQ(iom50(M50Write, m50.string()), 0);
  EXPECT_EQ(Slurp(m50), first);
  // Only the two files remain: no temporaries are left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(M50Files, WriterTakesCommandBlocksFromL51) {
  fs::path m50 = dir_ / "y.m50";
  Put(m50, "cell 5 5 5 90 90 90\nend\n");
  ASSERT_EQ(iom50(M50Read, m50.string()), 0);
  Put(dir_ / "y.l51", "*****\nrefine\n  ncycle 3\nend refine\n");
  ASSERT_EQ(iom50(M50Write, m50.string()), 0);
  std::string t = Slurp(m50);
  EXPECT_NE(t.find("end\n****"), std::string::npos);
  EXPECT_TRUE(t.ends_with("end\n" + std::string(80, '*') + "\nrefine\n  ncycle 3\nend refine\n"));
}

TEST_F(M50Files, FailedReadChangesNothing) {
  fs::path good = dir_ / "g.m50";
  Put(good, "cell 5 5 5 90 90 90\nend\n");
  ASSERT_EQ(iom50(M50Read, good.string()), 0);
  std::string before = WriteM50Text(Struct.Basic);

  fs::path bad = dir_ / "b.m50";
  const char* faults[] = {"cell 7 7 7 90 90 90\nndim 4\n",               // no end
                          "cell 7 7 7 90 90 90\nunitsnumb four\nend\n",  // bad number
                          "cell 0 7 7 90 90 90\nend\n"};                 // no volume
  for (const char* t : faults) {
    Put(bad, t);
    EXPECT_EQ(iom50(M50Read, bad.string(), &err_), 1) << t;
    EXPECT_EQ(WriteM50Text(Struct.Basic), before);
    EXPECT_FALSE(fs::exists(dir_ / "b.l51"));
    EXPECT_EQ(Slurp(bad), t);
  }
  EXPECT_EQ(err_.Message, MsgM50NotCompleted);
  test::ReportScript shown;
  EXPECT_EQ(iom50(M50Read, (dir_ / "absent.m50").string(), &err_), 1);
  EXPECT_EQ(err_.Message, MsgM50Cannot);
  ASSERT_EQ(shown.Log.size(), 1u);
  EXPECT_EQ(shown.Log[0].Lines, std::vector<std::string>{"File " + (dir_ / "absent.m50").string()});
  // A symmetry fault in the completion is shown below the file name.
  Put(bad, "symmetry x y z\nsymmetry x+1/2 y z\nend\n");
  EXPECT_EQ(iom50(M50Read, bad.string()), 1);
  ASSERT_EQ(shown.Log.size(), 3u);  // the symmetry message, then the file's
  EXPECT_EQ(shown.Log[2].Header, MsgM50NotCompleted);
  EXPECT_EQ(shown.Log[2].Lines.at(1), SymmMsgText(SymmMsg::Inconsistent));
}

TEST_F(M50Files, InforM50Summary) {
  fs::path m50 = dir_ / "i.m50";
  Put(m50, kRich);
  M50Info info;
  ASSERT_EQ(InforM50(m50.string(), info), 0);
  EXPECT_EQ(info.PhaseNames, (std::vector<std::string>{"Mod1", "High6"}));
  EXPECT_EQ(info.NDatBlock, 2);
  EXPECT_EQ(info.NDim, 4);
  EXPECT_EQ(info.SpGroup, "Pnma(0b0)s00");
  EXPECT_EQ(info.Cell[2], 11.8119);
  EXPECT_EQ(InforM50((dir_ / "none.m50").string(), info), 1);
}

}  // namespace
}  // namespace tarn

// ---- scattering factors from the tables of data/ -----------------------------------

namespace tarn {
namespace {

class M50FormFactors : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Sess.HomeDir;
    Sess.HomeDir = "data/";
  }
  void TearDown() override { Sess.HomeDir = saved_; }
  std::string saved_;
};

TEST_F(M50FormFactors, TypesAreFilledFromTablesAndRoundTrip) {
  BasicData b = Read("lattice F\natom Na\natom Cl\natom Fe3+\nfffree 1\nend\n");
  ASSERT_EQ(EM50ReadAllFormFactors(b), 0);
  const auto& na = b.Phase[0].AtTypeData[0];
  const auto& cl = b.Phase[0].AtTypeData[1];
  ASSERT_EQ(na.FFBasic.size(), 9u);
  // f(0) = sum a_i + c = Z for a neutral atom (Vol. C Table 6.1.1.4).
  double f0 = 0;
  for (int i = 0; i < 8; i += 2) f0 += cl.FFBasic[i];
  EXPECT_NEAR(f0 + cl.FFBasic[8], 17., 0.01);
  EXPECT_EQ(cl.FFEl.size(), 10u);
  // Neutron lengths (Sears 1992): Na 3.63 fm, Cl 9.577 fm; weights.
  EXPECT_NEAR(*na.FNeutron, 3.63, 1e-3);
  EXPECT_NEAR(*cl.FNeutron, 9.577, 1e-3);
  EXPECT_NEAR(*cl.AtWeight, 35.45, 0.01);
  EXPECT_TRUE(cl.FPrime.empty());  // no wavelength given: no dispersion values
  // A user-given type keeps its empty tables.
  EXPECT_TRUE(b.Phase[0].AtTypeData[2].FFBasic.empty());
  std::string t = WriteM50Text(b);
  EXPECT_EQ(WriteM50Text(Read(t)), t);
}

TEST_F(M50FormFactors, AnomalousDispersionAtTheDataBlockWavelength) {
  BasicData b = Read("atom Cl\nlambda 0.71073\nlambda 1.54056\nradtype 2\nend\n");
  ASSERT_EQ(EM50ReadAllFormFactors(b), 0);
  const auto& cl = b.Phase[0].AtTypeData[0];
  ASSERT_EQ(cl.FPrime.size(), 2u);
  EXPECT_NEAR(cl.FPrime[0], 0.132, 0.02);
  EXPECT_NEAR(cl.FDoublePrime[0], 0.159, 0.02);
  EXPECT_EQ(cl.FPrime[1], 0.);  // neutron block
  // SetFormF takes wavelength-dependent values afresh after a change.
  b.DatBlock[0].Lambda = 1.54056;
  ASSERT_EQ(SetFormF(b), 0);
  EXPECT_NEAR(cl.FDoublePrime[0], 0.702, 0.03);  // Cu K-alpha
}

TEST_F(M50FormFactors, MagneticIonFromAtmag) {
  BasicData b = Read("magnetic\natom Fe\natmag Fe Fe3\nend\n");
  ASSERT_EQ(EM50ReadAllFormFactors(b), 0);
  const auto& fe = b.Phase[0].AtTypeData[0];
  ASSERT_EQ(fe.FFMag.size(), 9u);
  // <j0>(0) = A + B + C + D = 1 for the free ion (Vol. C 4.4.5).
  EXPECT_NEAR(fe.FFMag[0] + fe.FFMag[2] + fe.FFMag[4] + fe.FFMag[6], 1., 0.01);
}

// A phase that names only its group gets the operators (the monoclinic axis
// from the cell); a symbol that is not understood is reported at its line.
TEST_F(M50FormFactors, GroupSymbolGivesTheOperators) {
  BasicData b = Read("cell 5 6 7 90 90 104\nspgroup P21 0\nsgshift 0.25 0 0\nend\n");
  const PhaseBasic& p = b.Phase[0];
  EXPECT_EQ(p.SpGroupNumber, 4);
  EXPECT_EQ(p.SymmText, (std::vector<std::string>{"x y z", "-x+1/2 -y z+1/2"}));  // 21 along c, moved
  b = Read("cell 5 5 5 90 90 90\nspgroup Fm-3m 225\nend\n");
  EXPECT_EQ(b.Phase[0].Lattice, "F");
  EXPECT_EQ(b.Phase[0].SymmText.size(), 48u);
  // A magnetic phase: primes give the time-inversion signs of the records.
  b = Read("cell 5 6 7 90 90 90\nmagnetic\nspgroup Pn'm'a 62\nend\n");
  ASSERT_EQ(b.Phase[0].SymmText.size(), 8u);
  EXPECT_EQ(b.Phase[0].SymmText[0], "x y z m");
  int primed = 0;
  for (const std::string& t : b.Phase[0].SymmText) primed += t.ends_with(" -m") ? 1 : 0;
  EXPECT_EQ(primed, 4);
  ErrorRecord err;
  test::ReportScript rs;
  EXPECT_EQ(ReadM50Text("title x\nspgroup P21/q 14\nend\n", "s.m50", b, &err), 1);
  EXPECT_EQ(err.Line, 2);
  EXPECT_EQ(err.Message, "The symbol \"P21/q\" isn't found on the list.");
}

TEST_F(M50FormFactors, UnknownTypeIsReported) {
  BasicData b = Read("atom Qq\natom O\nend\n");
  EXPECT_EQ(EM50ReadAllFormFactors(b), 1);
  EXPECT_EQ(b.Phase[0].AtTypeData[1].FFBasic.size(), 9u);  // the others are filled
}

}  // namespace
}  // namespace tarn
