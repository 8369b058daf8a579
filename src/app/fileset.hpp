#pragma once
// The structure's file set: the structure-file table, listings, the marker
// file ".usd", the history, program temporaries, change-detection copies,
// locking and recovery. File services are a thin layer over std::filesystem.
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "model/session.hpp"
#include "util/files.hpp"

namespace tarn {

// Structure-file table, fixed order; index 0-based here (".m40" is 0).
inline constexpr std::array<std::string_view, NStructFiles> StructFileExt = {
    ".m40", ".m41", ".m42", ".m50", ".m70", ".m90", ".m95", ".jdhst", ".prf", ".inkv", ".ref"};
enum StructFileIndex : int {
  FileM40 = 0,
  FileM41,
  FileM42,
  FileM50,
  FileM70,
  FileM90,
  FileM95,
  FileJdhst,
  FilePrf,
  FileInkv,
  FileRef
};

struct ListingKind {
  std::string_view Ext;
  std::string_view Description;
};
inline constexpr std::array<ListingKind, 8> ListingTable = {{{".ref", "refinement"},
                                                             {".fou", "Fourier calculation"},
                                                             {".dis", "distance calculation"},
                                                             {".rre", "reflection merging"},
                                                             {".kvlog", "Kelvor"},
                                                             {".cp", "critical point calculation"},
                                                             {".inb", "basin integration"},
                                                             {".dir", "reflection statistics"}}};

// FeChdir also refreshes Sess.CurrentDir.
[[nodiscard]] int FeChdir(const std::string& dir);

// ---- structures ------------------------------------------------------------
bool StructureExists(const std::string& name);
bool StructureOpened(const std::string& name);
bool GetStructureLocked(const std::string& name);
// open: "opened", "closed" or "*"; lock: "locked", "unlocked" or "*".
// The marker's first line holds the two states; while "opened", a second
// line "owner PID HOST" names the process that set it. Only that process
// clears "opened": a "closed" from another process is ignored while the
// owner runs, and "opened" does not take the marker from a running owner.
void ChangeUSDFile(const std::string& name, std::string_view open, std::string_view lock);
// "process PID on HOST" when another running process of this host holds the
// structure open; "" otherwise (not opened, ours, or left by a crash).
std::string StructureHeldBy(const std::string& name);
// Marks the structure opened by this process unless another running process
// holds it, atomically against other processes of this host. Returns 0 when
// taken (leftBy names the owner of a marker left "opened" by a process that
// is gone, "" otherwise), 1 when held (heldBy "process PID on HOST").
[[nodiscard]] int ClaimStructure(const std::string& name, std::string& heldBy,
                                 std::string& leftBy);
void SetExistFiles();  // recompute Sess.ExistFile for Sess.fln
void DeletePomFiles();
[[nodiscard]] int CheckFileIfNotReadOnly(const std::string& file, int ask);
void SetStructureLock(bool locked);  // toggles files and marker of Sess.fln
// True when the structure is a parent structure of others; answered by the
// function a tool registers (none registered: false).
bool GetStructureParent(const std::string& name);
void FeSetStructureParentFn(std::function<bool(const std::string&)> fn);

// ---- temporaries -------------------------------------------------------------
std::string CreateTmpFile(const std::string& stem, int kind);  // kind 0 .tmp, 1 .bmp, 2 .ps
std::string CreateTmpFileName(const std::string& name, int n);
std::string FeGetTmpFln(const std::string& name);
void FeTmpFilesAdd(const std::string& name);
void FeTmpFilesClear(const std::string& name);
void FeTmpFilesDelete();
void CreateChangeCopies();          // the four "jm40" ... "jm50" names
void RefreshChangeCopy(int which);  // 0 M40, 1 M41, 2 M42, 3 M50: copy file to its copy
bool ChangedSinceCopy(int which);
void CleanTmpDirAtStart();

// ---- child structures ------------------------------------------------------------
void ChildFlnAdd(const std::string& name);
void ChildFlnClose();

// ---- history -----------------------------------------------------------------
struct HistoryEntry {
  std::string Dir;
  std::string Name;
};
inline constexpr int NHistoryMax = 50;
std::string HistoryFileName();  // state folder (Sess.StateDir) + "tarnwork.hst"
// Entries of the history file whose structures still exist, most recent first.
std::vector<HistoryEntry> ReadHistory();
// Rewrites the history file with at most NHistoryMax entries.
[[nodiscard]] int WriteHistory(const std::vector<HistoryEntry>& entries);
[[nodiscard]] int UpdateHistory();  // puts (current dir, fln) first
// The history dialog; returns next-step code (-1200 when a structure was chosen, 0 otherwise).
int FeHistory();

// ---- recovery ---------------------------------------------------------------------
// Restores M40 (and M41, M42, M70, M83) from their saved ".s" copies; returns 0 or 1.
[[nodiscard]] int CrlRecoverParameterFiles(bool powder);

}  // namespace tarn
