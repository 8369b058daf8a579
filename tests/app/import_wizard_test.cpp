// The import wizard's fields for real indices, modulation vectors and the
// data block.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/toolkit_script.hpp"
#include "app/tools/import_tool.hpp"
#include "datared/import.hpp"
#include "model/basic.hpp"
#include "model/m95m90.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "support/temp_dir.hpp"

namespace tarn {
namespace {

class WizardFields : public test::TempDirTest {
 protected:
  void SetUp() override {
    Struct.Refl = ReflData{};
    Struct.Basic = BasicData{};
    Sess.KPhase = 1;
    FeSetToolkit(&tk_);
    Sess.fln = Dir / "s";
  }
  void TearDown() override { FeSetToolkit(nullptr); }
  std::string Write(const std::string& name, const std::string& text) {
    return Dir.Write(name, text);
  }
  const std::string m95_ = Dir / "s.m95";
  FeScriptToolkit tk_;
};

// "General file on I" with real indices: the vector and the largest order
// come from the form and resolve 1.3 0 0 into 1 0 0 1 and 0.4 0 0 into
// 1 0 0 -2 (q = 0.3 0 0).
TEST_F(WizardFields, RealIndicesThroughTheModulationVector) {
  const std::string g = Write("r.hkl", "1.3 0 0 50.0 2.0\n0.4 0 0 20.0 1.0\n");
  tk_.Choices = {1, 11};
  tk_.Files = {g};
  tk_.Forms = {{"3", "", "1 2 3", "4", "5", "1", "1", "0.3 0 0", "", "", "2", "0"}};
  ASSERT_EQ(EM9ImportWizard(), 0);
  std::vector<M95Block> b;
  std::vector<std::vector<M95Refl>> r;
  ASSERT_EQ(ReadM95File(m95_, b, r), 0) << Struct.Refl.LastError;
  EXPECT_EQ(b[0].NDim95, 4);
  EXPECT_EQ(b[0].QVec, (std::vector<double>{0.3, 0, 0}));
  EXPECT_EQ(std::vector<int>(r[0][0].H, r[0][0].H + 4), (std::vector<int>{1, 0, 0, 1}));
  EXPECT_EQ(std::vector<int>(r[0][1].H, r[0][1].H + 4), (std::vector<int>{1, 0, 0, -2}));

  // Refused settings: each gives a message and imports nothing.
  const std::vector<std::vector<std::string>> bad = {
      {"3", "", "1 2 3", "4", "5", "1", "0", "", "", "", "1", "0"},           // no vector
      {"3", "", "1 2 3", "4", "5", "1", "1", "0.3 0", "", "", "1", "0"},      // two components
      {"3", "", "1 2 3", "4", "5", "1", "1", "0 0 0", "", "", "1", "0"},      // zero vector
      {"3", "", "1 2 3", "4", "5", "1", "4", "0.3 0 0", "", "", "1", "0"},    // count 4
      {"3", "", "1 2 3", "4", "5", "2", "1", "0.3 0 0", "", "", "1", "0"},    // flag 2
      {"3", "", "1 2 3", "4", "5", "1", "1", "0.3 0 0", "", "", "x", "0"},    // order
      {"4", "", "1 2 3 4", "5", "6", "1", "1", "0.3 0 0", "", "", "1", "0"},  // four indices
  };
  for (const auto& f : bad) {
    const size_t errors = tk_.Of("error").size();
    tk_.Choices = {1, 11};
    tk_.Files = {g};
    tk_.Forms = {f};
    EXPECT_NE(EM9ImportWizard(), 0) << f[5] << " " << f[6] << " " << f[7];
    EXPECT_EQ(tk_.Of("error").size(), errors + 1);
    EXPECT_EQ(Struct.Refl.M95.size(), 1u);
  }
}

// The data block chosen completes the block from its radiation; a data block
// that does not exist is refused.
TEST_F(WizardFields, DataBlockOfTheImport) {
  Struct.Basic.DatBlock.resize(1);
  Struct.Basic.DatBlock[0].Name = "D1";
  Struct.Basic.DatBlock[0].Lambda = 0.71073;
  const std::string a = Write("a.hkl", "   1   2   3  100.00    2.00   1\n");
  for (const char* k : {"1", "0"}) {
    tk_.Choices = {1, 1};
    tk_.Files = {a};
    tk_.Forms = {{"0", "", k}};
    ASSERT_EQ(EM9ImportWizard(), 0);
  }
  ASSERT_EQ(Struct.Refl.M95.size(), 2u);
  EXPECT_DOUBLE_EQ(Struct.Refl.M95[0].Lambda, 0.71073);  // data block 1
  EXPECT_EQ(Struct.Refl.M95[1].Lambda, kUnsetReal);      // a new data block 2: nothing known yet
  // The form names the range of existing data blocks.
  EXPECT_TRUE(tk_.Saw("Data block of the refinement (0 = a new one, 1-1)"));
  tk_.Choices = {1, 1};
  tk_.Files = {a};
  tk_.Forms = {{"0", "", "2"}};
  EXPECT_NE(EM9ImportWizard(), 0);
  EXPECT_EQ(Struct.Refl.M95.size(), 2u);
}

// What the wizard shows as text: the format labels without their access-key
// marks, and the range of data blocks when there is none yet.
TEST_F(WizardFields, ShownTexts) {
  const std::string a = Write("a.hkl", "   1   2   3  100.00    2.00   1\n");
  tk_.Choices = {1, 1};
  tk_.Files = {a};
  tk_.Forms = {{"0", "", "0"}};
  ASSERT_EQ(EM9ImportWizard(), 0);
  const auto lists = tk_.Of("list");
  ASSERT_EQ(lists.size(), 2u);
  const auto& items = lists[1].Lines;
  EXPECT_NE(std::find(items.begin(), items.end(), "SHELX on F"), items.end());
  for (const auto& l : items) EXPECT_EQ(l.find('&'), std::string::npos) << l;
  EXPECT_TRUE(tk_.Saw("Data block of the refinement (0 = a new one; there is none yet)"));
}

}  // namespace
}  // namespace tarn
