// Powder tools: pattern import into M95/M50/M41, batch edits of the powder
// keywords, and the Le Bail decomposition and fit.
#include "app/tools/powder_tools.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <optional>

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/fileset.hpp"
#include "app/plot_run.hpp"
#include "app/toolkit.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/scatdata.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "powder/lebail.hpp"
#include "powder/m41.hpp"
#include "powder/prf.hpp"
#include "powder/pwdimport.hpp"
#include "powder/whall.hpp"
#include "refine/refcommands.hpp"
#include "refine/refine_plots.hpp"
#include "refine/refine_pwd.hpp"
#include "util/files.hpp"
#include "util/real_text.hpp"
#include "util/round_esd.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace pwdmsg {
constexpr const char* Imported = "{} points imported from \"{}\" as powder data block {}";
constexpr const char* NoPowder = "The structure has no powder data.";
constexpr const char* BadBankLine = "The fourth line must be \"bank N\".";
constexpr const char* NoM41 = "The structure has no M41 file.";
constexpr const char* WhHead = "Williamson-Hall analysis of powder block {}, phase {}:";
constexpr const char* WhLine = "Strain {}  intercept K lambda/size {}  size (K = 0.9) {}";
constexpr const char* NoKnown = "The structure factors of the known phases cannot be calculated: the le Bail decomposition starts from equal intensities.";
constexpr const char* NotPerformed = "The profile le Bail fit has not been performed.";
constexpr const char* LamLine = "Powder block {}: wavelength {}";
constexpr const char* CellLine = "Phase {}: a {} b {} c {} alpha {} beta {} gamma {}";
constexpr const char* RLine = "Powder block {}: Rp {:.2f} Rwp {:.2f} Rexp {:.2f} chi2 {:.3f} (background subtracted: Rp {:.2f} Rwp {:.2f})";
}  // namespace pwdmsg

void Listing(const std::string& text) {
  Fe().ListingLine(text);
}
void ListErr(const ErrorRecord& e) {
  for (const auto& l : e.Lines()) Listing(l);
}

std::string Num(double v) {
  return ShortestReal(std::round(v * 1e6) / 1e6);
}

// The index (1-based) among the powder blocks of M95 of each block, 0 for others.
int PowderCount(const std::vector<M95Block>& b) {
  return static_cast<int>(std::count_if(b.begin(), b.end(), [](const M95Block& x) { return x.PwdMethod > 0; }));
}

// (S+H)/L of the divergence asymmetry when the instrument file gives none.
constexpr double kPwdStartSHL = 0.02;

// New parameters of a data block from an instrument; cell of every phase
// from the basic data; the usual flags of a Le Bail fit.
PwdBlockPar NewBlockPar(const std::string& name, const PwdInstrument& ins, int nbckg, int nasym) {
  PwdBlockPar b;
  b.Name = name;
  b.Bckg.assign(static_cast<size_t>(nbckg), PwdPar{0., 1, 0.});
  b.Lam = {PwdPar{ins.Tof ? 0. : ins.Lam1, 0, 0.}, PwdPar{ins.Tof ? 0. : ins.Lam2, 0, 0.}};
  b.Asym.assign(static_cast<size_t>(nasym), PwdPar{});
  // Divergence asymmetry as (S+H)/L and (S-H)/L, the latter fixed: the
  // profile depends on S-H only through |S-H|, so its derivative vanishes at
  // S = H and the two cannot be refined together from there. S/L and H/L of
  // an instrument file are the diffractometer's geometry and stay fixed (set
  // free, they take up sample effects and bias the cell); without them
  // (S+H)/L starts at a typical value and is refined.
  if (nasym == 2) {
    const bool given = ins.SL + ins.HL > 0.;
    const double sum = given ? ins.SL + ins.HL : kPwdStartSHL;
    b.Asym = {PwdPar{sum, ins.Tof || given ? 0 : 1, 0.}, PwdPar{ins.SL - ins.HL, 0, 0.}};
  }
  b.Tof = {PwdPar{ins.TofZero, 0, 0.}, PwdPar{ins.Difc, 0, 0.}, PwdPar{}, PwdPar{ins.Difa, 0, 0.}};
  b.Shift = {PwdPar{ins.Zero, 1, 0.}, PwdPar{0., !ins.Tof && ins.Radiation == 1 ? 1 : 0, 0.}, PwdPar{}};
  for (const auto& ph : Struct.Basic.Phase) {
    PwdPhasePar pp;
    for (int k = 0; k < 6; ++k) pp.Cell[static_cast<size_t>(k)] = {ph.Cell[k], 1, 0.};
    const bool gauss = false;  // the import always starts a pseudo-Voigt
    // A Lorentzian part that starts at zero width could not grow (the width
    // is held non-negative): it starts at 1 centidegree (time of flight: a
    // gamma of 1 us per angstrom of d).
    const bool nolor = ins.LX <= 0. && ins.LY <= 0.;
    if (ins.Tof) {
      // sigma**2 = Sig0 + Sig1 d**2 + Sig2 d**4 (us**2), gamma = Gam1 d + Gam2 d**2 (us).
      pp.Gauss = {PwdPar{ins.Sig0, 0, 0.}, PwdPar{ins.Sig1, 1, 0.}, PwdPar{ins.Sig2, 0, 0.}, PwdPar{}};
      pp.Lor = {PwdPar{}, PwdPar{nolor ? 1. : ins.LX, 1, 0.}, PwdPar{nolor ? 0. : ins.LY, 0, 0.}, PwdPar{}};
    } else {
      pp.Gauss = {PwdPar{ins.GU, 1, 0.}, PwdPar{ins.GV, 1, 0.}, PwdPar{ins.GW, 1, 0.}, PwdPar{ins.GP, 0, 0.}};
      pp.Lor = {PwdPar{nolor ? 1. : ins.LX, gauss ? 0 : 1, 0.}, PwdPar{}, PwdPar{nolor ? 1. : ins.LY, gauss ? 0 : 1, 0.}, PwdPar{}};
    }
    pp.Pref = {PwdPar{1., 0, 0.}, PwdPar{}};
    b.Phase.push_back(pp);
  }
  return b;
}

// ".File->Powder data->Import": items format label, pattern file, instrument
// file or "none", optional "bank N".
int ImportPowder(TarnToolCall& c) {
  c.Error = 1;
  if (c.Items.size() < 3) return NextNothing;
  const std::string label = c.Items[0].Line, file = c.Items[1].Line, insFile = c.Items[2].Line;
  int bank = 0;
  if (c.Items.size() > 3) {
    const auto w = SplitWords(c.Items[3].Line);
    auto n = w.size() == 2 && EqIgnoreCase(w[0], "bank") ? ToInt(w[1]) : std::nullopt;
    if (!n || *n < 1) {
      Listing(pwdmsg::BadBankLine);
      return NextNothing;
    }
    bank = static_cast<int>(*n);
  }
  PwdPattern pat;
  PwdInstrument ins;
  ErrorRecord err;
  if (PwdReadPattern(file, label, bank, pat, err) || PwdReadInstrument(insFile, bank, ins, err)) {
    ListErr(err);
    return NextNothing;
  }
  ins.Tof = ins.Tof || pat.Tof;
  // M95: the pattern as a new powder block.
  const std::string m95 = Sess.fln + ".m95", m50 = Sess.fln + ".m50", m41 = Sess.fln + ".m41";
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> refl;
  if (FeFileExists(m95) && ReadM95File(m95, blocks, refl) != 0) return NextNothing;
  M95Block b;
  SetBasicM95(b);
  std::string dir, name;
  FeSplitPath(file, dir, name);
  const int kpwd = PowderCount(blocks) + 1;
  b.Name = fmt::format("powder{}", kpwd);
  b.SourceFile = file;
  b.Format = M95PowderFormat();
  b.PwdMethod = ins.Tof ? 2 : 1;
  b.RadType = ins.Radiation;
  // The instrument's polarisation fraction as the equivalent monochromator angle.
  if (!ins.Tof && ins.Radiation == 1) b.MonAngle = PwdMonAngleFromPola(ins.Pola);
  b.Lambda = ins.Tof ? kUnsetReal : ins.Lam1;
  if (!ins.Tof && ins.Lam2 > 0.) b.NAlpha = 2, b.KAlpha1 = ins.Lam1, b.KAlpha2 = ins.Lam2, b.KAlphaR = ins.KRatio;
  if (ins.Tof) {
    b.TofDifc = ins.Difc, b.TofDifa = ins.Difa, b.TofZero = ins.TofZero, b.TofTth = ins.Tth;
    // Rise alpha/d and decay beta0 + beta1/d**4 of the peak (1/us).
    b.TofAlfa0 = 0., b.TofAlfa1 = ins.Alpha, b.TofBeta0 = ins.Beta0, b.TofBeta1 = ins.Beta1;
  }
  b.NRef = static_cast<int>(pat.X.size());
  std::vector<M95Refl> pts(pat.X.size());
  for (size_t i = 0; i < pat.X.size(); ++i) {
    pts[i].No = static_cast<int>(i + 1);
    pts[i].Geom[0] = pat.X[i];
    pts[i].I = pat.Y[i];
    pts[i].SigI = pat.Sig[i];
  }
  blocks.push_back(b);
  refl.push_back(std::move(pts));
  // M50: the data block of the new reflection block.
  BasicData basic = Struct.Basic;
  const size_t kb = blocks.size();
  if (basic.DatBlock.size() < kb)
    basic.DatBlock.push_back(basic.DatBlock.empty() ? DatBlockBasic{} : basic.DatBlock.back());
  DatBlockBasic& db = basic.DatBlock[kb - 1];
  db.Name = b.Name;
  db.Powder = 1;
  db.Radiation = ins.Radiation;
  db.Lambda = ins.Tof ? 0. : ins.Lam1;
  db.KAlpha1 = ins.Tof ? 0. : ins.Lam1;
  db.KAlpha2 = ins.Tof ? 0. : ins.Lam2;
  db.NAlpha = !ins.Tof && ins.Lam2 > 0. ? 2 : 1;
  if (!ins.Tof && ins.Lam2 > 0.) db.KAlphaR = ins.KRatio;
  // Not the previous block's monochromator (the block may start as its copy).
  db.MonAngle = b.MonAngle > 0. ? std::optional<double>(b.MonAngle) : std::nullopt;
  // M41: created or extended.
  PwdM41 m;
  SetBasicM41(m);
  if (FeFileExists(m41) && iom41(0, m41, m, err)) {
    ListErr(err);
    return NextNothing;
  }
  // Constant-wavelength data start with the divergence asymmetry refined.
  const int nasym = ins.Tof ? 0 : 2;
  for (size_t ph = 0; ph < Struct.Basic.Phase.size(); ++ph) {
    const int iph = static_cast<int>(ph + 1);
    if (m.Find("proffun", iph) == nullptr || m.Blocks.empty()) {
      // The pseudo-Voigt whatever profile the instrument file names: a
      // Gaussian one gives its widths, the Lorentzian part is refined.
      m.Set("proffun", {"3"}, iph);
      m.Set("asymm", {nasym ? "3" : "0"}, iph);
    }
  }
  m.Sections.push_back({"datblock", b.Name, {}});  // the block's own keywords
  if (ins.Tof) m.Set("tofkey", {"1"});
  m.Tof = m.Tof || ins.Tof;
  m.Blocks.push_back(NewBlockPar(b.Name, ins, m.Int("bckgnum", 6), PwdAsymCount(m.Int("asymm", 0, 1, kpwd))));
  // Patterns of the same phases share the cell: the wavelength standards
  // (laboratory X-ray tube lines, else the first pattern) fix the length
  // scale, the wavelength of every other constant-wavelength pattern is
  // refined against them.
  if (m.Blocks.size() > 1) {
    std::vector<PwdLamSource> lams;
    int kb = 0;
    for (const auto& bb : blocks)
      if (bb.PwdMethod > 0 && static_cast<size_t>(kb) < m.Blocks.size() - 1) {
        const PwdBlockPar& bp = m.Blocks[static_cast<size_t>(kb++)];
        lams.push_back({bb.PwdMethod == 2, bb.RadType, bp.Lam[0].V, bp.Lam[1].V > 0. ? 2 : 1});
      }
    lams.push_back({ins.Tof, ins.Radiation, ins.Lam1, ins.Lam2 > 0. ? 2 : 1});
    if (lams.size() == m.Blocks.size()) {
      (void)ScatEnsureLoaded();
      const std::vector<char> st = PwdWavelengthStandards(lams);
      for (size_t k = 0; k < lams.size(); ++k) m.Blocks[k].Lam[0].Key = !lams[k].Tof && !st[k] ? 1 : 0;
    }
  }
  // Write: M95, M50, M41 (each atomically; nothing is written before all is read).
  if (WriteM95File(m95, blocks, refl) != 0) return NextNothing;
  std::swap(Struct.Basic, basic);
  if (iom50(M50Write, m50) != 0) {
    std::swap(Struct.Basic, basic);
    return NextNothing;
  }
  if (iom41(1, m41, m, err)) {
    ListErr(err);
    return NextNothing;
  }
  Listing(fmt::format(fmt::runtime(pwdmsg::Imported), pat.X.size(), file, kpwd));
  c.Error = 0;
  return NextNothing;
}

// ".Edit->PwdKeys": keyword value(s) lines into the general section of M41.
int EditPwdKeys(TarnToolCall& c) {
  const std::string m41 = Sess.fln + ".m41";
  PwdM41 m;
  ErrorRecord err;
  SetBasicM41(m);
  if (FeFileExists(m41) && iom41(0, m41, m, err)) {
    ListErr(err);
    c.Error = 1;
    return NextNothing;
  }
  for (const auto& it : c.Items) {
    bool known = false;
    for (const char* k : kPwdKeywords) known = known || EqIgnoreCase(k, it.Name);
    if (!known) {
      c.Bad = it.Name;
      return NextNothing;
    }
    m.Set(it.Name, SplitWords(it.Text));
  }
  if (Sess.StructureLocked) return NextNothing;
  if (iom41(1, m41, m, err)) {
    ListErr(err);
    c.Error = 1;
  }
  return NextNothing;
}


PwdFitFlags FlagsOf(const PwdBlockPar& bp) {
  PwdFitFlags f;
  for (const auto& c : bp.Bckg) f.Bckg.push_back(c.Key ? 1 : 0);
  f.Zero = bp.Shift[0].Key, f.SyCos = bp.Shift[1].Key, f.SySin = bp.Shift[2].Key;
  f.Lam = bp.Lam[0].Key != 0;
  f.TofX = PwdTofXFlags(bp);
  for (size_t k = 0; k < f.Fund.size() && k < bp.Fund.size(); ++k) f.Fund[k] = bp.Fund[k].Key ? 1 : 0;
  for (const auto& pp : bp.Phase) {
    f.Cell.push_back(std::any_of(pp.Cell.begin(), pp.Cell.end(), [](const PwdPar& x) { return x.Key != 0; }) ? 1 : 0);
    std::array<char, PwdNWidth> w{};
    for (int k = 0; k < 4; ++k) w[static_cast<size_t>(k)] = pp.Gauss[static_cast<size_t>(k)].Key ? 1 : 0;
    for (int k = 0; k < 4; ++k) w[static_cast<size_t>(4 + k)] = pp.Lor[static_cast<size_t>(k)].Key ? 1 : 0;
    f.Width.push_back(w);
    std::array<char, kPwdMaxAsym> a{};
    for (size_t k = 0; k < bp.Asym.size() && k < a.size(); ++k) a[k] = bp.Asym[k].Key ? 1 : 0;
    f.Asym.push_back(a);
    f.Broad.push_back(PwdBroadFlags(pp));
    f.ModVec.emplace_back();
    for (const auto& v : pp.ModVec) f.ModVec.back().push_back(v.Key ? 1 : 0);
  }
  return f;
}

// Fitted values and their s.u. back into the block's parameters.
void StoreFit(const PwdPatternData& p, const PwdFitResult& r, PwdBlockPar& bp) {
  for (size_t k = 0; k < bp.Bckg.size() && k < p.Bckg.Coef.size(); ++k) bp.Bckg[k].V = p.Bckg.Coef[k];
  if (!p.Bckg.Manual.empty() && bp.Bckg.size() > p.Bckg.Coef.size()) bp.Bckg[p.Bckg.Coef.size()].V = p.Bckg.ManScale;
  bp.Shift[0].V = p.Zero, bp.Shift[1].V = p.SyCos, bp.Shift[2].V = p.SySin;
  PwdTofStore(p, bp);
  if (!p.Tof) bp.Lam[0].V = p.Lam[0], bp.Lam[1].V = p.NLam > 1 ? p.Lam[1] : bp.Lam[1].V;
  for (size_t ph = 0; ph < p.Phases.size(); ++ph) {
    auto& pp = bp.Phase[ph];
    const auto& pr = p.Phases[ph].Prof;
    for (int k = 0; k < 6; ++k) {
      pp.Cell[static_cast<size_t>(k)].V = p.Phases[ph].Cell[static_cast<size_t>(k)];
      if (ph < r.CellSu.size()) pp.Cell[static_cast<size_t>(k)].Su = r.CellSu[ph][static_cast<size_t>(k)];
    }
    PwdWidthsFromProfile(pr, pp);
    PwdBroadStore(p.Phases[ph].Broad, pp);
    PwdModVecStore(p.Phases[ph], pp);
    for (size_t k = 0; k < bp.Asym.size(); ++k) bp.Asym[k].V = pr.Asym[k];
  }
  for (const auto& q : r.Params) {
    PwdPar* t = nullptr;
    if (q.Kind == PkBckg) t = &bp.Bckg[static_cast<size_t>(q.Index)];
    if (q.Kind == PkZero) t = &bp.Shift[0];
    if (q.Kind == PkSyCos) t = &bp.Shift[1];
    if (q.Kind == PkSySin) t = &bp.Shift[2];
    if (q.Kind == PkLam) t = &bp.Lam[0];
    if (q.Kind == PkWidth) {
      auto& pp = bp.Phase[static_cast<size_t>(q.Phase)];
      t = q.Index < 4 ? &pp.Gauss[static_cast<size_t>(q.Index)] : &pp.Lor[static_cast<size_t>(q.Index - 4)];
    }
    if (q.Kind == PkAsym) t = &bp.Asym[static_cast<size_t>(q.Index)];
    if (q.Kind == PkBroad) t = PwdBroadPar(bp.Phase[static_cast<size_t>(q.Phase)], q.Index);
    if (q.Kind == PkTofX) t = q.Index < 5 ? &bp.TofE[static_cast<size_t>(q.Index)] : &bp.TofCross[static_cast<size_t>(q.Index - 5)];
    if (q.Kind == PkModVec) t = &bp.Phase[static_cast<size_t>(q.Phase)].ModVec[static_cast<size_t>(q.Index)];
    if (q.Kind == PkFund && static_cast<size_t>(q.Index) < bp.Fund.size()) {
      t = &bp.Fund[static_cast<size_t>(q.Index)];
      for (const auto& ph : p.Phases)
        if (ph.Prof.Asymm == PwdAsymFundamental) t->V = PwdFaRef(const_cast<PwdFaGeometry&>(ph.Prof.FaGeom), q.Index);
    }
    if (t != nullptr) t->Su = q.Su;
  }
}

// The structure's M41 and the blocks of its M95 with at least one powder
// block; 1 (told in the listing) when either is missing or unreadable.
int ReadPowderFiles(PwdM41& m, std::vector<M95Block>& blocks,
                    std::vector<std::vector<M95Refl>>& refl) {
  const std::string m95 = Sess.fln + ".m95", m41 = Sess.fln + ".m41";
  ErrorRecord err;
  if (!FeFileExists(m41)) {
    Listing(pwdmsg::NoM41);
    return 1;
  }
  if (iom41(0, m41, m, err) || PwdReadManualBackground(Sess.fln + ".bkg", m, err)) {
    ListErr(err);
    return 1;
  }
  if (!FeFileExists(m95) || ReadM95File(m95, blocks, refl) != 0 || PowderCount(blocks) == 0) {
    Listing(pwdmsg::NoPowder);
    return 1;
  }
  return 0;
}

// ".run->lebail" and "Make le Bail decomposition": every powder block.
int RunLeBail(TarnToolCall& c) {
  c.Error = 1;
  const std::string m41 = Sess.fln + ".m41";
  PwdM41 m;
  ErrorRecord err;
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> refl;
  if (ReadPowderFiles(m, blocks, refl)) return NextNothing;
  for (const auto& n : m.Notes) Listing(n);
  RefSettings rs;
  int rerr = 0;
  RefReadCommands(rs, rerr);
  int cycles = rs.Run.I(RkCycles);
  const int nlebail = std::max(1, rs.Run.I(RkNLeBail));
  // The wizard's "cycles N" overrides the refine block's.
  for (const auto& it : c.Items)
    if (EqIgnoreCase(it.Name, "cycles")) cycles = static_cast<int>(ToInt(Trim(it.Text)).value_or(cycles));
  std::vector<std::string> lst;
  // All powder blocks are fitted together: one cell per phase.
  std::vector<PwdPatternData> ps;
  std::vector<PwdFitFlags> flags;
  std::vector<int> dataBlock;  // 0-based data block of each pattern
  int kpwd = 0;
  for (size_t k = 0; k < blocks.size(); ++k) {
    if (blocks[k].PwdMethod <= 0) continue;
    ++kpwd;
    if (kpwd > static_cast<int>(m.Blocks.size())) {
      Listing(pwdmsg::NotPerformed);
      return NextNothing;
    }
    PwdPatternData p;
    if (PwdPatternFromBlock(blocks[k], refl[k], m, kpwd, Struct.Basic.Phase, p)) {
      Listing(pwdmsg::NoPowder);
      return NextNothing;
    }
    if (const PwdKey* lf = m.Find("lamfile", 0, kpwd); lf != nullptr && !lf->Words.empty() && !p.Tof &&
                                                       PwdLamFile(lf->Words[0], p, err)) {
      ListErr(err);
      return NextNothing;
    }
    if (PwdGenerateRefl(p, err)) {
      ListErr(err);
      return NextNothing;
    }
    flags.push_back(FlagsOf(m.Blocks[static_cast<size_t>(kpwd - 1)]));
    for (size_t ph = 0; ph < p.Phases.size(); ++ph)
      p.Phases[ph].UseKnown = m.Int("uklebail", 0, static_cast<int>(ph + 1), kpwd) > 0;
    ps.push_back(std::move(p));
    dataBlock.push_back(static_cast<int>(k));
  }
  // The wavelengths refined: as the blocks ask ("reflam", else the key).
  std::vector<PwdLamSource> lams;
  bool cell = false;
  for (size_t k = 0; k < ps.size(); ++k) {
    lams.push_back({ps[k].Tof, ps[k].Radiation, ps[k].Lam[0], ps[k].NLam});
    for (char c : flags[k].Cell) cell = cell || c != 0;
  }
  std::string lamNote;
  const std::vector<char> refLam = PwdRefinedWavelengths(lams, m, cell, lamNote);
  for (size_t k = 0; k < ps.size(); ++k) flags[k].Lam = refLam[k] != 0;
  if (!lamNote.empty()) lst.push_back(lamNote), Listing(lamNote);
  // Phases of known structure ("uklebail 1") start from their |F|**2.
  const bool known = std::any_of(ps.begin(), ps.end(), [](const PwdPatternData& p) {
    return std::any_of(p.Phases.begin(), p.Phases.end(), [](const PwdPhaseData& ph) { return ph.UseKnown; });
  });
  if (known && PwdKnownStructureF2(Sess.fln, ps, dataBlock) != 0) {
    Listing(pwdmsg::NoKnown);
    for (auto& p : ps)
      for (auto& ph : p.Phases) ph.UseKnown = false;
  }
  for (auto& p : ps) pwdlebailfromhkl(p);
  const std::vector<PwdFitResult> rs2 = RefLeBailFitJoint(ps, flags, cycles, nlebail);
  // Observed |F|**2 of the partition on the scale of the fit, for the profile file.
  for (auto& p : ps)
    for (auto& r : p.Refl) r.F2Obs = r.Mult > 0 ? r.I[0] / r.Mult : -1.;
  lst.insert(lst.end(), rs2[0].Listing.begin(), rs2[0].Listing.end());
  for (size_t b = 0; b < ps.size(); ++b) {
    kpwd = static_cast<int>(b + 1);
    const PwdPatternData& p = ps[b];
    const PwdFitResult& r = rs2[b];
    PwdBlockPar& bp = m.Blocks[b];
    StoreFit(p, r, bp);
    lst.push_back(fmt::format("Le Bail fit of powder block {} ({} points, {} reflections)", kpwd, p.X.size(), p.Refl.size()));
    const std::string rl = fmt::format(pwdmsg::RLine, kpwd, r.R.Rp, r.R.Rwp, r.R.Rexp, r.R.Chi2, r.R.RpB, r.R.RwpB);
    lst.push_back(rl);
    Listing(rl);
    for (const auto& q : r.Params)
      if (q.Kind == PkLam) {
        const std::string line = fmt::format(fmt::runtime(pwdmsg::LamLine), kpwd, RoundESD(p.Lam[0], q.Su));
        lst.push_back(line);
        Listing(line);
      }
    for (size_t ph = 0; ph < p.Phases.size(); ++ph) {
      const auto& cl = p.Phases[ph].Cell;
      const auto& su = r.CellSu[ph];
      auto v = [&](int i) {
        return su[static_cast<size_t>(i)] > 0. ? RoundESD(cl[static_cast<size_t>(i)], su[static_cast<size_t>(i)])
                                               : Num(cl[static_cast<size_t>(i)]);
      };
      const std::string line = fmt::format(fmt::runtime(pwdmsg::CellLine), ph + 1, v(0), v(1), v(2), v(3), v(4), v(5));
      lst.push_back(line);
      if (b == 0) Listing(line);
    }
    const std::string prf = kpwd == 1 ? Sess.fln + ".prf" : fmt::format("{}_{}.prf", Sess.fln, kpwd);
    if (PwdMakePrfFile(prf, p)) return NextNothing;
    // The plot beside the profile file; a missing plotting program is noted, not fatal.
    if (TarnRunPlot(RefPowderFitPlot(p, TarnStructureName(), kpwd), prf.substr(0, prf.size() - 4)) != 0)
      lst.push_back("The plot of the fit was not made.");
  }
  if (Sess.StructureLocked) return NextNothing;
  if (iom41(1, m41, m, err)) {
    ListErr(err);
    return NextNothing;
  }
  std::string text;
  for (const auto& l : lst) text += l + "\n";
  if (FeWriteFileAtomic(Sess.fln + ".ref", text) != 0) return NextNothing;
  c.Error = 0;
  return NextNothing;
}

// "Export \"instprm\" file": the instrument of every powder block (its
// wavelengths, zero, and the profile of the first phase) as ".instprm"
// files; c.Path is the file of the first block, name_K.instprm the others.
int ExportInstprm(TarnToolCall& c) {
  c.Error = 1;
  PwdM41 m;
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> refl;
  if (ReadPowderFiles(m, blocks, refl)) return NextNothing;
  std::string base = c.Path.empty() ? Sess.fln + ".instprm" : c.Path;
  if (base.size() < 8 || base.substr(base.size() - 8) != ".instprm") base += ".instprm";
  int kpwd = 0;
  for (const auto& b : blocks) {
    if (b.PwdMethod <= 0) continue;
    if (++kpwd > static_cast<int>(m.Blocks.size())) break;
    const PwdBlockPar& bp = m.Blocks[static_cast<size_t>(kpwd - 1)];
    PwdInstrument ins;
    ins.Tof = b.PwdMethod == 2;
    ins.Radiation = b.RadType == 2 ? 2 : 1;
    ins.Lam1 = bp.Lam[0].V > 0. ? bp.Lam[0].V : b.Lambda;
    ins.Lam2 = bp.Lam[1].V;
    ins.KRatio = ins.Lam2 > 0. ? b.KAlphaR : 0.;
    ins.Pola = PwdPolaFromMonAngle(b.MonAngle);
    ins.Zero = bp.Shift[0].V;
    ins.TofZero = bp.Tof[0].V, ins.Difc = bp.Tof[1].V, ins.Difa = bp.Tof[3].V, ins.Tth = b.TofTth;
    if (!bp.Phase.empty()) {
      const auto& pp = bp.Phase[0];
      if (ins.Tof) {
        ins.Sig0 = pp.Gauss[0].V, ins.Sig1 = pp.Gauss[1].V, ins.Sig2 = pp.Gauss[2].V;
        ins.LX = pp.Lor[1].V, ins.LY = pp.Lor[2].V;
        auto v = [](double x) { return x == kUnsetReal ? 0. : x; };
        ins.Alpha = v(b.TofAlfa1), ins.Beta0 = v(b.TofBeta0), ins.Beta1 = v(b.TofBeta1);
      } else {
        ins.GU = pp.Gauss[0].V, ins.GV = pp.Gauss[1].V, ins.GW = pp.Gauss[2].V, ins.GP = pp.Gauss[3].V;
        ins.LX = pp.Lor[0].V, ins.LY = pp.Lor[2].V;
      }
    }
    // Divergence asymmetry: S/L and H/L, or their sum and difference.
    ins.SL = ins.HL = 0.;
    if (m.Int("asymm", 0, 1, kpwd) == PwdAsymDivergence && bp.Asym.size() >= 2) {
      const bool hs = m.Int("usehs", 0, 1, kpwd) != 0;
      ins.SL = std::abs(hs ? bp.Asym[0].V : 0.5 * (bp.Asym[0].V + bp.Asym[1].V));
      ins.HL = std::abs(hs ? bp.Asym[1].V : 0.5 * (bp.Asym[0].V - bp.Asym[1].V));
    }
    const std::string file =
        kpwd == 1 ? base : fmt::format("{}_{}.instprm", base.substr(0, base.size() - 8), kpwd);
    if (FeWriteFileAtomic(file, PwdInstprmText(ins, kpwd)) != 0) return NextNothing;
    Listing(fmt::format("Instrument of powder block {} written to \"{}\"", kpwd, file));
  }
  c.Error = 0;
  return NextNothing;
}

// The record of the profile parameter called name of phase iph (1-based) in
// block kpwd: cell (a .. gamma), widths (GU .. LYe), pref1, pref2, asymN,
// bckgN, zero, sycos, sysin, the second time-of-flight form (zerot ..
// wcross), modulation vectors (q1x ..) and the anisotropic broadening's names
// (S400, K4,0, hkl1s ...); nullptr when there is none.
PwdPar* ProfilePar(PwdM41& m, int kpwd, int iph, const std::string& name) {
  PwdBlockPar& bp = m.Blocks[static_cast<size_t>(kpwd - 1)];
  PwdPhasePar& pp = bp.Phase[static_cast<size_t>(iph - 1)];
  static constexpr const char* kCell[6] = {"a", "b", "c", "alpha", "beta", "gamma"};
  for (size_t k = 0; k < 6; ++k)
    if (EqIgnoreCase(name, kCell[k])) return &pp.Cell[k];
  for (size_t k = 0; k < PwdNWidth; ++k)
    if (EqIgnoreCase(name, kPwdWidthNames[k])) return k < 4 ? &pp.Gauss[k] : &pp.Lor[k - 4];
  static constexpr const char* kShift[3] = {"zero", "sycos", "sysin"};
  for (size_t k = 0; k < 3; ++k)
    if (EqIgnoreCase(name, kShift[k])) return &bp.Shift[k];
  for (size_t k = 0; k < 7; ++k)
    if (EqIgnoreCase(name, kPwdTofXNames[k])) return k < 5 ? &bp.TofE[k] : &bp.TofCross[k - 5];
  if (EqIgnoreCase(name, "pref1") || EqIgnoreCase(name, "pref2")) return &pp.Pref[name.back() == '1' ? 0 : 1];
  // Numbered ones: asymN, bckgN, qNx.
  auto numbered = [&](const char* head, std::vector<PwdPar>& v) -> PwdPar* {
    const size_t n = std::strlen(head);
    if (name.size() <= n || !StartsWithIgnoreCase(name, head)) return nullptr;
    const auto k = ToInt(name.substr(n));
    return k && *k >= 1 && static_cast<size_t>(*k) <= v.size() ? &v[static_cast<size_t>(*k - 1)] : nullptr;
  };
  if (PwdPar* p = numbered("asym", bp.Asym)) return p;
  if (PwdPar* p = numbered("bckg", bp.Bckg)) return p;
  if (name.size() >= 3 && (name[0] == 'q' || name[0] == 'Q')) {
    const auto k = ToInt(name.substr(1, name.size() - 2));
    const size_t c = std::string("xyz").find(static_cast<char>(std::tolower(name.back())));
    const size_t i = k && *k >= 1 ? static_cast<size_t>(*k - 1) * 3 + c : std::string::npos;
    if (c != std::string::npos && i < pp.ModVec.size()) return &pp.ModVec[i];
  }
  PwdPhaseData d;
  d.Sym = Struct.Basic.Phase[static_cast<size_t>(iph - 1)].Symmetry;
  for (size_t k = 0; k < 6; ++k) d.Cell[k] = pp.Cell[k].V;
  PwdBroadFromM41(m, iph, kpwd, d, pp);
  for (int k = 0; k < PwdBroadCount(d.Broad); ++k)
    if (EqIgnoreCase(name, PwdBroadName(d.Broad, k))) return PwdBroadPar(pp, k);
  return nullptr;
}

// "Edit profile" (".Edit->Profile"): lines "block K" and "phase P" choose
// the data block and phase (1 and 1 at first); a powder keyword with its
// values goes into the phase's section of the header; "NAME value [key]" sets
// a profile parameter (ProfilePar) and, with a key, its refinement key.
int EditProfile(TarnToolCall& c) {
  c.Error = 1;
  const std::string m41 = Sess.fln + ".m41";
  PwdM41 m;
  ErrorRecord err;
  SetBasicM41(m);
  if (!FeFileExists(m41) || iom41(0, m41, m, err)) {
    if (FeFileExists(m41)) ListErr(err);
    else Listing(pwdmsg::NoM41);
    return NextNothing;
  }
  int kpwd = 1, iph = 1;
  for (const auto& it : c.Items) {
    const auto w = SplitWords(it.Text);
    long long n = -1;  // the first word as a number (-1: none)
    if (!w.empty())
      if (const auto v = ToInt(w[0])) n = *v;
    if (EqIgnoreCase(it.Name, "block") || EqIgnoreCase(it.Name, "phase")) {
      const size_t lim = EqIgnoreCase(it.Name, "block") ? m.Blocks.size() : Struct.Basic.Phase.size();
      if (n < 1 || static_cast<size_t>(n) > lim) {
        c.Bad = it.Line;
        return NextNothing;
      }
      (EqIgnoreCase(it.Name, "block") ? kpwd : iph) = static_cast<int>(n);
      continue;
    }
    if (kpwd > static_cast<int>(m.Blocks.size()) ||
        iph > static_cast<int>(m.Blocks[static_cast<size_t>(kpwd - 1)].Phase.size())) {
      Listing(pwdmsg::NotPerformed);
      return NextNothing;
    }
    bool keyword = false;
    for (const char* k : kPwdKeywords) keyword = keyword || EqIgnoreCase(k, it.Name);
    if (keyword) {
      m.Set(it.Name, w, iph);
      continue;
    }
    PwdPar* p = ProfilePar(m, kpwd, iph, it.Name);
    const auto v = w.empty() ? std::nullopt : ToReal(w[0]);
    const auto key = w.size() > 1 ? ToInt(w[1]) : std::nullopt;
    if (p == nullptr || !v || w.size() > 2 || (w.size() == 2 && !key)) {
      c.Bad = it.Line;
      return NextNothing;
    }
    p->V = *v;
    if (key) p->Key = *key != 0 ? 1 : 0;
  }
  if (Sess.StructureLocked) return NextNothing;
  if (iom41(1, m41, m, err)) {
    ListErr(err);
    return NextNothing;
  }
  c.Error = 0;
  return NextNothing;
}

// "Run le Bail wizard" (".run->lebail wizard"): optional lines "known 0|1"
// (use in the decomposition the structure of the phases already known:
// "uklebail" of every phase) and "cycles N"; then the Le Bail run.
int LeBailWizard(TarnToolCall& c) {
  c.Error = 1;
  const std::string m41 = Sess.fln + ".m41";
  PwdM41 m;
  ErrorRecord err;
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> refl;
  if (ReadPowderFiles(m, blocks, refl)) return NextNothing;
  TarnToolCall run;
  for (const auto& it : c.Items) {
    const auto w = SplitWords(it.Text);
    const auto n = w.size() == 1 ? ToInt(w[0]) : std::nullopt;
    if (!n || *n < 0 || !(EqIgnoreCase(it.Name, "known") || EqIgnoreCase(it.Name, "cycles"))) {
      c.Bad = it.Line;
      return NextNothing;
    }
    if (EqIgnoreCase(it.Name, "cycles")) {
      run.Items.push_back(it);
      continue;
    }
    for (size_t ph = 0; ph < Struct.Basic.Phase.size(); ++ph) m.Set("uklebail", {*n ? "1" : "0"}, static_cast<int>(ph + 1));
  }
  if (!Sess.StructureLocked && iom41(1, m41, m, err)) {
    ListErr(err);
    return NextNothing;
  }
  (void)RunLeBail(run);
  c.Error = run.Error;
  return NextNothing;
}

// "Make Williamson-Hall analysis": beta cos(theta) against 4 sin(theta) of
// the widths of M41 for every phase of every constant-wavelength powder block.
int WilliamsonHall(TarnToolCall& c) {
  c.Error = 1;
  PwdM41 m;
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> refl;
  if (ReadPowderFiles(m, blocks, refl)) return NextNothing;
  std::vector<TarnPlotJob> jobs;
  int kpwd = 0;
  for (size_t k = 0; k < blocks.size(); ++k) {
    if (blocks[k].PwdMethod <= 0) continue;
    if (++kpwd > static_cast<int>(m.Blocks.size())) break;
    PwdPatternData p;
    ErrorRecord err;
    if (PwdPatternFromBlock(blocks[k], refl[k], m, kpwd, Struct.Basic.Phase, p) || p.Tof) continue;
    if (PwdGenerateRefl(p, err)) {
      ListErr(err);
      return NextNothing;
    }
    for (size_t ph = 0; ph < p.Phases.size(); ++ph) {
      const PwdWhResult w = PwdWilliamsonHall(p, static_cast<int>(ph));
      Listing(fmt::format(fmt::runtime(pwdmsg::WhHead), kpwd, ph + 1));
      Listing("     h   k   l    4 sin(th)   beta cos(th)");
      for (const auto& q : w.Points)
        Listing(fmt::format("  {:4d}{:4d}{:4d} {:12.6f} {:14.8f}", q.H[0], q.H[1], q.H[2], q.X, q.Y));
      auto val = [](double v, double su) { return su > 0. ? RoundESD(v, su) : fmt::format("{:.6g}", v); };
      Listing(fmt::format(fmt::runtime(pwdmsg::WhLine), val(w.Strain, w.StrainSu), val(w.Intercept, w.InterceptSu),
                          w.Size > 0. ? val(w.Size, w.SizeSu) + " A" : std::string("-")));
      PlotDesc d;
      d.Title = fmt::format("{}: Williamson-Hall, powder block {}, phase {}", TarnStructureName(), kpwd, ph + 1);
      d.XLabel = "4 sin(theta)", d.YLabel = "beta cos(theta) (rad)";
      PlotSeries pts{"reflections", {}, {}, PlotStyle::Points, "red"};
      pts.PointSize = 1.;
      for (const auto& q : w.Points) pts.X.push_back(q.X), pts.Y.push_back(q.Y);
      PlotSeries line{"strain x + K lambda / size", {}, {}, PlotStyle::Lines, "black"};
      for (double x : {0., pts.X.empty() ? 4. : pts.X.back()}) line.X.push_back(x), line.Y.push_back(w.Strain * x + w.Intercept);
      d.Series = {pts, line};
      jobs.push_back({d, kpwd == 1 && ph == 0 ? Sess.fln + "_wh" : fmt::format("{}_wh{}_{}", Sess.fln, kpwd, ph + 1)});
    }
  }
  (void)TarnWritePlots(jobs);
  c.Error = 0;
  return NextNothing;
}

}  // namespace

void RegisterPowderTools() {
  TarnSetTool(ActWilliamsonHall, &WilliamsonHall);
  TarnSetTool(ActEditProfile, &EditProfile);
  TarnSetTool(ActLeBailWizard, &LeBailWizard);
  TarnSetTool(HookBatchPowderImport, &ImportPowder);
  TarnSetTool(HookBatchEditPwdKeys, &EditPwdKeys);
  TarnSetTool(ActLeBail, &RunLeBail);
  TarnSetTool(ActExportInstprm, &ExportInstprm);
}

}  // namespace tarn
