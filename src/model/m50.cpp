// Reader and writer of M50. Reading makes two passes: the first counts the
// phases and takes their names, the second reads every record into a local
// BasicData, which replaces `Basic` only when the whole file was good.
#include "model/m50.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "model/keys.hpp"
#include "model/structure.hpp"
#include "model/spgroup_home.hpp"
#include "symmetry/symm.hpp"
#include "util/files.hpp"
#include "util/real_text.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

const std::string_view M50Keys[NM50Keys + 1] = {
    "",          "title",       "cell",       "ndim",        "ncomp",
    "qi",        "qr",          "wmatrix",    "commen",      "tzero",
    "centro",    "symmetry",    "lattice",    "lattvec",     "spgroup",
    "unitsnumb", "sgshift",     "formtab",    "esdcell",     "densities",
    "atom",      "atmag",       "localsymm",  "twin",        "refofanom",
    "chemform",  "roundmethod", "wavefile",   "phase",       "phasetwin",
    "magnetic",  "lambda",      "radtype",    "lpfactor",    "nalpha",
    "monangle",  "kalpha1",     "kalpha2",    "kalphar",     "perfmono",
    "slimits",   "flimits",     "powder",     "noofref",     "datcolltemp",
    "qmag",      "parentstr",   "typdist",    "xyzmode",     "atmagj",
    "addmagJ2",  "addmagJ4",    "addmagJ6",   "parentmat",   "atlist",
    "atradius",  "fneutron",    "fneutronim", "FFBasic",     "FFCore",
    "FFVal",     "nslater",     "DzSlater",   "ZSlater",     "color",
    "f'",        "f\"",         "FFMag",      "atweight",    "formula",
    "fffree",    "dmax",        "formtab",    "alphagmono",  "betagmono",
    "wffile",    "stofunction", "ffel",       "usemottform", "usetscfile"};

namespace {

// Indices into M50Keys.
enum M50Key : int {
  kTitle = 1,
  kCell,
  kNDim,
  kNComp,
  kQi,
  kQr,
  kWMatrix,
  kCommen,
  kTZero,
  kCentro,
  kSymmetry,
  kLattice,
  kLattVec,
  kSpGroup,
  kUnitsNumb,
  kSgShift,
  kFormTabPhase,
  kEsdCell,
  kDensities,
  kAtom,
  kAtMag,
  kLocalSymm,
  kTwin,
  kRefOfAnom,
  kChemForm,
  kRoundMethod,
  kWaveFile,
  kPhase,
  kPhaseTwin,
  kMagnetic,
  kLambda,
  kRadType,
  kLpFactor,
  kNAlpha,
  kMonAngle,
  kKAlpha1,
  kKAlpha2,
  kKAlphaR,
  kPerfMono,
  kSLimits,
  kFLimits,
  kPowder,
  kNoOfRef,
  kDatCollTemp,
  kQMag,
  kParentStr,
  kTypDist,
  kXyzMode,
  kAtMagJ,
  kAddMagJ2,
  kAddMagJ4,
  kAddMagJ6,
  kParentMat,
  kAtList,
  kAtRadius,
  kFNeutron,
  kFNeutronIm,
  kFFBasic,
  kFFCore,
  kFFVal,
  kNSlater,
  kDzSlater,
  kZSlater,
  kColor,
  kFPrime,
  kFDoublePrime,
  kFFMag,
  kAtWeight,
  kFormula,
  kFFFree,
  kDMax,
  kFormTabAtom,
  kAlphaGMono,
  kBetaGMono,
  kWFFile,
  kStoFunction,
  kFFEl,
  kUseMottForm,
  kUseTscFile
};
static_assert(kUseTscFile == NM50Keys);

// Limits of the reader.
inline constexpr int kMaxPhases = 99;         // phases in one file
inline constexpr int kMaxDatBlocks = 99;      // data blocks in one file
inline constexpr int kMaxTableValues = 1000;  // values of one form-factor table
inline constexpr size_t kPhaseNameLen = 8;    // characters kept of a phase name
inline constexpr size_t kAtomNameLen = 7;     // characters kept of an atom-type name
inline constexpr size_t kLatticeLen = 4;      // characters kept of a centring symbol
inline constexpr size_t kSpGroupLen = 80;     // characters kept of a group symbol
inline constexpr int kFFMagCoefs = 9;         // coefficients of "FFMag"
inline constexpr int kMagJCoefs = 7;          // <jn> coefficients A a B b C c D
inline constexpr int kValuesPerLine = 9;      // table values written on one line

int LookupKey(std::string_view w) {
  for (int k = 1; k <= NM50Keys; ++k)
    if (EqIgnoreCase(w, M50Keys[k])) return k;
  return 0;
}

// Text of a line up to a "!" comment.
std::string_view StripComment(std::string_view l) {
  size_t p = l.find('!');
  return p == std::string_view::npos ? l : l.substr(0, p);
}

// Blank lines, "*" and "#" lines and lines beginning with "--" carry no record.
bool IsSkipLine(std::string_view l) {
  std::string_view t = Trim(StripComment(l));
  return t.empty() || t[0] == '*' || t[0] == '#' || t.substr(0, 2) == "--";
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t p = text.find('\n', start);
    size_t end = p == std::string_view::npos ? text.size() : p;
    std::string_view l = text.substr(start, end - start);
    while (!l.empty() && l.back() == '\r') l.remove_suffix(1);  // CR LF, and stray CRs
    out.push_back(l);
    if (p == std::string_view::npos) break;
    start = p + 1;
  }
  return out;
}

// First word of a line and the text after it.
void FirstWord(std::string_view l, std::string_view& word, std::string_view& rest) {
  l = TrimLeft(l);
  size_t i = 0;
  while (i < l.size() && l[i] != ' ' && l[i] != '\t') ++i;
  word = l.substr(0, i);
  rest = Trim(l.substr(i));
}

std::optional<double> ParseReal(const std::string& w) {
  return ToReal(w);
}

std::optional<int> ParseInt(const std::string& w) {
  auto v = ToInt(w);
  if (!v || *v < -1000000000LL || *v > 1000000000LL) return std::nullopt;
  return static_cast<int>(*v);
}

// An integer code that may be written as a real; the real is rounded.
std::optional<int> ParseRoundedInt(const std::string& w) {
  auto v = ToReal(w);
  if (!v || std::fabs(*v) > 1e9) return std::nullopt;
  return static_cast<int>(std::lround(*v));
}

bool IsIdentity(const SymmOp& op, int ndim) {
  for (int i = 0; i < ndim; ++i) {
    if (op.S6[i] != 0.) return false;
    for (int j = 0; j < ndim; ++j)
      if (op.RM6[i * ndim + j] != (i == j ? 1. : 0.)) return false;
  }
  return true;
}

std::string JoinWords(std::string_view s) {
  std::string out;
  for (const auto& w : SplitWords(s)) {
    if (!out.empty()) out += ' ';
    out += w;
  }
  return out;
}

class Reader {
 public:
  Reader(std::string_view text, const std::string& file, ErrorRecord& err)
      : file_(file), err_(err) {
    cur_.Lines = SplitLines(text);
  }

  int Run(BasicData& out);

 private:
  int Fail(std::string_view msg, size_t line) {
    err_ = ErrorRecord::At(file_, static_cast<int>(line) + 1, std::string(msg),
                           line < cur_.Lines.size() ? std::string(cur_.Lines[line]) : "");
    return 1;
  }
  int FailHere(std::string_view msg) { return Fail(msg, cur_.Line); }

  int FirstPass();
  int Record(int key, std::string_view rest);
  int PhaseRecord(int key, std::string_view rest, PhaseBasic& p);
  int AtomRecord(int key, std::string_view rest, AtomTypeBasic& a);
  int DatBlockRecord(int key, std::string_view rest);
  int FinishPhase(PhaseBasic& p, size_t phaseIndex);

  // Values of the current record.
  int Reals(std::string_view rest, size_t n, std::vector<double>& v);  // n = 0: any count
  int Real(std::string_view rest, double& v);
  int Int(std::string_view rest, int& v);
  int Ints(std::string_view rest, std::vector<int>& v);
  int Table(std::string_view rest, std::vector<double>& v);
  AtMagBasic& MagOf(PhaseBasic& p, const std::string& name);

  std::string file_;
  ErrorRecord& err_;
  M50Cursor cur_;
  BasicData b_;
  std::vector<std::string> phaseNames_;
  size_t endLine_ = 0;  // index of the "end" line
  int phase_ = 0;       // current phase, 0-based
  bool phaseNamed_ = false;
  int atom_ = -1;  // current atom type of the phase, -1 before any "atom"
  // Per phase: deferred records that need the final NDim (key, line).
  std::vector<std::vector<std::pair<int, size_t>>> deferred_;
  std::vector<bool> ndimSeen_;
  std::vector<size_t> spGroupLine_;  // per phase: line of "spgroup"

  // Per data block: records already given (a repeated one opens the next block).
  std::vector<std::vector<bool>> dbSeen_;
};

int Reader::Reals(std::string_view rest, size_t n, std::vector<double>& v) {
  auto words = SplitM50Numbers(rest);
  if (n > 0 && words.size() < n) return FailHere(MsgM50ReadError);
  size_t m = n > 0 ? n : words.size();
  v.assign(m, 0.);
  for (size_t i = 0; i < m; ++i) {
    auto r = ParseReal(words[i]);
    if (!r) return FailHere(MsgM50ReadError);
    v[i] = *r;
  }
  return 0;
}

int Reader::Real(std::string_view rest, double& v) {
  std::vector<double> t;
  if (Reals(rest, 1, t)) return 1;
  v = t[0];
  return 0;
}

int Reader::Int(std::string_view rest, int& v) {
  auto words = SplitM50Numbers(rest);
  if (words.empty()) return FailHere(MsgM50ReadError);
  auto r = ParseInt(words[0]);
  if (!r) return FailHere(MsgM50ReadError);
  v = *r;
  return 0;
}

int Reader::Ints(std::string_view rest, std::vector<int>& v) {
  v.clear();
  for (const auto& w : SplitM50Numbers(rest)) {
    auto r = ParseInt(w);
    if (!r) return FailHere(MsgM50ReadError);
    v.push_back(*r);
  }
  return 0;
}

// "keyword n v1 ... vn": the count, then n values over as many lines as needed.
int Reader::Table(std::string_view rest, std::vector<double>& v) {
  cur_.Pending = SplitM50Numbers(rest);
  if (cur_.Pending.empty()) return FailHere(MsgM50ReadError);
  auto n = ParseInt(cur_.Pending.front());
  if (!n) return FailHere(MsgM50ReadError);
  if (*n < 0 || *n > kMaxTableValues) return FailHere(MsgM50BadValue);
  cur_.Pending.erase(cur_.Pending.begin());
  if (ReadFFFromM50(cur_, v, *n, err_)) {
    err_.File = file_;
    return 1;
  }
  return 0;
}

AtMagBasic& Reader::MagOf(PhaseBasic& p, const std::string& name) {
  for (auto& m : p.AtMag)
    if (m.AtName == name) return m;
  p.AtMag.push_back(AtMagBasic{});
  p.AtMag.back().AtName = name;
  return p.AtMag.back();
}

int Reader::FirstPass() {
  for (size_t i = 0; i < cur_.Lines.size(); ++i) {
    std::string_view l = cur_.Lines[i];
    if (IsSkipLine(l)) continue;
    std::string_view w, rest;
    FirstWord(StripComment(l), w, rest);
    if (i == 0 && EqIgnoreCase(w, "version")) continue;
    if (EqIgnoreCase(w, "end")) {
      endLine_ = i;
      return 0;
    }
    if (LookupKey(w) == kPhase) {
      if (static_cast<int>(phaseNames_.size()) >= kMaxPhases) return Fail(MsgM50BadValue, i);
      auto words = SplitWords(rest);
      std::string name = words.empty() ? std::string() : words[0];
      phaseNames_.push_back(name.substr(0, std::min(name.size(), kPhaseNameLen)));
    }
  }
  size_t last = cur_.Lines.empty() ? 0 : cur_.Lines.size() - 1;
  return Fail(MsgM50UnexpectedEnd, last);
}

int Reader::Run(BasicData& out) {
  err_.Clear();
  if (FirstPass()) return 1;
  size_t np = std::max<size_t>(1, phaseNames_.size());
  b_.Phase.assign(np, PhaseBasic{});
  for (size_t i = 0; i < phaseNames_.size(); ++i) b_.Phase[i].Name = phaseNames_[i];
  deferred_.assign(np, {});
  ndimSeen_.assign(np, false);
  spGroupLine_.assign(np, 0);

  for (cur_.Line = 0; cur_.Line < endLine_; ++cur_.Line) {
    std::string_view l = cur_.Lines[cur_.Line];
    if (IsSkipLine(l)) continue;
    std::string_view w, rest;
    FirstWord(StripComment(l), w, rest);
    if (cur_.Line == 0 && EqIgnoreCase(w, "version")) continue;
    int key = LookupKey(w);
    if (key == 0) continue;  // not in the table: ignored
    cur_.Pending.clear();
    if (Record(key, rest)) return 1;
  }
  for (size_t i = 0; i < b_.Phase.size(); ++i)
    if (FinishPhase(b_.Phase[i], i)) return 1;
  if (b_.DatBlock.empty()) {
    b_.DatBlock.emplace_back();
    dbSeen_.emplace_back(NM50Keys + 1, false);
  }
  // "lambda" sets both alpha wavelengths unless they are given themselves.
  for (size_t i = 0; i < b_.DatBlock.size(); ++i) {
    auto& d = b_.DatBlock[i];
    if (!dbSeen_[i][kKAlpha1]) d.KAlpha1 = d.Lambda;
    if (!dbSeen_[i][kKAlpha2]) d.KAlpha2 = d.Lambda;
  }
  // The command blocks: everything after "end" but a separator line.
  size_t first = endLine_ + 1;
  if (first < cur_.Lines.size() && IsKeySeparator(TrimLeft(cur_.Lines[first]))) ++first;
  size_t last = cur_.Lines.size();
  // A final empty "line" after the last newline is not a line.
  if (last > first && cur_.Lines.back().empty()) --last;
  for (size_t i = first; i < last; ++i) {
    b_.CommandText += cur_.Lines[i];
    b_.CommandText += '\n';
  }
  out = std::move(b_);
  return 0;
}

int Reader::Record(int key, std::string_view rest) {
  switch (key) {
    case kTitle:
      b_.Title = std::string(rest);
      return 0;
    case kTwin: {
      std::vector<double> v;
      if (Reals(rest, 9, v)) return 1;
      b_.Twin.push_back(std::move(v));
      return 0;
    }
    case kPhaseTwin:
      return Ints(rest, b_.PhaseTwin);
    case kRefOfAnom: {
      int v = 0;
      if (Int(rest, v)) return 1;
      b_.RefOfAnom = v;
      return 0;
    }
    case kWaveFile:
      b_.WaveFile = JoinWords(rest);
      return 0;
    case kRoundMethod: {
      int v = 0;
      if (Int(rest, v)) return 1;
      b_.RoundMethod = v;
      return 0;
    }
    case kPhase:
      if (phaseNamed_) ++phase_;
      phaseNamed_ = true;
      atom_ = -1;
      return 0;
    default:
      break;
  }
  if ((key >= kLambda && key <= kDatCollTemp) || key == kAlphaGMono || key == kBetaGMono)
    return DatBlockRecord(key, rest);
  PhaseBasic& p = b_.Phase[phase_];
  bool atomKey = (key >= kAtRadius && key <= kFormTabAtom) || key >= kWFFile;
  if (atomKey) {
    if (atom_ < 0) {
      if (key != kFormTabAtom) return 0;  // before any "atom": ignored
      return PhaseRecord(kFormTabPhase, rest, p);
    }
    return AtomRecord(key, rest, p.AtTypeData[atom_]);
  }
  if (key == kFormTabPhase && atom_ >= 0)
    return AtomRecord(kFormTabAtom, rest, p.AtTypeData[atom_]);
  return PhaseRecord(key, rest, p);
}

int Reader::PhaseRecord(int key, std::string_view rest, PhaseBasic& p) {
  std::vector<double> v;
  auto words = SplitWords(rest);
  switch (key) {
    case kCell:
      if (Reals(rest, 6, v)) return 1;
      std::copy(v.begin(), v.end(), p.Cell);
      return 0;
    case kEsdCell:
      if (Reals(rest, 6, v)) return 1;
      std::copy(v.begin(), v.end(), p.CellSU);
      return 0;
    case kNDim: {
      int n = 0;
      if (Int(rest, n)) return 1;
      if (n < 3 || n > 6) return FailHere(MsgM50BadValue);
      p.NDim = n;
      ndimSeen_[phase_] = true;
      return 0;
    }
    case kNComp: {
      int n = 0;
      if (Int(rest, n)) return 1;
      if (n < 1 || n > 9) return FailHere(MsgM50BadValue);
      p.NComp = n;
      return 0;
    }
    case kQi:
    case kQr:
    case kQMag: {
      auto& q = key == kQi ? p.Qi : key == kQr ? p.Qr : p.QMag;
      // qi and qr beyond NDim-3 vectors are ignored with the rest of the line.
      if (key != kQMag && ndimSeen_[phase_] && static_cast<int>(q.size()) >= p.NDim - 3) return 0;
      if (Reals(rest, 3, v)) return 1;
      q.push_back({v[0], v[1], v[2]});
      return 0;
    }
    case kWMatrix:
    case kLattVec:
    case kSymmetry:
      deferred_[phase_].emplace_back(key, cur_.Line);
      return 0;
    case kCommen:
      return Ints(rest, p.Commen);
    case kTZero:
      return Reals(rest, 0, p.TZero);
    case kCentro:
      p.Centro = true;
      return 0;
    case kLattice: {
      std::string s = words.empty() ? std::string() : ToUpper(words[0]);
      s = s.substr(0, std::min(s.size(), kLatticeLen));
      if (s.size() != 1 || std::string_view("PABCIRFX").find(s[0]) == std::string_view::npos)
        return FailHere(MsgM50BadLattice);
      p.Lattice = s;
      return 0;
    }
    case kSpGroup: {
      if (words.empty()) return FailHere(MsgM50ReadError);
      p.SpGroup = words[0].substr(0, std::min(words[0].size(), kSpGroupLen));
      p.SpGroupNumber = 0;
      p.SpGroupCode = 0;
      if (words.size() > 1) {
        auto n = ParseInt(words[1]);
        if (!n) return FailHere(MsgM50ReadError);
        p.SpGroupNumber = *n;
      }
      if (words.size() > 2) {
        auto n = ParseInt(words[2]);
        if (!n) return FailHere(MsgM50ReadError);
        p.SpGroupCode = *n;
      }
      if (p.SpGroup[0] == '?') p.SpGroupCode = 0;  // unknown group
      spGroupLine_[static_cast<size_t>(phase_)] = cur_.Line;
      p.SpGroupCode10 = p.SpGroupCode / 10;
      return 0;
    }
    case kUnitsNumb:
      return Int(rest, p.UnitsNumb);
    case kSgShift:
      return Reals(rest, 0, p.SgShift);
    case kFormTabPhase: {
      int n = 0;
      if (Int(rest, n)) return 1;
      p.FormTab = n;
      return 0;
    }
    case kDensities:
      return Reals(rest, 0, p.Densities);
    case kAtom: {
      std::string name = words.empty() ? std::string() : words[0];
      if (name.empty()) return FailHere(MsgM50BadValue);
      p.AtType.push_back(name.substr(0, std::min(name.size(), kAtomNameLen)));
      p.AtTypeData.emplace_back();
      atom_ = static_cast<int>(p.AtType.size()) - 1;
      return 0;
    }
    case kAtMag:
      if (words.size() < 2) return FailHere(MsgM50BadValue);
      MagOf(p, words[0]).Ion = words[1];
      return 0;
    case kAtMagJ:
    case kAddMagJ2:
    case kAddMagJ4:
    case kAddMagJ6: {
      if (words.empty()) return FailHere(MsgM50BadValue);
      std::string_view after = Trim(rest.substr(rest.find(words[0]) + words[0].size()));
      if (Reals(after, kMagJCoefs, v)) return 1;
      auto& m = MagOf(p, words[0]);
      (key == kAtMagJ ? m.J0 : key == kAddMagJ2 ? m.J2 : key == kAddMagJ4 ? m.J4 : m.J6) = v;
      return 0;
    }
    case kLocalSymm:
      p.LocalSymm.push_back(JoinWords(rest));
      return 0;
    case kChemForm:
      p.ChemForm = JoinWords(rest);
      return 0;
    case kMagnetic:
      if (!words.empty()) {
        auto n = ParseInt(words[0]);
        if (!n) return FailHere(MsgM50ReadError);
        p.Magnetic = *n != 0;
      } else {
        p.Magnetic = true;
      }
      return 0;
    case kParentStr:
      p.ParentStr = JoinWords(rest);
      return 0;
    case kTypDist: {
      if (words.size() < 3) return FailHere(MsgM50ReadError);
      auto d = ParseReal(words[2]);
      if (!d) return FailHere(MsgM50ReadError);
      p.TypDist.push_back(TypDistBasic{words[0], words[1], *d});
      return 0;
    }
    case kXyzMode: {
      int n = 0;
      if (Int(rest, n)) return 1;
      p.XyzMode = n;
      return 0;
    }
    case kParentMat:
      if (Reals(rest, 0, p.ParentMat)) return 1;
      if (p.ParentMat.size() != 9 && p.ParentMat.size() != 12) return FailHere(MsgM50ReadError);
      return 0;
    case kAtList:
      p.AtList = words;
      return 0;
    default:
      return 0;
  }
}

int Reader::AtomRecord(int key, std::string_view rest, AtomTypeBasic& a) {
  double d = 0.;
  int n = 0;
  auto setReal = [&](std::optional<double>& o) {
    if (Real(rest, d)) return 1;
    o = d;
    return 0;
  };
  auto setInt = [&](std::optional<int>& o) {
    if (Int(rest, n)) return 1;
    o = n;
    return 0;
  };
  switch (key) {
    case kAtRadius:
      return setReal(a.AtRadius);
    case kFNeutron:
      return setReal(a.FNeutron);
    case kFNeutronIm:
      return setReal(a.FNeutronIm);
    case kFFBasic:
      return Table(rest, a.FFBasic);
    case kFFCore:
      return Table(rest, a.FFCore);
    case kFFVal:
      return Table(rest, a.FFVal);
    case kFFEl:
      return Table(rest, a.FFEl);
    case kNSlater:
      return Ints(rest, a.NSlater);
    case kDzSlater:
      return Reals(rest, 0, a.DzSlater);
    case kZSlater:
      return Reals(rest, 0, a.ZSlater);
    case kColor:
      a.Color = JoinWords(rest);
      return 0;
    case kFPrime:
      return Reals(rest, 0, a.FPrime);
    case kFDoublePrime:
      return Reals(rest, 0, a.FDoublePrime);
    case kFFMag: {
      // An optional integer, then 9 coefficients over as many lines as needed.
      cur_.Pending = SplitM50Numbers(rest);
      int type = 0;
      if (!cur_.Pending.empty()) {
        auto t = ParseInt(cur_.Pending.front());
        if (!t) return FailHere(MsgM50ReadError);
        type = *t;
        cur_.Pending.erase(cur_.Pending.begin());
      }
      a.FFMagType = type;
      if (ReadFFFromM50(cur_, a.FFMag, kFFMagCoefs, err_)) {
        err_.File = file_;
        return 1;
      }
      return 0;
    }
    case kAtWeight:
      return setReal(a.AtWeight);
    case kFormula:
      return setReal(a.Formula);
    case kFFFree:
      return setInt(a.FFFree);
    case kDMax:
      return setReal(a.DMax);
    case kFormTabAtom:
      return setInt(a.FormTab);
    case kWFFile:
      a.WFFile = JoinWords(rest);
      return 0;
    case kStoFunction:
      a.StoFunction = JoinWords(rest);
      return 0;
    case kUseMottForm:
      return setInt(a.UseMottForm);
    case kUseTscFile:
      return setInt(a.UseTscFile);
    default:
      return 0;
  }
}

int Reader::DatBlockRecord(int key, std::string_view rest) {
  if (b_.DatBlock.empty() || dbSeen_.back()[key]) {
    if (static_cast<int>(b_.DatBlock.size()) >= kMaxDatBlocks) return FailHere(MsgM50BadValue);
    b_.DatBlock.emplace_back();
    dbSeen_.emplace_back(NM50Keys + 1, false);
  }
  dbSeen_.back()[key] = true;
  DatBlockBasic& db = b_.DatBlock.back();
  double d = 0.;
  std::optional<int> r;
  auto words = SplitM50Numbers(rest);
  auto setReal = [&](std::optional<double>& o) {
    if (Real(rest, d)) return 1;
    o = d;
    return 0;
  };
  auto setInt = [&](std::optional<int>& o) {
    int n = 0;
    if (Int(rest, n)) return 1;
    o = n;
    return 0;
  };
  switch (key) {
    case kLambda:
      return Real(rest, db.Lambda);
    case kRadType:
    case kLpFactor:
      if (words.empty() || !(r = ParseRoundedInt(words[0]))) return FailHere(MsgM50ReadError);
      if (key == kRadType)
        db.Radiation = *r;
      else
        db.LpFactor = *r;
      return 0;
    case kNAlpha:
      return setInt(db.NAlpha);
    case kMonAngle:
      return setReal(db.MonAngle);
    case kKAlpha1:
      return Real(rest, db.KAlpha1);
    case kKAlpha2:
      return Real(rest, db.KAlpha2);
    case kKAlphaR:
      return setReal(db.KAlphaR);
    case kPerfMono:
      return setReal(db.PerfMono);
    case kSLimits:
      return Reals(rest, 2, db.SLimits);
    case kFLimits:
      return Reals(rest, 2, db.FLimits);
    case kPowder:
      return setInt(db.Powder);
    case kNoOfRef:
      return setInt(db.NoOfRef);
    case kDatCollTemp:
      return setReal(db.DatCollTemp);
    case kAlphaGMono:
      return setReal(db.AlphaGMono);
    case kBetaGMono:
      return setReal(db.BetaGMono);
    default:
      return 0;
  }
}

// Records that need the final NDim of the phase: centring vectors, W matrices
// and the symmetry operators.
int Reader::FinishPhase(PhaseBasic& p, size_t phaseIndex) {
  int ndimI = p.NDim - 3;
  if (static_cast<int>(p.Qi.size()) > ndimI) p.Qi.resize(ndimI);
  if (static_cast<int>(p.Qr.size()) > ndimI) p.Qr.resize(ndimI);
  for (auto [key, line] : deferred_[phaseIndex]) {
    cur_.Line = line;
    std::string_view w, rest;
    FirstWord(StripComment(cur_.Lines[line]), w, rest);
    std::vector<double> v;
    if (key == kLattVec) {
      if (Reals(rest, p.NDim, v)) return 1;
      p.LattVec.push_back(std::move(v));
    } else if (key == kWMatrix) {
      if (Reals(rest, p.NDim * p.NDim, v)) return 1;
      p.WMatrix.push_back(std::move(v));
    } else {
      // Parsed now that NDim and the magnetic flag are known; kept in the
      // canonical text form.
      SymmOp op;
      if (ReadSymm(rest, p.NDim, p.Magnetic, op)) return FailHere(MsgM50SymmSyntax);
      if (p.SymmText.empty() && !IsIdentity(op, p.NDim)) return FailHere(MsgM50FirstNotIdentity);
      std::string s;
      for (const auto& x : op.Text) s += (s.empty() ? "" : " ") + x;
      // A translation without a fraction of denominator up to 25 has no text
      // form ("?/?") and could not be written back.
      if (s.find('?') != std::string::npos) return FailHere(MsgM50SymmSyntax);
      if (p.Magnetic) s += op.ZMag < 0 ? " -m" : " m";
      p.SymmText.push_back(s);
    }
  }
  // A phase that names only its group gets the group's operators.
  if (p.SymmText.empty() && !p.SpGroup.empty() && p.SpGroup[0] != '?' && p.NDim == 3) {
    ErrorRecord e;
    if (PhaseFromSpGroup(p, &e)) return Fail(e.Message, spGroupLine_[phaseIndex]);
  }
  return 0;
}

// ---- writer -------------------------------------------------------------------

class Writer {
 public:
  std::string Out;

  void Rec(std::string_view key, std::string_view values) {
    Out += key;
    if (!values.empty()) {
      Out += ' ';
      Out += values;
    }
    Out += '\n';
  }
  static std::string R(double x) { return ShortestReal(x); }
  static std::string Rs(const double* v, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += (i ? " " : "") + R(v[i]);
    return s;
  }
  static std::string Rs(const std::vector<double>& v) { return Rs(v.data(), v.size()); }
  static std::string Is(const std::vector<int>& v) {
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) s += (i ? " " : "") + std::to_string(v[i]);
    return s;
  }
  void Real(std::string_view key, const std::optional<double>& v) {
    if (v) Rec(key, R(*v));
  }
  void Int(std::string_view key, const std::optional<int>& v) {
    if (v) Rec(key, std::to_string(*v));
  }
  void Reals(std::string_view key, const std::vector<double>& v) {
    if (!v.empty()) Rec(key, Rs(v));
  }
  void Text(std::string_view key, const std::string& s) {
    if (!s.empty()) Rec(key, s);
  }
  // "keyword n v1 .. v9" and the rest of the values nine to a continuation line.
  void Table(std::string_view key, const std::vector<double>& v) {
    if (v.empty()) return;
    Out += fmt::format("{} {}", key, v.size());
    for (size_t i = 0; i < v.size(); ++i) {
      if (i > 0 && i % kValuesPerLine == 0) Out += "\n ";
      Out += ' ';
      Out += R(v[i]);
    }
    Out += '\n';
  }

  void Phase(const PhaseBasic& p, bool several);
  void AtomType(const std::string& name, const AtomTypeBasic& a);
  void DatBlock(const DatBlockBasic& d);
};

void Writer::Phase(const PhaseBasic& p, bool several) {
  if (several || !p.Name.empty()) Rec(M50Keys[kPhase], p.Name);
  Rec(M50Keys[kCell], Rs(p.Cell, 6));
  if (std::any_of(p.CellSU, p.CellSU + 6, [](double x) { return x != 0.; }))
    Rec(M50Keys[kEsdCell], Rs(p.CellSU, 6));
  Rec(M50Keys[kNDim], std::to_string(p.NDim));
  if (p.NComp != 1) Rec(M50Keys[kNComp], std::to_string(p.NComp));
  for (const auto& q : p.Qi) Rec(M50Keys[kQi], Rs(q.data(), 3));
  for (const auto& q : p.Qr) Rec(M50Keys[kQr], Rs(q.data(), 3));
  for (const auto& w : p.WMatrix) Rec(M50Keys[kWMatrix], Rs(w));
  if (!p.SpGroup.empty()) {
    std::string s = fmt::format("{} {}", p.SpGroup, p.SpGroupNumber);
    if (p.SpGroupCode != 0) s += fmt::format(" {}", p.SpGroupCode);
    Rec(M50Keys[kSpGroup], s);
  }
  Reals(M50Keys[kSgShift], p.SgShift);
  Rec(M50Keys[kLattice], p.Lattice);
  for (const auto& v : p.LattVec) Rec(M50Keys[kLattVec], Rs(v));
  if (p.Centro) Rec(M50Keys[kCentro], "");
  for (const auto& s : p.SymmText) Rec(M50Keys[kSymmetry], s);
  for (const auto& s : p.LocalSymm) Rec(M50Keys[kLocalSymm], s);
  Int(M50Keys[kXyzMode], p.XyzMode);
  Rec(M50Keys[kUnitsNumb], std::to_string(p.UnitsNumb));
  Reals(M50Keys[kDensities], p.Densities);
  Text(M50Keys[kChemForm], p.ChemForm);
  if (!p.AtList.empty()) {
    std::string s;
    for (const auto& w : p.AtList) s += (s.empty() ? "" : " ") + w;
    Rec(M50Keys[kAtList], s);
  }
  Int(M50Keys[kFormTabPhase], p.FormTab);
  if (p.Magnetic) Rec(M50Keys[kMagnetic], "1");
  static const AtomTypeBasic kEmpty;
  for (size_t i = 0; i < p.AtType.size(); ++i)
    AtomType(p.AtType[i], i < p.AtTypeData.size() ? p.AtTypeData[i] : kEmpty);
  for (const auto& m : p.AtMag) {
    if (!m.Ion.empty()) Rec(M50Keys[kAtMag], m.AtName + " " + m.Ion);
    if (!m.J0.empty()) Rec(M50Keys[kAtMagJ], m.AtName + " " + Rs(m.J0));
    if (!m.J2.empty()) Rec(M50Keys[kAddMagJ2], m.AtName + " " + Rs(m.J2));
    if (!m.J4.empty()) Rec(M50Keys[kAddMagJ4], m.AtName + " " + Rs(m.J4));
    if (!m.J6.empty()) Rec(M50Keys[kAddMagJ6], m.AtName + " " + Rs(m.J6));
  }
  for (const auto& q : p.QMag) Rec(M50Keys[kQMag], Rs(q.data(), 3));
  Text(M50Keys[kParentStr], p.ParentStr);
  Reals(M50Keys[kParentMat], p.ParentMat);
  for (const auto& t : p.TypDist)
    Rec(M50Keys[kTypDist], fmt::format("{} {} {}", t.AtA, t.AtB, R(t.Dist)));
  if (!p.Commen.empty()) Rec(M50Keys[kCommen], Is(p.Commen));
  Reals(M50Keys[kTZero], p.TZero);
}

void Writer::AtomType(const std::string& name, const AtomTypeBasic& a) {
  Rec(M50Keys[kAtom], name);
  Table(M50Keys[kFFEl], a.FFEl);
  if (!a.FFMag.empty())
    Rec(M50Keys[kFFMag], fmt::format("{} {}", a.FFMagType.value_or(0), Rs(a.FFMag)));
  Reals(M50Keys[kFPrime], a.FPrime);
  Reals(M50Keys[kFDoublePrime], a.FDoublePrime);
  if (!a.NSlater.empty()) Rec(M50Keys[kNSlater], Is(a.NSlater));
  Reals(M50Keys[kZSlater], a.ZSlater);
  Reals(M50Keys[kDzSlater], a.DzSlater);
  Real(M50Keys[kFNeutron], a.FNeutron);
  Real(M50Keys[kFNeutronIm], a.FNeutronIm);
  Table(M50Keys[kFFBasic], a.FFBasic);
  Table(M50Keys[kFFCore], a.FFCore);
  Table(M50Keys[kFFVal], a.FFVal);
  Real(M50Keys[kAtRadius], a.AtRadius);
  Text(M50Keys[kColor], a.Color);
  Real(M50Keys[kAtWeight], a.AtWeight);
  Real(M50Keys[kFormula], a.Formula);
  Int(M50Keys[kFFFree], a.FFFree);
  Real(M50Keys[kDMax], a.DMax);
  Int(M50Keys[kFormTabAtom], a.FormTab);
  Text(M50Keys[kWFFile], a.WFFile);
  Text(M50Keys[kStoFunction], a.StoFunction);
  Int(M50Keys[kUseMottForm], a.UseMottForm);
  Int(M50Keys[kUseTscFile], a.UseTscFile);
}

void Writer::DatBlock(const DatBlockBasic& d) {
  Rec(M50Keys[kLambda], R(d.Lambda));  // always first: it opens the data block
  Real(M50Keys[kAlphaGMono], d.AlphaGMono);
  Real(M50Keys[kBetaGMono], d.BetaGMono);
  Real(M50Keys[kMonAngle], d.MonAngle);
  Int(M50Keys[kNAlpha], d.NAlpha);
  Rec(M50Keys[kRadType], std::to_string(d.Radiation));
  Int(M50Keys[kLpFactor], d.LpFactor);
  if (d.KAlpha1 != d.Lambda) Rec(M50Keys[kKAlpha1], R(d.KAlpha1));
  if (d.KAlpha2 != d.Lambda) Rec(M50Keys[kKAlpha2], R(d.KAlpha2));
  Real(M50Keys[kKAlphaR], d.KAlphaR);
  Real(M50Keys[kPerfMono], d.PerfMono);
  Reals(M50Keys[kSLimits], d.SLimits);
  Reals(M50Keys[kFLimits], d.FLimits);
  Int(M50Keys[kPowder], d.Powder);
  Int(M50Keys[kNoOfRef], d.NoOfRef);
  Real(M50Keys[kDatCollTemp], d.DatCollTemp);
}

// The message box of an M50 fault: the message, "File f, line n:" and the line.
int ShowM50Error(const ErrorRecord& e) {
  std::vector<std::string> lines;
  if (e.Line > 0)
    lines.push_back(fmt::format("File {}, line {}:", e.File, e.Line));
  else
    lines.push_back(fmt::format("File {}", e.File));
  if (!e.What.empty()) lines.push_back(e.What);
  tarn::ReportError(e.Message, lines);
  return 1;
}

}  // namespace

std::vector<std::string> SplitM50Numbers(std::string_view line) {
  std::vector<std::string> out;
  for (const auto& w : SplitWords(line)) {
    size_t start = 0;
    for (size_t i = 1; i < w.size(); ++i) {
      char prev = w[i - 1];
      bool glued = w[i] == '-' && (std::isdigit(static_cast<unsigned char>(prev)) || prev == '.');
      if (glued) {
        out.push_back(w.substr(start, i - start));
        start = i;
      }
    }
    out.push_back(w.substr(start));
  }
  return out;
}

int ReadFFFromM50(M50Cursor& cur, std::vector<double>& values, int n, ErrorRecord& err) {
  size_t m = static_cast<size_t>(std::abs(n));
  size_t off = n < 0 ? 1 : 0;
  values.assign(m + off, 0.);
  size_t got = 0, taken = 0;
  auto fail = [&](std::string_view msg, size_t line) {
    err.Line = static_cast<int>(line) + 1;
    err.What = line < cur.Lines.size() ? std::string(cur.Lines[line]) : "";
    err.Message = std::string(msg);
    return 1;
  };
  while (got < m) {
    if (taken >= cur.Pending.size()) {
      cur.Pending.clear();
      taken = 0;
      do {
        ++cur.Line;
        if (cur.Line >= cur.Lines.size())
          return fail(MsgM50UnexpectedEnd, cur.Lines.empty() ? 0 : cur.Lines.size() - 1);
      } while (IsSkipLine(cur.Lines[cur.Line]));
      cur.Pending = SplitM50Numbers(StripComment(cur.Lines[cur.Line]));
      continue;
    }
    auto r = ParseReal(cur.Pending[taken++]);
    if (!r) return fail(MsgM50ReadError, cur.Line);
    values[off + got++] = *r;
  }
  cur.Pending.erase(cur.Pending.begin(), cur.Pending.begin() + static_cast<long>(taken));
  return 0;
}

int ReadM50Text(std::string_view text, const std::string& file, BasicData& out, ErrorRecord* err) {
  ErrorRecord local;
  Reader r(text, file, err != nullptr ? *err : local);
  return r.Run(out);
}

std::string WriteM50Text(const BasicData& b) {
  Writer w;
  w.Out = "Version Tarnwork\n";
  w.Text(M50Keys[kTitle], b.Title);
  bool several = b.Phase.size() > 1;
  for (const auto& p : b.Phase) w.Phase(p, several);
  for (const auto& d : b.DatBlock) w.DatBlock(d);
  w.Int(M50Keys[kRefOfAnom], b.RefOfAnom);
  for (const auto& t : b.Twin) w.Rec(M50Keys[kTwin], Writer::Rs(t));
  if (!b.PhaseTwin.empty()) w.Rec(M50Keys[kPhaseTwin], Writer::Is(b.PhaseTwin));
  w.Text(M50Keys[kWaveFile], b.WaveFile);
  w.Int(M50Keys[kRoundMethod], b.RoundMethod);
  w.Out += "end\n";
  w.Out += KeySeparator;
  w.Out += '\n';
  w.Out += b.CommandText;
  return w.Out;
}

std::string M50CommandFileName(const std::string& m50file) {
  std::filesystem::path p(m50file);
  p.replace_extension(".l51");
  return p.string();
}

namespace {

// Adds the empty default command blocks that the phases of b miss; the phase
// names go to the command-block module first.
void AddDefaultBlocksFor(const BasicData& b, std::string& text) {
  Struct.KeyPhases.PhaseNames.clear();
  for (const auto& p : b.Phase) Struct.KeyPhases.PhaseNames.push_back(p.Name);
  bool modulated =
      std::any_of(b.Phase.begin(), b.Phase.end(), [](const PhaseBasic& p) { return p.NDim > 3; });
  std::vector<std::string> lines;
  for (auto l : SplitLines(text)) lines.emplace_back(l);
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  AddDefaultBlocks(lines, modulated);
  text.clear();
  for (const auto& l : lines) text += l + "\n";
}

}  // namespace

int iom50(int mode, const std::string& file, ErrorRecord* errOut) {
  ErrorRecord local;
  ErrorRecord& err = errOut != nullptr ? *errOut : local;
  err.Clear();
  // A fault that is only the file's: no line, no text.
  auto fileFault = [&](std::string_view msg) {
    err.File = file;
    err.Message = std::string(msg);
    return ShowM50Error(err);
  };
  if (mode == M50Read) {
    std::string text;
    if (FeReadFile(file, text)) return fileFault(MsgM50Cannot);
    BasicData local;
    if (ReadM50Text(text, file, local, &err)) return ShowM50Error(err);
    ErrorRecord symm;
    if (SetBasicM50(local, &symm)) {
      err.File = file;
      err.Message = std::string(MsgM50NotCompleted);
      std::vector<std::string> lines{fmt::format("File {}", file)};
      if (!symm.Empty()) {
        lines.push_back(symm.Message);
        lines.insert(lines.end(), symm.Detail.begin(), symm.Detail.end());
      }
      ReportError(err.Message, lines);
      return 1;
    }
    AddDefaultBlocksFor(local, local.CommandText);
    // The working copy of the command blocks; a failure here loses nothing.
    if (FeWriteFileAtomic(M50CommandFileName(file), KeySeparator + "\n" + local.CommandText))
      ReportWarning("The command file cannot be written.", {M50CommandFileName(file)});
    Struct.Basic = std::move(local);
    return 0;
  }
  // Writing: the command blocks come from the ".l51" file when it exists.
  std::string l51 = M50CommandFileName(file);
  std::string cmd;
  if (FeReadFile(l51, cmd) == 0) {
    auto lines = SplitLines(cmd);
    std::string t;
    size_t i = 0;
    if (!lines.empty() && IsKeySeparator(TrimLeft(lines[0]))) i = 1;
    size_t last = lines.size();
    if (last > i && lines.back().empty()) --last;
    for (; i < last; ++i) t += std::string(lines[i]) + "\n";
    Struct.Basic.CommandText = t;
  } else {
    AddDefaultBlocksFor(Struct.Basic, Struct.Basic.CommandText);
  }
  if (FeWriteFileAtomic(file, WriteM50Text(Struct.Basic))) return fileFault(MsgM50CannotWrite);
  return 0;
}

int InforM50(const std::string& file, M50Info& info) {
  std::string text;
  if (FeReadFile(file, text)) return 1;
  info = M50Info{};
  auto lines = SplitLines(text);
  bool second = false;  // past the first phase
  for (size_t i = 0; i < lines.size(); ++i) {
    if (IsSkipLine(lines[i])) continue;
    std::string_view w, rest;
    FirstWord(StripComment(lines[i]), w, rest);
    if (EqIgnoreCase(w, "end")) break;
    auto words = SplitWords(rest);
    switch (LookupKey(w)) {
      case kPhase:
        if (!info.PhaseNames.empty()) second = true;
        info.PhaseNames.push_back(words.empty() ? std::string() : words[0]);
        break;
      case kLambda:
        ++info.NDatBlock;
        break;
      case kNDim:
        if (!second && !words.empty()) info.NDim = static_cast<int>(ToInt(words[0]).value_or(3));
        break;
      case kSpGroup:
        if (!second && !words.empty()) info.SpGroup = words[0];
        break;
      case kCell:
        if (!second) {
          auto nums = SplitM50Numbers(rest);
          for (size_t k = 0; k < 6 && k < nums.size(); ++k)
            info.Cell[k] = ToReal(nums[k]).value_or(info.Cell[k]);
        }
        break;
      default:
        break;
    }
  }
  return 0;
}

}  // namespace tarn
