// Registration of the refine tools in the dispatcher's tool table
// (TarnSetTool of app/actions.hpp); called once at start-up.
#include "app/tools/refine_tools.hpp"

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/plot_run.hpp"
#include "app/summary.hpp"
#include "refine/refcommands.hpp"
#include "refine/refine.hpp"
#include "refine/refine_plots.hpp"
#include "model/session.hpp"

namespace tarn {

void RegisterRefineTools() {
  // "Run refinement" (also the batch ".run->refine"); the listing ".ref" is
  // shown by the frame's viewer entry 51203.
  TarnSetTool(ActRunRefine, [](TarnToolCall& c) {
    RefRunSummary summary;
    c.Error = Refine(summary);
    if (c.Error == 0) {
      TarnShowSummary(TarnRefineLines(summary));
      const std::string name = TarnStructureName();
      if (summary.PwdPlots.empty()) {
        (void)TarnWritePlots({{RefFoFcPlot(summary.Plot, name), Sess.fln + "_fofc"},
                              {RefNormalProbabilityPlot(summary.Plot, name), Sess.fln + "_npp"}});
      } else {
        // A Rietveld run: the fit of every pattern beside its profile file.
        std::vector<TarnPlotJob> jobs;
        for (size_t k = 0; k < summary.PwdPlots.size() && k < summary.PwdPlotFiles.size(); ++k)
          jobs.push_back({std::move(summary.PwdPlots[k]), summary.PwdPlotFiles[k]});
        (void)TarnWritePlots(jobs);
      }
      summary.Plot = {};
      summary.PwdPlots.clear();
      TarnToolResults().Refine = std::move(summary);
    }
    return NextNothing;
  });
  // The keywords of the "refine" block, for the batch edits of the block.
  TarnSetBlockTable("refine", &RefMakeTable);
  // "callfour": the Fourier tool after the refinement has written M40.
  RefSetFourierHook([] {
    TarnToolCall call;
    (void)TarnRunTool(ActRunFourier, call);
    return call.Error;
  });
}

}  // namespace tarn
