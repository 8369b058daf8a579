// Registration of the datared tools in the dispatcher's tool table
// (TarnSetTool of app/actions.hpp); called once at start-up.
#include "app/tools/datared_tools.hpp"

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/tools/average_tool.hpp"
#include "app/tools/diffractometer_check.hpp"
#include "app/tools/sgtest_tool.hpp"
#include "app/tools/statistic_tool.hpp"

namespace tarn {

void RegisterDataredTools() {
  // "Run average" (action 50106 returns the next step average): the listing
  // fln.ave, which action 50107 shows.
  TarnSetTool(HookAverage, &EM9AverageTool);
  // "Make space group test" (action 50102; batch ".run->sgtest").
  TarnSetTool(ActSpaceGroupTest, &EM9SpaceGroupTestTool);
  // "Run statistic test - Wilson plot" (action 50108): the listing fln.dir,
  // which action 50109 shows.
  TarnSetTool(ActStatisticTest, &EM9StatisticTool);
  // "Diffractometer check": cell from UB, hkl <-> angles (interactive only).
  TarnSetTool(ActDiffractometerCheck, [](TarnToolCall& c) {
    if (!c.Batch) DRTestDiffractometer();
    return NextNothing;
  });
}

}  // namespace tarn
