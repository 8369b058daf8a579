#include "app/startup.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "app/actions.hpp"
#include "app/batch.hpp"
#include "app/fileset.hpp"
#include "app/run_summary.hpp"
#include "app/settings.hpp"
#include "app/toolkit.hpp"
#include "model/session.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace fs = std::filesystem;

std::string TarnHomeVariable() {
  return ToUpper(Sess.ProgramName) + "DIR";
}

std::string TarnNormalizeDir(std::string_view dir) {
  const std::string d(Trim(dir));
  return d.empty() ? d : WithSlash(d);
}

std::string TarnAbsolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::string base = Sess.StartDir.empty() ? FeGetCwd() : Sess.StartDir;
  if (!base.empty() && base.back() != '/') base += '/';
  return base + path;
}

int GetFln(const std::vector<std::string>& args) {
  Sess.StartDir = FeGetCwd();
  TarnRunSummarySetPath("");
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
      Sess.Threads = static_cast<int>(*n);
      ++k;
    } else if (a[0] == '@') {
      std::string name = a.substr(1, 255);
      if (Trim(name).empty()) {
        FeChybne("\"@\" must be followed by the name of the batch file.");
        return 1;
      }
      Sess.BatchMode = true;
      Sess.BatchFile = TarnAbsolute(std::string(Trim(name)));
    } else if (EqIgnoreCase(a, "-json")) {
      if (k + 1 >= args.size() || Trim(args[k + 1]).empty()) {
        FeChybne("\"-json\" must be followed by the name of the run summary.");
        return 1;
      }
      TarnRunSummarySetPath(std::string(Trim(args[k + 1])));
      ++k;
    } else if (EqIgnoreCase(a, "-debug")) {
      Sess.DebugMode = true;
    } else if (EqIgnoreCase(a, "-PortableHome")) {
      Sess.PortableHome = true;
    } else if (EqIgnoreCase(a, "-HomeDir")) {
      if (k + 1 >= args.size() || Trim(args[k + 1]).empty()) {
        FeChybne("\"-HomeDir\" must be followed by the home directory.");
        return 1;
      }
      Sess.HomeDir = TarnAbsolute(std::string(Trim(args[k + 1])));
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
    Sess.CurrentDir = FeGetCwd();
    Sess.fln = FeStripExt(name);
  }
  return 0;
}

namespace {

// Value of an environment variable, "" when unset.
std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(Trim(v));
}

// True for a set variable that does not say "0", "no" or "off".
bool EnvFlag(const char* name) {
  std::string v = Env(name);
  return !v.empty() && v != "0" && !EqIgnoreCase(v, "no") && !EqIgnoreCase(v, "off");
}

// An XDG base folder: the variable when it holds an absolute path, else
// $HOME + fallback; "" when neither is known.
std::string XdgDir(const char* var, const char* fallback) {
  std::string d = Env(var);
  if (!d.empty() && d[0] == '/') return d;
  std::string home = Env("HOME");
  if (home.empty() || home[0] != '/') return {};
  return WithSlash(home) + fallback;
}

// A folder made (with its parents) and writable; false otherwise.
bool UsableDir(const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  return fs::is_directory(dir, ec) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

// A folder of this user in the system's temporary area.
std::string SystemTmpDir() {
  std::error_code ec;
  return TarnNormalizeDir(
      (fs::temp_directory_path(ec) / fmt::format("{}-{}", ToLower(Sess.ProgramName), ::getuid()))
          .string());
}

}  // namespace

std::string TarnPortableVariable() {
  return ToUpper(Sess.ProgramName) + "PORTABLE";
}

std::string TarnDefaultTmpDir() {
  if (Sess.PortableHome) return Sess.HomeDir + "tmp/";
  std::string lower = ToLower(Sess.ProgramName);
  std::string run = Env("XDG_RUNTIME_DIR");
  if (!run.empty() && run[0] == '/') return TarnNormalizeDir(WithSlash(run) + lower);
  return SystemTmpDir();
}

void TarnSetUserDirs() {
  Sess.PortableHome = Sess.PortableHome || EnvFlag(TarnPortableVariable().c_str());
  std::string lower = ToLower(Sess.ProgramName);
  std::string config = XdgDir("XDG_CONFIG_HOME", ".config");
  std::string state = XdgDir("XDG_STATE_HOME", ".local/state");
  // Without a user's home the home directory is the only place there is.
  if (Sess.PortableHome || config.empty() || state.empty()) {
    Sess.ConfigDir = Sess.StateDir = Sess.HomeDir;
    return;
  }
  Sess.ConfigDir = TarnNormalizeDir(WithSlash(config) + lower);
  Sess.StateDir = TarnNormalizeDir(WithSlash(state) + lower);
  std::error_code ec;
  fs::create_directories(Sess.ConfigDir, ec);
  fs::create_directories(Sess.StateDir, ec);
}

int TarnInic() {
  if (Sess.HomeDir.empty()) {
    std::string var = TarnHomeVariable();
    const char* env = std::getenv(var.c_str());
    if (env == nullptr || Trim(env).empty()) {
      FeChybne(fmt::format("The environment variable {} is not defined.", var),
               {std::string(msg::ContactAuthors)});
      return 1;
    }
    Sess.HomeDir = TarnAbsolute(std::string(Trim(env)));
  }
  Sess.HomeDir = TarnNormalizeDir(Sess.HomeDir);
  std::error_code ec;
  if (!fs::is_directory(Sess.HomeDir, ec)) {
    FeChybne(fmt::format("The home directory \"{}\" is not accessible.", Sess.HomeDir),
             {fmt::format("Please correct \"-HomeDir\" or the environment variable {}",
                          TarnHomeVariable()),
              fmt::format("or make the directory \"{}\" accessible.", Sess.HomeDir)});
    return 1;
  }
  TarnSetUserDirs();
  // An unreadable settings file has been reported; the defaults stay.
  if (FeInOutIni(0) != 0) {
  }
  // A folder the settings name is taken when it can be used; a stale one
  // (moved or removed since) gives way to the default.
  std::string chosen(Trim(Sess.IniValue[IniTmpDir]));
  Sess.TmpDir.clear();
  if (!chosen.empty() && chosen[0] == '/' && UsableDir(chosen))
    Sess.TmpDir = TarnNormalizeDir(chosen);
  if (Sess.TmpDir.empty()) {
    Sess.TmpDir = TarnDefaultTmpDir();
    if (!UsableDir(Sess.TmpDir)) {
      // A read-only portable home: the system's temporary area.
      Sess.TmpDir = SystemTmpDir();
      fs::create_directories(Sess.TmpDir, ec);
    }
  }
  return 0;
}

void SetBasicConstants() {
  Sess.KPhase = 1;
  Sess.KDatBlock = 1;
  Sess.SelectedTreeCode = -1;
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
  std::string versionFile = Sess.HomeDir + std::string(VersionFileName);
  // The user's choice is per-user state, kept with the settings.
  std::string skipFile =
      (Sess.ConfigDir.empty() ? Sess.HomeDir : Sess.ConfigDir) + std::string(VersionSkipFileName);
  if (FirstWord(versionFile) == Sess.Version) return 0;
  if (FirstWord(skipFile) == Sess.Version) return 0;
  std::vector<std::string> lines = {
      fmt::format("The data files in \"{}\" do not carry the version {} of {}.", Sess.HomeDir,
                  Sess.Version, Sess.ProgramName),
      fmt::format("(\"{}\" is missing or names another version.)", versionFile)};
  if (Sess.BatchMode) {
    // No one to ask: the batch does not run on foreign data files.
    for (const auto& l : lines) Fe().ListingLine(l);
    return 1;
  }
  if (!FeYesNo(std::string(msg::ContinueAnyhow), lines, false)) return 1;
  if (FeYesNo(std::string(msg::SkipWarning), {}, false)) {
    if (FeWriteFileAtomic(skipFile, Sess.Version + "\n") != 0)
      FeWarning(fmt::format("The file \"{}\" could not be written.", skipFile));
  }
  return 0;
}

namespace {

void CloseDown() {
  if (!Sess.fln.empty()) DeletePomFiles();
  ChildFlnClose();
  FeTmpFilesDelete();
}

}  // namespace

int TarnMain(const std::vector<std::string>& args) {
  if (GetFln(args) != 0) return ExitStartError;
  if (TarnInic() != 0) return ExitStartError;
  SetBasicConstants();
  if (!Sess.BatchMode) FeFillMainTab(0);
  // Without a structure on the command line, take the one used last unless
  // it is marked opened. A batch does not: it runs on the structures it
  // names, whatever the history holds.
  if (Sess.fln.empty() && !Sess.BatchMode) {
    auto hist = ReadHistory();
    if (!hist.empty() && FeChdir(hist[0].Dir) == 0) {
      Sess.CurrentDir = FeGetCwd();
      if (!StructureOpened(hist[0].Name)) Sess.fln = hist[0].Name;
    }
  }
  CleanTmpDirAtStart();
  CreateChangeCopies();
  if (!Sess.fln.empty()) {
    // Leftover temporaries go, but a marker left "opened" by another task or a
    // crash must survive the cleanup so that the user is asked below. The
    // temporaries of a structure that another running instance holds are
    // its own (DeletePomFiles leaves them).
    bool wasOpened = StructureOpened(Sess.fln);
    DeletePomFiles();
    if (wasOpened) ChangeUSDFile(Sess.fln, "opened", "*");
  }
  if (TestDataFiles() != 0) {
    CloseDown();
    return ExitDataFiles;
  }
  Sess.FlnPrev.clear();
  Sess.DirPrev = Sess.CurrentDir;
  if (TarnCheckStructure() == 0 && !Sess.fln.empty()) {
    int ich = 0;
    TarnReadStructure(ich);
    if (ich != 0) {
      ChangeUSDFile(Sess.fln, "closed", "*");
      Sess.fln.clear();
      Sess.ExistFile.fill(false);
    }
  }
  if (!Sess.BatchMode && !Sess.fln.empty() && UpdateHistory() != 0) {
    // A history that cannot be written is not worth stopping for.
  }
  int status = ExitOk;
  if (Sess.BatchMode) {
    if (TarnActionsBatchMode() != 0) status = ExitBatchError;
  } else {
    TarnEventLoop();
    if (FeInOutIni(1) != 0) {
      // Reported by the settings writer.
    }
  }
  CloseDown();
  if (!Sess.BatchMode)
    FeInfo(fmt::format("{} {}", Sess.ProgramName, Sess.Version),
           {fmt::format("Version date {}.", Sess.VersionDate)});
  return status;
}

}  // namespace tarn
