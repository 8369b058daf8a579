// The "fourier" command block: keyword table, defaults, reading of the special
// keywords (limits, centre, scope, reference structure, data blocks) and the
// writer of the block.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "fourier/fourier.hpp"
#include "model/session.hpp"
#include "util/files.hpp"
#include "util/real_text.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr KeyDef kDefs[FouNKeys] = {
    // integer keywords 1..20
    {"harmonic", 1},
    {"addbord", 1},
    {"maptype", 4},
    {"orient", FouUnset},
    {"positive", FouUnset},
    {"negative", FouUnset},
    {"cmethod", 1},
    {"peaks", 1},
    {"subsys", 1},
    {"tmethod", 1},
    {"weight", 1},
    {"usesnlim", 0},
    {"intmethod", 1},
    {"#i14", 0},
    {"#i15", 0},
    {"#i16", 0},
    {"#i17", 0},
    {"#i18", 0},
    {"#i19", 0},
    {"#i20", 0},
    // real keywords 21..40
    {"snlmn", 0.0},
    {"snlmx", 10.0},
    {"cutting", 0.0},
    {"step", 0.1},
    {"uiso", 0.0},
    {"biso", 0.0},
    {"dmax", 1.0},
    {"intrad", 0.8},
    {"#r29", 0},
    {"#r30", 0},
    {"#r31", 0},
    {"#r32", 0},
    {"#r33", 0},
    {"#r34", 0},
    {"#r35", 0},
    {"#r36", 0},
    {"#r37", 0},
    {"#r38", 0},
    {"#r39", 0},
    {"#r40", 0},
    // special keywords 41..60
    {"xlim", 0},
    {"ylim", 0},
    {"zlim", 0},
    {"x1lim", 0},
    {"x2lim", 0},
    {"x3lim", 0},
    {"x4lim", 0},
    {"x5lim", 0},
    {"x6lim", 0},
    {"center", 0},
    {"scope", 0},
    {"refstr", 0},
    {"datblocks", 0},
    {"#c54", 0},
    {"#c55", 0},
    {"#c56", 0},
    {"#c57", 0},
    {"#c58", 0},
    {"#c59", 0},
    {"#c60", 0}};

constexpr std::string_view kLimNames[6] = {"x1lim", "x2lim", "x3lim", "x4lim", "x5lim", "x6lim"};

void Bad(KeyUnit& u, int k, int& error) {
  ++u.NErrors;
  error = 1;
  std::vector<std::string> lines{fmt::format("{} {}", kDefs[k - 1].Name, KeyArgs(u))};
  if (u.CurLine >= 0) lines.push_back(fmt::format("file {}, line {}", u.FileName, u.CurLine + 1));
  if (u.Listing) {
    u.Listing("Syntax error in the \"fourier\" keyword");
    for (const auto& l : lines) u.Listing(l);
  }
  if (!u.Quiet) ReportError("Syntax error in the \"fourier\" keyword", lines);
}

// Reals of a special keyword's text; nullopt when a word does not convert.
std::optional<std::vector<double>> Reals(std::string_view args) {
  std::vector<double> v;
  for (const auto& w : SplitWords(args)) {
    auto x = ToReal(w);
    if (!x) return std::nullopt;
    v.push_back(*x);
  }
  return v;
}

void ParseSpecial(FouSettings& s, KeyUnit& u, int k, int& error) {
  const std::string_view args = KeyArgs(u);
  if (k >= FkXLim && k <= FkX1Lim + 5) {
    const int axis = k <= FkXLim + 2 ? k - FkXLim : k - FkX1Lim;
    auto v = Reals(args);
    if (!v || v->size() < 2 || v->size() > 3) return Bad(u, k, error);
    s.LimMin[axis] = (*v)[0];
    s.LimMax[axis] = (*v)[1];
    s.LimStep[axis] = v->size() == 3 && (*v)[2] > 0. ? (*v)[2] : 1.;
  } else if (k == FkCenter) {
    if (Trim(args).empty()) return Bad(u, k, error);
    s.Center = std::string(Trim(args));
  } else if (k == FkScope) {
    auto v = Reals(args);
    if (!v || v->size() != 3) return Bad(u, k, error);
    for (int i = 0; i < 3; ++i) s.Scope[i] = (*v)[i];
  } else if (k == FkRefStr) {
    s.RefStr = std::string(Trim(args));
  } else if (k == FkDatBlocks) {
    s.DatBlocks.clear();
    for (const auto& w : SplitWords(args)) {
      auto n = ToInt(w);
      if (!n || *n < 1) return Bad(u, k, error);
      s.DatBlocks.push_back(static_cast<int>(*n));
    }
  }
}

void SkipBasicData(KeyUnit& u) {
  for (int i = 0; i < static_cast<int>(u.Lines.size()); ++i)
    if (IsKeySeparator(u.Lines[static_cast<size_t>(i)])) {
      u.Next = i + 1;
      return;
    }
}

}  // namespace

std::span<const KeyDef> FouKeyDefs() {
  return kDefs;
}

void DefaultFourier(FouSettings& s) {
  s = FouSettings{};
  s.Table = MakeKeyTable(kDefs, FouNInt, FouNReal);
  s.LimMin.fill(FouUnset);
  s.LimMax.fill(0.);
  s.LimStep.fill(1.);
}

void NactiFourier(KeyUnit& u, FouSettings& s, int& error) {
  error = 0;
  int found = 0;
  Najdi(u, "fourier", found);
  if (!found) return;
  for (int k = 0;;) {
    if (NactiCommon(u, s.Table, k)) {
      error = 1;
      break;
    }
    if (k == 0) break;
    ParseSpecial(s, u, k, error);
  }
  if (u.NErrors > 0) error = 1;
}

void NactiFourier(const std::string& fln, FouSettings& s, int& error,
                  std::vector<std::string>* listing) {
  error = 0;
  KeyUnit u;
  if (FeFileExists(fln + ".m50")) {
    if (KeyOpen(u, fln + ".m50")) {
      error = 1;
      return;
    }
    SkipBasicData(u);
  } else if (FeFileExists(fln + ".l51")) {
    if (KeyOpen(u, fln + ".l51")) {
      error = 1;
      return;
    }
  } else {
    return;
  }
  if (listing) {
    u.Echo = true;
    u.Listing = [listing](const std::string& l) { listing->push_back(l); };
  }
  NactiFourier(u, s, error);
}

std::vector<std::string> FouBlockLines(const FouSettings& s, const std::string& phaseName, int nDim,
                                       int nDatBlocks) {
  std::vector<std::string> out{phaseName.empty() ? "fourier" : "fourier " + phaseName};
  auto lim = [&](std::string_view name, int i) {
    out.push_back(fmt::format("  {} {} {} {}", name, ShortestReal(s.LimMin[i]),
                              ShortestReal(s.LimMax[i]), ShortestReal(s.LimStep[i])));
  };
  // Real-space limits only when they are given explicitly (not automatic,
  // not from a centre); superspace limits unless they are the default 0 1 0.1.
  if (!s.HasCenter())
    for (int i = 0; i < 3; ++i)
      if (s.LimMin[i] > -330.) lim(kLimNames[i], i);
  for (int i = 3; i < nDim; ++i)
    if (s.LimMin[i] > -330. &&
        !(s.LimMin[i] == 0. && s.LimMax[i] == 1. && std::abs(s.LimStep[i] - 0.1) < 1e-9))
      lim(kLimNames[i], i);
  if (s.HasCenter()) {
    out.push_back("  center " + s.Center);
    out.push_back(fmt::format("  scope {} {} {}", ShortestReal(s.Scope[0]),
                              ShortestReal(s.Scope[1]), ShortestReal(s.Scope[2])));
  }
  if (!Trim(s.RefStr).empty()) out.push_back("  refstr " + s.RefStr);
  if (nDatBlocks > 1 && !s.DatBlocks.empty()) {
    std::string l = "  datblocks";
    for (int b : s.DatBlocks) l += fmt::format(" {}", b);
    out.push_back(l);
  }
  for (auto& l : KeyValueLines(s.Table)) out.push_back(l);
  out.push_back("end fourier");
  return out;
}

int FouRewriteCommands(const FouSettings& s) {
  const auto& ph = Struct.Basic.Phase;
  const int kp = std::clamp(Sess.KPhase, 1, std::max<int>(1, static_cast<int>(ph.size())));
  const std::string name = ph.size() > 1 ? ph[static_cast<size_t>(kp - 1)].Name : "";
  const int ndim = ph.empty() ? 3 : ph[static_cast<size_t>(kp - 1)].NDim;
  return KeysReplaceBlock(
      FouBlockLines(s, name, ndim, static_cast<int>(Struct.Basic.DatBlock.size())));
}

std::string FouMapTitle(int mapType, const std::string& refStr) {
  static constexpr std::string_view kTitles[] = {"F(obs)**2 - Patterson",
                                                 "F(calc)**2 - checking Patterson",
                                                 "F(obs)**2-F(calc)**2 - difference Patterson",
                                                 "F(obs) - Fourier",
                                                 "F(calc) - checking Fourier",
                                                 "F(obs)-F(cal) - difference Fourier",
                                                 "dynamic multipole deformation map",
                                                 "static multipole deformation map",
                                                 "1/0 - shape function"};
  if (mapType >= 1 && mapType <= 9) return std::string(kTitles[mapType - 1]);
  if (mapType == MapDiffRef) return refStr;
  return "";
}

}  // namespace tarn
