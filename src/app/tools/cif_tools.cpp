// Registration of the CIF tools in the dispatcher's tool table.
#include "app/tools/cif_tools.hpp"

#include <filesystem>

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/summary.hpp"
#include "cif/cif_report.hpp"
#include "fourier/fourier.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/report.hpp"

namespace tarn {

namespace {

// Max, min and rms of the difference map fln.m81 when it is not older than
// M40 (a map of the current model).
std::optional<std::array<double, 3>> DiffDensity() {
  namespace fs = std::filesystem;
  const std::string m81 = Sess.fln + ".m81", m40 = Sess.fln + ".m40";
  std::error_code e1, e2;
  if (!FeFileExists(m81) || fs::last_write_time(m81, e1) < fs::last_write_time(m40, e2) || e1)
    return std::nullopt;
  FouMap map;
  if (FouReadM81(m81, map) || (map.MapType != MapDiff && map.MapType != MapDiffRef))
    return std::nullopt;
  FouMapStats(map);
  return std::array<double, 3>{map.Max, map.Min, map.Rms};
}

// The report with its summary.
void RunCif(TarnToolCall& c, CifOptions o) {
  o.DiffDensity = DiffDensity();
  CifRunResult r;
  c.Error = CIFUpdate(Struct, o, r);
  if (c.Error == 0) {
    TarnShowSummary(TarnCifLines(r));
    TarnToolResults().Cif = std::move(r);
  }
}

void SetCifTool(int code, int fcfCode, bool keepUserItems) {
  TarnSetTool(code, [fcfCode, keepUserItems](TarnToolCall& c) {
    CifOptions o;
    o.FcfCode = fcfCode;
    o.KeepUserItems = keepUserItems;
    if (!c.Path.empty()) o.UserFiles.push_back(c.Path);  // a CIF of the user's to merge
    RunCif(c, o);
    return NextNothing;
  });
}

}  // namespace

void RegisterCifTools() {
  // "CIF make": a fresh report; an existing fln.cif is replaced after the
  // user agrees.
  TarnSetTool(ActCifMake, [](TarnToolCall& c) {
    const std::string name = Sess.fln + ".cif";
    if (FeFileExists(name) &&
        !ReportAsk("The file \"" + name + "\" already exists, rewrite it?", {}, true))
      return NextNothing;
    CifOptions o;
    o.KeepUserItems = false;
    RunCif(c, o);
    return NextNothing;
  });
  // "CIF update" (also the batch ".run->cif"): the program's items and loops
  // are renewed, the user's items of fln.cif kept.
  SetCifTool(ActCifUpdate, FcfFc2Fo2, true);
  SetCifTool(ActCifFcf3, FcfFoAB, true);
  SetCifTool(ActCifFcf6, FcfFo2FcPhi, true);
}

}  // namespace tarn
