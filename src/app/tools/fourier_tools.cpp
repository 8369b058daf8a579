// Registration of the Fourier tools in the dispatcher's tool table; called
// once at start-up.
#include "app/tools/fourier_tools.hpp"

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/plot_run.hpp"
#include "app/summary.hpp"
#include "app/tools/block_dialog.hpp"
#include "fourier/fou_plot.hpp"
#include "fourier/fourier.hpp"
#include "model/keys.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/report.hpp"

namespace tarn {

void RegisterFourierTools() {
  // "Calculate Fourier maps" (also the batch ".run->fourier" and the
  // refinement's "callfour"): map ".m81", listing ".fou" (shown by the
  // frame's viewer entry), peaks into M40.
  TarnSetTool(ActRunFourier, [](TarnToolCall& c) {
    FouRunResult run;
    c.Error = Fourier(Struct, Sess.fln, Sess.KPhase, run);
    if (c.Error == 0) {
      TarnFourierResult f = TarnFourierOf(run);
      TarnShowSummary(TarnFourierLines(f));
      (void)TarnWritePlots(
          {{FouSectionPlot(run, Struct, Sess.KPhase, TarnStructureName()), Sess.fln + "_map"}});
      TarnToolResults().Fourier = std::move(f);
      // The maxima as new atoms: the atom editor, whose "peaks N ELEMENT" and
      // "peak LABEL ELEMENT [NAME]" take them.
      if (!c.Batch && !Sess.BatchMode && run.Map.MapType != MapDiffRef &&
          !run.Peaks.Max.empty() &&
          ReportAsk("Fourier", {"Do you want to start the procedure for including of new atoms?"},
                    false))
        (void)TarnRunTool(ActEditAtoms);
    }
    return NextNothing;
  });
  // "Fourier commands" (FouSetCommands): the "fourier" block in the block
  // dialog, written back by FouRewriteCommands.
  TarnSetTool(ActFourierCommands, [](TarnToolCall& c) {
    const auto& ph = Struct.Basic.Phase;
    if (Sess.KPhase < 1 || Sess.KPhase > static_cast<int>(ph.size())) return NextNothing;
    const auto& names = Struct.KeyPhases.PhaseNames;
    const std::string phase =
        names.size() > 1 ? names[static_cast<size_t>(Sess.KPhase - 1)] : std::string();
    const int nDim = ph[static_cast<size_t>(Sess.KPhase - 1)].NDim;
    const int nBlocks = static_cast<int>(Struct.Basic.DatBlock.size());
    FouSettings now;
    int error = 0;
    DefaultFourier(now);
    NactiFourier(Sess.fln, now, error);
    BlockDialog d{"Fourier commands", FouBlockLines(now, phase, nDim, nBlocks), &now.Table,
                  [](const std::string& text) {
                    FouSettings e;
                    int bad = 0;
                    DefaultFourier(e);
                    KeyUnit u;
                    KeyOpenText(u, M50FileName(), text);
                    NactiFourier(u, e, bad);
                    if (bad) return 1;
                    return FouRewriteCommands(e);
                  }};
    // Three pages: the map and its coefficients, the scope of the grid, the peak search.
    std::vector<BlockTab> tabs = {{"basic",
               {"maptype", "cmethod", "tmethod", "weight", "usesnlim", "snlmn", "snlmx", "cutting",
                "uiso", "biso", "subsys", "refstr", "datblocks"}},
              {"scope", {"step", "addbord", "orient", "x1lim", "x2lim", "x3lim"}},
              {"peaks", {"peaks", "positive", "negative", "intmethod", "intrad", "harmonic", "dmax"}}};
    for (int i = 4; i <= nDim; ++i) tabs[1].Keys.push_back("x" + std::to_string(i) + "lim");
    tabs[1].Keys.insert(tabs[1].Keys.end(), {"center", "scope"});
    c.Error = 0;
    (void)FeEditCommandBlock(d, tabs);
    return NextNothing;
  });
}

}  // namespace tarn
