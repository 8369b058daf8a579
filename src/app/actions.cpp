#include "app/actions.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "app/fileset.hpp"
#include "app/settings.hpp"
#include "util/strings.hpp"

namespace tarn {

// ==== tool table =====================================================================

namespace {

std::map<int, TarnToolFn>& Tools() {
  static std::map<int, TarnToolFn> tools;
  return tools;
}
std::array<TarnReaderFn, NReaders>& Readers() {
  static std::array<TarnReaderFn, NReaders> readers;
  return readers;
}
TarnListsFn& ListsHook() {
  static TarnListsFn fn;
  return fn;
}
std::vector<std::function<void()>>& DefaultsHooks() {
  static std::vector<std::function<void()>> hooks;
  return hooks;
}

// A note for the user: the listing in batch mode, an information box otherwise.
void Note(std::string_view text) {
  if (Sess.BatchMode)
    Fe().ListingLine(std::string(text));
  else
    FeInfo(std::string(text));
}

}  // namespace

void TarnSetTool(int code, TarnToolFn fn) {
  if (fn)
    Tools()[code] = std::move(fn);
  else
    Tools().erase(code);
}
bool TarnHasTool(int code) {
  return Tools().count(code) != 0;
}
void TarnClearTools() {
  Tools().clear();
}

int TarnRunTool(int code, TarnToolCall& call) {
  call.Code = code;
  call.Batch = Sess.BatchMode;
  auto it = Tools().find(code);
  if (it == Tools().end()) {
    Note(msg::NotAvailable);
    return NextNothing;
  }
  // Copy: a tool may re-register tools while it runs.
  TarnToolFn fn = it->second;
  return fn(call);
}

int TarnRunTool(int code) {
  TarnToolCall call;
  return TarnRunTool(code, call);
}

void TarnSetReader(int kind, TarnReaderFn fn) {
  if (kind >= 0 && kind < NReaders) Readers()[kind] = std::move(fn);
}
void TarnSetListsHook(TarnListsFn fn) {
  ListsHook() = std::move(fn);
}
void TarnAddDefaultsHook(std::function<void()> fn) {
  if (fn) DefaultsHooks().push_back(std::move(fn));
}
void TarnRunDefaultsHooks() {
  for (auto& fn : DefaultsHooks()) fn();
}

// ==== main tab ==========================================================================

namespace {

struct TabEntry {
  int Code;
  const char* Label;
};

// Group headings (entry 1) and items (entries 2..16); codes 50000 + 100 g + i - 1.
// Labels are limited to 40 characters (50402 is cut there).
constexpr TabEntry kTab[] = {
    {50100, "Reflection file"},
    {50101, "Import/modify reflection file"},
    {50102, "Make space group test"},
    {50103, "Create refinement reflection file"},
    {50104, "View listing from the merging process"},
    {50105, "Manual culling"},
    {50106, "Run average"},
    {50107, "View listing from average"},
    {50108, "Run statistic test - Wilson plot"},
    {50109, "View listing from statistic test"},
    {50200, "New"},
    {50201, "New atom"},
    {50202, "New molecule"},
    {50203, "New position"},
    {50300, "Phases"},
    {50400, "Edit structure parameters"},
    {50401, "Options"},
    {50402, "Edit basic parameters (cell, symmetry, e"},
    {50403, "Edit atoms"},
    {50404, "Edit magnetic modes"},
    {50405, "Edit scale factors"},
    {50406, "Edit extinction parameters"},
    {50407, "Edit twin/phase volume fractions"},
    {50408, "Edit modulation waves"},
    {50409, "Edit f' and f\""},
    {50410, "Edit parameters for electron diffraction"},
    {50500, "Molecules"},
    {50501, "Edit molecules"},
    {50600, "Powder"},
    {50601, "Edit profile"},
    {50602, "Run le Bail wizard"},
    {50603, "Run Rietveld wizard"},
    {50604, "Make le Bail decomposition"},
    {50605, "Make Williamson-Hall analysis"},
    {50606, "Export \"instprm\" file"},
    {50700, "Structure solution"},
    {50701, "Run Kelvor"},
    {50702, "View listing from Kelvor"},
    {50703, "Run Shelxt"},
    {50704, "Run SIR/Expo"},
    {50800, "Random search"},
    {50801, "for magnetic moments"},
    {50802, "select magnetic model from search"},
    {50803, "for modulation parameters"},
    {50804, "select modulation model from search"},
    {50805, "for modulation vector"},
    {50900, "Fourier synthesis"},
    {50901, "Fourier commands"},
    {50902, "Calculate Fourier maps"},
    {50903, "View listing from Fourier calculation"},
    {51000, "Run Contour"},
    {51100, "Import"},
    {51101, "model from Tarn"},
    {51102, "model from SHELX"},
    {51103, "model from CIF"},
    {51104, "amplimodes"},
    {51105, "magnetic modes"},
    {51106, "charge density parameters from ELMAM2"},
    {51107, "charge density parameters from UBSB"},
    {51200, "Refinement"},
    {51201, "Refinement commands"},
    {51202, "Run refinement"},
    {51203, "View refinement listing"},
    {51300, "Distance calculation"},
    {51301, "Distance commands"},
    {51302, "Calculate distances"},
    {51303, "View listing of distances"},
    {51400, "Draw structure"},
    {51401, "Diamond"},
    {51402, "Vesta"},
    {51403, "User defined"},
    {51500, "Grapher"},
    {51600, "CIF utilities"},
    {51601, "CIF make"},
    {51602, "CIF update"},
    {51603, "CIF edit"},
    {51604, "CIF fcfcode=3"},
    {51605, "CIF fcfcode=6"},
    {51700, "Tools"},
    {51701, "Search for possible twinning"},
    {51702, "Run reciprocal space viewer"},
    {51703, "Draw 2d displacements"},
    {51704, "Make tables for publication"},
    {51800, "Charge density tools"},
    {51801, "Find critical points"},
    {51802, "View listing of found critical points"},
    {51803, "Basin integration"},
    {51804, "View listing from basin integration"},
    {51900, "Tools for magnetic structures"},
    {51901, "Run Tarn representation analysis"},
    {51902, "Run ISODISTORT analysis"},
    {52000, "Edit file"},
    {52001, "Select and edit a file"},
    {52100, "Files for MEM"},
    {52101, "Files for Wenda"},
    {52102, "Files for Dysnomia"},
    {52200, "Export structure to"},
    {52201, "SHELX"},
    {52202, "SHELX - averaged reflfection file"},
    {52203, "XD - only reflection file"},
    {52300, "Recover files"},
    {52400, "Matrix calculator"},
    {52500, "Run Tarnolde"},
    {52600, "Ad hoc"},
    {52601, "Diffractometer check"},
    {52602, "Procedure#1"},
};

// 30 x 16 labels of 40 characters at most; [g-1][i-1].
using LabelTable = std::array<std::array<std::string, NTabEntries>, NTabGroups>;

const LabelTable& Labels() {
  static const LabelTable table = [] {
    LabelTable t;
    for (const auto& e : kTab) {
      int g = 0, i = 0;
      if (TarnTabPosition(e.Code, g, i)) t[g - 1][i - 1] = std::string(e.Label).substr(0, 40);
    }
    return t;
  }();
  return table;
}

// Listing files shown by the viewer entries of the tab.
struct ListingViewer {
  int Code;
  const char* Ext;
};
constexpr ListingViewer kViewers[] = {{50104, ".rre"},   {50107, ".ave"}, {50109, ".dir"},
                                      {50702, ".kvlog"}, {50903, ".fou"}, {51203, ".ref"},
                                      {51303, ".dis"},   {51802, ".cp"},  {51804, ".inb"}};

const char* ViewerExt(int code) {
  for (const auto& v : kViewers)
    if (v.Code == code) return v.Ext;
  return nullptr;
}

// "&Open\tCtrl+O" -> "Open": access-key marks and the shortcut removed.
std::string PlainLabel(std::string_view label) {
  std::string r;
  for (char c : label) {
    if (c == '\t') break;
    if (c != '&') r += c;
  }
  return r;
}

}  // namespace

bool TarnTabPosition(int code, int& g, int& i) {
  int rel = code - 50000;
  if (rel < 100) return false;
  g = rel / 100;
  i = rel % 100 + 1;
  return g >= 1 && g <= NTabGroups && i >= 1 && i <= NTabEntries;
}

const std::string& TarnTabLabel(int g, int i) {
  static const std::string empty;
  if (g < 1 || g > NTabGroups || i < 1 || i > NTabEntries) return empty;
  return Labels()[g - 1][i - 1];
}

bool TarnTabIsAction(int g, int i) {
  if (TarnTabLabel(g, i).empty()) return false;
  if (i > 1) return true;
  for (int k = 2; k <= NTabEntries; ++k)
    if (!TarnTabLabel(g, k).empty()) return false;
  return true;
}

int TarnTabFindPath(std::string_view path) {
  std::string want = PlainLabel(Trim(path));
  for (int g = 1; g <= NTabGroups; ++g) {
    const std::string& head = TarnTabLabel(g, 1);
    if (head.empty()) continue;
    if (TarnTabIsAction(g, 1) && EqIgnoreCase(want, head)) return TarnTabCode(g, 1);
    for (int i = 2; i <= NTabEntries; ++i) {
      const std::string& item = TarnTabLabel(g, i);
      if (!item.empty() && EqIgnoreCase(want, head + "/" + item)) return TarnTabCode(g, i);
    }
  }
  return 0;
}

// ==== menus ===============================================================================

namespace {

struct MenuDef {
  const char* Menu;
  const char* Label;
  int Code;
};
constexpr MenuDef kMenu[] = {
    {"&Structure", "Start s&hell", MenuShell},
    {"&Structure", "&New\tCtrl+N", MenuNew},
    {"&Structure", "&Open\tCtrl+O", MenuOpen},
    {"&Structure", "Structure &locked", MenuLocked},
    {"&Structure", "&History", MenuHistory},
    {"&Structure", "&Make backup", MenuBackup},
    {"&Structure", "&Save as", MenuSaveAs},
    {"&Structure", "&Copy in", MenuCopyIn},
    {"&Structure", "&Quit", MenuQuit},
    {"&Transformations", "&Cell transformation", MenuCellTrans},
    {"&Transformations", "Change &modulation vector", MenuModVector},
    {"&Transformations", "&Origin shift", MenuOriginShift},
    {"&Transformations", "Change &enantiomorph", MenuEnantiomorph},
    {"&Transformations", "&Go to a subgroup", MenuSubgroup},
    {"&Transformations", "Go to &supercell structure", MenuSupercell},
    {"&Transformations", "Go to average &3d structure", MenuAverage3d},
    {"&Transformations", "&Transform to the supercentered cell", MenuSupercentered},
    {"&Transformations", "Ma&ke \"a corrected structure\"", MenuCorrected},
    {"&Settings", "&Programs", MenuPrograms},
    {"Tools", "Run TarnIndex", MenuIndex},
    {"Tools", "Simulation of powder profile", MenuSimPowder},
    {"Tools", "Simulation of single crystal data", MenuSimSingle},
    {"Tools", "Show Periodic Table", MenuPeriodic},
    {"Tools", "Cyclic refinement/New", MenuCyclicNew},
    {"Tools", "Cyclic refinement/Open", MenuCyclicOpen},
    {"Tools", "Connect to/Bilbao Crystallographic Server", MenuBilbao},
    {"Tools", "Connect to/ISODISTORT", MenuIsodistort},
    {"&Help", "&About Tarnwork", MenuAbout},
};

bool IsMenuCode(int code) {
  for (const auto& m : kMenu)
    if (m.Code == code) return true;
  return false;
}

// Menu items usable without a structure.
bool MenuWithoutStructure(int code) {
  switch (code) {
    case MenuShell:
    case MenuNew:
    case MenuOpen:
    case MenuHistory:
    case MenuQuit:
    case MenuPrograms:
    case MenuIndex:
    case MenuSimPowder:
    case MenuSimSingle:
    case MenuPeriodic:
    case MenuCyclicNew:
    case MenuCyclicOpen:
    case MenuBilbao:
    case MenuIsodistort:
    case MenuAbout:
      return true;
    default:
      return false;
  }
}

bool Exists(int fileIndex) {
  return Sess.ExistFile[fileIndex];
}

}  // namespace

std::vector<FeMenuItem> TarnMenuItems() {
  std::vector<FeMenuItem> items;
  for (const auto& m : kMenu) {
    FeMenuItem it;
    it.Menu = m.Menu;
    it.Label = m.Label;
    it.Code = m.Code;
    it.Enabled = TarnItemEnabled(m.Code);
    it.Checked = m.Code == MenuLocked && Sess.StructureLocked;
    items.push_back(std::move(it));
  }
  return items;
}

bool TarnItemEnabled(int code) {
  if (IsMenuCode(code))
    return MenuWithoutStructure(code) || (!Sess.fln.empty() && StructureExists(Sess.fln));
  if (code == 52001) return true;  // any file can be edited
  if (Sess.fln.empty() || !StructureExists(Sess.fln)) return false;
  if (code > TarnFileItemBase && code <= TarnFileItemBase + NStructFiles)
    return Exists(code - TarnFileItemBase - 1);
  if (const char* ext = ViewerExt(code)) return FeFileExists(Sess.fln + ext);
  switch (code) {
    case 50102:
    case 50105:
    case 50106:
    case 50108:
      return Exists(FileM95) || Exists(FileM90);
    case 50103:
      return Exists(FileM95);
    case 50902:
    case 51202:
    case 51302:
    case 51401:
    case 51402:
    case 51403:
    case 51601:
    case 51602:
    case 51604:
    case 51605:
      return Exists(FileM40);
    case 52300:
      return FeFileExists(Sess.fln + ".s40");
    default:
      return true;
  }
}

// ==== main window ===========================================================================

FeMainView& TarnMainView() {
  static FeMainView view;
  return view;
}

void FeFillMainTab(int /*mode*/) {
  // Both modes rebuild the whole tree: it is small, and the file items change
  // with the structure.
  FeMainView& v = TarnMainView();
  v.Title = fmt::format("{} {}", Sess.ProgramName, Sess.Version);
  v.Structure = Sess.fln.empty() ? std::string() : Sess.CurrentDir + Sess.fln;
  v.KPhase = Sess.KPhase;
  v.KDatBlock = Sess.KDatBlock;
  v.Tree.clear();
  for (int g = 1; g <= NTabGroups; ++g) {
    const std::string& head = TarnTabLabel(g, 1);
    if (head.empty()) continue;
    FeTreeItem h;
    // Only the heading of a group without items is itself an action.
    h.Code = TarnTabIsAction(g, 1) ? TarnTabCode(g, 1) : 0;
    h.Level = 0;
    h.Label = head;
    h.Enabled = h.Code != 0 && TarnItemEnabled(h.Code);
    size_t headIndex = v.Tree.size();
    v.Tree.push_back(h);
    for (int i = 2; i <= NTabEntries; ++i) {
      const std::string& label = TarnTabLabel(g, i);
      if (label.empty()) continue;
      FeTreeItem it;
      it.Code = TarnTabCode(g, i);
      it.Level = 1;
      it.Label = label;
      it.Enabled = TarnItemEnabled(it.Code);
      if (it.Enabled) v.Tree[headIndex].Enabled = true;
      v.Tree.push_back(it);
    }
  }
  // The structure's own files: activating one opens it in the text editor.
  if (!Sess.fln.empty()) {
    FeTreeItem h;
    h.Code = 0;
    h.Level = 0;
    h.Label = "Structure files";
    bool any = false;
    std::vector<FeTreeItem> files;
    for (int k = 0; k < NStructFiles; ++k) {
      if (!Sess.ExistFile[k]) continue;
      FeTreeItem it;
      it.Code = TarnFileItemBase + k + 1;
      it.Level = 1;
      it.Label = Sess.fln + std::string(StructFileExt[k]);
      files.push_back(it);
      any = true;
    }
    h.Enabled = any;
    h.Visible = any;
    v.Tree.push_back(h);
    for (auto& f : files) v.Tree.push_back(f);
  }
  v.Status.clear();
  v.Status.push_back(Sess.fln.empty() ? "No structure" : "Structure: " + Sess.fln);
  if (Sess.StructureLocked) v.Status.push_back("locked");
  TarnSetMenu();
}

void TarnSetMenu() {
  TarnMainView().Menu = TarnMenuItems();
}

void TarnShowMain() {
  FeFillMainTab(1);
  Fe().ShowMain(TarnMainView());
}

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
  if (StructureOpened(Sess.fln)) {
    std::vector<std::string> lines = {std::string(msg::OpenedBy1), std::string(msg::OpenedBy2)};
    if (Sess.BatchMode) {
      // No one to ask: note it in the listing and go on with the structure.
      for (const auto& l : lines) Fe().ListingLine(l);
    } else if (!FeYesNo(std::string(msg::ContinueAnyhow), lines, false)) {
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

namespace {

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

}  // namespace

void TarnReset(int& ich) {
  ReadFiles(false, ich);
}
void TarnReadStructure(int& ich) {
  ReadFiles(true, ich);
}

// ==== actions ===================================================================================

namespace {

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
  if (!Sess.fln.empty()) DeletePomFiles();
  auto chosen = Fe().ChooseFile("Open : ", std::string(msg::OpenHint), "*.m50");
  if (!chosen || Trim(*chosen).empty() || TarnSwitchFln(std::string(Trim(*chosen))) != 0) {
    // Cancel: the structure stays open.
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
  Sess.ExistFile.fill(false);
  if (TarnHasTool(HookNewStructure)) {
    TarnToolCall call;
    (void)TarnRunTool(HookNewStructure, call);
  }
  (void)TarnRunTool(50101);  // the data-import wizard starts the new structure
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

int MenuAction(int code) {
  if (!IsMenuCode(code) && code != MenuRefineCommands && code != MenuDistCommands &&
      code != MenuFourierCommands) {
    FeInfo(std::string(msg::WrongItem));
    return NextNothing;
  }
  if (!TarnItemEnabled(code)) {
    FeInfo(std::string(msg::NeedsStructure));
    return NextNothing;
  }
  switch (code) {
    case MenuShell:
      return ActionShell();
    case MenuNew:
      return ActionNew();
    case MenuOpen:
      return ActionOpen();
    case MenuLocked:
      return ActionLock();
    case MenuHistory:
      return FeHistory();
    case MenuBackup:
      return ActionSaveAs(true);
    case MenuSaveAs:
      return ActionSaveAs(false);
    case MenuCopyIn:
      return ActionCopyIn();
    case MenuQuit:
      return FeYesNo("Do you want to quit Tarnwork?", {}, true) ? NextQuit : NextNothing;
    case MenuAbout:
      FeInfo(
          fmt::format("About {}", Sess.ProgramName),
          {fmt::format("{} version {} of {}", Sess.ProgramName, Sess.Version, Sess.VersionDate),
           "Crystal-structure analysis from diffraction data."});
      return NextNothing;
    default:
      return TarnRunTool(code);
  }
}

int TreeAction(int code) {
  if (code > TarnFileItemBase && code <= TarnFileItemBase + NStructFiles) {
    int k = code - TarnFileItemBase - 1;
    if (Sess.fln.empty() || !Sess.ExistFile[k]) {
      FeInfo(std::string(msg::WrongItem));
      return NextNothing;
    }
    return EditFile(Sess.fln + std::string(StructFileExt[k]));
  }
  int g = 0, i = 0;
  if (!TarnTabPosition(code, g, i) || !TarnTabIsAction(g, i)) {
    FeInfo(std::string(msg::WrongItem));
    return NextNothing;
  }
  if (!TarnItemEnabled(code)) {
    FeInfo(std::string(msg::NeedsStructure));
    return NextNothing;
  }
  switch (code) {
    case 50105:
      return NextCulling;
    case 50106:
      return NextAverage;
    default:
      return TarnRunTool(code);
  }
}

}  // namespace

int TarnActions(int kind, const FeEvent& event) {
  switch (kind) {
    case EventMenu:
      return MenuAction(event.Id);
    case EventButton:
      return TreeAction(event.Id);
    default:
      return NextNothing;
  }
}

void TarnRegisterFrameTools() {
  for (const auto& v : kViewers) {
    std::string ext = v.Ext;
    TarnSetTool(v.Code, [ext](TarnToolCall&) {
      std::string path = Sess.fln + ext;
      if (!FeFileExists(path))
        FeInfo(fmt::format("The listing \"{}\" does not exist.", path));
      else
        Fe().ShowListingFile(path);
      return static_cast<int>(NextNothing);
    });
  }
  TarnSetTool(52300, [](TarnToolCall& call) {
    call.Error = CrlRecoverParameterFiles(Sess.ExistFile[FileM41]);
    return static_cast<int>(NextNothing);
  });
  TarnSetTool(MenuPrograms, [](TarnToolCall&) {
    FeSetPrograms();
    return static_cast<int>(NextNothing);
  });
  TarnSetTool(52001, [](TarnToolCall&) {
    auto chosen = Fe().ChooseFile("Edit file : ", "", "*");
    if (!chosen || Trim(*chosen).empty()) return static_cast<int>(NextNothing);
    return EditFile(std::string(Trim(*chosen)));
  });
}

// ==== next steps and the event loop
// =================================================================

namespace {

// Takes the structure just chosen: marks the old one closed, checks the new
// one and reads its files; falls back to the previous structure on failure.
void TakeNewFln() {
  std::string oldPath = Sess.DirPrev + Sess.FlnPrev;
  std::string newPath = Sess.CurrentDir + Sess.fln;
  if (!Sess.FlnPrev.empty() && oldPath != newPath) ChangeUSDFile(oldPath, "closed", "*");
  if (TarnCheckStructure() != 0) {
    // Refused: the previous structure is back and read again.
    int ich = 0;
    TarnReadStructure(ich);
    Sess.FlnPrev.clear();
    Sess.DirPrev = Sess.CurrentDir;
    return;
  }
  int ich = 0;
  TarnReadStructure(ich);
  if (ich) {
    if (!Sess.fln.empty()) ChangeUSDFile(Sess.fln, "closed", "*");
    TarnRestorePrevFln();
    if (!Sess.fln.empty()) ChangeUSDFile(Sess.fln, "opened", "*");
    TarnReadStructure(ich);
    if (ich) Sess.fln.clear();
  }
  if (!Sess.BatchMode && !Sess.fln.empty() && UpdateHistory() != 0) {
    // A history that cannot be written is not worth stopping for.
  }
  // The fall-back is used up: a later -1200 without a switch (copy in, a
  // refused new structure) must not close the structure left long ago.
  Sess.FlnPrev.clear();
  Sess.DirPrev = Sess.CurrentDir;
}

}  // namespace

int TarnNextStep(int next) {
  for (;;) {
    switch (next) {
      case NextQuit:
        return 1;
      case NextNewFln:
      case -NextNewFln:
        TakeNewFln();
        next = NextNothing;
        break;
      case NextProfileRepeat:
        next = TarnRunTool(NextProfileRepeat);
        break;
      case NextDraw:
      case -NextDraw:
        next = TarnRunTool(NextDraw);
        break;
      case NextProfile:
      case -NextProfile:
        next = TarnRunTool(NextProfile);
        break;
      case NextAverage:
        next = TarnRunTool(NextAverage);
        break;
      case NextCulling:
        next = TarnRunTool(-NextCulling);
        break;
      default:
        // 0 redraw; 1300, 1400 back to the main window; 1500, 1510, 1520 rebuild.
        FeFillMainTab(0);
        return 0;
    }
    if (next != NextNewFln && next != -NextNewFln) {
      int ich = 0;
      TarnReset(ich);
    }
  }
}

void TarnEventLoop() {
  FeFillMainTab(0);
  for (;;) {
    Fe().ShowMain(TarnMainView());
    FeEvent ev = Fe().NextEvent();
    int next = NextNothing;
    switch (ev.Kind) {
      case EventIgnore:
        continue;
      case EventResize:
        FeFillMainTab(1);
        continue;
      case EventClose:
        next = MenuAction(MenuQuit);
        break;
      case EventTreeSel:
        if (ev.Id == 1121) {
          if (ev.SubKind == 1) Sess.SelectedTreeCode = ev.Value;
          if (ev.SubKind == 4) Sess.SelectedTreeCode = -1;
        }
        continue;
      case EventToolDlg: {
        int tool = 0;
        if (ev.Id == 51202 || ev.Id == MenuRefineCommands) tool = 51201;
        if (ev.Id == 51302 || ev.Id == MenuDistCommands) tool = 51301;
        if (ev.Id == 50902 || ev.Id == MenuFourierCommands) tool = 50901;
        if (tool == 0) {
          FeInfo(std::string(msg::WrongItem));
          continue;
        }
        next = TarnItemEnabled(tool) ? TarnRunTool(tool) : NextNothing;
        break;
      }
      case EventButton:
        switch (ev.Id) {
          case HookCyclicRefinement:
          case HookNextInSeries:
          case HookPrevInSeries:
          case HookPhaseInfo:
          case HookSeriesList:
            next = TarnRunTool(ev.Id);
            break;
          default:
            next = TarnActions(ev.Kind, ev);
        }
        break;
      case EventMenu:
        next = TarnActions(ev.Kind, ev);
        break;
      default:
        continue;
    }
    if (next != NextNewFln && next != -NextNewFln && next != NextQuit) {
      int ich = 0;
      TarnReset(ich);
    }
    if (TarnNextStep(next) != 0) return;
  }
}

}  // namespace tarn
