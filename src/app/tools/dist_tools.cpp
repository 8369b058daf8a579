// Registration of the distance tool in the dispatcher's tool table.
#include "app/tools/dist_tools.hpp"

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/summary.hpp"
#include "app/tools/block_dialog.hpp"
#include "dist/dist.hpp"
#include "model/session.hpp"
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
  // "Distance commands" (DistSetCommands): the "dist" block of the current
  // phase in the block dialog, written back into M50 and fln.l51.
  TarnSetTool(ActDistCommands, [](TarnToolCall& c) {
    const auto& ph = Struct.Basic.Phase;
    if (Sess.KPhase < 1 || Sess.KPhase > static_cast<int>(ph.size())) return NextNothing;
    const int ndimI = ph[static_cast<size_t>(Sess.KPhase - 1)].NDim - 3;
    DistCommands now;
    (void)DistReadCommands(Struct.Basic.CommandText, now, ndimI);
    BlockDialog d{"Distance commands", DistBlockLines(now), &now.Table,
                  [ndimI](const std::string& text) {
                    DistCommands e;
                    if (DistReadCommands(text, e, ndimI)) return 1;
                    return DistRewriteCommands(e);
                  }};
    c.Error = 0;
    (void)FeEditCommandBlock(d);
    return NextNothing;
  });
}

}  // namespace tarn
