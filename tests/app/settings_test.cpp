// The settings file: key table, defaults, reading and writing rules, the
// programs dialog, PATH search and running commands.
#include "app/settings.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "app/app_fixture.hpp"
#include "app/fileset.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

using testing::ReadText;

void Write(const std::string& path, const std::string& text) {
  testing::WriteText(path, text);
}

// The shared frame fixture with a home directory of its own and only our own
// bin directory on PATH, so that no program of the machine is found.
class SettingsTest : public testing::AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    const char* p = std::getenv("PATH");
    saved_path_ = p ? p : "";
    fs::create_directories(root_ / "bin");
    Sess.HomeDir = Home();
    Sess.ScreenWidth = 1920;
    Sess.ScreenHeight = 1080;
    ::setenv("PATH", (root_ / "bin").c_str(), 1);
  }
  void TearDown() override {
    ::setenv("PATH", saved_path_.c_str(), 1);
    AppTest::TearDown();
  }
  std::string Ini() const { return IniFileName(); }
  std::string Bin() const { return (root_ / "bin").string() + "/"; }
  void MakeProgram(const std::string& path, bool executable = true) {
    Write(path, "#!/bin/sh\nexit 0\n");
    fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read,
                    fs::perm_options::replace);
  }
  std::string saved_path_;
};

TEST(IniKeys, TableLookup) {
  struct Case {
    int Slot;
    const char* Name;
  } const cases[] = {{1, "WindowWidth"},      {7, "TmpDir"},
                     {22, "DosShellCommand"}, {29, "3dMapsCommand"},
                     {32, "Tarnolde"},        {46, "SIR2014Command"},
                     {65, "Expo2014Command"}, {72, "GeminographyCommand"},
                     {85, "TarnDrawDelay"}};
  for (const auto& c : cases) {
    EXPECT_EQ(IniKeyName(c.Slot), c.Name);
    EXPECT_EQ(IniKeySlot(c.Name), c.Slot);
  }
  EXPECT_EQ(IniKeySlot("windowwidth"), 1);  // case ignored
  EXPECT_EQ(IniKeySlot("WindowWidt"), 0);   // exact name, no abbreviation
  EXPECT_EQ(IniKeySlot("#10"), 0);          // unused slots are never keys
  EXPECT_EQ(IniKeySlot(""), 0);
  int used = 0;
  for (int s = 1; s <= NIniKeys; ++s) used += !IniKeyName(s).empty();
  EXPECT_EQ(used, 35);
  for (int s : {10, 20, 33, 81, 84, 86, 90, 0, 91}) EXPECT_TRUE(IniKeyName(s).empty()) << s;
}

TEST_F(SettingsTest, DefaultGeometryFollowsTheScreen) {
  // H = 3 round(0.8 Hs / 3), W = 4H/3 (integer), window centred.
  struct Case {
    int Sw, Sh, W, H, X, Y;
  } const cases[] = {
      {1920, 1080, 1152, 864, 384, 108},  // 0.8*1080/3 = 288
      {1366, 768, 820, 615, 273, 76},     // 204.8 rounds to 205
      {1280, 1024, 1092, 819, 94, 102},   // 273.07 rounds to 273
      {800, 600, 640, 480, 80, 60},
  };
  for (const auto& c : cases) {
    fs::remove(Ini());
    Sess.ScreenWidth = c.Sw;
    Sess.ScreenHeight = c.Sh;
    Write(Ini(), "# empty settings\n");
    ASSERT_EQ(FeInOutIni(0), 0);
    EXPECT_EQ(Sess.WindowWidth, c.W) << c.Sw << "x" << c.Sh;
    EXPECT_EQ(Sess.WindowHeight, c.H) << c.Sw << "x" << c.Sh;
    EXPECT_EQ(Sess.WindowX, c.X) << c.Sw << "x" << c.Sh;
    EXPECT_EQ(Sess.WindowY, c.Y) << c.Sw << "x" << c.Sh;
  }
  // No temporary folder is named: the program computes its own.
  EXPECT_TRUE(Sess.IniValue[IniTmpDir].empty());
  EXPECT_TRUE(Sess.IniValue[IniEditorCommand].empty());
}

TEST_F(SettingsTest, WriteReadRoundTrip) {
  Write(Ini(), "");
  ASSERT_EQ(FeInOutIni(0), 0);
  Sess.WindowWidth = 1001;
  Sess.WindowHeight = 702;
  Sess.WindowX = -5;  // a window partly off screen is no minimised one
  Sess.WindowY = 40;
  Sess.WindowColors = 2;
  Sess.FontSize = 13;
  Sess.TarnDrawDelay = 0.25;
  Sess.IniValue[IniTmpDir] = "/scratch/tw/";
  Sess.IniValue[IniEditorCommand] = "vi -c 'set nu'";
  Sess.IniValue[IniVesta] = "/opt/viewer/bin/viewer --flag: x";  // a colon in the value
  Sess.IniValue[46] = "sir14";
  ASSERT_EQ(FeRewriteIni(), 0);

  std::string text = ReadText(Ini());
  EXPECT_NE(text.find("Tarnwork.WindowWidth: 1001\n"), std::string::npos);
  EXPECT_NE(text.find("Tarnwork.WindowX: -5\n"), std::string::npos);
  EXPECT_NE(text.find("Tarnwork.TarnDrawDelay: 0.25\n"), std::string::npos);
  EXPECT_NE(text.find("Tarnwork.Vesta: /opt/viewer/bin/viewer --flag: x\n"), std::string::npos);
  EXPECT_NE(text.find("Tarnwork.PSPrinter: \n"), std::string::npos);  // blank values too
  EXPECT_EQ(text.find('#'), std::string::npos);  // unused slots are never written
  // Every used slot once, in table order.
  std::vector<std::string> keys;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    keys.push_back(line.substr(9, line.find(':') - 9));
  ASSERT_EQ(keys.size(), 35u);
  EXPECT_EQ(keys.front(), "WindowWidth");
  EXPECT_EQ(keys[6], "TmpDir");
  EXPECT_EQ(keys.back(), "TarnDrawDelay");
  for (size_t k = 1; k < keys.size(); ++k) EXPECT_LT(IniKeySlot(keys[k - 1]), IniKeySlot(keys[k]));

  Session written = Sess;
  Sess = Session{};
  Sess.HomeDir = written.HomeDir;
  ASSERT_EQ(FeInOutIni(0), 0);
  EXPECT_EQ(Sess.WindowWidth, 1001);
  EXPECT_EQ(Sess.WindowHeight, 702);
  EXPECT_EQ(Sess.WindowX, -5);
  EXPECT_EQ(Sess.WindowY, 40);
  EXPECT_EQ(Sess.WindowColors, 2);
  EXPECT_EQ(Sess.FontSize, 13);
  EXPECT_DOUBLE_EQ(Sess.TarnDrawDelay, 0.25);
  EXPECT_EQ(Sess.TmpDir, "/scratch/tw/");
  for (int s = 1; s <= NIniKeys; ++s) EXPECT_EQ(Sess.IniValue[s], written.IniValue[s]) << s;
  // Writing again gives the same file.
  ASSERT_EQ(FeInOutIni(1), 0);
  EXPECT_EQ(ReadText(Ini()), text);
}

TEST_F(SettingsTest, MalformedAndForeignLines) {
  Write(Ini(),
        "Tarnwork.FontSize: twelve\n"                // not an integer: default kept
        "WindowWidth: 800\n"                         // no program-name prefix: ignored
        "#Tarnwork.WindowHeight: 500\n"              // comment
        "   # Tarnwork.WindowX: 1\n"                 // indented comment
        "Tarnwork.NoSuchKey: 1\n"                    // unknown key
        "Tarnwork.WindowY 77\n"                      // no colon
        "Tarnwork.#10: 5\n"                          // unused slot name
        "Tarnwork.WindowColors: 3.5\n"               // not an integer
        "Tarnwork.TarnDrawDelay: soon\n"             // not a real
        "tarnwork.windowx: 12\r\n"                   // case of prefix and key ignored, CR LF
        "Tarnwork.TmpDir:    /var/tw//\n"            // leading blanks go, one "/" kept
        "Tarnwork.EditorCommand:   nano -w  \n"      // leading blanks go
        "Tarnwork.Diamond:\n"                        // empty text value
        "Tarnwork.FontSize: 99999999999999999999\n"  // out of range
        "\xff\xfe garbage line\n"
        "Tarnwork.ShelxtCommand: first\n"
        "Tarnwork.ShelxtCommand: second\n");  // the last one wins
  ASSERT_EQ(FeInOutIni(0), 0);
  EXPECT_EQ(Sess.FontSize, 10);
  EXPECT_EQ(Sess.WindowWidth, 1152);
  EXPECT_EQ(Sess.WindowHeight, 864);
  EXPECT_EQ(Sess.WindowX, 12);
  EXPECT_EQ(Sess.WindowY, 108);
  EXPECT_EQ(Sess.WindowColors, 0);
  EXPECT_DOUBLE_EQ(Sess.TarnDrawDelay, 0.);
  EXPECT_EQ(Sess.TmpDir, "/var/tw/");
  EXPECT_EQ(Sess.IniValue[IniEditorCommand], "nano -w  ");
  EXPECT_EQ(Sess.IniValue[IniDiamond], "");
  EXPECT_EQ(Sess.IniValue[IniShelxtCommand], "second");
  EXPECT_TRUE(tk_.Log.empty());
}

TEST_F(SettingsTest, MinimisedWindowWritesLastNormalGeometry) {
  Write(Ini(),
        "Tarnwork.WindowWidth: 900\nTarnwork.WindowHeight: 600\n"
        "Tarnwork.WindowX: 30\nTarnwork.WindowY: 20\n");
  ASSERT_EQ(FeInOutIni(0), 0);
  Sess.WindowX = -32000;  // minimised
  Sess.WindowY = -32000;
  Sess.WindowWidth = 160;
  Sess.WindowHeight = 28;
  ASSERT_EQ(FeInOutIni(1), 0);
  ASSERT_EQ(FeInOutIni(0), 0);
  EXPECT_EQ(Sess.WindowWidth, 900);
  EXPECT_EQ(Sess.WindowHeight, 600);
  EXPECT_EQ(Sess.WindowX, 30);
  EXPECT_EQ(Sess.WindowY, 20);

  // Moved while normal, then minimised: the moved geometry is the one kept.
  Sess.WindowX = 50;
  ASSERT_EQ(FeRewriteIni(), 0);
  Sess.WindowX = -32000;
  Sess.WindowY = -32000;
  ASSERT_EQ(FeRewriteIni(), 0);
  ASSERT_EQ(FeInOutIni(0), 0);
  EXPECT_EQ(Sess.WindowX, 50);
  // Only one coordinate far off is not minimised.
  Sess.WindowX = -31000;
  Sess.WindowY = 5;
  ASSERT_EQ(FeRewriteIni(), 0);
  ASSERT_EQ(FeInOutIni(0), 0);
  EXPECT_EQ(Sess.WindowX, -31000);
}

TEST_F(SettingsTest, MissingFileIsCreatedWithProgramsFoundOnPath) {
  MakeProgram(Bin() + "expo");
  MakeProgram(Bin() + "SIR2002");
  MakeProgram(Bin() + "diamond", false);  // not executable
  Sess.IniValue[IniEditorCommand] = "left over";
  ASSERT_EQ(FeInOutIni(0), 0);
  ASSERT_TRUE(fs::exists(Ini()));
  EXPECT_EQ(Sess.IniValue[61], Bin() + "expo");
  EXPECT_EQ(Sess.IniValue[42], Bin() + "SIR2002");
  EXPECT_EQ(Sess.IniValue[IniDiamond], "");
  EXPECT_EQ(Sess.IniValue[IniEditorCommand], "");  // defaults first
  std::string text = ReadText(Ini());
  EXPECT_NE(text.find("Tarnwork.ExpoCommand: " + Bin() + "expo\n"), std::string::npos);
  EXPECT_NE(text.find("Tarnwork.WindowHeight: 864\n"), std::string::npos);
}

TEST_F(SettingsTest, ReadAndWriteErrors) {
  fs::create_directories(Ini());  // a directory in place of the file
  EXPECT_NE(FeInOutIni(0), 0);
  EXPECT_TRUE(tk_.Saw("Tarnwork.ini : reading error."));
  EXPECT_TRUE(tk_.Saw("Please check if the file exist and has proper attributes."));
  EXPECT_EQ(Sess.FontSize, 10);  // defaults stay

  tk_.Log.clear();
  EXPECT_NE(FeInOutIni(1), 0);
  EXPECT_TRUE(tk_.Saw("Tarnwork.ini : writing error."));
  fs::remove(Ini());

  // A protected settings file is left as it is.
  Write(Ini(), "Tarnwork.FontSize: 8\n");
  fs::permissions(Ini(), fs::perms::owner_read, fs::perm_options::replace);
  tk_.Log.clear();
  Sess.FontSize = 14;
  EXPECT_NE(FeRewriteIni(), 0);
  EXPECT_EQ(ReadText(Ini()), "Tarnwork.FontSize: 8\n");
  EXPECT_TRUE(tk_.Saw("Please check if the file is not protected or"));
}

TEST_F(SettingsTest, HomeDirectoryThatCannotTakeTheFile) {
  Sess.HomeDir = (root_ / "no_such_dir").string() + "/";
  EXPECT_NE(FeInOutIni(0), 0);
  EXPECT_TRUE(tk_.Saw("TARNWORKDIR defined but directory isn't accessible."));
  EXPECT_TRUE(tk_.Saw("Please correct the set command (SET TARNWORKDIR=....) "));
  EXPECT_TRUE(tk_.Saw("or make the directory \"" + Sess.HomeDir + "\" accessible."));
}

TEST_F(SettingsTest, ProgramsDialogEditsCommandKeysAndRewrites) {
  Write(Ini(), "Tarnwork.EditorCommand: vi\n");
  ASSERT_EQ(FeInOutIni(0), 0);

  tk_.Forms.push_back({});  // cancel: nothing changes, nothing written
  FeSetPrograms();
  EXPECT_EQ(ReadText(Ini()), "Tarnwork.EditorCommand: vi\n");
  const auto forms = tk_.Of("form");
  ASSERT_EQ(forms.size(), 1u);
  // Shown as "label: value"; the new values go in by label.
  const std::vector<std::string>& shown = forms[0].Lines;
  ASSERT_EQ(shown.size(), 25u);
  EXPECT_EQ(shown.front(), "EditorCommand: vi");
  EXPECT_EQ(shown.back().rfind("GeminographyCommand: ", 0), 0u);
  std::vector<std::string> values;
  for (const auto& l : shown) {
    const std::string label = l.substr(0, l.find(": "));
    EXPECT_NE(label, "WindowWidth");
    EXPECT_NE(label, "TmpDir");
    values.push_back(label == "EditorCommand"   ? "  emacs"
                     : label == "ShelxtCommand" ? "/usr/local/bin/solve"
                                                : l.substr(l.find(": ") + 2));
  }
  tk_.Forms.push_back(values);
  FeSetPrograms();
  EXPECT_EQ(Sess.IniValue[IniEditorCommand], "emacs");
  EXPECT_EQ(Sess.IniValue[IniShelxtCommand], "/usr/local/bin/solve");
  std::string text = ReadText(Ini());
  EXPECT_NE(text.find("Tarnwork.EditorCommand: emacs\n"), std::string::npos);
  EXPECT_NE(text.find("Tarnwork.ShelxtCommand: /usr/local/bin/solve\n"), std::string::npos);
}

TEST_F(SettingsTest, GetPathToSearchesPathInOrder) {
  fs::create_directories(root_ / "bin2");
  std::string bin2 = (root_ / "bin2").string() + "/";
  MakeProgram(bin2 + "tool");
  MakeProgram(Bin() + "tool", false);         // first on PATH but not executable
  fs::create_directories(Bin() + "dirtool");  // a directory is no program
  ::setenv("PATH", (Bin() + "::" + bin2).c_str(), 1);
  EXPECT_EQ(GetPathTo("tool"), bin2 + "tool");
  EXPECT_EQ(GetPathTo("dirtool"), "");
  EXPECT_EQ(GetPathTo("absent"), "");
  EXPECT_EQ(GetPathTo(""), "");
  EXPECT_EQ(GetPathTo(bin2 + "tool"), bin2 + "tool");  // a path is checked as it is
  EXPECT_EQ(GetPathTo(Bin() + "tool"), "");
}

TEST_F(SettingsTest, FeSystemRunsThroughShellAndWaits) {
  ::setenv("PATH", "/usr/bin:/bin", 1);
  std::string out = (root_ / "out.txt").string();
  EXPECT_EQ(FeSystem("echo 'a b' > '" + out + "'; exit 3"), 3);
  EXPECT_EQ(ReadText(out), "a b\n");  // finished before FeSystem returned
  EXPECT_EQ(FeSystem("true"), 0);
  EXPECT_EQ(FeSystem("no_such_command_tarn 2>/dev/null"), 127);
  EXPECT_EQ(FeSystem("kill -TERM $$"), 128 + 15);
}

}  // namespace
}  // namespace tarn
