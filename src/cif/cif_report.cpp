// The CIF report: the template with the structure's values, and its writing.
#include "cif/cif_report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <set>

#include "cif/cif_internal.hpp"
#include "cif/cif_keys.hpp"
#include "model/batch_edit.hpp"
#include "model/scatdata.hpp"
#include "model/session.hpp"
#include "model/spgroup_home.hpp"
#include "symmetry/magsymbol.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"
#include "util/report.hpp"
#include "util/round_esd.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

using B = CifBuilder;

constexpr double kAvogadroCell = 1.66054;  // g/cm^3 per (g/mol / A^3)

const CifOut kUnknown{};

std::string CrystalSystem(int number) {
  if (number < 1 || number > 230) return "?";
  static constexpr std::pair<int, const char*> kSys[] = {
      {2, "triclinic"},  {15, "monoclinic"}, {74, "orthorhombic"}, {142, "tetragonal"},
      {167, "trigonal"}, {194, "hexagonal"}, {230, "cubic"}};
  for (auto [last, name] : kSys)
    if (number <= last) return name;
  return "?";
}

// "Cu K\a" when the wavelength is a K-alpha line of an anode of the tables.
std::string RadiationType(const DatBlockBasic& d) {
  if (d.Radiation != 1) return "?";
  for (const char* anode : {"Cr", "Fe", "Co", "Cu", "Mo", "Ag"})
    if (auto a = ScatAnode(anode)) {
      const double mean = (2. * a->Ka1 + a->Ka2) / 3.;
      for (double l : {a->Ka1, a->Ka2, mean})
        if (std::fabs(d.Lambda - l) < 0.0005) return fmt::format("{} K\\a", anode);
    }
  return "?";
}

bool IsHydrogen(const DistAtom& a) {
  return a.Element == "H" || a.Element == "D";
}

// A hydrogen atom whose position is not refined: named in a "keep hydro"
// command of the refinement (riding), or with fixed coordinates.
bool CalculatedH(const Structure& s, const DistAtom& a) {
  if (!IsHydrogen(a)) return false;
  const std::string& t = s.Basic.CommandText;
  for (size_t pos = 0; pos < t.size();) {
    size_t end = t.find('\n', pos);
    if (end == std::string::npos) end = t.size();
    const auto w = SplitWords(std::string_view(t).substr(pos, end - pos));
    pos = end + 1;
    if (w.size() > 2 && EqIgnoreCase(w[0], "keep") && EqIgnoreCase(w[1], "hydro"))
      for (const auto& x : w)
        if (EqIgnoreCase(x, a.Name)) return true;
  }
  if (a.Index < 0) return false;  // an atom of a molecule: placed with its group
  const AtomRec& r = s.Model.Atom[static_cast<size_t>(a.Index)];
  const int off = AtomLayout(r.Shape).Off[BlkPos];
  for (int k = 0; k < 3; ++k)
    if (off + k < r.Par.size() && r.Par.Key[static_cast<size_t>(off + k)] != 0) return false;
  return true;
}

// U(eq) = (1/3) sum_ij U_ij a*_i a*_j a_i.a_j = sum_ij beta_ij G_ij / (6 pi^2),
// with its s.u. from independent beta s.u.
void UEquivalent(const DistPhase& ph, const DistAtom& a, double& u, double& su) {
  static constexpr int kI[6] = {0, 1, 2, 0, 0, 1}, kJ[6] = {0, 1, 2, 1, 2, 2};
  const double f = 1. / (6. * kPi * kPi);
  u = 0.;
  double var = 0.;
  for (int k = 0; k < 6; ++k) {
    const double d = (k < 3 ? 1. : 2.) * ph.Cell.G[kI[k] * 3 + kJ[k]] * f;
    u += d * a.Beta[static_cast<size_t>(k)];
    var += d * d * a.BetaSu[static_cast<size_t>(k)] * a.BetaSu[static_cast<size_t>(k)];
  }
  su = std::sqrt(var);
}

struct Geometry {
  std::vector<std::vector<CifOut>> Bonds, Angles, Torsions, HBonds;
};

// Modulated structures: the average, minimum and maximum over t of curve k
// (the last columns of the bond and angle loops); "?" where no curve.
void AddRange(std::vector<CifOut>& row, const std::vector<DistTCurve>& curves, size_t k, int dec) {
  const bool ok = k < curves.size() && curves[k].N > 0;
  for (double v : {ok ? curves[k].Ave : 0., ok ? curves[k].Min : 0., ok ? curves[k].Max : 0.})
    row.push_back(ok ? B::P(fmt::format("{:.{}f}", v, dec)) : B::P("?"));
}

Geometry MakeGeometry(const DistResults& r, int rule) {
  Geometry g;
  const DistPhase& ph = r.Phase;
  const bool modulated = !r.TGrid.empty();
  auto name = [&](int atom) { return B::P(ph.Atoms[static_cast<size_t>(atom)].Name); };
  auto code = [&](const DistNeighbour& n) { return B::P(DistSymmCode(n)); };
  for (const auto& co : r.Coord) {
    const int a = co.Central;
    std::vector<double> self;  // distances of an atom to its own images, listed once
    for (const auto& n : co.Neigh) {
      if (n.Atom < a) continue;
      if (n.Atom == a) {
        if (std::any_of(self.begin(), self.end(),
                        [&](double d) { return std::fabs(d - n.D) < 1e-5; }))
          continue;
        self.push_back(n.D);
      }
      g.Bonds.push_back(
          {name(a), name(n.Atom), B::P(CifNum(n.D, n.DSu, 4, rule)), code(n), B::P("?")});
      if (modulated)
        AddRange(g.Bonds.back(), co.Curves, static_cast<size_t>(&n - co.Neigh.data()), 4);
    }
    for (const auto& an : co.Angles) {
      const DistNeighbour& nb = co.Neigh[static_cast<size_t>(an.B)];
      const DistNeighbour& nc = co.Neigh[static_cast<size_t>(an.C)];
      g.Angles.push_back({name(nb.Atom), name(a), name(nc.Atom),
                          B::P(CifNum(an.Value, an.Su, 2, rule)), code(nb), code(nc), B::P("?")});
      if (modulated)
        AddRange(g.Angles.back(), co.AngleCurves, static_cast<size_t>(&an - co.Angles.data()), 2);
    }
  }
  for (const auto& t : r.Torsions) {
    if (!t.Ok || t.Atoms.size() != 4) continue;
    std::vector<CifOut> labels, codes;
    for (const auto& a : t.Atoms) {
      DistNeighbour nb;
      if (!DistParseAtom(ph, a, nb)) break;
      labels.push_back(name(nb.Atom));
      codes.push_back(code(nb));
    }
    if (labels.size() != 4) continue;
    std::vector<CifOut> row = labels;
    row.push_back(B::P(CifNum(t.Value, t.Su, 2, rule)));
    row.insert(row.end(), codes.begin(), codes.end());
    row.push_back(B::P("?"));
    g.Torsions.push_back(std::move(row));
  }
  for (const auto& h : r.HBonds)
    g.HBonds.push_back(
        {name(h.Donor.Atom), name(h.H), name(h.Acceptor.Atom),
         B::P(CifNum(h.Donor.D, h.Donor.DSu, 4, rule)),
         B::P(CifNum(h.Acceptor.D, h.Acceptor.DSu, 4, rule)), B::P(CifNum(h.DA, h.DASu, 4, rule)),
         B::P(CifNum(h.Angle, h.AngleSu, 2, rule)), code(h.Donor), code(h.Acceptor), B::P("?")});
  return g;
}

std::string Today() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

void Section(B& b, const char* text) {
  b.Comment("");
  b.Comment("=============================================================================");
  b.Comment(text);
  b.Comment("=============================================================================");
  b.Comment("");
}

CifOut TextUnknown(const char* comment = "") {
  CifOut v = B::T("?");
  v.Comment = comment;
  return v;
}

}  // namespace

std::map<std::string, int> CifDisorderParts(const AtomModel& m) {
  std::map<std::string, int> out;
  for (const auto& line : m.Commands) {
    const auto w = SplitWords(line);
    if (w.size() < 3 || w[0] != "!" || w[1] != "PART") continue;
    const auto n = ToInt(std::string_view(w[2]).substr(0, w[2].find(':')));
    if (!n || *n == 0) continue;
    for (size_t i = 3; i < w.size(); ++i) out[ToUpper(w[i])] = static_cast<int>(*n);
  }
  return out;
}

std::string CifNum(double value, double su, int maxDecimals, int rule) {
  return RoundESD(value, su, maxDecimals, rule);
}

double CifCellVolumeSu(const PhaseBasic& p) {
  auto vol = [](const double* c) {
    const double ca = std::cos(c[3] * kDeg), cb = std::cos(c[4] * kDeg), cg = std::cos(c[5] * kDeg);
    return c[0] * c[1] * c[2] *
           std::sqrt(std::max(0., 1. - ca * ca - cb * cb - cg * cg + 2. * ca * cb * cg));
  };
  double var = 0.;
  for (int k = 0; k < 6; ++k) {
    if (!(p.CellSU[k] > 0.)) continue;
    double c[6];
    std::copy(p.Cell, p.Cell + 6, c);
    const double h = k < 3 ? 1e-6 * c[k] : 1e-5;
    c[k] += h;
    const double up = vol(c);
    c[k] -= 2. * h;
    const double d = (up - vol(c)) / (2. * h);
    var += d * d * p.CellSU[k] * p.CellSU[k];
  }
  return std::sqrt(var);
}

void CifCellItems(CifBuilder& b, const PhaseBasic& p, int rule) {
  static constexpr int kKeys[6] = {CkCellA, CkCellB, CkCellC, CkCellAlpha, CkCellBeta, CkCellGamma};
  for (int k = 0; k < 6; ++k)
    b.Item(kKeys[k], B::P(CifNum(p.Cell[k], p.CellSU[k], k < 3 ? 5 : 4, rule)));
  b.Item(CkCellVolume, B::P(CifNum(p.CellVol, CifCellVolumeSu(p), 2, rule)));
}

int CifFileKey(std::string_view ext) {
  static constexpr std::pair<std::string_view, int> kFiles[] = {
      {".m40", CkFileM40}, {".m41", CkFileM41}, {".m42", CkFileM42},     {".m50", CkFileM50},
      {".m70", CkFileM70}, {".m90", CkFileM90}, {".m95", CkFileM95},     {".jdhst", CkFileJdhst},
      {".prf", CkFilePrf}, {".ref", CkFileRef}, {".ins", CkFileSolution}};
  for (auto [e, k] : kFiles)
    if (EqIgnoreCase(e, ext)) return k;
  return 0;
}

std::vector<std::string> WriteCIFHeader(std::string_view ext) {
  return {fmt::format(" Structure file {} of {} {}", ext, Sess.ProgramName, Sess.Version),
          " For import please use the tool:", " Import->model from CIF"};
}

std::vector<std::string> WriteCIFFooter(std::string_view ext) {
  return {fmt::format(" End of the structure file {}", ext)};
}

void CIFIncludeTarnFiles(const std::string& fln, const std::vector<std::string>& exts,
                         CifSources& src) {
  for (const auto& e : exts) {
    std::string text;
    if (!CifFileKey(e) || !FeFileExists(fln + e) || FeReadFile(fln + e, text)) continue;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    src.Files.emplace_back(e, std::move(text));
  }
}

CifDoc CIFMakeTemplate(const Structure& s, const CifDict& dict, const CifSources& src) {
  CifDoc doc;
  B b(dict, doc);
  const int kp = std::clamp(Sess.KPhase, 1, std::max(1, static_cast<int>(s.Basic.Phase.size())));
  const int kb =
      std::clamp(Sess.KDatBlock, 1, std::max(1, static_cast<int>(s.Basic.DatBlock.size())));
  const PhaseBasic p =
      s.Basic.Phase.empty() ? PhaseBasic{} : s.Basic.Phase[static_cast<size_t>(kp - 1)];
  const DatBlockBasic d =
      s.Basic.DatBlock.empty() ? DatBlockBasic{} : s.Basic.DatBlock[static_cast<size_t>(kb - 1)];
  const bool powder = d.Powder.value_or(0) == 1;
  const int rule = s.Basic.RoundMethod.value_or(RoundEsdDefaultRule);
  const CifRefSummary sum = src.Summary.value_or(CifRefSummary{});

  // The global block: sections 1 to 4.
  b.Block("global");
  Section(b, " 1. PROCESSING SUMMARY (IUCr Office Use Only)");
  for (int k : {CkJournalDateRecd, CkJournalDateAccepted}) b.Item(k);
  b.Item(CkJournalName, B::Q("Acta Crystallographica Section C"));
  for (int k : {CkJournalYear, CkJournalVolume, CkJournalIssue, CkJournalPageFirst,
                CkJournalPageLast, CkJournalCategory, CkJournalCoeditor})
    b.Item(k);
  Section(b, " 2. SUBMISSION DETAILS");
  b.Item(CkContactName);
  b.Item(CkContactAddress, TextUnknown());
  for (int k : {CkContactEmail, CkContactFax, CkContactPhone}) b.Item(k);
  b.Item(CkContactLetter, TextUnknown());
  b.Item(CkRequestedJournal);
  b.Item(CkRequestedCategory);
  Section(b, " 3. TITLE AND AUTHOR LIST");
  b.Item(CkSectionTitle, TextUnknown());
  {
    CifOut n = B::P("?"), f = TextUnknown("footnote"), a = TextUnknown("address");
    n.Comment = "name";
    b.Loop({CkAuthorName, CkAuthorFootnote, CkAuthorAddress}, {{n, f, a}});
  }
  Section(b, " 4. TEXT");
  for (int k : {CkSectionSynopsis, CkSectionAbstract, CkSectionComment, CkSectionExperimental,
                CkSectionAcknowledgements, CkSectionReferences, CkSectionFigureCaptions,
                CkSectionTableLegends})
    b.Item(k, TextUnknown());

  // The structure's block.
  b.Block(src.DataName);
  Section(b, " 5. CHEMICAL DATA");
  b.Item(CkAuditDate, B::P(Today()));
  b.Item(CkAuditMethod, B::Q(fmt::format("{} {}", Sess.ProgramName, Sess.Version)));
  b.Item(CkChemNameSystematic, TextUnknown());
  b.Item(CkChemNameCommon);
  b.Item(CkChemMeltingPoint);
  b.Item(CkChemFormulaMoiety);
  b.Item(CkChemFormulaSum, p.FormulaText.empty() ? kUnknown : B::Q(p.FormulaText));
  // Formula weight from the composition and the atomic weights (of M50, else
  // of the element table); density = Z Mr / (N_A V).
  double mr = p.FormulaWeight;
  if (!(mr > 0.)) {
    mr = 0.;
    for (size_t t = 0; t < p.AtType.size() && mr >= 0.; ++t) {
      const AtomTypeBasic& td = t < p.AtTypeData.size() ? p.AtTypeData[t] : AtomTypeBasic{};
      const auto w = td.AtWeight ? td.AtWeight : ScatAtomicWeight(p.AtType[t]);
      mr = td.Formula && w ? mr + *td.Formula * *w : -1.;
    }
  }
  const double density =
      mr > 0. && p.CellVol > 0. ? p.UnitsNumb * mr * kAvogadroCell / p.CellVol : 0.;
  b.Item(CkChemFormulaWeight, mr > 0. ? B::P(fmt::format("{:.2f}", mr)) : kUnknown);

  Section(b, powder ? " 6. POWDER SPECIMEN AND CRYSTAL DATA" : " 6. CRYSTAL DATA");
  b.Item(CkCrystalSystem, p.SpGroupNumber > 0 ? B::Q(CrystalSystem(p.SpGroupNumber)) : kUnknown);
  // A modulated phase's symbol is that of its superspace group.
  const bool modulated = p.NDim > 3;
  b.Item(CkSpaceGroupHM, p.SpGroup.empty() || modulated ? kUnknown : B::Q(p.SpGroup));
  if (modulated) b.Item(CkSsgName, p.SpGroup.empty() ? kUnknown : B::Q(p.SpGroup));
  if (p.Symmetry.Magnetic && !modulated) {
    // The magnetic group's symbol from its operators.
    const SgTable* tab = HomeSgTable();
    const std::string bns = tab ? MagGroupSymbolBNS(*tab, p.Symmetry) : "";
    b.Item(CkMagnNameBns, bns.empty() ? kUnknown : B::Q(bns));
  }
  b.Item(CkSpaceGroupNumber,
         p.SpGroupNumber > 0 ? B::P(std::to_string(p.SpGroupNumber)) : kUnknown);
  b.Item(CkSpaceGroupHall);
  if (src.Dist) CifSymmetryLoop(b, p, src.Dist->Phase);
  CifCellItems(b, p, rule);
  CifWaveVectorItems(b, p, rule);
  b.Item(CkCellZ, B::P(std::to_string(p.UnitsNumb)));
  const std::string temp = d.DatCollTemp ? CifNum(*d.DatCollTemp, 0., 1, rule) : "?";
  b.Item(CkCellTemperature, B::P(temp));
  for (int k : {CkCellReflnsUsed, CkCellThetaMin, CkCellThetaMax, CkCrystalDescription,
                CkCrystalColour, CkCrystalSizeMax, CkCrystalSizeMid, CkCrystalSizeMin})
    b.Item(k);
  b.Item(CkDensityDiffrn, density > 0. ? B::P(fmt::format("{:.3f}", density)) : kUnknown);
  b.Item(CkDensityMeas);
  b.Item(CkDensityMethod, B::Q("not measured"));
  // F(000) = |sum over the cell (Z + f' + i f'')|, X-rays only.
  std::vector<std::vector<CifOut>> types;
  {
    double re = 0., im = 0.;
    bool f000 = d.Radiation == 1;
    for (size_t t = 0; t < p.AtType.size(); ++t) {
      const std::string& name = p.AtType[t];
      const AtomTypeBasic& td = t < p.AtTypeData.size() ? p.AtTypeData[t] : AtomTypeBasic{};
      std::optional<AnomalousDisp> disp;
      if (static_cast<size_t>(kb) <= td.FPrime.size() &&
          static_cast<size_t>(kb) <= td.FDoublePrime.size())
        disp = AnomalousDisp{td.FPrime[static_cast<size_t>(kb - 1)],
                             td.FDoublePrime[static_cast<size_t>(kb - 1)]};
      else if (d.Radiation == 1 && d.Lambda > 0.)
        disp = ScatAnomalousLambda(name, d.Lambda);
      const auto el = ScatElement(name);
      if (f000 && el && td.Formula && disp) {
        const double n = *td.Formula * p.UnitsNumb;
        re += n * (el->Z + disp->fp);
        im += n * disp->fpp;
      } else {
        f000 = false;
      }
      std::vector<CifOut> row{B::Q(name)};
      if (d.Radiation == 1) {
        row.push_back(disp ? B::P(fmt::format("{:.4f}", disp->fp)) : kUnknown);
        row.push_back(disp ? B::P(fmt::format("{:.4f}", disp->fpp)) : kUnknown);
        row.push_back(B::Q(td.FormTab.value_or(p.FormTab.value_or(FormTabGauss)) == FormTabTable
                               ? "International Tables Vol C tables 4.2.6.8 and 6.1.1.1"
                               : "International Tables Vol C tables 4.2.6.8 and 6.1.1.4"));
      } else if (d.Radiation == 2) {
        auto nl = ScatNeutron(name);
        const std::optional<double> b_fm =
            td.FNeutron ? td.FNeutron : (nl ? std::optional(nl->re) : std::nullopt);
        // The length in units of 10^-12 cm (10 fm).
        row.push_back(b_fm ? B::P(fmt::format("{:.4f}", *b_fm / 10.)) : kUnknown);
      }
      types.push_back(std::move(row));
    }
    b.Item(CkF000, f000 && re > 0. ? B::P(fmt::format("{:.0f}", std::hypot(re, im))) : kUnknown);
  }
  // The linear absorption coefficient that the reflection import recorded.
  double mi = 0.;
  for (const auto& m : s.Refl.M95) mi = std::max(mi, m.Mi);
  b.Item(CkAbsorptMu, mi > 0. ? B::P(fmt::format("{:.3f}", mi)) : kUnknown);
  for (int k : {CkAbsorptType, CkAbsorptTMin, CkAbsorptTMax}) b.Item(k);
  b.Item(CkAbsorptDetails, TextUnknown());

  Section(b, " 7. EXPERIMENTAL DATA");
  b.Item(CkDiffrnTemperature, B::P(temp));
  b.Item(CkRadiationProbe, B::Q(d.Radiation == 2   ? "neutron"
                                : d.Radiation == 3 ? "electron"
                                                   : "X-ray"));
  b.Item(CkRadiationType, RadiationType(d) == "?" ? kUnknown : B::Q(RadiationType(d)));
  b.Item(CkRadiationWavelength, d.Lambda > 0. ? B::P(CifNum(d.Lambda, 0., 5, rule)) : kUnknown);
  for (int k : {CkDiffrnSource, CkMonochromator, CkDeviceType, CkMeasurementMethod,
                CkDiffrnReflnsNumber, CkDiffrnRint, CkDiffrnSigmaI})
    b.Item(k);
  if (src.Refl && d.Lambda > 0.) {
    const CifReflStats& r = *src.Refl;
    auto theta = [&](double sl) {
      return B::P(fmt::format("{:.3f}", std::asin(std::min(1., sl * d.Lambda)) / kDeg));
    };
    b.Item(CkDiffrnThetaMin, theta(r.SMin));
    b.Item(CkDiffrnThetaMax, theta(r.SMax));
    const int keys[6] = {CkReflnsHMin, CkReflnsHMax, CkReflnsKMin,
                         CkReflnsKMax, CkReflnsLMin, CkReflnsLMax};
    for (size_t i = 0; i < 3; ++i) {
      b.Item(keys[2 * i], B::P(std::to_string(r.Min[i])));
      b.Item(keys[2 * i + 1], B::P(std::to_string(r.Max[i])));
    }
  }
  b.Item(CkReflnsTotal, sum.Found ? B::P(std::to_string(sum.NAll)) : kUnknown);
  b.Item(CkReflnsGt, sum.Found ? B::P(std::to_string(sum.NObs)) : kUnknown);
  b.Item(CkReflnsThreshold, B::Q(fmt::format("I>{}\\s(I)", CifNum(src.SigLevel, 0., 2, rule))));

  Section(b, " 8. REFINEMENT DATA");
  b.Item(CkRefineDetails, TextUnknown());
  b.Item(CkRefineCoef, sum.Found ? B::P(sum.FSquare ? "Fsqd" : "F") : kUnknown);
  b.Item(CkRefineMatrix, B::P("full"));
  b.Item(CkRefineWeighting, src.Weighting ? B::P(src.Weighting->Scheme) : kUnknown);
  b.Item(CkRefineWeightingDetails, src.Weighting ? B::Q(src.Weighting->Details) : kUnknown);
  for (int k : {CkSolutionPrimary, CkSolutionSecondary, CkSolutionHydrogens}) b.Item(k);
  {
    int nh = 0, calc = 0;
    if (src.Dist)
      for (const auto& a : src.Dist->Phase.Atoms)
        if (IsHydrogen(a)) ++nh, calc += CalculatedH(s, a);
    b.Item(CkHydrogenTreatment, nh == 0      ? kUnknown
                                : calc == nh ? B::P("constr")
                                : calc == 0  ? B::P("refall")
                                             : B::P("mixed"));
  }
  {
    const auto& dm = s.Model.DatBlock;
    const int ext =
        static_cast<size_t>(kb) <= dm.size() ? dm[static_cast<size_t>(kb - 1)].ExtType : ExtNone;
    b.Item(CkExtinctionMethod, ext == ExtNone ? B::P("none") : kUnknown);
    b.Item(CkExtinctionCoef, ext == ExtNone ? B::P(".") : kUnknown);
  }
  auto fraction = [&](double percent) { return B::P(fmt::format("{:.4f}", percent / 100.)); };
  auto opt = [&](const std::optional<double>& v, int dec) {
    return v ? B::P(fmt::format("{:.{}f}", *v, dec)) : kUnknown;
  };
  b.Item(CkRefineNReflns, sum.Found ? B::P(std::to_string(sum.NAll)) : kUnknown);
  b.Item(CkRefineNParameters, sum.NPar ? B::P(std::to_string(*sum.NPar)) : kUnknown);
  b.Item(CkRefineNRestraints, sum.Found ? B::P(std::to_string(sum.NRestr)) : kUnknown);
  b.Item(CkRefineNConstraints,
         src.NConstraints ? B::P(std::to_string(*src.NConstraints)) : kUnknown);
  b.Item(CkRefineRAll, sum.Found ? fraction(sum.R[2]) : kUnknown);
  b.Item(CkRefineRGt, sum.Found ? fraction(sum.R[0]) : kUnknown);
  b.Item(CkRefineWRRef, sum.Found ? fraction(sum.R[3]) : kUnknown);
  b.Item(CkRefineWRGt, sum.Found ? fraction(sum.R[1]) : kUnknown);
  if (powder) {
    b.Item(CkPdProfR, sum.Rp ? fraction(*sum.Rp) : kUnknown);
    b.Item(CkPdProfWR, sum.Rwp ? fraction(*sum.Rwp) : kUnknown);
    b.Item(CkPdProfWRExp, sum.Rexp ? fraction(*sum.Rexp) : kUnknown);
  }
  // Powder: the goodness of fit is sqrt(chi**2) of the profile.
  const std::optional<double> gof =
      sum.GofAll
          ? sum.GofAll
          : (sum.Chi2 && *sum.Chi2 >= 0. ? std::optional(std::sqrt(*sum.Chi2)) : std::nullopt);
  b.Item(CkRefineGof, opt(gof, 3));
  b.Item(CkRefineRestrainedS, opt(sum.GofRestrained ? sum.GofRestrained : sum.GofAll, 3));
  b.Item(CkRefineShiftMax, opt(sum.ShiftMax, 3));
  b.Item(CkRefineShiftMean, opt(sum.ShiftMean, 3));
  if (!sum.Flack.empty()) {
    b.Item(CkRefineAbsStructureFlack, B::P(sum.Flack));
    b.Item(CkRefineAbsStructureDetails,
           B::Q(fmt::format("Flack x from {} quotients of Friedel opposites (Parsons, Flack and "
                            "Wagner, Acta Cryst. B69 (2013) 249-259)",
                            sum.FlackQuot)));
  }
  {
    static constexpr int kRho[3] = {CkDiffDensityMax, CkDiffDensityMin, CkDiffDensityRms};
    for (size_t k = 0; k < 3; ++k)
      b.Item(kRho[k],
             src.DiffDensity ? B::P(fmt::format("{:.3f}", (*src.DiffDensity)[k])) : kUnknown);
  }
  if (src.Refl && src.Refl->SMax > 0.) {
    b.Item(CkDResHigh, B::P(fmt::format("{:.4f}", 0.5 / src.Refl->SMax)));
    if (src.Refl->SMin > 0.) b.Item(CkDResLow, B::P(fmt::format("{:.4f}", 0.5 / src.Refl->SMin)));
  }
  if (d.Radiation == 1)
    b.Loop({CkAtomTypeSymbol, CkAtomTypeFp, CkAtomTypeFpp, CkAtomTypeSource}, std::move(types));
  else if (d.Radiation == 2)
    b.Loop({CkAtomTypeSymbol, CkAtomTypeNeutron}, std::move(types));
  else
    b.Loop({CkAtomTypeSymbol}, std::move(types));
  for (int k : {CkComputingCollection, CkComputingCell, CkComputingReduction, CkComputingSolution})
    b.Item(k);
  b.Item(CkComputingRefinement, B::Q(fmt::format("{} {}", Sess.ProgramName, Sess.Version)));
  b.Item(CkComputingGraphics);
  b.Item(CkComputingPublication, B::Q(fmt::format("{} {}", Sess.ProgramName, Sess.Version)));

  Section(b, " 9. ATOMIC COORDINATES AND DISPLACEMENT PARAMETERS");
  if (src.Dist) {
    const DistPhase& ph = src.Dist->Phase;
    std::vector<std::vector<CifOut>> sites, aniso;
    const std::map<std::string, int> parts = CifDisorderParts(s.Model);
    for (const auto& a : ph.Atoms) {
      if (a.Kind != DoAtom) continue;  // peaks, centres and lone pairs
      double occSu = 0.;  // atoms of molecules: occupancy of their position
      if (a.Index >= 0) {
        const AtomRec& r = s.Model.Atom[static_cast<size_t>(a.Index)];
        const int occOff = AtomLayout(r.Shape).Off[BlkOcc];
        occSu = (occOff < r.Par.size() ? r.Par.Sig[static_cast<size_t>(occOff)] : 0.) * a.SiteOrder;
      }
      double u = a.UIso, usu = a.UIsoSu;
      if (a.Aniso) UEquivalent(ph, a, u, usu);
      std::vector<CifOut> row{B::P(a.Name), B::P(a.TypeName)};
      for (int k = 0; k < 3; ++k) row.push_back(B::P(CifNum(a.X[k], a.XSu[k], 6, rule)));
      row.push_back(B::P(CifNum(u, usu, 5, rule)));
      row.push_back(B::P(a.Aniso ? "Uani" : "Uiso"));
      row.push_back(B::P(CifNum(a.Occ, occSu, 4, rule)));
      row.push_back(B::P(std::to_string(a.SiteOrder)));
      const bool calc = CalculatedH(s, a);
      row.push_back(B::P(calc ? "calc" : "d"));
      // Refinement flags: R riding, D geometric restraints; U ADP restraints;
      // P occupancy tied to others.
      const std::string up = ToUpper(a.Name);
      const std::string posn =
          std::string(calc ? "R" : "") + (src.PosnRestrained.count(up) ? "D" : "");
      row.push_back(B::P(posn.empty() ? "." : posn));
      row.push_back(B::P(src.AdpRestrained.count(up) ? "U" : "."));
      row.push_back(B::P(src.OccConstrained.count(up) ? "P" : "."));
      // Disorder: the atoms of the parts form one assembly "A", a part is a group.
      const auto part = parts.find(up);
      row.push_back(B::P(part == parts.end() ? "." : "A"));
      row.push_back(B::P(part == parts.end() ? "." : std::to_string(part->second)));
      sites.push_back(std::move(row));
      if (a.Aniso) {
        std::vector<CifOut> ar{B::P(a.Name), B::P(a.TypeName)};
        for (int k = 0; k < 6; ++k)
          ar.push_back(
              B::P(CifNum(BetaToU(p, k, a.Beta[static_cast<size_t>(k)]),
                          std::fabs(BetaToU(p, k, a.BetaSu[static_cast<size_t>(k)])), 5, rule)));
        aniso.push_back(std::move(ar));
      }
    }
    b.Loop({CkAtomLabel, CkAtomType, CkAtomX, CkAtomY, CkAtomZ, CkAtomUiso, CkAtomAdpType,
            CkAtomOccupancy, CkAtomSymmetryOrder, CkAtomCalcFlag, CkAtomFlagsPosn, CkAtomFlagsAdp,
            CkAtomFlagsOcc, CkAtomDisorderAssembly, CkAtomDisorderGroup},
           std::move(sites));
    b.Loop({CkAnisoLabel, CkAnisoType, CkAnisoU11, CkAnisoU22, CkAnisoU33, CkAnisoU12, CkAnisoU13,
            CkAnisoU23},
           std::move(aniso));
    CifModulationLoops(b, s, p, ph, rule);
  }

  Section(b, " 10. MOLECULAR GEOMETRY");
  b.Item(CkGeomDetails, TextUnknown());
  if (src.Dist) {
    Geometry g = MakeGeometry(*src.Dist, rule);
    std::vector<int> bk{CkBondLabel1, CkBondLabel2, CkBondDistance, CkBondSymm2, CkBondPubl};
    std::vector<int> ak{CkAngleLabel1, CkAngleLabel2, CkAngleLabel3, CkAngleValue,
                        CkAngleSymm1,  CkAngleSymm3,  CkAnglePubl};
    if (!src.Dist->TGrid.empty()) {  // modulated: values over t
      bk.insert(bk.end(), {CkBondDistanceAv, CkBondDistanceMin, CkBondDistanceMax});
      ak.insert(ak.end(), {CkAngleAv, CkAngleMin, CkAngleMax});
    }
    b.Loop(bk, std::move(g.Bonds));
    b.Loop(ak, std::move(g.Angles));
    b.Loop({CkTorsionLabel1, CkTorsionLabel2, CkTorsionLabel3, CkTorsionLabel4, CkTorsionValue,
            CkTorsionSymm1, CkTorsionSymm2, CkTorsionSymm3, CkTorsionSymm4, CkTorsionPubl},
           std::move(g.Torsions));
    b.Loop({CkHBondD, CkHBondH, CkHBondA, CkHBondDH, CkHBondHA, CkHBondDA, CkHBondAngle,
            CkHBondSymmD, CkHBondSymmA, CkHBondPubl},
           std::move(g.HBonds));
  }

  Section(b, powder ? " 11. POWDER PROFILE" : " 11. STRUCTURE-FACTOR LIST");
  if (!powder && !src.FcfName.empty())
    b.Comment(" The structure factors are in the file " + src.FcfName + ".");
  if (powder && src.Profile) {
    // The pattern: position (2theta, deg), observed, calculated, background.
    const PwdPrf& f = *src.Profile;
    std::vector<std::vector<CifOut>> rows;
    for (size_t i = 0; i < f.X.size(); ++i)
      rows.push_back({B::P(std::to_string(i + 1)), B::P(fmt::format("{:.3f}", f.X[i])),
                      B::P(fmt::format("{:.2f}", f.Yo[i])), B::P(fmt::format("{:.2f}", f.Yc[i])),
                      B::P(fmt::format("{:.2f}", f.Bg[i]))});
    b.Loop({CkPdPointId, CkPdTwoTheta, CkPdIntensityObs, CkPdIntensityCalc, CkPdIntensityBkg},
           std::move(rows));
    // The reflections of the fit: indices, phase, multiplicity, d and |F|**2
    // calculated and observed (partition), "?" where the profile file has none.
    auto opt = [](const std::optional<double>& v, const char* form) {
      return v ? B::P(fmt::format(fmt::runtime(form), *v)) : B::P("?");
    };
    std::vector<std::vector<CifOut>> refl;
    for (const auto& t : f.Ticks)
      refl.push_back({B::P(std::to_string(t.H[0])), B::P(std::to_string(t.H[1])),
                      B::P(std::to_string(t.H[2])), B::P(std::to_string(t.Phase)),
                      t.Mult > 0 ? B::P(std::to_string(t.Mult)) : B::P("?"), opt(t.D, "{:.5f}"),
                      opt(t.F2Calc, "{:.6g}"), opt(t.F2Obs, "{:.6g}")});
    b.Loop({CkReflnH, CkReflnK, CkReflnL, CkPdReflnPhase, CkReflnMult, CkReflnD, CkReflnF2Calc,
            CkReflnF2Meas},
           std::move(refl));
  }

  for (const auto& [ext, text] : src.Files) {
    b.Comment("");
    for (const auto& l : WriteCIFHeader(ext)) b.Comment(l);
    b.Item(CifFileKey(ext), B::T(text));
    for (const auto& l : WriteCIFFooter(ext)) b.Comment(l);
  }
  return doc;
}

}  // namespace tarn
