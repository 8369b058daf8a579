#include "app/fileset.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/actions.hpp"
#include "app/toolkit.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace fs = std::filesystem;

namespace {

// Messages of the file set, in one place.
namespace filemsg {
constexpr std::string_view ReadOnlyHeader = "The file \"{}\" has attribute READONLY.";
constexpr std::string_view ReadOnly1 = "In case that you will ask to continue with the structure";
constexpr std::string_view ReadOnly2 = "the program will reset this attribute. Otherwise program";
constexpr std::string_view ReadOnly3 = "will continue without specified structure.";
constexpr std::string_view ReadOnlyAsk = "Do you want to continue with the structure?";
constexpr std::string_view ReadOnlyBatch =
    "The file \"{}\" has attribute READONLY: the structure is not taken.";
constexpr std::string_view IdleFiles = "There are {} temporary files which are probably idle.";
constexpr std::string_view DeleteThem = "Do you want to delete them?";
constexpr std::string_view DeleteReadOnly = "File \"{}\" is READONLY. Delete it?";
constexpr std::string_view RecoverFile = "Do you really want to recover the parameter file";
constexpr std::string_view RecoverFiles = "Do you really want to recover the parameter files";
constexpr std::string_view RecoverMissing = "The saved file \"{}\" does not exist.";
constexpr std::string_view RecoverFailed = "The file \"{}\" could not be copied to \"{}\".";
constexpr std::string_view HistoryHeader = "Select structure from history";
constexpr std::string_view HistoryDeleteItem = "-- delete an entry from the history --";
constexpr std::string_view HistoryDeleteHeader = "Delete structure from history";
constexpr std::string_view HistoryEmpty = "The history of structures is empty.";
constexpr std::string_view HistoryWriteError = "The history file \"{}\" could not be written.";
}  // namespace filemsg

// Extensions of the change-detection copies, in the order M40, M41, M42, M50.
constexpr std::array<std::string_view, 4> ChangeExt = {".m40", ".m41", ".m42", ".m50"};
constexpr std::array<std::string_view, 4> ChangeStem = {"jm40", "jm41", "jm42", "jm50"};

// Patterns of idle files in the temporary directory removed at start-up.
constexpr std::array<std::string_view, 15> IdlePatterns = {
    "*.bmp", "*.tmp", "*.m40", "*.m50", "*.m80", "*.m81", "*.m91", "*.s40",
    "*.s50", "*.fou", "*.ref", "*.m70", "*.l*",  "*.s70", "*.s83"};
// Start-up cleanup asks only when more idle files than this are found.
constexpr int NIdleFilesQuiet = 30;
// Largest counter of CreateTmpFile (four digits).
constexpr int NTmpCounterMax = 9999;

std::function<bool(const std::string&)>& ParentFn() {
  static std::function<bool(const std::string&)> fn;
  return fn;
}

std::vector<std::string> TextLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      if (!cur.empty() && cur.back() == '\r') cur.pop_back();
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) {
    if (cur.back() == '\r') cur.pop_back();
    lines.push_back(cur);
  }
  return lines;
}

// Deletes the files of dir whose name starts with prefix and continues with
// something that matches the wildcard rest. The prefix is compared literally,
// so a structure name holding "*" or "?" is no pattern. When sepOnly is set,
// the character following the prefix must be a separator ("." or "_" or "-"),
// so that the temporaries of structure "x" do not take those of "xyz".
void DeletePrefixed(const std::string& dir, const std::string& prefix, std::string_view rest,
                    bool sepOnly) {
  std::error_code ec;
  fs::directory_iterator it(dir.empty() ? "." : dir, ec), end;
  if (ec) return;
  std::vector<std::string> doomed;
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    std::error_code ec2;
    if (!it->is_regular_file(ec2)) continue;
    std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    std::string_view tail = std::string_view(name).substr(prefix.size());
    if (sepOnly && !(tail[0] == '.' || tail[0] == '_' || tail[0] == '-')) continue;
    if (FeWildMatch(rest, tail)) doomed.push_back(dir + name);
  }
  for (const auto& f : doomed) FeDeleteFile(f);
}

// The structure temporaries of one structure (path without extension).
void DeleteStructureTemporaries(const std::string& name) {
  if (name.empty()) return;
  for (int k = 0; k <= 99; ++k) FeDeleteFile(fmt::format("{}.l{:02d}", name, k));
  for (auto ext : {".z40", ".z50", ".z90", ".z91", ".z95", ".n40", ".n50"})
    FeDeleteFile(name + ext);
  std::string dir, base;
  FeSplitPath(name, dir, base);
  DeletePrefixed(dir, base, "*.tmp", true);
  DeletePrefixed(dir, base, "*_tmp*.*", true);
  DeletePrefixed(dir, base, ".m40_*", false);
  DeletePrefixed(dir, base, ".m50_*", false);
}

struct Marker {
  bool Opened = false;
  bool Locked = false;
  bool Found = false;
  // The process that set "opened": its id and host, from the second line
  // "owner PID HOST" (absent in markers of earlier versions: Pid 0).
  long Pid = 0;
  std::string Host;
};

std::string ThisHost() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  return buf[0] != '\0' ? std::string(buf) : std::string("localhost");
}

bool OwnedByThisProcess(const Marker& m) {
  return m.Pid == static_cast<long>(::getpid()) && m.Host == ThisHost();
}

// True when the marker was set by another process that still runs on this
// host. A process of another host cannot be asked; its marker counts as
// left over, as does one without an owner.
bool HeldByOther(const Marker& m) {
  if (!m.Opened || m.Pid <= 0 || OwnedByThisProcess(m) || m.Host != ThisHost()) return false;
  return ::kill(static_cast<pid_t>(m.Pid), 0) == 0 || errno == EPERM;
}

// The marker file: every word of its first line counts (case ignored); a
// missing, unreadable or non-ASCII file is taken as absent. The owner line
// that follows is read when the structure is marked opened.
Marker ReadMarker(const std::string& name) {
  Marker m;
  std::string text;
  if (name.empty() || FeReadFile(name + ".usd", text) != 0) return m;
  auto lines = TextLines(text);
  if (lines.empty() || !IsPlainAscii(lines[0])) return m;
  m.Found = true;
  for (const auto& w : SplitWords(lines[0])) {
    if (EqIgnoreCase(w, "opened")) m.Opened = true;
    if (EqIgnoreCase(w, "closed")) m.Opened = false;
    if (EqIgnoreCase(w, "locked")) m.Locked = true;
    if (EqIgnoreCase(w, "unlocked")) m.Locked = false;
  }
  if (m.Opened && lines.size() > 1 && IsPlainAscii(lines[1])) {
    auto w = SplitWords(lines[1]);
    if (w.size() == 3 && EqIgnoreCase(w[0], "owner")) {
      if (auto pid = ToInt(w[1]); pid && *pid > 0) {
        m.Pid = static_cast<long>(*pid);
        m.Host = w[2];
      }
    }
  }
  return m;
}

std::string ParentTag(const std::string& path) {
  return GetStructureParent(path) ? " (parent)" : "";
}

}  // namespace

int FeChdir(const std::string& dir) {
  if (dir.empty()) return 1;
  std::error_code ec;
  fs::current_path(dir, ec);
  if (ec) return 1;
  Sess.CurrentDir = FeGetCwd();
  return 0;
}

// ==== structures ================================================================================

bool StructureExists(const std::string& name) {
  return !name.empty() && FeFileExists(name + ".m50");
}

bool StructureOpened(const std::string& name) {
  return ReadMarker(name).Opened;
}

bool GetStructureLocked(const std::string& name) {
  return ReadMarker(name).Locked;
}

bool GetStructureParent(const std::string& name) {
  return ParentFn() ? ParentFn()(name) : false;
}

void FeSetStructureParentFn(std::function<bool(const std::string&)> fn) {
  ParentFn() = std::move(fn);
}

void ChangeUSDFile(const std::string& name, std::string_view open, std::string_view lock) {
  if (Trim(name).empty() || !StructureExists(name)) return;
  Marker m = ReadMarker(name);
  if (!m.Found) {
    m.Opened = true;
    m.Locked = false;
  }
  const bool other = HeldByOther(m);
  if (EqIgnoreCase(open, "opened")) m.Opened = true;
  // Only the process that set "opened" clears it: another instance that
  // still has the structure open keeps its marker.
  if (EqIgnoreCase(open, "closed") && !other) m.Opened = false;
  if (EqIgnoreCase(lock, "locked")) m.Locked = true;
  if (EqIgnoreCase(lock, "unlocked")) m.Locked = false;
  std::string line =
      fmt::format("{} {}\n", m.Opened ? "opened" : "closed", m.Locked ? "locked" : "unlocked");
  if (m.Opened) {
    // This process becomes the owner unless a running one holds the marker.
    if (!other) {
      m.Pid = static_cast<long>(::getpid());
      m.Host = ThisHost();
    }
    line += fmt::format("owner {} {}\n", m.Pid, m.Host);
  }
  std::string text;
  if (m.Found && FeReadFile(name + ".usd", text) == 0 && text == line) return;
  if (FeWriteFileAtomic(name + ".usd", line) != 0) {
    // The marker is advisory; a protected marker file keeps its old state.
  }
}

int ClaimStructure(const std::string& name, std::string& heldBy, std::string& leftBy) {
  heldBy.clear();
  leftBy.clear();
  if (Trim(name).empty() || !StructureExists(name)) return 0;
  // The marker is read and written under an exclusive lock of the
  // structure's directory, so that of two processes claiming it at once one
  // sees the other's claim.
  std::string dir, base;
  FeSplitPath(name, dir, base);
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool locked = fd >= 0 && ::flock(fd, LOCK_EX) == 0;
  const Marker m = ReadMarker(name);
  int rc = 0;
  if (HeldByOther(m)) {
    heldBy = fmt::format("process {} on {}", m.Pid, m.Host);
    rc = 1;
  } else {
    if (m.Opened && !OwnedByThisProcess(m))
      leftBy = m.Pid > 0 ? fmt::format("process {} on {}", m.Pid, m.Host)
                         : std::string("a process that recorded no owner");
    ChangeUSDFile(name, "opened", "*");
  }
  if (locked) ::flock(fd, LOCK_UN);
  if (fd >= 0) ::close(fd);
  return rc;
}

std::string StructureHeldBy(const std::string& name) {
  Marker m = ReadMarker(name);
  if (!HeldByOther(m)) return {};
  return fmt::format("process {} on {}", m.Pid, m.Host);
}

void SetExistFiles() {
  for (int k = 0; k < NStructFiles; ++k)
    Sess.ExistFile[k] = !Sess.fln.empty() && FeFileExists(Sess.fln + std::string(StructFileExt[k]));
}

void DeletePomFiles() {
  // The temporaries and the marker of a structure that another running
  // instance holds are that instance's.
  if (!Sess.fln.empty() && StructureHeldBy(Sess.fln).empty()) {
    DeleteStructureTemporaries(Sess.fln);
    ChangeUSDFile(Sess.fln, "closed", "*");
  }
  for (const auto& c : Sess.ChangeCopy)
    if (!c.empty()) FeDeleteFile(c);
}

int CheckFileIfNotReadOnly(const std::string& file, int ask) {
  if (!FeFileExists(file) || !FeIsReadOnly(file)) return 0;
  if (ask == 1) {
    if (Sess.BatchMode) {
      // Nobody to ask: a protection set outside the program is respected.
      Fe().ListingLine(fmt::format(fmt::runtime(filemsg::ReadOnlyBatch), file));
      return 1;
    }
    std::vector<std::string> lines = {
        fmt::format(fmt::runtime(filemsg::ReadOnlyHeader), file), std::string(filemsg::ReadOnly1),
        std::string(filemsg::ReadOnly2), std::string(filemsg::ReadOnly3)};
    if (!FeYesNo(std::string(filemsg::ReadOnlyAsk), lines, true)) return 1;
  }
  FeSetReadOnly(file, false);
  return 0;
}

void SetStructureLock(bool locked) {
  if (Sess.fln.empty()) return;
  ChangeUSDFile(Sess.fln, "*", locked ? "locked" : "unlocked");
  for (int k = 0; k < NStructFiles; ++k) {
    if (k == FileJdhst) continue;  // the drawing tool keeps its history even when locked
    std::string f = Sess.fln + std::string(StructFileExt[k]);
    if (FeFileExists(f)) FeSetReadOnly(f, locked);
  }
  Sess.StructureLocked = locked;
}

// ==== temporaries ===============================================================================

std::string CreateTmpFile(const std::string& stem, int kind) {
  static constexpr std::array<std::string_view, 3> Ext = {".tmp", ".bmp", ".ps"};
  std::string dir = Sess.TmpDir;
  if (dir.empty()) {
    std::error_code ec;
    dir = WithSlash(fs::temp_directory_path(ec).string());
  }
  std::string_view ext = Ext[(kind >= 0 && kind < 3) ? kind : 0];
  for (int k = 1; k <= NTmpCounterMax; ++k) {
    std::string name = fmt::format("{}{}{:04d}{}", dir, stem, k, ext);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(name, ec))) return name;
  }
  return {};
}

std::string CreateTmpFileName(const std::string& name, int n) {
  return name + std::to_string(n);
}

std::string FeGetTmpFln(const std::string& name) {
  std::string t = name + "_tmp";
  for (int k = 1; StructureExists(t); ++k) t = name + "_tmp_" + std::to_string(k);
  return t;
}

void FeTmpFilesAdd(const std::string& name) {
  if (name.empty()) return;
  for (const auto& s : Sess.TmpFiles)
    if (s == name) return;
  for (auto& s : Sess.TmpFiles) {
    if (s.empty()) {
      s = name;
      return;
    }
  }
}

void FeTmpFilesClear(const std::string& name) {
  for (auto& s : Sess.TmpFiles)
    if (!s.empty() && s == name) s.clear();
}

void FeTmpFilesDelete() {
  for (auto& s : Sess.TmpFiles) {
    if (s.empty()) continue;
    if (s.find_first_of("*?") != std::string::npos)
      FeDeleteFiles(s);
    else
      FeDeleteFile(s);
    s.clear();
  }
}

void CreateChangeCopies() {
  for (size_t k = 0; k < ChangeStem.size(); ++k) {
    std::string name = CreateTmpFile(std::string(ChangeStem[k]), 0);
    Sess.ChangeCopy[k] = name;
    if (name.empty()) continue;
    // An empty placeholder reserves the name against another program instance
    // using the same temporary directory.
    if (FeWriteFileAtomic(name, "") != 0) {
      // Without it the copy is simply made at the first refresh.
    }
    FeTmpFilesAdd(name);
  }
}

void RefreshChangeCopy(int which) {
  if (which < 0 || which >= 4 || Sess.ChangeCopy[which].empty()) return;
  std::string file = Sess.fln + std::string(ChangeExt[which]);
  const std::string& copy = Sess.ChangeCopy[which];
  if (Sess.fln.empty() || !FeFileExists(file)) {
    FeDeleteFile(copy);
    return;
  }
  if (FeCopyFile(file, copy) != 0) FeDeleteFile(copy);  // a missing copy reads as "changed"
}

bool ChangedSinceCopy(int which) {
  if (which < 0 || which >= 4) return true;
  std::string file = Sess.fln + std::string(ChangeExt[which]);
  const std::string& copy = Sess.ChangeCopy[which];
  bool hasFile = !Sess.fln.empty() && FeFileExists(file);
  bool hasCopy = !copy.empty() && FeFileExists(copy);
  if (!hasFile && !hasCopy) return false;
  if (hasFile != hasCopy) return true;
  return !FeSameFiles(file, copy);
}

void CleanTmpDirAtStart() {
  if (Sess.TmpDir.empty()) return;
  std::vector<std::string> idle;
  for (const auto& f : FeListDir(Sess.TmpDir + "*")) {
    std::string dir, name;
    FeSplitPath(f, dir, name);
    for (auto p : IdlePatterns) {
      if (FeWildMatch(p, name)) {
        idle.push_back(f);
        break;
      }
    }
  }
  if (static_cast<int>(idle.size()) <= NIdleFilesQuiet || Sess.BatchMode) return;
  if (!FeYesNo(std::string(filemsg::DeleteThem),
               {fmt::format(fmt::runtime(filemsg::IdleFiles), idle.size())}, false))
    return;
  bool all = false;
  for (const auto& f : idle) {
    if (FeIsReadOnly(f) && !all) {
      FeAnswer a = Fe().YesNoAll(fmt::format(fmt::runtime(filemsg::DeleteReadOnly), f));
      if (a == FeAnswer::No) continue;
      if (a == FeAnswer::All) all = true;
    }
    FeSetReadOnly(f, false);
    FeDeleteFile(f);
  }
}

// ==== child structures ==========================================================================

void ChildFlnAdd(const std::string& name) {
  if (name.empty()) return;
  if (std::find(Sess.ChildFln.begin(), Sess.ChildFln.end(), name) != Sess.ChildFln.end()) return;
  Sess.ChildFln.push_back(name);
}

void ChildFlnClose() {
  // The change-detection copies belong to the current structure and stay.
  for (const auto& child : Sess.ChildFln) {
    DeleteStructureTemporaries(child);
    ChangeUSDFile(child, "closed", "*");
  }
  Sess.ChildFln.clear();
}

// ==== history ===================================================================================

std::string HistoryFileName() {
  return (Sess.StateDir.empty() ? Sess.HomeDir : Sess.StateDir) + "tarnwork.hst";
}

namespace {

// Pairs of the history file as stored, before the vanished ones are dropped.
// Pairs with a non-ASCII or blank line are skipped; an odd last line is
// ignored; an unreadable file is an empty history.
std::vector<HistoryEntry> ReadHistoryPairs() {
  std::vector<HistoryEntry> out;
  std::string text;
  if (Sess.HomeDir.empty() || FeReadFile(HistoryFileName(), text) != 0) return out;
  auto lines = TextLines(text);
  for (size_t k = 0; k + 1 < lines.size(); k += 2) {
    if (!IsPlainAscii(lines[k]) || !IsPlainAscii(lines[k + 1])) continue;
    std::string dir(TrimRight(lines[k])), name(TrimRight(lines[k + 1]));
    if (Trim(dir).empty() || Trim(name).empty()) continue;
    out.push_back({WithSlash(dir), name});
  }
  return out;
}

bool SameEntry(const HistoryEntry& a, const HistoryEntry& b) {
  return WithSlash(a.Dir) == WithSlash(b.Dir) && a.Name == b.Name;
}

}  // namespace

std::vector<HistoryEntry> ReadHistory() {
  std::vector<HistoryEntry> out;
  for (auto& e : ReadHistoryPairs())
    if (StructureExists(e.Dir + e.Name)) out.push_back(std::move(e));
  return out;
}

int WriteHistory(const std::vector<HistoryEntry>& entries) {
  std::string text;
  int n = 0;
  for (const auto& e : entries) {
    if (n >= NHistoryMax) break;
    text += WithSlash(e.Dir) + "\n" + e.Name + "\n";
    ++n;
  }
  std::string path = HistoryFileName();
  // The previous history is kept as a temporary copy until the program ends.
  // One name serves the whole run, so the registry does not fill up.
  static std::string keep;
  if (FeFileExists(path) && !Sess.TmpDir.empty()) {
    if (keep.empty() || keep.compare(0, Sess.TmpDir.size(), Sess.TmpDir) != 0)
      keep = CreateTmpFile("hst", 0);
    if (!keep.empty() && FeCopyFile(path, keep) == 0) FeTmpFilesAdd(keep);
  }
  return FeWriteFileAtomic(path, text);
}

int UpdateHistory() {
  if (Sess.BatchMode || Sess.HomeDir.empty()) return 0;
  if (Trim(Sess.CurrentDir).empty() || Trim(Sess.fln).empty()) return 0;
  HistoryEntry cur{WithSlash(Sess.CurrentDir), Sess.fln};
  std::vector<HistoryEntry> entries = {cur};
  for (auto& e : ReadHistoryPairs()) {
    if (static_cast<int>(entries.size()) >= NHistoryMax) break;
    if (SameEntry(e, cur) || !StructureExists(e.Dir + e.Name)) continue;
    bool dup = false;
    for (const auto& k : entries) dup = dup || SameEntry(k, e);
    if (!dup) entries.push_back(std::move(e));
  }
  return WriteHistory(entries);
}

int FeHistory() {
  for (;;) {
    auto entries = ReadHistory();
    if (entries.empty()) {
      FeInfo(std::string(filemsg::HistoryEmpty));
      return NextNothing;
    }
    std::vector<std::string> items;
    for (const auto& e : entries) {
      std::string path = e.Dir + e.Name;
      Marker m = ReadMarker(path);
      std::string item = path;
      if (m.Opened) item += " (opened)";
      if (m.Locked) item += " (locked)";
      item += ParentTag(path);
      items.push_back(item);
    }
    items.emplace_back(filemsg::HistoryDeleteItem);
    auto choice = Fe().ChooseFromList(std::string(filemsg::HistoryHeader), items);
    if (!choice || *choice < 0 || *choice >= static_cast<int>(items.size())) return NextNothing;
    if (*choice == static_cast<int>(entries.size())) {
      items.pop_back();
      auto del = Fe().ChooseFromList(std::string(filemsg::HistoryDeleteHeader), items);
      if (!del || *del < 0 || *del >= static_cast<int>(entries.size())) continue;
      entries.erase(entries.begin() + *del);
      if (WriteHistory(entries) != 0) {
        FeChybne(fmt::format(fmt::runtime(filemsg::HistoryWriteError), HistoryFileName()));
        return NextNothing;
      }
      continue;
    }
    const auto& e = entries[*choice];
    if (!Sess.fln.empty()) DeletePomFiles();
    if (TarnSwitchFln(e.Dir + e.Name) != 0) {
      // The structure stays open.
      if (!Sess.fln.empty()) ChangeUSDFile(Sess.fln, "opened", "*");
      return NextNothing;
    }
    return -NextNewFln;
  }
}

// ==== recovery ==================================================================================

int CrlRecoverParameterFiles(bool powder) {
  if (Sess.fln.empty()) return 1;
  if (!FeYesNo(std::string(powder ? filemsg::RecoverFiles : filemsg::RecoverFile), {}, false))
    return 0;
  const std::string& f = Sess.fln;
  auto restore = [&](const char* from, const char* to, bool required) {
    std::string src = f + from, dst = f + to;
    if (!FeFileExists(src)) {
      if (required) FeChybne(fmt::format(fmt::runtime(filemsg::RecoverMissing), src));
      return required ? 1 : 0;
    }
    if (FeCopyFile(src, dst) != 0) {
      FeChybne(fmt::format(fmt::runtime(filemsg::RecoverFailed), src, dst));
      return 1;
    }
    return 0;
  };
  // The re-reading of M40, M41, M50 and the profile follows in TarnReset: the
  // recovered files differ from their change-detection copies.
  if (restore(".s40", ".m40", true) != 0) return 1;
  if (restore(".s70", ".m70", false) != 0) return 1;
  if (restore(".s83", ".m83", false) != 0) return 1;
  if (powder && restore(".s41", ".m41", true) != 0) return 1;
  if (restore(".s42", ".m42", false) != 0) return 1;
  SetExistFiles();
  return 0;
}

}  // namespace tarn
