#include "app/batch.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <optional>

#include "app/action_codes.hpp"
#include "app/actions.hpp"
#include "app/fileset.hpp"
#include "app/run_summary.hpp"
#include "app/startup.hpp"
#include "app/toolkit.hpp"
#include "model/keys.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/strings.hpp"

namespace tarn {

std::vector<std::string> TarnBatchWords(std::string_view line) {
  auto t = Trim(line);
  if (t.empty() || t[0] != '.') return {};
  std::vector<std::string> words;
  for (auto& w : SplitOn(t.substr(1), "->")) words.emplace_back(Trim(w));
  if (words.size() > 3) words.resize(3);
  return words;
}

namespace {

// M50 keywords 31-39 of the basic-data keyword table, the ones a batch may
// change in "Edit->Radiation".
constexpr std::array<std::string_view, 9> kRadiationKeys = {"lambda",  "radtype",  "lpfactor",
                                                            "nalpha",  "monangle", "kalpha1",
                                                            "kalpha2", "kalphar",  "perfmono"};

class BatchRun {
 public:
  int Run();
  // The message of the failure that ended the batch ("" when it did not).
  const std::string& Failure() const { return failText_; }

 private:
  enum Read { Line = 1, Eof = 0, Error = -1 };
  Read Next(std::string& line);
  void Listing(std::string_view text) { Fe().ListingLine(std::string(text)); }
  int Fail(std::string_view text) {
    if (!text.empty()) Listing(text);
    failText_ = text;
    return 1;
  }
  // Reads the one data line that a command needs; 0, or 1 after the message.
  int DataLine(std::string& line);
  // Lines of an edit block: up to the next "." line, "#" and blank lines skipped.
  int Block(std::vector<std::string>& lines);
  bool HaveStructure(std::string_view command);
  int OpenStructure();
  int ImportModel(int tool, const char* command);
  int ImportReflections(const std::string& command);
  int ImportPowder(const std::string& command);
  int Edit(int hook, const std::string& command);
  int EditCommands(const std::string& command);
  int EditAtoms(const std::string& command);
  int BlockHeader(const std::string& line, std::string& header);
  int RunTool(int code, std::string_view header, const std::string& command);
  // "Simulation of single crystal data" with the default settings and an
  // optional line "absent".
  int Simulate(const std::string& command);
  // ".run->sgtest" and its line "standard", "original" or "none".
  int SpaceGroupTest(const std::string& command);
  // ".run->cif->user" and its line with the CIF of the user's to merge.
  int CifUserFile(const std::string& command);
  int AfterTool(const TarnToolCall& call, const std::string& command);

  // "batch file NAME, line N: text" of the line numbered n.
  std::string Where(int n, std::string_view text) const {
    return fmt::format("batch file {}, line {}: {}", Sess.BatchFile, n, Trim(text));
  }
  // Checks the body of a command block against the tool's keyword table
  // (when the block has one); 0, or 1 after the reader's messages.
  int CheckKeywords(std::string_view block, const std::vector<std::string>& body, int firstLine);
  int EditKeywords(const std::string& command);

  std::ifstream in_;
  std::optional<std::string> pushed_;  // a command line read ahead by Block
  int lineNo_ = 0;                     // number of the line last read
  std::vector<int> blockLineNo_;       // line numbers of the lines Block returned
  std::string failText_;               // the last failure's message (run summary)
};

BatchRun::Read BatchRun::Next(std::string& line) {
  if (pushed_) {
    line = std::move(*pushed_);
    pushed_.reset();
    return Line;
  }
  if (!std::getline(in_, line)) return in_.bad() ? Error : Eof;
  ++lineNo_;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // A batch file is text: a NUL byte means it is not one.
  if (line.find('\0') != std::string::npos) return Error;
  return Line;
}

int BatchRun::DataLine(std::string& line) {
  Read r = Next(line);
  if (r == Error) return Fail(msg::BatchReadError);
  if (r == Eof) return Fail(msg::BatchEof);
  Listing(line);
  line = std::string(Trim(line));
  return 0;
}

int BatchRun::Block(std::vector<std::string>& lines) {
  std::string line;
  blockLineNo_.clear();
  for (;;) {
    Read r = Next(line);
    if (r == Error) return Fail(msg::BatchReadError);
    if (r == Eof) return 0;
    auto t = Trim(line);
    if (!t.empty() && t[0] == '.') {
      pushed_ = line;
      return 0;
    }
    Listing(line);
    if (t.empty() || t[0] == '#') continue;
    lines.emplace_back(t);
    blockLineNo_.push_back(lineNo_);
  }
}

bool BatchRun::HaveStructure(std::string_view command) {
  if (!Sess.fln.empty() && StructureExists(Sess.fln)) return true;
  Fail(std::string(msg::BatchNoStructure) + std::string(command));
  return false;
}

int BatchRun::OpenStructure() {
  std::string path;
  if (DataLine(path)) return 1;
  if (path.empty()) return Fail(msg::BatchEof);
  // Relative paths are taken from the directory the program was started in.
  path = TarnAbsolute(path);
  if (!Sess.fln.empty()) DeletePomFiles();
  if (TarnSwitchFln(path) != 0) return 1;
  Listing("Structure: " + Sess.fln);
  if (!StructureExists(Sess.fln))
    return Fail(fmt::format("The structure \"{}\" does not exist.", path));
  if (TarnCheckStructure() != 0) return 1;
  int ich = 0;
  TarnReadStructure(ich);
  return ich != 0 ? 1 : 0;
}

// ".import->CIF" (tool 51103) and ".import->SHELX" (tool 51102): one line
// with the model file; the structure takes the file's name.
int BatchRun::ImportModel(int tool, const char* command) {
  std::string path;
  if (DataLine(path)) return 1;
  if (path.empty()) return Fail(msg::BatchEof);
  path = TarnAbsolute(path);
  if (!Sess.fln.empty()) DeletePomFiles();
  std::string dir, file;
  FeSplitPath(path, dir, file);
  if (TarnSwitchFln(path) != 0) return 1;
  Listing("Structure: " + Sess.fln);
  TarnToolCall call;
  call.Path = file;  // relative to the structure's directory, now current
  (void)TarnRunTool(tool, call);
  if (call.Error) return Fail(std::string(msg::BatchToolFailed) + command);
  if (StructureExists(Sess.fln)) {
    if (TarnCheckStructure() != 0) return 1;
    int ich = 0;
    TarnReadStructure(ich);
    if (ich != 0) return 1;
  }
  return 0;
}

// ".File->Reflection file->Import": the entry's label (without "&"), then the
// file's path; one reflection block is appended to M95 with the wizard's
// default settings.
int BatchRun::ImportReflections(const std::string& command) {
  std::string label, path;
  if (DataLine(label) || DataLine(path)) return 1;
  if (label.empty() || path.empty()) return Fail(msg::BatchEof);
  if (!HaveStructure(command)) return 1;
  TarnToolCall call;
  call.Items.push_back(TarnBatchItem{});
  call.Items[0].Line = label;
  // Relative paths are taken from the directory the program was started in.
  call.Path = TarnAbsolute(path);
  // Optional "datblock N": the block joins data block N.
  {
    std::string next;
    if (Next(next) == Line) {
      const auto w = SplitWords(next);
      if (!w.empty() && EqIgnoreCase(w[0], "datblock")) {
        Listing(next);
        if (w.size() != 2 || !ToInt(w[1]) || *ToInt(w[1]) < 1) return Fail(Where(lineNo_, next));
        call.Items.push_back(TarnBatchItem{});
        call.Items[1].Name = "datblock";
        call.Items[1].Value = static_cast<double>(*ToInt(w[1]));
      } else {
        pushed_ = next;
      }
    }
  }
  (void)TarnRunTool(ActImportReflections, call);
  return AfterTool(call, command);
}

// ".File->Powder data->Import": the format label, the pattern file, the
// instrument file (or "none"), and optionally "bank N" for multi-bank files.
int BatchRun::ImportPowder(const std::string& command) {
  std::string label, path, ins;
  if (DataLine(label) || DataLine(path) || DataLine(ins)) return 1;
  if (label.empty() || path.empty() || ins.empty()) return Fail(msg::BatchEof);
  TarnToolCall call;
  call.Items.resize(3);
  call.Items[0].Line = label;
  call.Items[1].Line = TarnAbsolute(path);
  call.Items[2].Line = EqIgnoreCase(ins, "none") ? ins : TarnAbsolute(ins);
  // The optional fourth line.
  std::string next;
  if (Next(next) == Line) {
    if (StartsWithIgnoreCase(Trim(next), "bank")) {
      Listing(next);
      call.Items.push_back(TarnBatchItem{});
      call.Items.back().Line = std::string(Trim(next));
    } else {
      pushed_ = next;
    }
  }
  if (!HaveStructure(command)) return 1;
  (void)TarnRunTool(HookBatchPowderImport, call);
  return AfterTool(call, command);
}

int BatchRun::Edit(int hook, const std::string& command) {
  std::vector<std::string> lines;
  if (Block(lines)) return 1;
  if (!HaveStructure(command)) return 1;
  TarnToolCall call;
  for (const auto& l : lines) {
    TarnBatchItem item;
    item.Line = l;
    if (hook == HookBatchEditParameters) {
      // name = value
      auto eq = l.find('=');
      if (eq == std::string::npos) return Fail(std::string(msg::BatchSyntax) + l);
      item.Name = std::string(Trim(std::string_view(l).substr(0, eq)));
      item.Text = std::string(Trim(std::string_view(l).substr(eq + 1)));
      auto v = ToReal(item.Text);
      if (item.Name.empty() || SplitWords(item.Name).size() != 1 || !v)
        return Fail(std::string(msg::BatchSyntax) + l);
      item.Value = *v;
    } else {
      // keyword value(s)
      auto words = SplitWords(l);
      item.Name = words[0];
      item.Text = std::string(Trim(std::string_view(l).substr(words[0].size())));
      if (hook == HookBatchEditRadiation) {
        bool known = false;
        for (auto k : kRadiationKeys) known = known || EqIgnoreCase(k, item.Name);
        if (!known) return Fail(std::string(msg::BatchUnknown) + item.Name);
        if (EqIgnoreCase(item.Name, "nalpha")) continue;  // not changed from a batch
        if (words.size() != 2) return Fail(std::string(msg::BatchSyntax) + l);
        auto v = ToReal(words[1]);
        if (!v) {
          // A value the user meant ("1,54184") must not be left out silently.
          Listing(fmt::format("{} \"{}\"", msg::BatchWrongNumber, words[1]));
          return Fail(Where(blockLineNo_[&l - lines.data()], l));
        }
        item.Value = *v;
      }
    }
    call.Items.push_back(std::move(item));
  }
  (void)TarnRunTool(hook, call);
  return AfterTool(call, command);
}

// ".Edit->Atoms": edit lines up to the next command (edit/edit_script.hpp),
// each with its line number for the messages.
int BatchRun::EditAtoms(const std::string& command) {
  std::vector<std::string> lines;
  if (Block(lines)) return 1;
  if (!HaveStructure(command)) return 1;
  TarnToolCall call;
  for (size_t k = 0; k < lines.size(); ++k) {
    TarnBatchItem item;
    item.Line = lines[k];
    item.Value = blockLineNo_[k];
    call.Items.push_back(std::move(item));
  }
  (void)TarnRunTool(ActEditAtoms, call);
  return AfterTool(call, command);
}

// ".Edit->Commands": the following lines, from a block header ("refine",
// "fourier", "dist", "contour", "mod2d", with the phase name as the second
// word where several phases have their own blocks) through the line whose
// first word is "end", replace that block of the current phase. Its keyword
// lines are read with the tool's table first; the listing names every line
// of the stored block that the new one drops.
int BatchRun::EditCommands(const std::string& command) {
  std::vector<std::string> block;
  std::string line;
  int firstBody = 0;
  for (;;) {
    Read r = Next(line);
    if (r == Error) return Fail(msg::BatchReadError);
    if (r == Eof) return Fail(msg::BatchEof);
    auto t = Trim(line);
    if (!t.empty() && t[0] == '.') return Fail(std::string(msg::BatchNoBlockEnd) + command);
    Listing(line);
    // Blank lines, and comments before the header, carry nothing; a separator
    // line would split the stored blocks.
    if (t.empty() || IsKeySeparator(t) || (block.empty() && (t[0] == '#' || t[0] == '*'))) continue;
    auto words = SplitWords(t);
    if (block.empty()) {
      std::string header;
      if (BlockHeader(line, header)) return 1;
      block.push_back(std::move(header));
      firstBody = lineNo_ + 1;
      continue;
    }
    block.emplace_back(TrimRight(line));
    if (EqIgnoreCase(words[0], "end")) break;
  }
  if (!HaveStructure(command)) return 1;
  const std::string name = SplitWords(block[0])[0];
  // Blank lines inside were dropped: the reader numbers the body from its
  // first line, which is close enough for a message.
  std::vector<std::string> body(block.begin() + 1, block.end());
  if (CheckKeywords(name, body, firstBody)) return 1;
  if (Sess.StructureLocked) {
    Listing(msg::BatchLockedNotWritten);
    return 0;
  }
  std::vector<std::string> old;
  if (KeysBlockLines(name, old) != 0) old.clear();
  TarnToolCall call;
  call.Error = KeysReplaceBlock(block);
  if (call.Error == 0) {
    auto norm = [](std::string_view l) {
      std::string r;
      for (const auto& w : SplitWords(l)) r += (r.empty() ? "" : " ") + ToLower(w);
      return r;
    };
    std::vector<std::string> kept;
    for (const auto& l : block) kept.push_back(norm(l));
    for (size_t k = 1; k + 1 < old.size(); ++k) {
      const std::string n = norm(old[k]);
      if (n.empty() || std::find(kept.begin(), kept.end(), n) != kept.end()) continue;
      Listing(fmt::format(fmt::runtime(msg::BatchLineRemoved), name, Trim(old[k])));
    }
  }
  return AfterTool(call, command);
}

// The header of a block edit: a program block's name, and where several
// phases have their own blocks, the phase (the current one when not given).
int BatchRun::BlockHeader(const std::string& line, std::string& header) {
  auto words = SplitWords(line);
  bool known = false;
  for (auto n : KeyBlockNames) known = known || EqIgnoreCase(n, words[0]);
  if (!known) return Fail(std::string(msg::BatchUnknown) + words[0]);
  header = std::string(Trim(line));
  const auto& phases = Struct.KeyPhases.PhaseNames;
  if (phases.size() > 1 && !EqIgnoreCase(words[0], "refine")) {
    if (words.size() == 1) {
      const int kp = Sess.KPhase;
      if (kp >= 1 && kp <= static_cast<int>(phases.size()))
        header += " " + std::string(Trim(phases[kp - 1]));
    } else {
      bool phase = false;
      for (const auto& p : phases) phase = phase || EqIgnoreCase(Trim(p), words[1]);
      if (!phase) return Fail(std::string(msg::BatchUnknown) + words[1]);
    }
  }
  return 0;
}

int BatchRun::CheckKeywords(std::string_view block, const std::vector<std::string>& body,
                            int firstLine) {
  auto table = TarnBlockTable(block);
  if (!table) return 0;
  KeyCheckSource src;
  src.File = Sess.BatchFile;
  src.FirstLine = firstLine;
  return KeysCheckBlock(body, *table, src) > 0
             ? Fail(std::string(msg::BatchBadKeywords) + std::string(block))
             : 0;
}

// ".Edit->Keywords": a block header line, then keyword lines up to the next
// command, merged into the stored block (KeysMergeBlock): a keyword's value
// replaces the stored one, a command line is added unless the block has it.
int BatchRun::EditKeywords(const std::string& command) {
  std::vector<std::string> lines;
  if (Block(lines)) return 1;
  if (lines.empty()) return Fail(msg::BatchEof);
  if (!HaveStructure(command)) return 1;
  std::string header;
  if (BlockHeader(lines[0], header)) return 1;
  const std::string name = SplitWords(header)[0];
  auto table = TarnBlockTable(name);
  if (!table) return Fail(fmt::format(fmt::runtime(msg::BatchNoKeywordTable), name));
  std::vector<std::string> edit(lines.begin() + 1, lines.end());
  // An "end" line closes the edit like a block.
  for (size_t k = 0; k < edit.size(); ++k)
    if (auto w = SplitWords(edit[k]); !w.empty() && EqIgnoreCase(w[0], "end")) edit.resize(k);
  KeyCheckSource src;
  src.File = Sess.BatchFile;
  src.FirstLine = blockLineNo_.size() > 1 ? blockLineNo_[1] : lineNo_;
  if (Sess.StructureLocked) {
    if (KeysCheckBlock(edit, *table, src) > 0)
      return Fail(std::string(msg::BatchBadKeywords) + name);
    Listing(msg::BatchLockedNotWritten);
    return 0;
  }
  std::vector<std::string> notes;
  TarnToolCall call;
  call.Error = KeysMergeBlock(name, edit, *table, src, notes);
  if (call.Error) return Fail(std::string(msg::BatchBadKeywords) + name);
  for (const auto& n : notes) Listing(fmt::format(fmt::runtime(msg::BatchKeywordSet), name, n));
  return AfterTool(call, command);
}

int BatchRun::AfterTool(const TarnToolCall& call, const std::string& command) {
  if (!call.Bad.empty()) return Fail(std::string(msg::BatchUnknown) + call.Bad);
  if (call.Error) return Fail(std::string(msg::BatchToolFailed) + command);
  int ich = 0;
  TarnReset(ich);
  return ich != 0 ? Fail(std::string(msg::BatchToolFailed) + command) : 0;
}

int BatchRun::RunTool(int code, std::string_view header, const std::string& command) {
  if (!HaveStructure(command)) return 1;
  if (!header.empty()) Listing(header);
  TarnToolCall call;
  (void)TarnRunTool(code, call);
  return AfterTool(call, command);
}

int BatchRun::Simulate(const std::string& command) {
  if (!HaveStructure(command)) return 1;
  TarnToolCall call;
  if (std::string next; Next(next) == Line) {
    if (EqIgnoreCase(Trim(next), "absent")) {
      Listing(next);
      call.Items.push_back(TarnBatchItem{});
      call.Items[0].Name = "absent";
    } else {
      pushed_ = next;
    }
  }
  (void)TarnRunTool(MenuSimSingle, call);
  return AfterTool(call, command);
}

int BatchRun::SpaceGroupTest(const std::string& command) {
  std::string mode;
  if (DataLine(mode)) return 1;
  if (!HaveStructure(command)) return 1;
  TarnToolCall call;
  call.Items.push_back(TarnBatchItem{});
  call.Items[0].Line = mode;
  (void)TarnRunTool(ActSpaceGroupTest, call);
  return AfterTool(call, command);
}

int BatchRun::CifUserFile(const std::string& command) {
  std::string path;
  if (DataLine(path)) return 1;
  if (path.empty()) return Fail(msg::BatchEof);
  if (!HaveStructure(command)) return 1;
  Listing("CIF");
  TarnToolCall call;
  call.Path = TarnAbsolute(path);
  (void)TarnRunTool(ActCifUpdate, call);
  return AfterTool(call, command);
}

int BatchRun::Run() {
  in_.open(Sess.BatchFile, std::ios::binary);
  if (!in_) return Fail(msg::BatchReadError);
  std::string line;
  for (;;) {
    Read r = Next(line);
    if (r == Error) return Fail(msg::BatchReadError);
    if (r == Eof) break;
    auto words = TarnBatchWords(line);
    if (words.empty()) continue;
    std::string command(Trim(line));
    Listing(command);
    failText_.clear();
    auto is = [&](std::string_view a, std::string_view b = {}, std::string_view c = {}) {
      std::array<std::string_view, 3> want = {a, b, c};
      size_t n = c.empty() ? (b.empty() ? 1 : 2) : 3;
      if (words.size() != n) return false;
      for (size_t k = 0; k < n; ++k)
        if (!EqIgnoreCase(words[k], want[k])) return false;
      return true;
    };
    int err = 0;
    if (is("File", "Structure", "Open")) {
      err = OpenStructure();
    } else if (is("import", "CIF")) {
      err = ImportModel(ActModelFromCif, "import->CIF");
    } else if (is("import", "SHELX")) {
      err = ImportModel(ActModelFromShelx, "import->SHELX");
    } else if (is("File", "Reflection file", "Import")) {
      err = ImportReflections(command);
    } else if (is("File", "Powder data", "Import")) {
      err = ImportPowder(command);
    } else if (is("File", "Powder data", "Export instprm")) {
      // One data line: the file of the first powder block.
      std::string path;
      if (DataLine(path)) return 1;
      if (!HaveStructure(command)) return 1;
      TarnToolCall call;
      call.Path = TarnAbsolute(path);
      (void)TarnRunTool(ActExportInstprm, call);
      err = AfterTool(call, command);
    } else if (is("File", "Reflection file", "Create refinement reflection file")) {
      err = RunTool(ActCreateM90, "", command);
    } else if (is("File", "Reflection file", "Run statistic test - Wilson plot")) {
      err = RunTool(ActStatisticTest, "", command);
    } else if (is("Edit", "Parameters")) {
      err = Edit(HookBatchEditParameters, command);
    } else if (is("Edit", "Radiation")) {
      err = Edit(HookBatchEditRadiation, command);
    } else if (is("Export", "SHELX") || is("Export", "SHELX averaged")) {
      // One data line: the output name (".ins" and ".hkl" are added).
      std::string path;
      if (DataLine(path)) return 1;
      if (!HaveStructure(command)) return 1;
      TarnToolCall call;
      call.Path = TarnAbsolute(path);
      (void)TarnRunTool(words[1].size() > 5 ? ActExportShelxAveraged : ActExportShelx, call);
      err = AfterTool(call, command);
    } else if (is("Export", "XD")) {
      // One data line: the output name (".hkl" is added).
      std::string path;
      if (DataLine(path)) return 1;
      if (!HaveStructure(command)) return 1;
      TarnToolCall call;
      call.Path = TarnAbsolute(path);
      (void)TarnRunTool(ActExportXd, call);
      err = AfterTool(call, command);
    } else if (is("Tools", "Transform")) {
      // One data line: "cell EXPR", "origin x y z", "enantiomorph",
      // "subgroup OP..." or "supercell EXPR".
      std::string line;
      if (DataLine(line)) return 1;
      if (!HaveStructure(command)) return 1;
      TarnToolCall call;
      call.Path = line;
      (void)TarnRunTool(MenuCellTrans, call);
      err = AfterTool(call, command);
    } else if (is("Tools", "Simulation of powder profile")) {
      // One data line: "block N seed N counts C range FROM TO STEP", each optional.
      std::string line;
      if (DataLine(line)) return 1;
      if (!HaveStructure(command)) return 1;
      TarnToolCall call;
      call.Items.push_back(TarnBatchItem{});
      call.Items[0].Line = line;
      (void)TarnRunTool(MenuSimPowder, call);
      err = AfterTool(call, command);
    } else if (is("Tools", "Simulation of single crystal data")) {
      err = Simulate(command);
    } else if (is("Edit", "Atoms")) {
      err = EditAtoms(command);
    } else if (is("Edit", "Commands")) {
      err = EditCommands(command);
    } else if (is("Edit", "Keywords")) {
      err = EditKeywords(command);
    } else if (is("Edit", "PwdKeys")) {
      err = Edit(HookBatchEditPwdKeys, command);
    } else if (is("run", "refine")) {
      err = RunTool(ActRunRefine, "", command);
    } else if (is("run", "sgtest")) {
      err = SpaceGroupTest(command);
    } else if (is("run", "lebail")) {
      err = RunTool(ActLeBail, "Le Bail", command);
    } else if (is("run", "lebail wizard")) {
      err = Edit(ActLeBailWizard, command);
    } else if (is("Edit", "Profile")) {
      err = Edit(ActEditProfile, command);
    } else if (is("run", "williamson-hall")) {
      err = RunTool(ActWilliamsonHall, "Williamson-Hall", command);
    } else if (is("run", "fourier")) {
      err = RunTool(ActRunFourier, "Fourier", command);
    } else if (is("run", "dist")) {
      err = RunTool(ActRunDist, "Dist", command);
    } else if (is("run", "cif")) {
      err = RunTool(ActCifUpdate, "CIF", command);
    } else if (is("run", "cif", "user")) {
      err = CifUserFile(command);
    } else if (is("Tools", "Graphic", "Create graphic output file")) {
      if (!HaveStructure(command)) {
        err = 1;
      } else {
        TarnToolCall call;
        call.Path = Sess.fln + "_tmp";
        (void)TarnRunTool(HookBatchGraphic, call);
        err = AfterTool(call, command);
      }
    } else if (is("end") || is("end", "close") ||
               (words.size() == 1 && SplitWords(words[0]).size() == 2 &&
                EqIgnoreCase(SplitWords(words[0])[0], "end") &&
                EqIgnoreCase(SplitWords(words[0])[1], "close"))) {
      break;
    } else {
      err = Fail(std::string(msg::BatchUnknownCommand) + command);
    }
    TarnRunSummaryCommand(command, err == 0, failText_);
    if (err) return 1;
  }
  Listing(msg::BatchEnd);
  return 0;
}

}  // namespace

int TarnActionsBatchMode() {
  TarnRunSummaryBegin();
  BatchRun run;
  int err = 0;
  {
    TarnRunSummaryCapture capture;
    err = run.Run();
  }
  // The run summary is written whatever happened, beside the batch file.
  if (TarnRunSummaryWrite(Sess.BatchFile, err, err != 0 ? run.Failure() : std::string()) != 0)
    err = 1;
  // The structure's temporaries go and child structures are closed, whether
  // the batch ended normally or on an error.
  if (!Sess.fln.empty()) DeletePomFiles();
  ChildFlnClose();
  return err;
}

}  // namespace tarn
