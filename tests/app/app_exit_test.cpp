// The built program as a user runs it: exit statuses and what it prints, in
// batch mode and interactively through a pipe. Runs the executable that was
// built beside this test (build/src/tarnwork) in a scratch directory holding a
// copy of the shipped home directory files and example.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/cif_text.hpp"

namespace {

namespace fs = std::filesystem;

using tarn::test::ReadText;

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = TARNWORK_EXE;
    if (!fs::exists(exe_)) GTEST_SKIP() << "the program has not been built: " << exe_;
    fs::path src = fs::current_path();
    if (!fs::exists(src / "examples/main.bat")) GTEST_SKIP() << "not run from the repository root";
    char tmpl[] = "/tmp/tarn_prog_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::create_directories(dir_ / "home");
    fs::copy_file(src / "data/version.dat", dir_ / "home/version.dat");
    fs::create_directories(dir_ / "examples/nacl");
    fs::copy_file(src / "examples/main.bat", dir_ / "examples/main.bat");
    for (const char* f : {"nacl.m50", "nacl.m40", "nacl.m95"})
      fs::copy_file(src / "examples/nacl" / f, dir_ / "examples/nacl" / f);
    fs::create_directories(dir_ / "examples/rutile");
    for (const char* f : {"rutile.m50", "rutile.m40", "rutile.m95"})
      fs::copy_file(src / "examples/rutile" / f, dir_ / "examples/rutile" / f);
    fs::copy_file(src / "data/elements.dat", dir_ / "home/elements.dat");
    fs::copy(src / "data/scatter", dir_ / "home/scatter", fs::copy_options::recursive);
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  // Runs "tarnwork args" in the scratch directory with the given input;
  // returns the exit status and keeps the output in out_.
  int Run(const std::string& args, const std::string& input = "", const std::string& env = "") {
    std::ofstream(dir_ / "input") << input;
    std::string cmd = "cd '" + dir_.string() + "' && env -u TARNWORKDIR " + env + " '" +
                      exe_.string() + "' " + args + " < input > output 2>&1";
    int st = std::system(cmd.c_str());
    out_ = ReadText(dir_ / "output");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  bool Printed(const std::string& text) const { return out_.find(text) != std::string::npos; }

  fs::path exe_, dir_;
  std::string out_;
};

TEST_F(ProgramTest, MainJobOnTheShippedExample) {
  for (const char* home : {"home", "home/", "home//"}) {
    EXPECT_EQ(Run(std::string("-HomeDir ") + home + " @examples/main.bat"), 0) << out_;
    EXPECT_TRUE(Printed(".File->Structure->Open\nexamples/nacl/nacl\nStructure: nacl\n")) << out_;
    EXPECT_TRUE(Printed("Refinement: ")) << "the summary with R(obs)\n" << out_;
    EXPECT_FALSE(Printed("Serious warnings")) << out_;
    EXPECT_TRUE(Printed("End of batch file has been reached.\n")) << out_;
    EXPECT_EQ(ReadText(dir_ / "examples/nacl/nacl.usd"), "closed unlocked\n");
    // Rutile: O started 0.05 A off (x = 0.2976) and returns to the x = 0.3053
    // of the simulation within the noise of the simulated data.
    const std::string m40 = ReadText(dir_ / "examples/rutile/rutile.m40");
    const size_t o1 = m40.find("\nO1 ");
    ASSERT_NE(o1, std::string::npos) << m40;
    EXPECT_NEAR(std::stod(m40.substr(o1 + 28, 9)), 0.3053, 5e-4) << m40;
  }
  // The home directory from the environment instead.
  EXPECT_EQ(Run("@examples/main.bat", "", "TARNWORKDIR=home"), 0) << out_;
}

// The main job gives the same output whatever the history holds: a batch
// runs on the structures it names. Here the history names a copy of the rock
// salt measured with Cu K-alpha, with its own M90.
TEST_F(ProgramTest, MainJobIgnoresTheHistory) {
  const auto tree = fs::copy_options::recursive;
  fs::copy(dir_ / "examples", dir_ / "pristine", tree);
  ASSERT_EQ(Run("-HomeDir home @examples/main.bat"), 0) << out_;
  const std::string first = out_;
  const std::string m90 = ReadText(dir_ / "examples/nacl/nacl.m90");
  const std::string m40 = ReadText(dir_ / "examples/rutile/rutile.m40");
  fs::remove_all(dir_ / "examples");
  fs::copy(dir_ / "pristine", dir_ / "examples", tree);
  fs::create_directories(dir_ / "cu");
  for (const char* e : {".m50", ".m40", ".m95"})
    fs::copy_file(dir_ / "examples/nacl" / (std::string("nacl") + e),
                  dir_ / "cu" / (std::string("cu") + e));
  std::ofstream(dir_ / "cu.bat") << ".File->Structure->Open\ncu/cu\n.Edit->Radiation\n"
                                    "lambda 1.54184\n"
                                    ".File->Reflection file->Create refinement reflection file\n";
  ASSERT_EQ(Run("-HomeDir home @cu.bat"), 0) << out_;
  const std::string entry = (dir_ / "cu").string() + "/\ncu\n";
  const fs::path state = fs::path(std::getenv("XDG_STATE_HOME")) / "tarnwork";
  fs::create_directories(state);
  std::ofstream(state / "tarnwork.hst") << entry;
  std::ofstream(dir_ / "home/tarnwork.hst") << entry;  // where earlier versions kept it
  ASSERT_EQ(Run("-HomeDir home @examples/main.bat"), 0) << out_;
  EXPECT_EQ(out_, first);
  EXPECT_EQ(ReadText(dir_ / "examples/nacl/nacl.m90"), m90);
  EXPECT_EQ(ReadText(dir_ / "examples/rutile/rutile.m40"), m40);
}

// The per-user state lies in the XDG folders, or in the home directory when
// it is chosen as writable; the settings name no machine path.
TEST_F(ProgramTest, PerUserStateLiesInTheUsersFolders) {
  const fs::path user = dir_ / "user";
  const std::string env = "XDG_CONFIG_HOME='" + (user / "config").string() + "' XDG_STATE_HOME='" +
                          (user / "state").string() + "' XDG_RUNTIME_DIR='" +
                          (user / "run").string() + "'";
  ASSERT_EQ(Run("-HomeDir home examples/nacl/nacl", "quit\n", env), 0) << out_;
  EXPECT_TRUE(fs::exists(user / "config/tarnwork/Tarnwork.ini"));
  EXPECT_TRUE(fs::exists(user / "state/tarnwork/tarnwork.hst"));
  EXPECT_TRUE(fs::is_directory(user / "run/tarnwork"));
  EXPECT_EQ(ReadText(user / "config/tarnwork/Tarnwork.ini").find(dir_.string()), std::string::npos);
  for (const char* f : {"Tarnwork.ini", "tarnwork.hst", "tmp"})
    EXPECT_FALSE(fs::exists(dir_ / "home" / f)) << f;
  ASSERT_EQ(Run("-portablehome -HomeDir home examples/nacl/nacl", "quit\n", env), 0);
  for (const char* f : {"Tarnwork.ini", "tarnwork.hst", "tmp"})
    EXPECT_TRUE(fs::exists(dir_ / "home" / f)) << f;
  fs::remove_all(dir_ / "home/tmp");
  ASSERT_EQ(Run("-HomeDir home examples/nacl/nacl", "quit\n", env + " TARNWORKPORTABLE=1"), 0);
  EXPECT_TRUE(fs::exists(dir_ / "home/tmp"));
}

TEST_F(ProgramTest, BatchExitStatuses) {
  std::ofstream(dir_ / "comments.bat") << "only\ncomment lines\n";
  std::ofstream(dir_ / "short.bat") << ".File->Structure->Open\n";
  std::ofstream(dir_ / "bad.bat")
      << ".File->Structure->Open\nexamples/nacl/nacl\n.Edit->Radiation\n"
         "lambda\n";
  struct Case {
    std::string args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"-HomeDir home @comments.bat", 0, "End of batch file has been reached."},
      {"-HomeDir home @missing.bat", 1, "reading error occured on the batch file."},
      {"-HomeDir home @short.bat", 1, "end of file read from the batch file."},
      {"-HomeDir home @bad.bat", 1, "Syntax error for the parameter: lambda"},
      {"@comments.bat", 2, "The environment variable TARNWORKDIR is not defined."},
      {"-HomeDir nohome @comments.bat", 2, "nohome"},
      {"-HomeDir home @comments.bat nowhere/x.m50", 2, "nowhere"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.args), c.status) << c.args << "\n" << out_;
    EXPECT_TRUE(Printed(c.message)) << c.args << "\n" << out_;
  }
  EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
  // Data files of another version: the batch does not run.
  std::ofstream(dir_ / "home/version.dat") << "0.0.1\n";
  EXPECT_EQ(Run("-HomeDir home @comments.bat"), 3) << out_;
}

TEST_F(ProgramTest, InteractiveThroughAPipe) {
  EXPECT_EQ(Run("-HomeDir home examples/nacl/nacl.m50",
                "Refinement/Run refinement\nmenu 40061\n99999\nPhases\nquit\n"),
            0);
  EXPECT_TRUE(Printed("==== Tarnwork")) << out_;
  EXPECT_TRUE(Printed("Structure: " + (dir_ / "examples/nacl/nacl").string())) << out_;
  EXPECT_TRUE(Printed("About Tarnwork")) << out_;
  EXPECT_TRUE(Printed("Sorry, this is wrong item, try once more.")) << out_;
  EXPECT_TRUE(Printed("This tool is not available yet.")) << out_;
  EXPECT_TRUE(Printed("Do you want to quit Tarnwork?")) << out_;
  EXPECT_EQ(ReadText(dir_ / "examples/nacl/nacl.usd"), "closed unlocked\n");
  // The structure is remembered and opened next time; end of input closes.
  EXPECT_EQ(Run("-HomeDir home"), 0);
  EXPECT_TRUE(Printed("Structure: " + (dir_ / "examples/nacl/nacl").string())) << out_;
}

}  // namespace
