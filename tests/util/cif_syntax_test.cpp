#include "util/cif_syntax.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/cif_text.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

TEST(CifSyntax, ValuesLoopsBlocksAndFrames) {
  const std::string text =
      "# comment\n"
      "data_one\n"
      "_a 1.5(2) # trailing comment\n"
      "_b 'O'Neil'\n"
      "_c \"a\"b c\"\n"
      "_d\n"
      ";first\n"
      "second ; line\n"
      ";\n"
      "_e ?\n"
      "_f a#b\n"
      "save_frame\n"
      "_x 1\n"
      "save_\n"
      "loop_\n"
      "_l.n _l.v\n"
      "A 1 B 'two words'\n"
      "C\n"
      ";\n"
      "text\n"
      ";\n"
      "DATA_Two\n"
      "_a 2\n";
  CifFile f;
  ErrorRecord e;
  ASSERT_EQ(CifParse(text, "t.cif", f, e), 0) << e;
  ASSERT_EQ(f.Blocks.size(), 2u);
  const CifBlock& b = f.Blocks[0];
  EXPECT_EQ(b.Name, "one");
  EXPECT_EQ(b.Find("_A")->Text, "1.5(2)");
  EXPECT_EQ(b.Find("_b")->Text, "O'Neil");
  EXPECT_EQ(b.Find("_c")->Text, "a\"b c");
  EXPECT_EQ(b.Find("_d")->Text, "first\nsecond ; line");
  EXPECT_EQ(b.Find("_d")->Kind, CifValue::TextField);
  EXPECT_EQ(b.Find("_d")->Line, 7);
  EXPECT_TRUE(b.Find("_e")->Unknown());
  EXPECT_EQ(b.Find("_f")->Text, "a#b");
  EXPECT_EQ(b.Find("_x"), nullptr);  // inside the save frame
  EXPECT_EQ(b.SaveFrames, 1);
  const CifLoop* l = b.FindLoop("_L.V");
  ASSERT_NE(l, nullptr);
  ASSERT_EQ(l->Rows.size(), 3u);
  EXPECT_EQ(l->Rows[2][1].Text, "\ntext");
  EXPECT_EQ(l->Rows[1][0].Text, "B");
  EXPECT_EQ(l->Rows[1][1].Text, "two words");
  EXPECT_EQ(b.Find("_l.n")->Text, "A");
  EXPECT_EQ(f.Blocks[1].Name, "Two");
  EXPECT_EQ(f.Blocks[1].Find("_a")->Text, "2");
}

TEST(CifSyntax, FaultsNameTheLine) {
  const struct {
    const char* Text;
    int Line;
  } cases[] = {
      {"_a 1\n", 1},                         // item before data_
      {"data_x\n_a 1\n_b\n", 3},             // name without value
      {"data_x\n_a\n_b 2\n", 3},             // name followed by a name
      {"data_x\nloop_\n_a _b\n1 2 3\n", 4},  // values not a multiple
      {"data_x\nloop_\n_a\ndata_y\n", 2},    // loop without values
      {"data_x\n_a\n;never closed\n", 3},    // text field not closed
      {"data_x\n_a 1\n_A 2\n", 3},           // duplicate name
      {"data_x\n_a 1\ndata_X\n", 3},         // duplicate block
      {"data_x\n1 2\n", 2},                  // value without name
      {"data_x\nglobal_\n", 2},              // reserved word
      {"data_x\n_a [x]\n", 2},               // reserved first character
      {"data_x\nsave_s\n_a 1\n", 2},         // save frame not closed
      {"data_x\n_a 1\x01\n", 2},             // control character
      {"data_\n", 1},                        // block without code
  };
  for (const auto& c : cases) {
    CifFile f;
    f.Blocks.emplace_back();
    ErrorRecord e;
    EXPECT_EQ(CifParse(c.Text, "bad.cif", f, e), 1) << c.Text;
    EXPECT_EQ(e.Line, c.Line) << c.Text << e.Message;
    EXPECT_EQ(f.Blocks.size(), 1u);  // unchanged
    auto lines = e.TextLines();
    EXPECT_EQ(lines[0], MsgCifSyntax);
    EXPECT_EQ(lines[1].rfind("bad.cif, line " + std::to_string(c.Line) + ": ", 0), 0u) << lines[1];
  }
}

// A quote left open is taken to the line end and reported as a warning.
TEST(CifSyntax, OpenQuoteRecovered) {
  CifFile f;
  ErrorRecord e;
  ASSERT_EQ(CifParse("data_x\n_a '-P 1\n_b 2\n", "w.cif", f, e), 0);
  EXPECT_EQ(f.Blocks[0].Find("_a")->Text, "-P 1");
  EXPECT_EQ(f.Blocks[0].Find("_b")->Text, "2");
  ASSERT_EQ(f.Warnings.size(), 1u);
  EXPECT_EQ(f.Warnings[0].Line, 2);
}

TEST(CifSyntax, NumbersWithUncertainty) {
  const struct {
    const char* Text;
    bool Ok;
    double V, Su;
  } cases[] = {
      {"7.719(69)", true, 7.719, 0.069},
      {"12(3)", true, 12., 3.},
      {"-0.5", true, -0.5, 0.},
      {"1.5e3(2)", true, 1500., 200.},
      {"1.25E-2(4)", true, 0.0125, 0.0004},
      {".5(1)", true, 0.5, 0.1},
      {"?", false, 0, 0},
      {".", false, 0, 0},
      {"1.2(", false, 0, 0},
      {"1.2(x)", false, 0, 0},
      {"abc", false, 0, 0},
      {"1.2)3(", false, 0, 0},
  };
  for (const auto& c : cases) {
    double v = -1., su = -1.;
    EXPECT_EQ(CifNumber(c.Text, v, su), c.Ok) << c.Text;
    if (!c.Ok) continue;
    EXPECT_NEAR(v, c.V, 1e-12) << c.Text;
    EXPECT_NEAR(su, c.Su, 1e-12) << c.Text;
  }
}

// Published CIFs read without fault; the damaged ones give a report or a
// result, never a crash.
TEST(CifSyntax, PublishedFiles) {
  const fs::path root = "../shared/data";
  if (!fs::exists(root)) GTEST_SKIP() << "../shared/data not available";
  for (const char* dir : {"cif-models", "shelx", "nacl"})
    for (const auto& e : fs::directory_iterator(root / dir)) {
      if (e.path().extension() != ".cif") continue;
      CifFile f;
      ErrorRecord err;
      EXPECT_EQ(CifParse(test::ReadText(e.path()), e.path().string(), f, err), 0) << e.path() << ": " << err;
      EXPECT_FALSE(f.Blocks.empty()) << e.path();
    }
  int reported = 0;
  for (const auto& e : fs::directory_iterator(root / "cif-bad")) {
    CifFile f;
    ErrorRecord err;
    if (CifParse(test::ReadText(e.path()), e.path().string(), f, err)) {
      ++reported;
      EXPECT_GT(err.Line, 0) << e.path();
    } else if (!f.Warnings.empty()) {
      ++reported;
    }
  }
  EXPECT_GE(reported, 2);  // the damaged report and the non-ASCII file
}

}  // namespace
}  // namespace tarn
