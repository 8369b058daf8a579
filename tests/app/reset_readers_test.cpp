// The readers the application registers: opening the shipped example reads
// its model and the reflection headers beside it, and a reset re-reads only
// the files that changed on disk.
#include <gtest/gtest.h>

#include "app/actions.hpp"
#include "model/structure.hpp"
#include "app/app_fixture.hpp"
#include "app/fileset.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/m40.hpp"
#include "model/m95m90.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

class ResetReaders : public testing::AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    const fs::path ex = startDir_ / "examples/nacl";
    if (!fs::exists(ex / "nacl.m40")) GTEST_SKIP() << "not run from the repository root";
    TarnRegisterTools();
    fs::create_directories(root_ / "s");
    for (const char* f : {"nacl.m50", "nacl.m40"}) fs::copy_file(ex / f, root_ / "s" / f);
    M90Block b;
    SetBasicM90(b);
    b.Name = "xray1";
    testing::WriteText(root_ / "s/nacl.m90", M90HeaderText({b}));
    fs::current_path(root_ / "s");
    Sess.HomeDir = Home();
    Sess.TmpDir = Home() + "tmp/";
    fs::create_directories(Sess.TmpDir);
    Sess.CurrentDir = FeGetCwd();
    Sess.fln = "nacl";
    CreateChangeCopies();
    ASSERT_EQ(TarnCheckStructure(), 0);
  }
};

TEST_F(ResetReaders, OpenReadsModelAndHeadersAndResetFollowsTheFiles) {
  int ich = 0;
  TarnReadStructure(ich);
  ASSERT_EQ(ich, 0) << (tk_.Log.empty() ? "" : tk_.Log[0].Header);
  ASSERT_EQ(Struct.Model.Atom.size(), 2u);
  EXPECT_EQ(Struct.Model.Atom[1].Name, "Cl");
  EXPECT_EQ(Struct.Basic.Phase[0].SymmText.size(), 48u);
  ASSERT_EQ(Struct.Refl.M90.size(), 1u);
  EXPECT_EQ(Struct.Refl.M90[0].Name, "xray1");
  EXPECT_EQ(TarnMainView().DataBlocks, std::vector<std::string>{"xray1"});

  // Nothing changed on disk: the model in memory is not replaced.
  Struct.Model.Atom[0].Par.Val[1] = 0.3;
  TarnReset(ich);
  ASSERT_EQ(ich, 0);
  EXPECT_EQ(Struct.Model.Atom[0].Par.Val[1], 0.3);
  // A tool wrote M40: the reset takes the file's values.
  Struct.Model.Atom[0].Par.Val[1] = 0.2;
  ASSERT_EQ(iom40(M40Write, "nacl.m40"), 0);
  Struct.Model.Atom[0].Par.Val[1] = 0.9;
  TarnReset(ich);
  ASSERT_EQ(ich, 0);
  EXPECT_DOUBLE_EQ(Struct.Model.Atom[0].Par.Val[1], 0.2);
  // A broken M40 is reported and leaves the model that was read before.
  testing::WriteText("nacl.m40", "garbage\n");
  TarnReset(ich);
  EXPECT_EQ(ich, 1);
  EXPECT_FALSE(tk_.Of("error").empty());
  EXPECT_DOUBLE_EQ(Struct.Model.Atom[0].Par.Val[1], 0.2);
}

}  // namespace
}  // namespace tarn
