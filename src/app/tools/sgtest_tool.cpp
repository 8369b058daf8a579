// The space-group test as an action and as the batch command ".run->sgtest".
#include "app/tools/sgtest_tool.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>

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
    "The space group test expects \"standard\", \"original\" or \"none\": ";
constexpr std::string_view NoPhase = "The structure has no phase.";
constexpr std::string_view FieldTolCell = "Tolerance of cell lengths (Angstrom)";
constexpr std::string_view FieldTolAngle = "Tolerance of cell angles (degrees)";
constexpr std::string_view FieldObs = "Observed when I/sig(I) exceeds";
constexpr std::string_view FieldCentr =
    "Largest ave(I/sig(I)) of reflections absent by the centring";
constexpr std::string_view FieldOther =
    "Largest ave(I/sig(I)) of reflections absent by other elements";
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

}  // namespace

int EM9SpaceGroupTest(const std::string& base, const std::string& mode, bool batch) {
  if (batch && !EqIgnoreCase(mode, "standard") && !EqIgnoreCase(mode, "original") &&
      !EqIgnoreCase(mode, "none"))
    return Fail({std::string(sgtool::BadMode) + mode});
  if (Struct.Basic.Phase.empty()) return Fail({std::string(sgtool::NoPhase)});
  if (!FeFileExists(base + ".m95"))
    return Fail({std::string(sgtool::NoM95a), std::string(sgtool::NoM95b)});
  ErrorRecord err;
  const SgTable* tab = HomeSgTable(&err);
  if (!tab) return Fail(err.Lines());
  if (DRSetRefArrays(base + ".m95", err)) return Fail({ImpErrorText(err)});
  // Main reflections for the space-group test; with one modulation vector
  // the satellites too for the superspace candidates.
  const int kp = std::clamp(Sess.KPhase, 1, static_cast<int>(Struct.Basic.Phase.size()));
  PhaseBasic p1 =
      Struct.Basic.Phase[static_cast<size_t>(kp - 1)];  // the cell and composition in P1
  std::vector<IntStatRefl> refl;
  std::vector<SsgTestRefl> refl4;
  const ReflData& d = Struct.Refl;
  const bool modulated = p1.NDim == 4 && p1.Qi.size() == 1 && d.Pack.N >= 4;
  for (int k = 0; k < d.NRef; ++k) {
    int h[kReflMaxNDim] = {};
    IndUnpack(d.HCondAr[k], d.Pack, h);
    if (modulated) refl4.push_back({{h[0], h[1], h[2], h[3]}, d.RIAr[k], d.RSAr[k]});
    if (std::all_of(h + 3, h + kReflMaxNDim, [](int m) { return m == 0; }))
      refl.push_back({{h[0], h[1], h[2]}, d.RIAr[k], d.RSAr[k]});
  }
  p1.Symmetry = CrlPrimitivePhase(3);
  // Page 1 (interactive): the tolerances and limits of the test.
  SgTestSettings set;
  if (!batch) {
    std::vector<FeFormField> f = {
        {std::string(sgtool::FieldTolCell), fmt::format("{}", set.TolCell)},
        {std::string(sgtool::FieldTolAngle), fmt::format("{}", set.TolAngle)},
        {std::string(sgtool::FieldObs), fmt::format("{}", set.ObsLimit)},
        {std::string(sgtool::FieldCentr), fmt::format("{}", set.LimCentr)},
        {std::string(sgtool::FieldOther), fmt::format("{}", set.LimOther)}};
    if (!Fe().EditForm(std::string(sgtool::Header), f)) return 0;
    double* v[] = {&set.TolCell, &set.TolAngle, &set.ObsLimit, &set.LimCentr, &set.LimOther};
    for (size_t i = 0; i < f.size(); ++i) {
      const std::optional<double> x = ToReal(Trim(f[i].Value));
      if (!x || *x < 0.) return Fail({std::string(sgtool::BadField) + f[i].Label});
      *v[i] = *x;
    }
  }
  SgTestResult res;
  const int rc = DRSGTest(refl, p1, *tab, set, res);
  std::vector<std::string> lst = {
      fmt::format("Space group test on {} reflections of M95", refl.size()), ""};
  lst.insert(lst.end(), res.Listing.begin(), res.Listing.end());
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
  if (batch) {
    if (EqIgnoreCase(mode, "none")) return 0;
    return DRSGTestEpilog(base, *tab, res.Cand[0].Entry, EqIgnoreCase(mode, "standard"), batch);
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
  return DRSGTestEpilog(base, *tab, res.Cand[static_cast<size_t>(*pick)].Entry, *where == 0, batch);
}

int DRSGTestEpilog(const std::string& base, const SgTable& tab, int entry, bool standard,
                   bool batch) {
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
  PhaseSetOperators(*phase, ops, e.Short[0]);
  phase->ParentMat.clear();
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> rr;
  auto fail = [&](const std::string& why) {
    return Fail({fmt::format(fmt::runtime(sgtool::NotRewritten), why)});
  };
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
    std::string why;
    if (EM40TransformStructure(st, kp, t, why)) return fail(why);
    phase = &st.Basic.Phase[static_cast<size_t>(kp - 1)];
    PhaseSetOperators(*phase, SgEntryOps(tab, ref.Entry), out.Short[0]);
    phase->ParentMat.clear();
    if (ReadM95File(base + ".m95", blocks, rr)) return fail("M95");
    for (auto& b : blocks) EM40TransformCell(t, b.Cell);
    for (auto& b : rr)
      for (auto& r : b)
        if (EM40TransformIndices(t, r.H)) return Fail({std::string(sgtool::NoIntegral)});
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
  // Temporary files first; M50 is written last, then everything renamed.
  std::vector<std::pair<std::string, std::string>> files;  // temporary, final
  auto cleanup = [&] {
    for (auto& f : files) FeDeleteFile(f.first);
  };
  if (move) {
    files.emplace_back(base + ".m95.sg-tmp", base + ".m95");
    if (WriteM95File(files.back().first, blocks, rr)) {
      cleanup();
      return fail("M95");
    }
  }
  if (FeFileExists(base + ".m40")) {
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
  if (batch) Fe().ListingLine(done);
  return 0;
}

int EM9SpaceGroupTestTool(TarnToolCall& call) {
  const std::string mode = call.Items.empty() ? "original" : std::string(Trim(call.Items[0].Line));
  call.Error = EM9SpaceGroupTest(Sess.fln, mode, call.Batch);
  return NextNothing;
}

}  // namespace tarn
