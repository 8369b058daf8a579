// Registration of the distance tool in the dispatcher's tool table.
#include "app/tools/dist_tools.hpp"

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/summary.hpp"
#include "dist/dist.hpp"
#include "model/structure.hpp"

namespace tarn {

void RegisterDistTools() {
  // "Calculate distances" (also the batch ".run->dist"): the listing ".dis"
  // is shown by the frame's viewer entry ActViewDistListing.
  TarnSetTool(ActRunDist, [](TarnToolCall& c) {
    DistResults r;
    c.Error = Dist(Struct, r);
    if (c.Error == 0) {
      TarnDistResult d = TarnDistOf(r);
      TarnShowSummary(TarnDistLines(d));
      TarnToolResults().Dist = std::move(d);
    }
    return NextNothing;
  });
}

}  // namespace tarn
