// Opening, importing and switching structures in one session: nothing of the
// structure read before survives into the next one, a mistyped name does not
// close the open structure, a structure that another running instance holds
// is announced, and a model file makes a new structure with nothing open.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "app/action_codes.hpp"
#include "app/fileset.hpp"
#include "app/startup.hpp"
#include "app_fixture.hpp"
#include "model/structure.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using testing::AppTest;
using testing::ReadText;
using testing::WriteText;

// The structure-level values the tools rely on.
struct Seen {
  std::string Fln;
  size_t NDatBlock = 0, NM95 = 0, NM90 = 0, NAtom = 0;
  double Lambda = 0., CellA = 0.;
  int KDatBlock = 0, KPhase = 0;
  bool operator==(const Seen&) const = default;
};

class StructureOpen : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    const fs::path src = startDir_;
    if (!fs::exists(src / "examples/nacl/nacl.m50")) GTEST_SKIP() << "not run from the root";
    fs::copy_file(src / "data/elements.dat", home_ / "elements.dat");
    fs::copy(src / "data/scatter", home_ / "scatter", fs::copy_options::recursive);
    // Only the shipped inputs: the main job leaves M90 and listings beside them.
    fs::create_directories(root_ / "a");
    fs::create_directories(root_ / "b");
    for (const char* e : {".m50", ".m40", ".m95", ".hkl"})
      fs::copy_file(fs::path(src / "examples/nacl/nacl") += e, fs::path(root_ / "a/nacl") += e);
    for (const char* e : {".m50", ".m40", ".m95"})
      fs::copy_file(fs::path(src / "examples/rutile/rutile") += e,
                    fs::path(root_ / "b/rutile") += e);
    fs::current_path(root_);
    TarnRegisterTools();
  }
  int Batch(const std::string& text) {
    WriteText(root_ / "job.bat", text);
    return TarnMain({"tarnwork", "-HomeDir", home_.string(), "@job.bat"});
  }
  // Opens a structure as the main window does after "Open".
  void Open(const std::string& path) {
    ASSERT_EQ(TarnSwitchFln(path), 0);
    ASSERT_EQ(TarnNextStep(-NextNewFln), 0);
  }
  static Seen Now() {
    const auto& b = Struct.Basic;
    return {Sess.fln,
            b.DatBlock.size(),
            Struct.Refl.M95.size(),
            Struct.Refl.M90.size(),
            Struct.Model.Atom.size(),
            b.DatBlock.empty() ? 0. : b.DatBlock[0].Lambda,
            b.Phase.empty() ? 0. : b.Phase[0].Cell[0],
            Sess.KDatBlock,
            Sess.KPhase};
  }
};

// Two structures with different wavelengths, cells, data blocks and
// reflection files, opened in turn: each one shows only its own values, and
// the data block chosen in one is not the one of the next.
TEST_F(StructureOpen, EveryValueComesFromTheStructureOpened) {
  std::vector<Seen> seen;
  TarnSetTool(ActRunRefine, [&seen](TarnToolCall&) {
    seen.push_back(Now());
    Sess.KDatBlock = static_cast<int>(Struct.Basic.DatBlock.size());  // the user's choice
    return 0;
  });
  ASSERT_EQ(Batch(".File->Structure->Open\na/nacl\n"
                  ".File->Reflection file->Import\nSHELX on I\na/nacl.hkl\n"
                  ".File->Reflection file->Create refinement reflection file\n"
                  ".File->Structure->Open\nb/rutile\n.Edit->Radiation\nlambda 1.54184\n"
                  ".File->Structure->Open\na/nacl\n.run->refine\n"
                  ".File->Structure->Open\nb/rutile\n.run->refine\n"
                  ".File->Structure->Open\na/nacl\n.run->refine\n"),
            0)
      << ::testing::PrintToString(tk_.ListingLines);
  ASSERT_EQ(seen.size(), 3u);
  const Seen nacl{"nacl", 2, 2, 2, 2, 0.71073, 5.6402, 1, 1};
  const Seen rutile{"rutile", 1, 1, 0, 2, 1.54184, 4.5933, 1, 1};
  EXPECT_EQ(seen[0], nacl);
  EXPECT_EQ(seen[1], rutile);
  EXPECT_EQ(seen[2], nacl);
}

// A name without M50 is asked about interactively (the structure open stays
// open on "no") and ends a batch with an error.
TEST_F(StructureOpen, MistypedNameDoesNotCloseTheOpenStructure) {
  Sess.HomeDir = Home();
  Open((root_ / "a/nacl").string());
  ASSERT_EQ(Sess.fln, "nacl");
  tk_.Files.push_back((root_ / "a/nacx").string());
  tk_.Answers.push_back(false);
  EXPECT_EQ(TarnActions(EventMenu, FeEvent{EventMenu, MenuOpen, 0, 0}), NextNothing);
  EXPECT_EQ(Sess.fln, "nacl");
  EXPECT_TRUE(StructureOpened("nacl"));
  EXPECT_TRUE(tk_.Saw("Do you want to open it anyway?"));
  EXPECT_TRUE(tk_.Saw("The structure \"nacx\" does not exist: there is no file \"" +
                      (root_ / "a/nacx.m50").string() + "\"."));
  Sess = Session{};
  fs::current_path(root_);
  EXPECT_EQ(Batch(".File->Structure->Open\na/nacx\n.run->refine\n"), ExitBatchError);
  EXPECT_FALSE(tk_.Saw("This tool is not available yet."));
}

// A marker set by another running instance: the user is told who holds the
// structure, and leaving it does not clear that instance's marker.
TEST_F(StructureOpen, StructureHeldByAnotherInstance) {
  Sess.HomeDir = Home();
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const std::string held = fmt::format("opened unlocked\nowner {} {}\n", getppid(), host);
  WriteText(root_ / "a/nacl.usd", held);
  WriteText(root_ / "a/nacl.l51", "work file of the other instance\n");
  tk_.Answers.push_back(true);
  Open((root_ / "a/nacl").string());
  EXPECT_TRUE(tk_.Saw(fmt::format("It is open in process {} on {}.", getppid(), host)));
  EXPECT_EQ(Sess.fln, "nacl");
  Open((root_ / "b/rutile").string());
  EXPECT_EQ(ReadText(root_ / "a/nacl.usd"), held);
  DeletePomFiles();
  fs::current_path(root_ / "a");
  Sess.fln = "nacl";
  DeletePomFiles();
  EXPECT_TRUE(fs::exists(root_ / "a/nacl.l51")) << "the other instance's work file stays";

  // A batch refuses the held structure and leaves its marker; a marker whose
  // owner has ended is taken over, with a note.
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  for (const pid_t owner : {getppid(), gone}) {
    const std::string marker = fmt::format("opened unlocked\nowner {} {}\n", owner, host);
    WriteText(root_ / "a/nacl.usd", marker);
    Sess = Session{};
    fs::current_path(root_);
    const bool held = owner != gone;
    EXPECT_EQ(Batch(".File->Structure->Open\na/nacl\n.end\n"), held ? ExitBatchError : ExitOk);
    EXPECT_EQ(tk_.Saw(fmt::format("open in process {} on {}: the batch", owner, host)), held);
    EXPECT_EQ(tk_.Saw(fmt::format("left opened by process {} on {}", owner, host)), !held);
    EXPECT_EQ(ReadText(root_ / "a/nacl.usd") == marker, held);
  }
}

// "Model from SHELX" with nothing open: the structure is made beside the file
// under its name, or where the user says.
TEST_F(StructureOpen, ModelFileMakesAStructureWithNothingOpen) {
  const fs::path res = startDir_ / "../shared/data/nacl/NaCl.res";
  if (!fs::exists(res)) GTEST_SKIP() << res << " is absent";
  Sess.HomeDir = Home();
  fs::create_directories(root_ / "m");
  fs::copy_file(res, root_ / "m/NaCl.res");
  struct Case {
    bool TakeName;
    std::string Other, Made;
  } const cases[] = {{true, "", "m/NaCl"}, {false, (root_ / "n/salt").string(), "n/salt"}};
  fs::create_directories(root_ / "n");
  for (const auto& c : cases) {
    Sess.fln.clear();
    ASSERT_TRUE(TarnItemEnabled(ActModelFromShelx));
    tk_.Files = {(root_ / "m/NaCl.res").string()};
    if (!c.TakeName) tk_.Files.push_back(c.Other);
    tk_.Answers = {c.TakeName};
    const int next = TarnActions(EventButton, FeEvent{EventButton, ActModelFromShelx, 0, 0});
    EXPECT_EQ(next, NextNewFln) << c.Made;
    EXPECT_EQ(TarnNextStep(next), 0);
    EXPECT_TRUE(fs::exists(root_ / (c.Made + ".m50"))) << c.Made;
    EXPECT_EQ(Sess.CurrentDir + Sess.fln, (root_ / c.Made).string());
    ASSERT_FALSE(Struct.Basic.DatBlock.empty());
    EXPECT_DOUBLE_EQ(Struct.Basic.DatBlock[0].Lambda, 0.71073);
    DeletePomFiles();
  }
}

}  // namespace
}  // namespace tarn
