// Registration of the importers tools in the dispatcher's tool table
// (TarnSetTool of src/frame/actions.hpp); called once at start-up.
//   51102 "model from SHELX": an .ins/.res file, or a CIF with the SHELX
//         result embedded (_shelx_res_file)
//   51103 "model from CIF" (also the batch command ".import->CIF")
// The new structure takes the base name of the file in its directory; an
// existing structure of that name is replaced only after confirmation
// (interactive) and only when everything was read and written.
#include "importers/importers_tools.hpp"

#include <fmt/format.h>

#include <string>
#include <vector>

#include "frame/actions.hpp"
#include "frame/files.hpp"
#include "frame/state.hpp"
#include "frame/toolkit.hpp"
#include "importers/cif_model.hpp"
#include "importers/shelx_model.hpp"
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
  std::vector<std::string> msg;
  const int rc =
      kind == FromShelx ? ImportShelxModel(text, path, msg) : ImportCifModel(text, path, msg);
  if (rc) {
    c.Error = 1;
    FeChybne(header, msg);
    return NextNothing;
  }
  if (!c.Batch) {
    if (TarnSwitchFln(path)) return NextNothing;
    if (StructureExists(Frame.fln) &&
        !FeYesNo(fmt::format("The structure \"{}\" exists. Overwrite it?", Frame.fln))) {
      TarnRestorePrevFln();
      return NextNothing;
    }
  }
  if (WriteImportedStructure(Frame.fln)) {
    c.Error = 1;
    FeChybne(header, {std::string(shelxmsg::CannotWrite), Frame.fln});
    if (!c.Batch) TarnRestorePrevFln();
    return NextNothing;
  }
  if (!msg.empty()) FeInfo(header, msg);
  return c.Batch ? NextNothing : NextNewFln;
}

}  // namespace

void RegisterImportersTools() {
  TarnSetTool(51102, [](TarnToolCall& c) { return RunImport(c, FromShelx); });
  TarnSetTool(51103, [](TarnToolCall& c) { return RunImport(c, FromCif); });
}

}  // namespace tarn
