// The structure-factor file fln.fcf from the coefficient file fln.m80.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "cif/cif_internal.hpp"
#include "cif/cif_keys.hpp"
#include "cif/cif_report.hpp"
#include "model/session.hpp"
#include "refine/refine.hpp"
#include "util/numbers.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

const char* LayoutComment(int code) {
  switch (code) {
    case FcfFoAB:
      return " h,k,l, Fo, sigma(Fo), Ac and Bc";
    case FcfFo2FcPhi:
      return " h,k,l, Fo-squared, sigma(Fo-squared), Fc and phase";
    default:
      return " h,k,l, Fc-squared, Fo-squared, sigma(Fo-squared) and status flag";
  }
}

}  // namespace

int CifFcfText(const Structure& s, const CifDict& dict, const std::string& dataName,
               std::string_view m80Text, const std::string& m80Name, int code, double sigLevel,
               std::string& out, CifReflStats& stats, ErrorRecord& err) {
  const int kp = std::clamp(Sess.KPhase, 1, std::max(1, static_cast<int>(s.Basic.Phase.size())));
  const int ndim = s.Basic.Phase.empty() ? 3 : s.Basic.Phase[static_cast<size_t>(kp - 1)].NDim;
  std::vector<RefM80Rec> refl;
  int lineNo = 0, phase = 0;
  size_t pos = 0;
  while (pos < m80Text.size()) {
    size_t end = m80Text.find('\n', pos);
    if (end == std::string_view::npos) end = m80Text.size();
    const std::string_view line = m80Text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    const auto w = SplitWords(line);
    if (w.empty()) continue;
    // Several phases: "<phase name> begin" opens each phase's block.
    if (w.size() == 2 && EqIgnoreCase(w[1], "begin")) {
      ++phase;
      continue;
    }
    if (phase > 1) break;
    RefM80Rec r;
    if (RefM80Parse(line, ndim, r)) {
      err = {m80Name, lineNo, 0, std::string(line), "A reflection record was expected."};
      return 1;
    }
    refl.push_back(r);
  }

  stats = CifReflStats{};
  CifDoc doc;
  CifBuilder b(dict, doc);
  b.Block(dataName);
  std::vector<std::vector<CifOut>> rows;
  for (const auto& r : refl) {
    const double fo2 = r.Fo * r.Fo, sig2 = 2. * std::fabs(r.Fo) * r.SigFo;
    const bool obs = fo2 >= sigLevel * sig2;
    std::vector<CifOut> row;
    for (int i = 0; i < 3; ++i) row.push_back(CifBuilder::P(fmt::format("{:4d}", r.H[i])));
    auto num = [&](double v, int dec, int width) {
      row.push_back(CifBuilder::P(fmt::format("{:{}.{}f}", v, width, dec)));
    };
    switch (code) {
      case FcfFoAB:
        num(r.Fo, 2, 10), num(r.SigFo, 2, 8), num(r.A, 2, 10), num(r.B, 2, 10);
        break;
      case FcfFo2FcPhi:
        num(fo2, 2, 11), num(sig2, 2, 9), num(r.Fc, 2, 10);
        num(std::atan2(r.B, r.A) / kDeg, 1, 7);
        break;
      default:
        num(r.Fc * r.Fc, 2, 11), num(fo2, 2, 11), num(sig2, 2, 9);
        row.push_back(CifBuilder::P(obs ? "o" : "<"));
    }
    rows.push_back(std::move(row));
    if (stats.N++ == 0)
      for (size_t i = 0; i < 3; ++i) stats.Min[i] = stats.Max[i] = r.H[i];
    stats.NObs += obs;
    for (size_t i = 0; i < 3; ++i) {
      stats.Min[i] = std::min(stats.Min[i], r.H[i]);
      stats.Max[i] = std::max(stats.Max[i], r.H[i]);
    }
    stats.SMin = stats.N == 1 ? r.SinThL : std::min(stats.SMin, r.SinThL);
    stats.SMax = std::max(stats.SMax, r.SinThL);
    stats.FcMax = std::max(stats.FcMax, r.Fc);
  }
  if (refl.empty()) {
    err = {m80Name, 0, 0, "", "The file holds no reflections."};
    return 1;
  }
  const int rule = s.Basic.RoundMethod.value_or(1);
  b.Item(CkFcfTitle, CifBuilder::Q(s.Basic.Title.empty() ? Sess.fln : s.Basic.Title));
  b.Item(CkFcfListCode, CifBuilder::P(std::to_string(code)));
  b.Item(CkFcfFcMax, CifBuilder::P(fmt::format("{:.2f}", stats.FcMax)));
  b.Item(CkFcfMultiplier, CifBuilder::P("1.000"));
  DistPhase ph;
  if (!s.Basic.Phase.empty() && DistMakePhase(s, kp, ph) == 0) {
    CifCellItems(b, s.Basic.Phase[static_cast<size_t>(kp - 1)], rule);
    CifSymmetryLoop(b, s.Basic.Phase[static_cast<size_t>(kp - 1)], ph);
  }
  b.Comment(LayoutComment(code));
  switch (code) {
    case FcfFoAB:
      b.Loop(
          {CkReflnH, CkReflnK, CkReflnL, CkReflnFMeas, CkReflnFSigma, CkReflnACalc, CkReflnBCalc},
          std::move(rows));
      break;
    case FcfFo2FcPhi:
      b.Loop({CkReflnH, CkReflnK, CkReflnL, CkReflnF2Meas, CkReflnF2Sigma, CkReflnFCalc,
              CkReflnPhaseCalc},
             std::move(rows));
      break;
    default:
      b.Loop({CkReflnH, CkReflnK, CkReflnL, CkReflnF2Calc, CkReflnF2Meas, CkReflnF2Sigma,
              CkReflnStatus},
             std::move(rows));
  }
  if (!doc.MissingKeys.empty()) {
    err = {"", 0, 0, "", fmt::format("The CIF dictionary lacks key {}.", doc.MissingKeys[0])};
    return 1;
  }
  out = CifDocText(doc);
  return 0;
}

}  // namespace tarn
