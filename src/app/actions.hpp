#pragma once
// The main window's tree of actions and menus, the dispatcher `TarnActions`,
// the next-step codes it returns, the reset after an action and the event
// loop.
//
// The frame does not link the tools. Every tool is reached through a table
// code -> function that the application fills at start-up (`TarnSetTool`);
// an action whose tool is not registered says "This tool is not available
// yet." and returns next step 0.
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/toolkit.hpp"
#include "model/keys.hpp"
#include "model/session.hpp"

namespace tarn {

// ---- next-step codes ----------------------------------------------------------
// Returned by every action to the event loop.
enum TarnNextStep : int {
  NextNothing = 0,    // redraw the main window
  NextNewFln = 1200,  // a new fln was chosen (also -1200)
  NextMainAfterEdit = 1300,
  NextMainAfterEdit2 = 1400,
  NextRebuild = 1500,  // rebuild window and menus after a transformation
  NextRebuild2 = 1510,
  NextRebuildPowder = 1520,  // rebuild; in powder mode also the profile viewer
  NextProfileRepeat = 1650,  // repeat the profile-viewer step
  NextDraw = 3000,           // structure-drawing window (also -3000)
  NextProfile = 3100,        // create ".prf" and open the profile viewer (also -3100)
  NextAverage = 3300,        // averaging of equivalent reflections
  NextCulling = -3500,       // manual culling of reflections
  NextQuit = 9999,
};

// ---- tool table -------------------------------------------------------------------
// Arguments and results of one tool run. Interactive runs leave Path and Items
// empty; batch commands fill them.
struct TarnBatchItem {
  std::string Name;   // parameter or keyword name
  double Value = 0.;  // its value where the block has name = value or keyword value
  std::string Text;   // the text after the name, trimmed
  std::string Line;   // the whole input line, trimmed
};
struct TarnToolCall {
  int Code = 0;        // action code (or hook code) being run
  bool Batch = false;  // run from a batch file: no questions, messages go to the listing
  std::string Path;    // import->CIF: the CIF path; graphic output: the output name
  std::vector<TarnBatchItem> Items;  // edit blocks of the batch
  // Out: non-zero when the tool failed (the batch then ends with an error).
  int Error = 0;
  // Out: for edit blocks, the text of an unknown or inapplicable parameter.
  std::string Bad;
};
// A tool returns the next-step code.
using TarnToolFn = std::function<int(TarnToolCall&)>;

void TarnSetTool(int code, TarnToolFn fn);  // an empty fn unregisters
bool TarnHasTool(int code);
void TarnClearTools();
// Runs the registered tool of code; without one the user (or, in batch mode,
// the listing) is told "This tool is not available yet." and 0 is returned;
// in batch mode call.Error is then set, so that the batch ends on an error.
int TarnRunTool(int code, TarnToolCall& call);
int TarnRunTool(int code);

// Codes of the hooks that are not entries of the main tab or the menu.
enum TarnHookCode : int {
  HookCyclicRefinement = 4711,  // special button
  HookNextInSeries = 4738,      // special buttons of the series of structures
  HookPrevInSeries = 4739,
  HookPhaseInfo = 4740,
  HookSeriesList = 1048,
  HookBatchEditParameters = 90001,  // batch "Edit->Parameters": Items name = value
  HookBatchEditRadiation = 90002,   // batch "Edit->Radiation": Items keyword value
  HookBatchEditPwdKeys = 90003,     // batch "Edit->PwdKeys": Items keyword text
  HookBatchGraphic = 90004,         // batch "Tools->Graphic->...": Path output name
  HookBatchPowderImport = 90005,    // batch "File->Powder data->Import": Items label, files, bank
  HookNewStructure = 90010,         // reset basic data and model to empty defaults
  // Next steps that run a tool: the hook code is the step's absolute value.
  HookProfileViewer = 1650,
  HookDraw = 3000,
  HookProfile = 3100,
  HookAverage = 3300,
  HookCulling = 3500,
};

// Readers the frame calls to (re-)read the structure's files; each returns 0
// on success. Registered by the application (the readers live in the model).
enum TarnReaderKind : int {
  ReaderM50 = 0,  // clear the symmetry store, read M50, derive basic quantities
  ReaderM40,      // read M40, allocate atoms, derive basic quantities
  ReaderM41,
  ReaderM42,
  ReaderM90Header,
  ReaderM95Header,
  NReaders
};
using TarnReaderFn = std::function<int(const std::string& path)>;
void TarnSetReader(int kind, TarnReaderFn fn);
// Fills the phase names and data-block names of the main window.
using TarnListsFn =
    std::function<void(std::vector<std::string>& phases, std::vector<std::string>& blocks)>;
void TarnSetListsHook(TarnListsFn fn);
// Keyword tables of the command blocks ("refine", ...), registered by the
// tools that read the blocks; the batch edits check their lines against them.
using TarnBlockTableFn = std::function<KeyTable()>;
void TarnSetBlockTable(std::string_view block, TarnBlockTableFn fn);
// The table of a block (name compared ignoring case); nullopt when no tool
// has registered one.
std::optional<KeyTable> TarnBlockTable(std::string_view block);
// Defaults of a tool's settings, run by SetBasicConstants.
void TarnAddDefaultsHook(std::function<void()> fn);
void TarnRunDefaultsHooks();

// Registers the tools the frame owns: listing viewers, the recovery of
// parameter files, the settings dialog and the file editor.
void TarnRegisterFrameTools();
// Registers every tool of the program (the frame's own included). Defined by
// the application library (tool_table.cpp), which links all subsystems.
void TarnRegisterTools();

// ---- main tab -----------------------------------------------------------------------
// Action code of entry (g, i), g = 1..30, i = 1..16: 50000 + 100 g + (i - 1).
constexpr int TarnTabCode(int g, int i) {
  return 50000 + 100 * g + (i - 1);
}
// Inverse of TarnTabCode; false when code is not in the table's range.
bool TarnTabPosition(int code, int& g, int& i);
// Label of entry (g, i), at most 40 characters; empty when unused.
const std::string& TarnTabLabel(int g, int i);
// True when (g, i) is an action: an item, or the heading of a group without items.
bool TarnTabIsAction(int g, int i);
// Code of a label path "Heading/Item" (or "Heading" of a one-action group),
// case and "&" ignored; 0 when there is none.
int TarnTabFindPath(std::string_view path);

// Tree items of the structure's own files: code TarnFileItemBase + index + 1.
inline constexpr int TarnFileItemBase = 60000;

// ---- menus ----------------------------------------------------------------------------
enum TarnMenuCode : int {
  MenuShell = 40056,
  MenuNew = 40052,
  MenuOpen = 40033,
  MenuLocked = 40182,
  MenuHistory = 40041,
  MenuBackup = 40136,
  MenuSaveAs = 40051,
  MenuCopyIn = 40046,
  MenuQuit = 40045,
  MenuCellTrans = 40047,
  MenuModVector = 40048,
  MenuOriginShift = 40049,
  MenuEnantiomorph = 40050,
  MenuSubgroup = 40034,
  MenuSupercell = 40054,
  MenuAverage3d = 40055,
  MenuSupercentered = 40057,
  MenuCorrected = 40172,
  MenuPrograms = 40092,
  MenuIndex = 40059,
  MenuSimPowder = 40069,
  MenuSimSingle = 40070,
  MenuPeriodic = 40230,
  MenuCyclicNew = 40169,
  MenuCyclicOpen = 40170,
  MenuBilbao = 40185,
  MenuIsodistort = 40186,
  MenuAbout = 40061,
  MenuRefineCommands = 40314,
  MenuDistCommands = 40311,
  MenuFourierCommands = 40309,
};
// Every menu item with its menu title, label (access key marked "&"), code
// and state.
std::vector<FeMenuItem> TarnMenuItems();

// ---- main window ----------------------------------------------------------------------
// The main window as the toolkit draws it.
FeMainView& TarnMainView();
// mode 0 builds the tree, 1 refreshes the enabled states only.
void FeFillMainTab(int mode);
void TarnSetMenu();
// True when the action or menu item of code has a tool behind it (the frame's
// own actions, or a registered tool).
bool TarnItemBuilt(int code);
// True when the action or menu item of code can run now: it is built, and the
// structure and files it needs are present.
bool TarnItemEnabled(int code);
void TarnShowMain();

// ---- structure and dispatch --------------------------------------------------------------
// After a structure has been chosen: the "opened" marker and the lock.
// Returns 0 when the structure is taken, 1 when the user refused it (the
// previous structure and directory are then restored).
[[nodiscard]] int TarnCheckStructure();
// Re-reads what changed after an action; ich = 1 on failure.
void TarnReset(int& ich);
// Reads every file of the structure regardless of the change copies, after
// TarnResetStructureState.
void TarnReadStructure(int& ich);
// Forgets everything of the structure read before: Struct, the current phase
// and data block, the file-existence flags and the change-detection copies.
void TarnResetStructureState();
// Switches Sess.fln to the structure at path (directory and name; a known
// extension is removed). The previous fln and directory are kept for a
// fall-back. Returns 0, or 1 (message shown) when the directory is missing.
[[nodiscard]] int TarnSwitchFln(const std::string& path);
// Restores the structure and directory open before the last TarnSwitchFln.
void TarnRestorePrevFln();

// The dispatcher: performs the action of the event and returns a next-step code.
int TarnActions(int kind, const FeEvent& event);
// Acts on a next-step code; returns 1 when the program is to end.
int TarnNextStep(int next);
// The event loop; returns when the user quits.
void TarnEventLoop();

// Messages of the frame.
namespace msg {
inline constexpr std::string_view NotAvailable = "This tool is not available yet.";
inline constexpr std::string_view WrongItem = "Sorry, this is wrong item, try once more.";
inline constexpr std::string_view NeedsStructure =
    "This action needs an open structure with the files it works on.";
inline constexpr std::string_view OpenedBy1 = "The structure is either opened by another user/task";
inline constexpr std::string_view OpenedBy2 = "or not correctly closed due to a previous crash.";
inline constexpr std::string_view HeldBy = "It is open in {}.";
inline constexpr std::string_view BatchHeld =
    "The structure \"{}\" is open in {}: the batch does not work on it.";
inline constexpr std::string_view BatchTakenOver =
    "The structure was left opened by {}, which has ended: it is taken over.";
inline constexpr std::string_view ContinueAnyhow = "Do you want to continue anyhow?";
inline constexpr std::string_view Locked1 =
    "The selected structure is locked. All changes of the basic";
inline constexpr std::string_view Locked2 =
    "structure files will be ignored. If necessary you can unlock";
inline constexpr std::string_view Locked3 = "the structure in the main menu.";
inline constexpr std::string_view HasBeenLocked = "The structure has been locked.";
inline constexpr std::string_view OpenHint =
    "Select the file or type the file name. The name of the structure is made from the file "
    "name by removing its its extension if any.";
inline constexpr std::string_view NoSuchStructure =
    "The structure \"{}\" does not exist: there is no file \"{}\".";
inline constexpr std::string_view OpenAnyway = "Do you want to open it anyway?";
inline constexpr std::string_view ContinueWithNew =
    "Do you want to continue with the new structure?";
inline constexpr std::string_view ShellCalled = "The \"shell\" command was called from Tarnwork.";
inline constexpr std::string_view Suspended = "The program is suspended.";
}  // namespace msg

}  // namespace tarn
