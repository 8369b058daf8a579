// Registration of the importers tools in the dispatcher's tool table
// (TarnSetTool of src/frame/actions.hpp); called once at start-up.
//   51102 "model from SHELX": an .ins/.res file, or a CIF with the SHELX
//         result embedded (_shelx_res_file)
//   51103 "model from CIF" (also the batch command ".import->CIF")
//   40069 "Simulation of powder profile": a new M95 powder block simulated
//         from the current model and the instrument of a powder block
//   40070 "Simulation of single crystal data": a new M95 reflection block
//         simulated from the current model
// The new structure takes the base name of the file in its directory; an
// existing structure of that name is replaced only after confirmation
// (interactive) and only when everything was read and written.
#include "app/tools/importers_tools.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/fileset.hpp"
#include "app/toolkit.hpp"
#include "datared/simulate.hpp"
#include "refine/rietveld_sim.hpp"
#include "importers/cif_model.hpp"
#include "importers/shelx_model.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

enum ImportKind { FromShelx, FromCif };

int RunImport(TarnToolCall& c, ImportKind kind) {
  const char* header = kind == FromShelx ? "Model from SHELX" : "Model from CIF";
  std::string path = c.Path;
  if (path.empty()) {
    if (c.Batch) {
      c.Error = 1;
      FeChybne(header, {"The file name is missing."});
      return NextNothing;
    }
    auto chosen = Fe().ChooseFile(kind == FromShelx ? "SHELX file : " : "CIF file : ", "",
                                  kind == FromShelx ? "*.res" : "*.cif");
    if (!chosen || chosen->empty()) return NextNothing;
    path = *chosen;
  }
  std::string text;
  if (FeReadFile(path, text)) {
    c.Error = 1;
    FeChybne(header, {fmt::format("The file \"{}\" cannot be read.", path)});
    return NextNothing;
  }
  if (kind == FromShelx) {
    // A CIF with the SHELX result embedded.
    const std::string ext = ToLower(path.substr(path.find_last_of('.') + 1));
    if (ext == "cif" || ext == "fcf") text = ShelxEmbeddedFile(text, "_shelx_res_file");
  }
  // The structure open now stays as it is until the new one has been
  // written: the importer fills Struct, so it is kept aside.
  Structure kept = c.Batch ? Structure{} : Struct;
  auto giveBack = [&] {
    if (!c.Batch) Struct = std::move(kept);
  };
  std::vector<std::string> msg;
  ErrorRecord err;
  ShelxImportInfo info;  // its refinement settings are the defaults for a CIF
  const int rc = kind == FromShelx ? ImportShelxModel(text, path, msg, err, &info)
                                   : ImportCifModel(text, path, msg, err, &info.Ref);
  if (rc) {
    c.Error = 1;
    giveBack();
    FeChybne(header, err.TextLines());
    return NextNothing;
  }
  if (!c.Batch) {
    // The new structure: beside the model file under its name, or where the
    // user says.
    std::string dir, file;
    FeSplitPath(path, dir, file);
    std::string target = dir + FeStripExt(file);
    if (!FeYesNo(fmt::format("The new structure will be \"{}\". Do you want this name?", target),
                 {}, true)) {
      auto other = Fe().ChooseFile(
          "New structure : ", "Type the folder and the name of the new structure.", "*.m50");
      if (!other || Trim(*other).empty()) {
        giveBack();
        return NextNothing;
      }
      target = std::string(Trim(*other));
    }
    if (TarnSwitchFln(target)) {
      giveBack();
      return NextNothing;
    }
    if (StructureExists(Sess.fln) &&
        !FeYesNo(fmt::format("The structure \"{}\" exists. Overwrite it?", Sess.fln))) {
      TarnRestorePrevFln();
      giveBack();
      return NextNothing;
    }
  }
  if (WriteImportedStructure(Sess.fln, info.Ref)) {
    c.Error = 1;
    FeChybne(header, {std::string(shelxmsg::CannotWrite), Sess.fln});
    if (!c.Batch) TarnRestorePrevFln();
    giveBack();
    return NextNothing;
  }
  if (!msg.empty()) FeInfo(header, msg);
  return c.Batch ? NextNothing : NextNewFln;
}

// The settings of the simulation through a form; the block is appended to
// the structure's M95 (the frame re-reads it after the action).
int RunSimulation(TarnToolCall& c) {
  if (Sess.fln.empty()) return NextNothing;
  SimSettings s;
  s.Absent = std::any_of(c.Items.begin(), c.Items.end(),
                         [](const TarnBatchItem& i) { return i.Name == "absent"; });
  if (!c.Batch) {
    std::vector<FeFormField> f = {
        {"sin(th)/lambda limit", fmt::format("{}", s.SnlMax)},
        {"All equivalents (0/1)", s.Equivalents ? "1" : "0"},
        {"Counts of the strongest reflection", fmt::format("{}", s.MaxCounts)},
        {"Instability factor", fmt::format("{}", s.Instab)},
        {"Seed of the noise", fmt::format("{}", s.Seed)},
        {"Absent reflections as weak measured ones (0/1)", s.Absent ? "1" : "0"}};
    if (!Fe().EditForm(simmsg::Header, f)) return NextNothing;
    s.SnlMax = ToReal(f[0].Value).value_or(s.SnlMax);
    s.Equivalents = ToInt(f[1].Value).value_or(0) != 0;
    s.MaxCounts = ToReal(f[2].Value).value_or(s.MaxCounts);
    s.Instab = ToReal(f[3].Value).value_or(s.Instab);
    s.Seed = static_cast<unsigned>(ToInt(f[4].Value).value_or(1));
    s.Absent = ToInt(f[5].Value).value_or(0) != 0;
    if (s.SnlMax <= 0. || s.MaxCounts <= 0. || s.Instab < 0.) {
      FeChybne(simmsg::Header,
               {"The limit and the counts must be positive, the instability not negative."});
      return NextNothing;
    }
  }
  std::vector<std::string> msg;
  if (EM9SimulateToM95(s, Sess.fln + ".m95", msg)) {
    c.Error = 1;
    FeChybne(simmsg::Header, msg);
    return NextNothing;
  }
  FeInfo(simmsg::Header, msg);
  return NextNothing;
}

// "Simulation of powder profile": the settings from the batch line (item 0)
// or a form; the pattern is appended to the structure as a powder block.
int RunPowderSimulation(TarnToolCall& c) {
  if (Sess.fln.empty()) return NextNothing;
  RietSimSettings s;
  std::string err;
  if (c.Batch) {
    if (!c.Items.empty() && RietSimParse(c.Items[0].Line, s, err)) {
      c.Error = 1;
      FeChybne(rsimmsg::Header, {err});
      return NextNothing;
    }
  } else {
    std::vector<FeFormField> f = {{"Settings (block N seed N counts C range FROM TO STEP)",
                                   fmt::format("block {} seed {} counts {}", s.Block, s.Seed, s.MaxCounts)}};
    if (!Fe().EditForm(rsimmsg::Header, f)) return NextNothing;
    if (RietSimParse(f[0].Value, s, err)) {
      FeChybne(rsimmsg::Header, {err});
      return NextNothing;
    }
  }
  std::vector<std::string> msg;
  if (RietSimulateToFiles(Sess.fln, s, msg)) {
    c.Error = 1;
    FeChybne(rsimmsg::Header, msg);
    return NextNothing;
  }
  FeInfo(rsimmsg::Header, msg);
  return NextNothing;
}

}  // namespace

void RegisterImportersTools() {
  TarnSetTool(MenuSimSingle, &RunSimulation);
  TarnSetTool(MenuSimPowder, &RunPowderSimulation);
  TarnSetTool(ActModelFromShelx, [](TarnToolCall& c) { return RunImport(c, FromShelx); });
  TarnSetTool(ActModelFromCif, [](TarnToolCall& c) { return RunImport(c, FromCif); });
}

}  // namespace tarn
