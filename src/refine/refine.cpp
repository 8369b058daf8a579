// The refinement run (docs/refinement.md, "The refinement run").
#include "refine/refine.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/scatdata.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "refine/constr.hpp"
#include "refine/flack.hpp"
#include "refine/refcommands.hpp"
#include "refine/refine_listing.hpp"
#include "refine/refine_progress.hpp"
#include "refine/restrain.hpp"
#include "refine/rietveld.hpp"
#include "util/files.hpp"
#include "util/report.hpp"
#include "util/round_esd.hpp"
#include "util/strings.hpp"

namespace tarn {

// Largest displacement of "randomize" when the command gives none, Angstrom.
constexpr double kRandomizeDefault = 0.1;

static std::function<int()>& FourierHook() {
  static std::function<int()> hook;
  return hook;
}

void RefSetFourierHook(std::function<int()> fn) {
  FourierHook() = std::move(fn);
}

namespace {

constexpr int kMeanIShellSize = 50;  // reflections per shell of the French-Wilson prior
constexpr double kM80Big = 1.e14;    // |value| above this does not fit the e15.6 field
constexpr int kRunCancelled = 2;     // Run::Loop: the user cancelled the run

// Messages go to the listing window in batch mode, else to a message box.
void Say(ReportKind kind, const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  if (Sess.BatchMode) {
    for (const auto& l : lines) ReportLine(l);
    return;
  }
  const std::string head(refinemsg::Header);
  if (kind == ReportKind::Error)
    ReportError(head, lines);
  else if (kind == ReportKind::Warning)
    ReportWarning(head, lines);
  else
    ReportInfo(head, lines);
}

std::string Join(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

bool Matches(const std::vector<RefHklSel>& list, const int* h, int ndim, bool useOnly) {
  for (const auto& s : list)
    if (s.UseOnly == useOnly && RefHklSelected(s, h, ndim)) return true;
  return false;
}

// Mean intensity of resolution shells of kMeanIShellSize reflections (by
// sin(th)/lambda) of each data block: the Wilson prior of French-Wilson.
std::vector<double> ShellMeans(const std::vector<RefWorkRefl>& w, const std::vector<double>& iobs) {
  std::vector<double> mean(w.size(), 0.);
  std::vector<int> blocks;
  for (const auto& r : w) blocks.push_back(r.Block);
  std::sort(blocks.begin(), blocks.end());
  blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
  for (int b : blocks) {
    std::vector<size_t> idx;
    for (size_t k = 0; k < w.size(); ++k)
      if (w[k].Block == b) idx.push_back(k);
    std::sort(idx.begin(), idx.end(),
              [&](size_t a, size_t c) { return w[a].SinThL < w[c].SinThL; });
    for (size_t s = 0; s < idx.size(); s += kMeanIShellSize) {
      const size_t e = std::min(idx.size(), s + kMeanIShellSize);
      double sum = 0.;
      for (size_t k = s; k < e; ++k) sum += std::max(iobs[idx[k]], 0.);
      const double m = sum / static_cast<double>(e - s);
      for (size_t k = s; k < e; ++k) mean[idx[k]] = m;
    }
  }
  return mean;
}

std::string E156(double v) {
  if (!std::isfinite(v) || std::abs(v) > kM80Big) v = 0.;
  return fmt::format("{:15.6e}", v);
}

}  // namespace

bool RefSatSelected(int selsat, int satOrder) {
  if (selsat == -1) return satOrder == 0;
  if (selsat == 0) return satOrder > 0;
  if (selsat > 0) return satOrder <= selsat;
  return true;
}

bool RefCompSelected(int selcomp, const PhaseBasic& ph, const std::array<int, 6>& h) {
  if (selcomp == 0 || ph.NComp < 2 || ph.NDim <= 3) return true;
  const int n = ph.NDim;
  int nMain = 0;
  for (int c = 0; c < ph.NComp && static_cast<size_t>(c) < ph.WMatrix.size(); ++c) {
    const auto& w = ph.WMatrix[static_cast<size_t>(c)];
    if (static_cast<int>(w.size()) != n * n) continue;
    bool main = true;
    for (int i = 3; i < n && main; ++i) {
      double v = 0.;
      for (int j = 0; j < n; ++j) v += w[static_cast<size_t>(i * n + j)] * h[static_cast<size_t>(j)];
      main = std::abs(v) < 1e-6;
    }
    nMain += main;
  }
  if (selcomp == 1) return nMain > 0;
  if (selcomp == 2) return nMain == ph.NComp;
  if (selcomp == 4) return nMain == 0;
  return true;
}

// s = |h*| / 2 with h* = h + sum m_i q_i (Vol. C, eq. 1.1.3.x: d* = 2 sin(th)/lambda).
double RefSinThL(const PhaseBasic& ph, const int* h, int ndim) {
  double v[3] = {static_cast<double>(h[0]), static_cast<double>(h[1]), static_cast<double>(h[2])};
  for (int m = 3; m < ndim && static_cast<size_t>(m - 3) < ph.Qi.size(); ++m)
    for (int k = 0; k < 3; ++k)
      v[k] += h[m] * ph.Qi[static_cast<size_t>(m - 3)][static_cast<size_t>(k)];
  double s2 = 0.;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) s2 += v[i] * ph.MetTensI[3 * i + j] * v[j];
  return 0.5 * std::sqrt(std::max(s2, 0.));
}

bool RefCentric(const CalcSymm& sy, const int* h) {
  if (sy.Centro) return true;
  for (const auto& r : sy.R) {
    bool minus = true;
    for (int j = 0; j < 3 && minus; ++j) {
      double hr = 0.;
      for (int i = 0; i < 3; ++i) hr += h[i] * r[static_cast<size_t>(3 * i + j)];
      minus = std::abs(hr + h[j]) < 1.e-6;
    }
    if (minus) return true;
  }
  return false;
}

std::string RefM80Line(const RefM80Rec& r) {
  std::string l;
  for (int k = 0; k < r.NDim; ++k) l += fmt::format("{:4d}", r.H[static_cast<size_t>(k)]);
  l += fmt::format("{:4d}", r.Block);
  for (double v : {r.Fo, r.SigFo, r.FoTw, r.SigFoTw, r.Fc, r.A, r.B}) l += E156(v);
  l += fmt::format("{:10.6f}", r.SinThL);
  return l;
}

int RefM80Parse(std::string_view line, int ndim, RefM80Rec& r) {
  const auto w = SplitWords(line);
  if (static_cast<int>(w.size()) != ndim + 9) return 1;
  RefM80Rec o;
  o.NDim = ndim;
  for (int k = 0; k <= ndim; ++k) {
    auto v = ToInt(w[static_cast<size_t>(k)]);
    if (!v) return 1;
    if (k < ndim)
      o.H[static_cast<size_t>(k)] = static_cast<int>(*v);
    else
      o.Block = static_cast<int>(*v);
  }
  double* dst[8] = {&o.Fo, &o.SigFo, &o.FoTw, &o.SigFoTw, &o.Fc, &o.A, &o.B, &o.SinThL};
  for (int k = 0; k < 8; ++k) {
    auto v = ToReal(w[static_cast<size_t>(ndim + 1 + k)]);
    if (!v) return 1;
    *dst[k] = *v;
  }
  r = o;
  return 0;
}

int RefLoopED(const std::string& fln, int block, std::vector<std::string>& listing) {
  // Pivra is kept with the installation (home directory) or found on the PATH.
  std::string prog = Sess.HomeDir + "Pivra";
  if (!FeFileExists(prog)) prog = GetPathTo("Pivra");
  if (prog.empty()) {
    listing.push_back(std::string(refinemsg::NoED1));
    listing.push_back(std::string(refinemsg::NoED2));
    Say(ReportKind::Error, {std::string(refinemsg::NoED1), std::string(refinemsg::NoED2)});
    return 1;
  }
  // The exchange files of the dynamical calculation (".eldyn" in, ".edout" out)
  // are not produced by this version: say so rather than refine kinematically.
  const std::string m =
      fmt::format("{}{} (data block {}): the exchange files {}.eldyn / {}.edout are not supported",
                  refinemsg::EDFailed, prog, block + 1, fln, fln);
  listing.push_back(m);
  Say(ReportKind::Error, {m});
  return 1;
}

// Split of the driver into one state object; every failure returns 1 after
// the message and the caller restores the model.
namespace {

// The structure-factor request of a working reflection.
CalcRefl CalcReflOf(const RefWorkRefl& w) {
  CalcRefl cr;
  cr.H = w.H;
  cr.DatBlock = w.Block;
  cr.Phase = w.Phase;
  cr.SinThL = w.SinThL;
  cr.Scale = w.Scale;
  return cr;
}

struct Run {
  std::string fln;
  std::vector<std::string>& lst;
  RefRunSummary& sum;
  Run(const std::string& f, std::vector<std::string>& l, RefRunSummary& r)
      : fln(f), lst(l), sum(r) {}

  RefSettings ref;  // the refinement block of M50, read by ReadInput
  RefWeightOpt opt;
  RefParams p;
  std::vector<RestrCmd> restr;  // restraint commands resolved to atoms
  CalcSetup s;
  NormalEq ne;
  RFacTabs tabs;
  std::vector<M90Block> blocks;
  std::vector<RefWorkRefl> refl;
  std::vector<std::string> serious;
  std::vector<int> blocked;      // refined parameters blocked due to singularity (full indices)
  std::vector<RFacRefl> used;    // reflections of the listed cycle
  std::vector<FlackRefl> flack;  // reflections of the last loop for the Flack parameter
  std::vector<RefM80Rec> m80;
  std::vector<int> m80Phase;   // 0-based phase of each record
  RefPlotData plot;            // the reflections of the last loop for the plots
  RefProgressCtl prog;         // the progress window: user's requests, cycles and damping
  AccelState accel;            // shifts of the last cycles for RefAccelShift
  std::vector<int> twDomain;   // per reflection: RFacRefl::TwDomain
  std::vector<char> twOver;    // per reflection: more than one contribution (nover)
  std::vector<double> blockU;  // per data block: signed u of the merging statistics ("stunstab")

  // Messages of a numerical problem of the structure factors in the last loop.
  std::vector<std::string> calcProblem;

  int Fail(const std::vector<std::string>& lines) {
    for (const auto& l : lines) lst.push_back(l);
    Say(ReportKind::Error, lines);
    return 1;
  }

  int ReadInput();
  int Prepare();
  void SetDataKeys();
  // Fc and dFc/dp of a reflection with the lambda/2 and lambda/3 contamination
  // of its block; 1 when the structure factors failed (out.Msg).
  int CalcObs(const RefWorkRefl& w, bool der, CalcOut& out);
  // twdetail: the twin domains of each twinned block and the reflections their
  // reflections overlap in.
  void TwinDetails();
  // Names the keywords and sub-commands of the block that this run does not apply.
  void ListUnused();
  // dertest: analytic against numerical derivatives of Fc for the first reflections.
  void DerTest();
  // The refined coordinates of each atom displaced by a random vector
  // (uniform in the ball of radius RandomMax, Angstrom), once before cycle 1.
  void Randomize();
  bool randomized = false;  // the model differs from M40 before any shift
  // Fc and dFc/dp of the refined parameters for the first n used reflections.
  void DerPrint(int n);
  // uisolim: the atoms whose Uiso passed the limit are refined no more.
  void UIsoOff(const ZmenaState& z);
  // One reflection loop over all blocks; accumulate when `solve`, keep the
  // listed reflections / m80 records when `last`. Returns kRunCancelled when
  // the user cancelled the run during the loop.
  int Loop(bool solve, bool last, bool list, int& nUsed, std::vector<double>& bres);
  int Cancelled();
  // After a failed cycle or a worse R factor: back to the values before the
  // last shifts and the last solution again with the reduced damping.
  int RepeatCycle(const InverResult& prevInv, double damp, ZmenaState& z);
  // The Flack parameter of a non-centrosymmetric structure from the last loop.
  void RefListFlack();
  // PisZmeny: writes the parameter changes of the last cycle with their s.u.
  void PisZmeny(const ZmenaState& z);
  // PisCor: writes the correlations larger than the limit "corr".
  void PisCor();
  int Execute();
};

int Run::ReadInput() {
  if (iom50(M50Read, fln + ".m50") != 0)
    return Fail({std::string(refinemsg::ReadFailed) + fln + ".m50"});
  if (iom40(M40Read, fln + ".m40") != 0)
    return Fail({std::string(refinemsg::ReadFailed) + fln + ".m40"});
  // Scattering factors the file names only by their atom type come from the tables.
  if (ScatEnsureLoaded() != 0 || EM50ReadAllFormFactors(Struct.Basic) != 0)
    return Fail({std::string(refinemsg::ReadFailed) + "scattering factors of " + fln + ".m50"});
  int err = 0;
  RefReadCommands(ref, err);
  if (err) return Fail({std::string(refinemsg::ReadFailed) + "refine block of " + fln + ".m50"});
  std::vector<std::vector<M90Refl>> r90;
  if (ReadM90File(fln + ".m90", blocks, r90) != 0)
    return Fail({std::string(refinemsg::ReadFailed) + fln + ".m90"});
  opt = RefWeightOptFromSettings(ref.Run);
  const int nb = static_cast<int>(blocks.size());
  // Data-block selection ("usedatbl": names, or 1-based numbers).
  std::vector<bool> useBlock(static_cast<size_t>(nb), ref.UseDatBl.empty());
  for (const auto& u : ref.UseDatBl)
    for (int b = 0; b < nb; ++b) {
      const std::string name = b < static_cast<int>(Struct.Basic.DatBlock.size()) &&
                                       !Struct.Basic.DatBlock[static_cast<size_t>(b)].Name.empty()
                                   ? Struct.Basic.DatBlock[static_cast<size_t>(b)].Name
                                   : blocks[static_cast<size_t>(b)].Name;
      if (EqIgnoreCase(u, name) || ToInt(u) == b + 1) useBlock[static_cast<size_t>(b)] = true;
    }
  const double snlmn = ref.Run.R(RkSnlMn), snlmx = ref.Run.R(RkSnlMx);
  bool anyUseOnly = false;
  for (const auto& e : ref.ExclHKL) anyUseOnly |= e.UseOnly;
  std::vector<double> iobs;
  for (int b = 0; b < nb; ++b) {
    const int phase = std::min<int>(b < static_cast<int>(Struct.Basic.PhaseTwin.size())
                                        ? Struct.Basic.PhaseTwin[static_cast<size_t>(b)] - 1
                                        : 0,
                                    static_cast<int>(Struct.Basic.Phase.size()) - 1);
    const PhaseBasic& ph = Struct.Basic.Phase[static_cast<size_t>(std::max(phase, 0))];
    for (const auto& r : r90[static_cast<size_t>(b)]) {
      if (r.ICull != 0) continue;
      RefWorkRefl w;
      w.NDim = ph.NDim;
      w.Block = b;
      w.Phase = std::max(phase, 0);
      for (int k = 0; k < w.NDim; ++k) w.H[static_cast<size_t>(k)] = r.H[k];
      w.SinThL = RefSinThL(ph, r.H, w.NDim);
      for (int k = 3; k < w.NDim; ++k) w.SatOrder += std::abs(r.H[k]);
      w.Skip = !useBlock[static_cast<size_t>(b)] || w.SinThL < snlmn || w.SinThL > snlmx ||
               Matches(ref.ExclHKL, r.H, w.NDim, false) ||
               (anyUseOnly && !Matches(ref.ExclHKL, r.H, w.NDim, true)) ||
               (ph.NDim > 3 && !RefSatSelected(ref.Run.I(RkSelSat), w.SatOrder)) ||
               !RefCompSelected(ref.Run.I(RkSelComp), ph, w.H);
      // The scale number of M90, replaced by the last "scale" line that selects the reflection.
      w.Scale = std::max(r.ISc, 1) - 1;
      for (const auto& sc : ref.Scale)
        if (RefHklSelected(sc, r.H, w.NDim)) w.Scale = sc.ScaleNo - 1;
      w.Obs.I = r.I;
      w.Obs.SigI0 = r.SigI;
      refl.push_back(w);
      iobs.push_back(r.I);
    }
  }
  // A block's scale list grows to the scale numbers its reflections use; a
  // new scale starts from the main one. The contamination corrections give
  // each block its two coefficients (lambda/2, lambda/3), starting at 0.
  if (Struct.Model.DatBlock.size() < static_cast<size_t>(nb))
    Struct.Model.DatBlock.resize(static_cast<size_t>(nb));
  for (const auto& w : refl) {
    ParList& sc = Struct.Model.DatBlock[static_cast<size_t>(w.Block)].Scale;
    if (w.Skip || w.Scale < sc.size()) continue;
    const double v0 = sc.size() > 0 ? sc.Val[0] : 1.;
    const int old = sc.size();
    sc.resize(w.Scale + 1);
    for (int k = old; k <= w.Scale; ++k) sc.Val[static_cast<size_t>(k)] = v0;
  }
  if (ref.Run.I(RkLam2Corr) != 0 || ref.Run.I(RkLam3Corr) != 0)
    for (auto& db : Struct.Model.DatBlock)
      if (db.Lam.size() < 2) db.Lam.resize(2);
  return 0;
}

// Keys the reflections decide: a scale no used reflection refers to stays
// fixed, one they use is refined (scales beyond the first only with autkeys);
// the lambda/2 and lambda/3 coefficients are refined when corrected for.
void Run::SetDataKeys() {
  bool changed = false;
  auto setKey = [&](int i, int key) {
    if (i < 0 || i >= p.size() || p.Key[static_cast<size_t>(i)] == key) return;
    p.Key[static_cast<size_t>(i)] = key;
    changed = true;
  };
  for (size_t b = 0; b < p.DatBase.size() && b < Struct.Model.DatBlock.size(); ++b) {
    const DatBlockModel& db = Struct.Model.DatBlock[b];
    std::vector<bool> usedSc(static_cast<size_t>(db.Scale.size()), false);
    for (const auto& w : refl)
      if (!w.Skip && static_cast<size_t>(w.Block) == b && w.Scale < db.Scale.size())
        usedSc[static_cast<size_t>(w.Scale)] = true;
    for (int k = 0; k < db.Scale.size(); ++k) {
      const int i = p.DatBase[b][DatScale] + k;
      if (!usedSc[static_cast<size_t>(k)])
        setKey(i, 0);
      else if (k > 0 && ref.Run.I(RkAutKeys) == 1)
        setKey(i, 1);
    }
    for (int k = 0; k < db.Lam.size(); ++k)
      setKey(p.DatBase[b][DatLam] + k, ref.Run.I(k == 0 ? RkLam2Corr : RkLam3Corr) != 0 ? 1 : 0);
  }
  if (changed) {
    RefSetMatrixLimits(p);
    RefFixOrigin(p);
  }
}

// Fc of a reflection as observed: with the contamination corrections the
// intensity of h is I(h) + c2 I(2h) + c3 I(3h) (the reflections 2h and 3h
// diffract lambda/2 and lambda/3 at the angle of h), so Fc = sqrt of that sum
// and dFc/dp = (Fc(h) dFc(h) + c2 Fc(2h) dFc(2h) + c3 Fc(3h) dFc(3h)) / Fc.
int Run::CalcObs(const RefWorkRefl& w, bool der, CalcOut& out) {
  if (Calc(s, CalcReflOf(w), der, out) != 0 || out.Problem) return 1;
  const int b = w.Block;
  const int base = static_cast<size_t>(b) < p.DatBase.size() ? p.DatBase[static_cast<size_t>(b)][DatLam] : -1;
  const DatBlockModel& db = Struct.Model.DatBlock[static_cast<size_t>(b)];
  if (db.Lam.size() < 2 || base < 0) return 0;
  double i2 = out.Fc * out.Fc;
  std::vector<double> dsum;
  if (der) {
    dsum = out.Der;
    for (double& d : dsum) d *= out.Fc;
  }
  std::array<double, 2> fn{};
  for (int n = 2; n <= 3; ++n) {
    if (ref.Run.I(n == 2 ? RkLam2Corr : RkLam3Corr) == 0) continue;
    const double c = p.Val[static_cast<size_t>(base + n - 2)];
    RefWorkRefl wn = w;
    for (int k = 0; k < w.NDim; ++k) wn.H[static_cast<size_t>(k)] *= n;
    wn.SinThL = n * w.SinThL;
    CalcOut on;
    if (Calc(s, CalcReflOf(wn), der, on) != 0 || on.Problem) {
      out = on;
      return 1;
    }
    fn[static_cast<size_t>(n - 2)] = on.Fc;
    i2 += c * on.Fc * on.Fc;
    if (der)
      for (size_t k = 0; k < dsum.size(); ++k) dsum[k] += c * on.Fc * on.Der[k];
  }
  const double fc = std::sqrt(std::max(i2, 0.));
  out.Fc = fc;
  if (!der) return 0;
  for (size_t k = 0; k < dsum.size(); ++k) out.Der[k] = fc > 0. ? dsum[k] / fc : 0.;
  for (int n = 2; n <= 3; ++n)
    if (ref.Run.I(n == 2 ? RkLam2Corr : RkLam3Corr) != 0 && fc > 0.)
      out.Der[static_cast<size_t>(base + n - 2)] =
          fn[static_cast<size_t>(n - 2)] * fn[static_cast<size_t>(n - 2)] / (2. * fc);
  return 0;
}

void Run::ListUnused() {
  static constexpr int kNoEffect[] = {
      RkIndTw,  RkRanPr,    RkRepeat, RkNLeBail,  RkDoLeBail, RkSigMeth, RkTwMax,
      RkOmDif,  RkThDif,    RkChiDif, RkAbsorb,   RkDfOfTw,   RkCheckRan, RkSkipFlag,
      RkGrid,   RkIExt,     RkITypEx, RkIDistr,   RkRadius,   RkExtLabel};
  const auto defs = RefKeyDefs();
  for (int k : kNoEffect) {
    bool set = false;
    if (k <= RefNInt)
      set = ref.Run.I(k) != ref.Dflt.I(k);
    else if (k <= RefNInt + RefNReal)
      set = ref.Run.R(k) != ref.Dflt.R(k);
    else
      for (const auto& l : ref.Lines[static_cast<size_t>(k - RefFirstSpecial)]) set |= !l.Disabled;
    if (set)
      lst.push_back(fmt::format("The keyword \"{}\" has no effect in this run.",
                                defs[static_cast<size_t>(k - 1)].Name));
  }
}

void Run::TwinDetails() {
  // At most this many overlapped reflections are listed per block.
  constexpr int kTwDetailMax = 500;
  std::vector<TwinPart> parts;
  for (size_t b = 0; b < s.Block.size(); ++b) {
    const CalcBlock& cb = s.Block[b];
    if (!cb.Twinned) continue;
    const TwinSetup& t = cb.Twin;
    lst.push_back("");
    lst.push_back(fmt::format("Twin details of data block {}: {} domains", b + 1, t.NDomain));
    for (int d = 0; d < t.NDomain; ++d) {
      const auto& m = t.Mat[static_cast<size_t>(d)];
      lst.push_back(fmt::format("  domain {:2d}  matrix {:7.3f}{:7.3f}{:7.3f} /{:7.3f}{:7.3f}{:7.3f} /"
                                "{:7.3f}{:7.3f}{:7.3f}  fraction {:.4f}",
                                d + 1, m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8],
                                t.Frac[static_cast<size_t>(d)]));
    }
    std::map<int, int> byCount;  // number of contributions -> reflections
    std::vector<std::string> over;
    for (const auto& w : refl) {
      if (w.Skip || static_cast<size_t>(w.Block) != b) continue;
      TwinParts(t, w.H.data(), parts);
      ++byCount[static_cast<int>(parts.size())];
      if (parts.size() < 2 || static_cast<int>(over.size()) >= kTwDetailMax) continue;
      std::string l = "  ";
      for (int i = 0; i < w.NDim; ++i) l += fmt::format("{:4d}", w.H[static_cast<size_t>(i)]);
      l += "  overlaps";
      for (size_t k = 1; k < parts.size(); ++k) {
        l += fmt::format("  domain {}:", parts[k].Domain + 1);
        for (int i = 0; i < w.NDim; ++i) l += fmt::format("{:4d}", parts[k].H[static_cast<size_t>(i)]);
      }
      over.push_back(std::move(l));
    }
    for (const auto& [n, c] : byCount)
      lst.push_back(fmt::format("  {} reflections with {} contribution{}", c, n, n == 1 ? "" : "s"));
    lst.insert(lst.end(), over.begin(), over.end());
  }
}

void Run::Randomize() {
  const unsigned seed = ref.RandomSeed != 0 ? static_cast<unsigned>(ref.RandomSeed)
                                            : static_cast<unsigned>(std::random_device{}());
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1., 1.);
  const double rmax = ref.RandomMax > 0. ? ref.RandomMax : kRandomizeDefault;
  // Refined x, y, z of each atom (parameter index, -1 when not refined).
  std::map<int, std::array<int, 3>> pos;
  for (int j = 0; j < p.NRef; ++j) {
    const int i = p.Refined[static_cast<size_t>(j)];
    const RefParInfo& in = p.Info[static_cast<size_t>(i)];
    if (in.Kind != OwnAtom || in.Block != BlkPos) continue;
    const AtomRec& a = Struct.Model.Atom[static_cast<size_t>(in.Owner)];
    const int c = in.Local - AtomLayout(a.Shape).Off[BlkPos];
    if (c < 0 || c > 2) continue;
    pos.try_emplace(in.Owner, std::array<int, 3>{-1, -1, -1})
        .first->second[static_cast<size_t>(c)] = i;
  }
  for (auto& [atom, idx] : pos) {
    const AtomRec& a = Struct.Model.Atom[static_cast<size_t>(atom)];
    const Mat3 m = RefOrthoMatrix(Struct.Basic.Phase[static_cast<size_t>(a.Phase - 1)].Cell);
    double d[3];
    do {
      for (double& v : d) v = u(rng);
    } while (d[0] * d[0] + d[1] * d[1] + d[2] * d[2] > 1.);
    // Fractional shift M^-1 d (M upper triangular: back substitution).
    double f[3];
    for (int r = 2; r >= 0; --r) {
      double t = rmax * d[r];
      for (int q = r + 1; q < 3; ++q) t -= m[static_cast<size_t>(3 * r + q)] * f[q];
      f[r] = t / m[static_cast<size_t>(4 * r)];
    }
    for (int c = 0; c < 3; ++c)
      if (idx[static_cast<size_t>(c)] >= 0) p.Val[static_cast<size_t>(idx[static_cast<size_t>(c)])] += f[c];
  }
  RefAppEq(p);
  CalcUpdate(s, p);
  randomized = !pos.empty();
  lst.push_back("");
  lst.push_back(std::string(refmsg::Randomize));
  lst.push_back(fmt::format("Randomize: {} atoms displaced by at most {:.3f} A (seed {}).",
                            pos.size(), rmax, seed));
}

void Run::DerPrint(int n) {
  lst.push_back("");
  lst.push_back(fmt::format("Derivatives dFc/dp of the first {} reflections", n));
  std::vector<double> derc(static_cast<size_t>(p.NRef));
  int done = 0;
  for (size_t k = 0; k < refl.size() && done < n; ++k) {
    if (refl[k].Skip) continue;
    CalcOut out;
    if (CalcObs(refl[k], true, out) != 0) break;
    RefDerCompress(p, out.Der.data(), derc.data());
    std::string h;
    for (int i = 0; i < 3; ++i) h += fmt::format("{:4d}", refl[k].H[static_cast<size_t>(i)]);
    lst.push_back(fmt::format("{}  Fc {:.4f}", h, out.Fc));
    for (int j = 0; j < p.NRef; ++j)
      lst.push_back(fmt::format(
          "  {:<20}{:14.6g}", p.Info[static_cast<size_t>(p.Refined[static_cast<size_t>(j)])].Label,
          derc[static_cast<size_t>(j)]));
    ++done;
  }
}

void Run::DerTest() {
  // Fc of the first kDerTestRefl used reflections at the current values.
  constexpr size_t kDerTestRefl = 20;
  std::vector<size_t> sel;
  for (size_t k = 0; k < refl.size() && sel.size() < kDerTestRefl; ++k)
    if (!refl[k].Skip) sel.push_back(k);
  // der: the derivative of Fc with respect to refined parameter j, dependent
  // parameters folded in as in the normal equations.
  auto fc = [&](std::vector<double>* der, int j) {
    std::vector<double> y, derc(static_cast<size_t>(p.NRef));
    for (size_t k : sel) {
      CalcOut out;
      if (CalcObs(refl[k], der != nullptr, out) != 0) return y;
      y.push_back(out.Fc);
      if (!der) continue;
      RefDerCompress(p, out.Der.data(), derc.data());
      der->push_back(derc[static_cast<size_t>(j)]);
    }
    return y;
  };
  lst.push_back("");
  lst.push_back("Derivative test: analytic / numerical dFc/dp over the first reflections");
  for (int j = 0; j < p.NRef; ++j) {
    const int i = p.Refined[static_cast<size_t>(j)];
    const double v0 = p.Val[static_cast<size_t>(i)];
    const double h = 1.e-4 * std::max(std::abs(v0), 1.e-2);
    std::vector<double> a;
    (void)fc(&a, j);
    p.Val[static_cast<size_t>(i)] = v0 + h;
    RefAppEq(p);
    CalcUpdate(s, p);
    const std::vector<double> yp = fc(nullptr, j);
    p.Val[static_cast<size_t>(i)] = v0 - h;
    RefAppEq(p);
    CalcUpdate(s, p);
    const std::vector<double> ym = fc(nullptr, j);
    p.Val[static_cast<size_t>(i)] = v0;
    RefAppEq(p);
    CalcUpdate(s, p);
    double san = 0., snn = 0.;
    for (size_t k = 0; k < a.size() && k < yp.size() && k < ym.size(); ++k) {
      const double nu = (yp[k] - ym[k]) / (2. * h);
      san += a[k] * nu;
      snn += nu * nu;
    }
    lst.push_back(
        snn > 0. ? fmt::format("{:<20}{:12.6f}", p.Info[static_cast<size_t>(i)].Label, san / snn)
                 : fmt::format("{:<20}{:>12}", p.Info[static_cast<size_t>(i)].Label, "no effect"));
  }
}

void Run::UIsoOff(const ZmenaState& z) {
  if (z.UIsoOff.empty()) return;
  RefAccelReset(accel);
  for (int a : z.UIsoOff) {
    lst.push_back(
        fmt::format("Uiso of {} exceeds uisolim {:.3f}: the atom is not refined from "
                    "now on.",
                    Struct.Model.Atom[static_cast<size_t>(a)].Name, ref.Run.R(RkUIsoLim)));
    for (int i = 0; i < p.size(); ++i)
      if (p.Info[static_cast<size_t>(i)].Kind == OwnAtom &&
          p.Info[static_cast<size_t>(i)].Owner == a)
        p.Key[static_cast<size_t>(i)] = 0;
  }
  RefSetMatrixLimits(p);
  RefFixOrigin(p);
  tabs.NPar = p.NRef;
}

int Run::Prepare() {
  if (RefPrelimConstr(p, ref) != 0)
    return Fail({std::string(refinemsg::ReadFailed) + "constraints"});
  for (const auto& l : p.Listing) lst.push_back(l);
  {
    const size_t before = lst.size();
    if (RefRestrain(ref, restr, lst) != 0)
      return Fail({lst.size() > before ? lst.back() : std::string(refinemsg::ReadFailed)});
  }
  SetDataKeys();
  if (CalcPrepare(s, p, ref.Run) != 0)
    return Fail({std::string(refinemsg::ReadFailed) + "structure factors"});
  ListUnused();
  std::vector<double> iobs;
  for (const auto& r : refl) iobs.push_back(r.Obs.I);
  const std::vector<double> mean =
      opt.FWeak == 2 ? ShellMeans(refl, iobs) : std::vector<double>(refl.size(), 0.);
  for (size_t k = 0; k < refl.size(); ++k) {
    auto& r = refl[k];
    const bool centric = opt.FWeak == 2 && static_cast<size_t>(r.Phase) < s.Symm.size() &&
                         RefCentric(s.Symm[static_cast<size_t>(r.Phase)], r.H.data());
    RefObsPrepare(opt, r.Obs.I, r.Obs.SigI0, mean[k], centric, r.Obs);
  }
  std::vector<std::string> names;
  for (size_t b = 0; b < blocks.size(); ++b)
    names.push_back(b < Struct.Basic.DatBlock.size() && !Struct.Basic.DatBlock[b].Name.empty()
                        ? Struct.Basic.DatBlock[b].Name
                    : !blocks[b].Name.empty() ? blocks[b].Name
                                              : fmt::format("DatBlock{}", b + 1));
  int ndim = 3;
  bool magnetic = false;
  for (const auto& ph : Struct.Basic.Phase) {
    ndim = std::max(ndim, ph.NDim);
    magnetic |= ph.Magnetic;
  }
  RefSetRFacTabs(tabs, opt.FSquare, p.NRef, ndim, magnetic, names, ref.RFactors);
  // Twin domains of the reflections: the domain whose reflection alone lies at
  // the observed position, or "overlapped" when reflections of several domains
  // coincide there (TwinParts; the geometry does not change between cycles).
  twDomain.assign(refl.size(), kRFacNoDomain);
  twOver.assign(refl.size(), 0);
  int ndomain = 1;
  for (size_t k = 0; k < refl.size(); ++k) {
    const CalcBlock& cb = s.Block[static_cast<size_t>(refl[k].Block)];
    if (!cb.Twinned) continue;
    ndomain = std::max(ndomain, cb.Twin.NDomain);
    bool over = false;
    twDomain[k] = RefTwinDomain(cb.Twin, refl[k].H.data(), over);
    twOver[k] = over;
  }
  RefSetRFacDomains(tabs, ndomain);
  if (ref.Run.I(RkTwDetail) != 0) TwinDetails();
  // "stunstab": u of each block from the statistics of its equivalents (the
  // "instab" record of M90); a block without the estimate gets no u term.
  blockU.assign(blocks.size(), 0.);
  if (opt.StUnstab && !opt.ShelxW)
    for (size_t b = 0; b < blocks.size(); ++b) {
      const double u = blocks[b].InstabU;
      if (u != kUnsetReal) blockU[b] = u;
      lst.push_back(u != kUnsetReal
                        ? fmt::format("Instability factor of data block {} from the reflection "
                                      "statistics: {:.5f}",
                                      names[b], u)
                        : fmt::format("Data block {} has no instability factor from the "
                                      "reflection statistics: no instability term is used.",
                                      names[b]));
    }
  return 0;
}

void Run::RefListFlack() {
  FlackResult fl;
  if (RefFlackParsons(flack, s.Symm, fl) != 0) return;
  lst.push_back("");
  lst.push_back(fmt::format("{}{} from {} quotients (I+ - I-)/(I+ + I-) of Friedel opposites",
                            kFlackHead, RoundESD(fl.X, fl.Su), fl.NQuot));
}

int Run::Loop(bool solve, bool last, bool list, int& nUsed, std::vector<double>& bres) {
  RefRFacNuluj(tabs);
  if (solve) RefLoopNuluj(ne, p.NRef);
  calcProblem.clear();
  nUsed = 0;
  bres.clear();
  used.clear();
  flack.clear();
  m80.clear();
  m80Phase.clear();
  plot = {};
  CalcOut out;
  std::vector<double> derc(static_cast<size_t>(std::max(p.NRef, 1)));
  int sincePoll = 0, prevBlock = -1;
  for (const auto& w : refl) {
    // The progress window is polled between blocks and every kRefPollEvery reflections.
    if (++sincePoll >= kRefPollEvery || w.Block != prevBlock) {
      sincePoll = 0;
      prevBlock = w.Block;
      if (RefProgressPoll(prog)) return kRunCancelled;
    }
    if (w.Skip) {
      ++tabs.NSkip;
      continue;
    }
    if (CalcObs(w, solve, out) != 0) {
      // The structure factors of this cycle cannot be trusted: Execute makes
      // it a failed cycle or stops the run.
      calcProblem = out.Msg;
      if (calcProblem.empty()) {
        std::string hkl;
        for (int i = 0; i < w.NDim; ++i)
          hkl += fmt::format("{}{}", i ? " " : "", w.H[static_cast<size_t>(i)]);
        calcProblem.push_back(fmt::format("{}({}){}", calcmsg::Problem1, hkl, calcmsg::Problem2));
      }
      return 0;
    }
    const CalcBlock& cb = s.Block[static_cast<size_t>(w.Block)];
    const double scale = static_cast<size_t>(w.Scale) < cb.Scales.size()
                             ? cb.Scales[static_cast<size_t>(w.Scale)]
                             : cb.Scale;
    const double k = scale * scale;
    RefObs obs = w.Obs;
    opt.BlockU = blockU[static_cast<size_t>(w.Block)];
    RefObsSigma(opt, out.Fc, k, obs);
    RefObsWeight(opt, w.SinThL, obs);
    const char flag = RefObsFlag(opt, obs, out.Fc);
    if (flag == '*' && !opt.UseUnobs) {
      ++tabs.NSkip;
      continue;
    }
    RFacRefl rr;
    for (int i = 0; i < w.NDim; ++i) rr.H[i] = w.H[static_cast<size_t>(i)];
    rr.NDim = w.NDim;
    rr.Fo = obs.Fo;
    rr.Fc = out.Fc;
    rr.SigFo = obs.SigFo;
    rr.Io = obs.I;
    rr.Ic = out.Fc * out.Fc;
    rr.SigIo = obs.SigI;
    rr.WF = obs.WF;
    rr.WI = obs.WI;
    rr.Flag = flag;
    rr.SatOrder = w.SatOrder;
    rr.DatBlock = w.Block;
    rr.Magnetic = out.Magnetic;
    rr.SinThL = w.SinThL;
    {
      const size_t iw = static_cast<size_t>(&w - refl.data());
      rr.TwDomain = twDomain[iw];
      rr.Overlap = twOver[iw] != 0;
    }
    if (list) used.push_back(rr);
    if (flag == '#') {
      ++tabs.NSkip;
      continue;
    }
    RFactorSuma(tabs, rr);
    ++nUsed;
    const double yo = opt.FSquare ? obs.I : obs.Fo;
    const double yc = opt.FSquare ? out.Fc * out.Fc : out.Fc;
    bres.push_back(std::sqrt(obs.W) * (yo - yc));
    if (last && w.NDim == 3) {
      FlackRefl fr;
      for (int i = 0; i < 3; ++i) fr.H[static_cast<size_t>(i)] = w.H[static_cast<size_t>(i)];
      fr.I = obs.I;
      fr.SigI = obs.SigI0;
      fr.Ic = out.Fc * out.Fc;
      fr.Phase = w.Phase;
      flack.push_back(fr);
    }
    if (last) {
      plot.Fo2.push_back(obs.I);
      plot.Fc2.push_back(out.Fc * out.Fc);
      plot.WRes.push_back(bres.back());
      RefM80Rec m;
      m.H = w.H;
      m.NDim = w.NDim;
      m.Block = w.Block + 1;
      m.Fo = obs.Fo;
      m.SigFo = obs.SigFo;
      // Twin correction: Fo times the share of the reference domain in Fc.
      const double f1 = scale * std::sqrt(out.Ext) * std::hypot(out.A, out.B);
      const double share = out.Fc > 0. ? f1 / out.Fc : 1.;
      m.FoTw = obs.Fo * share;
      m.SigFoTw = obs.SigFo * share;
      m.Fc = f1;
      m.A = scale * std::sqrt(out.Ext) * out.A;
      m.B = scale * std::sqrt(out.Ext) * out.B;
      m.SinThL = w.SinThL;
      m80.push_back(m);
      m80Phase.push_back(w.Phase);
    }
    if (!solve || obs.W <= 0.) continue;
    // The scale of a block refined on F**2 is refined as its square:
    // d/d(s**2) = d/ds / (2 s).
    if (opt.FSquare && cb.ScalePar >= 0 && scale > 0.)
      out.Der[static_cast<size_t>(cb.ScalePar + w.Scale)] /= 2. * scale;
    const double f = opt.FSquare ? 2. * out.Fc : 1.;
    for (auto& d : out.Der) d *= f;
    RefDerCompress(p, out.Der.data(), derc.data());
    SumaRefine(ne, obs.W, yo - yc, derc.data());
  }
  return 0;
}

// The user cancelled: nothing more is written but the listing; the caller
// restores the model and removes the backups.
int Run::Cancelled() {
  lst.push_back("");
  lst.push_back(std::string(progressmsg::Cancelled));
  Say(ReportKind::Info, {std::string(progressmsg::Cancelled)});
  return 1;
}

int Run::RepeatCycle(const InverResult& prevInv, double damp, ZmenaState& z) {
  lst.push_back(fmt::format("Damping reduced to {:.4f}, the cycle is repeated.", damp));
  RefAccelReset(accel);
  if (inverbackdamp(p, prevInv, damp, z, lst) != 0) return Fail({std::string(lsqmsg::TooManyRed)});
  reffixoriginrenorm(p);
  CalcUpdate(s, p);
  return 0;
}

void Run::PisZmeny(const ZmenaState& z) {
  lst.push_back("");
  lst.push_back(std::string(refinemsg::Changes));
  lst.push_back(fmt::format("{:<20}{:>14}{:>14}{:>14}{:>10}", "parameter", "value", "change",
                            "s.u.", "ch/su"));
  for (int j = 0; j < p.NRef; ++j) {
    const size_t i = static_cast<size_t>(p.Refined[static_cast<size_t>(j)]);
    const double ch = i < z.Change.size() ? z.Change[i] : 0.;
    lst.push_back(fmt::format("{:<20}{:14.6f}{:14.6f}{:14.6f}{:10.3f}", p.Info[i].Label, p.Val[i],
                              ch, p.Sig[i], p.Sig[i] > 0. ? ch / p.Sig[i] : 0.));
  }
}

void Run::PisCor() {
  const double lim = ref.Run.R(RkCorr);
  std::vector<std::string> lines;
  for (int i = 0; i < p.NRef; ++i)
    for (int j = 0; j < i; ++j) {
      const double c = InverCorrelation(ne, i, j);
      if (std::abs(c) > lim)
        lines.push_back(
            fmt::format("{:<20}{:<20}{:8.3f}",
                        p.Info[static_cast<size_t>(p.Refined[static_cast<size_t>(j)])].Label,
                        p.Info[static_cast<size_t>(p.Refined[static_cast<size_t>(i)])].Label, c));
    }
  if (lines.empty()) return;
  lst.push_back("");
  lst.push_back(fmt::format("{} larger than {:.3f}", refinemsg::Correlation, lim));
  for (auto& l : lines) lst.push_back(l);
}

int Run::Execute() {
  if (ReadInput() || Prepare()) return 1;
  // Start values of the refined parameters, for the table of what changed.
  std::vector<double> startVal = p.Val;
  for (size_t b = 0; b < blocks.size(); ++b) {
    if (b < Struct.Basic.DatBlock.size() && Struct.Basic.DatBlock[b].Radiation == 3)
      return RefLoopED(fln, static_cast<int>(b), lst);
    if (blocks[b].DatType == 2)
      return Fail({fmt::format(
          "Data block {} holds powder data: the powder refinement is not part of this run.",
          b + 1)});
  }
  if (ref.Randomize && p.NRef > 0) Randomize();
  if (ref.DerTest && p.NRef > 0) DerTest();
  if (ref.Run.I(RkDerPrint) > 0 && p.NRef > 0) DerPrint(ref.Run.I(RkDerPrint));
  const int cyclesAsked = std::max(0, ref.Run.I(RkCycles));
  // Cycles, damping and the Marquardt technique live in the progress control,
  // where the user may change them while the run goes on.
  prog.Cycles = cyclesAsked;
  prog.Damp = ref.Run.R(RkDamp);
  prog.LsMethod = ref.Run.I(RkLsMethod);
  prog.MarqLam = ref.Run.R(RkMarqLam);
  prog.Tabs = &tabs;
  double& damp = prog.Damp;
  ZmenaState z;
  z.Cycles = cyclesAsked;
  z.ConvChck = ref.Run.I(RkConvChck) == 1;
  z.ConvCycl = std::max(1, ref.Run.I(RkConvCycl));
  z.ConvLim = ref.Run.R(RkConvLim);
  z.UIsoLim = ref.Run.R(RkUIsoLim);
  if (opt.FSquare)
    for (const auto& b : s.Block)
      for (size_t k = 0; k < b.Scales.size() && b.ScalePar >= 0; ++k)
        z.SqScale.push_back(b.ScalePar + static_cast<int>(k));
  DynDampState dyn;
  dyn.TolDynam = ref.Run.R(RkTolDynam);
  dyn.RedDynam = ref.Run.R(RkRedDynam);
  dyn.NcDynam = ref.Run.I(RkNcDynam);
  dyn.DampStart = damp;
  const bool keyDynam = ref.Run.I(RkKeyDynam) == 1;
  InverResult inv, prevInv;
  bool havePrev = false, shifted = randomized, haveFinal = false;
  const int print = ref.Run.I(RkPrint);
  std::vector<std::string> reflLists;
  int cycle = 0;
  while (cycle <= prog.Cycles) {
    z.Cycles = prog.Cycles;
    prog.CurrentCycle = cycle;
    const bool solve = cycle < z.Cycles && p.NRef > 0;
    const bool last = !solve;
    // The last cycle accumulates too: the final s.u. and the covariance
    // matrix come from the equations at the final parameters (inverfinal);
    // a run of 0 cycles gets them for the model as it stands.
    const bool accumulate = p.NRef > 0;
    const bool list = print > 0 && ((cycle == 0 && print == 2) || last);
    int nUsed = 0;
    std::vector<double> bres;
    const int lrc = Loop(accumulate, last, list || opt.SkipBad, nUsed, bres);
    if (lrc == kRunCancelled) return Cancelled();
    if (lrc != 0) return 1;
    if (!calcProblem.empty()) {
      // A numerical problem of the structure factors (an overflowing
      // temperature factor, ...). With the dynamical damping and a solution
      // to back off from, the cycle failed: the damping is reduced as after a
      // worse R factor and the shifts are re-applied from the backups; else
      // the run stops with the message (M40 is not written).
      auto& sv = serious;  // the messages once among the serious warnings
      if (std::search(sv.begin(), sv.end(), calcProblem.begin(), calcProblem.end()) == sv.end())
        sv.insert(sv.end(), calcProblem.begin(), calcProblem.end());
      if (!keyDynam || !havePrev) return Fail(calcProblem);
      for (const auto& m : calcProblem) lst.push_back(m);
      if (RefDynReduce(dyn, damp) == DynTooMany) return Fail({std::string(lsqmsg::TooManyRed)});
      if (RepeatCycle(prevInv, damp, z)) return 1;
      continue;
    }
    if (nUsed == 0) return Fail({std::string(refinemsg::NoRefl)});
    // Restraints and the origin condition of polar groups join the normal
    // equations after the reflection loops.
    if (accumulate) SumaFlush(ne);
    {
      const RestrSums g = RefLoopDistAng(p, restr, accumulate ? &ne : nullptr);
      const RestrSums m = RefLoopMag(p, restr, accumulate ? &ne : nullptr);
      if (accumulate) SumaFlush(ne);
      tabs.NRestr = g.N + m.N;
      tabs.RestrWD2 = g.WSum + m.WSum;
      sum.NRestraints = g.N + m.N;
      if (g.N + m.N > 0) {
        double wd2 = g.WSum + m.WSum;
        for (double v : bres) wd2 += v * v;
        const int dof = nUsed + g.N + m.N - p.NRef;
        lst.push_back(fmt::format("{}{}{}{:.4g}{}{:.3f}", restrmsg::Sums, g.N + m.N, restrmsg::WSum,
                                  g.WSum + m.WSum, restrmsg::GofR,
                                  dof > 0 ? std::sqrt(wd2 / dof) : kRFacGofNone));
      }
    }
    if (accumulate) reffixoriginsuma(p, ne.Am.data());
    lst.push_back("");
    RFactorWrite(tabs, cycle, damp, lst);
    const RFacVal o = RefRFacOverall(tabs, true);
    RefProgress(prog, cycle, o, RefRFacOverall(tabs, false), opt.FSquare);
    if (prog.Cancel) return Cancelled();
    if (keyDynam && havePrev) {
      const int act = RefApplyDynRed(dyn, cycle, opt.FSquare ? o.wR2 : o.wR, damp);
      if (act == DynTooMany) return Fail({std::string(lsqmsg::TooManyRed)});
      if (act == DynReduced) {
        // Back to the parameters of the backups and the last solution again
        // with the smaller damping; the cycle is repeated.
        tabs.History.pop_back();
        if (RepeatCycle(prevInv, damp, z)) return 1;
        continue;
      }
    }
    const auto when = cycle == 0 && !last ? rfacmsg::BeforeFirst : rfacmsg::AfterLast;
    if (list && print > 0)
      RefCalcRval(RefWorstReflections(used, opt.FSquare),
                  std::string(rfacmsg::Worst) + std::string(when), opt.FSquare, reflLists);
    if (opt.SkipBad && (last || (cycle == 0 && print == 2))) {
      std::vector<RFacRefl> rej;
      for (const auto& r : used)
        if (r.Flag == '#') rej.push_back(r);
      if (!rej.empty())
        RefCalcRval(rej, std::string(rfacmsg::Rejected) + std::string(when), opt.FSquare,
                    reflLists);
    }
    InverSettings is;
    is.Cycle = cycle + 1;
    is.LsMethod = prog.LsMethod;
    is.MarqLam = prog.MarqLam;
    is.EsdCorr = ref.Run.I(RkEsdCorr) == 1;
    is.NDatBlocks = static_cast<int>(blocks.size());
    if (is.EsdCorr) is.Berar = BerarFactor(bres.data(), static_cast<long long>(bres.size()));
    if (!solve) {
      if (accumulate) {
        const size_t before = lst.size();
        if (inverfinal(ne, p, is, o.Gof, nUsed, z, inv, lst) != 0) {
          std::vector<std::string> m(lst.begin() + static_cast<long>(before), lst.end());
          return Fail(m.empty() ? std::vector<std::string>{"The final solution failed."} : m);
        }
        haveFinal = true;
      }
      break;
    }
    // Backups of the parameter files before the solution.
    {
      AtomModel keep = Struct.Model;
      RefStoreParams(p);
      (void)iom40only(M40Write, fln + ".l40", Struct.Model);
      Struct.Model = std::move(keep);
      (void)FeCopyFile(fln + ".m50", fln + ".l50");
    }
    const size_t before = lst.size();
    if (Inver(ne, p, is, o.Gof, nUsed, inv, lst) != 0) {
      std::vector<std::string> m(lst.begin() + static_cast<long>(before), lst.end());
      if (m.empty()) m.push_back("The refinement stopped in the solution of the normal equations.");
      Say(ReportKind::Error, m);
      return 1;
    }
    if (inv.Warning)
      serious.insert(serious.end(), lst.begin() + static_cast<long>(before), lst.end());
    for (int j : inv.Singular) {
      const int i = p.Refined[static_cast<size_t>(j)];
      if (std::find(blocked.begin(), blocked.end(), i) == blocked.end()) blocked.push_back(i);
    }
    // Undamped plain cycles mix their shifts with those of the cycles before
    // (RefAccelShift); damping or the Marquardt technique start the history
    // anew. A repeated cycle goes back to the plain solution (prevInv).
    InverResult applied = inv;
    if (damp == 1. && prog.LsMethod != 2)
      (void)RefAccelShift(accel, applied.Shift, applied.Sig);
    else
      RefAccelReset(accel);
    z.Cycle = cycle;
    const size_t beforeZ = lst.size();
    const int cyclesBefore = z.Cycles;
    if (Zmena(p, applied, damp, z, lst) != 0) return Fail({"The shifts could not be applied."});
    reffixoriginrenorm(p);
    UIsoOff(z);
    {
      // Convergence (Zmena) or the user's "end after this cycle" make the
      // next pass the last one: R factors and the final s.u. of these shifts.
      int nc = z.Cycles != cyclesBefore ? z.Cycles : prog.Cycles;
      if (prog.EndAfterCycle) {
        if (nc > cycle + 1) lst.push_back(std::string(progressmsg::Ended));
        nc = std::min(nc, cycle + 1);
      }
      z.Cycles = prog.Cycles = std::max(nc, cycle + 1);
    }
    for (size_t k = beforeZ; k < lst.size(); ++k)
      if (lst[k].find(lsqmsg::Unreal2) != std::string::npos) serious.push_back(lst[k]);
    tabs.History.back().AvChange = z.MeanChange;
    tabs.History.back().MaxChange = z.MaxChange;
    CalcUpdate(s, p);
    prevInv = inv;
    // A changed parameter list (uisolim) leaves no solution to repeat.
    havePrev = z.UIsoOff.empty();
    shifted = true;
    ++cycle;
  }

  PisRfac(tabs, lst);
  RefListFlack();
  for (auto& l : reflLists) lst.push_back(l);
  if (shifted) {
    PisZmeny(z);
    PisCor();
  }
  if (!blocked.empty()) {
    lst.push_back("");
    lst.push_back(std::string(refinemsg::Blocked));
    for (int i : blocked) lst.push_back(p.Info[static_cast<size_t>(i)].Label);
  }
  // ADP eigenvalues and eigenvectors of the final model.
  if (shifted) RefStoreParams(p);
  RefListAdpEigen(Struct.Model, Struct.Basic, lst, serious);
  if (!serious.empty()) {
    lst.push_back("");
    lst.push_back(std::string(refinemsg::Serious));
    for (const auto& l : serious) lst.push_back(l);
  }
  // Coefficient file for the Fourier tool: one block per phase when there are several.
  {
    std::string t;
    const bool phases = Struct.Basic.Phase.size() > 1;
    for (size_t ph = 0; ph < Struct.Basic.Phase.size(); ++ph) {
      if (phases) t += Struct.Basic.Phase[ph].Name + " begin\n";
      for (size_t k = 0; k < m80.size(); ++k)
        if (static_cast<size_t>(m80Phase[k]) == ph) t += RefM80Line(m80[k]) + "\n";
    }
    if (FeWriteFileAtomic(fln + ".m80", t) != 0)
      serious.push_back("The file " + fln + ".m80 could not be written.");
  }
  // Final writing: the ".s40" copy first, then M40 through a temporary name.
  if (shifted) {
    RefStoreParams(p);
    if (FeCopyFile(fln + ".m40", fln + ".s40") != 0 || iom40(M40Write, fln + ".m40") != 0)
      return Fail({std::string(refinemsg::WriteFailed) + fln + ".m40"});
  }
  // The covariance of coordinates and cell for the geometry tools, tied to
  // the M40 just written. A stale matrix of an earlier run stays behind; its
  // identity no longer matches and the tools leave it alone.
  if (haveFinal) {
    CovMatrix cov = RefCovariance(p, ne, inv.SigScale);
    std::string m40;
    if (!cov.Names.empty() && FeReadFile(fln + ".m40", m40) == 0) {
      cov.M40Id = M40Identity(m40);
      if (FeWriteFileAtomic(fln + ".cov", CovarianceText(cov)) != 0)
        lst.push_back("The covariance matrix " + fln + ".cov could not be written.");
    }
  }
  sum.Obs = RefRFacOverall(tabs, true);
  sum.All = RefRFacOverall(tabs, false);
  sum.CyclesDone = cycle;
  sum.Summary = RefMakeRFacString(tabs.Overall, opt.FSquare, p.NRef) +
                fmt::format(" GOF(obs)={:.2f}", sum.Obs.Gof);
  sum.NPar = p.NRef;
  sum.MaxChange = z.MaxChange;
  for (int i : blocked) sum.Blocked.push_back(p.Info[static_cast<size_t>(i)].Label);
  for (int j = 0; j < p.NRef; ++j) {
    const size_t i = static_cast<size_t>(p.Refined[static_cast<size_t>(j)]);
    sum.Changes.push_back(
        {p.Info[i].Label, i < startVal.size() ? startVal[i] : p.Val[i], p.Val[i], p.Sig[i]});
  }
  sum.Serious = serious;
  sum.Plot = std::move(plot);
  // "callfour": the Fourier tool on the new ".m80" and M40. It runs after M40
  // is written, so that what it writes into M40 (peaks) is not overwritten.
  // Its failure, or its absence from the tool table, does not fail the run.
  if (ref.Run.I(RkCallFour) == 1) {
    if (FourierHook() && FourierHook()() != 0)
      lst.push_back("The Fourier calculation called after the refinement failed.");
  }
  return 0;
}

}  // namespace

int RefineRun(const std::string& fln, std::vector<std::string>& listing, RefRunSummary& summary) {
  summary = RefRunSummary{};
  // A structure with powder patterns is refined against them (Rietveld).
  if (RefHasPowder(fln)) {
    const AtomModel savedModel = Struct.Model;
    const BasicData savedBasic = Struct.Basic;
    listing.push_back(fmt::format("{} {} - Rietveld refinement of {}", Sess.ProgramName, Sess.Version, fln));
    const int rc = RefRietveldRun(fln, listing, summary);
    if (rc != 0) Struct.Model = savedModel, Struct.Basic = savedBasic;
    return rc;
  }
  if (!FeFileExists(fln + ".m90")) {
    listing.push_back(std::string(refinemsg::NoM90));
    Say(ReportKind::Error, {std::string(refinemsg::NoM90)});
    return 1;
  }
  const AtomModel savedModel = Struct.Model;
  const BasicData savedBasic = Struct.Basic;
  listing.push_back(fmt::format("{} {} - refinement of {}", Sess.ProgramName, Sess.Version, fln));
  Run run(fln, listing, summary);
  int rc = 1;
  {
    struct ProgressWindow {
      ProgressWindow() { Report().ProgressBegin(std::string(progressmsg::Title)); }
      ~ProgressWindow() { Report().ProgressEnd(); }
      ProgressWindow(const ProgressWindow&) = delete;
      ProgressWindow& operator=(const ProgressWindow&) = delete;
    } window;
    rc = run.Execute();
  }
  // The backups of the cycles are work files of this run only.
  for (const char* ext : {".l40", ".l50"}) {
    std::error_code ec;
    std::filesystem::remove(fln + ext, ec);
  }
  if (rc != 0) {
    Struct.Model = savedModel;
    Struct.Basic = savedBasic;
  } else if (!summary.Serious.empty()) {
    Say(ReportKind::Warning, {std::string(refinemsg::SeriousInListing)});
  }
  return rc;
}

int Refine(RefRunSummary& summary) {
  std::vector<std::string> listing;
  const int rc = RefineRun(Sess.fln, listing, summary);
  if (!Sess.fln.empty() && !listing.empty())
    (void)FeWriteFileAtomic(Sess.fln + ".ref", Join(listing));
  return rc;
}

}  // namespace tarn
