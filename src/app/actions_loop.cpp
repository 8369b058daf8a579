// The dispatcher of the main window's events, the next steps and the event
// loop.
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

namespace actloop {

int MenuAction(int code) {
  if (!IsMenuCode(code) && code != MenuRefineCommands && code != MenuDistCommands &&
      code != MenuFourierCommands) {
    FeInfo(std::string(msg::WrongItem));
    return NextNothing;
  }
  if (!TarnItemEnabled(code)) {
    FeInfo(std::string(TarnItemBuilt(code) ? msg::NeedsStructure : msg::NotAvailable));
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
      FeInfo(fmt::format("About {}", Sess.ProgramName),
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
    FeInfo(std::string(TarnItemBuilt(code) ? msg::NeedsStructure : msg::NotAvailable));
    return NextNothing;
  }
  switch (code) {
    case ActManualCulling:
      return NextCulling;
    case ActRunAverage:
      return NextAverage;
    default:
      return TarnRunTool(code);
  }
}

}  // namespace actloop
using namespace actloop;

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
  TarnSetTool(ActRecoverFiles, [](TarnToolCall& call) {
    call.Error = CrlRecoverParameterFiles(Sess.ExistFile[FileM41]);
    return static_cast<int>(NextNothing);
  });
  TarnSetTool(MenuPrograms, [](TarnToolCall&) {
    FeSetPrograms();
    return static_cast<int>(NextNothing);
  });
  TarnSetTool(ActSelectEditFile, [](TarnToolCall&) {
    auto chosen = Fe().ChooseFile("Edit file : ", "", "*");
    if (!chosen || Trim(*chosen).empty()) return static_cast<int>(NextNothing);
    return EditFile(std::string(Trim(*chosen)));
  });
}

// ==== next steps and the event loop
// =================================================================

namespace actloop {

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

}  // namespace actloop
using namespace actloop;

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
        if (ev.Id == ActRunRefine || ev.Id == MenuRefineCommands) tool = ActRefineCommands;
        if (ev.Id == ActRunDist || ev.Id == MenuDistCommands) tool = ActDistCommands;
        if (ev.Id == ActRunFourier || ev.Id == MenuFourierCommands) tool = ActFourierCommands;
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
