#include "frame/files.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "frame/actions.hpp"
#include "frame/toolkit.hpp"
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

constexpr fs::perms WriteBits =
    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

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

std::string WithSlash(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
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
};

// The marker file: every word of its first line counts (case ignored); a
// missing, unreadable or non-ASCII file is taken as absent.
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
  return m;
}

std::string ParentTag(const std::string& path) {
  return GetStructureParent(path) ? " (parent)" : "";
}

}  // namespace

// ==== file services =============================================================================

int FeReadFile(const std::string& path, std::string& text) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return 1;
  std::ifstream in(path, std::ios::binary);
  if (!in) return 1;
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) return 1;
  text = ss.str();
  return 0;
}

bool FeFileExists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(path, ec);
}

bool FeIsReadOnly(const std::string& path) {
  std::error_code ec;
  auto st = fs::status(path, ec);
  if (ec || !fs::exists(st)) return false;
  return (st.permissions() & WriteBits) == fs::perms::none;
}

void FeSetReadOnly(const std::string& path, bool readonly) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return;
  if (readonly)
    fs::permissions(path, WriteBits, fs::perm_options::remove, ec);
  else
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ec);
}

int FeWriteFileAtomic(const std::string& path, std::string_view text) {
  if (path.empty()) return 1;
  std::error_code ec;
  bool existed = fs::exists(path, ec);
  // A read-only file (a locked structure) is never replaced, not even by root.
  if (existed && FeIsReadOnly(path)) return 1;
  static int counter = 0;
  std::string dir, name;
  FeSplitPath(path, dir, name);
  std::string tmp = fmt::format("{}.{}.{}.{}.part", dir, name, ::getpid(), ++counter);
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return 1;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      out.close();
      fs::remove(tmp, ec);
      return 1;
    }
  }
  if (existed) {
    auto p = fs::status(path, ec).permissions();
    if (!ec) fs::permissions(tmp, p, fs::perm_options::replace, ec);
  }
  fs::rename(tmp, path, ec);
  if (ec) {
    std::error_code ec2;
    fs::remove(tmp, ec2);
    return 1;
  }
  return 0;
}

int FeCopyFile(const std::string& from, const std::string& to) {
  if (!FeFileExists(from) || to.empty()) return 1;
  std::error_code ec;
  if (fs::exists(to, ec) && FeIsReadOnly(to)) return 1;
  if (fs::exists(to, ec) && fs::equivalent(from, to, ec)) return 0;
  static int counter = 0;
  std::string dir, name;
  FeSplitPath(to, dir, name);
  std::string tmp = fmt::format("{}.{}.{}.{}.part", dir, name, ::getpid(), ++counter);
  fs::copy_file(from, tmp, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    std::error_code ec2;
    fs::remove(tmp, ec2);
    return 1;
  }
  fs::rename(tmp, to, ec);
  if (ec) {
    std::error_code ec2;
    fs::remove(tmp, ec2);
    return 1;
  }
  return 0;
}

int FeMoveFile(const std::string& from, const std::string& to) {
  if (!FeFileExists(from) || to.empty()) return 1;
  std::error_code ec;
  if (fs::exists(to, ec) && FeIsReadOnly(to)) return 1;
  fs::rename(from, to, ec);
  if (!ec) return 0;
  // Another file system: copy, then remove the original.
  if (FeCopyFile(from, to) != 0) return 1;
  FeDeleteFile(from);
  return 0;
}

void FeDeleteFile(const std::string& path) {
  if (path.empty()) return;
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status(path, ec))) return;
  fs::remove(path, ec);
}

bool FeWildMatch(std::string_view pattern, std::string_view name) {
  // Iterative glob with back-tracking to the last "*".
  size_t p = 0, n = 0, star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<std::string> FeListDir(const std::string& pattern) {
  std::vector<std::string> out;
  std::string dir, mask;
  FeSplitPath(pattern, dir, mask);
  if (mask.empty()) mask = "*";
  std::error_code ec;
  fs::directory_iterator it(dir.empty() ? "." : dir, ec), end;
  if (ec) return out;
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    std::error_code ec2;
    if (!it->is_regular_file(ec2)) continue;
    std::string name = it->path().filename().string();
    if (FeWildMatch(mask, name)) out.push_back(dir + name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void FeDeleteFiles(const std::string& pattern) {
  for (const auto& f : FeListDir(pattern)) FeDeleteFile(f);
}

long long FeFileSize(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return -1;
  auto n = fs::file_size(path, ec);
  return ec ? -1 : static_cast<long long>(n);
}

bool FeSameFiles(const std::string& a, const std::string& b) {
  long long na = FeFileSize(a), nb = FeFileSize(b);
  if (na < 0 || nb < 0 || na != nb) return false;
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  constexpr size_t Chunk = 1 << 16;
  std::vector<char> ba(Chunk), bb(Chunk);
  while (fa && fb) {
    fa.read(ba.data(), Chunk);
    fb.read(bb.data(), Chunk);
    if (fa.gcount() != fb.gcount()) return false;
    if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0) return false;
  }
  return fa.eof() && fb.eof();
}

int FeChdir(const std::string& dir) {
  if (dir.empty()) return 1;
  std::error_code ec;
  fs::current_path(dir, ec);
  if (ec) return 1;
  Frame.CurrentDir = FeGetCwd();
  return 0;
}

std::string FeGetCwd() {
  std::error_code ec;
  auto p = fs::current_path(ec);
  if (ec) return "./";
  return WithSlash(p.string());
}

void FeSplitPath(const std::string& path, std::string& dir, std::string& name) {
  auto k = path.rfind('/');
  if (k == std::string::npos) {
    dir.clear();
    name = path;
  } else {
    dir = path.substr(0, k + 1);
    name = path.substr(k + 1);
  }
}

std::string FeStripExt(const std::string& name) {
  auto slash = name.rfind('/');
  auto dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name;
  return name.substr(0, dot);
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
  if (EqIgnoreCase(open, "opened")) m.Opened = true;
  if (EqIgnoreCase(open, "closed")) m.Opened = false;
  if (EqIgnoreCase(lock, "locked")) m.Locked = true;
  if (EqIgnoreCase(lock, "unlocked")) m.Locked = false;
  std::string line =
      fmt::format("{} {}\n", m.Opened ? "opened" : "closed", m.Locked ? "locked" : "unlocked");
  std::string text;
  if (m.Found && FeReadFile(name + ".usd", text) == 0 && text == line) return;
  if (FeWriteFileAtomic(name + ".usd", line) != 0) {
    // The marker is advisory; a protected marker file keeps its old state.
  }
}

void SetExistFiles() {
  for (int k = 0; k < NStructFiles; ++k)
    Frame.ExistFile[k] =
        !Frame.fln.empty() && FeFileExists(Frame.fln + std::string(StructFileExt[k]));
}

void DeletePomFiles() {
  if (!Frame.fln.empty()) {
    DeleteStructureTemporaries(Frame.fln);
    ChangeUSDFile(Frame.fln, "closed", "*");
  }
  for (const auto& c : Frame.ChangeCopy)
    if (!c.empty()) FeDeleteFile(c);
}

int CheckFileIfNotReadOnly(const std::string& file, int ask) {
  if (!FeFileExists(file) || !FeIsReadOnly(file)) return 0;
  if (ask == 1) {
    if (Frame.BatchMode) {
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
  if (Frame.fln.empty()) return;
  ChangeUSDFile(Frame.fln, "*", locked ? "locked" : "unlocked");
  for (int k = 0; k < NStructFiles; ++k) {
    if (k == FileJdhst) continue;  // the drawing tool keeps its history even when locked
    std::string f = Frame.fln + std::string(StructFileExt[k]);
    if (FeFileExists(f)) FeSetReadOnly(f, locked);
  }
  Frame.StructureLocked = locked;
}

// ==== temporaries ===============================================================================

std::string CreateTmpFile(const std::string& stem, int kind) {
  static constexpr std::array<std::string_view, 3> Ext = {".tmp", ".bmp", ".ps"};
  std::string dir = Frame.TmpDir;
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
  for (const auto& s : Frame.TmpFiles)
    if (s == name) return;
  for (auto& s : Frame.TmpFiles) {
    if (s.empty()) {
      s = name;
      return;
    }
  }
}

void FeTmpFilesClear(const std::string& name) {
  for (auto& s : Frame.TmpFiles)
    if (!s.empty() && s == name) s.clear();
}

void FeTmpFilesDelete() {
  for (auto& s : Frame.TmpFiles) {
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
    Frame.ChangeCopy[k] = name;
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
  if (which < 0 || which >= 4 || Frame.ChangeCopy[which].empty()) return;
  std::string file = Frame.fln + std::string(ChangeExt[which]);
  const std::string& copy = Frame.ChangeCopy[which];
  if (Frame.fln.empty() || !FeFileExists(file)) {
    FeDeleteFile(copy);
    return;
  }
  if (FeCopyFile(file, copy) != 0) FeDeleteFile(copy);  // a missing copy reads as "changed"
}

bool ChangedSinceCopy(int which) {
  if (which < 0 || which >= 4) return true;
  std::string file = Frame.fln + std::string(ChangeExt[which]);
  const std::string& copy = Frame.ChangeCopy[which];
  bool hasFile = !Frame.fln.empty() && FeFileExists(file);
  bool hasCopy = !copy.empty() && FeFileExists(copy);
  if (!hasFile && !hasCopy) return false;
  if (hasFile != hasCopy) return true;
  return !FeSameFiles(file, copy);
}

void CleanTmpDirAtStart() {
  if (Frame.TmpDir.empty()) return;
  std::vector<std::string> idle;
  for (const auto& f : FeListDir(Frame.TmpDir + "*")) {
    std::string dir, name;
    FeSplitPath(f, dir, name);
    for (auto p : IdlePatterns) {
      if (FeWildMatch(p, name)) {
        idle.push_back(f);
        break;
      }
    }
  }
  if (static_cast<int>(idle.size()) <= NIdleFilesQuiet || Frame.BatchMode) return;
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
  if (std::find(Frame.ChildFln.begin(), Frame.ChildFln.end(), name) != Frame.ChildFln.end()) return;
  Frame.ChildFln.push_back(name);
}

void ChildFlnClose() {
  // The change-detection copies belong to the current structure and stay.
  for (const auto& child : Frame.ChildFln) {
    DeleteStructureTemporaries(child);
    ChangeUSDFile(child, "closed", "*");
  }
  Frame.ChildFln.clear();
}

// ==== history ===================================================================================

std::string HistoryFileName() {
  return Frame.HomeDir + "tarnwork.hst";
}

namespace {

// Pairs of the history file as stored, before the vanished ones are dropped.
// Pairs with a non-ASCII or blank line are skipped; an odd last line is
// ignored; an unreadable file is an empty history.
std::vector<HistoryEntry> ReadHistoryPairs() {
  std::vector<HistoryEntry> out;
  std::string text;
  if (Frame.HomeDir.empty() || FeReadFile(HistoryFileName(), text) != 0) return out;
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
  if (FeFileExists(path) && !Frame.TmpDir.empty()) {
    if (keep.empty() || keep.compare(0, Frame.TmpDir.size(), Frame.TmpDir) != 0)
      keep = CreateTmpFile("hst", 0);
    if (!keep.empty() && FeCopyFile(path, keep) == 0) FeTmpFilesAdd(keep);
  }
  return FeWriteFileAtomic(path, text);
}

int UpdateHistory() {
  if (Frame.BatchMode || Frame.HomeDir.empty()) return 0;
  if (Trim(Frame.CurrentDir).empty() || Trim(Frame.fln).empty()) return 0;
  HistoryEntry cur{WithSlash(Frame.CurrentDir), Frame.fln};
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
    if (!Frame.fln.empty()) DeletePomFiles();
    if (TarnSwitchFln(e.Dir + e.Name) != 0) {
      // The structure stays open.
      if (!Frame.fln.empty()) ChangeUSDFile(Frame.fln, "opened", "*");
      return NextNothing;
    }
    return -NextNewFln;
  }
}

// ==== recovery ==================================================================================

int CrlRecoverParameterFiles(bool powder) {
  if (Frame.fln.empty()) return 1;
  if (!FeYesNo(std::string(powder ? filemsg::RecoverFiles : filemsg::RecoverFile), {}, false))
    return 0;
  const std::string& f = Frame.fln;
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
