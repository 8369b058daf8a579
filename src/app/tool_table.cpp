// The tool table of the application: every tool of the program is plugged
// into the dispatcher here, so that the frame library itself links no tool.
// A code that is not registered tells the user "This tool is not available
// yet." and the program goes on.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/batch.hpp"
#include "app/fileset.hpp"
#include "app/plot_run.hpp"
#include "app/summary.hpp"
#include "app/toolkit.hpp"
#include "app/tools/datared_tools.hpp"
#include "app/tools/cif_tools.hpp"
#include "app/tools/dist_tools.hpp"
#include "app/tools/edit_tools.hpp"
#include "app/tools/fourier_tools.hpp"
#include "app/tools/import_tool.hpp"
#include "app/tools/importers_tools.hpp"
#include "app/tools/powder_tools.hpp"
#include "app/tools/refine_tools.hpp"
#include "datared/createm90.hpp"
#include "datared/import.hpp"
#include "datared/merge_plots.hpp"
#include "model/basic.hpp"
#include "model/batch_edit.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/refl.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "refine/refcommands.hpp"
#include "symmetry/symm.hpp"

namespace tarn {

namespace {

namespace fs = std::filesystem;

namespace toolmsg {
constexpr std::string_view NoM40 = "The structure has no M40 file to edit.";
}  // namespace toolmsg

void Listing(std::string_view text) {
  Fe().ListingLine(std::string(text));
}

// Reads the reflection-file headers beside an M50 that has just been read,
// so that they are completed from this structure's basic data.
int ReadReflHeadersBeside(const std::string& m50) {
  std::string base = fs::path(m50).replace_extension().string();
  std::error_code ec;
  if (fs::exists(base + ".m95", ec) && iom95(kIoRead, base + ".m95") != 0) return 1;
  if (fs::exists(base + ".m90", ec) && iom90(kIoRead, base + ".m90") != 0) return 1;
  return 0;
}

// Applies the name = value items of a batch edit block one by one through
// set(item). An unknown name is handed back in call.Bad, a bad value ends the
// batch with the syntax message; on a locked structure nothing is written.
// True when the caller should write its changed copy.
template <class SetFn>
bool ApplyBatchItems(TarnToolCall& call, SetFn set) {
  for (const auto& it : call.Items) {
    int r = set(it);
    if (r == BatchEditUnknown) {
      call.Bad = it.Name;
      return false;
    }
    if (r != BatchEditOk) {
      Listing(std::string(msg::BatchSyntax) + it.Line);
      call.Error = 1;
      return false;
    }
  }
  if (Sess.StructureLocked) {
    Listing(msg::BatchLockedNotWritten);
    return false;
  }
  return true;
}

// Batch "Edit->Parameters": the items change a copy of the model; M40 is
// written, and the model taken, only when every item applied.
int EditParameters(TarnToolCall& call) {
  if (!Sess.ExistFile[FileM40]) {
    Listing(toolmsg::NoM40);
    call.Error = 1;
    return NextNothing;
  }
  AtomModel m = Struct.Model;
  if (!ApplyBatchItems(call, [&](const auto& it) {
        return EM40SetParameter(m, Struct.Basic, Sess.KPhase, Sess.KDatBlock, it.Name, it.Value);
      }))
    return NextNothing;
  std::swap(Struct.Model, m);
  if (iom40(M40Write, Sess.fln + ".m40") != 0) {
    std::swap(Struct.Model, m);
    call.Error = 1;
  }
  return NextNothing;
}

// Batch "Edit->Radiation": records 31-39 of the current data block; M50 is
// written with its command blocks.
int EditRadiation(TarnToolCall& call) {
  BasicData b = Struct.Basic;
  const int kd = Sess.KDatBlock;
  if (kd < 1 || kd > static_cast<int>(b.DatBlock.size())) {
    call.Error = 1;
    return NextNothing;
  }
  if (!ApplyBatchItems(call, [&](const auto& it) {
        return EM50SetRadiation(b.DatBlock[kd - 1], it.Name, it.Value);
      }))
    return NextNothing;
  std::swap(Struct.Basic, b);
  if (iom50(M50Write, Sess.fln + ".m50") != 0) {
    std::swap(Struct.Basic, b);
    call.Error = 1;
  }
  return NextNothing;
}

}  // namespace

void TarnRegisterTools() {
  // Listing viewers, recovery of parameter files, the settings dialog and the
  // file editor belong to the frame.
  TarnRegisterFrameTools();

  // "Create refinement reflection file": M90 and the ".rre" listing from M95.
  TarnSetTool(ActCreateM90, [](TarnToolCall& c) {
    std::vector<EM9MergeSummary> merge;
    c.Error = EM9CreateM90(Sess.fln, merge);
    if (c.Error == 0) {
      TarnShowSummary(TarnMergeLines(merge));
      // Rint and I/sigma by shells of the first data block, beside the ".rre" listing.
      if (!merge.empty())
        (void)TarnWritePlots({{EM9MergePlot(merge[0], TarnStructureName()), Sess.fln + "_merge"}});
      TarnToolResults().Merge = std::move(merge);
    }
    return NextNothing;
  });

  // Import of reflection data into M95, with a data block of M50 for each
  // reflection block.
  TarnSetTool(ActImportReflections, &EM9ImportActionTool);
  // The refinement settings dialog (interactive only).
  TarnSetTool(ActRefineCommands,
              [](TarnToolCall& c) { return c.Batch ? 0 : (RefSetCommands(), 0); });

  // Readers of the structure's files, run when a structure is opened and
  // after every action for the files that changed. The reflection headers
  // are completed from the basic data, so a new M50 re-reads them as well.
  TarnSetReader(ReaderM50, [](const std::string& path) {
    if (iom50(M50Read, path) != 0) return 1;
    return ReadReflHeadersBeside(path);
  });
  TarnSetReader(ReaderM40, [](const std::string& path) { return iom40(M40Read, path); });
  TarnSetReader(ReaderM95Header, [](const std::string& path) { return iom95(kIoRead, path); });
  TarnSetReader(ReaderM90Header, [](const std::string& path) { return iom90(kIoRead, path); });
  // The phase and data-block lists of the main window; a data block without
  // a name in M50 takes the name of its M90 block.
  TarnSetListsHook([](std::vector<std::string>& phases, std::vector<std::string>& blocks) {
    for (const auto& p : Struct.Basic.Phase) phases.push_back(p.Name);
    for (size_t k = 0; k < Struct.Basic.DatBlock.size(); ++k) {
      std::string name = Struct.Basic.DatBlock[k].Name;
      if (name.empty() && k < Struct.Refl.M90.size()) name = Struct.Refl.M90[k].Name;
      blocks.push_back(name);
    }
  });

  // Edit blocks of the batch mode.
  TarnSetTool(HookBatchEditParameters, &EditParameters);
  TarnSetTool(HookBatchEditRadiation, &EditRadiation);

  // Tools of the subsystems that register themselves.
  RegisterDataredTools();
  RegisterRefineTools();
  RegisterFourierTools();
  RegisterImportersTools();
  RegisterDistTools();
  RegisterCifTools();
  RegisterEditTools();
  RegisterPowderTools();
}

}  // namespace tarn
