// The refinement-commands dialog: its pages edit the block, a bad value is
// refused and the page shown again, and a cancel writes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "app/toolkit_script.hpp"
#include "model/structure.hpp"
#include "app/tools/refine_tools.hpp"
#include "model/atoms.hpp"
#include "model/keys.hpp"
#include "model/session.hpp"
#include "refine/refcommands.hpp"
#include "support/temp_dir.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

// A structure on disk (M50 and L51 with the given blocks) and the scripted toolkit.
struct RefFileTest : ::testing::Test {
  FeScriptToolkit Tk;
  test::TempDir Dir;
  void SetUp() override {
    FeSetToolkit(&Tk);
    Struct.Model = AtomModel{};
    Struct.KeyPhases.PhaseNames.clear();
    Sess.KPhase = 1;
    Sess.fln = Dir / "st";
  }
  void TearDown() override {
    FeSetToolkit(nullptr);
    Sess.fln.clear();
  }
  void Store(const std::string& blocks) {
    Dir.Write("st.m50", "title test\nend\n" + KeySeparator + "\n" + blocks);
    std::vector<std::string> tail;
    std::istringstream in(blocks);
    for (std::string l; std::getline(in, l);) tail.push_back(l);
    ASSERT_EQ(KeysStoreL51(tail, false), 0);
  }
  std::string M50() { return test::TempDir::Read(Sess.fln + ".m50"); }
};

TEST_F(RefFileTest, DialogEditsAndRewrites) {
  Store("refine\n  fixed xyz C1\n  fixed u C2\nend refine\nfourier\nend fourier\n");
  Tk.Forms.push_back({"7", "0.5"});  // Basic: cycles, damp
  Tk.Forms.push_back({"x"});         // Select/Listing: a bad number is refused ...
  Tk.Forms.push_back({"1"});         // ... and the page shown again: print 1
  // Restraints/Constraints: the "Fixed commands" editor (2 lines + buttons).
  Tk.Choices.push_back(2);
  Tk.Choices.push_back(0);                        // select line 1
  Tk.Choices.push_back(2 + 2);                    // Clone: the copy follows, selected
  Tk.Choices.push_back(3 + 3);                    // Down: the copy moves below "fixed u C2"
  Tk.Choices.push_back(3 + 4);                    // Disable the copy
  Tk.Choices.push_back(3 + 9);                    // OK
  Tk.Choices.push_back(3);                        // "Dontuse/Useonly command" editor
  Tk.Choices.push_back(0);                        // Edit with nothing selected: a new line
  Tk.Forms.push_back({"useonly", "hkl : l=2q"});  // refused with its message
  Tk.Forms.push_back({"useonly", "hkl : l=2n"});
  Tk.Choices.push_back(1 + 9);  // OK
  Tk.Choices.push_back(11);     // Continue
  Tk.Forms.push_back({"1"});    // Modulation/Twin
  Tk.Forms.push_back({"0"});    // Powder
  EXPECT_EQ(RefSetCommands(), 1);
  EXPECT_TRUE(Tk.Saw("wrong numerical string"));
  EXPECT_TRUE(Tk.Saw("Syntax error in the reflection group or condition"));
  const std::string m50 = M50();
  EXPECT_NE(m50.find("fixed xyz C1\n  fixed u C2\n! fixed xyz C1\n"), std::string::npos) << m50;
  EXPECT_NE(m50.find("useonly hkl : l=2n"), std::string::npos) << m50;
  EXPECT_NE(m50.find("fourier"), std::string::npos);
  int error = 1;
  RefSettings ref;
  RefReadCommands(ref, error);
  ASSERT_EQ(error, 0);
  EXPECT_EQ(ref.Run.I(RkCycles), 7);
  EXPECT_FLOAT_EQ(ref.Run.R(RkDamp), 0.5f);
  EXPECT_EQ(ref.Run.I(RkPrint), 1);
  EXPECT_EQ(ref.Fixed.size(), 2u);
  EXPECT_EQ(ref.ExclHKL.size(), 1u);
  EXPECT_FALSE(fs::exists(Sess.fln + "_dontuse.tmp"));
}

TEST_F(RefFileTest, DialogCancelWritesNothing) {
  Store("refine\n  cycles 4\nend refine\n");
  const std::string before = M50();
  Tk.Forms.push_back({"9"});
  Tk.Forms.push_back({});  // cancel on the second page
  EXPECT_EQ(RefSetCommands(), 0);
  EXPECT_EQ(M50(), before);
}

}  // namespace
}  // namespace tarn
