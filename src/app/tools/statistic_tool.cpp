// "Run statistic test - Wilson plot" (action 50108): intensity statistics of
// the structure's reflections in the listing fln.dir.
#include "app/tools/statistic_tool.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "app/action_codes.hpp"
#include "app/plot_run.hpp"
#include "app/toolkit.hpp"
#include "datared/import.hpp"
#include "datared/intensity_stat.hpp"
#include "datared/merge_plots.hpp"
#include "model/m95m90.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"

namespace tarn {

namespace {

namespace stattool {
constexpr std::string_view Header = "Run statistic test - Wilson plot";
constexpr std::string_view NoData = "There are no reflections for the statistics (neither M90 nor M95).";
constexpr std::string_view TooFew = "Too few reflections for the statistics (20 at least).";
constexpr std::string_view NoPhase = "The structure has no phase.";
constexpr std::string_view NotWritten = "The listing \"{}\" could not be written.";
}  // namespace stattool

int Fail(std::string_view m) {
  FeChybne(std::string(stattool::Header), {std::string(m)});
  return 1;
}

}  // namespace

// Statistics of the first data block of M90 (merged), else of the imported
// reflections of M95; writes base.dir.
int EM9StatisticTest(const std::string& base) {
  if (Struct.Basic.Phase.empty()) return Fail(stattool::NoPhase);
  const int kp = std::clamp(Sess.KPhase, 1, static_cast<int>(Struct.Basic.Phase.size()));
  const PhaseBasic& phase = Struct.Basic.Phase[kp - 1];
  std::vector<IntStatRefl> refl;
  std::string source;
  if (FeFileExists(base + ".m90")) {
    std::vector<M90Block> b;
    std::vector<std::vector<M90Refl>> r;
    if (ReadM90File(base + ".m90", b, r)) return 1;
    for (const M90Refl& x : r.empty() ? std::vector<M90Refl>{} : r[0])
      if (x.ICull == 0) refl.push_back({{x.H[0], x.H[1], x.H[2]}, x.I, x.SigI});
    source = "M90, data block 1";
  } else if (FeFileExists(base + ".m95")) {
    ErrorRecord err;
    if (DRSetRefArrays(base + ".m95", err)) return Fail(ImpErrorText(err));
    const ReflData& d = Struct.Refl;
    for (int k = 0; k < d.NRef; ++k) {
      int h[kReflMaxNDim] = {};
      IndUnpack(d.HCondAr[k], d.Pack, h);
      refl.push_back({{h[0], h[1], h[2]}, d.RIAr[k], d.RSAr[k]});
    }
    source = "M95, all reflection blocks, not merged";
  } else {
    return Fail(stattool::NoData);
  }
  IntStatResult res;
  if (DRIntensityStatistics(refl, phase, res)) return Fail(stattool::TooFew);
  std::string text = fmt::format("Intensity statistics of {} ({} reflections)\n\n", source, refl.size());
  for (const std::string& l : res.Listing) text += l + "\n";
  if (FeWriteFileAtomic(base + ".dir", text))
    return Fail(fmt::format(fmt::runtime(stattool::NotWritten), base + ".dir"));
  std::string dir, name;
  FeSplitPath(base, dir, name);
  (void)TarnWritePlots({{DRWilsonPlot(res, name), base + "_wilson"}, {DRNzPlot(res, name), base + "_nz"}});
  return 0;
}

int EM9StatisticTool(TarnToolCall& call) {
  call.Error = EM9StatisticTest(Sess.fln);
  return NextNothing;
}

}  // namespace tarn
