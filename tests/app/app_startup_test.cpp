// Command line, home directory and the version check of the data files.
#include <gtest/gtest.h>

#include "app/fileset.hpp"
#include "app/settings.hpp"
#include "app/startup.hpp"
#include "app_fixture.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using testing::AppTest;
using testing::ReadText;
using testing::WriteText;

using AppStartup = AppTest;

TEST_F(AppStartup, StructureArguments) {
  MakeStructure("s/x", {".m50", ".m40"});
  MakeStructure("t/y", {".m50"});
  fs::current_path(root_);
  struct Case {
    std::vector<std::string> args;
    const char* fln;
    const char* dir;  // relative to root_
  };
  const std::vector<Case> cases = {
      {{"tarnwork", "s/x.m40"}, "x", "s"},  // x.m40 opens structure x
      {{"tarnwork", "s/x"}, "x", "s"},
      {{"tarnwork", "s/x.m50", "t/y.m50"}, "y", "t"},  // the last one wins
      {{"tarnwork", root_.string() + "/t/y.m95"}, "y", "t"},
      {{"tarnwork", "", "s/x"}, "", ""},  // reading stops at an empty argument
  };
  for (const auto& c : cases) {
    Sess = Session{};
    fs::current_path(root_);
    ASSERT_EQ(GetFln(c.args), 0) << c.args.back();
    EXPECT_EQ(Sess.fln, c.fln) << c.args.back();
    fs::path want = std::string(c.dir).empty() ? root_ : root_ / c.dir;
    EXPECT_EQ(fs::current_path(), want) << c.args.back();
    EXPECT_EQ(Sess.StartDir, root_.string() + "/");
  }
}

TEST_F(AppStartup, OptionsIgnoreCase) {
  fs::current_path(root_);
  ASSERT_EQ(GetFln({"tarnwork", "-THREADS", "4", "-Debug", "-homedir", "home", "@job.bat"}), 0);
  EXPECT_EQ(Sess.Threads, 4);
  EXPECT_TRUE(Sess.DebugMode);
  EXPECT_TRUE(Sess.BatchMode);
  EXPECT_EQ(Sess.BatchFile, root_.string() + "/job.bat");
  EXPECT_EQ(Sess.HomeDir, root_.string() + "/home");
  EXPECT_TRUE(Sess.fln.empty()) << "option values are not structures";
}

TEST_F(AppStartup, BadCommandLines) {
  fs::current_path(root_);
  const std::vector<std::vector<std::string>> cases = {
      {"tarnwork", "-threads"}, {"tarnwork", "-threads", "many"}, {"tarnwork", "-HomeDir"},
      {"tarnwork", "@"},        {"tarnwork", "nowhere/x.m50"},  // the structure's directory does
                                                                // not exist
  };
  for (const auto& args : cases) {
    Sess = Session{};
    tk_.Log.clear();
    EXPECT_NE(GetFln(args), 0) << args.back();
    ASSERT_EQ(tk_.Of("error").size(), 1u) << args.back();
    EXPECT_EQ(fs::current_path(), root_) << "nothing changed for " << args.back();
  }
  EXPECT_FALSE(fs::exists(root_ / "nowhere"));
}

TEST_F(AppStartup, HomeDirectoryEndsInOneSlash) {
  fs::current_path(root_);
  for (const char* given : {"home", "home/", "home//", "./home/"}) {
    Sess = Session{};
    ASSERT_EQ(GetFln({"tarnwork", "-HomeDir", given}), 0);
    ASSERT_EQ(TarnInic(), 0) << given;
    std::string want = fs::weakly_canonical(home_).string() + "/";
    EXPECT_EQ(fs::weakly_canonical(Sess.HomeDir).string() + "/", want) << given;
    EXPECT_EQ(Sess.HomeDir.back(), '/');
    EXPECT_NE(Sess.HomeDir.substr(0, Sess.HomeDir.size() - 1).back(), '/') << given;
    EXPECT_EQ(Sess.TmpDir.back(), '/');
    EXPECT_TRUE(fs::is_directory(Sess.TmpDir));
  }
  EXPECT_EQ(TarnNormalizeDir("a/b///"), "a/b/");
  EXPECT_EQ(TarnNormalizeDir("/"), "/");
  EXPECT_EQ(TarnNormalizeDir(""), "");
}

// The temporary folder: the one the settings name when it can be used, else
// the user's runtime folder; the default of earlier versions (home + "tmp/")
// and a folder that has gone stale are no choice, and nothing of the machine
// is written back into the settings.
TEST_F(AppStartup, TemporaryFolderAndWhatTheSettingsKeep) {
  fs::current_path(root_);
  const std::string runtime = (root_ / "user/XDG_RUNTIME_DIR/tarnwork/").string();
  const std::string chosen = (root_ / "scratch/").string();
  struct Case {
    std::string Stored, TmpDir;
  } const cases[] = {{"", runtime},
                     {chosen, chosen},
                     {Home() + "tmp/", runtime},
                     {"/proc/no/such/folder/", runtime}};
  for (const auto& c : cases) {
    Sess = Session{};
    WriteText(ConfigDir() / "Tarnwork.ini", "Tarnwork.TmpDir: " + c.Stored + "\n");
    ASSERT_EQ(GetFln({"tarnwork", "-HomeDir", "home"}), 0);
    ASSERT_EQ(TarnInic(), 0);
    EXPECT_EQ(Sess.TmpDir, c.TmpDir) << c.Stored;
    EXPECT_TRUE(fs::is_directory(Sess.TmpDir)) << c.Stored;
    ASSERT_EQ(FeInOutIni(1), 0);
    const std::string ini = ReadText(ConfigDir() / "Tarnwork.ini");
    EXPECT_EQ(ini.find(Home()), std::string::npos) << ini;
  }
  EXPECT_FALSE(fs::exists(home_ / "Tarnwork.ini"));
  EXPECT_FALSE(fs::exists(home_ / "tmp"));
}

TEST_F(AppStartup, HomeDirectoryFromTheEnvironment) {
  fs::current_path(root_);
  ASSERT_EQ(GetFln({"tarnwork"}), 0);
  EXPECT_EQ(TarnInic(), 1);
  auto errors = tk_.Of("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Header, "The environment variable TARNWORKDIR is not defined.");
  EXPECT_EQ(errors[0].Lines, std::vector<std::string>{"Contact authors."});

  setenv("TARNWORKDIR", home_.c_str(), 1);
  Sess = Session{};
  ASSERT_EQ(GetFln({"tarnwork"}), 0);
  EXPECT_EQ(TarnInic(), 0);
  EXPECT_EQ(Sess.HomeDir, home_.string() + "/");
  unsetenv("TARNWORKDIR");

  Sess = Session{};
  tk_.Log.clear();
  ASSERT_EQ(GetFln({"tarnwork", "-HomeDir", "missing"}), 0);
  EXPECT_EQ(TarnInic(), 1);
  EXPECT_EQ(tk_.Of("error").size(), 1u);
}

TEST_F(AppStartup, DataFileVersion) {
  Sess.HomeDir = Home();
  EXPECT_EQ(TestDataFiles(), 0);
  EXPECT_TRUE(tk_.Log.empty());

  // Another version: the user is asked; refusing stops the program.
  WriteText(home_ / "version.dat", "0.9.1\n");
  tk_.Answers = {false};
  EXPECT_EQ(TestDataFiles(), 1);
  // Accepting once asks again next time; accepting for good does not.
  tk_.Answers = {true, false};
  EXPECT_EQ(TestDataFiles(), 0);
  tk_.Answers = {true, true};
  EXPECT_EQ(TestDataFiles(), 0);
  tk_.Log.clear();
  EXPECT_EQ(TestDataFiles(), 0);
  EXPECT_TRUE(tk_.Log.empty());
  auto questions = tk_.Of("yesno");
  EXPECT_TRUE(questions.empty());

  // In batch mode there is no one to ask: the batch does not run.
  fs::remove(home_ / "version.skip");
  Sess.BatchMode = true;
  EXPECT_EQ(TestDataFiles(), 1);
  EXPECT_FALSE(tk_.ListingLines.empty());
}

TEST_F(AppStartup, ShippedHomeDirectoryCarriesTheVersion) {
  Sess.HomeDir = (startDir_ / "data").string() + "/";
  if (!fs::exists(Sess.HomeDir)) GTEST_SKIP() << "not run from the repository root";
  EXPECT_EQ(TestDataFiles(), 0);
}

}  // namespace
}  // namespace tarn
