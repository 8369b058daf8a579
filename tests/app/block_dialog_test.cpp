// The command-block dialog on the "dist" block of an open structure: edited
// values and lines reach M50, a wrong value is refused and changes nothing.
#include <gtest/gtest.h>

#include "app/action_codes.hpp"
#include "app/fileset.hpp"
#include "app/startup.hpp"
#include "app_fixture.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

class BlockDialogTest : public testing::AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    const fs::path ex = startDir_ / "examples/nacl";
    if (!fs::exists(ex / "nacl.m40")) GTEST_SKIP() << "not run from the repository root";
    TarnRegisterTools();
    for (const char* f : {"nacl.m50", "nacl.m40"}) fs::copy_file(ex / f, root_ / f);
    fs::current_path(root_);
    Sess.HomeDir = Home();
    ASSERT_EQ(TarnSwitchFln((root_ / "nacl").string()), 0);
    ASSERT_EQ(TarnNextStep(-NextNewFln), 0);
  }
};

TEST_F(BlockDialogTest, DistanceCommandsReachM50) {
  // Page 1 in table order: round angles fullcoor each include ttables lsttype
  // skipsplt covar dmin dmax; page 2: the special lines.
  tk_.Forms.push_back({"0", "1", "1", "10", "0", "0", "0", "1", "1", "0", "3.1"});
  tk_.Forms.push_back({"select Na*"});
  ASSERT_EQ(TarnRunTool(ActDistCommands), NextNothing);
  std::string m50;
  ASSERT_EQ(FeReadFile("nacl.m50", m50), 0);
  const std::string block = m50.substr(m50.find("\ndist"));
  EXPECT_NE(block.find("angles 1"), std::string::npos) << block;
  EXPECT_NE(block.find("dmax 3.1"), std::string::npos) << block;
  EXPECT_NE(block.find("select Na*"), std::string::npos) << block;
  EXPECT_EQ(block.find("fullcoor"), std::string::npos) << "defaults are not written";

  // A wrong number: reported, the pages come again, cancelled: nothing changes.
  tk_.Forms.push_back({"0", "x"});
  tk_.Forms.push_back({"select Na*"});
  ASSERT_EQ(TarnRunTool(ActDistCommands), NextNothing);
  std::string after;
  ASSERT_EQ(FeReadFile("nacl.m50", after), 0);
  EXPECT_EQ(after, m50);
  EXPECT_TRUE(tk_.Saw("\"x\" isn't an integer"));
}

// The Fourier dialog in its three pages (basic, scope, peaks), then the
// page of the other lines.
TEST_F(BlockDialogTest, FourierCommandsInThreeTabs) {
  tk_.Forms.push_back({"6", "2", "1", "0"});               // maptype cmethod tmethod weight
  tk_.Forms.push_back({"0.2", "1", "-333", "0 0.5"});       // step addbord orient x1lim
  tk_.Forms.push_back({"1", "-333", "-333", "2", "1.1"});  // peaks positive negative intmethod intrad
  tk_.Forms.push_back({""});
  ASSERT_EQ(TarnRunTool(ActFourierCommands), NextNothing);
  for (const char* page : {"Fourier commands: basic", "Fourier commands: scope",
                           "Fourier commands: peaks", "Fourier commands: other lines"})
    EXPECT_TRUE(tk_.Saw(page)) << page;
  std::string m50;
  ASSERT_EQ(FeReadFile("nacl.m50", m50), 0);
  const std::string block = m50.substr(m50.find("\nfourier"));
  for (const char* l : {"maptype 6", "cmethod 2", "weight 0", "step 0.2", "x1lim 0 0.5 1",
                        "intmethod 2", "intrad 1.1"})
    EXPECT_NE(block.find(l), std::string::npos) << l << "\n" << block;
  EXPECT_EQ(block.find("addbord"), std::string::npos) << "defaults are not written";
}

}  // namespace
}  // namespace tarn
