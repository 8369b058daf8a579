// Command blocks: the reader (Najdi, NactiCommon), the writers and the
// storage in M50 / fln.l51.
#include "model/keys.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "app/toolkit_script.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "support/temp_dir.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

// A small table shaped like the tools' tables.
constexpr KeyDef kDefs[] = {{"print", -2},
                            {"cycles", 10},
                            {"convchck", 1},
                            {"convcycl", 1},
                            {"stat", 1},
                            {"damp", 1.0},
                            {"convlim", 0.05},
                            {"diff", 1e-5},
                            {"statlim", 0.1},
                            {"#r10", 0},
                            {"fixed", 0, KeyRepeat},
                            {"equation", 0, KeyRepeat},
                            {"dontuse", 0, KeyRepeat},
                            {"useonly", 0, KeyRepeat},
                            {"randomize", 0},
                            {"#c116", 0}};
constexpr int kInt = 5, kReal = 5;
enum {
  Print = 1,
  Cycles,
  ConvChck,
  ConvCycl,
  Stat,
  Damp,
  ConvLim,
  Diff,
  StatLim,
  R10,
  Fixed,
  Equation,
  DontUse,
  UseOnly,
  Randomize
};

KeyTable Table() {
  return MakeKeyTable(kDefs, kInt, kReal);
}

struct Special {
  int K;
  std::string Text;
  bool Disabled;
};

// Reads the first block named `name` of `text`; returns the special keywords met.
struct ReadResult {
  int Found = 0;
  int Rc = 0;
  bool Finished = false;
  std::vector<Special> Specials;
  KeyTable T = Table();
  std::vector<std::string> Listing;
};

class KeysTest : public ::testing::Test {
 protected:
  FeScriptToolkit tk;
  // Headers of the messages shown, and the lines of each.
  std::vector<std::string> Headers() const {
    std::vector<std::string> h;
    for (const auto& r : tk.Log) h.push_back(r.Header);
    return h;
  }
  const std::vector<std::string>& LastLines() const { return tk.Log.back().Lines; }
  void SetUp() override {
    FeSetToolkit(&tk);
    Struct.KeyPhases.PhaseNames.clear();
    Sess.KPhase = 1;
    Sess.BatchMode = false;
  }
  void TearDown() override { FeSetToolkit(nullptr); }

  ReadResult Read(const std::string& text, KeyBang bang = KeyBang::Skip,
                  std::string_view name = "refine", bool echo = false) {
    ReadResult r;
    KeyUnit u;
    KeyOpenText(u, "test.l51", text);
    u.Bang = bang;
    u.Echo = echo;
    u.Listing = [&r](const std::string& l) { r.Listing.push_back(l); };
    Najdi(u, name, r.Found);
    if (!r.Found) return r;
    for (int k = 0;;) {
      r.Rc = NactiCommon(u, r.T, k);
      if (r.Rc || k == 0) break;
      r.Specials.push_back({k, u.Text, u.Disabled});
    }
    r.Finished = u.Finished;
    return r;
  }
};

// ---- reading --------------------------------------------------------------------

TEST_F(KeysTest, SimpleValuesAbbreviationsAndDefaults) {
  auto r =
      Read("refine\n  cyc 5 damp 0.5 print 1\n  conlim 0.01\n stat 0 statl 0.25\nend refine\n");
  EXPECT_EQ(r.Found, 1);
  EXPECT_EQ(r.Rc, 0);
  EXPECT_TRUE(r.Finished);
  EXPECT_EQ(r.T.Int(Cycles), 5);
  EXPECT_EQ(r.T.Int(Print), 1);
  EXPECT_EQ(r.T.Int(Stat), 0);  // exact name beats "statlim"
  EXPECT_DOUBLE_EQ(r.T.Real(Damp), 0.5);
  EXPECT_DOUBLE_EQ(r.T.Real(StatLim), 0.25);
  EXPECT_DOUBLE_EQ(r.T.Real(ConvLim), 0.05);  // "conlim" is no abbreviation
  EXPECT_EQ(r.T.Int(ConvChck), 1);
  ASSERT_EQ(Headers().size(), 1u);
  EXPECT_EQ(Headers()[0], "unknown keyword : conlim");
}

TEST_F(KeysTest, WordErrorsAreReportedAndReadingGoesOn) {
  struct Case {
    const char* Body;
    const char* Header;  // the one message expected
    int Cycles;
    double Damp;
  } cases[] = {
      {"conv 3 cycles 4", "keyword : conv isn't unique", 4, 1.0},
      {"foo 1 2.5 cycles 4", "unknown keyword : foo", 4, 1.0},
      {"cycles 4\n cycles 7 damp 0.3", "duplicate occurrence of \"cycles\"", 4, 0.3},
      {"cycles x damp 0.3", "reading error of the keyword : cycles - \"x\" isn't an integer", 10,
       0.3},
      {"cycles 2.5 damp 0.3", "reading error of the keyword : cycles - \"2.5\" isn't an integer",
       10, 0.3},
      {"damp 1e999 cycles 3", "reading error of the keyword : damp - \"1e999\" isn't a real number",
       3, 1.0},
      {"cycles 3 damp", "reading error of the keyword : damp - its value is missing", 3, 1.0},
      {"cycles 3 #r10 1", "unknown keyword : #r10", 3, 1.0},
  };
  for (auto& c : cases) {
    tk.Log.clear();
    auto r = Read(std::string("refine\n") + c.Body + "\nend\n");
    SCOPED_TRACE(c.Body);
    EXPECT_EQ(r.Rc, 0);
    ASSERT_EQ(Headers().size(), 1u);
    EXPECT_EQ(Headers()[0], c.Header);
    EXPECT_EQ(r.T.Int(Cycles), c.Cycles);
    EXPECT_DOUBLE_EQ(r.T.Real(Damp), c.Damp);
    // The last line of every message names the file, the line and its text.
    ASSERT_FALSE(LastLines().empty());
    EXPECT_EQ(LastLines().back().rfind("file test.l51, line ", 0), 0u) << LastLines().back();
  }
  // The duplicate message carries its reminder and points at the second line.
  tk.Log.clear();
  Read("refine\ncycles 4\ncycles 7\nend\n");
  ASSERT_EQ(tk.Log.size(), 1u);
  EXPECT_EQ(LastLines(), (std::vector<std::string>{"remember that the first occurrence will be accepted",
                                                   "file test.l51, line 3: cycles 7"}));
}

TEST_F(KeysTest, EndCommentsAndEndOfFile) {
  // "end" inside a line ends the block at that word.
  auto r = Read("refine\ncycles 3 end damp 0.2\n");
  EXPECT_TRUE(r.Finished);
  EXPECT_EQ(r.Rc, 0);
  EXPECT_EQ(r.T.Int(Cycles), 3);
  EXPECT_DOUBLE_EQ(r.T.Real(Damp), 1.0);
  // Comment lines, blank lines, separators and "!" comments are skipped.
  r = Read("refine\n* damp 0.1\n# damp 0.2\n\n**** damp 0.3\n cycles 4 ! damp 0.4\nEND\n");
  EXPECT_EQ(r.T.Int(Cycles), 4);
  EXPECT_DOUBLE_EQ(r.T.Real(Damp), 1.0);
  EXPECT_TRUE(tk.Log.empty());
  // No "end": the block ends with a message and rc 1.
  r = Read("refine\ncycles 4\n");
  EXPECT_EQ(r.Rc, 1);
  EXPECT_EQ(r.T.Int(Cycles), 4);
  ASSERT_EQ(Headers().size(), 1u);
  EXPECT_EQ(Headers()[0], "EOF reached during reading of keywords.");
}

TEST_F(KeysTest, SpecialTextAndContinuations) {
  struct Case {
    const char* Body;
    const char* Text;
  } cases[] = {
      {"fixed xyz C1 C2\n  & C3 C4", "fixed xyz C1 C2 C3 C4"},
      {"cycles 3 fixed xyz C1", "fixed xyz C1"},
      {"equation x[C1]=a[C2]+\n -b[C3]", "equation x[C1]=a[C2]-b[C3]"},
      {"equation x[C1]=a[C2]-\n -b[C3]", "equation x[C1]=a[C2]+b[C3]"},
      {"equation x[C1]=a[C2]-\n +b[C3]", "equation x[C1]=a[C2]-+b[C3]"},
      {"equation x[C1]=a[C2]+\n b[C3]", "equation x[C1]=a[C2]+b[C3]"},
      {"equation x[C1]=a[C2]-\n* note\n\n & -b[C3]", "equation x[C1]=a[C2]+b[C3]"},
      {"fixed xyz C1 ! the rest\n& C2 ! more", "fixed xyz C1 C2"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Body);
    tk.Log.clear();
    auto r = Read(std::string("refine\n") + c.Body + "\ndamp 0.7\nend refine\n");
    ASSERT_EQ(r.Specials.size(), 1u);
    EXPECT_EQ(r.Specials[0].Text, c.Text);
    // The line after the special keyword is read as keywords, not text.
    EXPECT_DOUBLE_EQ(r.T.Real(Damp), 0.7);
    EXPECT_TRUE(r.Finished);
    EXPECT_TRUE(tk.Log.empty());
  }
  // A text ending in "-" does not swallow the "end" line.
  auto r = Read("refine\nequation a-\nend\nrefine\n");
  ASSERT_EQ(r.Specials.size(), 1u);
  EXPECT_EQ(r.Specials[0].Text, "equation a-");
  EXPECT_TRUE(r.Finished);
  EXPECT_EQ(r.Rc, 0);
}

TEST_F(KeysTest, SpecialKeywordsRepeatOnlyWhenDeclared) {
  auto r = Read("refine\nfixed xyz C1\nfixed u C2\nrandomize 5 0.1\nrandom 6 0.2\nend\n");
  ASSERT_EQ(r.Specials.size(), 3u);
  EXPECT_EQ(r.Specials[2].K, Randomize);
  EXPECT_EQ(r.Specials[2].Text, "randomize 5 0.1");
  ASSERT_EQ(Headers().size(), 1u);
  EXPECT_EQ(Headers()[0], "duplicate occurrence of \"random\"");
}

TEST_F(KeysTest, DisabledLinesInBothModes) {
  const std::string text = "refine\n!fixed xyz C1\n & C2\nfixed u C3\n!cycles 4\n  !end\nend\n";
  auto skip = Read(text, KeyBang::Skip);
  ASSERT_EQ(skip.Specials.size(), 1u);
  EXPECT_EQ(skip.Specials[0].Text, "fixed u C3");
  EXPECT_FALSE(skip.Specials[0].Disabled);
  auto keep = Read(text, KeyBang::Keep);
  ASSERT_EQ(keep.Specials.size(), 2u);
  EXPECT_EQ(keep.Specials[0].Text, "fixed xyz C1 C2");
  EXPECT_TRUE(keep.Specials[0].Disabled);
  EXPECT_FALSE(keep.Specials[1].Disabled);
  // A disabled value is not in force, and a disabled "end" ends nothing.
  EXPECT_EQ(keep.T.Int(Cycles), 10);
  EXPECT_TRUE(keep.Finished);
  EXPECT_EQ(keep.Rc, 0);
}

TEST_F(KeysTest, EchoBracketsKeywordLines) {
  auto r =
      Read("* comment\nrefine\n cycles 3\n* skipped\nend refine\n", KeyBang::Skip, "refine", true);
  const std::vector<std::string> expect = {"=>refine<=", "=> cycles 3<=", "=>end refine<="};
  EXPECT_EQ(r.Listing, expect);
}

TEST_F(KeysTest, BlockSelectionByPhase) {
  const std::string text =
      "refine\ncycles 1\nend refine\n"
      "fourier\nend fourier\n"
      "fourier Beta\nend fourier\n"
      "dist alpha\nend dist\n";
  Struct.KeyPhases.PhaseNames = {"Alpha", "Beta"};
  struct Case {
    int Phase;
    const char* Name;
    int Found;
    int Line;  // line after the header (0-based)
  } cases[] = {{1, "refine", 1, 1}, {2, "refine", 1, 1}, {1, "fourier", 1, 4}, {2, "fourier", 1, 6},
               {1, "DIST", 1, 8},   {2, "dist", 0, 9},   {1, "contour", 0, 9}};
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.Name) + " phase " + std::to_string(c.Phase));
    Sess.KPhase = c.Phase;
    KeyUnit u;
    KeyOpenText(u, "x", text);
    int found = -1;
    Najdi(u, c.Name, found);
    EXPECT_EQ(found, c.Found);
    EXPECT_EQ(u.Next, c.Line);
  }
  // One phase: a phase name in the header does not matter.
  Struct.KeyPhases.PhaseNames = {"Alpha"};
  Sess.KPhase = 1;
  KeyUnit u;
  KeyOpenText(u, "x", "fourier Other\nend\n");
  int found = 0;
  Najdi(u, "fourier", found);
  EXPECT_EQ(found, 1);
}

// ---- writing ---------------------------------------------------------------------

std::vector<std::string> LinesOf(const std::string& text) {
  KeyUnit u;
  KeyOpenText(u, "x", text);
  return u.Lines;
}

std::string TextOf(const std::vector<std::string>& lines) {
  std::string s;
  for (auto& l : lines) s += l + "\n";
  return s;
}

TEST_F(KeysTest, RewriteKeepsSpecialLinesAndReadsBack) {
  const std::string before =
      "fourier\nend fourier\n"
      "refine\n"
      "* user comment\n"
      "  cycles 5 damp 0.5 fixed xyz C1\n"
      "  & C2\n"
      "!fixed u C9\n"
      "  foo 3 print 1\n"
      "  equation x[C1]=y[C3]-\n"
      "  -y[C2]\n"
      "  convlim 0.02 end refine\n"
      "  stray line\n"
      "dist\nend dist\n";
  auto r0 = Read(before);
  KeyTable t = r0.T;
  t.SetInt(Cycles, 20);
  t.SetInt(Print, -2);  // back to its default: not written
  t.SetReal(Diff, 1e-7);
  tk.Log.clear();
  auto after = KeyRewriteBlock(LinesOf(before), "refine", t);
  const std::vector<std::string> expect = {
      "fourier",        "end fourier",
      "refine",         "  cycles 20 damp 0.5 convlim 0.02 diff 0.0000001",
      "* user comment", "  fixed xyz C1",
      "  & C2",         "!fixed u C9",
      "  foo 3",        "  equation x[C1]=y[C3]-",
      "  -y[C2]",       "end refine",
      "  stray line",   "dist",
      "end dist"};
  EXPECT_EQ(after, expect);
  auto r1 = Read(TextOf(after));
  for (int k = 1; k <= kInt + kReal; ++k) EXPECT_EQ(r1.T[k].Value, t[k].Value) << t[k].Name;
  ASSERT_EQ(r1.Specials.size(), r0.Specials.size());
  for (size_t i = 0; i < r0.Specials.size(); ++i)
    EXPECT_EQ(r1.Specials[i].Text, r0.Specials[i].Text);
  // Rewriting again with the values read changes nothing.
  EXPECT_EQ(KeyRewriteBlock(after, "refine", r1.T), after);
}

TEST_F(KeysTest, RewriteNeverChangesTheMeaningOfWhatItKeeps) {
  // Leftovers of a line whose items were removed must not turn into a
  // comment, a continuation or a block header, and a kept text ending in "-"
  // must not swallow the new values.
  struct Case {
    const char* Block;
    const char* Kept;  // the block's lines after rewriting, joined by "|"
  } cases[] = {
      {"refine\n  cycles!5 damp 0.5\nend\n", "refine|  cycles 20|end refine"},
      {"refine\ncycles 3 cycles 4 dist\nend\n", "refine|  cycles 20|end refine"},
      {"refine\ncycles 3 &x *y foo\nend\n", "refine|  cycles 20|  foo|end refine"},
      {"refine\nequation a-\nend\n", "refine|  cycles 20|equation a-|end refine"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Block);
    KeyTable t = Table();
    t.SetInt(Cycles, 20);
    auto once = KeyRewriteBlock(LinesOf(c.Block), "refine", t);
    std::string joined;
    for (auto& l : once) joined += (joined.empty() ? "" : "|") + l;
    EXPECT_EQ(joined, c.Kept);
    auto r = Read(TextOf(once));
    EXPECT_EQ(r.T.Int(Cycles), 20);
    EXPECT_DOUBLE_EQ(r.T.Real(Damp), 1.0);
    EXPECT_EQ(KeyRewriteBlock(once, "refine", r.T), once);
  }
}

TEST_F(KeysTest, RewriteAddsMissingBlockWithPhaseName) {
  Struct.KeyPhases.PhaseNames = {"Alpha", "Beta"};
  Sess.KPhase = 2;
  KeyTable t = Table();
  t.SetInt(Cycles, 3);
  auto out = KeyRewriteBlock(LinesOf("fourier\nend fourier\n"), "fourier", t);
  const std::vector<std::string> expect = {"fourier", "end fourier", "fourier Beta", "  cycles 3",
                                           "end fourier"};
  EXPECT_EQ(out, expect);
  out = KeyRewriteBlock(LinesOf(""), "refine", t);
  EXPECT_EQ(out.front(), "refine");  // never phase-specific
}

TEST_F(KeysTest, LongValueListsSplitBetweenItems) {
  std::vector<KeyDef> defs;
  std::vector<std::string> names;
  for (int i = 0; i < 40; ++i) names.push_back("longname" + std::to_string(i));
  for (auto& n : names) defs.push_back({n, 0.0});
  KeyTable t = MakeKeyTable(defs, 0, 40);
  std::mt19937_64 rng(7);
  for (int k = 1; k <= 40; ++k) {
    uint64_t bits = rng() & 0x7fefffffffffffffull;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    t.SetReal(k, k % 2 ? v : -1.0 / k);
  }
  auto lines = KeyValueLines(t);
  ASSERT_GT(lines.size(), 5u);
  for (auto& l : lines) {
    EXPECT_LE(l.size(), static_cast<size_t>(KeyLineMax)) << l;
    EXPECT_EQ(l.substr(0, 2), "  ");
    EXPECT_EQ(SplitWords(l).size() % 2, 0u) << l;  // whole items only
  }
  auto block = KeyRewriteBlock({}, "dist", t);
  KeyUnit u;
  KeyOpenText(u, "x", TextOf(block));
  int found = 0;
  Najdi(u, "dist", found);
  KeyTable back = MakeKeyTable(defs, 0, 40);
  int k = 0;
  ASSERT_EQ(NactiCommon(u, back, k), 0);
  EXPECT_EQ(k, 0);
  for (int i = 1; i <= 40; ++i) EXPECT_EQ(back.Real(i), t.Real(i)) << i;
}

TEST_F(KeysTest, SinglePrecisionTablesWriteFloatTexts) {
  KeyTable t = MakeKeyTable(kDefs, kInt, kReal, /*singleReal=*/true);
  t.SetReal(ConvLim, 0.01);
  t.SetReal(Damp, 0.7);
  EXPECT_EQ(KeyValueText(t, ConvLim), "0.01");
  EXPECT_EQ(KeyValueText(t, Diff), "0.00001");
  // Defaults are compared in single precision too: an unchanged 0.05 is not written.
  const std::vector<std::string> expect = {"  damp 0.7 convlim 0.01"};
  EXPECT_EQ(KeyValueLines(t), expect);
}

// ---- files -----------------------------------------------------------------------------

class KeysFileTest : public KeysTest {
 protected:
  test::TempDir tmp;
  const fs::path dir = tmp.Path();
  void SetUp() override {
    KeysTest::SetUp();
    Sess.fln = (dir / "struct").string();
  }
  void TearDown() override {
    Sess.fln.clear();
    KeysTest::TearDown();
  }
  static std::string Slurp(const std::string& p) { return test::TempDir::Read(p); }
  static void Put(const std::string& p, const std::string& s) { std::ofstream(p) << s; }
  std::vector<std::string> Files() const {
    std::vector<std::string> v;
    for (auto& e : fs::directory_iterator(dir)) v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }
};

const char kBasic[] = "Version Tarnwork\ntitle test\ncell 5 5 5 90 90 90\nend\n";

TEST_F(KeysFileTest, L51FromM50TailGetsDefaultBlocksAndM50FollowsIt) {
  std::vector<std::string> tail = {KeySeparator, "fourier", "  maptype 1", "end fourier"};
  ASSERT_EQ(KeysStoreL51(tail, false), 0);
  EXPECT_EQ(Slurp(L51FileName()), KeySeparator +
                                      "\nfourier\n  maptype 1\nend fourier\nrefine\nend refine\n"
                                      "dist\nend dist\ncontour\nend contour\n");
  Put(M50FileName(), std::string(kBasic) + "*****\nrefine\nold\nend refine\n");
  ASSERT_EQ(KeysRewriteM50(), 0);
  EXPECT_EQ(Slurp(M50FileName()),
            std::string(kBasic) + "*****\n" + Slurp(L51FileName()).substr(KeySeparator.size() + 1));
  // Two phases and the two-dimensional maps: per-phase defaults, one "refine".
  Struct.KeyPhases.PhaseNames = {"A", "B"};
  std::vector<std::string> lines;
  AddDefaultBlocks(lines, true);
  const std::vector<std::string> expect = {
      "refine",    "end refine",  "fourier", "end fourier", "fourier B", "end fourier",
      "dist",      "end dist",    "dist B",  "end dist",    "contour",   "end contour",
      "contour B", "end contour", "mod2d",   "end mod2d",   "mod2d B",   "end mod2d"};
  EXPECT_EQ(lines, expect);
}

TEST_F(KeysFileTest, MissingL51IsCreatedWhenM50IsWritten) {
  std::vector<std::string> tail;
  ASSERT_EQ(KeysTailForM50(tail, false), 0);
  EXPECT_TRUE(fs::exists(L51FileName()));
  EXPECT_EQ(tail.size(), 8u);
  EXPECT_EQ(tail[0], "refine");
  EXPECT_EQ(tail[1], "end refine");
}

TEST_F(KeysFileTest, BadM50IsLeftAlone) {
  const std::string bad = "Version Tarnwork\ncell 5 5 5 90 90 90\n";
  Put(M50FileName(), bad);
  ASSERT_EQ(KeysStoreL51({}, false), 0);
  const std::string l51 = Slurp(L51FileName());
  EXPECT_NE(KeysRewriteM50(), 0);
  ASSERT_FALSE(tk.Log.empty());
  EXPECT_EQ(tk.Log.back().Header, "Unexpected end of M50 file.");
  EXPECT_EQ(Slurp(M50FileName()), bad);
  // Replacing a block needs both files: neither changes.
  EXPECT_NE(KeysReplaceBlock({"refine", "  cycles 3", "end refine"}), 0);
  EXPECT_EQ(Slurp(M50FileName()), bad);
  EXPECT_EQ(Slurp(L51FileName()), l51);
  const std::vector<std::string> expect = {"struct.l51", "struct.m50"};
  EXPECT_EQ(Files(), expect);  // no temporary left behind
}

// Keyword lines merged into the stored block: a value replaces its old one
// (the default value is not written), a command is added once, the command of
// a keyword that may occur once is replaced, and every other line stays.
// Lines the reader refuses change nothing and are named with their line.
TEST_F(KeysFileTest, MergeChangesOnlyWhatTheEditNames) {
  Put(M50FileName(), std::string(kBasic) + "*****\n");
  ASSERT_EQ(KeysStoreL51({"refine", "  cycles 3 damp 0.5", "  ! kept as it is", "  fixed xyz Na1",
                          "  equation ai[Na1]=1-ai[Cl1]", "  randomize 1 0.1", "end refine"},
                         false),
            0);
  const KeyCheckSource src{"job.bat", 7, {}};
  std::vector<std::string> notes;
  ASSERT_EQ(KeysMergeBlock("refine",
                           {"cycles 10 stat 0", "fixed  XYZ na1", "fixed b Cl1", "randomize 2 0.2"},
                           Table(), src, notes),
            0);
  std::vector<std::string> block;
  ASSERT_EQ(KeysBlockLines("refine", block), 0);
  const std::vector<std::string> want = {"refine",
                                         "  stat 0 damp 0.5",
                                         "  ! kept as it is",
                                         "  fixed xyz Na1",
                                         "  equation ai[Na1]=1-ai[Cl1]",
                                         "  fixed b Cl1",
                                         "  randomize 2 0.2",
                                         "end refine"};
  EXPECT_EQ(block, want);
  EXPECT_NE(Slurp(M50FileName()).find("  fixed b Cl1\n  randomize 2 0.2\nend refine\n"),
            std::string::npos);
  const std::vector<std::string> said = {"cycles 10", "stat 0", "fixed  XYZ na1 (already there)",
                                         "fixed b Cl1", "randomize 2 0.2"};
  EXPECT_EQ(notes, said);

  const std::string l51 = Slurp(L51FileName()), m50 = Slurp(M50FileName());
  EXPECT_NE(KeysMergeBlock("refine", {"damp 0.7", "ncycles 20"}, Table(), src, notes), 0);
  ASSERT_FALSE(tk.Log.empty());
  EXPECT_EQ(tk.Log.back().Header, "unknown keyword : ncycles");
  EXPECT_EQ(LastLines().back(), "file job.bat, line 8: ncycles 20");
  EXPECT_EQ(Slurp(L51FileName()), l51);
  EXPECT_EQ(Slurp(M50FileName()), m50);
  EXPECT_EQ(KeysCheckBlock({"cycles 4", "ncycles 20", "end"}, Table(), src), 1);
}

TEST_F(KeysFileTest, WriteKeysUpdatesOnlyItsBlock) {
  ASSERT_EQ(KeysStoreL51({"dist", "  fullcoo 1", "end dist"}, false), 0);
  KeyTable t = Table();
  t.SetInt(Cycles, 7);
  ASSERT_EQ(WriteKeys("refine", t), 0);
  ASSERT_EQ(WriteKeys("refine", t), 0);  // idempotent
  EXPECT_EQ(Slurp(L51FileName()), KeySeparator +
                                      "\ndist\n  fullcoo 1\nend dist\nrefine\n  cycles 7\n"
                                      "end refine\nfourier\nend fourier\ncontour\nend contour\n");
}

TEST_F(KeysFileTest, CommandFilesCountAndMerge) {
  ASSERT_EQ(KeysStoreL51({"refine", "  cycles 3 dontuse hkl : h=2n", "  !useonly h0l : l=2n",
                          "  fix xyz C1", "  & C2", "  useonly hhl :", "  & l=2n+1", "end refine"},
                         false),
            0);
  KeyTable t = Table();
  ASSERT_EQ(MakeKeyWordFile("dontuse", "refine", t), 0);
  EXPECT_EQ(Slurp(KeyTmpFileName("dontuse")),
            "dontuse hkl : h=2n\n!useonly h0l : l=2n\nuseonly hhl : l=2n+1\n");
  ASSERT_EQ(MakeKeyWordFile("fix", "refine", t), 0);
  EXPECT_EQ(Slurp(KeyTmpFileName("fixed")), "fixed xyz C1 C2\n");
  EXPECT_NE(MakeKeyWordFile("cycles", "refine", t), 0);  // not a command keyword

  Put(KeyTmpFileName("equation"), "x[C1]=y[C1]\n#note\n!x[C2]=y[C2]\nz[C3]=0\n\nleft over\n");
  UpdateNumberOfCommands(t, DontUse);
  EXPECT_EQ(t[DontUse].NActive, 2);
  EXPECT_EQ(t[DontUse].NDisabled, 1);
  UpdateNumberOfCommands(t, Equation);
  EXPECT_EQ(t[Equation].NActive, 2);
  EXPECT_EQ(t[Equation].NDisabled, 1);
  UpdateNumberOfCommands(t, Randomize);  // no file
  EXPECT_EQ(t[Randomize].NActive, 0);

  std::vector<std::string> block = {"refine"};
  ASSERT_EQ(MergeFileToM50("dontuse", block), 0);
  ASSERT_EQ(MergeFileToM50("randomize", block), 0);
  const std::vector<std::string> expect = {"refine", "  dontuse hkl : h=2n",
                                           "  !useonly h0l : l=2n", "  useonly hhl : l=2n+1"};
  EXPECT_EQ(block, expect);
  EXPECT_FALSE(fs::exists(KeyTmpFileName("dontuse")));
}

TEST_F(KeysFileTest, DopisKeysAsksAndRewritesBothFiles) {
  Put(M50FileName(), std::string(kBasic) + KeySeparator + "\n");
  ASSERT_EQ(KeysStoreL51({}, false), 0);
  ASSERT_EQ(KeysRewriteM50(), 0);
  const std::string edited = (dir / "struct_refine_edit.tmp").string();
  const std::string m50Before = Slurp(M50FileName());
  bool changed = true;

  // Unchanged block: no question.
  Put(edited, "refine\nend refine\n");
  ASSERT_EQ(DopisKeys(edited, changed), 0);
  EXPECT_FALSE(changed);
  EXPECT_TRUE(tk.Of("yesno").empty());
  EXPECT_FALSE(fs::exists(edited));

  // Changed, answer no: nothing written.
  tk.Answers = {false};
  Put(edited, "refine\n  cycles 3\nend refine\n");
  ASSERT_EQ(DopisKeys(edited, changed), 0);
  EXPECT_FALSE(changed);
  EXPECT_EQ(tk.Of("yesno").size(), 1u);
  EXPECT_EQ(Slurp(M50FileName()), m50Before);

  // Answer yes: both files get the block, in place of the old one.
  tk.Answers = {true};
  Put(edited, "refine\n  cycles 3\nend refine\n");
  ASSERT_EQ(DopisKeys(edited, changed), 0);
  EXPECT_TRUE(changed);
  const std::string blocks =
      "refine\n  cycles 3\nend refine\nfourier\nend fourier\ndist\nend dist\ncontour\nend "
      "contour\n";
  EXPECT_EQ(Slurp(L51FileName()), KeySeparator + "\n" + blocks);
  EXPECT_EQ(Slurp(M50FileName()), std::string(kBasic) + KeySeparator + "\n" + blocks);
  KeyUnit u;
  ASSERT_EQ(KeyOpen(u, M50FileName()), 0);
  int found = 0;
  Najdi(u, "refine", found);
  KeyTable t = Table();
  int k = 0;
  ASSERT_EQ(NactiCommon(u, t, k), 0);
  EXPECT_EQ(t.Int(Cycles), 3);
  const std::vector<std::string> files = {"struct.l51", "struct.m50"};
  EXPECT_EQ(Files(), files);
}

}  // namespace
}  // namespace tarn
