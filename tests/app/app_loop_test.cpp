// The event loop and the dispatcher, driven through the scripted toolkit.
#include <gtest/gtest.h>

#include <map>

#include "app/fileset.hpp"
#include "app/startup.hpp"
#include "app_fixture.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using testing::AppTest;
using testing::ReadText;
using testing::WriteText;

class AppLoop : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    x_ = MakeStructure("s/x", {".m50", ".m40", ".ref"});
    fs::current_path(root_ / "s");
    Sess.HomeDir = Home();
    Sess.TmpDir = Home() + "tmp/";
    fs::create_directories(Sess.TmpDir);
    Sess.CurrentDir = FeGetCwd();
    Sess.fln = "x";
    CreateChangeCopies();
    ASSERT_EQ(TarnCheckStructure(), 0);
  }
  // Ends the queued events with a close request answered yes, runs the loop.
  void Loop() {
    tk_.Push(EventClose);
    tk_.Answers.push_back(true);
    TarnEventLoop();
  }
  int Counter(int code) {
    TarnSetTool(code, [this, code](TarnToolCall&) {
      ++runs_[code];
      return static_cast<int>(NextNothing);
    });
    return 0;
  }
  std::map<int, int> runs_;
  fs::path x_;
};

TEST_F(AppLoop, EventKinds) {
  Counter(51202);
  tk_.Push(EventIgnore, 51202);  // kind 4 never reaches the dispatcher
  tk_.Push(EventResize, 51202);
  tk_.Push(EventTreeSel, 1121, 1, 51202);
  tk_.Push(EventButton, 51202);
  tk_.Push(EventMenu, 51202);  // not a menu item
  Loop();
  EXPECT_EQ(runs_[51202], 1);
  EXPECT_EQ(Sess.SelectedTreeCode, 51202);
  EXPECT_EQ(tk_.Count("Sorry, this is wrong item, try once more."), 1);

  tk_.Push(EventTreeSel, 1121, 4);
  Loop();
  EXPECT_EQ(Sess.SelectedTreeCode, -1);
}

TEST_F(AppLoop, UnknownAndMissingItems) {
  for (int id : {0, 12345, 51217, 51200, 52700, 60005}) tk_.Push(EventButton, id);
  tk_.Push(EventButton, 51302);  // an action without its tool
  Loop();
  EXPECT_EQ(tk_.Count("Sorry, this is wrong item, try once more."), 6);
  EXPECT_EQ(tk_.Count("This tool is not available yet."), 1);
}

TEST_F(AppLoop, QuitNeedsYes) {
  tk_.Push(EventClose);
  tk_.Answers.push_back(false);  // no: the loop goes on
  tk_.Push(EventMenu, MenuQuit);
  tk_.Answers.push_back(false);
  Counter(51202);
  tk_.Push(EventButton, 51202);
  Loop();
  EXPECT_EQ(runs_[51202], 1);
  EXPECT_EQ(tk_.Of("yesno").size(), 3u);
}

TEST_F(AppLoop, NextStepsAndCommandDialogs) {
  for (int c : {51201, 51301, 50901, 3300, 3500, 3000}) Counter(c);
  TarnSetTool(51202, [](TarnToolCall&) { return static_cast<int>(NextDraw); });
  tk_.Push(EventToolDlg, 51202);
  tk_.Push(EventToolDlg, MenuDistCommands);
  tk_.Push(EventToolDlg, 40309);
  tk_.Push(EventButton, 50106);  // "Run average" -> next step 3300
  tk_.Push(EventButton, 51202);  // returns 3000: the drawing window
  Loop();
  // M95/M90 are missing, so average is not offered; the others ran.
  EXPECT_EQ(runs_[51201], 1);
  EXPECT_EQ(runs_[51301], 1);
  EXPECT_EQ(runs_[50901], 1);
  EXPECT_EQ(runs_[3300], 0);
  EXPECT_EQ(runs_[3000], 1);

  MakeStructure("s/x", {".m95"});
  SetExistFiles();
  tk_.Push(EventButton, 50106);
  tk_.Push(EventButton, 50105);  // manual culling -> -3500
  Loop();
  EXPECT_EQ(runs_[3300], 1);
  EXPECT_EQ(runs_[3500], 1);
}

TEST_F(AppLoop, ListingViewers) {
  TarnRegisterFrameTools();
  tk_.Push(EventButton, 51203);  // x.ref exists
  tk_.Push(EventButton, 51303);  // x.dis does not: the item is disabled
  Loop();
  ASSERT_EQ(tk_.ListingFiles.size(), 1u);
  EXPECT_EQ(tk_.ListingFiles[0], "x.ref");
  EXPECT_TRUE(tk_.Saw(std::string(msg::NeedsStructure)));
}

TEST_F(AppLoop, WithoutStructureItemsAreRefused) {
  DeletePomFiles();
  Sess.fln.clear();
  Counter(51202);
  tk_.Push(EventButton, 51202);
  tk_.Push(EventMenu, MenuSaveAs);
  Loop();
  EXPECT_EQ(runs_[51202], 0);
  EXPECT_EQ(tk_.Count(std::string(msg::NeedsStructure)), 2);
  // The tree shows the disabled item.
  bool found = false;
  for (const auto& it : tk_.LastView.Tree)
    if (it.Code == 51202) found = !it.Enabled;
  EXPECT_TRUE(found);
}

// An action without a tool is shown disabled and says why when chosen; a
// registered one is enabled.
TEST_F(AppLoop, ActionsThatAreNotBuiltAreDisabled) {
  Counter(51202);
  tk_.Push(EventButton, 51302);
  tk_.Push(EventMenu, MenuCopyIn);
  Loop();
  EXPECT_EQ(tk_.Count(std::string(msg::NotAvailable)), 2);
  EXPECT_FALSE(tk_.Saw(std::string(msg::NeedsStructure)));
  std::map<int, bool> enabled;
  for (const auto& it : tk_.LastView.Tree) enabled[it.Code] = it.Enabled;
  for (const auto& m : tk_.LastView.Menu) enabled[m.Code] = m.Enabled;
  EXPECT_TRUE(enabled.at(51202));
  EXPECT_FALSE(enabled.at(51302));
  EXPECT_FALSE(enabled.at(50902));
  EXPECT_FALSE(enabled.at(MenuCopyIn));
  EXPECT_TRUE(enabled.at(MenuOpen));
}

TEST_F(AppLoop, OpenSwitchesStructureAndMarkers) {
  fs::path y = MakeStructure("t/y", {".m50"});
  tk_.Files.push_back((root_ / "t/y.m50").string());
  tk_.Push(EventMenu, MenuOpen);
  tk_.Push(EventMenu, MenuOpen);  // cancelled: y stays
  Loop();
  auto prompts = tk_.Of("file");
  ASSERT_EQ(prompts.size(), 2u);
  EXPECT_EQ(prompts[0].Header, "Open : ");
  EXPECT_EQ(prompts[0].Lines[0], std::string(msg::OpenHint));
  EXPECT_EQ(Sess.fln, "y");
  EXPECT_EQ(fs::current_path(), root_ / "t");
  EXPECT_TRUE(StructureOpened(y.string()));
  EXPECT_FALSE(StructureOpened(x_.string()));
  EXPECT_EQ(tk_.LastView.Structure, (root_ / "t/y").string());
}

TEST_F(AppLoop, OpenedStructureAsksAndFallsBack) {
  fs::path y = MakeStructure("t/y", {".m50"});
  ChangeUSDFile(y.string(), "opened", "unlocked");
  const std::pair<bool, const char*> cases[] = {{false, "x"}, {true, "y"}};
  for (auto [answer, want] : cases) {
    tk_.Log.clear();
    tk_.Files.push_back(y.string() + ".m50");
    tk_.Answers.push_back(answer);
    tk_.Push(EventMenu, MenuOpen);
    Loop();
    EXPECT_EQ(Sess.fln, want);
    auto q = tk_.Of("yesno");
    ASSERT_GE(q.size(), 1u);
    EXPECT_EQ(q[0].Header, "Do you want to continue anyhow?");
    EXPECT_EQ(q[0].Lines,
              (std::vector<std::string>{"The structure is either opened by another user/task",
                                        "or not correctly closed due to a previous crash."}));
    // A refusal keeps x open in its own directory.
    if (!answer) {
      EXPECT_EQ(fs::current_path(), root_ / "s");
      EXPECT_TRUE(StructureOpened(x_.string()));
    }
  }
}

TEST_F(AppLoop, LockingAndTheLockWarning) {
  tk_.Push(EventMenu, MenuLocked);
  Loop();
  EXPECT_TRUE(Sess.StructureLocked);
  EXPECT_TRUE(GetStructureLocked(x_.string()));
  EXPECT_TRUE(tk_.Saw("The structure has been locked."));
  EXPECT_TRUE(FeIsReadOnly("x.m40"));

  // Opening a locked structure warns once.
  tk_.Log.clear();
  Sess.LockWarned = false;
  ChangeUSDFile("x", "closed", "*");
  ASSERT_EQ(TarnCheckStructure(), 0);
  auto w = tk_.Of("warning");
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].Header, "WARNING");
  EXPECT_EQ(w[0].Lines.size(), 3u);
  EXPECT_EQ(w[0].Lines[0], "The selected structure is locked. All changes of the basic");

  tk_.Push(EventMenu, MenuLocked);
  Loop();
  EXPECT_FALSE(GetStructureLocked(x_.string()));
  EXPECT_FALSE(FeIsReadOnly("x.m40"));
}

TEST_F(AppLoop, SaveAsAndBackup) {
  MakeStructure("s/x", {".inkv"});
  SetExistFiles();
  MakeStructure("b/z", {".m50"});
  // Backup onto an existing structure: refused, nothing is copied.
  tk_.Files.push_back((root_ / "b/z.m50").string());
  tk_.Answers.push_back(false);
  tk_.Push(EventMenu, MenuBackup);
  // Save as a new name, and continue with it.
  tk_.Files.push_back((root_ / "b/w").string());
  tk_.Answers.push_back(true);
  tk_.Push(EventMenu, MenuSaveAs);
  Loop();
  EXPECT_TRUE(tk_.Saw("The structure \"z\" already exists, continue anyhow?"));
  EXPECT_FALSE(fs::exists(root_ / "b/z.m40"));
  EXPECT_TRUE(fs::exists(root_ / "b/w.m50"));
  EXPECT_TRUE(fs::exists(root_ / "b/w.m40"));
  EXPECT_TRUE(fs::exists(root_ / "b/w.ref"));
  EXPECT_FALSE(fs::exists(root_ / "b/w.inkv")) << "the charge-flipping input is not copied";
  EXPECT_EQ(Sess.fln, "w");
  EXPECT_TRUE(tk_.Saw("Do you want to continue with the new structure?"));
}

TEST_F(AppLoop, NewStructure) {
  Counter(50101);
  Counter(HookNewStructure);
  MakeStructure("n/v", {".m40", ".m90"});
  tk_.Files.push_back((root_ / "n/v").string());
  tk_.Answers.push_back(true);  // v exists: continue anyhow
  tk_.Push(EventMenu, MenuNew);
  Loop();
  EXPECT_TRUE(tk_.Saw("The structure \"v\" already exists, continue anyhow?"));
  EXPECT_FALSE(fs::exists(root_ / "n/v.m40"));
  EXPECT_FALSE(fs::exists(root_ / "n/v.m90"));
  EXPECT_EQ(runs_[50101], 1);
  EXPECT_EQ(runs_[HookNewStructure], 1);
  EXPECT_EQ(Sess.fln, "v");
}

// After an action only the files that changed are read again.
TEST_F(AppLoop, ResetReadsWhatChanged) {
  std::vector<std::string> read;
  for (int k : {ReaderM50, ReaderM40})
    TarnSetReader(k, [&read](const std::string& p) {
      read.push_back(fs::path(p).extension().string());
      return 0;
    });
  int ich = 0;
  TarnReadStructure(ich);
  ASSERT_EQ(ich, 0);
  EXPECT_EQ(read, (std::vector<std::string>{".m50", ".m40"}));
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"", {}}, {".m40", {".m40"}}, {".m50", {".m50", ".m40"}},  // M40 depends on M50
  };
  for (const auto& [changed, want] : cases) {
    read.clear();
    if (*changed) WriteText(std::string("x") + changed, "changed\n");
    TarnReset(ich);
    EXPECT_EQ(ich, 0);
    EXPECT_EQ(read, want) << changed;
  }
  // A reader that fails is reported through ich.
  TarnSetReader(ReaderM40, [](const std::string&) { return 1; });
  WriteText("x.m40", "broken\n");
  TarnReset(ich);
  EXPECT_EQ(ich, 1);
  // CR LF line ends are made plain.
  WriteText("x.m50", "Version Tarnwork\r\nend\r\n");
  TarnSetReader(ReaderM40, nullptr);
  TarnReset(ich);
  EXPECT_EQ(ReadText("x.m50"), "Version Tarnwork\nend\n");
}

}  // namespace
}  // namespace tarn
