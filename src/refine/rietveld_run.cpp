// The Rietveld run on the files of a structure: model (M40, M50), powder
// patterns (M95) and their powder parameters (M41).
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/scatdata.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "powder/m41.hpp"
#include "powder/prf.hpp"
#include "refine/constr.hpp"
#include "refine/refcommands.hpp"
#include "refine/refine_plots.hpp"
#include "refine/rietveld.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"
#include "util/report.hpp"
#include "util/round_esd.hpp"

namespace tarn {

namespace {

namespace rvmsg {
constexpr const char* Header = "Rietveld refinement";
constexpr const char* ReadFailed = "The refinement cannot be started: ";
constexpr const char* NoPhase = "Powder data block {} has no phase parameters in M41.";
constexpr const char* PatLine = "Powder block {}: Rp {:.2f} Rwp {:.2f} Rexp {:.2f} chi2 {:.3f} (background subtracted: Rp {:.2f} Rwp {:.2f})";
constexpr const char* PhaseLine = "  Phase {}: Bragg R {:.2f}  weight fraction {:.4f}  scale {:.6g}";
constexpr const char* SingleLine = "Single-crystal block {}: R {:.2f} wR2 {:.2f} for {} reflections";
constexpr const char* CellLine = "Phase {}: a {} b {} c {} alpha {} beta {} gamma {}";
}  // namespace rvmsg

void Say(const std::vector<std::string>& lines) {
  if (Sess.BatchMode) {
    for (const auto& l : lines) ReportLine(l);
    return;
  }
  ReportError(rvmsg::Header, lines);
}

std::string Val(double v, double su) {
  return su > 0. ? RoundESD(v, su) : fmt::format("{:.6f}", v);
}

// Refined values and s.u. back into the block parameters of M41.
void StorePattern(const RietProblem& pr, size_t k, const RietResult& res, PwdBlockPar& bp) {
  const RietPattern& t = pr.Pat[k];
  const PwdPatternData& p = t.P;
  for (size_t j = 0; j < bp.Bckg.size() && j < p.Bckg.Coef.size(); ++j) bp.Bckg[j].V = p.Bckg.Coef[j];
  if (!p.Bckg.Manual.empty() && bp.Bckg.size() > p.Bckg.Coef.size()) bp.Bckg[p.Bckg.Coef.size()].V = p.Bckg.ManScale;
  bp.Shift[0].V = p.Zero, bp.Shift[1].V = p.SyCos, bp.Shift[2].V = p.SySin;
  PwdTofStore(p, bp);
  for (size_t j = 0; j < 2; ++j) bp.Rough[j].V = t.Rough[j];
  bp.TofAbs.V = t.TofAbsC;
  if (!p.Tof) bp.Lam[0].V = p.Lam[0], bp.Lam[1].V = p.Lam[1];
  for (size_t ph = 0; ph < p.Phases.size() && ph < bp.Phase.size(); ++ph) {
    auto& pp = bp.Phase[ph];
    const auto& pf = p.Phases[ph].Prof;
    for (size_t c = 0; c < 6; ++c) {
      pp.Cell[c].V = p.Phases[ph].Cell[c];
      if (ph < res.CellSu.size()) pp.Cell[c].Su = res.CellSu[ph][c];
    }
    PwdWidthsFromProfile(pf, pp);
    PwdBroadStore(p.Phases[ph].Broad, pp);
    PwdModVecStore(p.Phases[ph], pp);
    if (t.PrefType != 0) pp.Pref[0].V = t.Pref[ph];
    for (size_t c = 0; c < bp.Asym.size(); ++c) bp.Asym[c].V = pf.Asym[c];
  }
  for (const auto& q : pr.Par) {
    if (q.Pattern != static_cast<int>(k) && q.Kind != RvMetric) continue;
    PwdPar* v = nullptr;
    const size_t iph = static_cast<size_t>(q.Phase);
    if (q.Kind == RvBckg) v = &bp.Bckg[static_cast<size_t>(q.Index)];
    if (q.Kind == RvZero) v = p.Tof ? &bp.Tof[0] : &bp.Shift[0];
    if (q.Kind == RvSyCos) v = &bp.Shift[1];
    if (q.Kind == RvSySin) v = &bp.Shift[2];
    if (q.Kind == RvLam) v = &bp.Lam[0];
    if (q.Kind == RvWidth) v = q.Index < 4 ? &bp.Phase[iph].Gauss[static_cast<size_t>(q.Index)] : &bp.Phase[iph].Lor[static_cast<size_t>(q.Index - 4)];
    if (q.Kind == RvAsym) v = &bp.Asym[static_cast<size_t>(q.Index)];
    if (q.Kind == RvPref) v = &bp.Phase[iph].Pref[0];
    if (q.Kind == RvBroad) v = PwdBroadPar(bp.Phase[iph], q.Index);
    if (q.Kind == RvTofX) v = q.Index < 5 ? &bp.TofE[static_cast<size_t>(q.Index)] : &bp.TofCross[static_cast<size_t>(q.Index - 5)];
    if (q.Kind == RvModVec) v = &bp.Phase[iph].ModVec[static_cast<size_t>(q.Index)];
    if (q.Kind == RvRough) v = &bp.Rough[static_cast<size_t>(q.Index)];
    if (q.Kind == RvTofAbs) v = &bp.TofAbs;
    if (v != nullptr) v->Su = q.Su;
  }
}

// The ".m80" records of the powder reflections: observed |F| from the
// Rietveld partition, Fc, A and B on the absolute scale.
std::string M80Text(const RietProblem& pr, const CalcSetup& s) {
  const size_t nph = pr.Pat.empty() ? 0 : pr.Pat[0].P.Phases.size();
  std::string text;
  for (size_t ph = 0; ph < nph; ++ph) {
    if (nph > 1) text += pr.Pat[0].P.Phases[ph].Name + " begin\n";
    for (size_t k = 0; k < pr.Pat.size(); ++k) {
      const RietPattern& t = pr.Pat[k];
      std::vector<double> io;
      (void)RietBraggR(pr, static_cast<int>(k), &io);
      for (size_t r = 0; r < t.P.Refl.size(); ++r) {
        const auto& rf = t.P.Refl[r];
        // Magnetic satellites have no place in a nuclear Fourier map; satellites
        // of a modulated phase do (superspace map).
        const bool sat = t.P.Phases[ph].QVec.empty() && (rf.M[0] != 0 || rf.M[1] != 0 || rf.M[2] != 0);
        if (static_cast<size_t>(rf.Phase) != ph || rf.I[0] <= 0. || sat) continue;
        // |Fo|**2 = |Fc|**2 I_obs / I_calc.
        const double fo2 = t.F2[r] * io[r] / rf.I[0];
        CalcRefl cr;
        for (size_t i = 0; i < 3; ++i) cr.H[i] = rf.H[i], cr.H[3 + i] = rf.M[i];
        cr.DatBlock = t.Block;
        cr.Phase = rf.Phase;
        cr.SinThL = 0.5 * std::sqrt(rf.Q);
        CalcOut out;
        if (Calc(s, cr, false, out) != 0) continue;
        RefM80Rec m;
        for (size_t i = 0; i < 3; ++i) m.H[i] = rf.H[i], m.H[3 + i] = rf.M[i];
        m.Block = t.Block + 1;
        m.Fo = m.FoTw = std::sqrt(std::max(fo2, 0.));
        m.SigFo = m.SigFoTw = 0.;
        m.Fc = std::sqrt(t.F2[r]);
        m.A = out.A, m.B = out.B;
        m.SinThL = cr.SinThL;
        text += RefM80Line(m) + "\n";
      }
    }
  }
  return text;
}

// The single-crystal data blocks of M90 (those that are not powder blocks)
// with their kept reflections; none without M90. 1 when M90 cannot be read.
int ReadSingleBlocks(const std::string& fln, const std::vector<char>& powderBlock, const CalcSetup& s,
                     std::vector<RietSingle>& out) {
  out.clear();
  if (!FeFileExists(fln + ".m90")) return 0;
  std::vector<M90Block> b90;
  std::vector<std::vector<M90Refl>> r90;
  if (ReadM90File(fln + ".m90", b90, r90) != 0) return 1;
  for (size_t b = 0; b < b90.size() && b < powderBlock.size() && b < s.Block.size(); ++b) {
    if (powderBlock[b]) continue;
    const int phase = std::clamp(b < Struct.Basic.PhaseTwin.size() ? Struct.Basic.PhaseTwin[b] - 1 : 0, 0,
                                 static_cast<int>(Struct.Basic.Phase.size()) - 1);
    const PhaseBasic& ph = Struct.Basic.Phase[static_cast<size_t>(phase)];
    const int nsc = b < Struct.Model.DatBlock.size() ? Struct.Model.DatBlock[b].Scale.size() : 1;
    RietSingle sb;
    sb.Block = static_cast<int>(b);
    for (const M90Refl& r : r90[b]) {
      if (r.ICull != 0) continue;
      CalcRefl cr;
      for (int k = 0; k < ph.NDim && k < 6; ++k) cr.H[static_cast<size_t>(k)] = r.H[k];
      cr.DatBlock = sb.Block, cr.Phase = phase;
      cr.SinThL = RefSinThL(ph, r.H, ph.NDim);
      cr.Scale = std::clamp(r.ISc - 1, 0, std::max(nsc - 1, 0));
      sb.Refl.push_back(cr), sb.I.push_back(r.I), sb.SigI.push_back(r.SigI);
    }
    if (!sb.Refl.empty()) out.push_back(std::move(sb));
  }
  return 0;
}

}  // namespace

int RietPatternFromBlock(const M95Block& b, const std::vector<M95Refl>& pts, PwdM41& m, int kpwd, RietPattern& t) {
  PwdPatternData& p = t.P;
  PwdBlockPar& bp = m.Blocks[static_cast<size_t>(kpwd - 1)];
  if (bp.Phase.size() < Struct.Basic.Phase.size()) return 1;
  if (PwdPatternFromBlock(b, pts, m, kpwd, Struct.Basic.Phase, p)) return 1;
  t.AbsType = m.Int("absor", 0, 0, kpwd);
  t.Mir = m.Real("mir", 0., 0, kpwd);
  t.PrefType = m.Int("prefor", 0, 1, kpwd);
  t.Flags.TofX = PwdTofXFlags(bp);
  t.RoughType = p.Tof ? 0 : m.Int("rough", 0, 0, kpwd);
  t.TofAbs = p.Tof && m.Int("usetofab", 0, 0, kpwd) > 0;
  t.TofAbsC = bp.TofAbs.V, t.RefTofAbs = t.TofAbs && bp.TofAbs.Key ? 1 : 0;
  t.TofLamD = b.TofTth > 0. ? 2. * std::sin(0.5 * b.TofTth * kDeg) : 1.;
  for (size_t j = 0; j < 2; ++j) t.Rough[j] = bp.Rough[j].V, t.RefRough[j] = t.RoughType != 0 && bp.Rough[j].Key ? 1 : 0;
  t.Flags.Zero = p.Tof ? bp.Tof[0].Key : bp.Shift[0].Key, t.Flags.SyCos = bp.Shift[1].Key, t.Flags.SySin = bp.Shift[2].Key;
  for (const auto& c : bp.Bckg) t.Flags.Bckg.push_back(c.Key ? 1 : 0);
  for (size_t ph = 0; ph < p.Phases.size(); ++ph) {
    const int iph = static_cast<int>(ph + 1);
    p.Phases[ph].Decompose = false;
    const auto& pp = bp.Phase[ph];
    std::array<char, PwdNWidth> w{};
    for (size_t k = 0; k < 4; ++k) w[k] = pp.Gauss[k].Key ? 1 : 0, w[4 + k] = pp.Lor[k].Key ? 1 : 0;
    t.Flags.Width.push_back(w);
    std::array<char, kPwdMaxAsym> a{};
    for (size_t k = 0; k < bp.Asym.size() && k < a.size(); ++k) a[k] = bp.Asym[k].Key ? 1 : 0;
    t.Flags.Asym.push_back(a);
    t.Flags.Broad.push_back(PwdBroadFlags(pp));
    t.Flags.ModVec.emplace_back();
    for (const auto& v : pp.ModVec) t.Flags.ModVec.back().push_back(v.Key ? 1 : 0);
    t.Scale.push_back(1.);
    t.RefScale.push_back(1);
    std::array<double, 3> dir{0., 0., 1.};
    if (const PwdKey* k = m.Find("dirpref", iph, kpwd); k != nullptr && k->Words.size() >= 3)
      for (size_t j = 0; j < 3; ++j) dir[j] = std::atof(k->Words[j].c_str());
    t.PrefDir.push_back(dir);
    t.Pref.push_back(pp.Pref[0].V > 0. ? pp.Pref[0].V : 1.);
    t.RefPref.push_back(pp.Pref[0].Key ? 1 : 0);
    if (m.Int("prefsum", 0, iph, kpwd) > 0) {
      t.PrefOps.resize(ph + 1);
      t.PrefOps[ph] = PwdLaueOps(p.Phases[ph].Sym);
    }
  }
  return 0;
}

std::vector<double> RietStoredScales(const AtomModel& m, int block, size_t nph) {
  if (block < 0 || static_cast<size_t>(block) >= m.DatBlock.size()) return {};
  const ParList& sc = m.DatBlock[static_cast<size_t>(block)].Scale;
  if (sc.Val.size() < nph || nph == 0) return {};
  std::vector<double> v(sc.Val.begin(), sc.Val.begin() + static_cast<std::ptrdiff_t>(nph));
  const bool positive = std::all_of(v.begin(), v.end(), [](double x) { return x > 0.; });
  const bool fresh = std::all_of(v.begin(), v.end(), [](double x) { return x == 1.; });
  return positive && !fresh ? v : std::vector<double>{};
}

bool RefHasPowder(const std::string& fln) {
  if (!FeFileExists(fln + ".m41") || !FeFileExists(fln + ".m95")) return false;
  for (const auto& d : Struct.Basic.DatBlock)
    if (d.Powder && *d.Powder == 1) return true;
  return false;
}

int RefRietveldRun(const std::string& fln, std::vector<std::string>& lst, RefRunSummary& sum) {
  auto fail = [&](const std::string& m) {
    lst.push_back(m);
    Say({m});
    return 1;
  };
  if (iom50(M50Read, fln + ".m50") != 0) return fail(std::string(rvmsg::ReadFailed) + fln + ".m50");
  if (iom40(M40Read, fln + ".m40") != 0) return fail(std::string(rvmsg::ReadFailed) + fln + ".m40");
  if (ScatEnsureLoaded() != 0 || EM50ReadAllFormFactors(Struct.Basic) != 0)
    return fail(std::string(rvmsg::ReadFailed) + "scattering factors of " + fln + ".m50");
  RefSettings ref;
  int err = 0;
  RefReadCommands(ref, err);
  if (err) return fail(std::string(rvmsg::ReadFailed) + "refine block of " + fln + ".m50");
  PwdM41 m;
  ErrorRecord e;
  SetBasicM41(m);
  if (iom41(0, fln + ".m41", m, e) || PwdReadManualBackground(fln + ".bkg", m, e)) {
    for (const auto& l : e.Lines()) lst.push_back(l);
    Say(e.Lines());
    return 1;
  }
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> refl;
  if (ReadM95File(fln + ".m95", blocks, refl) != 0) return fail(std::string(rvmsg::ReadFailed) + fln + ".m95");
  // The cells of the powder parameters (of the first block) are the model's.
  if (!m.Blocks.empty())
    for (size_t ph = 0; ph < Struct.Basic.Phase.size() && ph < m.Blocks[0].Phase.size(); ++ph)
      for (size_t k = 0; k < 6; ++k) Struct.Basic.Phase[ph].Cell[k] = m.Blocks[0].Phase[ph].Cell[k].V;
  RefParams p;
  if (RefPrelimConstr(p, ref) != 0) return fail(std::string(rvmsg::ReadFailed) + "constraints");
  // The scales of powder blocks are those of the phases (RietPattern::Scale):
  // the data-block scale is not refined.
  std::vector<char> powderBlock(Struct.Basic.DatBlock.size(), 0);
  for (size_t b = 0; b < Struct.Basic.DatBlock.size(); ++b)
    powderBlock[b] = Struct.Basic.DatBlock[b].Powder && *Struct.Basic.DatBlock[b].Powder == 1;
  bool keysOff = false;
  for (int i = 0; i < p.size(); ++i) {
    const auto& in = p.Info[static_cast<size_t>(i)];
    if (in.Kind == OwnDatBlock && static_cast<size_t>(in.Owner) < powderBlock.size() && powderBlock[static_cast<size_t>(in.Owner)] &&
        p.Key[static_cast<size_t>(i)] != 0)
      p.Key[static_cast<size_t>(i)] = 0, keysOff = true;
  }
  if (keysOff) {
    RefSetMatrixLimits(p);
    RefFixOrigin(p);
  }
  for (const auto& l : p.Listing) lst.push_back(l);
  RietProblem pr;
  {
    const size_t before = lst.size();
    if (RefRestrain(ref, pr.Restr, lst) != 0) return fail(lst.size() > before ? lst.back() : std::string(rvmsg::ReadFailed) + "restraints");
  }
  CalcSetup s;
  if (CalcPrepare(s, p, ref.Run) != 0) return fail(std::string(rvmsg::ReadFailed) + "structure factors");
  int kpwd = 0;
  std::vector<int> kOf;  // M41 block of each pattern
  for (size_t b = 0; b < blocks.size(); ++b) {
    if (blocks[b].PwdMethod <= 0) continue;
    ++kpwd;
    if (kpwd > static_cast<int>(m.Blocks.size())) return fail(fmt::format(rvmsg::NoPhase, kpwd));
    RietPattern t;
    t.Block = static_cast<int>(std::min(b, s.Block.size() - 1));
    if (RietPatternFromBlock(blocks[b], refl[b], m, kpwd, t)) return fail(fmt::format(rvmsg::NoPhase, kpwd));
    CalcBlock& cb = s.Block[static_cast<size_t>(t.Block)];
    cb.ScalePar = -1, cb.Scale = 1., cb.ExtType = ExtNone;
    ErrorRecord ge;
    if (const PwdKey* lf = m.Find("lamfile", 0, kpwd); lf != nullptr && !lf->Words.empty() && !t.P.Tof &&
                                                       PwdLamFile(lf->Words[0], t.P, ge)) {
      for (const auto& l : ge.Lines()) lst.push_back(l);
      Say(ge.Lines());
      return 1;
    }
    // The fundamental-approach geometry is used but not refined here.
    const auto& fund = m.Blocks[static_cast<size_t>(kpwd - 1)].Fund;
    if (std::any_of(fund.begin(), fund.end(), [](const PwdPar& x) { return x.Key != 0; }) &&
        std::any_of(t.P.Phases.begin(), t.P.Phases.end(),
                    [](const PwdPhaseData& x) { return x.Prof.Asymm == PwdAsymFundamental; }))
      lst.push_back(fmt::format("The fundamental parameters of powder block {} are kept fixed.", kpwd));
    if (PwdGenerateRefl(t.P, ge)) {
      for (const auto& l : ge.Lines()) lst.push_back(l);
      Say(ge.Lines());
      return 1;
    }
    pr.Pat.push_back(std::move(t));
    kOf.push_back(kpwd);
  }
  if (pr.Pat.empty()) return fail(std::string(rvmsg::ReadFailed) + "no powder data blocks in " + fln + ".m95");
  if (ReadSingleBlocks(fln, powderBlock, s, pr.Single) != 0) return fail(std::string(rvmsg::ReadFailed) + fln + ".m90");
  // One cell per phase, from the first pattern; refined when any block's
  // keys ask for it. The wavelengths refined are those the blocks ask for
  // ("reflam", else the wavelength key); a refined cell keeps the wavelength
  // standards (tube lines) fixed when nothing else would fix the length scale.
  const size_t nph = pr.Pat[0].P.Phases.size();
  pr.RefCell.assign(nph, 0);
  for (size_t ph = 0; ph < nph; ++ph)
    for (const auto& bp : m.Blocks)
      if (ph < bp.Phase.size())
        for (const auto& c : bp.Phase[ph].Cell) pr.RefCell[ph] = pr.RefCell[ph] || c.Key != 0;
  const bool cellRef = std::any_of(pr.RefCell.begin(), pr.RefCell.end(), [](char c) { return c != 0; });
  std::vector<PwdLamSource> lams;
  for (const auto& t : pr.Pat) lams.push_back({t.P.Tof, t.P.Radiation, t.P.Lam[0], t.P.NLam});
  std::string lamNote;
  const std::vector<char> refLam = PwdRefinedWavelengths(lams, m, cellRef, lamNote);
  if (!lamNote.empty()) lst.push_back(lamNote);
  for (size_t k = 0; k < pr.Pat.size(); ++k) {
    auto& t = pr.Pat[k];
    for (size_t ph = 0; ph < nph; ++ph) t.P.Phases[ph].Cell = pr.Pat[0].P.Phases[ph].Cell;
    t.RefLam = refLam[k] != 0;
    PwdSetProfiles(t.P);
    PwdSetBackgroundPoints(t.P);
  }
  pr.CellMass = RietCellMass(s, Struct.Basic);
  if (RietStructureFactors(pr, s, p, false)) return fail("The structure factors of the powder reflections failed.");
  // Phase scales: those stored with the block by the last run (the scales of
  // a powder block in M40 are its phase scales), else least-squares ones.
  RietStartScales(pr);
  for (auto& t : pr.Pat)
    if (const auto sc = RietStoredScales(Struct.Model, t.Block, nph); !sc.empty()) t.Scale = sc;
  RietSetIntensities(pr);
  const std::vector<double> startVal = p.Val;
  const int cycles = std::max(ref.Run.I(RkCycles), 1);
  lst.push_back(fmt::format("Rietveld refinement of {} pattern(s): {} structural and {} powder parameters",
                            pr.Pat.size(), p.NRef, [&] { RietSetParams(pr); return pr.Par.size(); }()));
  RietResult res = RefRietveldFit(pr, s, p, cycles);
  lst.insert(lst.end(), res.Listing.begin(), res.Listing.end());
  if (res.Cycles == 0 && p.NRef + static_cast<int>(pr.Par.size()) > 0)
    return fail("The Rietveld refinement failed: " + (res.Listing.empty() ? std::string() : res.Listing.back()));
  // Listing: R values of the single-crystal blocks and the patterns, phases, cells.
  for (size_t k = 0; k < res.SingleR.size() && k < pr.Single.size(); ++k) {
    const std::string line = fmt::format(rvmsg::SingleLine, pr.Single[k].Block + 1, res.SingleR[k].R, res.SingleR[k].wR2, res.SingleR[k].N);
    lst.push_back(line);
    ReportLine(line);
  }
  if (res.Restr.N > 0)
    lst.push_back(fmt::format("{}{}{}{:.4g}", restrmsg::Sums, res.Restr.N, restrmsg::WSum, res.Restr.WSum));
  sum.NRestraints = res.Restr.N;
  lst.push_back("");
  for (size_t k = 0; k < pr.Pat.size(); ++k) {
    const PwdRValues& r = res.R[k];
    const std::string line = fmt::format(rvmsg::PatLine, kOf[k], r.Rp, r.Rwp, r.Rexp, r.Chi2, r.RpB, r.RwpB);
    lst.push_back(line);
    ReportLine(line);
    for (size_t ph = 0; ph < nph; ++ph) {
      const std::string pl = fmt::format(rvmsg::PhaseLine, ph + 1, res.RBragg[k][ph], res.WFrac[k][ph], pr.Pat[k].Scale[ph]);
      lst.push_back(pl);
      ReportLine(pl);
    }
    if (!pr.Pat[k].P.Tof && pr.Pat[k].RefLam) {
      double su = 0.;
      for (const auto& q : pr.Par)
        if (q.Kind == RvLam && q.Pattern == static_cast<int>(k)) su = q.Su;
      const std::string ll = fmt::format("  Wavelength {}", Val(pr.Pat[k].P.Lam[0], su));
      lst.push_back(ll);
      ReportLine(ll);
    }
  }
  RefStoreParams(p);
  for (size_t k = 0; k < pr.Pat.size(); ++k) {
    if (static_cast<size_t>(pr.Pat[k].Block) >= Struct.Model.DatBlock.size()) continue;
    ParList& sc = Struct.Model.DatBlock[static_cast<size_t>(pr.Pat[k].Block)].Scale;
    if (sc.size() < static_cast<int>(nph)) sc.resize(static_cast<int>(nph));
    for (size_t ph = 0; ph < nph; ++ph) {
      sc.Val[ph] = pr.Pat[k].Scale[ph], sc.Sig[ph] = 0.;
      for (const auto& q : pr.Par)
        if (q.Kind == RvScale && q.Pattern == static_cast<int>(k) && q.Phase == static_cast<int>(ph)) sc.Sig[ph] = q.Su;
    }
  }
  for (size_t ph = 0; ph < nph; ++ph) {
    const auto& c = res.Cell[ph];
    const auto& u = res.CellSu[ph];
    const std::string line = fmt::format(rvmsg::CellLine, ph + 1, Val(c[0], u[0]), Val(c[1], u[1]), Val(c[2], u[2]),
                                         Val(c[3], u[3]), Val(c[4], u[4]), Val(c[5], u[5]));
    lst.push_back(line);
    ReportLine(line);
    for (int k = 0; k < 6; ++k) Struct.Basic.Phase[ph].Cell[k] = c[static_cast<size_t>(k)];
  }
  lst.push_back("");
  lst.push_back(fmt::format("{:<20}{:>14}{:>14}", "parameter", "value", "s.u."));
  for (int j = 0; j < p.NRef; ++j) {
    const size_t i = static_cast<size_t>(p.Refined[static_cast<size_t>(j)]);
    lst.push_back(fmt::format("{:<20}{:14.6f}{:14.6f}", p.Info[i].Label, p.Val[i], p.Sig[i]));
    sum.Changes.push_back({p.Info[i].Label, startVal[i], p.Val[i], p.Sig[i]});
  }
  // Files: profile files, coefficients, M41, M50 (cells), M40 (".s40" copy first).
  for (size_t k = 0; k < pr.Pat.size(); ++k) {
    // |F|**2 calculated and observed (|Fc|**2 I_obs / I_calc of the partition).
    std::vector<double> io;
    (void)RietBraggR(pr, static_cast<int>(k), &io);
    RietPattern& t = pr.Pat[k];
    for (size_t r = 0; r < t.P.Refl.size(); ++r) {
      PwdReflection& rf = t.P.Refl[r];
      rf.F2Calc = t.F2[r];
      rf.F2Obs = rf.I[0] > 0. ? t.F2[r] * io[r] / rf.I[0] : -1.;
    }
    const std::string prf = kOf[k] == 1 ? fln + ".prf" : fmt::format("{}_{}.prf", fln, kOf[k]);
    if (PwdMakePrfFile(prf, pr.Pat[k].P)) return fail("The file " + prf + " could not be written.");
    std::string dir, name;
    FeSplitPath(fln, dir, name);
    sum.PwdPlots.push_back(RefPowderFitPlot(pr.Pat[k].P, name, kOf[k]));
    sum.PwdPlotFiles.push_back(prf.substr(0, prf.size() - 4));
    StorePattern(pr, k, res, m.Blocks[static_cast<size_t>(kOf[k] - 1)]);
  }
  if (FeWriteFileAtomic(fln + ".m80", M80Text(pr, s)) != 0) lst.push_back("The file " + fln + ".m80 could not be written.");
  if (Sess.StructureLocked) return 0;
  if (iom41(1, fln + ".m41", m, e)) {
    for (const auto& l : e.Lines()) lst.push_back(l);
    Say(e.Lines());
    return 1;
  }
  if (iom50(M50Write, fln + ".m50") != 0) return fail("The cells could not be written to " + fln + ".m50");
  if (FeCopyFile(fln + ".m40", fln + ".s40") != 0 || iom40(M40Write, fln + ".m40") != 0)
    return fail("The refined parameters could not be written to " + fln + ".m40");
  sum.CyclesDone = res.Cycles;
  sum.NPowder = static_cast<int>(pr.Pat.size());
  sum.NSingle = 0;
  for (const RietSingleR& r : res.SingleR) sum.NSingle += r.N;
  if (res.SingleR.size() == 1) {
    // One single-crystal block: its R values in the single-crystal summary.
    sum.Obs.R = res.SingleR[0].R, sum.Obs.N = sum.All.N = res.SingleR[0].N;
    sum.All.wR2 = res.SingleR[0].wR2;
  }
  sum.NPar = res.NPar;
  std::string rs;
  for (size_t k = 0; k < pr.Pat.size(); ++k) rs += fmt::format("{}Rwp[{}]={:.2f}", k ? " " : "", kOf[k], res.R[k].Rwp);
  sum.Summary = fmt::format("{} chi2={:.3f}", rs, res.Chi2);
  sum.All.Gof = sum.Obs.Gof = std::sqrt(res.Chi2);
  return 0;
}

}  // namespace tarn
