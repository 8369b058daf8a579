// The refinement settings dialog: five successive pages over the edited copy
// of the settings, the sub-command editors, and the rewrite of the block.
#include <fmt/format.h>

#include <algorithm>
#include <filesystem>

#include "app/fileset.hpp"
#include "app/toolkit.hpp"
#include "app/tools/refine_tools.hpp"
#include "model/session.hpp"
#include "refine/refcommands.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace fs = std::filesystem;

// One field of a page: a simple keyword shown with a label.
struct PageField {
  std::string_view Label;
  int K;
};

std::string ValueText(const RefSettings& s, int k) {
  if (k <= RefNInt) return std::to_string(s.Edit.I(k));
  return ShortestReal(s.Edit.R(k));
}

// Setup, message and update steps of a page of simple keywords, plus optional
// extra text fields (label, value) handled by the caller. Returns 1 on cancel.
int RunPage(RefSettings& s, const std::string& header, std::span<const PageField> page,
            std::vector<FeFormField>& extra) {
  for (;;) {
    std::vector<FeFormField> f;
    for (const auto& p : page)
      f.push_back({fmt::format("{} ({})", p.Label, RefKeyDefs()[p.K - 1].Name), ValueText(s, p.K)});
    f.insert(f.end(), extra.begin(), extra.end());
    if (!Fe().EditForm(header, f)) return 1;
    RefValues v = s.Edit;
    bool ok = true;
    for (size_t i = 0; i < page.size() && ok; ++i) {
      const int k = page[i].K;
      const std::string t(Trim(f[i].Value));
      if (k <= RefNInt) {
        auto x = ToInt(t);
        if (x) v.SetI(k, static_cast<int>(*x));
        ok = x.has_value();
      } else {
        auto x = ToReal(t);
        if (x) v.SetR(k, static_cast<float>(*x));
        ok = x.has_value();
      }
      if (!ok) FeChybne(std::string(refmsg::WrongNumber), {"\"" + t + "\""});
    }
    if (!ok) continue;
    RefClamp(v);
    s.Edit = v;
    for (size_t i = 0; i < extra.size(); ++i) extra[i].Value = f[page.size() + i].Value;
    return 0;
  }
}

std::vector<RefCmdLine>& EditList(RefSettings& s, int k) {
  return s.EditLines[static_cast<size_t>(k - RefFirstSpecial)];
}

std::string KwName(int k) {
  return std::string(RefKeyDefs()[k - 1].Name);
}

// Syntax check of one sub-command text without touching the parsed lists.
bool ValidLine(int k, const std::string& text) {
  RefSettings scratch;
  return RefParseSubCommand(scratch, k, text) == 0;
}

struct EdLine {
  int K = 0;
  RefCmdLine L;
  bool Sel = false;
};

// Lets the user edit (or, with isNew, write) one line; false when cancelled.
bool EditOne(EdLine& e, int k, int k2, bool isNew) {
  for (;;) {
    std::vector<FeFormField> f;
    if (k2) f.push_back({"Command", KwName(e.K)});
    f.push_back({KwName(e.K), e.L.Text});
    if (!Fe().EditForm(isNew ? "New command" : "Edit command", f)) return false;
    int kk = e.K;
    if (k2) {
      const std::string w(Trim(f[0].Value));
      kk = EqIgnoreCase(w, KwName(k2)) ? k2 : EqIgnoreCase(w, KwName(k)) ? k : 0;
      if (kk == 0) {
        FeChybne(fmt::format("unknown keyword : {}", w));
        continue;
      }
    }
    const std::string text(Trim(f.back().Value));
    if (!ValidLine(kk, text)) continue;
    e.K = kk;
    e.L.Text = text;
    return true;
  }
}

const std::vector<std::string> kButtons = {"Edit",   "Delete",  "Clone",      "Down",    "Disable",
                                           "Enable", "Refresh", "Select all", "Rewrite", "OK"};

void StoreLines(RefSettings& s, const std::vector<EdLine>& lines, int k, int k2) {
  EditList(s, k).clear();
  if (k2) EditList(s, k2).clear();
  std::vector<std::string> file;
  for (const auto& e : lines) {
    EditList(s, e.K).push_back(e.L);
    file.push_back((e.L.Disabled ? "!" : "") + KwName(e.K) + " " + e.L.Text);
  }
  if (Sess.fln.empty()) return;
  std::string text;
  for (auto& l : file) text += l + "\n";
  if (FeWriteFileAtomic(KeyTmpFileName(KwName(k)), text)) return;
}

std::vector<EdLine> LoadLines(RefSettings& s, int k, int k2) {
  std::vector<EdLine> out;
  for (int kk : {k, k2}) {
    if (!kk) continue;
    for (const auto& l : EditList(s, kk)) out.push_back({kk, l, false});
  }
  return out;
}

// Keywords with an editor on the "Restraints/Constraints" page.
struct EditorDef {
  std::string_view Label;
  int K, K2;
};
constexpr EditorDef kEditors[] = {{"Restrictions", RkRestric, 0},
                                  {"Equations", RkEquation, RkEqAdhoc},
                                  {"Fixed commands", RkFixed, 0},
                                  {"Dontuse/Useonly command", RkDontUse, RkUseOnly},
                                  {"Scale command", RkScale, 0},
                                  {"Partial RFactors", RkRFactors, 0},
                                  {"Distance restraints", RkDistFix, 0},
                                  {"Angle restraints", RkAngleFix, 0},
                                  {"Torsion angle restraints", RkTorsFix, 0},
                                  {"Magnetic moment restraints", RkMagmFix, 0},
                                  {"ADP restraints", RkAdpFix, 0},
                                  {"Planarity restraints", RkPlaneFix, 0},
                                  {"Chiral volume restraints", RkChivFix, 0},
                                  {"Keep commands", RkKeep, 0}};

void RemoveWindowTmpFiles() {
  if (Sess.fln.empty()) return;
  std::error_code ec;
  for (const auto& e : kEditors) {
    fs::remove(KeyTmpFileName(KwName(e.K)), ec);
    if (e.K2) fs::remove(KeyTmpFileName(KwName(e.K2)), ec);
  }
}

}  // namespace

void RefEditCommandList(RefSettings& s, const std::string& title, int k, int k2) {
  std::vector<EdLine> lines = LoadLines(s, k, k2);
  for (;;) {
    std::vector<std::string> items;
    for (const auto& e : lines)
      items.push_back(fmt::format("{}{}{} {}", e.Sel ? "[x] " : "[ ] ", e.L.Disabled ? "!" : "",
                                  KwName(e.K), e.L.Text));
    items.insert(items.end(), kButtons.begin(), kButtons.end());
    auto c = Fe().ChooseFromList(title, items);
    if (!c) return;  // cancel: changes since the last "Rewrite" are dropped
    const int n = static_cast<int>(lines.size());
    if (*c >= 0 && *c < n) {
      lines[static_cast<size_t>(*c)].Sel = !lines[static_cast<size_t>(*c)].Sel;
      continue;
    }
    const std::string b = *c >= n && *c < n + static_cast<int>(kButtons.size())
                              ? kButtons[static_cast<size_t>(*c - n)]
                              : std::string();
    const bool anySel = std::any_of(lines.begin(), lines.end(), [](auto& e) { return e.Sel; });
    if (b == "Edit") {
      if (!anySel) {
        EdLine e{k, {}, false};
        if (EditOne(e, k, k2, true)) lines.push_back(e);
      } else {
        for (auto& e : lines)
          if (e.Sel) EditOne(e, k, k2, false);
      }
    } else if (b == "Delete") {
      std::erase_if(lines, [](auto& e) { return e.Sel; });
    } else if (b == "Clone") {
      std::vector<EdLine> out;
      for (auto& e : lines) {
        out.push_back(e);
        if (e.Sel) {
          out.back().Sel = false;
          out.push_back(e);
        }
      }
      lines = std::move(out);
    } else if (b == "Down") {
      for (int i = n - 2; i >= 0; --i)
        if (lines[static_cast<size_t>(i)].Sel && !lines[static_cast<size_t>(i + 1)].Sel)
          std::swap(lines[static_cast<size_t>(i)], lines[static_cast<size_t>(i + 1)]);
    } else if (b == "Disable" || b == "Enable") {
      for (auto& e : lines)
        if (e.Sel) e.L.Disabled = b == "Disable";
    } else if (b == "Refresh") {
      lines = LoadLines(s, k, k2);
    } else if (b == "Select all") {
      for (auto& e : lines) e.Sel = true;
    } else if (b == "Rewrite") {
      StoreLines(s, lines, k, k2);
    } else if (b == "OK") {
      StoreLines(s, lines, k, k2);
      return;
    }
  }
}

int RefBasicCommands(RefSettings& s) {
  static constexpr PageField kPage[] = {{"Number of cycles", RkCycles},
                                        {"Damping factor", RkDamp},
                                        {"Refine on F**2 (1) or F (0)", RkFSquare},
                                        {"Weighting scheme", RkWeight},
                                        {"Instability factor", RkUnstab},
                                        {"Second weight coefficient", RkUnstab2},
                                        {"Cruickshank yomin", RkYoMin},
                                        {"Cruickshank yomax", RkYoMax},
                                        {"SHELX-type weight", RkShelxW},
                                        {"Wilson's modification", RkWilsonMod},
                                        {"Instability from statistics", RkStUnstab},
                                        {"Weights times exp(-(sin/l)**2)", RkWtSnthl},
                                        {"Weak reflections", RkFWeakFlag},
                                        {"Least-squares method", RkLsMethod},
                                        {"Marquardt fudge factor", RkMarqLam},
                                        {"Check convergence", RkConvChck},
                                        {"Convergence limit", RkConvLim},
                                        {"Convergence cycles", RkConvCycl},
                                        {"Dynamical damping", RkKeyDynam},
                                        {"Damping trigger, %", RkTolDynam},
                                        {"Damping reduction", RkRedDynam},
                                        {"Cycles before enlarging", RkNcDynam},
                                        {"Automatic keys", RkAutKeys},
                                        {"Automatic site symmetry", RkAutSpec},
                                        {"Electroneutrality", RkAutEln},
                                        {"Berar correction", RkEsdCorr},
                                        {"Uiso limit", RkUIsoLim}};
  const bool hadRandom = !EditList(s, RkRandomize).empty();
  std::vector<FeFormField> extra = {
      {"Test of derivatives (dertest)", EditList(s, RkDerTest).empty() ? "0" : "1"},
      {"Randomize: seed and largest shift (randomize)",
       hadRandom ? EditList(s, RkRandomize).front().Text : ""}};
  if (RunPage(s, "Basic", kPage, extra)) return 1;
  const std::string der(Trim(extra[0].Value));
  EditList(s, RkDerTest).clear();
  if (!der.empty() && der != "0") EditList(s, RkDerTest).push_back({"", false});
  const std::string rnd(Trim(extra[1].Value));
  EditList(s, RkRandomize).clear();
  if (!rnd.empty()) {
    EditList(s, RkRandomize).push_back({rnd, false});
    if (!hadRandom) FeWarning(std::string(refmsg::Randomize));
  }
  return 0;
}

int RefSelectCommands(RefSettings& s) {
  static constexpr PageField kPage[] = {{"Listing of reflections", RkPrint},
                                        {"Use unobserved reflections", RkUseUnobs},
                                        {"Observed limit I/sig(I)", RkSigLevel},
                                        {"Apply sin(th)/lambda limits", RkSinLim},
                                        {"sin(th)/lambda min", RkSnlMn},
                                        {"sin(th)/lambda max", RkSnlMx},
                                        {"Skip bad reflections", RkSkipBad},
                                        {"Exclusion limit", RkRefExcl},
                                        {"Not-matching limit", RkBadRef},
                                        {"Statistics", RkStat},
                                        {"Correlation limit", RkCorr},
                                        {"Print derivatives", RkDerPrint},
                                        {"Call Fourier", RkCallFour},
                                        {"Simulation", RkSimul},
                                        {"Only magnetic scattering", RkOnlyMag},
                                        {"Lambda/2 correction", RkLam2Corr},
                                        {"3*lambda correction", RkLam3Corr}};
  std::vector<FeFormField> none;
  if (RunPage(s, "Select/Listing", kPage, none)) return 1;
  if (s.Edit.I(RkSinLim) == 0) {
    s.Edit.SetR(RkSnlMn, s.Dflt.R(RkSnlMn));
    s.Edit.SetR(RkSnlMx, s.Dflt.R(RkSnlMx));
  }
  return 0;
}

int RefRestrainCommands(RefSettings& s) {
  for (;;) {
    std::vector<std::string> items;
    for (const auto& e : kEditors) {
      int act = 0, dis = 0;
      for (int kk : {e.K, e.K2}) {
        if (!kk) continue;
        for (const auto& l : EditList(s, kk)) (l.Disabled ? dis : act)++;
      }
      items.push_back(fmt::format("{} ({} active, {} disabled)", e.Label, act, dis));
    }
    items.push_back("Continue");
    auto c = Fe().ChooseFromList("Restraints/Constraints", items);
    if (!c || *c < 0 || *c >= static_cast<int>(std::size(kEditors))) return 0;
    const auto& e = kEditors[*c];
    RefEditCommandList(s, std::string(e.Label), e.K, e.K2);
  }
}

int RefModulationCommands(RefSettings& s) {
  static constexpr PageField kPage[] = {{"Structure factors: 0 Bessel, 1 integration", RkMethod},
                                        {"Accuracy", RkDiff},
                                        {"Reflections used: 0, -1, -2", RkSelSat},
                                        {"Composite reflections: 0, 1, 2, 4", RkSelComp},
                                        {"Overlapping reflections", RkOverlap},
                                        {"Satellite overlap window, deg", RkOverDiff},
                                        {"Maximal satellite index for twins", RkMMaxTw},
                                        {"Twin overlap limit", RkTwMax},
                                        {"Twin rejection window, deg", RkTwDiff},
                                        {"Twin and overlap details", RkTwDetail}};
  std::vector<FeFormField> none;
  return RunPage(s, "Modulation/Twin", kPage, none);
}

int RefPowderCommands(RefSettings& s) {
  static constexpr PageField kPage[] = {{"Le Bail decomposition", RkDoLeBail},
                                        {"Le Bail every n cycles", RkNLeBail},
                                        {"s.u. of extracted intensities", RkSigMeth}};
  std::vector<FeFormField> none;
  return RunPage(s, "Powder", kPage, none);
}

int RefSetCommands() {
  RefSettings s;
  if (RefOpenCommands(s)) return 0;
  int rc = 0;
  if (!(RefBasicCommands(s) || RefSelectCommands(s) || RefRestrainCommands(s) ||
        RefModulationCommands(s) || RefPowderCommands(s)))
    rc = RefRewriteCommands(s) == 0 ? 1 : 0;
  RemoveWindowTmpFiles();
  return rc;
}

}  // namespace tarn
