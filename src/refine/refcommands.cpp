// The refinement command block: keyword table, defaults, reading with the
// clamping rules, and the writer of the block.
#include "refine/refcommands.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "model/session.hpp"
#include "refine/refcommands_internal.hpp"
#include "util/files.hpp"
#include "util/real_text.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Positions 1..140: names and defaults. Sub-commands may repeat; the other
// special keywords occur once.
constexpr KeyDef kDefs[RefNKeys] = {
    // integer keywords 1..60
    {"print", -2},
    {"weight", 0},
    {"cycles", 10},
    {"lsmethod", 1},
    {"fsquare", 1},
    {"onlymag", 0},
    {"lam2corr", 0},
    {"lam3corr", 0},
    {"autkeys", 1},
    {"selsat", -2},
    {"derprint", 0},
    {"shelxw", 0},
    {"selcomp", 0},
    {"skipbad", 0},
    {"stat", 1},
    {"indtw", 0},
    {"autspec", 1},
    {"ranpr", 0},
    {"method", 1},
    {"useunobs", 1},
    {"overlap", 0},
    {"repeat", 1},
    {"simul", 0},
    {"#i24", 0},
    {"nlebail", 1},
    {"esdcorr", 0},
    {"auteln", 1},
    {"convchck", 1},
    {"convcycl", 1},
    {"twdetail", 0},
    {"dolebail", 0},
    {"sigmeth", 4},
    {"mmaxtw", 4},
    {"wtsnthl", 0},
    {"callfour", 0},
    {"keydynam", 1},
    {"ncdynam", 3},
    {"fweakflag", 0},
    {"sinlim", 0},
    {"wilsonmod", 1},
    {"stunstab", 0},
    {"#i42", 0},
    {"#i43", 0},
    {"#i44", 0},
    {"#i45", 0},
    {"#i46", 0},
    {"#i47", 0},
    {"#i48", 0},
    {"#i49", 0},
    {"#i50", 0},
    {"#i51", 0},
    {"#i52", 0},
    {"#i53", 0},
    {"#i54", 0},
    {"#i55", 0},
    {"#i56", 0},
    {"#i57", 0},
    {"#i58", 0},
    {"#i59", 0},
    {"#i60", 0},
    // real keywords 61..100
    {"badref", 3.0},
    {"refexcl", 30.0},
    {"yomin", 5.0},
    {"yomax", 200.0},
    {"unstab", 0.01},
    {"snlmn", 0.0},
    {"snlmx", 10.0},
    {"damp", 1.0},
    {"corr", 0.9},
    {"twmax", 0.0},
    {"twdiff", 0.1},
    {"diff", 1.0e-5},
    {"siglevel", 3.0},
    {"overdiff", -0.01},
    {"convlim", 0.05},
    {"toldynam", 10.0},
    {"reddynam", 2.0},
    {"marqlam", 0.001},
    {"uisolim", 0.2},
    {"unstab2", 0.0},
    {"#r81", 0},
    {"#r82", 0},
    {"#r83", 0},
    {"#r84", 0},
    {"#r85", 0},
    {"#r86", 0},
    {"#r87", 0},
    {"#r88", 0},
    {"#r89", 0},
    {"#r90", 0},
    {"#r91", 0},
    {"#r92", 0},
    {"#r93", 0},
    {"#r94", 0},
    {"#r95", 0},
    {"#r96", 0},
    {"#r97", 0},
    {"#r98", 0},
    {"#r99", 0},
    {"#r100", 0},
    // special keywords 101..120
    {"omdif", 0},
    {"thdif", 0},
    {"chidif", 0},
    {"absorb", 0},
    {"dfoftw", 0},
    {"checkran", 0},
    {"skipflag", 0},
    {"grid", 0},
    {"iext", 0},
    {"itypex", 0},
    {"idistr", 0},
    {"radius", 0},
    {"extlabel", 0},
    {"dertest", 0},
    {"randomize", 0},
    {"#c116", 0},
    {"#c117", 0},
    {"#c118", 0},
    {"#c119", 0},
    {"#c120", 0},
    // sub-commands 121..140
    {"restric", 0, KeyRepeat},
    {"equation", 0, KeyRepeat},
    {"eqadhoc", 0, KeyRepeat},
    {"fixed", 0, KeyRepeat},
    {"dontuse", 0, KeyRepeat},
    {"scale", 0, KeyRepeat},
    {"rfactors", 0, KeyRepeat},
    {"distfix", 0, KeyRepeat},
    {"anglefix", 0, KeyRepeat},
    {"torsfix", 0, KeyRepeat},
    {"magmfix", 0, KeyRepeat},
    {"keep", 0, KeyRepeat},
    {"useonly", 0, KeyRepeat},
    {"usedatbl", 0, KeyRepeat},
    {"lebailph", 0, KeyRepeat},
    {"grphases", 0, KeyRepeat},
    {"adpfix", 0, KeyRepeat},
    {"planefix", 0, KeyRepeat},
    {"chivfix", 0, KeyRepeat},
    {"#a140", 0}};

namespace fs = std::filesystem;

void ValuesFromTable(const KeyTable& t, RefValues& v) {
  for (int k = 1; k <= RefNInt; ++k) v.SetI(k, t.Int(k));
  for (int k = RefNInt + 1; k <= RefNInt + RefNReal; ++k) v.SetR(k, static_cast<float>(t.Real(k)));
}

void ClearLists(RefSettings& s) {
  s.Fixed.clear();
  s.Equation.clear();
  s.Restric.clear();
  s.Keep.clear();
  s.ExclHKL.clear();
  s.Scale.clear();
  s.RFactors.clear();
  s.Restraint.clear();
  s.MaxRestraint = RefRestraintInit;
  s.Restraint.reserve(RefRestraintInit);
  s.UseDatBl.clear();
  s.LeBailPh.clear();
  s.GrPhases.clear();
  s.DerTest = s.Randomize = false;
  s.RandomSeed = 0;
  s.RandomMax = 0.;
  for (auto& l : s.Lines) l.clear();
}

template <class T>
void GrowTo(std::vector<T>& v, int n) {
  if (n > static_cast<int>(v.size())) v.resize(static_cast<size_t>(n));
}

// Reads the lines of the block (disabled included) into `lines`.
void CollectLines(const KeyUnit& src, std::array<std::vector<RefCmdLine>, RefNSpecial>& lines) {
  KeyUnit u;
  u.FileName = src.FileName;
  u.Lines = src.Lines;
  u.Quiet = true;
  u.Bang = KeyBang::Keep;
  for (auto& l : lines) l.clear();
  int found = 0;
  Najdi(u, "refine", found);
  if (!found) return;
  KeyTable t = RefMakeTable();
  for (int k = 0;;) {
    if (NactiCommon(u, t, k) || k == 0) break;
    lines[static_cast<size_t>(k - RefFirstSpecial)].push_back(
        RefCmdLine{std::string(KeyArgs(u)), u.Disabled});
  }
}

// Positions a unit over a whole M50 after its separator (the blocks).
void SkipBasicData(KeyUnit& u) {
  for (int i = 0; i < static_cast<int>(u.Lines.size()); ++i)
    if (IsKeySeparator(u.Lines[static_cast<size_t>(i)])) {
      u.Next = i + 1;
      return;
    }
}

[[nodiscard]] int OpenBlockSource(KeyUnit& u) {
  std::error_code ec;
  const std::string m50 = M50FileName();
  if (fs::exists(m50, ec)) {
    if (KeyOpen(u, m50)) return 1;
    SkipBasicData(u);
    return 0;
  }
  if (fs::exists(L51FileName(), ec)) return KeyOpen(u, L51FileName());
  KeyOpenText(u, m50, "");
  return 0;
}

void ParseSpecial(RefSettings& ref, int k, std::string_view args, KeyUnit* u, int& error) {
  if (k == RkDerTest) ref.DerTest = true;
  if (k == RkRandomize) {
    ref.Randomize = true;
    auto w = SplitWords(args);
    if (w.size() >= 1) {
      auto s = ToInt(w[0]);
      if (!s) {
        RefReport(u, k, std::string(refmsg::BadReal), {"\"" + w[0] + "\""});
        error = 1;
      } else {
        ref.RandomSeed = static_cast<long>(*s);
      }
    }
    if (w.size() >= 2) {
      auto m = ToReal(w[1]);
      if (!m) {
        RefReport(u, k, std::string(refmsg::BadReal), {"\"" + w[1] + "\""});
        error = 1;
      } else {
        ref.RandomMax = *m;
      }
    }
  }
}

}  // namespace

std::span<const KeyDef> RefKeyDefs() {
  return kDefs;
}

KeyTable RefMakeTable() {
  return MakeKeyTable(kDefs, RefNInt, RefNReal, true);
}

void RefReport(KeyUnit* u, int k, const std::string& header, std::vector<std::string> lines) {
  std::string cmd = std::string(refmsg::Command) + std::string(kDefs[k - 1].Name);
  if (u) {
    ++u->NErrors;
    cmd += " " + std::string(KeyArgs(*u));
    lines.push_back(std::move(cmd));
    if (u->CurLine >= 0)
      lines.push_back(fmt::format("file {}, line {}", u->FileName, u->CurLine + 1));
    if (u->Listing) {
      u->Listing(header);
      for (auto& l : lines) u->Listing(l);
    }
    if (u->Quiet) return;
  } else {
    lines.push_back(std::move(cmd));
  }
  ReportError(header, lines);
}

void ReallocKeepCommands(RefSettings& s, int n) {
  GrowTo(s.Keep, n);
}
void ReallocRFactorsCommands(RefSettings& s, int n) {
  GrowTo(s.RFactors, n);
}
void ReallocScaleCommands(RefSettings& s, int n) {
  GrowTo(s.Scale, n);
}
void ReallocExclHKLCommands(RefSettings& s, int n) {
  GrowTo(s.ExclHKL, n);
}
void ReallocRestricCommands(RefSettings& s, int n) {
  GrowTo(s.Restric, n);
}

void RefClamp(RefValues& v) {
  v.SetI(RkPrint, std::clamp(v.I(RkPrint), -2, 2));
  v.SetI(RkWeight, std::clamp(v.I(RkWeight), 0, 2));
  v.SetI(RkKeyDynam, std::clamp(v.I(RkKeyDynam), 0, 1));
  if (!(v.R(RkDamp) > 0.f && v.R(RkDamp) <= 1.f)) v.SetR(RkDamp, 1.f);
}

RefSettings::RefSettings() {
  RefDefault(*this);
}

void RefDefault(RefSettings& s) {
  s.Table = RefMakeTable();
  ValuesFromTable(s.Table, s.Dflt);
  s.Edit = s.Run = s.Dflt;
  ClearLists(s);
  for (auto& l : s.EditLines) l.clear();
}

void RefReadCommandsUnit(KeyUnit& u, RefSettings& s, int& error) {
  error = 0;
  RefDefault(s);
  CollectLines(u, s.Lines);
  u.Bang = KeyBang::Skip;
  int found = 0;
  Najdi(u, "refine", found);
  if (found) {
    for (int k = 0;;) {
      if (NactiCommon(u, s.Table, k)) {
        error = 1;
        break;
      }
      if (k == 0) break;
      const std::string args(KeyArgs(u));
      if (k >= RefFirstSub) {
        if (RefParseSubCommand(s, k, args, &u)) error = 1;
      } else {
        ParseSpecial(s, k, args, &u, error);
      }
    }
    if (u.NErrors > 0) error = 1;
  }
  ValuesFromTable(s.Table, s.Run);
  RefClamp(s.Run);
  s.Edit = s.Run;
  s.EditLines = s.Lines;
  // Values read into the table reflect the clamped settings too.
  for (int k = 1; k <= RefNInt; ++k) s.Table.SetInt(k, s.Run.I(k));
  for (int k = RefNInt + 1; k <= RefNInt + RefNReal; ++k) s.Table.SetReal(k, s.Run.R(k));
}

void RefReadCommands(RefSettings& s, int& error) {
  error = 0;
  KeyUnit u;
  if (OpenBlockSource(u)) {
    RefDefault(s);
    error = 1;
    return;
  }
  RefReadCommandsUnit(u, s, error);
  if (!Sess.fln.empty() && !error && RefWriteFixedFile(s)) error = 1;
}

int RefOpenCommands(RefSettings& s) {
  KeyUnit u;
  if (OpenBlockSource(u)) return 1;
  u.Quiet = true;
  KeyTable t = RefMakeTable();
  ValuesFromTable(t, s.Dflt);
  u.Bang = KeyBang::Skip;
  int found = 0;
  const int start = u.Next;
  Najdi(u, "refine", found);
  for (int k = 0; found;)
    if (NactiCommon(u, t, k) || k == 0) break;
  ValuesFromTable(t, s.Edit);
  RefClamp(s.Edit);
  u.Next = start;
  CollectLines(u, s.EditLines);
  return 0;
}

std::vector<std::string> RefBlockLines(const RefSettings& s) {
  std::vector<std::string> out{"refine"};
  KeyTable t = RefMakeTable();
  for (int k = 1; k <= RefNInt; ++k) t.SetInt(k, s.Edit.I(k));
  for (int k = RefNInt + 1; k <= RefNInt + RefNReal; ++k) t.SetReal(k, s.Edit.R(k));
  for (auto& l : KeyValueLines(t)) out.push_back(l);
  for (int k = RefFirstSpecial; k <= RefNKeys; ++k)
    for (const auto& c : s.EditLines[static_cast<size_t>(k - RefFirstSpecial)]) {
      std::string line = c.Disabled ? "! " : "  ";
      line += kDefs[k - 1].Name;
      if (!Trim(c.Text).empty()) line += " " + std::string(Trim(c.Text));
      out.push_back(std::move(line));
    }
  out.push_back("end refine");
  return out;
}

int RefRewriteCommands(const RefSettings& s) {
  return KeysReplaceBlock(RefBlockLines(s));
}

int RefWriteFixedFile(const RefSettings& s) {
  static constexpr std::string_view kWhat[] = {"",      "all", "xyz", "u",   "mod",
                                               "chden", "pol", "x4",  "ind", "value"};
  std::string text;
  for (const auto& f : s.Fixed)
    for (const auto& a : f.Atoms) {
      text += kWhat[f.What];
      if (f.What == FixValue) text += " " + ShortestReal(f.Value);
      text += " " + a + "\n";
    }
  const std::string path = KeyTmpFileName("fixed");
  if (text.empty()) {
    std::error_code ec;
    fs::remove(path, ec);
    return 0;
  }
  return FeWriteFileAtomic(path, text);
}

}  // namespace tarn
