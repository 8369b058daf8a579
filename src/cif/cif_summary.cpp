// Figures of the refinement listing fln.ref for the report.
#include <sstream>

#include "cif/cif_report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

std::optional<double> After(std::string_view line, std::string_view key) {
  const size_t at = line.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  auto w = SplitWords(line.substr(at + key.size()));
  return w.empty() ? std::nullopt : ToReal(w[0]);
}

}  // namespace

CifRefSummary CIFItemFromSummary(std::string_view refText) {
  CifRefSummary s;
  std::istringstream in{std::string(refText)};
  std::string line;
  bool overview = false, changes = false;
  int nChanges = 0;
  while (std::getline(in, line)) {
    const std::string_view t = Trim(line);
    // One line per cycle: R(obs) wR(obs) R(all) wR(all) nobs nall [nskip]; the
    // last one holds.
    if (line.rfind("Rfactors0:", 0) == 0) {
      std::istringstream w(line.substr(10));
      CifRefSummary c = s;
      if (w >> c.R[0] >> c.R[1] >> c.R[2] >> c.R[3] >> c.NObs >> c.NAll) {
        c.Found = true;
        s = c;
      }
    } else if (line.rfind("R factors for ", 0) == 0) {
      s.FSquare = line.find("wR2(") != std::string::npos;
    } else if (line.rfind("GOF(obs)=", 0) == 0) {
      s.GofObs = After(line, "GOF(obs)=");
      s.GofAll = After(line, "GOF(all)=");
      s.GofRestrained = After(line, "restrained GOF(all)=");
      if (auto n = After(line, "restraints=")) s.NRestr = static_cast<int>(*n);
    } else if (line.rfind("Absolute structure: Flack parameter x = ", 0) == 0) {
      const auto w = SplitWords(line.substr(40));
      if (w.size() >= 3 && w[1] == "from") {
        s.Flack = w[0];
        s.FlackQuot = static_cast<int>(ToInt(w[2]).value_or(0));
      }
    } else if (line.rfind("Powder block 1: Rp ", 0) == 0) {
      // "Powder block 1: Rp x Rwp x Rexp x chi2 x (background subtracted: ...)"
      s.Rp = After(line, "Rp ");
      s.Rwp = After(line, "Rwp ");
      s.Rexp = After(line, "Rexp ");
      s.Chi2 = After(line, "chi2 ");
    } else if (line.rfind("R-factors overview", 0) == 0) {
      overview = true;
    } else if (overview) {
      // Cycle rows end with av ch/su and max ch/su; the row after the last
      // cycle (no shifts) is all zeros there.
      auto w = SplitWords(t);
      if (w.empty() || !ToInt(w[0])) {
        overview = !w.empty() && w[0] == "Cycle";
      } else if (auto mean = ToReal(w[w.size() - 2]), max = ToReal(w.back());
                 mean && max && (*mean > 0. || *max > 0.)) {
        s.ShiftMean = mean;
        s.ShiftMax = max;
      }
    }
    if (line.rfind("Changes of the refined parameters in the last cycle", 0) == 0) {
      changes = true;
      nChanges = 0;
      continue;
    }
    if (changes) {
      auto w = SplitWords(t);
      if (w.empty()) {
        changes = false;
        s.NPar = nChanges;
      } else if (w[0] != "parameter") {
        ++nChanges;
      }
    }
  }
  if (changes) s.NPar = nChanges;
  return s;
}

}  // namespace tarn
