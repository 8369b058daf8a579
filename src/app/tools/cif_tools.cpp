// Registration of the CIF tools in the dispatcher's tool table.
#include "app/tools/cif_tools.hpp"

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

// Max, min and rms of the residual density as journals expect it: the
// unweighted difference map of the whole cell from the coefficients of the
// last refinement (fln.m80), whatever map the "fourier" block last made.
std::optional<std::array<double, 3>> DiffDensity() {
  std::array<double, 3> rho{};
  if (FouResidualDensity(Struct, Sess.fln, Sess.KPhase, rho)) return std::nullopt;
  return rho;
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
