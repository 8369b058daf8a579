// The space-group test as an action and as the batch command ".run->sgtest".
#include "app/tools/sgtest_tool.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "app/toolkit.hpp"
#include "datared/import.hpp"
#include "datared/sgtest.hpp"
#include "edit/transform.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/session.hpp"
#include "model/spgroup_home.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace sgtool {
constexpr std::string_view Header = "Make space group test";
constexpr std::string_view NoM95a = "Repository file M95 does not exist and";
constexpr std::string_view NoM95b = "therefore the test cannot be made.";
constexpr std::string_view BadMode =
    "The space group test expects \"standard\", \"original\" or \"none\", optionally "
    "followed by \"cell\" and \"twins\": ";
constexpr std::string_view NoPhase = "The structure has no phase.";
constexpr std::string_view FieldTolCell = "Tolerance of cell lengths (Angstrom)";
constexpr std::string_view FieldTolAngle = "Tolerance of cell angles (degrees)";
constexpr std::string_view FieldObs = "Observed when I/sig(I) exceeds";
constexpr std::string_view FieldCentr =
    "Largest ave(I/sig(I)) of reflections absent by the centring";
constexpr std::string_view FieldOther =
    "Largest ave(I/sig(I)) of reflections absent by other elements";
constexpr std::string_view FieldCell =
    "Repeat the test in the cell found by the metric or the X centring (0/1)";
constexpr std::string_view FieldTwins = "Write the suggested twin matrices to M50 (0/1)";
constexpr std::string_view Repeated =
    "The test repeated in the cell with axes {} ({:.4f} {:.4f} {:.4f} {:.2f} {:.2f} {:.2f}, {}):";
constexpr std::string_view Dropped =
    "{} reflections without integral indices in that cell (absent by the X centring) left out";
constexpr std::string_view NoCellMod =
    "The test is not repeated in another cell for modulated data.";
constexpr std::string_view PowderNotUsed =
    "Powder data blocks of M95 are not used by the space group test ({} block(s) left out).";
constexpr std::string_view TwinsWritten = "Twin matrices written to M50: {} domains";
constexpr std::string_view TwinsNoM40 =
    "The twin matrices are not written: the structure has no M40 for the twin fractions.";
constexpr std::string_view BadField = "Expected a non-negative number: ";
constexpr std::string_view PageCandidates =
    "Space group candidates (symbol, number, #obs/#all, ave(I/sig(I)), FOM)";
constexpr std::string_view PageSetting = "Accept the space group in";
constexpr std::string_view Standard = "the standard setting";
constexpr std::string_view Original = "the cell of the data";
constexpr std::string_view Accepted = "Accepted space group: {} ({})";
constexpr std::string_view Transformed =
    "Transformed into the standard setting: new axes (columns) {} {} {} / {} {} {} / {} {} {}, "
    "origin {} {} {}";
constexpr std::string_view NoIntegral =
    "A reflection of M95 has no integral indices in the standard setting.";
constexpr std::string_view NotRewritten = "The files of the structure cannot be rewritten: {}";
constexpr std::string_view NotWritten = "The listing \"{}\" could not be written.";
}  // namespace sgtool

int Fail(std::vector<std::string> lines) {
  FeChybne(std::string(sgtool::Header), std::move(lines));
  return 1;
}

// The batch line: mode, then the options "cell" and "twins".
struct SgRunOptions {
  std::string Mode;
  bool Cell = false, Twins = false;
};

[[nodiscard]] int ParseRunOptions(const std::string& line, SgRunOptions& o) {
  const std::vector<std::string> w = SplitWords(line);
  o.Mode = w.empty() ? "" : w[0];
  if (!EqIgnoreCase(o.Mode, "standard") && !EqIgnoreCase(o.Mode, "original") &&
      !EqIgnoreCase(o.Mode, "none"))
    return 1;
  for (size_t i = 1; i < w.size(); ++i) {
    if (EqIgnoreCase(w[i], "cell"))
      o.Cell = true;
    else if (EqIgnoreCase(w[i], "twins"))
      o.Twins = true;
    else
      return 1;
  }
  return 0;
}

Mat3 MatMul(const Mat3& a, const Mat3& b) {
  return FromEigen(ToEigen(a) * ToEigen(b));
}

}  // namespace

int EM9SpaceGroupTest(const std::string& base, const std::string& mode, bool batch) {
  SgRunOptions opt;
  if (batch && ParseRunOptions(mode, opt)) return Fail({std::string(sgtool::BadMode) + mode});
  if (Struct.Basic.Phase.empty()) return Fail({std::string(sgtool::NoPhase)});
  if (!FeFileExists(base + ".m95"))
    return Fail({std::string(sgtool::NoM95a), std::string(sgtool::NoM95b)});
  ErrorRecord err;
  const SgTable* tab = HomeSgTable(&err);
  if (!tab) return Fail(err.Lines());
  // Main reflections of the single-crystal blocks for the space-group test;
  // with one modulation vector the satellites too for the superspace
  // candidates. Powder blocks (points of a pattern) are counted and left out.
  const int kp = std::clamp(Sess.KPhase, 1, static_cast<int>(Struct.Basic.Phase.size()));
  PhaseBasic p1 =
      Struct.Basic.Phase[static_cast<size_t>(kp - 1)];  // the cell and composition in P1
  std::vector<IntStatRefl> refl;
  std::vector<SsgTestRefl> refl4;
  const bool modulated = p1.NDim == 4 && p1.Qi.size() == 1;
  // Formats compare without blanks and case.
  auto normal = [](std::string_view f) {
    std::string o;
    for (char c : f)
      if (c != ' ' && c != '\t')
        o += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return o;
  };
  const std::string powderFormat = normal(M95PowderFormat());
  std::set<size_t> powderBlocks;
  std::vector<M95Block> blocks;
  if (ReadM95FileTo(base + ".m95", blocks, [&](size_t k, const M95Block& b, const M95Refl& r) {
        if (normal(b.Format) == powderFormat) {
          powderBlocks.insert(k);
          return 0;
        }
        const int* h = r.H;
        if (modulated && b.NDim95 >= 4) refl4.push_back({{h[0], h[1], h[2], h[3]}, r.I, r.SigI});
        if (std::all_of(h + 3, h + b.NDim95, [](int m) { return m == 0; }))
          refl.push_back({{h[0], h[1], h[2]}, r.I, r.SigI});
        return 0;
      }))
    return Fail({"M95: " + Struct.Refl.LastError.Text()});
  const size_t nPowder = powderBlocks.size();
  p1.Symmetry = CrlPrimitivePhase(3);
  // Page 1 (interactive): the tolerances and limits of the test.
  SgTestSettings set;
  if (!batch) {
    std::vector<FeFormField> f = {
        {std::string(sgtool::FieldTolCell), fmt::format("{}", set.TolCell)},
        {std::string(sgtool::FieldTolAngle), fmt::format("{}", set.TolAngle)},
        {std::string(sgtool::FieldObs), fmt::format("{}", set.ObsLimit)},
        {std::string(sgtool::FieldCentr), fmt::format("{}", set.LimCentr)},
        {std::string(sgtool::FieldOther), fmt::format("{}", set.LimOther)},
        {std::string(sgtool::FieldCell), "0"},
        {std::string(sgtool::FieldTwins), "0"}};
    if (!Fe().EditForm(std::string(sgtool::Header), f)) return 0;
    double* v[] = {&set.TolCell, &set.TolAngle, &set.ObsLimit, &set.LimCentr, &set.LimOther};
    opt.Cell = ToInt(Trim(f[5].Value)).value_or(0) != 0;
    opt.Twins = ToInt(Trim(f[6].Value)).value_or(0) != 0;
    for (size_t i = 0; i < 5; ++i) {
      const std::optional<double> x = ToReal(Trim(f[i].Value));
      if (!x || *x < 0.) return Fail({std::string(sgtool::BadField) + f[i].Label});
      *v[i] = *x;
    }
  }
  SgTestResult res;
  int rc = DRSGTest(refl, p1, *tab, set, res);
  std::vector<std::string> lst = {
      fmt::format("Space group test on {} reflections of M95", refl.size())};
  if (nPowder > 0) lst.push_back(fmt::format(fmt::runtime(sgtool::PowderNotUsed), nPowder));
  lst.emplace_back();
  lst.insert(lst.end(), res.Listing.begin(), res.Listing.end());
  // With "cell": the data moved into the subcell of the X centring, else
  // into the cell of the highest metric symmetry, and the test repeated
  // there, until neither is found (at most three times).
  std::optional<Mat3> cellP;
  if (opt.Cell && modulated) lst.emplace_back(sgtool::NoCellMod);
  for (int round = 0; round < 3 && opt.Cell && !modulated; ++round) {
    Mat3 p;
    if (!res.XCentr.empty()) {
      p = DRSGTestSubCell(res.XCentr);
    } else {
      const auto hi = std::find_if(res.Cells.begin(), res.Cells.end(),
                                   [](const SgCellCandidate& c) { return c.Higher; });
      if (hi == res.Cells.end()) break;
      p = hi->P;
    }
    const int dropped = DRSGTestToCell(p, refl, p1);
    cellP = cellP ? MatMul(*cellP, p) : p;
    lst.emplace_back();
    lst.push_back(fmt::format(fmt::runtime(sgtool::Repeated), DRSGTestAxesText(*cellP), p1.Cell[0],
                              p1.Cell[1], p1.Cell[2], p1.Cell[3], p1.Cell[4], p1.Cell[5],
                              "axes in those of the data"));
    if (dropped > 0) lst.push_back(fmt::format(fmt::runtime(sgtool::Dropped), dropped));
    lst.emplace_back();
    rc = DRSGTest(refl, p1, *tab, set, res);
    lst.insert(lst.end(), res.Listing.begin(), res.Listing.end());
  }
  if (modulated && rc == 0) {
    static SsgTable ssg;
    static const int ssgRc = SsgTableLoad(Sess.HomeDir, ssg, &err);
    std::vector<SsgCandidate> cand;
    lst.emplace_back();
    if (ssgRc == 0) (void)DRSGTestSSG4(refl4, p1.Qi[0], *tab, ssg, res, set, cand, lst);
  }
  if (batch)
    for (const std::string& l : lst) Fe().ListingLine(l);
  std::string text;
  for (const std::string& l : lst) text += l + "\n";
  if (FeWriteFileAtomic(base + ".dir", text))
    return Fail({fmt::format(fmt::runtime(sgtool::NotWritten), base + ".dir")});
  if (!batch) Fe().ShowListingFile(base + ".dir");
  if (rc != 0) return 1;
  SgEpilogExtra extra;
  extra.Cell = cellP;
  if (opt.Twins) extra.Twins = res.Twins;
  if (batch) {
    if (EqIgnoreCase(opt.Mode, "none")) return 0;
    return DRSGTestEpilog(base, *tab, res.Cand[0].Entry, EqIgnoreCase(opt.Mode, "standard"), batch,
                          extra);
  }
  // Page 2: the ranked candidates; page 3: the setting to move into.
  std::vector<std::string> items;
  for (const SgCandidate& c : res.Cand)
    items.push_back(fmt::format("{:<16} {:4d}  {}/{}  {:.2f}  {:.3f}", c.Symbol, c.Number,
                                c.Abs.NObs, c.Abs.NAll, c.Abs.AveIs, c.Fom));
  const std::optional<int> pick = Fe().ChooseFromList(std::string(sgtool::PageCandidates), items);
  if (!pick || *pick < 0 || *pick >= static_cast<int>(res.Cand.size())) return 0;
  const std::optional<int> where =
      Fe().ChooseFromList(std::string(sgtool::PageSetting),
                          {std::string(sgtool::Standard), std::string(sgtool::Original)});
  if (!where) return 0;
  return DRSGTestEpilog(base, *tab, res.Cand[static_cast<size_t>(*pick)].Entry, *where == 0, batch,
                        extra);
}

int DRSGTestEpilog(const std::string& base, const SgTable& tab, int entry, bool standard,
                   bool batch, const SgEpilogExtra& extra) {
  const SgEntry& e = tab.Entry[static_cast<size_t>(entry)];
  const PhaseSymmetry& ops = SgEntryOps(tab, entry);
  // The reference setting and x_std = T x + u (the candidate's operators are
  // those of its table entry, so no origin shift enters).
  SgFound ref;
  Mat3 tr{};
  Vec3 u{};
  const bool move = standard && SgKey(e.ToStd) != "x,y,z" && FindSmbSgTr(tab, ops, ref, tr, u) == 0;
  const SgEntry& out = move ? tab.Entry[static_cast<size_t>(ref.Entry)] : e;
  if (!batch &&
      !FeYesNo(std::string(sgtool::Header),
               {move ? fmt::format("Accept the space group {} and transform the structure into "
                                   "its standard setting {}?",
                                   e.Short, out.Short)
                     : fmt::format("Accept the space group {} in the cell of the data?", e.Short)},
               true))
    return 0;
  const int kp = std::clamp(Sess.KPhase, 1, static_cast<int>(Struct.Basic.Phase.size()));
  Structure st = Struct;
  PhaseBasic* phase = &st.Basic.Phase[static_cast<size_t>(kp - 1)];
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> rr;
  auto fail = [&](const std::string& why) {
    return Fail({fmt::format(fmt::runtime(sgtool::NotRewritten), why)});
  };
  const bool rewriteM95 = move || extra.Cell.has_value();
  if (rewriteM95 && ReadM95File(base + ".m95", blocks, rr)) return fail("M95");
  // Twin matrices on indices, h_ref = T k with T = R^-T; a change of basis
  // with h' = A h makes them A T A^-1.
  std::vector<Eigen::Matrix3d> twins;
  for (const Mat3& r : extra.Twins) twins.push_back(ToEigen(r).inverse().transpose());
  std::string why;
  if (extra.Cell) {
    // Into the cell the test was repeated in (the structure is still in P1).
    EM40Transform t0;
    t0.P = *extra.Cell;
    if (EM40TransformStructure(st, kp, t0, why)) return fail(why);
    phase = &st.Basic.Phase[static_cast<size_t>(kp - 1)];
    for (size_t b = 0; b < blocks.size(); ++b) {
      EM40TransformCell(t0, blocks[b].Cell);
      std::erase_if(rr[b], [&](M95Refl& r) { return EM40TransformIndices(t0, r.H) != 0; });
    }
  }
  PhaseSetOperators(*phase, ops, e.Short[0]);
  phase->ParentMat.clear();
  if (move) {
    // x' = Q (x - p) with Q = T and p = -T^-1 u.
    EM40Transform t;
    const Eigen::Matrix3d p = ToEigen(tr).inverse();
    t.P = FromEigen(p);
    for (double& v : t.P) v = std::round(v * 1e12) / 1e12;
    const Eigen::Vector3d o = -p * Eigen::Vector3d(u[0], u[1], u[2]);
    t.Origin = {o[0], o[1], o[2]};
    // Monoclinic: of the cells (a', b', c') and (-a', -b', c') of the same
    // group, the one with beta obtuse.
    std::vector<double> cell(phase->Cell, phase->Cell + 6);
    EM40TransformCell(t, cell);
    if (out.Axis == 'b' && cell[4] < 90.)
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 2; ++j) t.P[static_cast<size_t>(3 * i + j)] *= -1.;
    if (EM40TransformStructure(st, kp, t, why)) return fail(why);
    phase = &st.Basic.Phase[static_cast<size_t>(kp - 1)];
    PhaseSetOperators(*phase, SgEntryOps(tab, ref.Entry), out.Short[0]);
    phase->ParentMat.clear();
    for (auto& b : blocks) EM40TransformCell(t, b.Cell);
    for (auto& b : rr)
      for (auto& r : b)
        if (EM40TransformIndices(t, r.H)) return Fail({std::string(sgtool::NoIntegral)});
    const Eigen::Matrix3d a = ToEigen(t.P).transpose();
    for (Eigen::Matrix3d& m : twins) m = a * m * a.inverse();
    if (batch) {
      Mat3 m = t.P;
      for (double& x : m) x += 0.;  // no "-0"
      Fe().ListingLine(fmt::format(fmt::runtime(sgtool::Transformed), m[0], m[1], m[2], m[3], m[4],
                                   m[5], m[6], m[7], m[8], t.Origin[0] + 0., t.Origin[1] + 0.,
                                   t.Origin[2] + 0.));
    }
  }
  phase->SpGroup = out.Short;
  phase->SpGroupNumber = out.Number;
  phase->SgShift.clear();
  const bool haveM40 = FeFileExists(base + ".m40");
  if (!twins.empty() && !haveM40) {
    Fe().ListingLine(std::string(sgtool::TwinsNoM40));
    twins.clear();
  }
  if (!twins.empty()) {
    twins.insert(twins.begin(), Eigen::Matrix3d::Identity());
    st.Basic.Twin.clear();
    st.Basic.PhaseTwin.clear();
    for (const Eigen::Matrix3d& m : twins) {
      std::vector<double> v(9);
      for (int i = 0; i < 9; ++i)
        v[static_cast<size_t>(i)] = std::round(m(i / 3, i % 3) * 1e9) / 1e9 + 0.;
      st.Basic.Twin.push_back(v);
    }
    const int nd = static_cast<int>(twins.size());
    for (DatBlockModel& db : st.Model.DatBlock) {
      db.Twin.resize(nd);
      for (int k = 0; k < nd; ++k) {
        db.Twin.Val[static_cast<size_t>(k)] = 1. / nd;
        db.Twin.Key[static_cast<size_t>(k)] = k > 0 ? 1 : 0;
        db.Twin.Sig[static_cast<size_t>(k)] = 0.;
      }
    }
  }
  // Temporary files first; M50 is written last, then everything renamed.
  std::vector<std::pair<std::string, std::string>> files;  // temporary, final
  auto cleanup = [&] {
    for (auto& f : files) FeDeleteFile(f.first);
  };
  if (rewriteM95) {
    files.emplace_back(base + ".m95.sg-tmp", base + ".m95");
    if (WriteM95File(files.back().first, blocks, rr)) {
      cleanup();
      return fail("M95");
    }
  }
  if (haveM40) {
    std::string m40;
    files.emplace_back(base + ".m40.sg-tmp", base + ".m40");
    if (M40WriteText(st.Model, m40) || FeWriteFileAtomic(files.back().first, m40)) {
      cleanup();
      return fail("M40");
    }
  }
  if (ErrorRecord err; SetBasicM50(st.Basic, &err)) {
    cleanup();
    return fail("M50");
  }
  std::swap(Struct.Basic, st.Basic);
  if (iom50(M50Write, base + ".m50")) {
    std::swap(Struct.Basic, st.Basic);
    cleanup();
    return fail("M50");
  }
  std::error_code ec;
  for (auto& f : files) std::filesystem::rename(f.first, f.second, ec);
  Struct.Model = std::move(st.Model);
  FeDeleteFile(base + ".m90");
  const std::string done = fmt::format(fmt::runtime(sgtool::Accepted), out.Short, out.Number);
  if (batch) {
    Fe().ListingLine(done);
    if (!twins.empty())
      Fe().ListingLine(fmt::format(fmt::runtime(sgtool::TwinsWritten), twins.size()));
  }
  return 0;
}

int EM9SpaceGroupTestTool(TarnToolCall& call) {
  const std::string mode = call.Items.empty() ? "original" : std::string(Trim(call.Items[0].Line));
  call.Error = EM9SpaceGroupTest(Sess.fln, mode, call.Batch);
  return NextNothing;
}

}  // namespace tarn
