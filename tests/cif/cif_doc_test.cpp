// The CIF report's pieces: the dictionary, the forms of values, the merge
// with an earlier file and the figures of the refinement listing.
#include "cif/cif_doc.hpp"

#include <gtest/gtest.h>

#include "cif/cif_keys.hpp"
#include "cif/cif_report.hpp"
#include "support/cif_text.hpp"
#include "support/report_script.hpp"
#include "support/temp_dir.hpp"

namespace tarn {
namespace {

CifDict ShippedDict() {
  CifDict d;
  ErrorRecord err;
  EXPECT_EQ(CifReadDict(test::ReadText("data/cif.dat"), "cif.dat", d, err), 0) << err.Text();
  return d;
}

TEST(CifDict, ShippedDictionaryAndFaults) {
  const CifDict d = ShippedDict();
  EXPECT_EQ(d.Name(CkCellA), "_cell_length_a");
  EXPECT_EQ(d.Name(CkRefineWRRef), "_refine_ls_wR_factor_ref");
  EXPECT_EQ(d.Name(99999), "");
  struct Case {
    const char* text;
    int line;
  } bad[] = {{"# head\n1 0 _a\n1 0 _b\n", 3}, {"1 0 a\n", 1}, {"x 0 _a\n", 1}, {"1 _a\n", 1}};
  for (const auto& c : bad) {
    CifDict out;
    ErrorRecord err;
    EXPECT_EQ(CifReadDict(c.text, "f", out, err), 1) << c.text;
    EXPECT_EQ(err.Line, c.line) << c.text;
  }
  test::TempDir dir;
  test::ReportScript rs;
  CifDict out;
  EXPECT_EQ(CifLoadDict(dir.Path().string(), out), 1);
  EXPECT_TRUE(
      rs.Saw("the dictionary file \"" + (dir.Path() / "cif.dat").string() + "\" does not exist."));
}

TEST(CifDoc, ValueForms) {
  struct Case {
    CifOut v;
    const char* text;
  } cases[] = {
      {CifBuilder::P("1.234(5)"), "1.234(5)"},
      {{"a b", CifOut::Auto, {}}, "'a b'"},
      {{"it's", CifOut::Auto, {}}, "it's"},
      {{"a' b", CifOut::Auto, {}}, "\"a' b\""},
      {{"_x", CifOut::Plain, {}}, "'_x'"},
      {{"data_x", CifOut::Auto, {}}, "'data_x'"},
      {{"two\nlines", CifOut::Quoted, {}}, ";\ntwo\nlines\n;"},
      {{";x", CifOut::TextField, {}}, ";\n ;x\n;"},
      {{"'a' \"b\" c", CifOut::Auto, {}}, ";\n'a' \"b\" c\n;"},
  };
  for (const auto& c : cases) EXPECT_EQ(CifValueText(c.v), c.text) << c.v.Text;
}

TEST(CifDoc, EarlierFileKeepsTheUsersPart) {
  const CifDict d = ShippedDict();
  CifDoc doc;
  CifBuilder b(d, doc);
  b.Block("s");
  b.Item(CkSectionTitle, CifBuilder::T("?"));
  b.Item(CkCrystalColour);
  b.Item(CkCellZ, CifBuilder::P("4"));
  b.Loop({CkAuthorName, CkAuthorAddress}, {{CifBuilder::P("?"), CifBuilder::T("?")}});
  b.Loop({CkSymopId, CkSymopXyz}, {{CifBuilder::P("1"), CifBuilder::Q("x,y,z")}});
  b.Item(12345);
  EXPECT_EQ(doc.MissingKeys, std::vector<int>{12345});
  const std::string earlier =
      "data_s\n_publ_section_title\n;\nA title\n;\n_exptl_crystal_colour red\n"
      "_cell_formula_units_Z 8\n_own_item 'mine'\n"
      "loop_\n_publ_author_name\n_publ_author_address\n'Doe, J.' 'Town'\n'Roe, R.' 'City'\n"
      "loop_\n_space_group_symop_id\n_space_group_symop_operation_xyz\n1 x,y,z\n2 -x,-y,-z\n";
  CifFile old;
  ErrorRecord err;
  ASSERT_EQ(CifParse(earlier, "old", old, err), 0);
  CifKeepUserItems(doc, old);
  const std::string text = CifDocText(doc);
  // Written and read again twice, the text stays the same.
  CifFile again;
  ASSERT_EQ(CifParse(text, "new", again, err), 0) << err.Text();
  CifDoc doc2;
  CifBuilder b2(d, doc2);
  b2.Block("s");
  b2.Item(CkSectionTitle, CifBuilder::T("?"));
  CifKeepUserItems(doc2, again);
  CifFile third;
  ASSERT_EQ(CifParse(CifDocText(doc2), "third", third, err), 0);
  const CifBlock& s = again.Blocks[0];
  EXPECT_EQ(s.Find("_publ_section_title")->Text, "\nA title");
  EXPECT_EQ(third.Blocks[0].Find("_publ_section_title")->Text, "\nA title");
  EXPECT_EQ(s.Find("_exptl_crystal_colour")->Text, "red");
  EXPECT_EQ(s.Find("_cell_formula_units_Z")->Text, "4");  // computed: renewed
  EXPECT_EQ(s.Find("_own_item")->Text, "mine");
  ASSERT_NE(s.FindLoop("_publ_author_name"), nullptr);
  EXPECT_EQ(s.FindLoop("_publ_author_name")->Rows.size(), 2u);
  EXPECT_EQ(s.FindLoop("_space_group_symop_id")->Rows.size(), 1u);  // the program's loop
}

TEST(CifSummary, FiguresOfTheRefinementListing) {
  const std::string ref =
      "Cycle 0\nR factors for all reflections : R(obs)=   2.94 wR2(obs)=   7.30\n"
      "Rfactors0:   2.9431  7.2969  3.0405  7.3666   3560   3667      0\n"
      "GOF(obs)=1.08 GOF(all)=1.07\n"
      "Rfactors0:   2.8144  6.9165  2.9124  6.9863   3560   3667      0\n"
      "GOF(obs)=1.02 GOF(all)=1.01\n"
      "R-factors overview\nCycle   RFobs ... av ch/su max ch/su\n"
      "    0    2.94  1.000    1.08    1.07   0.5400    5.6248\n"
      "    1    2.81  1.000    1.02    1.01   0.0000    0.0000\n"
      "Changes of the refined parameters in the last cycle\n"
      "parameter    value   change   s.u.   ch/su\nx[O9] 0.1 0 0.0001 0\ny[O9] 0.2 0 0.0001 0\n\n";
  const CifRefSummary s = CIFItemFromSummary(ref);
  ASSERT_TRUE(s.Found);
  EXPECT_DOUBLE_EQ(s.R[0], 2.8144);
  EXPECT_DOUBLE_EQ(s.R[3], 6.9863);
  EXPECT_EQ(s.NObs, 3560);
  EXPECT_EQ(s.NAll, 3667);
  EXPECT_TRUE(s.FSquare);
  EXPECT_DOUBLE_EQ(*s.GofAll, 1.01);
  EXPECT_DOUBLE_EQ(*s.ShiftMax, 5.6248);  // the last cycle with shifts
  EXPECT_EQ(*s.NPar, 2);
  EXPECT_FALSE(CIFItemFromSummary("no figures\n").Found);
}

}  // namespace
}  // namespace tarn
