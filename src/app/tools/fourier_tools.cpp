// Registration of the Fourier tools in the dispatcher's tool table; called
// once at start-up.
#include "app/tools/fourier_tools.hpp"

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/summary.hpp"
#include "fourier/fourier.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"

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
      TarnToolResults().Fourier = std::move(f);
    }
    return NextNothing;
  });
}

}  // namespace tarn
