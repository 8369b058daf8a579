// Structure switching: choosing, checking and re-reading the open structure,
// and the menu actions on structures (open, new, save as, copy, lock, shell).
#include <fmt/format.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/actions_internal.hpp"
#include "app/fileset.hpp"
#include "app/settings.hpp"
#include "model/structure.hpp"
#include "util/strings.hpp"

namespace tarn {

// ==== structure ================================================================================

int TarnSwitchFln(const std::string& path) {
  std::string dir, name;
  FeSplitPath(path, dir, name);
  name = FeStripExt(name);
  if (name.empty()) {
    FeChybne(fmt::format("\"{}\" does not name a structure.", path));
    return 1;
  }
  std::string prevDir = FeGetCwd();
  if (!dir.empty() && FeChdir(dir) != 0) {
    FeChybne(fmt::format("The directory \"{}\" does not exist.", dir));
    return 1;
  }
  Sess.DirPrev = prevDir;
  Sess.FlnPrev = Sess.fln;
  Sess.fln = name;
  Sess.CurrentDir = FeGetCwd();
  Sess.LockWarned = false;
  Sess.StructureLocked = false;
  return 0;
}

void TarnRestorePrevFln() {
  if (!Sess.DirPrev.empty() && FeChdir(Sess.DirPrev) != 0) {
    // The previous directory vanished meanwhile: stay where we are.
  }
  Sess.CurrentDir = FeGetCwd();
  Sess.fln = Sess.FlnPrev;
  Sess.LockWarned = false;
  Sess.StructureLocked = Sess.fln.empty() ? false : GetStructureLocked(Sess.fln);
}

int TarnCheckStructure() {
  if (Sess.fln.empty()) {
    Sess.ExistFile.fill(false);
    return 0;
  }
  if (Sess.BatchMode) {
    // No one to ask: a structure that a running process holds is refused
    // (both would write the same files); a marker left by a process that has
    // ended is taken over.
    std::string heldBy, leftBy;
    if (ClaimStructure(Sess.fln, heldBy, leftBy) != 0) {
      FeChybne(fmt::format(fmt::runtime(msg::BatchHeld), Sess.fln, heldBy));
      TarnRestorePrevFln();
      SetExistFiles();
      return 1;
    }
    if (!leftBy.empty())
      Fe().ListingLine(fmt::format(fmt::runtime(msg::BatchTakenOver), leftBy));
  } else if (StructureOpened(Sess.fln)) {
    std::vector<std::string> lines = {std::string(msg::OpenedBy1), std::string(msg::OpenedBy2)};
    // A running instance that holds it is named: its marker stays its own.
    if (std::string by = StructureHeldBy(Sess.fln); !by.empty())
      lines.push_back(fmt::format(fmt::runtime(msg::HeldBy), by));
    if (!FeYesNo(std::string(msg::ContinueAnyhow), lines, false)) {
      TarnRestorePrevFln();
      if (!Sess.fln.empty()) ChangeUSDFile(Sess.fln, "opened", "*");
      SetExistFiles();
      return 1;
    }
  }
  ChangeUSDFile(Sess.fln, "opened", "*");
  if (FeFileExists(Sess.fln + ".jdhstn")) {
    if (FeMoveFile(Sess.fln + ".jdhstn", Sess.fln + ".jdhst") != 0) {
      // Keeping the old drawing history is harmless.
    }
  }
  SetExistFiles();
  Sess.StructureLocked = GetStructureLocked(Sess.fln);
  if (Sess.StructureLocked) {
    if (!Sess.LockWarned) {
      std::vector<std::string> lines = {std::string(msg::Locked1), std::string(msg::Locked2),
                                        std::string(msg::Locked3)};
      if (Sess.BatchMode)
        for (const auto& l : lines) Fe().ListingLine(l);
      else
        FeWarning("WARNING", lines);
      Sess.LockWarned = true;
    }
    SetStructureLock(true);
    Sess.StructureLocked = true;
  }
  return 0;
}

namespace actstruct {

int RunReader(int kind, const std::string& path) {
  const auto& fn = Readers()[kind];
  return fn ? fn(path) : 0;
}

// Rewrites a text file with CR LF line ends to plain LF.
void FixLineEnds(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  std::ostringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  if (text.find('\r') == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  for (size_t k = 0; k < text.size(); ++k)
    if (!(text[k] == '\r' && k + 1 < text.size() && text[k + 1] == '\n')) out += text[k];
  if (FeWriteFileAtomic(path, out) != 0) {
    // Left as it is; readers accept CR LF as well.
  }
}

void ReadFiles(bool force, int& ich) {
  ich = 0;
  // A structure read from its files starts from nothing: no value of the
  // structure read before (its data blocks, reflection headers, current
  // phase) may complete the files of this one.
  if (force) TarnResetStructureState();
  if (Sess.fln.empty()) {
    Sess.ExistFile.fill(false);
    return;
  }
  SetExistFiles();
  for (int k = 0; k < NStructFiles; ++k) {
    if (!Sess.ExistFile[k]) continue;
    std::string file = Sess.fln + std::string(StructFileExt[k]);
    if (Sess.StructureLocked) {
      FeSetReadOnly(file, true);
      continue;
    }
    if (CheckFileIfNotReadOnly(file, 1) != 0) {
      // The user chose to continue without the structure.
      Sess.fln.clear();
      Sess.ExistFile.fill(false);
      ich = 1;
      return;
    }
    if (k == FileM40 || k == FileM41 || k == FileM42 || k == FileM50) FixLineEnds(file);
  }
  // The headers of a reflection file that is gone go with it.
  if (!Sess.ExistFile[FileM95]) Struct.Refl.M95.clear();
  if (!Sess.ExistFile[FileM90]) Struct.Refl.M90.clear();
  if (Sess.ExistFile[FileM95] && RunReader(ReaderM95Header, Sess.fln + ".m95") != 0) ich = 1;
  if (Sess.ExistFile[FileM90] && RunReader(ReaderM90Header, Sess.fln + ".m90") != 0) ich = 1;
  if (ich) return;
  bool m50Changed = false;
  if (Sess.ExistFile[FileM50] && (force || ChangedSinceCopy(3))) {
    if (RunReader(ReaderM50, Sess.fln + ".m50") != 0) {
      ich = 1;
      return;
    }
    RefreshChangeCopy(3);
    m50Changed = true;
  }
  struct {
    int File, Copy, Reader;
  } const params[] = {{FileM40, 0, ReaderM40}, {FileM41, 1, ReaderM41}, {FileM42, 2, ReaderM42}};
  for (const auto& p : params) {
    if (!Sess.ExistFile[p.File]) continue;
    if (!(force || m50Changed || ChangedSinceCopy(p.Copy))) continue;
    if (RunReader(p.Reader, Sess.fln + std::string(StructFileExt[p.File])) != 0) {
      ich = 1;
      return;
    }
    RefreshChangeCopy(p.Copy);
  }
  FeMainView& v = TarnMainView();
  v.Phases.clear();
  v.DataBlocks.clear();
  if (ListsHook()) ListsHook()(v.Phases, v.DataBlocks);
  if (Sess.KPhase > static_cast<int>(v.Phases.size())) Sess.KPhase = 1;
  if (Sess.KDatBlock > static_cast<int>(v.DataBlocks.size())) Sess.KDatBlock = 1;
}

}  // namespace actstruct
using namespace actstruct;

void TarnResetStructureState() {
  Struct = Structure{};
  Sess.KPhase = 1;
  Sess.KDatBlock = 1;
  Sess.ExistFile.fill(false);
  // The change-detection copies belong to the structure read before: without
  // them every file of the next one reads as changed.
  for (const auto& c : Sess.ChangeCopy)
    if (!c.empty()) FeDeleteFile(c);
  TarnMainView().Phases.clear();
  TarnMainView().DataBlocks.clear();
}

void TarnReset(int& ich) {
  ReadFiles(false, ich);
}
void TarnReadStructure(int& ich) {
  ReadFiles(true, ich);
}

// ==== actions ===================================================================================

namespace actstruct {

std::string ShellQuote(const std::string& s) {
  std::string r = "'";
  for (char c : s) {
    if (c == '\'')
      r += "'\\''";
    else
      r += c;
  }
  return r + "'";
}

// Opens a file in the text editor of the settings (or $EDITOR).
int EditFile(const std::string& path) {
  std::string editor = std::string(Trim(Sess.IniValue[IniEditorCommand]));
  if (editor.empty())
    if (const char* e = std::getenv("EDITOR")) editor = e;
  if (editor.empty()) {
    FeInfo("No text editor has been set.", {"Set the editor command in Settings/Programs."});
    return NextNothing;
  }
  if (FeSystem(editor + " " + ShellQuote(path)) < 0)
    FeChybne(fmt::format("The editor \"{}\" could not be started.", editor));
  return NextNothing;
}

std::string StructName(const std::string& path) {
  std::string dir, name;
  FeSplitPath(path, dir, name);
  return name;
}

bool AnyStructFile(const std::string& base) {
  for (auto ext : StructFileExt)
    if (FeFileExists(base + std::string(ext))) return true;
  return false;
}

std::string AlreadyExists(const std::string& base) {
  return fmt::format("The structure \"{}\" already exists, continue anyhow?", StructName(base));
}

int ActionOpen() {
  auto chosen = Fe().ChooseFile("Open : ", std::string(msg::OpenHint), "*.m50");
  // Cancel: the structure stays open.
  if (!chosen || Trim(*chosen).empty()) return NextNothing;
  const std::string path(Trim(*chosen));
  std::string dir, name;
  FeSplitPath(path, dir, name);
  const std::string base = dir + FeStripExt(name);
  // A mistyped name would open an empty structure and close this one.
  if (!FeStripExt(name).empty() && !StructureExists(base) &&
      !FeYesNo(std::string(msg::OpenAnyway),
               {fmt::format(fmt::runtime(msg::NoSuchStructure), StructName(base), base + ".m50")},
               false))
    return NextNothing;
  if (!Sess.fln.empty()) DeletePomFiles();
  if (TarnSwitchFln(path) != 0) {
    if (!Sess.fln.empty()) ChangeUSDFile(Sess.fln, "opened", "*");
    return NextNothing;
  }
  return -NextNewFln;
}

int ActionNew() {
  auto chosen = Fe().ChooseFile("New : ", "", "*.m50");
  if (!chosen || Trim(*chosen).empty()) return NextNothing;
  // The old structure is left: its temporaries go and its marker says closed.
  if (!Sess.fln.empty()) DeletePomFiles();
  std::string dir, name;
  FeSplitPath(std::string(Trim(*chosen)), dir, name);
  std::string base = dir + FeStripExt(name);
  if (AnyStructFile(base) && !FeYesNo(AlreadyExists(base))) return -NextNewFln;
  if (TarnSwitchFln(base) != 0) return -NextNewFln;
  for (auto ext : StructFileExt) FeDeleteFile(Sess.fln + std::string(ext));
  // The wizard starts from nothing, not from the structure left.
  TarnResetStructureState();
  if (TarnHasTool(HookNewStructure)) {
    TarnToolCall call;
    (void)TarnRunTool(HookNewStructure, call);
  }
  (void)TarnRunTool(ActImportReflections);  // the data-import wizard starts the new structure
  return -NextNewFln;
}

int ActionSaveAs(bool backup) {
  auto chosen = Fe().ChooseFile(backup ? "Make backup : " : "Save as : ", "", "*.m50");
  if (!chosen || Trim(*chosen).empty()) return NextNothing;
  std::string target(Trim(*chosen));
  if (target.size() > 4 && EqIgnoreCase(target.substr(target.size() - 4), ".m50"))
    target.resize(target.size() - 4);
  if (StructureExists(target) && !FeYesNo(AlreadyExists(target))) return -NextRebuild;
  for (int k = 0; k < NStructFiles; ++k) {
    if (k == FileInkv || !Sess.ExistFile[k]) continue;
    std::string ext(StructFileExt[k]);
    if (FeCopyFile(Sess.fln + ext, target + ext) != 0) {
      FeChybne(fmt::format("The file \"{}\" could not be copied to \"{}\".", Sess.fln + ext,
                           target + ext));
      return NextNothing;
    }
    if (Sess.StructureLocked) FeSetReadOnly(target + ext, false);
  }
  if (backup || !FeYesNo(std::string(msg::ContinueWithNew))) return NextNothing;
  DeletePomFiles();
  if (TarnSwitchFln(target) != 0) return NextNothing;
  return -NextNewFln;
}

int ActionCopyIn() {
  auto chosen = Fe().ChooseFile("Copy in : ", "", "*.m50");
  if (!chosen || Trim(*chosen).empty()) return NextNothing;
  TarnToolCall call;
  call.Path = std::string(Trim(*chosen));
  (void)TarnRunTool(MenuCopyIn, call);
  return -NextNewFln;
}

int ActionShell() {
  std::string shell = std::string(Trim(Sess.IniValue[IniShellCommand]));
  if (shell.empty())
    if (const char* s = std::getenv("SHELL")) shell = s;
  if (shell.empty()) shell = "/bin/sh";
  FeInfo(std::string(msg::ShellCalled), {std::string(msg::Suspended)});
  if (FeSystem(shell) < 0) FeChybne(fmt::format("The shell \"{}\" could not be started.", shell));
  return NextNothing;
}

int ActionLock() {
  bool lock = !Sess.StructureLocked;
  SetStructureLock(lock);
  Sess.StructureLocked = lock;
  if (lock) FeInfo(std::string(msg::HasBeenLocked));
  return NextNothing;
}

}  // namespace actstruct

}  // namespace tarn
