// M95 and M90 files: headers with every keyword, reflection records, runs and
// correction factors, several blocks, bad input and real data sets.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "model/basic.hpp"
#include "model/m95m90.hpp"
#include "model/structure.hpp"
#include "support/small_structures.hpp"
#include "support/temp_dir.hpp"
#include "util/strings.hpp"

using namespace tarn;
namespace fs = std::filesystem;

namespace {

class ReflFiles : public test::StructureTest {
 protected:
  void SetUp() override {
    test::StructureTest::SetUp();
    Struct.Refl = ReflData{};
    Struct.Basic.Phase.emplace_back();
  }
  void TearDown() override {
    Struct.Refl = ReflData{};
    test::StructureTest::TearDown();
  }
  std::string Path(const std::string& name) const { return dir_ / name; }
  static std::string ReadAll(const std::string& p) { return test::TempDir::Read(p); }
  static void WriteText(const std::string& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  }
  size_t FilesInDir() const { return std::distance(fs::directory_iterator(dir_.Path()), {}); }
  test::TempDir dir_;
};

// Reflections whose values all lie on the precision of their fields.
std::vector<M95Refl> SampleM95(int n, int ndim, int seed) {
  std::mt19937 rng(seed);
  auto u = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
  std::vector<M95Refl> v(n);
  for (int i = 0; i < n; ++i) {
    M95Refl& r = v[i];
    r.No = i + 1;
    for (int j = 0; j < ndim; ++j) r.H[j] = u(-40, 40);
    for (double& g : r.Geom) g = u(-18000, 18000) / 100.;
    const int e = u(-4, 3);  // six significant digits, exact decimal values
    r.I = e < 0 ? u(-99999, 999999) / std::pow(10., -e) : u(-99999, 999999) * std::pow(10., e);
    r.SigI = u(1, 999999) / 1000.;
    r.ISc = u(1, 9);
    r.ITw = u(1, 3);
    r.IFlag = u(0, 1);
    r.Bg = u(0, 99999) / 10.;
    r.SigBg = u(0, 9999) / 100.;
    r.Tbar = u(0, 99999) / 10000.;
    for (double& d : r.DirCos) d = u(-10000, 10000) / 10000.;
    r.Trans = u(0, 10000) / 10000.;
    r.Run = u(1, 3);
    r.FrameInRun = u(1, 50);
  }
  return v;
}

std::vector<M90Refl> SampleM90(int n, int ndim, int seed) {
  std::mt19937 rng(seed);
  auto u = [&](int lo, int hi) { return lo + static_cast<int>(rng() % (hi - lo + 1)); };
  std::vector<M90Refl> v(n);
  for (auto& r : v) {
    for (int j = 0; j < ndim; ++j) r.H[j] = u(-60, 60);
    r.I = u(-99999, 9999999) / 10.;
    r.SigI = u(1, 999999) / 10.;
    r.ISc = u(1, 5);
    r.ITw = u(1, 2);
    r.ICull = u(0, 1);
    r.Tbar = u(0, 99999) / 10000.;
    for (double& d : r.DirCos) d = u(-10000, 10000) / 10000.;
    r.Trans = u(0, 10000) / 10000.;
    r.FrameInRun = u(0, 999);
    r.Run = u(0, 4);
  }
  return v;
}

// Keywords of the M95 header and a value that differs from each default.
const std::map<std::string, std::string> kM95Special = {
    {"sourcefile", "/data/x ray/run1.hkl"},
    {"ndim95", "5"},
    {"cell", "8.3992 8.1627 11.8119 90 90.5 90"},
    {"cellesd", "0.001 0.002 0.003 0 0.01 0"},
    {"commcell", "8.4 8.2 11.8 90 90 90"},
    {"commcellesd", "0.1 0.2 0.3 0.4 0.5 0.6"},
    {"trcell", "16.8 8.2 11.8 90 90 90"},
    {"ormat", "0.1 0 0 0 0.12 0 0 0 -0.085"},
    {"gauss", "8 8 12"},
    {"qvec", "0 0.16604 0"},
    {"commqvec", "0 0.5 0"},
    {"face", "1 0 0 0.05"},
    {"trmat", "1 0 0 0 1 0 0 0 1"},
    {"mmax", "3"},
    {"run", "100 0 250"},
    {"scfrlist", "1.01 0.98 1.2e-3"},
    {"sphlist", "0.5 -0.25"},
    {"filedate", "06/12/2026"},
    {"filetime", "07:45"},
    {"format", "(i8,5i4,4f7.2,2e15.6,f10.3,3i4/2e15.6,8f8.4,i8,2f10.5)"},
    {"incspectfile", "spectrum.dat"},
    {"insparfile", "inst.prm"},
    {"pgave", "mmm"},
};
const char* const kM95Keys =
    "sourcefile difcode corrlp corrabs nref ndim95 lambda radtype datcolltemp cell qvec mi "
    "radius face ormat trmat mmax diffsat gauss commcell commqvec trcell filedate filetime "
    "format twread monangle polarization perfmono nalpha kalpha1 kalpha2 kalphar toftth "
    "tofjason tofdifc tofdifb tofdifa tofzero tofct tofat tofzerot tofce tofzeroe tofwcross "
    "toftcross tofsigq tofsig2 tofsig1 tofsig0 tofgam2 tofgam1 tofgam0 tofalfa0 tofalfa1 "
    "tofbeta0 tofbeta1 tofbetaq tofalfa0t tofalfa1t tofbeta0t tofbeta1t tofalfa0e tofalfa1e "
    "tofbeta0e tofbeta1e nlines scmax correspond scale edoffset edslope edtth pwdmethod hklf5 "
    "incspectfile insparfile cellesd commcellesd imponlysat alphagmono betagmono run framegr "
    "cutminave cutmaxave nrefmaxave spheven sphodd scfrlist sphlist pgave flimcullave "
    "xddircos useexpcorr magfield magpol magpolplus magpolminus scfrmethod delmi";
const char* const kM90Keys =
    "lambda radtype lpfactor nalpha monangle kalpha1 kalpha2 kalphar datcolltemp dattype nref "
    "flimprint flimcull indslowest indfastest dataave addcentrsymm sigimethod multave obslim "
    "scalelim diffscales scnoscheme norefitems perfmono toftth tofjason tofdifc tofdifb "
    "tofdifa tofzero tofct tofat tofzerot tofce tofzeroe tofwcross toftcross tofsigq tofsig2 "
    "tofsig1 tofsig0 tofgam2 tofgam1 tofgam0 tofalfa0 tofalfa1 tofbeta0 tofbeta1 tofbetaq "
    "tofalfa0t tofalfa1t tofbeta0t tofbeta1t tofalfa0e tofalfa1e tofbeta0e tofbeta1e edoffset "
    "edslope edtth pwdmethod hklf5 useincspect eformat91 alphagmono betagmono avesigwt "
    "xddircos magfield magpol magpolplus magpolminus sctom90";

bool HasKeyLine(const std::string& text, const std::string& key) {
  std::istringstream s(text);
  std::string line;
  while (std::getline(s, line)) {
    auto w = SplitWords(line);
    if (!w.empty() && w[0] == key) return true;
  }
  return false;
}

}  // namespace

// Every keyword is recognised, survives a write and a read, and a second write
// is byte-identical to the first; values on two blocks stay apart.
TEST_F(ReflFiles, EveryHeaderKeywordRoundTrips) {
  for (int kind = 0; kind < 2; ++kind) {
    const bool m95 = kind == 0;
    std::string text = m95 ? "refblock first\n" : "datblock first\n";
    const std::vector<std::string> keys = SplitWords(m95 ? kM95Keys : kM90Keys);
    for (const auto& k : keys) {
      auto it = kM95Special.find(k);
      std::string v = m95 && it != kM95Special.end() ? it->second
                      : k == "eformat91"             ? "1"
                      : k == "scnoscheme"            ? "1 2 2 3"
                                                     : "7";
      text += (k == "lambda" ? "LAMBDA" : k) + " " + v + "\n";  // keywords ignore case
    }
    text += m95 ? "refblock\nlambda 1.54184\nend\n" : "datblock second\nlambda 0.71073\nend\n";
    const std::string f1 = Path("a"), f2 = Path("b"), f3 = Path("c");
    WriteText(f1, text);
    ASSERT_EQ(m95 ? iom95(kIoRead, f1) : iom90(kIoRead, f1), 0) << Struct.Refl.LastError;
    EXPECT_TRUE(Struct.Refl.Notes.empty()) << Struct.Refl.Notes.front();
    const ReflData first = Struct.Refl;
    ASSERT_EQ(m95 ? iom95(kIoWrite, f2) : iom90(kIoWrite, f2), 0);
    const std::string written = ReadAll(f2);
    for (const auto& k : keys) EXPECT_TRUE(HasKeyLine(written, k)) << k << " not written";
    Struct.Refl = ReflData{};
    ASSERT_EQ(m95 ? iom95(kIoRead, f2) : iom90(kIoRead, f2), 0);
    if (m95) {
      ASSERT_EQ(Struct.Refl.M95.size(), 2u);
      EXPECT_TRUE(Struct.Refl.M95 == first.M95);
      EXPECT_EQ(Struct.Refl.M95[0].RunFrames, (std::vector<int>{100, 0, 250}));
      EXPECT_EQ(Struct.Refl.M95[0].SourceFile, "/data/x ray/run1.hkl");
      EXPECT_EQ(Struct.Refl.M95[1].Lambda, 1.54184);
      EXPECT_EQ(Struct.Refl.M95[1].NDim95, 3);
    } else {
      ASSERT_EQ(Struct.Refl.M90.size(), 2u);
      EXPECT_TRUE(Struct.Refl.M90 == first.M90);
      EXPECT_EQ(Struct.Refl.M90[0].Lambda, 7.);
      EXPECT_EQ(Struct.Refl.M90[1].Name, "second");
      EXPECT_EQ(Struct.Refl.M90[1].Lambda, 0.71073);
    }
    ASSERT_EQ(m95 ? iom95(kIoWrite, f3) : iom90(kIoWrite, f3), 0);
    EXPECT_EQ(ReadAll(f3), written);
  }
}

// A file without values gives the defaults of the M90 header.
TEST_F(ReflFiles, M90DefaultsAndMissingFile) {
  WriteText(Path("d.m90"), "datblock only\nend\n");
  ASSERT_EQ(iom90(kIoRead, Path("d.m90")), 0);
  ASSERT_EQ(Struct.Refl.M90.size(), 1u);
  M90Block only;  // every value not in the file keeps its default
  only.Name = "only";
  EXPECT_TRUE(Struct.Refl.M90[0] == only);
  // A missing file leaves the defaults; a one-block default file has only what must be written.
  Struct.Refl.M90[0].Lambda = 9.;
  ASSERT_EQ(iom90(kIoRead, Path("none.m90")), 0);
  ASSERT_EQ(Struct.Refl.M90.size(), 1u);
  EXPECT_TRUE(Struct.Refl.M90[0] == M90Block{});
  ASSERT_EQ(iom95(kIoRead, Path("none.m95")), 0);
  ASSERT_EQ(Struct.Refl.M95.size(), 1u);
  EXPECT_TRUE(Struct.Refl.M95[0] == M95Block{});
  EXPECT_EQ(M90HeaderText({M90Block{}}), "datblock\nnref         0\nend\n");
}

// A value that does not convert is skipped with a note naming file, line and
// text; the records after it are read.
TEST_F(ReflFiles, BadHeaderValueIsSkipped) {
  WriteText(Path("h.m90"),
            "datblock A\nlambda 1.5x\nradtype 2\nobslim\nmystery 3\nindslowest 1 2\n"
            "eformat91 2\nend\n");
  ASSERT_EQ(iom90(kIoRead, Path("h.m90")), 0);
  const M90Block& b = Struct.Refl.M90[0];
  EXPECT_EQ(b.Lambda, kUnsetReal);
  EXPECT_EQ(b.RadType, 2);
  EXPECT_EQ(b.ObsLim, 3.);
  EXPECT_EQ(b.IndSlowest, 3);
  EXPECT_EQ(b.EFormat91, 0);
  ASSERT_EQ(Struct.Refl.Notes.size(), 5u);
  EXPECT_NE(Struct.Refl.Notes[0].find("h.m90, line 2"), std::string::npos) << Struct.Refl.Notes[0];
  EXPECT_NE(Struct.Refl.Notes[0].find("lambda 1.5x"), std::string::npos);
  EXPECT_NE(Struct.Refl.Notes[2].find("unknown keyword"), std::string::npos);
}

// A header without "end", or with a "data" line inside, fails and leaves the
// headers in memory as they were.
TEST_F(ReflFiles, BrokenHeaderChangesNothing) {
  Struct.Refl.M90.assign(2, M90Block{});
  Struct.Refl.M90[1].Name = "kept";
  const auto before = Struct.Refl.M90;
  const std::pair<const char*, const char*> cases[] = {
      {"datblock x\nlambda 1\n", "line 2: unexpected end"},
      {"datblock x\ndata\n", "line 2: \"data\" line inside the header"},
      {"", "line 0: unexpected end"}};
  for (const auto& [text, what] : cases) {
    WriteText(Path("b.m90"), text);
    EXPECT_NE(iom90(kIoRead, Path("b.m90")), 0);
    EXPECT_NE(Struct.Refl.LastError.Text().find(what), std::string::npos) << Struct.Refl.LastError;
    EXPECT_NE(Struct.Refl.LastError.Text().find("b.m90"), std::string::npos);
    EXPECT_TRUE(Struct.Refl.M90 == before);
  }
}

// Records of NDim 3 to 6 with runs and both states of the correction flag:
// values read back exactly and a second write is byte-identical.
TEST_F(ReflFiles, M95RecordsRoundTrip) {
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> refl;
  for (int ndim = 3; ndim <= 6; ++ndim) {
    M95Block b;
    b.NDim95 = ndim;
    b.RunFrames = {50, 0, 50, 50};
    b.UseExpCorr = ndim % 2;
    for (int i = 0; i < 3 * (ndim - 3); ++i) b.QVec.push_back(0.1 * (i + 1));
    blocks.push_back(b);
    refl.push_back(SampleM95(300, ndim, ndim));
    for (auto& r : refl.back()) r.Run = r.Run == 2 ? 4 : r.Run;  // run 2 has no frames
  }
  ASSERT_EQ(WriteM95File(Path("r.m95"), blocks, refl), 0) << Struct.Refl.LastError;
  std::vector<M95Block> b2;
  std::vector<std::vector<M95Refl>> r2;
  ASSERT_EQ(ReadM95File(Path("r.m95"), b2, r2), 0) << Struct.Refl.LastError;
  ASSERT_EQ(r2.size(), 4u);
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(b2[k].NRef, 300);
    ASSERT_EQ(r2[k].size(), refl[k].size());
    for (size_t i = 0; i < refl[k].size(); ++i)
      ASSERT_TRUE(r2[k][i] == refl[k][i]) << k << " " << i;
  }
  ASSERT_EQ(WriteM95File(Path("s.m95"), b2, r2), 0);
  EXPECT_EQ(ReadAll(Path("s.m95")), ReadAll(Path("r.m95")));
  // One modulation vector: four i4 index fields after the serial number.
  ReflIn in;
  ASSERT_EQ(OpenRefBlockM95(in, Path("r.m95"), 2), 0);
  std::string_view line;
  ASSERT_TRUE(in.NextLine(line));
  const M95Refl& r0 = refl[1][0];
  for (int j = 0; j < 4; ++j)
    EXPECT_EQ(std::stoi(std::string(line.substr(8 + 4 * j, 4))), r0.H[j]) << line;
  EXPECT_EQ(std::stod(std::string(line.substr(24, 7))), r0.Geom[0]);
  // A fifth block does not exist.
  ReflIn none;
  EXPECT_NE(OpenRefBlockM95(none, Path("r.m95"), 5), 0);
  EXPECT_FALSE(none.IsOpen());
  EXPECT_NE(Struct.Refl.LastError.Text().find("no reflection block 5"), std::string::npos);
}

// Correction factors: zero reads as 1; without "useexpcorr" I and sigma are
// divided by the product on reading and multiplied on writing.
TEST_F(ReflFiles, M95CorrectionFactors) {
  auto record = [](const char* ints, const char* c1, const char* c2) {
    return std::string(
               "       1   1   2   3  10.00   5.00   0.00   0.00   0.120000E+04"
               "   0.300000E+02    12.000") +
           ints + "\n" +
           "   0.000000E+00   0.000000E+00  0.0000  0.0000  0.0000  0.0000  0.0000  0.0000"
           "  0.0000  0.0000      12" +
           c1 + c2 + "\n";
  };
  struct Case {
    const char *ints, *c1, *c2;
    int expcorr;
    double i, s, f1, f2;
  } cases[] = {{"   0   0   0", "   0.00000", "   0.00000", 0, 1200., 30., 1., 1.},
               {"   1   1   0", "   2.00000", "   3.00000", 0, 200., 5., 2., 3.},
               {"   1   1   0", "   2.00000", "   3.00000", 1, 1200., 30., 2., 3.},
               {"   1   1   0", "  -1.00000", "   4.00000", 0, 300., 7.5, 1., 4.}};
  for (const auto& c : cases) {
    const std::string text = record(c.ints, c.c1, c.c2);
    WriteText(Path("c.m95"), "end\ndata\n" + text);
    M95Block b;
    b.UseExpCorr = c.expcorr;
    ReflIn in;
    ASSERT_EQ(OpenRefBlockM95(in, Path("c.m95"), 1), 0);
    M95Refl r, after;
    int iend = 0;
    ASSERT_EQ(DRGetReflectionFromM95(in, b, r, iend), 0) << Struct.Refl.LastError;
    EXPECT_EQ(iend, 0);
    EXPECT_DOUBLE_EQ(r.I, c.i) << c.c1 << c.c2;
    EXPECT_DOUBLE_EQ(r.SigI, c.s);
    EXPECT_EQ(r.Corr[0], c.f1);
    EXPECT_EQ(r.Corr[1], c.f2);
    EXPECT_EQ(r.ISc, 1);  // 0 reads as 1
    EXPECT_EQ(r.ITw, 1);
    after = r;
    ASSERT_EQ(DRGetReflectionFromM95(in, b, after, iend), 0);
    EXPECT_EQ(iend, 1);
    EXPECT_TRUE(after == r);  // unchanged at the end of the block
    if (c.f1 == 2.) {         // factors as written: the record comes back unchanged
      ReflOut out;
      ASSERT_EQ(out.Open(Path("w.m95")), 0);
      ASSERT_EQ(DRPutReflectionToM95(out, b, r), 0);
      ASSERT_EQ(out.Commit(), 0);
      EXPECT_EQ(ReadAll(Path("w.m95")), text);
    }
  }
}

TEST_F(ReflFiles, FramesToRuns) {
  const std::vector<int> runs = {10, 0, 5, 20};
  struct Case {
    long long frame;
    int run;
    double in_run;
  } cases[] = {{1, 1, 1},  {10, 1, 10}, {11, 3, 1},  {15, 3, 5},
               {16, 4, 1}, {35, 4, 20}, {40, 4, 25},  // beyond the last run
               {0, 1, 0}};
  for (const auto& c : cases) {
    int run;
    double f;
    FrameToRun(runs, c.frame, run, f);
    EXPECT_EQ(run, c.run) << c.frame;
    EXPECT_EQ(f, c.in_run) << c.frame;
    EXPECT_EQ(RunToFrame(runs, run, f), c.frame);
  }
  int run;
  double f;
  FrameToRun({}, 7, run, f);
  EXPECT_EQ(run, 1);
  EXPECT_EQ(f, 7.);
  FrameToRun({0, 4}, 2, run, f);
  EXPECT_EQ(run, 2);
  EXPECT_EQ(f, 2.);
}

// Two data blocks: two "datblock" records, two "data" lines, each block read
// from its own position; NDim 4 records begin with four index fields.
TEST_F(ReflFiles, M90TwoBlocksAndModulatedIndices) {
  Struct.Basic.Phase[0].NDim = 4;
  std::vector<M90Block> blocks(2);
  blocks[0].Name = "xray";
  blocks[1].Name = "neutron";
  blocks[1].RadType = 2;
  for (auto& b : blocks) b.NDim = 4;
  std::vector<std::vector<M90Refl>> refl = {SampleM90(500, 4, 1), SampleM90(300, 4, 2)};
  ASSERT_EQ(WriteM90File(Path("t.m90"), blocks, refl), 0) << Struct.Refl.LastError;
  const std::string text = ReadAll(Path("t.m90"));
  int datblock = 0, data = 0;
  std::istringstream s(text);
  std::string line;
  while (std::getline(s, line)) {
    auto w = SplitWords(line);
    if (w.empty()) continue;
    datblock += w[0] == "datblock";
    data += w[0] == "data";
  }
  EXPECT_EQ(datblock, 2);
  EXPECT_EQ(data, 2);
  EXPECT_FALSE(HasKeyLine(text, "eformat91"));

  std::vector<M90Block> b2;
  std::vector<std::vector<M90Refl>> r2;
  ASSERT_EQ(ReadM90File(Path("t.m90"), b2, r2), 0) << Struct.Refl.LastError;
  ASSERT_EQ(r2.size(), 2u);
  EXPECT_TRUE(r2[0] == refl[0]);
  EXPECT_TRUE(r2[1] == refl[1]);
  EXPECT_EQ(b2[1].NRef, 300);

  ReflIn in;
  ASSERT_EQ(OpenDatBlockM90(in, Path("t.m90"), 2), 0);
  std::string_view l;
  ASSERT_TRUE(in.NextLine(l));
  in.UnreadLine();
  for (int j = 0; j < 4; ++j)
    EXPECT_EQ(std::stoi(std::string(l.substr(4 * j, 4))), refl[1][0].H[j]);
  EXPECT_EQ(std::stod(std::string(l.substr(16, 9))), refl[1][0].I);
  M90Refl r;
  int iend = 0, n = 0;
  while (true) {
    ASSERT_EQ(DRGetReflectionFromM90(in, b2[1], r, iend), 0);
    if (iend) break;
    ++n;
  }
  EXPECT_EQ(n, 300);
  EXPECT_EQ(ReadAll(Path("t.m90")), text);
}

// Intensities that do not fit f9.1 switch the block to the wide record.
TEST_F(ReflFiles, M90WideFormatWhenNeeded) {
  std::vector<M90Block> blocks(2);
  std::vector<std::vector<M90Refl>> refl = {SampleM90(20, 3, 3), SampleM90(20, 3, 4)};
  for (auto& r : refl[1]) r.I = std::round(r.I);  // e15.6 keeps six significant digits
  refl[1][5].I = 1.23457e8;
  refl[1][6].SigI = -1.5e-3;
  ASSERT_EQ(WriteM90File(Path("w.m90"), blocks, refl), 0);
  std::vector<M90Block> b2;
  std::vector<std::vector<M90Refl>> r2;
  ASSERT_EQ(ReadM90File(Path("w.m90"), b2, r2), 0) << Struct.Refl.LastError;
  EXPECT_EQ(b2[0].EFormat91, 0);
  EXPECT_EQ(b2[1].EFormat91, 1);
  EXPECT_TRUE(r2 == refl);
  // Written through the plain record, such a value is refused, not cut.
  ReflOut out;
  ASSERT_EQ(out.Open(Path("x.m90")), 0);
  EXPECT_NE(DRPutReflectionToM90(out, M90Block{}, refl[1][5]), 0);
  EXPECT_NE(Struct.Refl.LastError.Text().find("does not fit"), std::string::npos);
}

// A bad record names file, line and text; the caller's data and the file on
// disk stay as they were; a failed write leaves no temporary file behind.
TEST_F(ReflFiles, BadRecordsChangeNothing) {
  std::vector<M90Block> blocks(1);
  std::vector<std::vector<M90Refl>> refl = {SampleM90(10, 3, 5)};
  ASSERT_EQ(WriteM90File(Path("g.m90"), blocks, refl), 0);
  const std::string good = ReadAll(Path("g.m90"));
  std::string text = good;
  const size_t data = text.find("data\n") + 5;
  const size_t third = text.find('\n', text.find('\n', data) + 1) + 1;  // 3rd record
  text[third + 2] = 'x';
  WriteText(Path("bad.m90"), text);
  std::vector<M90Block> b2(3);
  std::vector<std::vector<M90Refl>> r2(1, std::vector<M90Refl>(2));
  const auto b_before = b2;
  const auto r_before = r2;
  ASSERT_NE(ReadM90File(Path("bad.m90"), b2, r2), 0);
  EXPECT_NE(Struct.Refl.LastError.Text().find("bad.m90, line 7"), std::string::npos)
      << Struct.Refl.LastError;
  EXPECT_NE(Struct.Refl.LastError.Text().find("columns 1-4"), std::string::npos)
      << Struct.Refl.LastError;
  EXPECT_TRUE(b2 == b_before);
  EXPECT_TRUE(r2 == r_before);

  // Structural faults of the reflection part.
  const std::pair<std::string, const char*> cases[] = {
      {good + "data\n", "header describes fewer blocks"},
      {"datblock\nend\nstray\n", "a \"data\" line expected"}};
  for (const auto& [t, what] : cases) {
    WriteText(Path("s.m90"), t);
    EXPECT_NE(ReadM90File(Path("s.m90"), b2, r2), 0);
    EXPECT_NE(Struct.Refl.LastError.Text().find(what), std::string::npos) << Struct.Refl.LastError;
  }
  // M95: the second line of the last record is missing.
  std::vector<std::vector<M95Refl>> r95 = {SampleM95(3, 3, 9)};
  ASSERT_EQ(WriteM95File(Path("m.m95"), {M95Block{}}, r95), 0);
  std::string t95 = ReadAll(Path("m.m95"));
  t95.erase(t95.rfind('\n', t95.size() - 2) + 1);
  WriteText(Path("m.m95"), t95);
  std::vector<M95Block> b95;
  std::vector<std::vector<M95Refl>> rr95;
  EXPECT_NE(ReadM95File(Path("m.m95"), b95, rr95), 0);
  EXPECT_NE(Struct.Refl.LastError.Text().find("incomplete"), std::string::npos)
      << Struct.Refl.LastError;

  // A value that does not fit its field stops the write; the old file stays.
  refl[0][9].DirCos[2] = 12345.;
  EXPECT_NE(WriteM90File(Path("g.m90"), blocks, refl), 0);
  EXPECT_EQ(ReadAll(Path("g.m90")), good);
  size_t files = FilesInDir();
  EXPECT_EQ(files, 4u);  // g, bad, s, m: no temporary left
}

// iom90 / iom95 writing replace the header and keep the reflection part.
TEST_F(ReflFiles, HeaderRewriteKeepsReflections) {
  std::vector<M90Block> blocks(1);
  blocks[0].Name = "one";
  std::vector<std::vector<M90Refl>> refl = {SampleM90(50, 3, 6)};
  ASSERT_EQ(WriteM90File(Path("k.m90"), blocks, refl), 0);
  ASSERT_EQ(iom90(kIoRead, Path("k.m90")), 0);
  Struct.Refl.M90[0].Lambda = 1.54056;
  Struct.Refl.M90[0].ObsLim = 2.;
  ASSERT_EQ(iom90(kIoWrite, Path("k.m90")), 0);
  std::vector<M90Block> b2;
  std::vector<std::vector<M90Refl>> r2;
  ASSERT_EQ(ReadM90File(Path("k.m90"), b2, r2), 0);
  EXPECT_EQ(b2[0].Lambda, 1.54056);
  EXPECT_EQ(b2[0].ObsLim, 2.);
  EXPECT_TRUE(r2 == refl);
}

// A reflection block kept in the M90 record format reads through "format".
TEST_F(ReflFiles, M95BlockInM90Format) {
  M95Block b;
  b.NDim95 = 4;
  b.Format = M90RecordFormat(4, false);
  std::vector<std::vector<M95Refl>> refl(1);
  for (const auto& u : SampleM90(30, 4, 8)) {
    M95Refl r;
    std::copy(u.H, u.H + kReflMaxNDim, r.H);
    r.I = u.I;
    r.SigI = u.SigI;
    r.ISc = u.ISc;
    r.ITw = u.ITw;
    r.IFlag = u.ICull;
    r.Tbar = u.Tbar;
    std::copy(u.DirCos, u.DirCos + 6, r.DirCos);
    r.Trans = u.Trans;
    r.FrameInRun = u.FrameInRun;
    r.Run = u.Run == 0 ? 1 : static_cast<int>(u.Run);
    r.No = 0;
    refl[0].push_back(r);
  }
  ASSERT_EQ(WriteM95File(Path("f.m95"), {b}, refl), 0) << Struct.Refl.LastError;
  std::vector<M95Block> b2;
  std::vector<std::vector<M95Refl>> r2;
  ASSERT_EQ(ReadM95File(Path("f.m95"), b2, r2), 0) << Struct.Refl.LastError;
  EXPECT_TRUE(r2 == refl);
  b.Format = "(3i4,2f8.2)";
  ASSERT_NE(WriteM95File(Path("f.m95"), {b}, refl), 0);
  EXPECT_NE(Struct.Refl.LastError.Text().find("not supported"), std::string::npos);
}

TEST_F(ReflFiles, CompleteAndSetBasicFromBasicData) {
  Struct.Basic.Phase[0].NDim = 5;
  Struct.Basic.Phase[0].Cell[0] = 8.3992;
  Struct.Basic.DatBlock.emplace_back();
  Struct.Basic.DatBlock[0].Name = "Mo";
  Struct.Basic.DatBlock[0].Lambda = 0.71073;
  Struct.Basic.Phase[0].Qi = {{0., 0.16604, 0.}, {0.5, 0., 0.25}};
  M95Block b95;
  CompleteM95(b95, 1);
  EXPECT_EQ(b95.QVec, (std::vector<double>{0., 0.16604, 0., 0.5, 0., 0.25}));
  EXPECT_EQ(b95.Lambda, 0.71073);
  EXPECT_EQ(b95.KAlpha1, 0.71073);
  EXPECT_EQ(b95.RadType, 1);
  EXPECT_EQ(b95.Cell[0], 8.3992);
  b95.Lambda = 1.54184;  // set values are kept
  b95.NDim95 = 5;
  b95.PwdMethod = 1;
  CompleteM95(b95, 1);
  EXPECT_EQ(b95.Lambda, 1.54184);
  M90Block b90;
  SetBasicM90FromM95(b90, b95);
  EXPECT_EQ(b90.Lambda, 1.54184);
  EXPECT_EQ(b90.NDim, 5);
  EXPECT_EQ(b90.DatType, 2);
  M90Block c;
  CompleteM90(c, 1);
  EXPECT_EQ(c.Name, "Mo");
  EXPECT_EQ(c.Lambda, 0.71073);
  EXPECT_EQ(c.NDim, 5);
  ASSERT_EQ(NastavM90(2), 0);
  ASSERT_EQ(Struct.Refl.M90.size(), 2u);
  EXPECT_EQ(Struct.Refl.M90[0].Lambda, 0.71073);
  EXPECT_EQ(Struct.Refl.M90[1].Lambda, kUnsetReal);  // no second data block in the basic data
  EXPECT_NE(NastavM90(0), 0);
}
