// The progress window of a refinement run.
#include "refine/refine_progress.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "model/session.hpp"
#include "refine/refine.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// A confirmed request (SubKind 1) or the user's yes to the question; in
// batch mode the toolkit answers with the default, which is yes.
bool Confirmed(const ReportPoll& e, std::string_view question) {
  if (e.Confirmed) return true;
  return ReportAsk(std::string(progressmsg::Title), {std::string(question)}, true);
}

void ShowOverview(const RefProgressCtl& c) {
  std::vector<std::string> lines;
  if (c.Tabs != nullptr) {
    std::vector<std::string> all;
    PisRfac(*c.Tabs, all);
    // The overview table runs up to the first blank line after its heading.
    for (size_t k = 1; k < all.size() && !all[k].empty(); ++k) lines.push_back(all[k]);
  }
  if (lines.empty()) lines.push_back("No cycle has been finished yet.");
  if (Sess.BatchMode) {
    for (const auto& l : lines) ReportLine(l);
    return;
  }
  ReportInfo(std::string(progressmsg::Overview), lines);
}

void EditOptions(RefProgressCtl& c) {
  std::vector<ReportField> f = {
      {std::string(progressmsg::FieldCycles), std::to_string(c.Cycles)},
      {std::string(progressmsg::FieldDamp), fmt::format("{}", c.Damp)},
      {std::string(progressmsg::FieldMarq), c.LsMethod == 2 ? "1" : "0"},
      {std::string(progressmsg::FieldFudge), fmt::format("{}", c.MarqLam)},
  };
  if (!Report().EditFields(std::string(progressmsg::Options), f)) return;
  const auto cyc = ToInt(f[0].Value);
  const auto damp = ToReal(f[1].Value);
  const auto marq = ToInt(f[2].Value);
  const auto fudge = ToReal(f[3].Value);
  // Every field must convert and lie in its range, else nothing changes.
  if (!cyc || !damp || !marq || !fudge || *damp <= 0. || *damp > 1. || *fudge < 0. ||
      (*marq != 0 && *marq != 1)) {
    ReportWarning(std::string(progressmsg::Options), {"The values are not valid; nothing changed."});
    return;
  }
  c.Cycles = std::max(static_cast<int>(*cyc), c.CurrentCycle);
  c.Damp = *damp;
  c.LsMethod = *marq == 1 ? 2 : 1;
  c.MarqLam = *fudge;
}

}  // namespace

bool RefProgressPoll(RefProgressCtl& c) {
  if (c.Cancel) return true;
  const ReportPoll e = Report().ProgressPoll();
  switch (e.Request) {
    case ReportRequest::Cancel:
      if (Confirmed(e, progressmsg::AskCancel)) c.Cancel = true;
      break;
    case ReportRequest::EndAfterCycle:
      if (Confirmed(e, progressmsg::AskEnd)) c.EndAfterCycle = true;
      break;
    case ReportRequest::Overview:
      ShowOverview(c);
      break;
    case ReportRequest::Options:
      EditOptions(c);
      break;
    default:
      break;
  }
  return c.Cancel;
}

void RefProgress(RefProgressCtl& c, int cycle, const RFacVal& obs, const RFacVal& all,
                 bool fsquare) {
  ReportLine(fmt::format("Cycle {} of {}, damping {:.4f}", cycle, c.Cycles, c.Damp));
  ReportLine(fmt::format("{}{:.2f}", refinemsg::LastGof, obs.Gof));
  ReportLine(fmt::format("{}{:.2f}", fsquare ? refinemsg::LastWR2 : refinemsg::LastWR,
                               fsquare ? all.wR2 : all.wR));
  Report().ProgressFraction(static_cast<double>(cycle + 1) / (c.Cycles + 1));
  (void)RefProgressPoll(c);
}

}  // namespace tarn
