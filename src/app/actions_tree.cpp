// The main window's tree of actions, its menus and what it shows.
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
#include "util/strings.hpp"

namespace tarn {

// ==== main tab ==========================================================================

namespace acttree {

struct TabEntry {
  int Code;
  const char* Label;
};

// Group headings (entry 1) and items (entries 2..16); codes 50000 + 100 g + i - 1.
// Labels are limited to 40 characters (50402 is cut there).
constexpr TabEntry kTab[] = {
    {ActReflectionFile, "Reflection file"},
    {ActImportReflections, "Import/modify reflection file"},
    {ActSpaceGroupTest, "Make space group test"},
    {ActCreateM90, "Create refinement reflection file"},
    {ActViewMergeListing, "View listing from the merging process"},
    {ActManualCulling, "Manual culling"},
    {ActRunAverage, "Run average"},
    {ActViewAverageListing, "View listing from average"},
    {ActStatisticTest, "Run statistic test - Wilson plot"},
    {ActViewStatisticListing, "View listing from statistic test"},
    {ActNew, "New"},
    {ActNewAtom, "New atom"},
    {ActNewMolecule, "New molecule"},
    {ActNewPosition, "New position"},
    {ActPhases, "Phases"},
    {ActEditParameters, "Edit structure parameters"},
    {ActEditOptions, "Options"},
    {ActEditBasic, "Edit basic parameters (cell, symmetry, e"},
    {ActEditAtoms, "Edit atoms"},
    {ActEditMagneticModes, "Edit magnetic modes"},
    {ActEditScales, "Edit scale factors"},
    {ActEditExtinction, "Edit extinction parameters"},
    {ActEditFractions, "Edit twin/phase volume fractions"},
    {ActEditWaves, "Edit modulation waves"},
    {ActEditFPrime, "Edit f' and f\""},
    {ActEditElectron, "Edit parameters for electron diffraction"},
    {ActMolecules, "Molecules"},
    {ActEditMolecules, "Edit molecules"},
    {ActPowder, "Powder"},
    {ActEditProfile, "Edit profile"},
    {ActLeBailWizard, "Run le Bail wizard"},
    {ActRietveldWizard, "Run Rietveld wizard"},
    {ActLeBail, "Make le Bail decomposition"},
    {ActWilliamsonHall, "Make Williamson-Hall analysis"},
    {ActExportInstprm, "Export \"instprm\" file"},
    {ActSolution, "Structure solution"},
    {ActRunKelvor, "Run Kelvor"},
    {ActViewKelvorListing, "View listing from Kelvor"},
    {ActRunShelxt, "Run Shelxt"},
    {ActRunSirExpo, "Run SIR/Expo"},
    {ActRandomSearch, "Random search"},
    {ActSearchMoments, "for magnetic moments"},
    {ActSelectMomentModel, "select magnetic model from search"},
    {ActSearchModulation, "for modulation parameters"},
    {ActSelectModulationModel, "select modulation model from search"},
    {ActSearchVector, "for modulation vector"},
    {ActFourier, "Fourier synthesis"},
    {ActFourierCommands, "Fourier commands"},
    {ActRunFourier, "Calculate Fourier maps"},
    {ActViewFourierListing, "View listing from Fourier calculation"},
    {ActContour, "Run Contour"},
    {ActImportModel, "Import"},
    {ActModelFromTarn, "model from Tarn"},
    {ActModelFromShelx, "model from SHELX"},
    {ActModelFromCif, "model from CIF"},
    {ActAmplimodes, "amplimodes"},
    {ActImportMagneticModes, "magnetic modes"},
    {ActChargeDensityElmam, "charge density parameters from ELMAM2"},
    {ActChargeDensityUbsb, "charge density parameters from UBSB"},
    {ActRefinement, "Refinement"},
    {ActRefineCommands, "Refinement commands"},
    {ActRunRefine, "Run refinement"},
    {ActViewRefineListing, "View refinement listing"},
    {ActDistances, "Distance calculation"},
    {ActDistCommands, "Distance commands"},
    {ActRunDist, "Calculate distances"},
    {ActViewDistListing, "View listing of distances"},
    {ActDraw, "Draw structure"},
    {ActDrawDiamond, "Diamond"},
    {ActDrawVesta, "Vesta"},
    {ActDrawUser, "User defined"},
    {ActGrapher, "Grapher"},
    {ActCif, "CIF utilities"},
    {ActCifMake, "CIF make"},
    {ActCifUpdate, "CIF update"},
    {ActCifEdit, "CIF edit"},
    {ActCifFcf3, "CIF fcfcode=3"},
    {ActCifFcf6, "CIF fcfcode=6"},
    {ActTools, "Tools"},
    {ActTwinSearch, "Search for possible twinning"},
    {ActReciprocalViewer, "Run reciprocal space viewer"},
    {ActDraw2dDisplacements, "Draw 2d displacements"},
    {ActPublicationTables, "Make tables for publication"},
    {ActChargeDensity, "Charge density tools"},
    {ActCriticalPoints, "Find critical points"},
    {ActViewCriticalPoints, "View listing of found critical points"},
    {ActBasinIntegration, "Basin integration"},
    {ActViewBasinListing, "View listing from basin integration"},
    {ActMagneticTools, "Tools for magnetic structures"},
    {ActRepresentationAnalysis, "Run Tarn representation analysis"},
    {ActIsodistort, "Run ISODISTORT analysis"},
    {ActEditFile, "Edit file"},
    {ActSelectEditFile, "Select and edit a file"},
    {ActMemFiles, "Files for MEM"},
    {ActWendaFiles, "Files for Wenda"},
    {ActDysnomiaFiles, "Files for Dysnomia"},
    {ActExport, "Export structure to"},
    {ActExportShelx, "SHELX"},
    {ActExportShelxAveraged, "SHELX - averaged reflfection file"},
    {ActExportXd, "XD - only reflection file"},
    {ActRecoverFiles, "Recover files"},
    {ActMatrixCalculator, "Matrix calculator"},
    {ActRunTarnolde, "Run Tarnolde"},
    {ActAdHoc, "Ad hoc"},
    {ActDiffractometerCheck, "Diffractometer check"},
    {ActProcedure1, "Procedure#1"},
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

}  // namespace acttree
using namespace acttree;

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

namespace acttree {

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

}  // namespace acttree
using namespace acttree;

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

bool TarnItemBuilt(int code) {
  switch (code) {
    // Menu items the frame carries out itself.
    case MenuShell:
    case MenuNew:
    case MenuOpen:
    case MenuLocked:
    case MenuHistory:
    case MenuBackup:
    case MenuSaveAs:
    case MenuQuit:
    case MenuAbout:
      return true;
    // Tree items that run a next step.
    case ActManualCulling:
      return TarnHasTool(HookCulling);
    case ActRunAverage:
      return TarnHasTool(HookAverage);
    default:
      break;
  }
  if (code > TarnFileItemBase && code <= TarnFileItemBase + NStructFiles) return true;
  return TarnHasTool(code);
}

bool TarnItemEnabled(int code) {
  if (!TarnItemBuilt(code)) return false;
  if (IsMenuCode(code))
    return MenuWithoutStructure(code) || (!Sess.fln.empty() && StructureExists(Sess.fln));
  if (code == ActSelectEditFile) return true;  // any file can be edited
  // A model file makes a new structure of its own.
  if (code == ActModelFromShelx || code == ActModelFromCif) return true;
  if (Sess.fln.empty() || !StructureExists(Sess.fln)) return false;
  if (code > TarnFileItemBase && code <= TarnFileItemBase + NStructFiles)
    return Exists(code - TarnFileItemBase - 1);
  if (const char* ext = ViewerExt(code)) return FeFileExists(Sess.fln + ext);
  switch (code) {
    case ActSpaceGroupTest:
    case ActManualCulling:
    case ActRunAverage:
    case ActStatisticTest:
      return Exists(FileM95) || Exists(FileM90);
    case ActCreateM90:
      return Exists(FileM95);
    case ActRunFourier:
    case ActRunRefine:
    case ActRunDist:
    case ActDrawDiamond:
    case ActDrawVesta:
    case ActDrawUser:
    case ActCifMake:
    case ActCifUpdate:
    case ActCifFcf3:
    case ActCifFcf6:
      return Exists(FileM40);
    case ActRecoverFiles:
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

}  // namespace tarn
