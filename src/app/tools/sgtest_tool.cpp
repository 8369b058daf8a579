// The space-group test as an action and as the batch command ".run->sgtest".
#include "app/tools/sgtest_tool.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "app/toolkit.hpp"
#include "datared/import.hpp"
#include "datared/sgtest.hpp"
#include "model/m50.hpp"
#include "model/session.hpp"
#include "model/spgroup_home.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace sgtool {
constexpr std::string_view Header = "Make space group test";
constexpr std::string_view NoM95a = "Repository file M95 does not exist and";
constexpr std::string_view NoM95b = "therefore the test cannot be made.";
constexpr std::string_view BadMode = "The space group test expects \"standard\", \"original\" or \"none\": ";
constexpr std::string_view NoPhase = "The structure has no phase.";
constexpr std::string_view NotStandard =
    "The transformation into the standard setting is not available yet: the group is accepted in "
    "the cell of the data.";
constexpr std::string_view Accepted = "Accepted space group: {} ({})";
constexpr std::string_view NotWritten = "The listing \"{}\" could not be written.";
}  // namespace sgtool

int Fail(std::vector<std::string> lines) {
  FeChybne(std::string(sgtool::Header), std::move(lines));
  return 1;
}

}  // namespace

int EM9SpaceGroupTest(const std::string& base, const std::string& mode, bool batch) {
  if (!EqIgnoreCase(mode, "standard") && !EqIgnoreCase(mode, "original") && !EqIgnoreCase(mode, "none"))
    return Fail({std::string(sgtool::BadMode) + mode});
  if (Struct.Basic.Phase.empty()) return Fail({std::string(sgtool::NoPhase)});
  if (!FeFileExists(base + ".m95")) return Fail({std::string(sgtool::NoM95a), std::string(sgtool::NoM95b)});
  ErrorRecord err;
  const SgTable* tab = HomeSgTable(&err);
  if (!tab) return Fail(err.Lines());
  if (DRSetRefArrays(base + ".m95", err)) return Fail({ImpErrorText(err)});
  std::vector<IntStatRefl> refl;
  const ReflData& d = Struct.Refl;
  for (int k = 0; k < d.NRef; ++k) {
    int h[kReflMaxNDim] = {};
    IndUnpack(d.HCondAr[k], d.Pack, h);
    refl.push_back({{h[0], h[1], h[2]}, d.RIAr[k], d.RSAr[k]});
  }
  const int kp = std::clamp(Sess.KPhase, 1, static_cast<int>(Struct.Basic.Phase.size()));
  PhaseBasic& phase = Struct.Basic.Phase[kp - 1];
  PhaseBasic p1 = phase;  // the cell and composition in P1
  p1.Symmetry = CrlPrimitivePhase(3);
  SgTestResult res;
  const int rc = DRSGTest(refl, p1, *tab, SgTestSettings{}, res);
  std::vector<std::string> lst = {fmt::format("Space group test on {} reflections of M95", refl.size()), ""};
  lst.insert(lst.end(), res.Listing.begin(), res.Listing.end());
  if (batch)
    for (const std::string& l : lst) Fe().ListingLine(l);
  std::string text;
  for (const std::string& l : lst) text += l + "\n";
  if (FeWriteFileAtomic(base + ".dir", text))
    return Fail({fmt::format(fmt::runtime(sgtool::NotWritten), base + ".dir")});
  if (rc != 0) return 1;
  if (EqIgnoreCase(mode, "none")) return 0;
  const SgCandidate& best = res.Cand[0];
  const SgEntry& e = tab->Entry[static_cast<size_t>(best.Entry)];
  if (EqIgnoreCase(mode, "standard") && SgKey(e.ToStd) != "x,y,z") {
    if (batch) Fe().ListingLine(std::string(sgtool::NotStandard));
    else FeInfo(std::string(sgtool::Header), {std::string(sgtool::NotStandard)});
  }
  if (!batch && !FeYesNo(std::string(sgtool::Header),
                         {fmt::format("Accept the space group {} in the cell of the data?", e.Short)}, true))
    return 0;
  PhaseSetOperators(phase, SgEntryOps(*tab, best.Entry), e.Short[0]);
  phase.SpGroup = e.Short;
  phase.SpGroupNumber = e.Number;
  phase.SgShift.clear();
  if (iom50(M50Write, base + ".m50")) return 1;
  FeDeleteFile(base + ".m90");
  const std::string done = fmt::format(fmt::runtime(sgtool::Accepted), e.Short, e.Number);
  if (batch) Fe().ListingLine(done);
  return 0;
}

int EM9SpaceGroupTestTool(TarnToolCall& call) {
  const std::string mode = call.Items.empty() ? "original" : std::string(Trim(call.Items[0].Line));
  call.Error = EM9SpaceGroupTest(Sess.fln, mode, call.Batch);
  return NextNothing;
}

}  // namespace tarn
