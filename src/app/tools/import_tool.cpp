#include "app/tools/import_tool.hpp"

#include <fmt/format.h>

#include <string>
#include <utility>

#include "app/fileset.hpp"
#include "app/toolkit.hpp"
#include "datared/import.hpp"
#include "model/basic.hpp"
#include "model/m50.hpp"
#include "model/refl.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace toolmsg {
constexpr std::string_view DatBlockAdded =
    "Data block {} has been added to M50 for the new reflection block.";
constexpr std::string_view M50NotWritten =
    "M50 could not be written; the new reflection block has no data block.";
constexpr std::string_view NoStructure = "Open or create a structure before importing reflections.";
constexpr std::string_view Imported = "{} reflections imported from \"{}\" as reflection block {}.";
constexpr std::string_view JoinsDatBlock =
    "Reflection block {} joins data block {}: the merging brings them to a common scale.";
constexpr std::string_view BadDatBlock = "datblock {}: the structure has {} data block(s).";
}  // namespace toolmsg

// The data block named by a batch line "datblock N" (0 when absent).
int RequestedDatBlock(const TarnToolCall& call) {
  for (const TarnBatchItem& it : call.Items)
    if (it.Name == "datblock") return static_cast<int>(it.Value);
  return 0;
}

void Say(const TarnToolCall& call, const std::string& text) {
  if (call.Batch)
    Fe().ListingLine(text);
  else
    FeInfo(text);
}

}  // namespace

int EM9ImportActionTool(TarnToolCall& call) {
  const size_t before = Struct.Refl.M95.size();
  // Only a structure whose basic data have been read gets a data block: the
  // first block always exists once M50 has been read.
  const bool haveM50 = Sess.ExistFile[FileM50] && !Struct.Basic.DatBlock.empty();
  // A block that joins an existing data block adds none.
  const bool add =
      haveM50 && RequestedDatBlock(call) == 0 && Struct.Basic.DatBlock.size() < before + 1;
  BasicData saved;
  if (add) {
    saved = Struct.Basic;
    DatBlockBasic d = Struct.Basic.DatBlock.back();
    // The name and the reflection count belong to the other data set.
    d.Name.clear();
    d.NoOfRef.reset();
    // Present before the import, so that the new M95 header is completed
    // from it like the headers of the earlier blocks.
    Struct.Basic.DatBlock.push_back(std::move(d));
  }
  const int next = EM9ImportTool(call);
  const bool imported = Struct.Refl.M95.size() == before + 1;
  if (!add) return next;
  // A block that the wizard put into an existing data block adds none either.
  if (call.Error || !imported || Struct.Refl.M95.back().Correspond > 0) {
    Struct.Basic = std::move(saved);
    return next;
  }
  // The file's own wavelength and radiation take precedence.
  const M95Block& b = Struct.Refl.M95.back();
  DatBlockBasic& d = Struct.Basic.DatBlock.back();
  if (b.Lambda != kUnsetReal && b.Lambda > 0.) {
    d.Lambda = b.Lambda;
    d.KAlpha1 = b.KAlpha1 != kUnsetReal ? b.KAlpha1 : b.Lambda;
    d.KAlpha2 = b.KAlpha2 != kUnsetReal ? b.KAlpha2 : b.Lambda;
  }
  if (b.RadType > 0) d.Radiation = b.RadType;
  if (Sess.StructureLocked) return next;  // basic files are not changed
  if (iom50(M50Write, Sess.fln + ".m50") != 0) {
    Struct.Basic = std::move(saved);
    Say(call, std::string(toolmsg::M50NotWritten));
    call.Error = 1;
    return next;
  }
  Say(call, fmt::format(fmt::runtime(toolmsg::DatBlockAdded), Struct.Basic.DatBlock.size()));
  return next;
}

int EM9ImportTool(TarnToolCall& call) {
  if (!call.Batch) {
    (void)EM9ImportWizard();
    return NextNothing;
  }
  // Batch: the entry's label, then the file (Path, or the second item line).
  const std::string label = call.Items.empty() ? std::string() : call.Items[0].Line;
  std::string file = call.Path;
  if (file.empty() && call.Items.size() > 1) file = call.Items[1].Line;
  if (Trim(Sess.fln).empty()) {
    Fe().ListingLine(std::string(toolmsg::NoStructure));
    call.Error = 1;
    return NextNothing;
  }
  ImpOptions opt;
  opt.DatBlock = RequestedDatBlock(call);
  const int ndb = static_cast<int>(Struct.Basic.DatBlock.size());
  if (opt.DatBlock > ndb) {
    Fe().ListingLine(fmt::format(fmt::runtime(toolmsg::BadDatBlock), opt.DatBlock, ndb));
    call.Error = 1;
    return NextNothing;
  }
  ImpReport rep;
  ErrorRecord err;
  if (EM9ImportByLabel(label, file, opt, Sess.fln + ".m95", rep, err)) {
    for (const std::string& l : ImpErrorLines(err)) Fe().ListingLine(l);
    call.Error = 1;
    return NextNothing;
  }
  Fe().ListingLine(fmt::format(fmt::runtime(toolmsg::Imported), rep.NRef, file, rep.Block));
  if (opt.DatBlock > 0)
    Fe().ListingLine(fmt::format(fmt::runtime(toolmsg::JoinsDatBlock), rep.Block, opt.DatBlock));
  for (const auto& n : rep.Notes) Fe().ListingLine(n);
  for (const auto& w : rep.Warnings) Fe().ListingLine(w);
  return NextNothing;
}

}  // namespace tarn
