// The structure file set: file services, marker, temporaries, registry,
// history, locking, change-detection copies and recovery. Every test works in
// a fresh temporary directory that is also the current directory.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "app/app_fixture.hpp"
#include "app/fileset.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

using testing::ReadText;

void Touch(const std::string& path, const std::string& text = "x\n") {
  testing::WriteText(path, text);
}

// The shared frame fixture, with home, temporary and work directories inside
// its scratch directory; the work directory is the current one.
class FilesTest : public testing::AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    fs::create_directories(root_ / "home" / "tmp");
    fs::create_directories(root_ / "work");
    fs::current_path(root_ / "work");
    Sess.HomeDir = Home();
    Sess.TmpDir = Sess.HomeDir + "tmp/";
    Sess.CurrentDir = (root_ / "work").string() + "/";
  }
  // A structure of the given files in directory dir (relative to the work dir).
  static void MakeStructure(const std::string& base,
                            std::initializer_list<const char*> exts = {".m50"}) {
    for (auto e : exts) Touch(base + e, std::string("data of ") + e + "\n");
  }
  std::string Dir(const std::string& sub) {
    fs::create_directories(root_ / sub);
    return (root_ / sub).string() + "/";
  }
  bool Quiet() const { return tk_.Log.empty() && tk_.ListingLines.empty(); }
};

TEST(FeWildMatch, Patterns) {
  struct Case {
    const char* Pattern;
    const char* Name;
    bool Match;
  } const cases[] = {
      {"*.tmp", "a.tmp", true},
      {"*.tmp", "a.tmp.x", false},
      {"*.l*", "x.l00", true},
      {"*.l*", "x.m40", false},
      {"*.l*", "a.b.log", true},
      {"?.m40", "x.m40", true},
      {"?.m40", "xy.m40", false},
      {"*_tmp*.*", "x_tmp.m50", true},
      {"*_tmp*.*", "x_tmp", false},
      {"*", "", true},
      {"", "a", false},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
      {"**", "abc", true},
      {"*.TMP", "a.tmp", false},  // file names on Linux are case sensitive
  };
  for (const auto& c : cases)
    EXPECT_EQ(FeWildMatch(c.Pattern, c.Name), c.Match) << c.Pattern << " vs " << c.Name;
}

TEST(FePaths, SplitAndStripExt) {
  struct Case {
    const char* Path;
    const char* Dir;
    const char* Name;
    const char* Stripped;
  } const cases[] = {
      {"x.m40", "", "x.m40", "x"},
      {"/a/b/x.m50", "/a/b/", "x.m50", "/a/b/x"},
      {"a.b/x", "a.b/", "x", "a.b/x"},  // a dot of the directory is no extension
      {"dir/a.b.m40", "dir/", "a.b.m40", "dir/a.b"},
      {"noext", "", "noext", "noext"},
  };
  for (const auto& c : cases) {
    std::string dir, name;
    FeSplitPath(c.Path, dir, name);
    EXPECT_EQ(dir, c.Dir) << c.Path;
    EXPECT_EQ(name, c.Name) << c.Path;
    EXPECT_EQ(FeStripExt(c.Path), c.Stripped) << c.Path;
  }
}

TEST_F(FilesTest, FileServicesCopyCompareAndAtomicWrite) {
  Touch("a.txt", "alpha\n");
  ASSERT_EQ(FeCopyFile("a.txt", "b.txt"), 0);
  EXPECT_TRUE(FeSameFiles("a.txt", "b.txt"));
  Touch("c.txt", "alphA\n");  // same size, other content
  EXPECT_FALSE(FeSameFiles("a.txt", "c.txt"));
  EXPECT_FALSE(FeSameFiles("a.txt", "missing.txt"));
  EXPECT_EQ(FeFileSize("a.txt"), 6);
  EXPECT_EQ(FeFileSize("missing.txt"), -1);
  EXPECT_NE(FeCopyFile("missing.txt", "d.txt"), 0);
  EXPECT_FALSE(FeFileExists("d.txt"));

  // A read-only target is neither overwritten nor replaced by rename, and the
  // refused writes leave no temporary behind.
  FeSetReadOnly("b.txt", true);
  EXPECT_TRUE(FeIsReadOnly("b.txt"));
  EXPECT_NE(FeWriteFileAtomic("b.txt", "new\n"), 0);
  EXPECT_NE(FeCopyFile("c.txt", "b.txt"), 0);
  EXPECT_NE(FeMoveFile("c.txt", "b.txt"), 0);
  EXPECT_EQ(ReadText("b.txt"), "alpha\n");
  EXPECT_TRUE(FeFileExists("c.txt"));
  FeSetReadOnly("b.txt", false);
  EXPECT_FALSE(FeIsReadOnly("b.txt"));

  ASSERT_EQ(FeWriteFileAtomic("b.txt", "new\n"), 0);
  EXPECT_EQ(ReadText("b.txt"), "new\n");
  ASSERT_EQ(FeMoveFile("c.txt", "e.txt"), 0);
  EXPECT_FALSE(FeFileExists("c.txt"));
  EXPECT_EQ(FeListDir("*.txt"), (std::vector<std::string>{"a.txt", "b.txt", "e.txt"}));
  EXPECT_TRUE(FeListDir("*.part").empty());
  FeDeleteFiles("?.txt");
  EXPECT_TRUE(FeListDir("*").empty());
  FeDeleteFile("never.txt");  // absent: no error
}

TEST_F(FilesTest, StructureNeedsM50) {
  MakeStructure("x", {".m40"});
  EXPECT_FALSE(StructureExists("x"));
  MakeStructure("x", {".m50"});
  EXPECT_TRUE(StructureExists("x"));
  EXPECT_FALSE(StructureExists(""));
  Sess.fln = "x";
  SetExistFiles();
  EXPECT_TRUE(Sess.ExistFile[FileM40]);
  EXPECT_TRUE(Sess.ExistFile[FileM50]);
  EXPECT_FALSE(Sess.ExistFile[FileM90]);
}

TEST_F(FilesTest, MarkerStates) {
  MakeStructure("x");
  struct Case {
    const char* Text;  // nullptr: no marker file
    bool Opened, Locked;
  } const cases[] = {
      {nullptr, false, false},
      {"opened unlocked\n", true, false},
      {"closed locked\n", false, true},
      {"  LOCKED   Opened\r\n", true, true},  // any order, case ignored
      {"closed\n", false, false},
      {"", false, false},
      {"opened locked\xff\n", false, false},  // non-ASCII: as absent
  };
  for (const auto& c : cases) {
    fs::remove("x.usd");
    if (c.Text) Touch("x.usd", c.Text);
    EXPECT_EQ(StructureOpened("x"), c.Opened) << (c.Text ? c.Text : "(none)");
    EXPECT_EQ(GetStructureLocked("x"), c.Locked) << (c.Text ? c.Text : "(none)");
  }
}

TEST_F(FilesTest, ChangeUSDFile) {
  MakeStructure("x");
  struct Case {
    const char* Before;  // nullptr: no marker
    const char* Open;
    const char* Lock;
    const char* After;
  } const cases[] = {
      {nullptr, "*", "*", "opened unlocked\n"},  // a missing marker starts opened, unlocked
      {nullptr, "closed", "*", "closed unlocked\n"},
      {"opened unlocked\n", "*", "locked", "opened locked\n"},  // "*" keeps "opened"
      {"closed locked\n", "opened", "*", "opened locked\n"},
      {"opened locked\n", "closed", "unlocked", "closed unlocked\n"},
      {"garbage words\n", "*", "*", "closed unlocked\n"},
  };
  for (const auto& c : cases) {
    fs::remove("x.usd");
    if (c.Before) Touch("x.usd", c.Before);
    ChangeUSDFile("x", c.Open, c.Lock);
    // The first line; an "opened" one is followed by the owner (MarkerOwner).
    EXPECT_EQ(ReadText("x.usd").substr(0, std::string(c.After).size()), c.After)
        << (c.Before ? c.Before : "(none)");
  }
  // Nothing for a blank name or a structure without M50.
  MakeStructure("y", {".m40"});
  ChangeUSDFile("y", "opened", "locked");
  ChangeUSDFile("", "opened", "locked");
  EXPECT_FALSE(FeFileExists("y.usd"));
  EXPECT_FALSE(FeFileExists(".usd"));
}

// The owner line of the marker: only the process that set "opened" clears
// it while it runs. A marker of a process that has ended, or of an earlier
// version without an owner, is left over and cleared as before.
TEST_F(FilesTest, MarkerOwner) {
  MakeStructure("x");
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  struct Case {
    std::string Before;
    bool StaysOpened;
  } const cases[] = {
      {fmt::format("opened unlocked\nowner {} {}\n", getppid(), host), true},
      {fmt::format("opened locked\nowner {} {}\n", gone, host), false},
      {fmt::format("opened unlocked\nowner {} elsewhere.example\n", getppid()), false},
      {"opened unlocked\n", false},
  };
  for (const auto& c : cases) {
    Touch("x.usd", c.Before);
    EXPECT_TRUE(StructureOpened("x"));
    EXPECT_EQ(!StructureHeldBy("x").empty(), c.StaysOpened) << c.Before;
    ChangeUSDFile("x", "closed", "*");
    EXPECT_EQ(StructureOpened("x"), c.StaysOpened) << c.Before;
    if (c.StaysOpened) {
      EXPECT_EQ(ReadText("x.usd"), c.Before);
    }
  }
  // This process becomes the owner of what it opens, and clears it again.
  fs::remove("x.usd");
  ChangeUSDFile("x", "opened", "*");
  EXPECT_EQ(ReadText("x.usd"), fmt::format("opened unlocked\nowner {} {}\n", getpid(), host));
  EXPECT_TRUE(StructureHeldBy("x").empty());
  ChangeUSDFile("x", "closed", "*");
  EXPECT_EQ(ReadText("x.usd"), "closed unlocked\n");
}

TEST_F(FilesTest, TemporaryNames) {
  const std::string tmp = Sess.TmpDir;
  std::string a = CreateTmpFile("jm40", 0);
  EXPECT_EQ(a, tmp + "jm400001.tmp");
  EXPECT_EQ(CreateTmpFile("jm40", 0), a);  // nothing created: same name again
  Touch(a);
  EXPECT_EQ(CreateTmpFile("jm40", 0), tmp + "jm400002.tmp");
  EXPECT_EQ(CreateTmpFile("pic", 1), tmp + "pic0001.bmp");
  EXPECT_EQ(CreateTmpFile("plot", 2), tmp + "plot0001.ps");
  EXPECT_EQ(CreateTmpFileName("work", 12), "work12");
  EXPECT_EQ(CreateTmpFileName("work", -3), "work-3");

  EXPECT_EQ(FeGetTmpFln("x"), "x_tmp");
  MakeStructure("x_tmp");
  EXPECT_EQ(FeGetTmpFln("x"), "x_tmp_1");
  MakeStructure("x_tmp_1");
  EXPECT_EQ(FeGetTmpFln("x"), "x_tmp_2");
  MakeStructure("x_tmp_3", {".m40"});  // no M50: not a structure, gap filled in order
  MakeStructure("x_tmp_2");
  EXPECT_EQ(FeGetTmpFln("x"), "x_tmp_3");
}

TEST_F(FilesTest, RegistryAddClearDelete) {
  const std::string tmp = Sess.TmpDir;
  for (auto n : {"a.tmp", "b.tmp", "w1.ps", "w2.ps", "keep.tmp"}) Touch(tmp + n);
  FeTmpFilesAdd(tmp + "a.tmp");
  FeTmpFilesAdd(tmp + "b.tmp");
  FeTmpFilesAdd(tmp + "b.tmp");  // once only
  FeTmpFilesAdd(tmp + "w?.ps");  // wildcard pattern
  FeTmpFilesAdd(tmp + "keep.tmp");
  FeTmpFilesClear(tmp + "keep.tmp");
  int used = 0;
  for (const auto& s : Sess.TmpFiles) used += !s.empty();
  EXPECT_EQ(used, 3);
  FeTmpFilesDelete();
  EXPECT_EQ(FeListDir(tmp + "*"), (std::vector<std::string>{tmp + "keep.tmp"}));
  for (const auto& s : Sess.TmpFiles) EXPECT_TRUE(s.empty());
}

TEST_F(FilesTest, DeletePomFilesRemovesOnlyThisStructuresTemporaries) {
  MakeStructure("x", {".m40", ".m50", ".m90", ".s40", ".ref", ".jdhst"});
  Touch("x.usd", "opened locked\n");
  const char* doomed[] = {"x.l00",        "x.l07",     "x.l99",     "x.z40",     "x.z50",
                          "x.z90",        "x.z91",     "x.z95",     "x.n40",     "x.n50",
                          "x.tmp",        "x_a.tmp",   "x.m40.tmp", "x_tmp.m50", "x_tmp_1.m40",
                          "x.m40_backup", "x.m50_old", "x_tmp.usd"};
  const char* kept[] = {"xyz.tmp", "xyz_tmp.m50", "y.l00", "x.l100",  "x.m41_old", "x.m40", "x.m50",
                        "x.m90",   "x.s40",       "x.ref", "x.jdhst", "other.tmp", "x.lst"};
  for (auto f : doomed) Touch(f);
  for (auto f : kept) Touch(f);
  Sess.fln = "x";
  CreateChangeCopies();
  for (const auto& c : Sess.ChangeCopy) ASSERT_TRUE(FeFileExists(c)) << c;

  DeletePomFiles();
  for (auto f : doomed) EXPECT_FALSE(FeFileExists(f)) << f;
  for (auto f : kept) EXPECT_TRUE(FeFileExists(f)) << f;
  EXPECT_EQ(ReadText("x.usd"), "closed locked\n");  // lock word kept
  for (const auto& c : Sess.ChangeCopy) EXPECT_FALSE(FeFileExists(c)) << c;
}

TEST_F(FilesTest, StructureNameIsNoWildcard) {
  MakeStructure("a*");
  Touch("a*.tmp");
  Touch("abc.tmp");
  Sess.fln = "a*";
  DeletePomFiles();
  EXPECT_FALSE(FeFileExists("a*.tmp"));
  EXPECT_TRUE(FeFileExists("abc.tmp"));
}

TEST_F(FilesTest, ChildStructuresAreCleanedOnce) {
  fs::create_directories("sub");
  MakeStructure("main");
  MakeStructure("sub/child");
  Touch("sub/child.l01");
  Touch("sub/child.z40");
  Touch("main.l01");
  Touch("sub/child.usd", "opened unlocked\n");
  Sess.fln = "main";
  ChildFlnAdd("sub/child");
  ChildFlnAdd("sub/child");
  EXPECT_EQ(Sess.ChildFln.size(), 1u);
  ChildFlnClose();
  EXPECT_FALSE(FeFileExists("sub/child.l01"));
  EXPECT_FALSE(FeFileExists("sub/child.z40"));
  EXPECT_EQ(ReadText("sub/child.usd"), "closed unlocked\n");
  EXPECT_TRUE(FeFileExists("main.l01"));  // the current structure is left alone
  EXPECT_EQ(Sess.fln, "main");
  EXPECT_TRUE(Sess.ChildFln.empty());
}

TEST_F(FilesTest, LockingSetsReadOnlyExceptDrawingHistory) {
  MakeStructure("x", {".m40", ".m50", ".m90", ".jdhst", ".ref"});
  Touch("x.s40");
  Sess.fln = "x";
  SetStructureLock(true);
  EXPECT_TRUE(GetStructureLocked("x"));
  EXPECT_TRUE(Sess.StructureLocked);
  for (auto e : {".m40", ".m50", ".m90", ".ref"})
    EXPECT_TRUE(FeIsReadOnly(std::string("x") + e)) << e;
  EXPECT_FALSE(FeIsReadOnly("x.jdhst"));
  EXPECT_FALSE(FeIsReadOnly("x.s40"));  // not in the structure-file table
  EXPECT_FALSE(FeIsReadOnly("x.usd"));
  // Locked files are not replaced by the program's writers.
  EXPECT_NE(FeWriteFileAtomic("x.m40", "changed\n"), 0);
  EXPECT_EQ(ReadText("x.m40"), "data of .m40\n");

  SetStructureLock(false);
  EXPECT_FALSE(GetStructureLocked("x"));
  for (auto e : {".m40", ".m50", ".m90", ".ref"})
    EXPECT_FALSE(FeIsReadOnly(std::string("x") + e)) << e;
}

TEST_F(FilesTest, CheckFileIfNotReadOnly) {
  Touch("x.m40");
  EXPECT_EQ(CheckFileIfNotReadOnly("x.m40", 1), 0);  // writable: nothing asked
  EXPECT_TRUE(Quiet());
  EXPECT_EQ(CheckFileIfNotReadOnly("absent.m40", 1), 0);

  FeSetReadOnly("x.m40", true);
  tk_.Answers = {false};
  EXPECT_EQ(CheckFileIfNotReadOnly("x.m40", 1), 1);
  EXPECT_TRUE(FeIsReadOnly("x.m40"));
  EXPECT_TRUE(tk_.Saw("The file \"x.m40\" has attribute READONLY."));
  EXPECT_TRUE(tk_.Saw("will continue without specified structure."));
  EXPECT_TRUE(tk_.Saw("Do you want to continue with the structure?"));

  tk_.Answers = {true};
  EXPECT_EQ(CheckFileIfNotReadOnly("x.m40", 1), 0);
  EXPECT_FALSE(FeIsReadOnly("x.m40"));

  // Without asking the attribute is reset at once.
  FeSetReadOnly("x.m40", true);
  tk_.Log.clear();
  EXPECT_EQ(CheckFileIfNotReadOnly("x.m40", 0), 0);
  EXPECT_FALSE(FeIsReadOnly("x.m40"));
  EXPECT_TRUE(Quiet());

  // In batch mode nobody can be asked: the protection stays, the file is refused.
  FeSetReadOnly("x.m40", true);
  Sess.BatchMode = true;
  EXPECT_EQ(CheckFileIfNotReadOnly("x.m40", 1), 1);
  EXPECT_TRUE(FeIsReadOnly("x.m40"));
}

TEST_F(FilesTest, ChangeDetectionCopies) {
  MakeStructure("x", {".m40", ".m50"});
  Sess.fln = "x";
  CreateChangeCopies();
  std::set<std::string> names(Sess.ChangeCopy.begin(), Sess.ChangeCopy.end());
  EXPECT_EQ(names.size(), 4u);
  EXPECT_EQ(Sess.ChangeCopy[3], Sess.TmpDir + "jm500001.tmp");
  EXPECT_TRUE(ChangedSinceCopy(0));  // copy still the empty placeholder
  EXPECT_TRUE(ChangedSinceCopy(3));
  RefreshChangeCopy(0);
  RefreshChangeCopy(3);
  EXPECT_FALSE(ChangedSinceCopy(0));
  EXPECT_FALSE(ChangedSinceCopy(3));
  RefreshChangeCopy(1);               // no M41: the copy goes
  EXPECT_FALSE(ChangedSinceCopy(1));  // neither file nor copy
  Touch("x.m41");
  EXPECT_TRUE(ChangedSinceCopy(1));  // a new file is a change
  Touch("x.m40", "data of .m4O\n");  // same length, one byte differs
  EXPECT_TRUE(ChangedSinceCopy(0));
  EXPECT_FALSE(ChangedSinceCopy(3));
  fs::remove("x.m50");
  EXPECT_TRUE(ChangedSinceCopy(3));  // a vanished file is a change too
  // A second program start does not take the names in use.
  Session first = Sess;
  CreateChangeCopies();
  EXPECT_NE(Sess.ChangeCopy[2], first.ChangeCopy[2]);
}

TEST_F(FilesTest, StartupCleanupOfTemporaryDirectory) {
  const std::string tmp = Sess.TmpDir;
  auto fill = [&](int n) {
    for (int k = 0; k < n; ++k) Touch(tmp + "f" + std::to_string(k) + (k % 2 ? ".tmp" : ".l01"));
  };
  Touch(tmp + "notes.txt");  // matches no pattern
  fill(30);
  CleanTmpDirAtStart();  // 30 idle files: not worth a question
  EXPECT_TRUE(Quiet());
  EXPECT_EQ(FeListDir(tmp + "*").size(), 31u);

  fill(32);
  FeSetReadOnly(tmp + "f0.l01", true);
  FeSetReadOnly(tmp + "f2.l01", true);
  FeSetReadOnly(tmp + "f4.l01", true);
  tk_.Answers = {false};
  CleanTmpDirAtStart();
  EXPECT_TRUE(tk_.Saw("There are 32 temporary files which are probably idle."));
  EXPECT_EQ(FeListDir(tmp + "*").size(), 33u);  // refused: nothing deleted

  tk_.Log.clear();
  tk_.Answers = {true};
  tk_.AllAnswers = {FeAnswer::No, FeAnswer::All};  // f0 kept; "all" covers f2 and f4
  CleanTmpDirAtStart();
  EXPECT_TRUE(tk_.Saw("File \"" + tmp + "f0.l01\" is READONLY. Delete it?"));
  EXPECT_EQ(FeListDir(tmp + "*"), (std::vector<std::string>{tmp + "f0.l01", tmp + "notes.txt"}));

  // Batch mode never asks and never deletes.
  fill(40);
  Sess.BatchMode = true;
  tk_.Log.clear();
  CleanTmpDirAtStart();
  EXPECT_TRUE(Quiet());
  EXPECT_EQ(FeListDir(tmp + "*").size(), 41u);
}

// ---- history ----------------------------------------------------------------------

class HistoryTest : public FilesTest {
 protected:
  std::string hst() { return HistoryFileName(); }
  // Structures d/s0 ... d/s(n-1), each existing.
  std::vector<HistoryEntry> MakeMany(int n, const std::string& sub = "many") {
    std::string d = Dir(sub);
    std::vector<HistoryEntry> v;
    for (int k = 0; k < n; ++k) {
      std::string name = "s" + std::to_string(k);
      MakeStructure(d + name);
      v.push_back({d, name});
    }
    return v;
  }
  static std::string Text(const std::vector<HistoryEntry>& v) {
    std::string t;
    for (const auto& e : v) t += e.Dir + "\n" + e.Name + "\n";
    return t;
  }
};

TEST_F(HistoryTest, UpdatePutsCurrentFirstWithoutDuplicatesAndAtMost50) {
  auto many = MakeMany(60);
  Touch(hst(), Text(many));
  Sess.CurrentDir = many[7].Dir;
  Sess.fln = many[7].Name;
  ASSERT_EQ(UpdateHistory(), 0);
  auto h = ReadHistory();
  ASSERT_EQ(h.size(), 50u);
  EXPECT_EQ(h[0].Name, "s7");
  int sevens = 0;
  for (const auto& e : h) sevens += e.Name == "s7";
  EXPECT_EQ(sevens, 1);
  EXPECT_EQ(h[1].Name, "s0");
  EXPECT_EQ(h[49].Name, "s49");  // s7 moved up, so s49 is still in
  // The old history is kept as a registered temporary copy.
  bool kept = false;
  for (const auto& s : Sess.TmpFiles)
    if (!s.empty() && ReadText(s) == Text(many)) kept = true;
  EXPECT_TRUE(kept);

  // Opening the same structure again changes nothing; a directory given
  // without its trailing "/" is the same directory.
  std::string before = ReadText(hst());
  Sess.CurrentDir = many[7].Dir.substr(0, many[7].Dir.size() - 1);
  ASSERT_EQ(UpdateHistory(), 0);
  EXPECT_EQ(ReadText(hst()), before);
}

TEST_F(HistoryTest, VanishedAndNonAsciiPairsAreDropped) {
  auto v = MakeMany(4);
  std::string text = Text({v[0]}) + v[1].Dir + "\n" + "s\xc3\xa9\n" +  // non-ASCII name
                     Text({v[2]}) + v[3].Dir + "\n" + "gone\n" +       // vanished structure
                     "\n\n" +                                          // blank pair
                     Text({v[3]}) + "/odd/last/line/\n";
  Touch(hst(), text);
  auto h = ReadHistory();
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[0].Name, "s0");
  EXPECT_EQ(h[1].Name, "s2");
  EXPECT_EQ(h[2].Name, "s3");

  fs::remove(v[2].Dir + "s2.m50");  // vanishes now
  Sess.CurrentDir = v[1].Dir;
  Sess.fln = "s1";
  ASSERT_EQ(UpdateHistory(), 0);
  EXPECT_EQ(ReadText(hst()), Text({v[1], v[0], v[3]}));
}

TEST_F(HistoryTest, UnreadableOrBinaryHistoryIsAbsent) {
  auto v = MakeMany(1);
  fs::create_directories(hst());  // a directory in place of the file
  EXPECT_TRUE(ReadHistory().empty());
  fs::remove(hst());
  Touch(hst(), std::string("\x00\x01\x02\n\xff\xfe\n", 8));
  EXPECT_TRUE(ReadHistory().empty());
  Sess.CurrentDir = v[0].Dir;
  Sess.fln = "s0";
  ASSERT_EQ(UpdateHistory(), 0);
  EXPECT_EQ(ReadText(hst()), Text(v));
}

TEST_F(HistoryTest, NotUpdatedInBatchModeOrWithoutStructure) {
  auto v = MakeMany(1);
  Sess.CurrentDir = v[0].Dir;
  Sess.fln = "";
  ASSERT_EQ(UpdateHistory(), 0);
  EXPECT_FALSE(fs::exists(hst()));
  Sess.fln = "s0";
  Sess.BatchMode = true;
  ASSERT_EQ(UpdateHistory(), 0);
  EXPECT_FALSE(fs::exists(hst()));
}

TEST_F(HistoryTest, DialogTagsChoiceAndDeletion) {
  auto v = MakeMany(3);
  Touch(v[0].Dir + "s0.usd", "opened locked\n");
  Touch(v[2].Dir + "s2.usd", "closed locked\n");
  FeSetStructureParentFn(
      [](const std::string& p) { return p.size() > 2 && p.substr(p.size() - 2) == "s1"; });
  Touch(hst(), Text(v));
  MakeStructure("cur");
  Touch("cur.l05");
  Sess.fln = "cur";
  Sess.CurrentDir = FeGetCwd();

  // Delete s1 from the list, then choose s2.
  tk_.Choices = {3, 1, 1};
  int next = FeHistory();
  FeSetStructureParentFn(nullptr);
  const auto lists = tk_.Of("list");
  ASSERT_EQ(lists.size(), 3u);
  EXPECT_EQ(lists[0].Lines[0], v[0].Dir + "s0 (opened) (locked)");
  EXPECT_EQ(lists[0].Lines[1], v[1].Dir + "s1 (parent)");
  EXPECT_EQ(lists[0].Lines[2], v[2].Dir + "s2 (locked)");
  EXPECT_TRUE(tk_.Saw("Select structure from history"));
  EXPECT_EQ(lists[2].Lines.size(), 3u);  // two entries and the delete item
  EXPECT_EQ(ReadText(hst()), Text({v[0], v[2]}));

  EXPECT_EQ(next, -NextNewFln);
  EXPECT_EQ(Sess.fln, "s2");
  EXPECT_EQ(Sess.CurrentDir, v[2].Dir);
  EXPECT_EQ(FeGetCwd(), v[2].Dir);
  EXPECT_EQ(Sess.FlnPrev, "cur");
  EXPECT_FALSE(FeFileExists(Sess.DirPrev + "cur.l05"));  // old temporaries gone

  // Cancel changes nothing.
  tk_.Choices = {std::nullopt};
  EXPECT_EQ(FeHistory(), NextNothing);
  EXPECT_EQ(Sess.fln, "s2");
}

// ---- recovery -----------------------------------------------------------------------

TEST_F(FilesTest, RecoverParameterFiles) {
  struct Case {
    bool Powder;
    bool Answer;
    std::vector<const char*> Saved;  // saved copies present
    int Ich;
    std::vector<const char*> Restored;   // m-files that now hold the saved text
    std::vector<const char*> Untouched;  // m-files that keep their own text
    const char* Message;
  } const cases[] = {
      {false,
       true,
       {".s40", ".s70", ".s83", ".s42"},
       0,
       {".m40", ".m70", ".m83", ".m42"},
       {".m41"},
       "Do you really want to recover the parameter file"},
      {false, true, {".s40"}, 0, {".m40"}, {".m70", ".m42", ".m41"}, nullptr},
      {true,
       true,
       {".s40", ".s41"},
       0,
       {".m40", ".m41"},
       {".m42"},
       "Do you really want to recover the parameter files"},
      {false, false, {".s40", ".s70"}, 0, {}, {".m40", ".m70"}, nullptr},  // refused
      {false, true, {".s70"}, 1, {}, {".m40", ".m70"}, "The saved file \"x.s40\" does not exist."},
      {true, true, {".s40"}, 1, {".m40"}, {".m41"}, "The saved file \"x.s41\" does not exist."},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n++);
    for (const auto& f : FeListDir("x.*")) fs::remove(f);
    MakeStructure("x", {".m40", ".m41", ".m42", ".m50", ".m70", ".m83"});
    for (auto s : c.Saved) Touch(std::string("x") + s, std::string("saved ") + s + "\n");
    Sess.fln = "x";
    tk_.Log.clear();
    tk_.Answers = {c.Answer};
    EXPECT_EQ(CrlRecoverParameterFiles(c.Powder), c.Ich);
    for (auto m : c.Restored) {
      std::string s = m;
      s[1] = 's';
      EXPECT_EQ(ReadText(std::string("x") + m), "saved " + s + "\n") << m;
    }
    for (auto m : c.Untouched)
      EXPECT_EQ(ReadText(std::string("x") + m), std::string("data of ") + m + "\n") << m;
    if (c.Message) {
      EXPECT_TRUE(tk_.Saw(c.Message)) << c.Message;
    }
  }
}

TEST_F(FilesTest, RecoverRefusesLockedFiles) {
  MakeStructure("x", {".m40", ".m50"});
  Touch("x.s40", "saved\n");
  Sess.fln = "x";
  SetStructureLock(true);
  tk_.Answers = {true};
  EXPECT_EQ(CrlRecoverParameterFiles(false), 1);
  EXPECT_EQ(ReadText("x.m40"), "data of .m40\n");
}

}  // namespace
}  // namespace tarn
