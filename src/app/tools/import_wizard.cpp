// The import wizard: the two lists of formats, the file, the options; then the
// import of one block into M95 of the open structure.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "app/toolkit.hpp"
#include "app/tools/import_tool.hpp"
#include "datared/import.hpp"
#include "datared/import_msg.hpp"
#include "model/basic.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace wiz {
constexpr std::string_view Header = "Import of reflection data";
constexpr std::string_view ListDiffractometer = "Diffractometer formats";
constexpr std::string_view ListProgram = "Formats of other programs";
constexpr std::string_view SelectFile = "Select the reflection file";
constexpr std::string_view SelectKuma = "Define basic KUMA (OD, Rigaku) data file:";
constexpr std::string_view SelectOrMat = "Select file with orientation matrix";
constexpr std::string_view OrMatFilter = "*.sum;*.cif_od";
constexpr std::string_view Options = "Options of the import";
constexpr std::string_view FieldNDim = "Number of indices (0 = from the file)";
constexpr std::string_view FieldTrMat = "Transformation of indices, row by row (empty = none)";
constexpr std::string_view FieldColH = "Columns of the indices";
constexpr std::string_view FieldColI = "Column of the value";
constexpr std::string_view FieldColSig = "Column of its sigma";
constexpr std::string_view FieldRealInd = "Real (non-integer) indices h k l: 1 yes, 0 no";
constexpr std::string_view FieldNQ = "Number of modulation vectors (0-3)";
constexpr std::string_view FieldQ = "Modulation vector {} (three components)";
constexpr std::string_view FieldMMax = "Largest |satellite index| for each vector";
constexpr std::string_view FieldDatBlock = "Data block of the refinement (0 = a new one, 1-{})";
constexpr std::string_view FieldDatBlockNone =
    "Data block of the refinement (0 = a new one; there is none yet)";
constexpr std::string_view RealNeedsQ =
    "Real indices are resolved through 1 to 3 modulation vectors: give their number and "
    "components.";
constexpr std::string_view RealNeedsThree = "A file of real indices has three indices h k l.";
constexpr std::string_view NoStructure = "Open or create a structure before importing reflections.";
constexpr std::string_view BadOption = "The option \"{}\" does not read: \"{}\".";
constexpr std::string_view Imported = "{} reflections imported from \"{}\" as reflection block {}.";
}  // namespace wiz

int BadOpt(std::string_view field, const std::string& value) {
  FeChybne(std::string(wiz::Header), {fmt::format(fmt::runtime(wiz::BadOption), field, value)});
  return 1;
}

// Largest modulation vector component accepted (r.l.u.) and largest satellite
// order looked for when real indices are resolved.
constexpr double kMaxQComponent = 10.;
constexpr int kMaxSatOrder = 9;

// Positions of the fields in the options form.
struct FormLayout {
  int RealInd = -1, NQ = -1, Q = -1, MMax = -1, DatBlock = -1;
};

// The fields of real indices and modulation vectors of a general file: the
// vectors of the current phase are the defaults.
void AddModulationFields(std::vector<FeFormField>& form, FormLayout& lay) {
  std::vector<Vec3> q;
  if (Sess.KPhase >= 1 && Sess.KPhase <= static_cast<int>(Struct.Basic.Phase.size()))
    q = Struct.Basic.Phase[Sess.KPhase - 1].Qi;
  lay.RealInd = static_cast<int>(form.size());
  form.push_back({std::string(wiz::FieldRealInd), "0"});
  lay.NQ = static_cast<int>(form.size());
  form.push_back({std::string(wiz::FieldNQ), std::to_string(std::min<size_t>(q.size(), 3))});
  lay.Q = static_cast<int>(form.size());
  for (int i = 0; i < 3; ++i) {
    std::string v;
    if (i < static_cast<int>(q.size()))
      v = fmt::format("{} {} {}", ShortestReal(q[i][0]), ShortestReal(q[i][1]),
                      ShortestReal(q[i][2]));
    form.push_back({fmt::format(fmt::runtime(wiz::FieldQ), i + 1), v});
  }
  lay.MMax = static_cast<int>(form.size());
  form.push_back({std::string(wiz::FieldMMax), "1 1 1"});
}

// Real indices and modulation vectors: count 1-3, three finite components
// each (not all zero), a largest satellite index 0..kMaxSatOrder per vector.
int ReadModulation(const std::vector<FeFormField>& f, const FormLayout& lay, ImpOptions& opt) {
  const auto real = ToInt(f[lay.RealInd].Value);
  if (!real || (*real != 0 && *real != 1))
    return BadOpt(f[lay.RealInd].Label, f[lay.RealInd].Value);
  opt.RealIndices = *real == 1;
  const auto nq = ToInt(f[lay.NQ].Value);
  if (!nq || *nq < 0 || *nq > 3) return BadOpt(f[lay.NQ].Label, f[lay.NQ].Value);
  opt.QVec.clear();
  opt.MMax.clear();
  for (int i = 0; i < *nq; ++i) {
    const FeFormField& q = f[lay.Q + i];
    const auto w = SplitWords(q.Value);
    if (w.size() != 3) return BadOpt(q.Label, q.Value);
    bool nonzero = false;
    for (const auto& x : w) {
      const auto v = ToReal(x);
      if (!v || !std::isfinite(*v) || std::abs(*v) > kMaxQComponent)
        return BadOpt(q.Label, q.Value);
      nonzero = nonzero || *v != 0.;
      opt.QVec.push_back(*v);
    }
    if (!nonzero) return BadOpt(q.Label, q.Value);
  }
  const auto mw = SplitWords(f[lay.MMax].Value);
  if (static_cast<int>(mw.size()) < *nq) return BadOpt(f[lay.MMax].Label, f[lay.MMax].Value);
  for (int i = 0; i < *nq; ++i) {
    const auto m = ToInt(mw[i]);
    if (!m || *m < 0 || *m > kMaxSatOrder) return BadOpt(f[lay.MMax].Label, f[lay.MMax].Value);
    opt.MMax.push_back(static_cast<int>(*m));
  }
  if (opt.RealIndices) {
    if (*nq == 0) {
      FeChybne(std::string(wiz::Header), {std::string(wiz::RealNeedsQ)});
      return 1;
    }
    if (opt.Columns.NDim != 3) {
      FeChybne(std::string(wiz::Header), {std::string(wiz::RealNeedsThree)});
      return 1;
    }
  } else {
    // Vectors serve the resolution of real indices only.
    opt.QVec.clear();
    opt.MMax.clear();
  }
  return 0;
}

// Reads the options form into opt; 1 (message shown) when a field does not read.
int ReadOptions(const std::vector<FeFormField>& f, bool general, const FormLayout& lay,
                ImpOptions& opt) {
  const auto nd = ToInt(f[0].Value);
  if (!nd || (*nd != 0 && (*nd < 3 || *nd > kReflMaxNDim))) return BadOpt(f[0].Label, f[0].Value);
  opt.NDim = static_cast<int>(*nd);
  opt.TrMat.clear();
  for (const auto& w : SplitWords(f[1].Value)) {
    const auto v = ToReal(w);
    if (!v) return BadOpt(f[1].Label, f[1].Value);
    opt.TrMat.push_back(*v);
  }
  const int n = opt.NDim ? opt.NDim : 3;
  if (!opt.TrMat.empty() && static_cast<int>(opt.TrMat.size()) != n * n)
    return BadOpt(f[1].Label, f[1].Value);
  if (general) {
    const auto cols = SplitWords(f[2].Value);
    if (static_cast<int>(cols.size()) != n) return BadOpt(f[2].Label, f[2].Value);
    opt.Columns.NDim = n;
    for (int i = 0; i < n; ++i) {
      const auto c = ToInt(cols[i]);
      if (!c || *c < 1 || *c > 100) return BadOpt(f[2].Label, f[2].Value);
      opt.Columns.H[i] = static_cast<int>(*c);
    }
    const auto ci = ToInt(f[3].Value), cs = ToInt(f[4].Value);
    if (!ci || *ci < 1 || *ci > 100) return BadOpt(f[3].Label, f[3].Value);
    if (!cs || *cs < 1 || *cs > 100) return BadOpt(f[4].Label, f[4].Value);
    opt.Columns.I = static_cast<int>(*ci);
    opt.Columns.Sig = static_cast<int>(*cs);
    if (ReadModulation(f, lay, opt)) return 1;
  }
  const FeFormField& db = f[lay.DatBlock];
  const auto k = ToInt(db.Value);
  if (!k || *k < 0 || *k > static_cast<long long>(Struct.Basic.DatBlock.size()))
    return BadOpt(db.Label, db.Value);
  opt.DatBlock = static_cast<int>(*k);
  return 0;
}

}  // namespace

int EM9ImportWizard() {
  if (Trim(Sess.fln).empty()) {
    FeChybne(std::string(wiz::Header), {std::string(wiz::NoStructure)});
    return 1;
  }
  const auto list =
      Fe().ChooseFromList(std::string(wiz::Header),
                          {std::string(wiz::ListDiffractometer), std::string(wiz::ListProgram)});
  if (!list || *list < 0 || *list > 1) return 1;
  // The entries of the chosen list, in the order of the table.
  std::vector<const ImpFormatEntry*> entries;
  std::vector<std::string> labels;
  // Shown as text: without the access-key marks.
  for (const ImpFormatEntry& e : ImpFormats())
    if (ImpIsProgramFormat(e) == (*list == 1)) {
      entries.push_back(&e);
      labels.push_back(ImpPlainLabel(e.Label));
    }
  const auto choice = Fe().ChooseFromList(std::string(wiz::Header), labels);
  if (!choice || *choice < 0 || *choice >= static_cast<int>(entries.size())) return 1;
  const ImpFormatEntry& fe = *entries[*choice];
  if (!fe.Readable()) {
    FeInfo(std::string(impmsg::NotSupported));
    return 1;
  }
  const auto file =
      Fe().ChooseFile(std::string(fe.AsksCompanion ? wiz::SelectKuma : wiz::SelectFile),
                      ImpPlainLabel(fe.Label), std::string(fe.Filter));
  if (!file || Trim(*file).empty()) return 1;
  // A file that is not there is said at once, before the options are asked.
  if (!FeFileExists(*file)) {
    FeChybne(std::string(wiz::Header), {fmt::format(fmt::runtime(impmsg::CannotOpen), *file)});
    return 1;
  }
  std::string companion;
  if (fe.AsksCompanion) {
    // Cancel keeps the default companion, the .cif_od of the same name.
    const auto c = Fe().ChooseFile(std::string(wiz::SelectOrMat), ImpPlainLabel(fe.Label),
                                   std::string(wiz::OrMatFilter));
    if (c) companion = std::string(Trim(*c));
  }
  const bool general = fe.AsksColumns;
  std::vector<FeFormField> form = {{std::string(wiz::FieldNDim), "0"},
                                   {std::string(wiz::FieldTrMat), ""}};
  if (general) {
    form[0].Value = "3";
    form.push_back({std::string(wiz::FieldColH), "1 2 3"});
    form.push_back({std::string(wiz::FieldColI), "4"});
    form.push_back({std::string(wiz::FieldColSig), "5"});
  }
  FormLayout lay;
  if (general) AddModulationFields(form, lay);
  lay.DatBlock = static_cast<int>(form.size());
  const size_t nBlocks = Struct.Basic.DatBlock.size();
  form.push_back({nBlocks == 0 ? std::string(wiz::FieldDatBlockNone)
                               : fmt::format(fmt::runtime(wiz::FieldDatBlock), nBlocks),
                  "0"});
  if (!Fe().EditForm(std::string(wiz::Options), form)) return 1;
  ImpOptions opt;
  if (ReadOptions(form, general, lay, opt)) return 1;
  opt.Companion = companion;
  ImpReport rep;
  ErrorRecord err;
  if (EM9ImportFile(fe.Code, *file, opt, Sess.fln + ".m95", rep, err)) {
    FeChybne(std::string(wiz::Header), ImpErrorLines(err));
    return 1;
  }
  if (!rep.Warnings.empty()) FeWarning(std::string(wiz::Header), rep.Warnings);
  std::vector<std::string> lines = {
      fmt::format(fmt::runtime(wiz::Imported), rep.NRef, *file, rep.Block)};
  lines.insert(lines.end(), rep.Notes.begin(), rep.Notes.end());
  FeInfo(std::string(wiz::Header), lines);
  return 0;
}

}  // namespace tarn
