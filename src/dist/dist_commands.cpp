// The "dist" command block: keyword table, defaults, reading and writing.
#include "dist/dist_commands.hpp"

#include <fmt/format.h>

#include <optional>

#include "model/session.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Positions 1..60: names and defaults. The lists of objects may repeat; the
// other special keywords occur once.
constexpr KeyDef kDefs[DistNKeys] = {
    // integer keywords 1..20
    {"round", 0},
    {"angles", 0},
    {"fullcoor", 1},
    {"each", 10},
    {"include", 0},
    {"ttables", 0},
    {"lsttype", 0},
    {"skipsplt", 1},
    {"covar", 1},
    {"#i10", 0},
    {"#i11", 0},
    {"#i12", 0},
    {"#i13", 0},
    {"#i14", 0},
    {"#i15", 0},
    {"#i16", 0},
    {"#i17", 0},
    {"#i18", 0},
    {"#i19", 0},
    {"#i20", 0},
    // real keywords 21..40
    {"dmin", 0.},
    {"dmax", -1.},
    {"occcut", 0.},
    {"occind", 0.1},
    {"dhmax", 1.4},
    {"hamax", 2.5},
    {"dhamin", 110.},
    {"expdmax", 5.},
    {"hirshlev", 3.},
    {"#r30", 0},
    {"#r31", 0},
    {"#r32", 0},
    {"#r33", 0},
    {"#r34", 0},
    {"#r35", 0},
    {"#r36", 0},
    {"#r37", 0},
    {"#r38", 0},
    {"#r39", 0},
    {"#r40", 0},
    // special keywords 41..60
    {"nooft", 0},
    {"tzero", 0},
    {"select", 0, KeyRepeat},
    {"torsion", 0, KeyRepeat},
    {"plane", 0, KeyRepeat},
    {"bondval", 0, KeyRepeat},
    {"dirref", 0},
    {"center", 0, KeyRepeat},
    {"selfirst", 0, KeyRepeat},
    {"selsecnd", 0, KeyRepeat},
    {"tfirst", 0},
    {"tlast", 0},
    {"inddist", 0, KeyRepeat},
    {"indangle", 0, KeyRepeat},
    {"lonepair", 0, KeyRepeat},
    {"#c56", 0},
    {"#c57", 0},
    {"#c58", 0},
    {"#c59", 0},
    {"#c60", 0},
};

constexpr int kNameLen = 8;

// Reports a special keyword that cannot be used, with where it stands.
void Bad(KeyUnit& u, int k, const std::string& what) {
  ++u.NErrors;
  std::vector<std::string> lines{what,
                                 fmt::format("Command: {} {}", kDefs[k - 1].Name, KeyArgs(u))};
  if (u.CurLine >= 0) lines.push_back(fmt::format("file {}, line {}", u.FileName, u.CurLine + 1));
  if (u.Listing) {
    u.Listing("Error in the dist block");
    for (auto& l : lines) u.Listing(l);
  }
  if (!u.Quiet) ReportError("Error in the dist block", lines);
}

std::vector<std::string> Names(std::string_view args) {
  std::vector<std::string> out;
  for (auto& w : SplitWords(args)) {
    // The symmetry part after "#" does not count against the name's length.
    const size_t h = w.find('#');
    std::string n = ToUpper(w.substr(0, h));
    if (n.size() > kNameLen) n.resize(kNameLen);
    if (h != std::string::npos) n += w.substr(h);
    out.push_back(std::move(n));
  }
  return out;
}

template <class T>
bool Numbers(std::string_view args, std::vector<T>& out) {
  out.clear();
  for (auto& w : SplitWords(args)) {
    auto v = ToReal(w);
    if (!v) return false;
    out.push_back(static_cast<T>(*v));
  }
  return true;
}

// Parses one special keyword into c; false after a message.
bool ParseSpecial(KeyUnit& u, int k, std::string_view args, DistCommands& c, int ndimI) {
  auto count = [&](std::vector<std::vector<std::string>>& list, size_t n, bool atLeast) {
    auto names = Names(args);
    if (atLeast ? names.size() < n : names.size() != n) {
      Bad(u, k, fmt::format("{} {} atom names expected.", atLeast ? "At least" : "Exactly", n));
      return false;
    }
    list.push_back(std::move(names));
    return true;
  };
  auto reals = [&](auto& list) {
    if (!Numbers(args, list) || static_cast<int>(list.size()) != ndimI) {
      list.clear();
      Bad(u, k, fmt::format("{} numbers expected, one per modulation vector.", ndimI));
      return false;
    }
    return true;
  };
  switch (k) {
    case DkNOofT:
      return reals(c.NOofT);
    case DkTZero:
      return reals(c.TZero);
    case DkTFirst:
      return reals(c.TFirst);
    case DkTLast:
      return reals(c.TLast);
    case DkSelect:
    case DkSelFirst:
      for (auto& n : Names(args)) c.Select.push_back(n);
      return true;
    case DkSelSecnd:
      for (auto& n : Names(args)) c.SelSecnd.push_back(n);
      return true;
    case DkTorsion:
      return count(c.Torsion, 4, false);
    case DkPlane:
      return count(c.Plane, 3, true);
    case DkCenter:
      return count(c.Center, 1, true);
    case DkIndDist:
      return count(c.IndDist, 2, false);
    case DkIndAngle:
      return count(c.IndAngle, 3, false);
    case DkLonePair:
      return count(c.LonePair, 1, true);
    case DkDirRef:
      c.DirRef = Names(args);
      return true;
    case DkBondVal: {
      auto w = SplitWords(args);
      DistBondValPar p;
      std::optional<double> r0, b;
      if (w.size() >= 3) r0 = ToReal(w[2]);
      if (w.size() >= 4) b = ToReal(w[3]);
      if (w.size() < 3 || w.size() > 4 || !r0 || (w.size() == 4 && (!b || *b <= 0.))) {
        Bad(u, k, "Expected: cation type, anion type, R0 and optionally b (Angstrom).");
        return false;
      }
      p.Cation = ToUpper(w[0]);
      p.Anion = ToUpper(w[1]);
      p.R0 = *r0;
      if (b) p.B = *b;
      c.BondVal.push_back(p);
      return true;
    }
    default:
      return true;
  }
}

void ValuesFromTable(DistCommands& c) {
  const KeyTable& t = c.Table;
  c.Round = t.Int(DkRound);
  c.Angles = t.Int(DkAngles);
  c.FullCoor = t.Int(DkFullCoor);
  c.Each = t.Int(DkEach);
  c.Include = t.Int(DkInclude);
  c.TTables = t.Int(DkTTables);
  c.LstType = t.Int(DkLstType);
  c.SkipSplt = t.Int(DkSkipSplt);
  c.Covar = t.Int(DkCovar);
  c.DMin = t.Real(DkDMin);
  c.DMax = t.Real(DkDMax);
  c.OccCut = t.Real(DkOccCut);
  c.OccInd = t.Real(DkOccInd);
  c.DHMax = t.Real(DkDHMax);
  c.HAMax = t.Real(DkHAMax);
  c.DHAMin = t.Real(DkDHAMin);
  c.ExpDMax = t.Real(DkExpDMax);
  c.HirshLev = t.Real(DkHirshLev);
}

}  // namespace

std::span<const KeyDef> DistKeyDefs() {
  return kDefs;
}

KeyTable DistMakeTable(int ndimI) {
  KeyTable t = MakeKeyTable(kDefs, DistNInt, DistNReal);
  const double each = ndimI <= 1 ? 10. : 1.;
  t[DkEach].Default = each;
  t[DkEach].Value = each;
  return t;
}

void DefaultDist(DistCommands& c, int ndimI) {
  c = DistCommands{};
  c.Table = DistMakeTable(ndimI);
  ValuesFromTable(c);
}

int NactiDist(KeyUnit& u, DistCommands& c, int ndimI) {
  DefaultDist(c, ndimI);
  // Disabled lines are read too, so that writing back keeps them; the reader
  // puts no value of theirs in force, and their lists are not parsed.
  u.Bang = KeyBang::Keep;
  int found = 0, error = 0;
  Najdi(u, "dist", found);
  if (!found) return 0;
  for (int k = 0;;) {
    if (NactiCommon(u, c.Table, k)) {
      error = 1;
      break;
    }
    if (k == 0) break;
    const std::string args(KeyArgs(u));
    c.Lines.push_back({k, args, u.Disabled});
    if (!u.Disabled && !ParseSpecial(u, k, args, c, ndimI)) error = 1;
  }
  if (u.NErrors > 0) error = 1;
  ValuesFromTable(c);
  return error;
}

int DistReadCommands(std::string_view blockText, DistCommands& c, int ndimI) {
  KeyUnit u;
  KeyOpenText(u, M50FileName(), blockText);
  return NactiDist(u, c, ndimI);
}

std::vector<std::string> DistBlockLines(const DistCommands& c) {
  std::string header = "dist";
  const auto& ph = Struct.KeyPhases.PhaseNames;
  if (ph.size() > 1 && Sess.KPhase >= 1 && Sess.KPhase <= static_cast<int>(ph.size()))
    header += " " + ph[static_cast<size_t>(Sess.KPhase - 1)];
  std::vector<std::string> out{header};
  for (auto& l : KeyValueLines(c.Table)) out.push_back(l);
  for (const auto& l : c.Lines) {
    std::string line = l.Disabled ? "! " : "  ";
    line += kDefs[l.K - 1].Name;
    if (!Trim(l.Text).empty()) line += " " + std::string(Trim(l.Text));
    out.push_back(std::move(line));
  }
  out.push_back("end dist");
  return out;
}

int DistRewriteCommands(const DistCommands& c) {
  return KeysReplaceBlock(DistBlockLines(c));
}

bool DistNameMatches(std::string_view pattern, std::string_view name) {
  return FeWildMatch(ToUpper(pattern), ToUpper(name));
}

bool DistSelected(const std::vector<std::string>& patterns, std::string_view name) {
  if (patterns.empty()) return true;
  for (const auto& p : patterns)
    if (DistNameMatches(p, name)) return true;
  return false;
}

}  // namespace tarn
