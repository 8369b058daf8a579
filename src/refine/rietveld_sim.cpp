// Simulated powder patterns: Ycalc of the Rietveld model on the points of a
// pattern, counting noise drawn from Poisson distributions, and the new
// powder data block on the files of the structure.
#include "refine/rietveld_sim.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/scatdata.hpp"
#include "model/structure.hpp"
#include "powder/m41.hpp"
#include "refine/constr.hpp"
#include "util/files.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {

int RietSimParse(const std::string& line, RietSimSettings& s, std::string& err) {
  const auto w = SplitWords(line);
  RietSimSettings r = s;
  auto num = [&](size_t i) { return i < w.size() ? ToReal(w[i]) : std::nullopt; };
  for (size_t i = 0; i < w.size();) {
    bool ok = false;
    if (EqIgnoreCase(w[i], "block") || EqIgnoreCase(w[i], "seed")) {
      const auto v = num(i + 1);
      ok = v && *v >= (EqIgnoreCase(w[i], "block") ? 1. : 0.) && *v == std::floor(*v) && *v < 4.e9;
      if (ok) (EqIgnoreCase(w[i], "block") ? r.Block = static_cast<int>(*v) : r.Seed = static_cast<unsigned>(*v));
      i += 2;
    } else if (EqIgnoreCase(w[i], "counts")) {
      const auto v = num(i + 1);
      ok = v && *v > 0.;
      if (ok) r.MaxCounts = *v;
      i += 2;
    } else if (EqIgnoreCase(w[i], "range")) {
      const auto a = num(i + 1), b = num(i + 2), c = num(i + 3);
      ok = a && b && c && *a < *b && *c > 0. && (*b - *a) / *c < 1.e7;
      if (ok) r.From = *a, r.To = *b, r.Step = *c;
      i += 4;
    }
    if (!ok) {
      err = fmt::format(rsimmsg::BadLine, line);
      return 1;
    }
  }
  s = r;
  return 0;
}

int RietSimulate(RietProblem& pr, const CalcSetup& s, const RefParams& p, unsigned seed, double maxCounts) {
  for (auto& t : pr.Pat) {
    if (t.P.Use.size() != t.P.X.size()) PwdMakeSkipFlags(t.P, {});
    PwdSetProfiles(t.P);
    PwdSetBackgroundPoints(t.P);
  }
  if (RietStructureFactors(pr, s, p, false)) return 1;
  RietSetIntensities(pr);
  auto points = [&] {
    for (auto& t : pr.Pat) PwdSetPoints(t.P);
  };
  points();
  if (maxCounts > 0. && !pr.Pat.empty()) {
    const PwdPatternData& q = pr.Pat[0].P;
    double top = 0.;
    for (size_t i = 0; i < q.X.size(); ++i) top = std::max(top, q.Yc[i] - q.Bg[i]);
    if (top > 0.) {
      for (auto& t : pr.Pat)
        for (double& v : t.Scale) v *= maxCounts / top;
      RietSetIntensities(pr);
      points();
    }
  }
  std::mt19937_64 rng(seed);
  for (auto& t : pr.Pat) {
    PwdPatternData& q = t.P;
    q.Yo.resize(q.X.size());
    q.Sig.resize(q.X.size());
    for (size_t i = 0; i < q.X.size(); ++i) {
      const double mean = std::max(q.Yc[i], 0.);
      q.Yo[i] = mean > 0. ? static_cast<double>(std::poisson_distribution<long long>(mean)(rng)) : 0.;
      q.Sig[i] = std::sqrt(std::max(q.Yo[i], 1.));
    }
  }
  return 0;
}

int RietSimulateToFiles(const std::string& fln, const RietSimSettings& ss, std::vector<std::string>& msg) {
  auto fail = [&](const std::string& m) {
    msg.push_back(m);
    return 1;
  };
  if (iom50(M50Read, fln + ".m50") != 0) return fail("The file " + fln + ".m50 cannot be read.");
  if (iom40(M40Read, fln + ".m40") != 0) return fail("The file " + fln + ".m40 cannot be read.");
  if (Struct.Model.Atom.empty()) return fail("The structure has no atoms to simulate from.");
  if (ScatEnsureLoaded() != 0 || EM50ReadAllFormFactors(Struct.Basic) != 0)
    return fail("The scattering factors cannot be read.");
  const std::string noBlock = fmt::format(rsimmsg::NoBlock, ss.Block);
  PwdM41 m;
  ErrorRecord e;
  SetBasicM41(m);
  if (!FeFileExists(fln + ".m41") || !FeFileExists(fln + ".m95")) return fail(noBlock);
  if (iom41(0, fln + ".m41", m, e)) {
    msg = e.Lines();
    return 1;
  }
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> refl;
  if (ReadM95File(fln + ".m95", blocks, refl) != 0) return fail("The file " + fln + ".m95 cannot be read.");
  size_t b = blocks.size();
  int npwd = 0;
  for (size_t i = 0; i < blocks.size(); ++i)
    if (blocks[i].PwdMethod > 0 && ++npwd == ss.Block) b = i;
  if (b == blocks.size() || ss.Block > static_cast<int>(m.Blocks.size())) return fail(noBlock);
  RietPattern t;
  if (RietPatternFromBlock(blocks[b], refl[b], m, ss.Block, t)) return fail(noBlock);
  PwdPatternData& d = t.P;
  const size_t nph = d.Phases.size();
  for (size_t ph = 0; ph < nph; ++ph)
    std::copy(Struct.Basic.Phase[ph].Cell, Struct.Basic.Phase[ph].Cell + 6, d.Phases[ph].Cell.begin());
  if (ss.Step > 0.) {
    d.X.clear();
    for (long i = 0; ss.From + static_cast<double>(i) * ss.Step <= ss.To + 1e-9 * ss.Step; ++i)
      d.X.push_back(ss.From + static_cast<double>(i) * ss.Step);
  }
  d.Yo.assign(d.X.size(), 0.);
  d.Sig.assign(d.X.size(), 1.);
  PwdMakeSkipFlags(d, {});
  ErrorRecord ge;
  if (PwdGenerateRefl(d, ge)) {
    msg = ge.Lines();
    return 1;
  }
  RefParams p;
  RefBuildParams(p);
  CalcSetup cs;
  if (CalcPrepare(cs, p) != 0 || cs.Block.empty()) return fail("The structure factors cannot be prepared.");
  t.Block = static_cast<int>(std::min(b, cs.Block.size() - 1));
  CalcBlock& cb = cs.Block[static_cast<size_t>(t.Block)];
  cb.ScalePar = -1, cb.Scale = 1., cb.ExtType = ExtNone;
  t.Scale = RietStoredScales(Struct.Model, t.Block, nph);
  if (t.Scale.empty()) t.Scale.assign(nph, 1.);
  RietProblem pr;
  pr.Pat.push_back(std::move(t));
  if (RietSimulate(pr, cs, p, ss.Seed, ss.MaxCounts)) return fail("The structure factors of the powder reflections failed.");
  const RietPattern& r = pr.Pat[0];
  // M95: the block's header with the simulated points.
  M95Block nb = blocks[b];
  nb.Name = fmt::format("powder{}", npwd + 1);
  nb.SourceFile = "simulated";
  nb.NRef = static_cast<int>(r.P.X.size());
  std::vector<M95Refl> pts(r.P.X.size());
  for (size_t i = 0; i < pts.size(); ++i) {
    pts[i].No = static_cast<int>(i + 1);
    pts[i].Geom[0] = r.P.X[i];
    pts[i].I = r.P.Yo[i];
    pts[i].SigI = r.P.Sig[i];
  }
  blocks.push_back(nb);
  refl.push_back(std::move(pts));
  const size_t kb = blocks.size();
  // M50 and M40: the data block of the source, the phase scales of the simulation.
  BasicData basic = Struct.Basic;
  DatBlockBasic db = b < basic.DatBlock.size() ? basic.DatBlock[b] : DatBlockBasic{};
  db.Name = nb.Name;
  basic.DatBlock.resize(std::max(basic.DatBlock.size(), kb), db);
  basic.DatBlock[kb - 1] = db;
  AtomModel model = Struct.Model;
  DatBlockModel dm = b < model.DatBlock.size() ? model.DatBlock[b] : DatBlockModel{};
  dm.Scale.resize(static_cast<int>(nph));
  for (size_t ph = 0; ph < nph; ++ph) dm.Scale.Val[ph] = r.Scale[ph], dm.Scale.Sig[ph] = 0.;
  model.DatBlock.resize(std::max(model.DatBlock.size(), kb), dm);
  model.DatBlock[kb - 1] = dm;
  // M41: the instrument and profile of the source block, the model's cells.
  PwdBlockPar bp = m.Blocks[static_cast<size_t>(ss.Block - 1)];
  bp.Name = nb.Name;
  for (size_t ph = 0; ph < bp.Phase.size() && ph < nph; ++ph)
    for (size_t k = 0; k < 6; ++k) bp.Phase[ph].Cell[k].V = Struct.Basic.Phase[ph].Cell[k];
  m.Blocks.insert(m.Blocks.begin() + std::min<std::ptrdiff_t>(npwd, static_cast<std::ptrdiff_t>(m.Blocks.size())), bp);
  PwdSection sec{"datblock", nb.Name, {}};
  for (int n = 0; const auto& s : m.Sections)
    if (s.Kind == "datblock" && ++n == ss.Block) sec.Keys = s.Keys;
  m.Sections.push_back(sec);
  // Written only when everything is ready, each file atomically.
  if (WriteM95File(fln + ".m95", blocks, refl) != 0) return fail("The file " + fln + ".m95 could not be written.");
  std::swap(Struct.Basic, basic);
  std::swap(Struct.Model, model);
  if (iom50(M50Write, fln + ".m50") != 0) return fail("The file " + fln + ".m50 could not be written.");
  if (iom40(M40Write, fln + ".m40") != 0) return fail("The file " + fln + ".m40 could not be written.");
  if (iom41(1, fln + ".m41", m, e)) {
    msg = e.Lines();
    return 1;
  }
  msg.push_back(fmt::format(rsimmsg::Written, r.P.X.size(), fln + ".m95", npwd + 1));
  return 0;
}

}  // namespace tarn
