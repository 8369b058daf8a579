// Averaging as a separate action: listing fln.ave.
#include "app/tools/average_tool.hpp"
#include "model/structure.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <climits>

#include "datared/average.hpp"
#include "datared/average_msg.hpp"
#include "datared/createm90.hpp"
#include "datared/import.hpp"
#include "app/fileset.hpp"
#include "model/session.hpp"
#include "app/toolkit.hpp"
#include "model/basic.hpp"
#include "model/m95m90.hpp"

namespace tarn {

namespace {

namespace avetool {
constexpr std::string_view Header = "Run average";
constexpr std::string_view NoData = "There are no reflections to average (neither M90 nor M95).";
constexpr std::string_view NoPhase = "The structure has no phase with symmetry to average under.";
constexpr std::string_view BlockHead = "Averaging of data block {} ({})";
constexpr std::string_view FromM95 = "Averaging of the imported reflections of M95";
constexpr std::string_view Summary = "{} reflections averaged to {}, {} observed";
constexpr std::string_view RintLine =
    "Rint = {:.4f} for groups of two or more measurements, Rsigma = {:.4f}";
constexpr std::string_view NotWritten = "The listing \"{}\" could not be written.";
}  // namespace avetool

// Loads one M90 block into the reflection arrays.
void LoadM90(const std::vector<M90Refl>& r, int ndim, int block) {
  IndPackSpec pk;
  pk.N = ndim;
  for (int i = 0; i < ndim; ++i) {
    int lo = INT_MAX, hi = INT_MIN;
    for (const M90Refl& x : r) {
      lo = std::min(lo, x.H[i]);
      hi = std::max(hi, x.H[i]);
    }
    pk.Offset[i] = -lo;
    pk.Range[i] = hi - lo + 1;
  }
  Struct.Refl.Pack = pk;
  const int n = static_cast<int>(r.size());
  ReallocRefArrays(n);
  Struct.Refl.NRef = n;
  for (int k = 0; k < n; ++k) {
    Struct.Refl.HCondAr[k] = IndPack(r[k].H, pk);
    Struct.Refl.RIAr[k] = r[k].I;
    Struct.Refl.RSAr[k] = r[k].SigI;
    Struct.Refl.ICullAr[k] = r[k].ICull != 0 ? kCullMan : kCullNone;
    Struct.Refl.RunCCDAr[k] = 1;
    Struct.Refl.RefBlockAr[k] = block;
    Struct.Refl.TwAr[k] = r[k].ITw;
    Struct.Refl.ThetaArr[k] = 0.;
  }
}

void Append(const AveResult& res, std::vector<std::string>& lst) {
  lst.insert(lst.end(), res.Listing.begin(), res.Listing.end());
  lst.emplace_back();
  lst.push_back(fmt::format(fmt::runtime(avetool::RintLine), res.RintMulti, res.RsigmaAll));
  lst.push_back(fmt::format(fmt::runtime(avetool::Summary), res.NMeasured, res.NUnique, res.NObs));
  lst.emplace_back();
}

int Fail(std::string_view m) {
  FeChybne(std::string(avetool::Header), {std::string(m)});
  return 1;
}

}  // namespace

int EM9Average(const std::string& base) {
  if (Struct.Basic.Phase.empty()) return Fail(avetool::NoPhase);
  const int kp = std::clamp(Sess.KPhase, 1, static_cast<int>(Struct.Basic.Phase.size()));
  const PhaseBasic& phase = Struct.Basic.Phase[kp - 1];
  std::vector<std::string> lst;
  if (FeFileExists(base + ".m90")) {
    std::vector<M90Block> b;
    std::vector<std::vector<M90Refl>> r;
    if (ReadM90File(base + ".m90", b, r)) return 1;
    for (size_t k = 0; k < b.size(); ++k) {
      if (r[k].empty()) continue;
      lst.push_back(fmt::format(fmt::runtime(avetool::BlockHead), k + 1, b[k].Name));
      LoadM90(r[k], b[k].NDim, static_cast<int>(k) + 1);
      AveResult res;
      if (DRAverage(phase.Symmetry, DRAveSettingsFromM90(b[k], phase), res))
        return Fail(res.Listing.empty() ? avemsg::kTooLarge : res.Listing.back());
      Append(res, lst);
    }
  } else if (FeFileExists(base + ".m95")) {
    ErrorRecord err;
    if (DRSetRefArrays(base + ".m95", err)) return Fail(ImpErrorText(err));
    lst.emplace_back(avetool::FromM95);
    M90Block dflt;
    SetBasicM90(dflt);
    AveResult res;
    if (DRAverage(phase.Symmetry, DRAveSettingsFromM90(dflt, phase), res))
      return Fail(res.Listing.empty() ? avemsg::kTooLarge : res.Listing.back());
    Append(res, lst);
  } else {
    return Fail(avetool::NoData);
  }
  std::string text;
  for (const std::string& l : lst) text += l + "\n";
  if (FeWriteFileAtomic(base + ".ave", text))
    return Fail(fmt::format(fmt::runtime(avetool::NotWritten), base + ".ave"));
  return 0;
}

int EM9AverageTool(TarnToolCall& call) {
  call.Error = EM9Average(Sess.fln);
  return NextNothing;
}

}  // namespace tarn
