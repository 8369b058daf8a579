// Registration of the model editors. The editors change a copy of the open
// structure; M40 and the refinement block of M50 are written once at the end,
// and only when every edit applied.
#include "app/tools/edit_tools.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <filesystem>
#include <memory>

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/batch.hpp"
#include "app/fileset.hpp"
#include "app/toolkit.hpp"
#include "edit/edit_script.hpp"
#include "edit/shelx_export.hpp"
#include "edit/transform.hpp"
#include "fourier/fourier.hpp"
#include "model/keys.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/scatdata.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "refine/refcommands.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace editmsg {
constexpr std::string_view Header = "Edit atoms";
constexpr std::string_view NewAtom = "New atom";
constexpr std::string_view EditLine = "Edit line (empty to finish)";
constexpr std::string_view NoM40 = "The structure has no M40 file to edit.";
constexpr std::string_view NotWritten = "The structure files could not be written.";
}  // namespace editmsg

void Listing(std::string_view text) {
  Fe().ListingLine(std::string(text));
}

// The difference density of the last refinement (the coefficients of the
// "fourier" block's map, which must be a difference map), computed on first
// use; 0 everywhere, with a note, when it cannot be had.
HydroDensity DiffDensity(int phase) {
  struct Coef {
    bool Tried = false;
    FouRunResult Run;
  };
  auto c = std::make_shared<Coef>();
  return [c, phase](const std::array<double, 3>& x) {
    if (!c->Tried) {
      c->Tried = true;
      if (FouPrelim(Struct, Sess.fln, phase, c->Run) != 0 || c->Run.Map.MapType != MapDiff) {
        Listing("The \"fourier\" block asks for no difference map: hydrogens placed by geometry.");
        c->Run.Coef.clear();
      }
    }
    std::array<double, 6> xm{};
    const auto& order = c->Run.Map.Grid.Order;
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        if (order[static_cast<size_t>(j)] == i + 1)
          xm[static_cast<size_t>(j)] = x[static_cast<size_t>(i)];
    return FouExMap(c->Run.Coef, 3, xm.data());
  };
}

AtomEditRun StartRun() {
  AtomEditRun run;
  run.St = Struct;
  run.Phase = Sess.KPhase;
  const int kd = Sess.KDatBlock;
  if (kd >= 1 && kd <= static_cast<int>(Struct.Basic.DatBlock.size()))
    run.TempK = Struct.Basic.DatBlock[static_cast<size_t>(kd - 1)].DatCollTemp.value_or(0.);
  // Covalent radii and atomic numbers for hydrogens and sorting.
  (void)ScatEnsureLoaded();
  if (FeFileExists(Sess.fln + ".m80")) run.Density = DiffDensity(run.Phase);
  return run;
}

// Writes the edited model: M40 to a temporary name first, then the refinement
// block and M50 (when they changed), then M40 is renamed into place.
int FinishRun(AtomEditRun& run) {
  RefSettings ref;
  std::vector<std::string> block;
  if (RefOpenCommands(ref) == 0 && EM40EditRefineLines(run, ref)) block = RefBlockLines(ref);
  for (const auto& l : run.Listing) Listing(l);
  if (Sess.StructureLocked) {
    Listing(msg::BatchLockedNotWritten);
    return 0;
  }
  const bool basicChanged = [&] {
    if (run.St.Basic.Phase.size() != Struct.Basic.Phase.size()) return true;
    for (size_t p = 0; p < Struct.Basic.Phase.size(); ++p)
      if (Struct.Basic.Phase[p].AtType != run.St.Basic.Phase[p].AtType) return true;
    return false;
  }();
  // The model is checked against the basic data it goes with.
  std::swap(Struct.Basic, run.St.Basic);
  auto fail = [&](const std::string& tmp, const std::string& why) {
    std::swap(Struct.Basic, run.St.Basic);
    if (!tmp.empty()) FeDeleteFile(tmp);
    Listing(editmsg::NotWritten);
    if (!why.empty()) Listing(why);
    return 1;
  };
  std::string m40;
  ErrorRecord err;
  if (M40WriteText(run.St.Model, m40, IostPlain, &err)) return fail("", err.Message);
  const std::string file = Sess.fln + ".m40", tmp = file + ".edit-tmp";
  if (FeWriteFileAtomic(tmp, m40)) return fail("", "");
  if (basicChanged && iom50(M50Write, Sess.fln + ".m50")) return fail(tmp, "");
  if (!block.empty() && KeysReplaceBlock(block)) return fail(tmp, "");
  std::error_code ec;
  std::filesystem::rename(tmp, file, ec);
  if (ec) return fail(tmp, ec.message());
  Struct.Model = run.St.Model;
  return 0;
}

// Batch ".Edit->Atoms": Items hold the lines (Line) with their line numbers
// in the batch file (Value). The first wrong line ends the edit; nothing is
// written then.
int EditAtomsBatch(TarnToolCall& call) {
  AtomEditRun run = StartRun();
  for (const auto& it : call.Items) {
    std::string why;
    if (EM40EditLine(run, it.Line, why)) {
      Listing(fmt::format("batch file {}, line {}: {}", Sess.BatchFile, static_cast<int>(it.Value),
                          it.Line));
      Listing(why);
      call.Error = 1;
      return NextNothing;
    }
  }
  call.Error = FinishRun(run);
  return NextNothing;
}

// Interactive: edit lines one at a time from a form; a wrong line is shown
// and skipped.
// The first form (when given) makes one edit line `verb` + its fields; a
// field whose label starts with "ref" adds "ref" before a non-empty value.
int EditAtomsInteractive(std::string_view header, std::vector<FeFormField> first,
                         std::string_view verb = "add") {
  AtomEditRun run = StartRun();
  int applied = 0;
  for (bool firstForm = !first.empty();; firstForm = false) {
    std::vector<FeFormField> f =
        firstForm ? first : std::vector<FeFormField>{{std::string(editmsg::EditLine), ""}};
    if (!Fe().EditForm(std::string(header), f)) break;
    std::string line;
    if (firstForm) {
      line = std::string(verb);
      for (const auto& x : f)
        if (!Trim(x.Value).empty())
          line += (x.Label.rfind("Ref", 0) == 0 ? " ref " : " ") + std::string(Trim(x.Value));
    } else {
      line = std::string(Trim(f[0].Value));
    }
    if (Trim(line).empty() || EqIgnoreCase(Trim(line), "end")) break;
    std::string why;
    if (EM40EditLine(run, line, why)) {
      FeChybne(std::string(header), {line, why});
      if (firstForm) break;
      continue;
    }
    ++applied;
    if (firstForm) break;
  }
  if (applied > 0 && FinishRun(run) != 0)
    FeChybne(std::string(header), {std::string(editmsg::NotWritten)});
  return NextNothing;
}

bool HaveM40(TarnToolCall& c) {
  if (Sess.ExistFile[FileM40] || Sess.ExistFile[FileM50]) return true;
  if (c.Batch)
    Listing(editmsg::NoM40);
  else
    FeChybne(std::string(editmsg::Header), {std::string(editmsg::NoM40)});
  c.Error = 1;
  return false;
}

// The reflections of an export: M90 of the current data block (averaged), or
// every reflection of M95 with its corrections applied. "" or why not.
std::string ExportReflections(bool averaged, std::vector<ShelxHklRefl>& refl) {
  if (averaged) {
    std::vector<M90Block> blocks;
    std::vector<std::vector<M90Refl>> rr;
    if (ReadM90File(Sess.fln + ".m90", blocks, rr))
      return "The refinement reflection file M90 cannot be read.";
    const size_t kd = static_cast<size_t>(std::max(1, Sess.KDatBlock) - 1);
    if (kd >= rr.size()) return "M90 has no such data block.";
    for (const auto& r : rr[kd])
      if (r.ICull == 0) refl.push_back({{r.H[0], r.H[1], r.H[2]}, r.I, r.SigI});
    return "";
  }
  std::vector<M95Block> blocks;
  std::vector<std::vector<M95Refl>> rr;
  if (ReadM95File(Sess.fln + ".m95", blocks, rr)) return "The reflection file M95 cannot be read.";
  for (const auto& b : rr)
    for (const auto& r : b)
      if (r.IFlag == 0)
        refl.push_back({{r.H[0], r.H[1], r.H[2]},
                        r.I * r.Corr[0] * r.Corr[1],
                        r.SigI * r.Corr[0] * r.Corr[1]});
  return "";
}

// The output name of an export: the batch line, or chosen by the user;
// a known extension is dropped. False when the user cancelled.
bool ExportBase(TarnToolCall& c, std::string_view prompt, std::string_view what,
                std::string& base) {
  base = c.Path;
  if (!c.Batch) {
    auto f = Fe().ChooseFile(std::string(prompt), std::string(what), "");
    if (!f) return false;
    base = *f;
  }
  for (const char* ext : {".ins", ".hkl", ".res"})
    if (base.size() > 4 && EqIgnoreCase(base.substr(base.size() - 4), ext))
      base.resize(base.size() - 4);
  return true;
}

int ExportFail(TarnToolCall& c, std::string_view header, const std::string& why) {
  if (c.Batch)
    Listing(why);
  else
    FeChybne(std::string(header), {why});
  c.Error = 1;
  return NextNothing;
}

// Export to SHELX: base.ins and base.hkl from the model and the reflections
// of M95 (averaged: of M90) of the current data block's structure.
int ExportShelx(TarnToolCall& c, bool averaged) {
  std::string base;
  if (!ExportBase(c, "Export to SHELX : ", "The files NAME.ins and NAME.hkl are written.", base))
    return NextNothing;
  auto fail = [&](const std::string& why) { return ExportFail(c, "Export to SHELX", why); };
  if (base.empty()) return fail("No file name was given.");
  std::vector<ShelxHklRefl> refl;
  if (const std::string why = ExportReflections(averaged, refl); !why.empty()) return fail(why);
  double scale = 1.;
  const std::string hkl = EM40ShelxHkl(refl, scale);
  RefSettings ref;
  if (RefOpenCommands(ref)) return fail("The refinement commands cannot be read.");
  std::string ins, why;
  std::vector<std::string> notes;
  if (EM40ShelxIns(Struct, Sess.KPhase, std::max(1, Sess.KDatBlock), ref, scale, ins, notes, why))
    return fail(why);
  if (FeWriteFileAtomic(base + ".ins", ins) || FeWriteFileAtomic(base + ".hkl", hkl))
    return fail("The files " + base + ".ins and .hkl cannot be written.");
  for (const auto& n : notes) Listing(n);
  Listing(fmt::format("{}.ins and {}.hkl written ({} reflections).", base, base, refl.size()));
  return NextNothing;
}

// Export of the reflection file of XD: base.hkl from M90 (merged, as a
// multipole refinement takes them) when the structure has one, else M95.
int ExportXd(TarnToolCall& c) {
  std::string base;
  if (!ExportBase(c, "Export to XD : ", "The reflection file NAME.hkl is written.", base))
    return NextNothing;
  auto fail = [&](const std::string& why) { return ExportFail(c, "Export to XD", why); };
  if (base.empty()) return fail("No file name was given.");
  std::vector<ShelxHklRefl> refl;
  const bool merged = std::filesystem::exists(Sess.fln + ".m90");
  if (const std::string why = ExportReflections(merged, refl); !why.empty()) return fail(why);
  const std::string name = std::filesystem::path(Sess.fln).filename().string();
  if (FeWriteFileAtomic(base + ".hkl", EM40XdHkl(refl, name)))
    return fail("The file " + base + ".hkl cannot be written.");
  Listing(fmt::format("{}.hkl written for XD ({} {} reflections).", base, refl.size(),
                      merged ? "merged" : "measured"));
  return NextNothing;
}

// Cell transformation, origin shift, change of enantiomorph, subgroup and
// supercell: M50, M40 and the indices of M95 and M90, all written to
// temporary names first.
int TransformTool(TarnToolCall& c, const std::string& dflt) {
  std::string line = c.Path;
  if (!c.Batch) {
    std::vector<FeFormField> f = {
        {"Transformation (cell a+c,b,-a | origin x y z | enantiomorph | subgroup -x,-y,-z | "
         "supercell 2a,b,c)",
         dflt}};
    if (!Fe().EditForm("Transformation", f)) return NextNothing;
    line = f[0].Value;
  }
  auto fail = [&](const std::string& why) {
    if (c.Batch)
      Listing(why);
    else
      FeChybne("Transformation", {why});
    c.Error = 1;
    return NextNothing;
  };
  EM40Transform t;
  std::string why;
  if (EM40ParseTransform(line, t, why)) return fail(why);
  Structure st = Struct;
  if (EM40TransformStructure(st, Sess.KPhase, t, why)) return fail(why);
  std::vector<std::pair<std::string, std::string>> files;  // temporary, final
  auto cleanup = [&] {
    for (auto& f : files) FeDeleteFile(f.first);
  };
  std::error_code ec;
  if (std::filesystem::exists(Sess.fln + ".m95", ec)) {
    std::vector<M95Block> blocks;
    std::vector<std::vector<M95Refl>> rr;
    if (ReadM95File(Sess.fln + ".m95", blocks, rr)) return fail("M95 cannot be read.");
    for (auto& b : blocks) EM40TransformCell(t, b.Cell);
    for (auto& b : rr)
      for (auto& r : b)
        if (EM40TransformIndices(t, r.H))
          return fail("A reflection of M95 has no integral indices in the new cell.");
    const std::string tmp = Sess.fln + ".m95.tr-tmp";
    files.emplace_back(tmp, Sess.fln + ".m95");
    if (WriteM95File(tmp, blocks, rr)) {
      cleanup();
      return fail("M95 cannot be written.");
    }
  }
  if (std::filesystem::exists(Sess.fln + ".m90", ec)) {
    std::vector<M90Block> blocks;
    std::vector<std::vector<M90Refl>> rr;
    if (ReadM90File(Sess.fln + ".m90", blocks, rr)) {
      cleanup();
      return fail("M90 cannot be read.");
    }
    for (auto& b : rr)
      for (auto& r : b)
        if (EM40TransformIndices(t, r.H)) {
          cleanup();
          return fail("A reflection of M90 has no integral indices in the new cell.");
        }
    const std::string tmp = Sess.fln + ".m90.tr-tmp";
    files.emplace_back(tmp, Sess.fln + ".m90");
    if (WriteM90File(tmp, blocks, rr)) {
      cleanup();
      return fail("M90 cannot be written.");
    }
  }
  std::swap(Struct.Basic, st.Basic);
  std::string m40;
  const std::string tmp40 = Sess.fln + ".m40.tr-tmp";
  if (M40WriteText(st.Model, m40) || FeWriteFileAtomic(tmp40, m40)) {
    std::swap(Struct.Basic, st.Basic);
    cleanup();
    return fail("M40 cannot be written.");
  }
  files.emplace_back(tmp40, Sess.fln + ".m40");
  if (iom50(M50Write, Sess.fln + ".m50")) {
    std::swap(Struct.Basic, st.Basic);
    cleanup();
    return fail("M50 cannot be written.");
  }
  for (auto& f : files) std::filesystem::rename(f.first, f.second, ec);
  Struct.Model = st.Model;
  Listing("Transformed: " + line);
  if (t.Kind != EM40TransformKind::Setting) {
    const PhaseBasic& ph = Struct.Basic.Phase[static_cast<size_t>(std::max(1, Sess.KPhase) - 1)];
    Listing(fmt::format("Group {}, {} atoms; operators: {}", ph.SpGroup, Struct.Model.Atom.size(),
                        fmt::join(ph.SymmText, " | ")));
  }
  return NextNothing;
}

}  // namespace

void RegisterEditTools() {
  TarnSetTool(MenuCellTrans, [](TarnToolCall& c) { return TransformTool(c, "cell a,b,c"); });
  TarnSetTool(MenuOriginShift, [](TarnToolCall& c) { return TransformTool(c, "origin 0 0 0"); });
  TarnSetTool(MenuEnantiomorph, [](TarnToolCall& c) { return TransformTool(c, "enantiomorph"); });
  TarnSetTool(MenuSubgroup, [](TarnToolCall& c) { return TransformTool(c, "subgroup x,y,z"); });
  TarnSetTool(MenuSupercell, [](TarnToolCall& c) { return TransformTool(c, "supercell 2a,b,c"); });
  TarnSetTool(ActExportShelx, [](TarnToolCall& c) { return ExportShelx(c, false); });
  TarnSetTool(ActExportShelxAveraged, [](TarnToolCall& c) { return ExportShelx(c, true); });
  TarnSetTool(ActExportXd, [](TarnToolCall& c) { return ExportXd(c); });
  TarnSetTool(ActEditAtoms, [](TarnToolCall& c) -> int {
    if (!HaveM40(c)) return NextNothing;
    if (c.Batch) return EditAtomsBatch(c);
    return EditAtomsInteractive(editmsg::Header, {});
  });
  TarnSetTool(ActNewAtom, [](TarnToolCall& c) -> int {
    if (!HaveM40(c)) return NextNothing;
    if (c.Batch) return EditAtomsBatch(c);
    return EditAtomsInteractive(
        editmsg::NewAtom,
        {{"Name", ""}, {"Element", ""}, {"x", "0"}, {"y", "0"}, {"z", "0"}, {"Uiso", "0.05"}});
  });
  TarnSetTool(ActNewMolecule, [](TarnToolCall& c) -> int {
    if (!HaveM40(c)) return NextNothing;
    if (c.Batch) return EditAtomsBatch(c);
    return EditAtomsInteractive(
        "New molecule",
        {{"Name", ""}, {"Atoms", ""}, {"Reference point x y z (empty: centre of gravity)", ""}},
        "molecule");
  });
  TarnSetTool(ActNewPosition, [](TarnToolCall& c) -> int {
    if (!HaveM40(c)) return NextNothing;
    if (c.Batch) return EditAtomsBatch(c);
    return EditAtomsInteractive("New position",
                                {{"Molecule", ""},
                                 {"phi", "0"},
                                 {"chi", "0"},
                                 {"psi", "0"},
                                 {"tx", "0"},
                                 {"ty", "0"},
                                 {"tz", "0"},
                                 {"ai", "1"},
                                 {"Name (empty: automatic)", ""}},
                                "position");
  });
}

}  // namespace tarn
