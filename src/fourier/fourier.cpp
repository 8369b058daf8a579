// The Fourier tool: preparation (commands, reflections, grid, coefficients),
// the summation with its progress window, the map file, the listing and the
// peak search.
#include "fourier/fourier.hpp"

#include <fmt/format.h>

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "fourier/foupeaks.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/session.hpp"
#include "refine/calc.hpp"
#include "refine/refine.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"
#include "util/real_text.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr std::string_view kAxisNames[6] = {"x", "y", "z", "x4", "x5", "x6"};
constexpr double kNotGiven = -330.;
constexpr long long kMaxMapPoints = 1LL << 28;  // 1 GiB of single-precision values

int Fail(FouRunResult& run, std::vector<std::string> lines) {
  for (const auto& l : lines) run.Listing.push_back(l);
  ReportError(std::string(foumsg::Header), lines);
  return 1;
}

// Numbers of listings: fixed with 4 decimals, trailing zeros removed.
std::string Num(double v) {
  std::string s = fmt::format("{:.4f}", v);
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

int NextPow2(int n) {
  int p = 2;
  while (p < n) p *= 2;
  return p;
}

// Reflections of the coefficient file for one phase (1-based); 1 after the
// message when the file or the phase's block cannot be read.
int ReadM80Text(const Structure& st, const std::string& path, const std::string& text, int phase,
                std::vector<FouRefl>& out, FouRunResult& run) {
  const PhaseBasic& ph = st.Basic.Phase[static_cast<size_t>(phase - 1)];
  const bool phases = st.Basic.Phase.size() > 1;
  auto lines = SplitOn(text, "\n");
  size_t k = 0;
  if (phases) {
    for (; k < lines.size(); ++k) {
      auto w = SplitWords(lines[k]);
      if (w.size() == 2 && EqIgnoreCase(w[0], ph.Name) && EqIgnoreCase(w[1], "begin")) break;
    }
    if (k == lines.size())
      return Fail(run, {"The m80 file for " + ph.Name + " has not been prepared."});
    ++k;
  }
  for (; k < lines.size(); ++k) {
    if (Trim(lines[k]).empty()) continue;
    auto w = SplitWords(lines[k]);
    if (phases && w.size() == 2 && EqIgnoreCase(w[1], "begin")) break;
    RefM80Rec r;
    if (RefM80Parse(lines[k], ph.NDim, r))
      return Fail(run, {fmt::format("file {}, line {}: a reflection record expected", path, k + 1),
                        lines[k]});
    FouRefl f;
    f.H = r.H;
    f.Block = r.Block;
    f.Fo = r.Fo;
    f.SigFo = r.SigFo;
    f.FoTw = r.FoTw;
    f.SigFoTw = r.SigFoTw;
    f.Fc = r.Fc;
    f.A = r.A;
    f.B = r.B;
    f.SinThL = r.SinThL;
    out.push_back(f);
  }
  return 0;
}

int ReadM80(const Structure& st, const std::string& path, int phase, std::vector<FouRefl>& out,
            FouRunResult& run) {
  std::string text;
  if (FeReadFile(path, text))
    return Fail(run,
                {"The file \"" + path + "\" does not exist or ", "cannot be properly opened."});
  return ReadM80Text(st, path, text, phase, out, run);
}

// Reflections of M90 for the Patterson map without a coefficient file.
int ReadM90Refl(const Structure& st, const std::string& path, int phase, std::vector<FouRefl>& out,
                FouRunResult& run) {
  std::vector<M90Block> blocks;
  std::vector<std::vector<M90Refl>> refl;
  if (ReadM90File(path, blocks, refl))
    return Fail(run,
                {"The file \"" + path + "\" does not exist or ", "cannot be properly opened."});
  const PhaseBasic& ph = st.Basic.Phase[static_cast<size_t>(phase - 1)];
  for (size_t b = 0; b < refl.size(); ++b)
    for (const auto& r : refl[b]) {
      if (r.ICull != 0) continue;
      FouRefl f;
      for (int i = 0; i < ph.NDim; ++i) f.H[i] = r.H[i];
      f.Block = static_cast<int>(b) + 1;
      f.Fo = f.FoTw = std::sqrt(std::max(r.I, 0.));
      f.SigFo = f.SigFoTw = f.Fo > 0. ? r.SigI / (2. * f.Fo) : r.SigI;
      f.SinThL = RefSinThL(ph, f.H.data(), ph.NDim);
      out.push_back(f);
    }
  return 0;
}

// Sum over the atom types of the cell of (count x f(s)), taken as |f0 + f', f''|.
double CellScattering(const Structure& st, int phase, int block, double s) {
  const PhaseBasic& ph = st.Basic.Phase[static_cast<size_t>(phase - 1)];
  const double z = ph.UnitsNumb;
  double re = 0., im = 0.;
  for (size_t t = 0; t < ph.AtType.size(); ++t) {
    const double n = ph.AtTypeData[t].Formula.value_or(0.) * z;
    if (n <= 0.) continue;
    CalcFormF ff;
    std::string msg;
    if (CalcMakeFormF(st.Basic, phase - 1, static_cast<int>(t), block - 1, ff, msg)) continue;
    double f = 0., fpp = 0.;
    GetDFormF(ff, s, f, fpp);
    re += n * f;
    im += n * fpp;
  }
  return std::hypot(re, im);
}

// Main scale of a data block (1-based) of the model; 1 when it has none.
double BlockScale(const Structure& st, int block) {
  if (block < 1 || block > static_cast<int>(st.Model.DatBlock.size())) return 1.;
  const auto& s = st.Model.DatBlock[static_cast<size_t>(block - 1)].Scale.Val;
  return !s.empty() && s[0] > 0. ? s[0] : 1.;
}

// The centre of the box from the "center" text: atom names (mean position)
// or three coordinates (atoms of the composite part mapped, in its basis).
int FindCenter(const Structure& st, int phase, int part, std::array<double, 3>& c,
               FouRunResult& run) {
  const auto w = SplitWords(run.Set.Center);
  if (w.size() == 3 && ToReal(w[0]) && ToReal(w[1]) && ToReal(w[2])) {
    for (int i = 0; i < 3; ++i) c[i] = *ToReal(w[static_cast<size_t>(i)]);
    return 0;
  }
  c = {0., 0., 0.};
  for (const auto& name : w) {
    if (name.size() > 8 || name.find_first_of("#,()") != std::string::npos)
      return Fail(run, {"Atom " + name + " isn't correct."});
    const AtomRec* found = nullptr;
    for (const auto& a : st.Model.Atom)
      if (a.Phase == phase && a.Part == part && EqIgnoreCase(a.Name, name)) found = &a;
    if (!found) return Fail(run, {"Atom " + name + " isn't on the file M40"});
    for (int i = 0; i < 3; ++i) c[i] += found->Par.Val[static_cast<size_t>(1 + i)];
  }
  for (double& v : c) v /= static_cast<double>(w.size());
  return 0;
}

// The unique coefficients of map type `type` from the reflections of phase
// `phase` of st, in the axis order of g (selection, twin correction, absolute
// scale, weighting, sharpening, the indices into the basis of the composite
// part, symmetry expansion with the part's operators and volume). 1 when no
// reflection is left.
int MakeCoef(const Structure& st, int phase, const FouPart& part, int type,
             const std::vector<FouRefl>& refl, const FouGrid& g, const FouSettings& fs,
             std::vector<FouCoef>& coef, int& nUsed, bool& sat) {
  const PhaseBasic& ph = part.Phase;
  const bool twinned = st.Basic.Twin.size() > 1;
  const int tmethod = fs.I(FkTMethod);
  const double snlmn = fs.R(FkSnlMn), snlmx = fs.R(FkSnlMx), cutting = fs.R(FkCutting);
  const double bmap = fs.R(FkBIso) + 8. * kPi * kPi * fs.R(FkUIso);
  const bool patterson = type == MapPatterson || type == MapPattersonCalc ||
                         type == MapPattersonDiff || type == MapShape;
  double kZero = 0., bOverall = 1.;
  if (patterson) kZero = CellScattering(st, phase, 1, 0.);
  std::vector<FouRefl> used;
  std::vector<FouRawCoef> raw;
  for (const auto& r : refl) {
    if (!fs.DatBlocks.empty() &&
        std::find(fs.DatBlocks.begin(), fs.DatBlocks.end(), r.Block) == fs.DatBlocks.end())
      continue;
    double fo = r.FoTw, sig = r.SigFoTw;
    if (twinned && tmethod == 1 && r.FoTw > 0.) {
      // By difference: Fo^2 less the other domains' share, sum Fc^2 - Fc(ref)^2.
      const double fcAll = r.Fc * r.Fo / r.FoTw;
      fo = std::sqrt(std::max(r.Fo * r.Fo - (fcAll * fcAll - r.Fc * r.Fc), 0.));
      sig = r.SigFo;
    }
    if (cutting > 0. && cutting * r.Fc < fo) continue;
    if (r.SinThL < snlmn || r.SinThL > snlmx) continue;
    // The coefficient file is on the scale of the observations: the map is put
    // on the absolute scale (electrons) by the data block's main scale.
    const double k = BlockScale(st, r.Block);
    FouRefl ra = r;
    ra.Fc /= k;
    ra.A /= k;
    ra.B /= k;
    FouRawCoef c = FouCoefOf(type, fo / k, sig / k, ra);
    if (fs.I(FkWeight) == 1) {
      const double w = FouWeight(c.Mag, c.Sig);
      c.Re *= w;
      c.Im *= w;
    }
    if (patterson && kZero > 0.) {
      const double f =
          CellScattering(st, phase, r.Block, r.SinThL) * std::exp(-bOverall * r.SinThL * r.SinThL);
      if (f > 0.) c.Re *= (kZero / f) * (kZero / f);
    }
    if (bmap != 0.) {
      const double t = std::exp(-bmap * r.SinThL * r.SinThL);
      c.Re *= t;
      c.Im *= t;
    }
    used.push_back(r);
    FouPartIndices(part, ph.NDim, used.back().H);  // into the part's basis
    raw.push_back(c);
  }
  if (used.empty()) return 1;
  nUsed = static_cast<int>(used.size());
  coef = FouExpand(used, raw, ph.Symmetry, g, ph.CellVol, patterson, sat);
  return 0;
}

// The M50 text with "cycles 0" and "callfour 0" at the end of its refine
// block (a block is added when there is none): a run that only computes the
// structure factors of the model and writes the coefficient file.
std::string WithoutCycles(const std::string& m50) {
  const auto lines = SplitOn(m50, "\n");
  std::string out;
  bool inRefine = false, done = false, blocks = false;
  for (const auto& l : lines) {
    const auto w = SplitWords(l);
    if (IsKeySeparator(l)) blocks = true;
    if (blocks && !w.empty() && EqIgnoreCase(w[0], "refine")) inRefine = true;
    if (inRefine && w.size() >= 2 && EqIgnoreCase(w[0], "end") && EqIgnoreCase(w[1], "refine")) {
      out += "  cycles 0\n  callfour 0\n";
      inRefine = false;
      done = true;
    }
    out += l + "\n";
  }
  while (out.size() > 1 && out[out.size() - 1] == '\n' && out[out.size() - 2] == '\n')
    out.pop_back();
  if (!done) {
    if (!blocks) out += KeySeparator + "\n";
    out += "refine\n  cycles 0\n  callfour 0\nend refine\n";
  }
  return out;
}

// The coefficient file of a reference structure that has none: a refinement
// run without cycles on a copy of its M50, M40 and M90 in a scratch folder,
// whose ".m80" is returned in m80. The reference's own files, the open
// structure and the session are left as they were.
int RefineReference(const std::string& ref, std::string& m80, FouRunResult& run) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tarn-ref-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) return Fail(run, {"No scratch folder for the reference refinement."});
  const std::string dir = tmpl;
  std::string dname, name;
  FeSplitPath(ref, dname, name);
  const std::string copy = dir + "/" + name;
  std::string m50;
  int rc = FeReadFile(ref + ".m50", m50) || FeWriteFileAtomic(copy + ".m50", WithoutCycles(m50)) ||
           FeCopyFile(ref + ".m40", copy + ".m40") || FeCopyFile(ref + ".m90", copy + ".m90");
  if (rc) {
    rc = Fail(run, {"The files of the reference structure " + ref + " could not be copied."});
  } else {
    const Structure savedStruct = Struct;
    const Session savedSess = Sess;
    Sess.fln = copy;
    std::vector<std::string> listing;
    RefRunSummary summary;
    rc = RefineRun(copy, listing, summary);
    Struct = savedStruct;
    Sess = savedSess;
    if (rc || FeReadFile(copy + ".m80", m80))
      rc = Fail(run, {"The refinement of the reference structure " + ref + " failed."});
    else
      run.Listing.push_back("The reference structure " + ref +
                            " had no coefficient file: it was computed by a refinement run "
                            "without cycles.");
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return rc;
}

// Map type 10: the F(obs) map of the reference structure (its M50, M40 and
// coefficient file) on the grid of the current map, subtracted from it.
int SubtractReference(const std::string& fln, int phase, FouRunResult& run) {
  std::string ref = std::string(Trim(run.Set.RefStr));
  for (const char* ext : {".m50", ".m40", ".m80"})
    if (ref.size() > 4 && EqIgnoreCase(ref.substr(ref.size() - 4), ext)) ref = FeStripExt(ref);
  if (ref[0] != '/') {
    std::string dir, name;
    FeSplitPath(fln, dir, name);
    ref = dir + ref;
  }
  Structure rs;
  std::string text;
  if (FeReadFile(ref + ".m50", text) || ReadM50Text(text, ref + ".m50", rs.Basic) ||
      SetBasicM50(rs.Basic))
    return Fail(run,
                {"The file \"" + ref + ".m50\" does not exist or ", "cannot be properly opened."});
  if (FeReadFile(ref + ".m40", text) || M40ReadText(text, ref + ".m40", rs.Model))
    return Fail(run,
                {"The file \"" + ref + ".m40\" does not exist or ", "cannot be properly opened."});
  SetBasicM40(rs.Model);
  // Without its coefficient file the reference is refined first (M90 needed).
  std::string m80;
  if (!FeFileExists(ref + ".m80")) {
    if (!FeFileExists(ref + ".m90"))
      return Fail(run, {"The M80 file of the reference structure " + ref +
                            " doesn't exist, first you have to",
                        std::string(foumsg::NoM80b)});
    if (RefineReference(ref, m80, run)) return 1;
  } else if (FeReadFile(ref + ".m80", m80)) {
    return Fail(run,
                {"The file \"" + ref + ".m80\" does not exist or ", "cannot be properly opened."});
  }
  const FouGrid& g = run.Map.Grid;
  if (phase > static_cast<int>(rs.Basic.Phase.size()) ||
      rs.Basic.Phase[static_cast<size_t>(phase - 1)].NDim != g.NDim)
    return Fail(run, {std::string(foumsg::Inconsistent)});
  std::vector<FouRefl> refl;
  if (ReadM80Text(rs, ref + ".m80", m80, phase, refl, run)) return 1;
  FouPart part;
  std::string why;
  if (FouPartPhase(rs.Basic.Phase[static_cast<size_t>(phase - 1)], run.Part.Part, part, why))
    return Fail(run, {std::string(foumsg::Inconsistent), why});
  std::vector<FouCoef> coef;
  int used = 0;
  bool sat = false;
  if (MakeCoef(rs, phase, part, MapDiffRef, refl, g, run.Set, coef, used, sat))
    return Fail(run, {std::string(foumsg::NoCoef)});
  // On FFT axes the reference's indices must fit the transform lengths.
  if (g.Fft)
    for (const auto& c : coef)
      for (int m = 0; m < 2; ++m)
        if (2 * std::abs(c.H[m]) + 1 > g.N[m])
          return Fail(run, {std::string(foumsg::Inconsistent)});
  FouMap rm;
  if (FouSynthesis(g, coef, rm)) return 1;
  for (size_t k = 0; k < run.Map.Rho.size(); ++k) run.Map.Rho[k] -= rm.Rho[k];
  FouMapStats(run.Map);
  run.Listing.push_back(fmt::format("Reference structure : {}, reflections used : {}", ref, used));
  return 0;
}

// Difference maps: where the maximum and the minimum of the grid stand, with
// their nearest atoms (when map axes 1-3 are x, y, z).
void ListExtremes(const Structure& st, int phase, FouRunResult& run) {
  const FouMap& m = run.Map;
  const FouGrid& g = m.Grid;
  if (m.Rho.empty() || g.Order[0] > 3 || g.Order[1] > 3 || g.Order[2] > 3) return;
  for (const bool max : {true, false}) {
    const auto it = max ? std::max_element(m.Rho.begin(), m.Rho.end())
                        : std::min_element(m.Rho.begin(), m.Rho.end());
    long long k = it - m.Rho.begin();
    FouPeak p;
    std::string at;
    for (int a = 0; a < g.NDim; ++a) {
      const double x = g.X(a, static_cast<int>(k % g.N[a]));
      k /= g.N[a];
      if (a < 3)
        p.X[static_cast<size_t>(g.Order[a] - 1)] = x;
      else
        at += " " + Num(x);
    }
    DistForOneAtom(st, phase, run.Part, p);
    std::string line = fmt::format("{} at {} {} {}{}", max ? "Maximum" : "Minimum", Num(p.X[0]),
                                   Num(p.X[1]), Num(p.X[2]), at);
    if (p.Dist >= 0.) line += fmt::format(", nearest atom {} at {:.3f} A", p.Atom, p.Dist);
    run.Listing.push_back(line);
  }
}

// The summation with its progress window; 1 when the user cancelled it.
int Summation(FouRunResult& run) {
  Report().ProgressBegin(std::string(foumsg::Progress));
  auto cancel = [] {
    const ReportPoll p = Report().ProgressPoll();
    if (p.Request != ReportRequest::Cancel) return false;
    return p.Confirmed ||
           ReportAsk(std::string(foumsg::Header), {std::string(foumsg::CancelAsk)}, true);
  };
  FouMap map = run.Map;
  const int rc = FouSynthesis(run.Map.Grid, run.Coef, map, cancel);
  Report().ProgressEnd();
  if (rc) {
    run.Listing.push_back("The Fourier summation was cancelled.");
    return 1;
  }
  run.Map = std::move(map);
  return 0;
}

// The preparation after the command values in run.Set are known.
int PrelimWith(const Structure& st, const std::string& fln, int phase, FouRunResult& run) {
  const int n = st.Basic.Phase[static_cast<size_t>(phase - 1)].NDim;
  const int ncomp = std::max(st.Basic.Phase[static_cast<size_t>(phase - 1)].NComp, 1);
  run.Set.Table.SetInt(FkSubsys, n < 4 ? 1 : std::clamp(run.Set.I(FkSubsys), 1, ncomp));
  {
    std::string why;
    if (FouPartPhase(st.Basic.Phase[static_cast<size_t>(phase - 1)], run.Set.I(FkSubsys),
                     run.Part, why))
      return Fail(run, {why});
  }
  // The map of a composite part lives in the part's basis: its cell, its symmetry.
  const PhaseBasic& ph = run.Part.Phase;
  const int type = run.Set.I(FkMapType);
  if (type < 1 || type > MapDiffRef) return Fail(run, {std::string(foumsg::WrongMapType)});
  if (type == MapMultDyn || type == MapMultStat) return Fail(run, {std::string(foumsg::Multipole)});
  if (type == MapDiffRef && Trim(run.Set.RefStr).empty())
    return Fail(run, {"The reference structure (\"refstr\") is not given."});

  // Reflections.
  std::vector<FouRefl> refl;
  if (FeFileExists(fln + ".m80")) {
    if (ReadM80(st, fln + ".m80", phase, refl, run)) return 1;
  } else if (type == MapPatterson) {
    if (ReadM90Refl(st, fln + ".m90", phase, refl, run)) return 1;
  } else {
    return Fail(run, {std::string(foumsg::NoM80a), std::string(foumsg::NoM80b)});
  }
  if (!(run.Set.R(FkStep) > 0.)) run.Set.Table.SetReal(FkStep, 0.25);
  if (!(run.Set.R(FkSnlMx) > 0.)) run.Set.Table.SetReal(FkSnlMx, 10.);
  const double step = run.Set.R(FkStep);

  // Limits in cell axis order.
  FouGrid g;
  g.NDim = n;
  if (FouSetOrder(run.Set.I(FkOrient), n, g.Order))
    return Fail(run, {std::string(foumsg::WrongOrient)});
  std::array<double, 6> lo{}, hi{}, dx{1, 1, 1, 1, 1, 1};
  std::array<bool, 6> fixed{};  // axis set by the centre: no further rules
  if (run.Set.HasCenter()) {
    std::array<double, 3> c{};
    if (FindCenter(st, phase, run.Part.Part, c, run)) return 1;
    for (int i = 0; i < 3; ++i) {
      const int k = static_cast<int>(std::lround(0.5 * run.Set.Scope[i] / step));
      dx[i] = k == 0 ? 1. : step / ph.Cell[i];
      lo[i] = c[i] - k * dx[i];
      hi[i] = c[i] + k * dx[i];
      fixed[i] = true;
    }
  }
  std::array<double, 3> dlo{}, dhi{};
  FouDefLimits(ph.Symmetry, dlo, dhi);
  for (int i = 0; i < n; ++i) {
    if (fixed[i]) continue;
    if (run.Set.LimMin[i] < kNotGiven) {
      lo[i] = i < 3 ? dlo[i] : 0.;
      hi[i] = i < 3 ? dhi[i] : 1.;
    } else {
      lo[i] = run.Set.LimMin[i];
      hi[i] = run.Set.LimMax[i];
    }
    if (!(hi[i] > lo[i]))
      return Fail(run, {std::string(foumsg::BadLimits) + std::string(kAxisNames[i])});
    if (i < 3) {
      const int k = std::max(1, static_cast<int>(std::lround((hi[i] - lo[i]) * ph.Cell[i] / step)));
      dx[i] = (hi[i] - lo[i]) / k;
    } else {
      dx[i] = run.Set.LimMin[i] > kNotGiven && run.Set.LimStep[i] > 0. && run.Set.LimStep[i] < 1.
                  ? run.Set.LimStep[i]
                  : 0.1;
    }
    if (run.Set.I(FkAddBord) == 1) {
      if (i < 3) {
        lo[i] -= dx[i];
        hi[i] += dx[i];
      }
    } else {
      hi[i] -= dx[i];
    }
  }
  for (int m = 0; m < n; ++m) {
    const int c = g.Order[m] - 1;
    g.XMin[m] = lo[c];
    g.XMax[m] = hi[c];
    g.Dx[m] = dx[c];
    g.N[m] = std::max(1, static_cast<int>(std::lround((hi[c] - lo[c]) / dx[c])) + 1);
  }

  // Coefficients.
  bool sat = false;
  if (MakeCoef(st, phase, run.Part, type, refl, g, run.Set, run.Coef, run.NRefl, sat))
    return Fail(run, {std::string(foumsg::NoCoef)});
  run.Map.Satellites = sat;
  const bool twinned = st.Basic.Twin.size() > 1;
  const int tmethod = run.Set.I(FkTMethod);

  // FFT: map axes 1 and 2 (and a real-space axis 3) cover the whole period
  // with power-of-two lengths; axes 1 and 2 hold at least 2 hmax + 1 points.
  if (run.Set.I(FkCMethod) == FouCMethodFFT) {
    g.Fft = true;
    std::array<int, 6> hmax{};
    for (const auto& c : run.Coef)
      for (int i = 0; i < n; ++i) hmax[i] = std::max(hmax[i], std::abs(c.H[i]));
    for (int m = 0; m < std::min(n, 3); ++m) {
      if (m == 2 && g.Order[m] > 3) break;
      int np = NextPow2(static_cast<int>(std::lround(1. / g.Dx[m])));
      if (m < 2)
        while (np < 2 * hmax[m] + 1) np *= 2;
      g.N[m] = np;
      g.Dx[m] = 1. / np;
      g.XMin[m] = 0.;
      g.XMax[m] = 1. - 1. / np;
    }
  }
  if (g.Points() > kMaxMapPoints)
    return Fail(run, {fmt::format("The map would hold {} points; the limit is {}.", g.Points(),
                                  kMaxMapPoints),
                      "Choose a larger step or smaller limits."});
  run.Map.Grid = g;
  run.Map.MapType = type;
  run.Map.Code = 10 * (phase - 1) + run.Set.I(FkSubsys);
  FouDefaultPeaks(st, phase, type, run.Set);

  // Listing.
  run.Listing.push_back("");
  run.Listing.push_back(std::string(foumsg::TypeOfMap) + FouMapTitle(type, run.Set.RefStr));
  run.Listing.push_back(std::string(foumsg::WillPerform) +
                        (g.Fft ? " " + std::string(foumsg::ByFft) : std::string(foumsg::ByBL)));
  if (type == MapDiffRef)
    run.Listing.push_back(std::string(foumsg::RefDiff) + " " + run.Set.RefStr);
  if (twinned)
    run.Listing.push_back(std::string(foumsg::Twinned) + " " +
                          std::string(tmethod == 1 ? foumsg::TwinSub : foumsg::TwinRatio));
  if (ncomp > 1)
    run.Listing.push_back(fmt::format(
        "Composite part : {}, its cell : {} {} {} {} {} {}", run.Part.Part, Num(ph.Cell[0]),
        Num(ph.Cell[1]), Num(ph.Cell[2]), Num(ph.Cell[3]), Num(ph.Cell[4]), Num(ph.Cell[5])));
  run.Listing.push_back(
      fmt::format("Reflections used : {}, unique coefficients : {}", run.NRefl, run.Coef.size()));
  for (int m = 0; m < n; ++m)
    run.Listing.push_back(fmt::format(
        "Map axis {} : {:<2}  from {:>8} to {:>8} step {:>8}  points {}", m + 1,
        kAxisNames[g.Order[m] - 1], Num(g.XMin[m]), Num(g.XMax[m]), Num(g.Dx[m]), g.N[m]));
  return 0;
}

}  // namespace

int FouPrelim(const Structure& st, const std::string& fln, int phase, FouRunResult& run) {
  run.Listing.push_back(
      fmt::format("{} {} - Fourier synthesis of {}", Sess.ProgramName, Sess.Version, fln));
  run.Listing.push_back(std::string(foumsg::Heading));
  if (st.Basic.Phase.empty() || st.Model.Phase.empty())
    return Fail(run, {std::string(foumsg::BadM40)});
  phase = std::clamp(phase, 1, static_cast<int>(st.Basic.Phase.size()));
  DefaultFourier(run.Set);
  int err = 0;
  NactiFourier(fln, run.Set, err, &run.Listing);
  if (err) return Fail(run, {"The \"fourier\" block of " + fln + ".m50 could not be read."});
  return PrelimWith(st, fln, phase, run);
}

int FouResidualDensity(const Structure& st, const std::string& fln, int phase,
                       std::array<double, 3>& rho) {
  if (st.Basic.Phase.empty() || st.Model.Phase.empty() || !FeFileExists(fln + ".m80")) return 1;
  phase = std::clamp(phase, 1, static_cast<int>(st.Basic.Phase.size()));
  FouRunResult run;
  DefaultFourier(run.Set);
  KeyTable& t = run.Set.Table;
  t.SetInt(FkMapType, MapDiff);
  t.SetInt(FkWeight, 0);
  t.SetInt(FkCMethod, FouCMethodFFT);
  t.SetInt(FkPeaks, 0);
  t.SetReal(FkStep, FouReportStep);
  for (int i = 0; i < 3; ++i) {
    run.Set.LimMin[static_cast<size_t>(i)] = 0.;
    run.Set.LimMax[static_cast<size_t>(i)] = 1.;
  }
  if (PrelimWith(st, fln, phase, run)) return 1;
  FouMap map;
  if (FouSynthesis(run.Map.Grid, run.Coef, map)) return 1;
  rho = {map.Max, map.Min, map.Rms};
  return 0;
}

int Fourier(Structure& st, const std::string& fln, int phase) {
  FouRunResult run;
  return Fourier(st, fln, phase, run);
}

int Fourier(Structure& st, const std::string& fln, int phase, FouRunResult& run) {
  run = FouRunResult{};
  int rc = FouPrelim(st, fln, phase, run);
  if (rc == 0) rc = Summation(run);
  if (rc == 0 && run.Map.MapType == MapDiffRef) rc = SubtractReference(fln, phase, run);
  if (rc == 0 && FouWriteM81(fln + ".m81", run.Map))
    rc = Fail(run, {"The file " + fln + ".m81 could not be written."});
  if (rc == 0) {
    const std::string line = std::string(foumsg::MaxDensity) + Num(run.Map.Max) +
                             std::string(foumsg::MinDensity) + Num(run.Map.Min);
    run.Listing.push_back("");
    run.Listing.push_back(line);
    run.Listing.push_back("rms density : " + Num(run.Map.Rms));
    if (run.Map.MapType == MapDiff || run.Map.MapType == MapDiffRef) ListExtremes(st, phase, run);
  }
  if (rc == 0 && run.Set.I(FkPeaks) == 1 && run.Map.MapType != MapDiffRef)
    rc = FouPeaks(st, fln, phase, run);
  std::string text;
  for (const auto& l : run.Listing) text += l + "\n";
  if (FeWriteFileAtomic(fln + ".fou", text)) rc = 1;
  return rc;
}

}  // namespace tarn
