// Structure model from a SHELX .ins/.res text: see shelx_model.hpp and
// docs/model-import.md.
#include "importers/shelx_model.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <map>
#include <numeric>
#include <optional>
#include <set>

#include "importers/import_common.hpp"
#include "importers/shelx_restraints.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/batch_edit.hpp"
#include "model/keys.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/structure.hpp"
#include "refine/refcommands.hpp"
#include "symmetry/symm.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Coded parameters: |v| > kFixedCodeMin carries a code 10 m + p (m = 1 fixed,
// m >= 2 free variable m).
constexpr double kFixedCodeMin = 5.;
// Negative Uiso between these limits is a riding factor on Ueq of the pivot.
constexpr double kRidingMin = -5.;
constexpr double kRidingMax = -0.5;
// Largest pivot-neighbour distance accepted when the neighbours of a riding
// hydrogen's pivot are looked up (Angstrom).
constexpr double kNeighbourMax = 2.1;
// Defaults of SHELX: WGHT a, DFIX s, DANG s, SADI s.
constexpr double kWghtDefaultA = 0.1;
constexpr double kDfixSu = 0.02;
constexpr double kDangSu = 0.04;
constexpr double kSadiSu = 0.02;
constexpr double kCelsiusToKelvin = 273.15;
// Defaults of OMIT s 2theta(lim): s = -2, no 2theta limit.
constexpr double kOmitSDefault = -2.;
constexpr double kOmitTthNone = 180.;

// Instructions that the reader knows (the first four characters count).
constexpr std::array<std::string_view, 92> kInstructions = {
    "TITL", "CELL", "ZERR", "LATT", "SYMM", "SFAC", "DISP", "UNIT", "LAUE", "REM",  "MORE", "TIME",
    "END",  "HKLF", "OMIT", "SHEL", "BASF", "TWIN", "EXTI", "SWAT", "HOPE", "MERG", "SPEC", "RESI",
    "MOVE", "ANIS", "AFIX", "HFIX", "FRAG", "FEND", "EXYZ", "EADP", "EQIV", "CONN", "PART", "BIND",
    "FREE", "DFIX", "DANG", "BUMP", "SAME", "SADI", "CHIV", "FLAT", "DELU", "SIMU", "DEFS", "ISOR",
    "NCSY", "SUMP", "L.S.", "CGLS", "BLOC", "DAMP", "STIR", "WGHT", "FVAR", "BOND", "CONF", "MPLA",
    "RTAB", "HTAB", "LIST", "ACTA", "SIZE", "TEMP", "WPDB", "FMAP", "GRID", "PLAN", "MOLE", "NEUT",
    "ABIN", "ANSC", "ANSR", "XNPD", "RIGU", "PRIG", "WIGL", "BEDE", "LONE", "TREF", "PATT", "INIT",
    "PSEE", "FIND", "DIRE", "ESEL", "EGEN", "ZERO", "SPIN", "DELU"};

// Instructions that steer the refinement program only (no model content):
// listed together on one line.
constexpr std::array<std::string_view, 26> kControl = {
    "L.S.", "CGLS", "PLAN", "LIST", "FMAP", "ACTA", "BOND", "CONF", "MORE",
    "TIME", "SIZE", "GRID", "MOLE", "WPDB", "HTAB", "MPLA", "RTAB", "BLOC",
    "DAMP", "STIR", "SPEC", "HOPE", "MERG", "LAUE", "DEFS", "WIGL"};

// One logical line: continuation lines joined, words split.
struct Card {
  int Line = 0;                    // 1-based line number of its first line
  std::string Text;                // the first physical line, for messages
  std::string Key;                 // instruction (upper case) or atom name as written
  std::vector<std::string> Words;  // the words after the first
};

std::string Upper4(std::string_view w) {
  return ToUpper(w.substr(0, std::min<size_t>(4, w.size())));
}

bool IsInstruction(std::string_view w) {
  const std::string u = Upper4(w);
  if (u == "REM" || u == "END") return true;
  return std::find(kInstructions.begin(), kInstructions.end(), u) != kInstructions.end();
}

bool IsControl(std::string_view w) {
  return std::find(kControl.begin(), kControl.end(), Upper4(w)) != kControl.end();
}

// Element-style name: first letter upper case, the rest lower case ("CL" -> "Cl").
std::string ProperCase(std::string_view s) {
  std::string r = ToLower(s);
  if (!r.empty()) r[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(r[0])));
  return r;
}

// Splits the text into cards. Lines that begin with a blank are comments
// unless they continue a line ended by "="; text from "!" on is a comment;
// reading ends at END.
std::vector<Card> Cards(std::string_view text) {
  std::vector<Card> out;
  std::vector<std::string_view> lines;
  size_t p = 0;
  while (p <= text.size()) {
    size_t e = text.find('\n', p);
    if (e == std::string_view::npos) e = text.size();
    std::string_view l = text.substr(p, e - p);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    lines.push_back(l);
    if (e == text.size()) break;
    p = e + 1;
  }
  bool cont = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view l = lines[i];
    if (auto b = l.find('!'); b != std::string_view::npos) l = l.substr(0, b);
    if (cont) {
      cont = false;
      std::string_view t = TrimRight(l);
      if (!t.empty() && t.back() == '=') {
        t.remove_suffix(1);
        cont = true;
      }
      for (auto& w : SplitWords(t)) out.back().Words.push_back(w);
      continue;
    }
    if (l.empty() || l[0] == ' ' || l[0] == '\t') continue;
    auto words = SplitWords(l);
    if (words.empty()) continue;
    const std::string u = Upper4(words[0]);
    if (u == "REM") continue;
    Card c;
    c.Line = static_cast<int>(i) + 1;
    c.Text = std::string(lines[i]);
    c.Key = words[0];
    if (u == "TITL") {
      c.Words.push_back(std::string(Trim(l.substr(std::min(l.size(), l.find(words[0]) + 4)))));
      out.push_back(std::move(c));
      continue;
    }
    if (!words.empty() && words.back() == "=") {
      words.pop_back();
      cont = true;
    } else if (words.back().size() > 1 && words.back().back() == '=') {
      words.back().pop_back();
      cont = true;
    }
    c.Words.assign(words.begin() + 1, words.end());
    out.push_back(std::move(c));
    if (u == "END") break;
  }
  return out;
}

// One coded parameter value.
struct Coded {
  double Value = 0.;  // value as written, code removed (p)
  int FreeVar = 0;    // 0 plain, 1 fixed, m >= 2 free variable m
  bool Negative = false;
};
Coded Decode(double v) {
  Coded c;
  if (std::fabs(v) <= kFixedCodeMin) {
    c.Value = v;
    return c;
  }
  const int m = static_cast<int>(std::floor((std::fabs(v) + kFixedCodeMin) / 10.));
  c.FreeVar = m;
  c.Negative = v < 0.;
  c.Value = v - (v < 0. ? -10. : 10.) * m;
  return c;
}

// Value of a coded parameter (fv: FVAR values, fv[0] the overall scale).
// 10 m + p -> p fv(m); -(10 m + p) -> p (fv(m) - 1); 10 + p -> p (fixed).
std::optional<double> CodedValue(const Coded& c, const std::vector<double>& fv) {
  if (c.FreeVar <= 1) return c.Value;
  if (c.FreeVar > static_cast<int>(fv.size())) return std::nullopt;
  const double f = fv[static_cast<size_t>(c.FreeVar - 1)];
  return c.Negative ? c.Value * (f - 1.) : c.Value * f;
}

// Per atom, what the model lines do not keep.
struct AtomExtra {
  int Line = 0;
  bool Hydrogen = false;
  int Part = 0;               // SHELX PART
  std::array<double, 6> U{};  // SHELX order U11 U22 U33 U23 U13 U12 (aniso)
  bool Aniso = false;
  double Uiso = 0.;        // isotropic U, Angstrom^2
  int Pivot = -1;          // preceding non-hydrogen atom (riding U, AFIX pivot)
  double RideFactor = 0.;  // > 0: Uiso = factor * Ueq(pivot)
  int Afix = 0;            // AFIX mn in force
  int AfixGroup = -1;      // index of the AFIX group
  Coded Occ;               // occupancy as coded
};

struct AfixGroup {
  int Code = 0;
  int Line = 0;
  int Pivot = -1;
  std::vector<int> Atoms;  // hydrogen atoms of the group
};

class Importer {
 public:
  Importer(std::string_view text, const std::string& file) : text_(text), file_(file) {}
  int Run(std::vector<std::string>& messages, ErrorRecord& err, ShelxImportInfo* info);

 private:
  [[nodiscard]] bool Real(const Card& c, size_t i, double& v) {
    if (i >= c.Words.size()) return Error(c, shelxmsg::BadNumber);
    auto r = ToReal(c.Words[i]);
    if (!r || !std::isfinite(*r)) return Error(c, shelxmsg::BadNumber);
    v = *r;
    return true;
  }
  bool Error(const Card& c, std::string_view what) {
    fail_ = ErrorRecord::At(file_, c.Line, std::string(what), c.Text);
    return false;
  }
  bool Card1(const Card& c);
  bool Atom(const Card& c);
  bool Finish();
  void NotConverted(const Card& c);
  int TypeIndex(std::string_view name) const {
    for (size_t i = 0; i < ph_.AtType.size(); ++i)
      if (EqIgnoreCase(ph_.AtType[i], name)) return static_cast<int>(i);
    return -1;
  }
  int FindAtom(std::string_view name) const {
    for (size_t i = 0; i < atoms_.size(); ++i)
      if (EqIgnoreCase(atoms_[i].Name, name)) return static_cast<int>(i);
    return -1;
  }
  double Ueq(int i) const;
  std::string NeighbourName(int j, int op, int centr, const std::array<int, 3>& lt) const;
  void HydroGroups();
  // OMIT and SHEL: reflections and ranges left out of the refinement.
  [[nodiscard]] bool OmitShel(const Card& c);
  void OmitSubCommands();
  void OmitLimits(RefValues& e);

  std::string_view text_;
  std::string file_;
  ErrorRecord fail_;

  BasicData b_;
  PhaseBasic ph_;
  DatBlockBasic db_;
  DatBlockModel dbm_;
  std::vector<AtomRec> atoms_;
  std::vector<AtomExtra> extra_;
  std::vector<AfixGroup> groups_;
  std::vector<double> fvar_;
  bool haveCell_ = false;
  int latt_ = 1;
  std::vector<std::array<double, 9>> symR_;
  std::vector<std::array<double, 3>> symT_;
  std::vector<double> unit_;
  int part_ = 0;
  int residue_ = 0;
  int afix_ = 0;
  int group_ = -1;
  int lastHeavy_ = -1;
  bool inFrag_ = false;
  bool wght_ = false;
  double wa_ = kWghtDefaultA, wb_ = 0.;
  int cycles_ = -1;
  std::optional<std::array<double, 9>> twinMat_;
  int twinN_ = 0;
  std::vector<double> basf_;
  bool exti_ = false;
  double extiVal_ = 0.;
  std::vector<std::string> restraints_;  // "distfix ..." argument texts
  // Restraint instructions converted after the atoms are known
  // (shelx_restraints.hpp), and each atom's RESI number and class.
  std::vector<ShelxRestrCard> restrCards_;
  std::vector<std::pair<int, std::string>> atomRes_;
  std::string resClass_;
  void RestraintCards();
  int qPeaks_ = 0;
  std::vector<std::array<int, 3>> omitHkl_;  // OMIT h k l
  double snlMin_ = 0., snlMax_ = -1.;        // SHEL / OMIT 2theta: sin(theta)/lambda limits
  // Instructions not converted: key -> (count, first line).
  std::map<std::string, std::pair<int, int>> skipped_;
  std::vector<std::string> controlSeen_;
  std::vector<std::string> notes_;
  std::vector<std::pair<int, std::string>> subs_;  // refinement sub-commands (kw, text)
  ShelxImportInfo info_;
};

void Importer::NotConverted(const Card& c) {
  const std::string u = Upper4(c.Key);
  if (IsControl(u)) {
    if (std::find(controlSeen_.begin(), controlSeen_.end(), u) == controlSeen_.end())
      controlSeen_.push_back(u);
    return;
  }
  auto& e = skipped_[u];
  if (e.first++ == 0) e.second = c.Line;
}

bool Importer::Card1(const Card& c) {
  const std::string k = Upper4(c.Key);
  const auto& w = c.Words;
  if (inFrag_) {
    if (k == "FEND") inFrag_ = false;
    return true;
  }
  if (k == "TITL") {
    b_.Title = w.empty() ? "" : w[0];
  } else if (k == "CELL") {
    double v[7];
    for (size_t i = 0; i < 7; ++i)
      if (!Real(c, i, v[i])) return false;
    db_.Lambda = db_.KAlpha1 = db_.KAlpha2 = v[0];
    for (int i = 0; i < 6; ++i) ph_.Cell[i] = v[i + 1];
    haveCell_ = true;
  } else if (k == "ZERR") {
    double z = 0.;
    if (!Real(c, 0, z)) return false;
    ph_.UnitsNumb = std::max(1, static_cast<int>(std::lround(z)));
    for (size_t i = 0; i < 6; ++i)
      if (i + 1 < w.size() && !Real(c, i + 1, ph_.CellSU[i])) return false;
  } else if (k == "LATT") {
    double v = 0.;
    if (!Real(c, 0, v)) return false;
    latt_ = static_cast<int>(std::lround(v));
    if (latt_ == 0 || std::abs(latt_) > 7 || v != latt_) return Error(c, shelxmsg::BadLatt);
  } else if (k == "SYMM") {
    std::string t;
    for (auto& x : w) t += x;
    std::array<double, 9> r;
    std::array<double, 3> tr;
    if (!ParseXyzOp(t, r, tr)) return Error(c, shelxmsg::BadSymm);
    symR_.push_back(r);
    symT_.push_back(tr);
  } else if (k == "SFAC") {
    // Either names, or one name with its explicit coefficients:
    // a1 b1 a2 b2 a3 b3 a4 b4 c f' f" mu r wt.
    if (w.size() >= 2 && ToReal(w[1])) {
      std::vector<double> v;
      for (size_t i = 1; i < w.size(); ++i) {
        double x = 0.;
        if (!Real(c, i, x)) return false;
        v.push_back(x);
      }
      if (v.size() < 9) return Error(c, shelxmsg::BadNumber);
      ph_.AtType.push_back(ProperCase(w[0]));
      AtomTypeBasic t;
      t.FFBasic.assign(v.begin(), v.begin() + 9);
      t.FormTab = FormTabGauss;
      t.FFFree = 1;
      if (v.size() > 10) {
        t.FPrime = {v[9]};
        t.FDoublePrime = {v[10]};
      }
      if (v.size() > 12) t.AtRadius = v[12];
      if (v.size() > 13) t.AtWeight = v[13];
      ph_.AtTypeData.push_back(std::move(t));
    } else {
      for (auto& n : w) {
        if (ToReal(n)) return Error(c, shelxmsg::BadNumber);
        ph_.AtType.push_back(ProperCase(n));
        ph_.AtTypeData.emplace_back();
      }
    }
  } else if (k == "DISP") {
    if (w.empty()) return Error(c, shelxmsg::UnknownType);
    int it = TypeIndex(w[0]);
    if (it < 0) return Error(c, shelxmsg::UnknownType);
    double fp = 0., fpp = 0.;
    if (!Real(c, 1, fp) || !Real(c, 2, fpp)) return false;
    ph_.AtTypeData[static_cast<size_t>(it)].FPrime = {fp};
    ph_.AtTypeData[static_cast<size_t>(it)].FDoublePrime = {fpp};
  } else if (k == "UNIT") {
    unit_.clear();
    for (size_t i = 0; i < w.size(); ++i) {
      double x = 0.;
      if (!Real(c, i, x)) return false;
      unit_.push_back(x);
    }
    if (unit_.size() != ph_.AtType.size()) return Error(c, shelxmsg::BadUnit);
  } else if (k == "FVAR") {
    for (size_t i = 0; i < w.size(); ++i) {
      double x = 0.;
      if (!Real(c, i, x)) return false;
      fvar_.push_back(x);
    }
  } else if (k == "WGHT") {
    wght_ = true;
    wa_ = kWghtDefaultA;
    wb_ = 0.;
    if (!w.empty() && !Real(c, 0, wa_)) return false;
    if (w.size() > 1 && !Real(c, 1, wb_)) return false;
    if (w.size() > 2) NotConverted(c);
  } else if (k == "L.S." || k == "CGLS") {
    double n = 0.;
    if (!Real(c, 0, n)) return false;
    cycles_ = std::max(0, static_cast<int>(n));
  } else if (k == "TEMP") {
    double t = 0.;
    if (!w.empty()) {
      if (!Real(c, 0, t)) return false;
      db_.DatCollTemp = t + kCelsiusToKelvin;
    }
  } else if (k == "NEUT") {
    db_.Radiation = 2;
  } else if (k == "EXTI") {
    exti_ = true;
    if (!w.empty() && !Real(c, 0, extiVal_)) return false;
  } else if (k == "TWIN") {
    std::array<double, 9> m{-1, 0, 0, 0, -1, 0, 0, 0, -1};
    double n = 2.;
    if (!w.empty()) {
      if (w.size() < 9) return Error(c, shelxmsg::BadTwin);
      for (size_t i = 0; i < 9; ++i)
        if (!Real(c, i, m[i])) return false;
      if (w.size() > 9 && !Real(c, 9, n)) return false;
    }
    twinMat_ = m;
    twinN_ = static_cast<int>(std::lround(n));
    if (twinN_ == 0 || std::abs(twinN_) > 12) return Error(c, shelxmsg::BadTwin);
  } else if (k == "BASF") {
    for (size_t i = 0; i < w.size(); ++i) {
      double x = 0.;
      if (!Real(c, i, x)) return false;
      basf_.push_back(x);
    }
  } else if (k == "HKLF") {
    double n = 0.;
    if (!Real(c, 0, n)) return false;
    info_.Hklf = static_cast<int>(std::lround(n));
    if (w.size() > 1 && !Real(c, 1, info_.HklfScale)) return false;
    if (w.size() >= 11) {
      info_.HklfMatrix.resize(9);
      for (size_t i = 0; i < 9; ++i)
        if (!Real(c, i + 2, info_.HklfMatrix[i])) return false;
    }
  } else if (k == "PART") {
    double n = 0.;
    if (!Real(c, 0, n)) return false;
    part_ = static_cast<int>(n);
    if (w.size() > 1) NotConverted(c);  // PART n sof: occupancy of the part
  } else if (k == "AFIX") {
    double n = 0.;
    if (!Real(c, 0, n)) return false;
    afix_ = static_cast<int>(n);
    group_ = -1;
    if (afix_ != 0) {
      groups_.push_back(AfixGroup{afix_, c.Line, lastHeavy_, {}});
      group_ = static_cast<int>(groups_.size()) - 1;
    }
  } else if (k == "DFIX" || k == "DANG" || k == "SADI") {
    // [s] (SADI) or d [s] (DFIX, DANG), then pairs of atoms.
    size_t i = 0;
    double d = 0., s = k == "DFIX" ? kDfixSu : k == "DANG" ? kDangSu : kSadiSu;
    std::string head = c.Key;
    if (head.find('_') != std::string::npos) {  // residue-limited form
      restrCards_.push_back(
          {c.Key, w, c.Line, static_cast<int>(atoms_.size()), residue_, resClass_});
      return true;
    }
    if (k != "SADI") {
      if (!Real(c, i++, d)) return false;
    }
    if (i < w.size() && ToReal(w[i])) {
      if (!Real(c, i++, s)) return false;
    }
    std::vector<std::string> names(w.begin() + static_cast<long>(i), w.end());
    if (names.size() < 2 || names.size() % 2 != 0 || d < 0.) {
      NotConverted(c);
      return true;
    }
    std::string text = k == "SADI" ? fmt::format("= {}", ShortestReal(s))
                                   : fmt::format("{} {}", ShortestReal(d), ShortestReal(s));
    for (size_t j = 0; j < names.size(); j += 2)
      text += fmt::format("{} {} {}", j == 0 ? "" : ";", names[j], names[j + 1]);
    restraints_.push_back(text);
  } else if (k == "RESI") {
    // RESI [class] number [alias]: names repeat between residues; an atom
    // whose name is taken gets "_number" appended.
    residue_ = 0;
    resClass_.clear();
    for (const auto& x : w)
      if (auto n = ToInt(x)) {
        residue_ = static_cast<int>(*n);
        break;
      } else if (resClass_.empty()) {
        resClass_ = ToUpper(x);
      }
  } else if (ShelxIsRestraint(k)) {
    restrCards_.push_back({c.Key, w, c.Line, static_cast<int>(atoms_.size()), residue_, resClass_});
  } else if (k == "OMIT" || k == "SHEL") {
    return OmitShel(c);
  } else if (k == "FRAG") {
    inFrag_ = true;
    NotConverted(c);
  } else if (k == "END") {
    return true;
  } else {
    NotConverted(c);
  }
  return true;
}

bool Importer::Atom(const Card& c) {
  auto& w = c.Words;
  if (w.size() < 4) return Error(c, shelxmsg::BadAtom);
  if (ph_.AtType.empty()) return Error(c, shelxmsg::NoSfac);
  // Q peaks of a result file: not part of the model.
  if ((c.Key[0] == 'Q' || c.Key[0] == 'q') && c.Key.size() > 1 &&
      std::all_of(c.Key.begin() + 1, c.Key.end(),
                  [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)) != 0; })) {
    ++qPeaks_;
    return true;
  }
  double v[12] = {};
  const size_t nv = std::min<size_t>(w.size(), 12);
  for (size_t i = 0; i < nv; ++i)
    if (!Real(c, i, v[i])) return false;
  if (nv != 4 && nv != 5 && nv != 6 && nv != 11) return Error(c, shelxmsg::BadAtom);
  const double sfac = v[0];
  if (sfac != std::floor(sfac) || sfac < 1. || sfac > static_cast<double>(ph_.AtType.size()))
    return Error(c, shelxmsg::SfacRange);
  std::string name = c.Key;
  if (FindAtom(name) >= 0 && residue_ != 0) {
    name = fmt::format("{}_{}", c.Key, residue_);
    notes_.push_back(fmt::format("{} of residue {} renamed {}.", c.Key, residue_, name));
  }
  if (FindAtom(name) >= 0) return Error(c, shelxmsg::DupAtom);
  if (name.size() > 8) return Error(c, shelxmsg::BadAtom);
  AtomRec a = DefaultAtom();
  AtomExtra x;
  x.Line = c.Line;
  x.Part = part_;
  a.Name = name;
  a.Type = static_cast<int>(sfac);
  const std::string el = ToUpper(ph_.AtType[static_cast<size_t>(a.Type - 1)]);
  x.Hydrogen = el == "H" || el == "D";
  const bool aniso = nv == 11;
  AtomShape sh = a.Shape;
  sh.AdpOrder = aniso ? 2 : 1;
  ReallocateAtomParams(a, sh);
  const AtomLayoutInfo lay = AtomLayout(a.Shape);
  // Coordinates.
  for (int i = 0; i < 3; ++i) {
    Coded cd = Decode(v[1 + i]);
    auto val = CodedValue(cd, fvar_);
    if (!val) return Error(c, shelxmsg::BadFvar);
    const int k = lay.Off[BlkPos] + i;
    a.Par.Val[k] = *val;
    a.Par.Key[k] = cd.FreeVar == 1 ? 0 : 1;
    if (cd.FreeVar >= 2)
      notes_.push_back(
          fmt::format("{}: the free-variable tie of {} was not converted.", a.Name, "xyz"[i]));
  }
  // Occupancy: default 11.0 (1, fixed).
  x.Occ = Decode(nv >= 5 ? v[4] : 11.);
  auto occ = CodedValue(x.Occ, fvar_);
  if (!occ) return Error(c, shelxmsg::BadFvar);
  a.Par.Val[lay.Off[BlkOcc]] = *occ;
  a.Par.Key[lay.Off[BlkOcc]] = x.Occ.FreeVar == 1 ? 0 : 1;
  // Displacement.
  const int adp = lay.Off[BlkAdp];
  x.Pivot = lastHeavy_;
  if (aniso) {
    x.Aniso = true;
    for (int i = 0; i < 6; ++i) {
      Coded cd = Decode(v[5 + i]);
      auto val = CodedValue(cd, fvar_);
      if (!val) return Error(c, shelxmsg::BadFvar);
      x.U[static_cast<size_t>(i)] = *val;
      if (cd.FreeVar >= 2)
        notes_.push_back(fmt::format("{}: a free-variable tie of U was not converted.", a.Name));
    }
    // SHELX U11 U22 U33 U23 U13 U12 -> beta11 22 33 12 13 23.
    const std::array<int, 6> from = {0, 1, 2, 5, 4, 3};
    for (int i = 0; i < 6; ++i) {
      a.Par.Val[adp + i] = x.U[static_cast<size_t>(from[static_cast<size_t>(i)])];
      a.Par.Key[adp + i] = 1;
    }
  } else {
    const double u = nv == 6 ? v[5] : 0.05;
    a.Par.Key[adp] = 1;
    if (u < kRidingMax && u > kRidingMin) {
      if (x.Pivot < 0) return Error(c, shelxmsg::BadAtom);
      x.RideFactor = -u;
    } else {
      Coded cd = Decode(u);
      auto val = CodedValue(cd, fvar_);
      if (!val) return Error(c, shelxmsg::BadFvar);
      x.Uiso = *val;
      a.Par.Key[adp] = cd.FreeVar == 1 ? 0 : 1;
      if (cd.FreeVar >= 2)
        notes_.push_back(
            fmt::format("{}: the free-variable tie of Uiso was not converted.", a.Name));
    }
    a.Par.Val[adp] = x.Uiso;
  }
  x.Afix = afix_;
  if (group_ >= 0 && x.Hydrogen) {
    x.AfixGroup = group_;
    groups_[static_cast<size_t>(group_)].Atoms.push_back(static_cast<int>(atoms_.size()));
  }
  if (!x.Hydrogen) lastHeavy_ = static_cast<int>(atoms_.size());
  atoms_.push_back(std::move(a));
  extra_.push_back(x);
  atomRes_.emplace_back(residue_, resClass_);
  return true;
}

// Ueq = (1/3) sum_ij U_ij a*_i a*_j (a_i . a_j) (Fischer & Tillmanns, Acta
// Cryst. C44 (1988) 775).
double Importer::Ueq(int i) const {
  const AtomExtra& x = extra_[static_cast<size_t>(i)];
  if (!x.Aniso) return x.Uiso;
  const auto& U = x.U;
  // Full tensor from SHELX order U11 U22 U33 U23 U13 U12.
  const double u[3][3] = {{U[0], U[5], U[4]}, {U[5], U[1], U[3]}, {U[4], U[3], U[2]}};
  double s = 0.;
  for (int p = 0; p < 3; ++p)
    for (int q = 0; q < 3; ++q)
      s += u[p][q] * b_.Phase[0].CellR[p] * b_.Phase[0].CellR[q] * b_.Phase[0].MetTens[p * 3 + q];
  return s / 3.;
}

std::string Importer::NeighbourName(int j, int op, int centr, const std::array<int, 3>& lt) const {
  std::string n = atoms_[static_cast<size_t>(j)].Name;
  if (op == 0 && centr == 0 && lt == std::array<int, 3>{0, 0, 0}) return n;
  n += fmt::format("#s{}", op + 1);
  if (centr > 0) n += fmt::format("c{}", centr + 1);
  if (lt != std::array<int, 3>{0, 0, 0}) n += fmt::format("t{},{},{}", lt[0], lt[1], lt[2]);
  return n;
}

// AFIX groups of riding hydrogens -> "keep hydro" where the geometry is one of
// the program's: m = 1 apical (3 neighbours, 1 H), 2 tetrahedral (2, 2),
// 3 and 13 tetrahedral (1, 3), 4 trigonal (2, 1), 9 trigonal (1, 2),
// 14 tetrahedral (1, 1). Others stay free hydrogens.
void Importer::HydroGroups() {
  const PhaseBasic& p = b_.Phase[0];
  const PhaseSymmetry& s = p.Symmetry;
  auto dist = [&](const double* d) {
    double r = 0.;
    for (int a = 0; a < 3; ++a)
      for (int q = 0; q < 3; ++q) r += d[a] * p.MetTens[a * 3 + q] * d[q];
    return std::sqrt(std::max(0., r));
  };
  auto pos = [&](int i) {
    const AtomRec& a = atoms_[static_cast<size_t>(i)];
    const int o = AtomLayout(a.Shape).Off[BlkPos];
    return std::array<double, 3>{a.Par.Val[o], a.Par.Val[o + 1], a.Par.Val[o + 2]};
  };
  for (const auto& g : groups_) {
    const int m = g.Code / 10, n = g.Code % 10;
    if (g.Atoms.empty()) continue;
    // AFIX m -> constraint, neighbours of the pivot, hydrogens (table above).
    struct AfixKeep {
      int M, Sub, NNeigh, NH;
    };
    static constexpr AfixKeep kAfixKeep[] = {{1, KeepApical, 3, 1},   {2, KeepTetrahed, 2, 2},
                                             {3, KeepTetrahed, 1, 3}, {13, KeepTetrahed, 1, 3},
                                             {4, KeepTriang, 2, 1},   {9, KeepTriang, 1, 2},
                                             {14, KeepTetrahed, 1, 1}};
    int sub = 0, nNeigh = 0, nH = 0;
    for (const AfixKeep& k : kAfixKeep)
      if (k.M == m) sub = k.Sub, nNeigh = k.NNeigh, nH = k.NH;
    std::string names;
    for (int h : g.Atoms) names += " " + atoms_[static_cast<size_t>(h)].Name;
    auto freeH = [&](const std::string& why) {
      notes_.push_back(fmt::format("AFIX {} (line {}):{} refined as free hydrogen atoms ({}).",
                                   g.Code, g.Line, names, why));
    };
    if (sub == 0 || (n != 3 && n != 7 && n != 8)) {
      freeH("no matching constraint");
      continue;
    }
    if (g.Pivot < 0 || static_cast<int>(g.Atoms.size()) != nH) {
      freeH("unexpected number of atoms");
      continue;
    }
    const int c = g.Pivot;
    const auto xc = pos(c);
    const int pc = extra_[static_cast<size_t>(c)].Part;
    // Nearest non-hydrogen atoms (all symmetry images) of a compatible part.
    struct Cand {
      double D;
      std::string Name;
    };
    std::vector<Cand> cand;
    for (size_t j = 0; j < atoms_.size(); ++j) {
      const AtomExtra& xj = extra_[j];
      if (xj.Hydrogen) continue;
      if (pc != 0 && xj.Part != 0 && xj.Part != pc) continue;
      const auto xj0 = pos(static_cast<int>(j));
      for (int op = 0; op < s.NSymm; ++op)
        for (int ce = 0; ce < std::max(1, s.NLattVec); ++ce) {
          const SymmOp& o = s.Op[static_cast<size_t>(op)];
          double y[3];
          for (int a = 0; a < 3; ++a) {
            y[a] = o.S6[static_cast<size_t>(a)] +
                   (s.NLattVec > 0 ? s.VT6[static_cast<size_t>(ce)][static_cast<size_t>(a)] : 0.);
            for (int q = 0; q < 3; ++q)
              y[a] += o.RM[static_cast<size_t>(a * 3 + q)] * xj0[static_cast<size_t>(q)];
          }
          std::array<int, 3> lt{};
          double d[3];
          for (int a = 0; a < 3; ++a) {
            lt[static_cast<size_t>(a)] =
                static_cast<int>(std::lround(xc[static_cast<size_t>(a)] - y[a]));
            d[a] = y[a] + lt[static_cast<size_t>(a)] - xc[static_cast<size_t>(a)];
          }
          const double r = dist(d);
          if (r < 0.1 || r > kNeighbourMax) continue;
          std::string nm = NeighbourName(static_cast<int>(j), op, ce, lt);
          // The same image reached by two operators counts once.
          bool dup = false;
          for (auto& q : cand)
            if (std::fabs(q.D - r) < 1e-4 &&
                q.Name.substr(0, q.Name.find('#')) == nm.substr(0, nm.find('#')))
              dup = true;
          if (!dup) cand.push_back({r, nm});
        }
    }
    std::sort(cand.begin(), cand.end(), [](const Cand& a, const Cand& b) { return a.D < b.D; });
    if (static_cast<int>(cand.size()) < nNeigh) {
      freeH("too few neighbours of the pivot");
      continue;
    }
    // X-H distance as placed in the file.
    double dh = 0.;
    for (int h : g.Atoms) {
      const auto xh = pos(h);
      double d[3] = {xh[0] - xc[0], xh[1] - xc[1], xh[2] - xc[2]};
      dh += dist(d);
    }
    dh = std::round(dh / static_cast<double>(g.Atoms.size()) * 1000.) / 1000.;
    const std::string central = atoms_[static_cast<size_t>(c)].Name;
    std::string neigh;
    for (int i = 0; i < nNeigh; ++i) neigh += " " + cand[static_cast<size_t>(i)].Name;
    std::string text;
    if (sub == KeepApical)
      text =
          fmt::format("hydro apical {} {}{} {}{}", central, nNeigh, neigh, ShortestReal(dh), names);
    else
      text = fmt::format("hydro {} {} {} {}{} {}{}", sub == KeepTetrahed ? "tetrahed" : "triang",
                         central, nNeigh, nH, neigh, ShortestReal(dh), names);
    subs_.emplace_back(RkKeep, text);
  }
}

// OMIT h k l: the reflection and its equivalents; OMIT s 2theta(lim): the
// limit becomes the upper sin(theta)/lambda limit (lambda of CELL), s other
// than its default -2 is not converted; SHEL dmax dmin: sin(theta)/lambda =
// 1/(2 d) limits. A narrower limit of several instructions wins.
bool Importer::OmitShel(const Card& c) {
  const auto& w = c.Words;
  std::vector<double> v(w.size());
  for (size_t i = 0; i < w.size(); ++i)
    if (!Real(c, i, v[i])) return false;
  auto upper = [&](double s) { snlMax_ = snlMax_ < 0. ? s : std::min(snlMax_, s); };
  if (Upper4(c.Key) == "SHEL") {
    if (!v.empty() && v[0] > 0.) snlMin_ = std::max(snlMin_, 0.5 / v[0]);
    if (v.size() > 1 && v[1] > 0.) upper(0.5 / v[1]);
    return true;
  }
  if (v.size() == 3 &&
      std::all_of(v.begin(), v.end(), [](double x) { return x == std::round(x); })) {
    omitHkl_.push_back({static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2])});
    return true;
  }
  if (v.size() > 3) return Error(c, shelxmsg::BadNumber);
  if (!v.empty() && v[0] != kOmitSDefault) NotConverted(c);
  if (v.size() > 1 && v[1] < kOmitTthNone) {
    if (!(db_.Lambda > 0.)) return Error(c, shelxmsg::NoCell);
    upper(std::sin(0.5 * v[1] * kPi / 180.) / db_.Lambda);
  }
  return true;
}

// One "dontuse" line per pair +-h' of the equivalents h' = h.R of an OMIT
// h k l: the group n1 h, n2 h, n3 h (n the indices over their common divisor
// g) with the condition |h| = g selects exactly +-h'.
void Importer::OmitSubCommands() {
  const PhaseSymmetry& s = b_.Phase[0].Symmetry;
  for (const auto& h : omitHkl_) {
    if (h == std::array<int, 3>{0, 0, 0}) continue;
    std::set<std::array<int, 3>> seen;
    std::string listed;
    for (int op = 0; op < s.NSymm; ++op) {
      std::array<int, 3> e{};
      for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i)
          e[static_cast<size_t>(j)] +=
              h[static_cast<size_t>(i)] *
              static_cast<int>(
                  std::lround(s.Op[static_cast<size_t>(op)].RM[static_cast<size_t>(i * 3 + j)]));
      std::array<int, 3> m{-e[0], -e[1], -e[2]};
      if (seen.count(e) || seen.count(m)) continue;
      seen.insert(e);
      const int g = std::gcd(std::gcd(std::abs(e[0]), std::abs(e[1])), std::abs(e[2]));
      std::string group;
      for (int j = 0; j < 3; ++j) {
        const int n = e[static_cast<size_t>(j)] / g;
        group += n == 0 ? "0" : n == 1 ? "h" : n == -1 ? "-h" : fmt::format("{}h", n);
      }
      subs_.emplace_back(RkDontUse, fmt::format("{} : h={}", group, g));
      listed += fmt::format(" ({} {} {})", e[0], e[1], e[2]);
    }
    notes_.push_back(
        fmt::format("OMIT {} {} {}: excluded from the refinement by \"dontuse\" "
                    "lines for{} and their Friedel mates.",
                    h[0], h[1], h[2], listed));
  }
}

// The sin(theta)/lambda limits of SHEL and OMIT 2theta.
void Importer::OmitLimits(RefValues& e) {
  if (snlMin_ <= 0. && snlMax_ < 0.) return;
  e.SetI(RkSinLim, 1);
  if (snlMin_ > 0.) e.SetR(RkSnlMn, static_cast<float>(snlMin_));
  if (snlMax_ >= 0.) e.SetR(RkSnlMx, static_cast<float>(snlMax_));
  notes_.push_back(
      fmt::format("SHEL/OMIT 2theta: reflections with sin(theta)/lambda outside {} .. {} "
                  "are excluded from the refinement (snlmn, snlmx).",
                  ShortestReal(snlMin_), snlMax_ >= 0. ? ShortestReal(snlMax_) : "10"));
}

bool Importer::Finish() {
  Card none;
  none.Line = 0;
  if (!haveCell_) return Error(none, shelxmsg::NoCell);
  if (atoms_.empty()) return Error(none, shelxmsg::NoAtoms);
  // Symmetry: identity first, then the SYMM operators; LATT > 0 adds the
  // centre of symmetry, |LATT| the centring.
  static constexpr std::string_view kLatt[] = {"", "P", "I", "R", "F", "A", "B", "C"};
  {
    // The complete list (identity, SYMM, their inverses when LATT > 0, the
    // centring translations) reduced to the form of M50.
    std::vector<std::array<double, 9>> r{{1, 0, 0, 0, 1, 0, 0, 0, 1}};
    std::vector<std::array<double, 3>> t{{0, 0, 0}};
    for (size_t i = 0; i < symR_.size(); ++i) {
      r.push_back(symR_[i]);
      t.push_back(symT_[i]);
    }
    if (latt_ > 0)
      for (size_t i = 0, n = r.size(); i < n; ++i) {
        std::array<double, 9> m = r[i];
        for (auto& e : m) e = -e;
        r.push_back(m);
        t.push_back({-t[i][0], -t[i][1], -t[i][2]});
      }
    for (const auto& c : LatticeCentring(std::string(kLatt[std::abs(latt_)]), 3)) {
      r.push_back({1, 0, 0, 0, 1, 0, 0, 0, 1});
      t.push_back({c[0], c[1], c[2]});
    }
    if (!ReduceOperators(r, t, ph_)) {
      Card cd;
      return Error(cd, shelxmsg::BadSymm);
    }
    // The file gives operators only; the group's symbol and number follow
    // from the tabulated setting they match.
    (void)NameGroupFromOperators(ph_);
  }
  // Composition: UNIT counts per cell divided by Z.
  for (size_t i = 0; i < ph_.AtType.size(); ++i) {
    ph_.AtList.push_back(ph_.AtType[i]);
    if (i < unit_.size()) ph_.AtTypeData[i].Formula = unit_[i] / ph_.UnitsNumb;
  }
  b_.Phase = {ph_};
  b_.DatBlock = {db_};
  // Twin domains: TWIN matrix R and count N give the domains R^0 .. R^(|N|-1)
  // and, for N < 0, the same times -1; BASF values are the fractions of
  // domains 2.., domain 1 takes the rest.
  if (twinMat_) {
    const int nrot = twinN_ < 0 ? std::max(1, std::abs(twinN_) / 2) : twinN_;
    std::array<double, 9> cur{1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::vector<std::array<double, 9>> mats;
    for (int k = 0; k < nrot; ++k) {
      mats.push_back(cur);
      std::array<double, 9> nx{};
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
          for (int q = 0; q < 3; ++q)
            nx[static_cast<size_t>(i * 3 + j)] +=
                (*twinMat_)[static_cast<size_t>(i * 3 + q)] * cur[static_cast<size_t>(q * 3 + j)];
      cur = nx;
    }
    if (twinN_ < 0) {
      const size_t n0 = mats.size();
      for (size_t k = 0; k < n0; ++k) {
        auto inv = mats[k];
        for (auto& e : inv) e = -e;
        mats.push_back(inv);
      }
    }
    const size_t nd = mats.size();
    for (auto& mt : mats) b_.Twin.emplace_back(mt.begin(), mt.end());
    dbm_.Twin.resize(static_cast<int>(nd));
    double sum = 0.;
    for (size_t k = 1; k < nd; ++k) {
      const double f = k - 1 < basf_.size() ? basf_[k - 1] : 0.;
      dbm_.Twin.Val[k] = f;
      dbm_.Twin.Key[k] = 1;
      sum += f;
    }
    dbm_.Twin.Val[0] = 1. - sum;
    if (basf_.size() > nd - 1)
      notes_.push_back("BASF values beyond the twin domains were not converted.");
  } else if (!basf_.empty()) {
    notes_.push_back("BASF without TWIN (batch scale factors) was not converted.");
  }
  if (SetBasicM50(b_)) {
    Card cd;
    return Error(cd, shelxmsg::NoSymmetry);
  }
  // Scale and extinction.
  dbm_.Scale.resize(1);
  dbm_.Scale.Val[0] = fvar_.empty() ? 1. : fvar_[0];
  dbm_.Scale.Key[0] = 1;
  if (exti_) {
    dbm_.ExtType = ExtShelx;
    dbm_.Ext.resize(ExtParCount(ExtShelx));
    dbm_.Ext.Val[0] = extiVal_;
    dbm_.Ext.Key[0] = 1;
  }
  // Anisotropic U -> beta, riding Uiso.
  const PhaseBasic& p = b_.Phase[0];
  for (size_t i = 0; i < atoms_.size(); ++i) {
    AtomRec& a = atoms_[i];
    AtomExtra& x = extra_[i];
    const int adp = AtomLayout(a.Shape).Off[BlkAdp];
    if (x.Aniso) {
      for (int k = 0; k < 6; ++k) a.Par.Val[adp + k] = UToBeta(p, k, a.Par.Val[adp + k]);
    } else if (x.RideFactor > 0.) {
      x.Uiso = x.RideFactor * Ueq(x.Pivot);
      a.Par.Val[adp] = x.Uiso;
    }
  }
  // Occupancy ties: per free variable the first atom that uses it leads;
  // ai = A + B fv with A = 0, B = p (10m + p) or A = -p, B = p (-(10m + p)).
  std::map<int, int> leader;
  for (size_t i = 0; i < atoms_.size(); ++i) {
    const Coded& o = extra_[i].Occ;
    if (o.FreeVar < 2) continue;
    auto [it, isNew] = leader.emplace(o.FreeVar, static_cast<int>(i));
    if (isNew) continue;
    const Coded& l = extra_[static_cast<size_t>(it->second)].Occ;
    const double al = l.Negative ? -l.Value : 0., bl = l.Value;
    const double ak = o.Negative ? -o.Value : 0., bk = o.Value;
    if (bl == 0.) continue;
    const double coef = bk / bl, cst = ak - bk * al / bl;
    std::string rhs;
    if (cst != 0.)
      rhs = ShortestReal(cst) + (coef < 0. ? " - " : " + ");
    else if (coef < 0.)
      rhs = "-";
    if (std::fabs(coef) != 1.) rhs += ShortestReal(std::fabs(coef)) + "*";
    rhs += "ai[" + atoms_[static_cast<size_t>(it->second)].Name + "]";
    subs_.emplace_back(RkEquation, "ai[" + atoms_[i].Name + "] = " + rhs);
  }
  // Riding hydrogens.
  HydroGroups();
  OmitSubCommands();
  {
    // keep ADP riding: one command per pivot and factor, in atom order.
    std::vector<std::pair<std::pair<int, double>, std::string>> ride;
    for (size_t i = 0; i < atoms_.size(); ++i) {
      const AtomExtra& x = extra_[i];
      if (x.RideFactor <= 0.) continue;
      auto key = std::make_pair(x.Pivot, x.RideFactor);
      auto f = std::find_if(ride.begin(), ride.end(), [&](auto& r) { return r.first == key; });
      if (f == ride.end()) {
        ride.push_back({key, ""});
        f = ride.end() - 1;
      }
      f->second += " " + atoms_[i].Name;
    }
    for (auto& [key, names] : ride)
      subs_.emplace_back(
          RkKeep, fmt::format("ADP riding {} {}{}", atoms_[static_cast<size_t>(key.first)].Name,
                              ShortestReal(key.second), names));
  }
  for (auto& r : restraints_) subs_.emplace_back(RkDistFix, r);
  RestraintCards();
  // PART membership, kept as comment lines of M40.
  std::map<int, std::string> parts;
  for (size_t i = 0; i < atoms_.size(); ++i)
    if (extra_[i].Part != 0) parts[extra_[i].Part] += " " + atoms_[i].Name;
  for (auto& [n, names] : parts) info_.Notes.push_back(fmt::format("PART {}:{}", n, names));
  return true;
}

void Importer::RestraintCards() {
  std::vector<ShelxRestrAtom> at(atoms_.size());
  for (size_t i = 0; i < atoms_.size(); ++i) {
    ShelxRestrAtom& a = at[i];
    a.Name = atoms_[i].Name;
    a.Residue = atomRes_[i].first;
    a.Class = atomRes_[i].second;
    const std::string suffix = fmt::format("_{}", a.Residue);
    a.Written = a.Residue != 0 && a.Name.size() > suffix.size() && a.Name.ends_with(suffix)
                    ? a.Name.substr(0, a.Name.size() - suffix.size())
                    : a.Name;
    a.Element = ToUpper(ph_.AtType[static_cast<size_t>(atoms_[i].Type - 1)]);
    a.Part = extra_[i].Part;
    a.Hydrogen = extra_[i].Hydrogen;
    a.Aniso = extra_[i].Aniso;
    for (int k = 0; k < 3; ++k)
      a.X[static_cast<size_t>(k)] = atoms_[i].Par.Val[static_cast<size_t>(1 + k)];
  }
  std::vector<const ShelxRestrCard*> bad;
  ShelxRestraints(restrCards_, at, ph_.Cell, subs_, bad, notes_);
  for (const ShelxRestrCard* r : bad) {
    Card c;
    c.Line = r->Line;
    c.Key = r->Key;
    c.Words = r->Words;
    NotConverted(c);
  }
}

int Importer::Run(std::vector<std::string>& messages, ErrorRecord& err, ShelxImportInfo* info) {
  auto cards = Cards(text_);
  info_.FileName = file_;
  bool ok = true;
  for (const auto& c : cards) {
    if (c.Key.empty()) continue;
    if (inFrag_ || IsInstruction(c.Key)) {
      ok = Card1(c);
    } else if (c.Key[0] == '+') {
      NotConverted(c);
    } else if (c.Words.size() >= 4 && ToInt(c.Words[0])) {
      ok = Atom(c);
    } else {
      ok = Error(c, shelxmsg::Unknown);
    }
    if (!ok) break;
    if (Upper4(c.Key) == "END") break;
  }
  if (ok) ok = Finish();
  if (!ok) {
    err = std::move(fail_);
    return 1;
  }
  // Commit: basic data, model, refinement settings.
  AtomModel m;
  m.Phase.resize(1);
  m.DatBlock = {dbm_};
  m.Atom = atoms_;
  std::vector<std::string> partComments = info_.Notes;
  info_.Notes.clear();
  if (!partComments.empty()) {
    m.HasCommands = true;
    for (auto& l : partComments) m.Commands.push_back("! " + l);
  }
  Struct.Basic = b_;
  Struct.Model = std::move(m);
  SetBasicM40(Struct.Model);
  RefSettings& ref = info_.Ref;
  RefDefault(ref);
  RefValues& e = ref.Edit;
  e.SetI(RkWeight, 0);
  e.SetI(RkShelxW, 1);
  e.SetR(RkUnstab, static_cast<float>(wa_ / 2.));
  e.SetR(RkUnstab2, static_cast<float>(wb_));
  e.SetI(RkWilsonMod, 1);
  e.SetI(RkFSquare, 1);
  // The keys set here from the file (fixed values, +10 coordinates, refined
  // free variables) are the ones to refine: no automatic keys over them.
  e.SetI(RkAutKeys, 0);
  // Observed as in SHELX's R1: Fo > 4 sigma(Fo), i.e. I > 2 sigma(I).
  e.SetR(RkSigLevel, 2.f);
  if (cycles_ >= 0) e.SetI(RkCycles, cycles_);
  OmitLimits(e);
  for (auto& l : ref.EditLines) l.clear();
  for (auto& [k, t] : subs_)
    ref.EditLines[static_cast<size_t>(k - RefFirstSpecial)].push_back({t, false});
  ref.Lines = ref.EditLines;
  ref.Run = ref.Edit;
  for (auto& [k, t] : subs_)
    if (RefParseSubCommand(ref, k, t))
      messages.push_back(fmt::format("{}: {} not accepted", file_, t));
  if (!wght_)
    notes_.push_back(fmt::format("No WGHT: the SHELX default a = {} was used.", kWghtDefaultA));
  if (qPeaks_ > 0) notes_.push_back(fmt::format("{} Q peaks were left out.", qPeaks_));
  // Listing of what was not converted.
  for (auto& [k, e2] : skipped_)
    info_.NotConverted.push_back(fmt::format("{} ({} line{}, first at line {})", k, e2.first,
                                             e2.first > 1 ? "s" : "", e2.second));
  if (!controlSeen_.empty()) {
    std::string s = "program control:";
    for (auto& k : controlSeen_) s += " " + k;
    info_.NotConverted.push_back(s);
  }
  info_.Notes = notes_;
  for (auto& l : partComments) info_.Notes.push_back(l);
  if (!info_.NotConverted.empty()) {
    messages.push_back(std::string(shelxmsg::NotConvertedHead));
    for (auto& l : info_.NotConverted) messages.push_back("  " + l);
  }
  for (auto& l : info_.Notes) messages.push_back(l);
  if (info != nullptr) *info = std::move(info_);
  return 0;
}

}  // namespace

int ImportShelxModel(std::string_view resText, const std::string& fileName,
                     std::vector<std::string>& messages, ErrorRecord& err, ShelxImportInfo* info) {
  // Ref is filled while the sub-commands are parsed against the new model;
  // the old state is restored when that fails.
  Importer imp(resText, fileName);
  return imp.Run(messages, err, info);
}

int WriteImportedStructure(const std::string& fln, const RefSettings& ref) {
  std::string m40;
  if (M40WriteText(Struct.Model, m40)) return 1;
  BasicData b = Struct.Basic;
  std::vector<std::string> lines = RefBlockLines(ref);
  const bool modulated =
      std::any_of(b.Phase.begin(), b.Phase.end(), [](const PhaseBasic& p) { return p.NDim > 3; });
  Struct.KeyPhases.PhaseNames.clear();
  for (const auto& p : b.Phase) Struct.KeyPhases.PhaseNames.push_back(p.Name);
  AddDefaultBlocks(lines, modulated);
  b.CommandText.clear();
  for (auto& l : lines) b.CommandText += l + "\n";
  const std::string m50 = WriteM50Text(b);
  const std::string l51 = KeySeparator + "\n" + b.CommandText;
  // Every file to a temporary name first; renamed only when all were written.
  const std::array<std::pair<std::string, const std::string*>, 3> files = {
      std::make_pair(fln + ".m40", &m40), std::make_pair(fln + ".l51", &l51),
      std::make_pair(fln + ".m50", &m50)};
  std::vector<std::string> tmps;
  auto cleanup = [&] {
    for (auto& t : tmps) FeDeleteFile(t);
  };
  for (auto& [name, text] : files) {
    const std::string tmp = name + ".imp-tmp";
    tmps.push_back(tmp);
    if (FeWriteFileAtomic(tmp, *text)) {
      cleanup();
      return 1;
    }
  }
  std::error_code ec;
  for (size_t i = 0; i < files.size(); ++i) {
    std::filesystem::rename(tmps[i], files[i].first, ec);
    if (ec) {
      cleanup();
      return 1;
    }
  }
  Struct.Basic.CommandText = b.CommandText;
  return 0;
}

std::string ShelxEmbeddedFile(std::string_view cifText, std::string_view dataName) {
  size_t p = 0;
  while ((p = cifText.find(dataName, p)) != std::string_view::npos) {
    const bool start = p == 0 || cifText[p - 1] == '\n' || cifText[p - 1] == ' ';
    const size_t e = p + dataName.size();
    p = e;
    if (!start || (e < cifText.size() && !std::isspace(static_cast<unsigned char>(cifText[e]))))
      continue;
    size_t q = cifText.find("\n;", e);
    if (q == std::string_view::npos) return "";
    // Only blanks between the name and the text field.
    if (!Trim(cifText.substr(e, q - e)).empty()) return "";
    q += 2;
    size_t nl = cifText.find('\n', q);
    if (nl == std::string_view::npos) return "";
    const std::string first(Trim(cifText.substr(q, nl - q)));
    size_t end = cifText.find("\n;", nl);
    if (end == std::string_view::npos) return "";
    std::string out = first.empty() ? "" : first + "\n";
    out += std::string(cifText.substr(nl + 1, end - nl));
    return out;
  }
  return "";
}

}  // namespace tarn
