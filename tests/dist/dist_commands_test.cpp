// The "dist" block: defaults, reading through the generic keyword reader,
// the special lists, and writing back only what differs from the defaults.
#include "dist/dist_commands.hpp"

#include <gtest/gtest.h>

#include "support/report_script.hpp"

namespace tarn {
namespace {

DistCommands Read(const std::string& body, int ndimI = 0, int* rc = nullptr) {
  DistCommands c;
  const int r = DistReadCommands("refine\nend refine\ndist\n" + body + "\nend dist\n", c, ndimI);
  if (rc) *rc = r;
  return c;
}

TEST(DistCommands, DefaultsAndEachByModulationDimension) {
  const DistCommands c = Read("");
  EXPECT_EQ(c.FullCoor, 1);
  EXPECT_EQ(c.SkipSplt, 1);
  EXPECT_DOUBLE_EQ(c.DMax, -1.);
  EXPECT_DOUBLE_EQ(c.ExpDMax, 5.);
  EXPECT_DOUBLE_EQ(c.DHAMin, 110.);
  EXPECT_DOUBLE_EQ(c.HirshLev, 3.);
  for (auto [d, each] : {std::pair{0, 10}, {1, 10}, {2, 1}, {3, 1}})
    EXPECT_EQ(Read("", d).Each, each);
}

TEST(DistCommands, ValuesAndListsAreRead) {
  int rc = 1;
  const DistCommands c = Read(
      "  angles 1 dmax 3.2 lsttype 1\n  select c1 n* \n  selfirst o?\n  torsion C1 C2 C3 C4\n"
      "  inddist C1 O1#s2t1,0,0\n  bondval Ti4+ O2- 1.815\n  plane C1 C2 C3\n"
      "! angles 0\n! torsion X1 X2 X3 X4",
      0, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(c.Angles, 1);
  EXPECT_DOUBLE_EQ(c.DMax, 3.2);
  EXPECT_EQ(c.LstType, 1);
  EXPECT_EQ(c.Select, (std::vector<std::string>{"C1", "N*", "O?"}));
  ASSERT_EQ(c.Torsion.size(), 1u);  // the disabled line is kept but not applied
  EXPECT_EQ(c.IndDist[0], (std::vector<std::string>{"C1", "O1#s2t1,0,0"}));
  ASSERT_EQ(c.BondVal.size(), 1u);
  EXPECT_EQ(c.BondVal[0].Cation, "TI4+");
  EXPECT_DOUBLE_EQ(c.BondVal[0].B, 0.37);
  EXPECT_EQ(c.Plane[0].size(), 3u);
}

TEST(DistCommands, BadListsAreReportedAndSkipped) {
  test::ReportScript rs;
  struct Case {
    const char* line;
  } cases[] = {{"torsion C1 C2 C3"}, {"inddist C1"},  {"bondval Ti O"},
               {"bondval Ti O x"},   {"plane C1 C2"}, {"nooft 10"}};
  for (const auto& k : cases) {
    int rc = 0;
    const DistCommands c = Read(std::string(k.line) + "\n angles 1", 0, &rc);
    EXPECT_EQ(rc, 1) << k.line;
    EXPECT_EQ(c.Angles, 1) << "the rest of the block is read: " << k.line;
    EXPECT_TRUE(c.Torsion.empty() && c.IndDist.empty() && c.BondVal.empty() && c.Plane.empty());
  }
  EXPECT_EQ(static_cast<int>(rs.Of("error").size()), 6);
}

TEST(DistCommands, WritesBackOnlyNonDefaultsAndKeepsTheSpecialLines) {
  DistCommands c = Read("angles 1 dmax 3.2 expdmax 5\ntorsion C1 C2 C3 C4\n! plane A B C", 2);
  c.Table.SetInt(DkEach, 1);  // the default for two modulation vectors
  EXPECT_EQ(DistBlockLines(c),
            (std::vector<std::string>{"dist", "  angles 1 dmax 3.2", "  torsion C1 C2 C3 C4",
                                      "! plane A B C", "end dist"}));
  DistCommands again;
  std::string text;
  for (const auto& l : DistBlockLines(c)) text += l + "\n";
  ASSERT_EQ(DistReadCommands(text, again, 2), 0);
  EXPECT_EQ(again.Angles, 1);
  EXPECT_EQ(again.Torsion, c.Torsion);
  EXPECT_EQ(DistBlockLines(again), DistBlockLines(c));
}

}  // namespace
}  // namespace tarn
