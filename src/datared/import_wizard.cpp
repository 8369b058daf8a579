// The import wizard: the two lists of formats, the file, the options; then the
// import of one block into M95 of the open structure.
#include <fmt/format.h>

#include "datared/import.hpp"
#include "datared/import_msg.hpp"
#include "frame/state.hpp"
#include "frame/toolkit.hpp"
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
constexpr std::string_view NoStructure = "Open or create a structure before importing reflections.";
constexpr std::string_view BadOption = "The option \"{}\" does not read: \"{}\".";
constexpr std::string_view Imported = "{} reflections imported from \"{}\" as reflection block {}.";
}  // namespace wiz

int BadOpt(std::string_view field, const std::string& value) {
  FeChybne(std::string(wiz::Header), {fmt::format(fmt::runtime(wiz::BadOption), field, value)});
  return 1;
}

// Reads the options form into opt; 1 (message shown) when a field does not read.
int ReadOptions(const std::vector<FeFormField>& f, bool general, ImpOptions& opt) {
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
  }
  return 0;
}

}  // namespace

int EM9ImportWizard() {
  if (Trim(Frame.fln).empty()) {
    FeChybne(std::string(wiz::Header), {std::string(wiz::NoStructure)});
    return 1;
  }
  const auto list =
      Fe().ChooseFromList(std::string(wiz::Header),
                          {std::string(wiz::ListDiffractometer), std::string(wiz::ListProgram)});
  if (!list || *list < 0 || *list > 1) return 1;
  std::vector<std::string> labels;
  if (*list == 0)
    for (const auto& e : ImpDiffractometerList) labels.push_back(std::string(e.Label));
  else
    for (const auto& e : ImpProgramList) labels.push_back(std::string(e.Label));
  const auto entry = Fe().ChooseFromList(std::string(wiz::Header), labels);
  if (!entry || *entry < 0 || *entry >= static_cast<int>(labels.size())) return 1;
  const int code = *list == 0 ? *entry + 1 : kImpProgramBase + *entry + 1;
  const ImpFormatEntry& fe = *list == 0 ? ImpDiffractometerList[*entry] : ImpProgramList[*entry];
  if (!ImpSupported(code)) {
    FeInfo(std::string(impmsg::NotSupported));
    return 1;
  }
  const bool kuma = code == ImpOxfordCCD || code == ImpRigakuCCD;
  const auto file = Fe().ChooseFile(std::string(kuma ? wiz::SelectKuma : wiz::SelectFile),
                                    ImpPlainLabel(fe.Label), std::string(fe.Filter));
  if (!file || Trim(*file).empty()) return 1;
  std::string companion;
  if (kuma) {
    // Cancel keeps the default companion, the .cif_od of the same name.
    const auto c = Fe().ChooseFile(std::string(wiz::SelectOrMat), ImpPlainLabel(fe.Label),
                                   std::string(wiz::OrMatFilter));
    if (c) companion = std::string(Trim(*c));
  }
  const bool general = code == ImpGeneralF || code == ImpGeneralI;
  std::vector<FeFormField> form = {{std::string(wiz::FieldNDim), "0"},
                                   {std::string(wiz::FieldTrMat), ""}};
  if (general) {
    form[0].Value = "3";
    form.push_back({std::string(wiz::FieldColH), "1 2 3"});
    form.push_back({std::string(wiz::FieldColI), "4"});
    form.push_back({std::string(wiz::FieldColSig), "5"});
  }
  if (!Fe().EditForm(std::string(wiz::Options), form)) return 1;
  ImpOptions opt;
  if (ReadOptions(form, general, opt)) return 1;
  opt.Companion = companion;
  const std::string m95 = Frame.fln + ".m95";
  if (EM9ImportFile(code, *file, opt, m95)) {
    FeChybne(std::string(wiz::Header), {Imp.LastError});
    return 1;
  }
  std::vector<std::string> lines = {
      fmt::format(fmt::runtime(wiz::Imported), Refl.M95.back().NRef, *file, Refl.M95.size())};
  lines.insert(lines.end(), Imp.LastNotes.begin(), Imp.LastNotes.end());
  FeInfo(std::string(wiz::Header), lines);
  return 0;
}

}  // namespace tarn

namespace tarn {

int EM9ImportTool(TarnToolCall& call) {
  if (!call.Batch) {
    (void)EM9ImportWizard();
    return NextNothing;
  }
  // Batch: the entry's label, then the file (Path, or the second item line).
  const std::string label = call.Items.empty() ? std::string() : call.Items[0].Line;
  std::string file = call.Path;
  if (file.empty() && call.Items.size() > 1) file = call.Items[1].Line;
  const int code = ImpCodeOfLabel(label);
  std::string err;
  if (Trim(Frame.fln).empty()) {
    err = "Open or create a structure before importing reflections.";
  } else if (code == 0 || !ImpSupported(code)) {
    err = std::string(impmsg::NotSupported);
  } else if (EM9ImportFile(code, file, ImpOptions{}, Frame.fln + ".m95")) {
    err = Imp.LastError;
  }
  if (!err.empty()) {
    Fe().ListingLine(err);
    call.Error = 1;
  } else {
    Fe().ListingLine(fmt::format("{} reflections imported from \"{}\" as reflection block {}.",
                                 Refl.M95.back().NRef, file, Refl.M95.size()));
    for (const auto& n : Imp.LastNotes) Fe().ListingLine(n);
  }
  return NextNothing;
}

}  // namespace tarn
