#include "frame/startup.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "frame/actions.hpp"
#include "frame/batch.hpp"
#include "frame/files.hpp"
#include "frame/settings.hpp"
#include "frame/state.hpp"
#include "frame/toolkit.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace fs = std::filesystem;

std::string TarnHomeVariable() {
  return ToUpper(Frame.ProgramName) + "DIR";
}

std::string TarnNormalizeDir(std::string_view dir) {
  std::string d(Trim(dir));
  if (d.empty()) return d;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  if (d == "/") return d;
  return d + "/";
}

std::string TarnAbsolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::string base = Frame.StartDir.empty() ? FeGetCwd() : Frame.StartDir;
  if (!base.empty() && base.back() != '/') base += '/';
  return base + path;
}

int GetFln(const std::vector<std::string>& args) {
  Frame.StartDir = FeGetCwd();
  std::string structure;
  for (size_t k = 1; k < args.size(); ++k) {
    const std::string& a = args[k];
    if (a.empty()) break;
    if (EqIgnoreCase(a, "-threads")) {
      auto n = k + 1 < args.size() ? ToInt(args[k + 1]) : std::nullopt;
      if (!n) {
        FeChybne("\"-threads\" must be followed by an integer.");
        return 1;
      }
      Frame.Threads = static_cast<int>(*n);
      ++k;
    } else if (a[0] == '@') {
      std::string name = a.substr(1, 255);
      if (Trim(name).empty()) {
        FeChybne("\"@\" must be followed by the name of the batch file.");
        return 1;
      }
      Frame.BatchMode = true;
      Frame.BatchFile = TarnAbsolute(std::string(Trim(name)));
    } else if (EqIgnoreCase(a, "-debug")) {
      Frame.DebugMode = true;
    } else if (EqIgnoreCase(a, "-HomeDir")) {
      if (k + 1 >= args.size() || Trim(args[k + 1]).empty()) {
        FeChybne("\"-HomeDir\" must be followed by the home directory.");
        return 1;
      }
      Frame.HomeDir = TarnAbsolute(std::string(Trim(args[k + 1])));
      ++k;
    } else {
      structure = TarnAbsolute(a);
    }
  }
  if (!structure.empty()) {
    std::string dir, name;
    FeSplitPath(structure, dir, name);
    if (!dir.empty() && FeChdir(dir) != 0) {
      FeChybne(fmt::format("The directory \"{}\" of the structure does not exist.", dir));
      return 1;
    }
    Frame.CurrentDir = FeGetCwd();
    Frame.fln = FeStripExt(name);
  }
  return 0;
}

int TarnInic() {
  if (Frame.HomeDir.empty()) {
    std::string var = TarnHomeVariable();
    const char* env = std::getenv(var.c_str());
    if (env == nullptr || Trim(env).empty()) {
      FeChybne(fmt::format("The environment variable {} is not defined.", var),
               {std::string(msg::ContactAuthors)});
      return 1;
    }
    Frame.HomeDir = TarnAbsolute(std::string(Trim(env)));
  }
  Frame.HomeDir = TarnNormalizeDir(Frame.HomeDir);
  std::error_code ec;
  if (!fs::is_directory(Frame.HomeDir, ec)) {
    FeChybne(fmt::format("The home directory \"{}\" is not accessible.", Frame.HomeDir),
             {fmt::format("Please correct \"-HomeDir\" or the environment variable {}",
                          TarnHomeVariable()),
              fmt::format("or make the directory \"{}\" accessible.", Frame.HomeDir)});
    return 1;
  }
  // An unreadable settings file has been reported; the defaults stay.
  if (FeInOutIni(0) != 0) {
  }
  if (Frame.TmpDir.empty()) Frame.TmpDir = std::string(Trim(Frame.IniValue[IniTmpDir]));
  if (Frame.TmpDir.empty()) Frame.TmpDir = Frame.HomeDir + "tmp";
  Frame.TmpDir = TarnNormalizeDir(TarnAbsolute(Frame.TmpDir));
  fs::create_directories(Frame.TmpDir, ec);
  if (!fs::is_directory(Frame.TmpDir, ec)) {
    // An installed, read-only home directory: use the system's temporary area.
    Frame.TmpDir = TarnNormalizeDir((fs::temp_directory_path(ec) / "tarnwork").string());
    fs::create_directories(Frame.TmpDir, ec);
  }
  return 0;
}

void SetBasicConstants() {
  Frame.KPhase = 1;
  Frame.KDatBlock = 1;
  Frame.SelectedTreeCode = -1;
  TarnRunDefaultsHooks();
}

namespace {

// First word of the first line that is neither blank nor a "#" comment.
std::string FirstWord(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    auto t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    auto w = SplitWords(t);
    return w.empty() ? std::string() : w[0];
  }
  return {};
}

}  // namespace

// The data files of the home directory are shipped together with
// "version.dat", whose first word (comments "#" skipped) is the version string
// of the program they belong to. A home directory whose version file is missing
// or names another version holds data files of another program version. The
// user may accept them once, or for good: "version.skip" then records the
// accepted version.
int TestDataFiles() {
  std::string versionFile = Frame.HomeDir + std::string(VersionFileName);
  std::string skipFile = Frame.HomeDir + std::string(VersionSkipFileName);
  if (FirstWord(versionFile) == Frame.Version) return 0;
  if (FirstWord(skipFile) == Frame.Version) return 0;
  std::vector<std::string> lines = {
      fmt::format("The data files in \"{}\" do not carry the version {} of {}.", Frame.HomeDir,
                  Frame.Version, Frame.ProgramName),
      fmt::format("(\"{}\" is missing or names another version.)", versionFile)};
  if (Frame.BatchMode) {
    // No one to ask: the batch does not run on foreign data files.
    for (const auto& l : lines) Fe().ListingLine(l);
    return 1;
  }
  if (!FeYesNo(std::string(msg::ContinueAnyhow), lines, false)) return 1;
  if (FeYesNo(std::string(msg::SkipWarning), {}, false)) {
    if (FeWriteFileAtomic(skipFile, Frame.Version + "\n") != 0)
      FeWarning(fmt::format("The file \"{}\" could not be written.", skipFile));
  }
  return 0;
}

namespace {

void CloseDown() {
  if (!Frame.fln.empty()) DeletePomFiles();
  ChildFlnClose();
  FeTmpFilesDelete();
}

}  // namespace

int TarnMain(const std::vector<std::string>& args) {
  if (GetFln(args) != 0) return ExitStartError;
  if (TarnInic() != 0) return ExitStartError;
  SetBasicConstants();
  if (!Frame.BatchMode) FeFillMainTab(0);
  // Without a structure on the command line, take the one used last unless
  // it is marked opened.
  if (Frame.fln.empty()) {
    auto hist = ReadHistory();
    if (!hist.empty() && FeChdir(hist[0].Dir) == 0) {
      Frame.CurrentDir = FeGetCwd();
      if (!StructureOpened(hist[0].Name)) Frame.fln = hist[0].Name;
    }
  }
  CleanTmpDirAtStart();
  CreateChangeCopies();
  if (!Frame.fln.empty()) {
    // Leftover temporaries go, but a marker left "opened" by another task or a
    // crash must survive the cleanup so that the user is asked below.
    bool wasOpened = StructureOpened(Frame.fln);
    DeletePomFiles();
    if (wasOpened) ChangeUSDFile(Frame.fln, "opened", "*");
  }
  if (TestDataFiles() != 0) {
    CloseDown();
    return ExitDataFiles;
  }
  Frame.FlnPrev.clear();
  Frame.DirPrev = Frame.CurrentDir;
  if (TarnCheckStructure() == 0 && !Frame.fln.empty()) {
    int ich = 0;
    TarnReadStructure(ich);
    if (ich != 0) {
      ChangeUSDFile(Frame.fln, "closed", "*");
      Frame.fln.clear();
      Frame.ExistFile.fill(false);
    }
  }
  if (!Frame.BatchMode && !Frame.fln.empty() && UpdateHistory() != 0) {
    // A history that cannot be written is not worth stopping for.
  }
  int status = ExitOk;
  if (Frame.BatchMode) {
    if (TarnActionsBatchMode() != 0) status = ExitBatchError;
  } else {
    TarnEventLoop();
    if (FeInOutIni(1) != 0) {
      // Reported by the settings writer.
    }
  }
  CloseDown();
  if (!Frame.BatchMode)
    FeInfo(fmt::format("{} {}", Frame.ProgramName, Frame.Version),
           {fmt::format("Version date {}.", Frame.VersionDate)});
  return status;
}

}  // namespace tarn
