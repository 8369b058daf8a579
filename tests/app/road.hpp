#pragma once
// Runs of the built program in batch mode: a scratch directory whose "home"
// holds a copy of the shipped data folder and whose "user" folder takes the
// per-user files, batch files written and run there, the output kept. The
// published data sets of ../shared/data are found through the constants.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "importers/shelx_model.hpp"
#include "model/basic.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "support/cif_text.hpp"

namespace tarn::test {

namespace fs = std::filesystem;

// The directory the test program started in (the repository root). Program
// tests go back to it, whatever an earlier test of the process left behind.
inline const fs::path kTestRoot = fs::current_path();

inline const char* const kSh2185Cif = "../shared/data/shelx/SH2185_Cu.cif";
inline const char* const kNaClDir = "../shared/data/nacl";

// Model (.res), reflections (.hkl, SHELX on I) and the merge into M90.
inline const std::string kShelxRoad =
    ".import->SHELX\ns.res\n.File->Reflection file->Import\nSHELX on I\ns.hkl\n"
    ".File->Reflection file->Create refinement reflection file\n";

// The .res text with "L.S. cycles".
inline std::string WithCycles(const std::string& res, int cycles) {
  return std::regex_replace(res, std::regex("\nL\\.S\\. [0-9]+"),
                            "\nL.S. " + std::to_string(cycles));
}

class ProgramDir {
 public:
  ProgramDir() {
    char tmpl[] = "/tmp/tarn_run_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    fs::copy(kTestRoot / "data", dir_ / "home", fs::copy_options::recursive);
  }
  ~ProgramDir() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  ProgramDir(const ProgramDir&) = delete;
  ProgramDir& operator=(const ProgramDir&) = delete;

  const fs::path& Path() const { return dir_; }
  fs::path operator/(const std::string& rel) const { return dir_ / rel; }
  void Write(const std::string& rel, const std::string& text) const {
    const fs::path p = dir_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
  }
  std::string Read(const std::string& rel) const { return ReadText(dir_ / rel); }
  // The shipped NaCl example as the structure s/nacl.
  void CopyNaClExample() const {
    fs::create_directories(dir_ / "s");
    for (const char* ext : {".m50", ".m40"})
      fs::copy_file(kTestRoot / (std::string("examples/nacl/nacl") + ext),
                    dir_ / "s" / (std::string("nacl") + ext));
  }

  // Writes the commands into `bat` and runs the program on it; returns the
  // exit status. Output holds what it printed, the directory read "WORK".
  int Batch(const std::string& commands, const std::string& bat = "job.bat") {
    Write(bat, commands);
    return Run("@" + bat, "/dev/null");
  }
  // Runs the program with the arguments args (after -HomeDir) and the
  // standard input read from the file input (relative to the directory).
  int Run(const std::string& args, const std::string& input, const std::string& out = "output") {
    const int st = std::system(Command(args, input, out).c_str());
    Output = std::regex_replace(Read(out), std::regex(dir_.string()), "WORK");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  // The shell command of Run.
  std::string Command(const std::string& args, const std::string& input,
                      const std::string& out) const {
    const std::string user = (dir_ / "user").string();
    return "cd '" + dir_.string() + "' && XDG_CONFIG_HOME='" + user + "' XDG_STATE_HOME='" + user +
           "' XDG_RUNTIME_DIR='" + user + "' '" + std::string(TARNWORK_EXE) + "' -HomeDir home " +
           args + " < " + input + " > " + out + " 2>&1";
  }
  bool Printed(const std::string& text) const { return Output.find(text) != std::string::npos; }

  std::string Output;

 private:
  fs::path dir_;
};

// R factors of the last cycle from the machine-readable lines of a listing:
// R(obs), wR2(obs), R(all), wR2(all) in percent, then the counts.
struct RFactors {
  double R[4] = {-1., -1., -1., -1.};
  int NObs = 0, NAll = 0;
};
inline RFactors LastRFactors(const std::string& ref) {
  RFactors out;
  std::istringstream in(ref);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Rfactors0: ", 0) == 0) {
      std::istringstream w(line.substr(11));
      w >> out.R[0] >> out.R[1] >> out.R[2] >> out.R[3] >> out.NObs >> out.NAll;
    }
  return out;
}

// Skips the test when the program has not been built. Every such test starts
// in kTestRoot with the in-process structure and session empty (the readers
// of M40 and M50 used to check the results consult them) and leaves them so.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Reset();
    if (!fs::exists(TARNWORK_EXE)) GTEST_SKIP() << "the program has not been built";
  }
  void TearDown() override { Reset(); }
  static void Reset() {
    fs::current_path(kTestRoot);
    Struct = Structure{};
    Sess = Session{};
  }
  bool Printed(const std::string& text) const { return Dir.Printed(text); }
  ProgramDir Dir;
};

// The shipped NaCl example as the structure s/nacl, opened by every batch.
class NaClExampleTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (IsSkipped()) return;
    Dir.CopyNaClExample();
  }
  int Batch(const std::string& body) {
    return Dir.Batch(".File->Structure->Open\ns/nacl\n" + body);
  }
  AtomModel ReadM40() const {
    AtomModel m;
    EXPECT_EQ(M40ReadText(Dir.Read("s/nacl.m40"), "nacl.m40", m), 0);
    return m;
  }
  BasicData ReadM50() const {
    BasicData b;
    EXPECT_EQ(ReadM50Text(Dir.Read("s/nacl.m50"), "nacl.m50", b), 0);
    return b;
  }
};

// Also skips when the published SH2185_Cu CIF is absent; Published holds it.
class Sh2185Test : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists(kSh2185Cif)) GTEST_SKIP() << kSh2185Cif << " is absent";
    Published = ReadText(kSh2185Cif);
  }
  // Writes the embedded .res (with `cycles` cycles unless negative) and .hkl
  // as s.res and s.hkl.
  void WriteEmbedded(int cycles = -1) {
    const std::string res = ShelxEmbeddedFile(Published, "_shelx_res_file");
    Dir.Write("s.res", cycles < 0 ? res : WithCycles(res, cycles));
    Dir.Write("s.hkl", ShelxEmbeddedFile(Published, "_shelx_hkl_file"));
  }
  std::string Published;
};

}  // namespace tarn::test
