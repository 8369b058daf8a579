#include "model/m40.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "model/basic.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// ---- messages of the M40 reader and writer ---------------------------------
namespace msg {
constexpr const char* UnexpectedEnd = "Unexpected end of M40 file.";
constexpr const char* BadType = "Incorrect flag for atomic type (=";
constexpr const char* BadOrder = "Incorrect order of the displacement tensor (=";
constexpr const char* BadFunType = "Incorrect type of modulation functions (=";
constexpr const char* BadInt = "Integer expected in columns";
constexpr const char* BadReal = "Real number expected in columns";
constexpr const char* BadKey = "Refinement key (one digit) expected in column";
constexpr const char* NoName = "Atom name expected in columns 1-8.";
constexpr const char* BadFlag = "Incorrect flag of parameter kind";
constexpr const char* BadWaves = "Incorrect number of modulation waves of parameter kind";
constexpr const char* HigherKinds =
    "Flags or waves of parameter kinds above the displacement order.";
constexpr const char* NameMismatch = "The line of higher parameter kinds names another atom:";
constexpr const char* BadFunLine = "Function line expected; the function name must be";
constexpr const char* BadHead = "Incorrect head record:";
constexpr const char* BadMolHead = "Incorrect molecule head line:";
constexpr const char* BadBlockHead = "Incorrect data-block record:";
constexpr const char* BadOption = "Unknown option keyword:";
constexpr const char* BadOptionValue = "Integer values expected after option keyword";
constexpr const char* NoSeparator = "Separator line of the s.u. block expected.";
constexpr const char* TrailingText = "Unexpected text after the s.u. block.";
constexpr const char* CannotOpen = "The file cannot be opened:";
constexpr const char* CannotWrite = "The file cannot be written:";
constexpr const char* ReadError = "Error reading M40 file.";
constexpr const char* WriteError = "M40 file not written.";
}  // namespace msg

// Function names of the function lines, indexed by FunTypes.
constexpr std::array<const char*, NFunTypes> FunNames = {"", "Ortho", "Legendre", "XHarm"};

// Field of a line, 0-based start; shorter lines give a shorter/empty field.
std::string_view Field(std::string_view line, size_t start, size_t width) {
  if (start >= line.size()) return {};
  return line.substr(start, width);
}

bool IsBlank(std::string_view s) {
  for (char c : s)
    if (c != ' ') return false;
  return true;
}

// Integer of a fixed field; a blank field reads as 0.
bool ParseInt(std::string_view f, int& v) {
  f = Trim(f);
  if (f.empty()) {
    v = 0;
    return true;
  }
  if (f.front() == '+') f.remove_prefix(1);
  auto [p, ec] = std::from_chars(f.data(), f.data() + f.size(), v);
  return ec == std::errc() && p == f.data() + f.size();
}

// Real of a fixed field; a blank field reads as 0. Numbers without a decimal
// point are read as written (no implied decimals).
bool ParseReal(std::string_view f, double& v) {
  f = Trim(f);
  if (f.empty()) {
    v = 0.;
    return true;
  }
  if (f.front() == '+') f.remove_prefix(1);
  if (f.empty()) return false;
  auto [p, ec] = std::from_chars(f.data(), f.data() + f.size(), v);
  return ec == std::errc() && p == f.data() + f.size() && std::isfinite(v);
}

// Reads an integer field (1-based columns col .. col+width-1).
int GetInt(M40Lines& in, std::string_view line, int col, int width, int& v) {
  if (!ParseInt(Field(line, col - 1, width), v))
    return in.Fail(fmt::format("{} {}-{}.", msg::BadInt, col, col + width - 1));
  return 0;
}

int GetReal(M40Lines& in, std::string_view line, int col, int width, double& v) {
  if (!ParseReal(Field(line, col - 1, width), v))
    return in.Fail(fmt::format("{} {}-{}.", msg::BadReal, col, col + width - 1));
  return 0;
}

int GetDigit(M40Lines& in, std::string_view line, int col, int& v) {
  std::string_view f = Field(line, col - 1, 1);
  if (f.empty() || f[0] == ' ') {
    v = 0;
    return 0;
  }
  if (f[0] < '0' || f[0] > '9') return in.Fail(fmt::format("{} {}.", msg::BadKey, col));
  v = f[0] - '0';
  return 0;
}

// Integers in I5 fields, 14 to a line, over as many lines as needed.
int GetI5List(M40Lines& in, int n, std::vector<int>& v, const char* what) {
  v.clear();
  while (static_cast<int>(v.size()) < n) {
    if (in.AtEnd()) return in.FailEnd();
    std::string_view line = in.Next();
    for (int i = 0; i < 14 && static_cast<int>(v.size()) < n; i++) {
      int x;
      if (!ParseInt(Field(line, 5 * i, 5), x))
        return in.Fail(fmt::format("{} {} {}-{}.", what, msg::BadInt, 5 * i + 1, 5 * i + 5));
      v.push_back(x);
    }
  }
  return 0;
}

void PutI5List(std::string& out, const std::vector<int>& v) {
  for (size_t i = 0; i < v.size(); i++) {
    fmt::format_to(std::back_inserter(out), "{:5d}", v[i]);
    if (i % 14 == 13 || i + 1 == v.size()) out += '\n';
  }
}

void PutName8(std::string& out, std::string_view name) {
  out += name;
  out.append(8 - std::min<size_t>(8, name.size()), ' ');
}

// Plain line -> listing line: a one-blank margin, columns 1-57, the opening
// mark, the rest from column 61 (keys or integers), the closing mark.
void AppendListing(std::string& out, std::string_view plain, const char* open, const char* close) {
  out += ' ';
  std::string_view head = plain.substr(0, std::min<size_t>(57, plain.size()));
  out += head;
  out.append(57 - head.size(), ' ');
  out += open;
  if (plain.size() > 60) out += plain.substr(60);
  out += close;
  out += '\n';
}

// Emits a finished plain line (with '\n' stripped) in the chosen form.
void EmitLine(std::string& out, std::string_view plain, int form, const char* open = "=>",
              const char* close = "<=") {
  if (form == IostListing)
    AppendListing(out, plain, open, close);
  else {
    out += plain;
    out += '\n';
  }
}

}  // namespace

// ---- errors ------------------------------------------------------------------

std::vector<std::string> M40ErrorLines(const ErrorRecord& e) {
  std::vector<std::string> l{e.Message};
  if (e.Line > 0)
    l.push_back(fmt::format("File \"{}\", line {}:", e.File, e.Line));
  else if (!e.File.empty())
    l.push_back(fmt::format("File \"{}\"", e.File));
  if (e.Line > 0) l.push_back(e.What);
  return l;
}

M40Lines::M40Lines(std::string_view text, std::string fileName) : file_(std::move(fileName)) {
  size_t start = 0;
  while (start < text.size()) {
    size_t e = text.find('\n', start);
    if (e == std::string_view::npos) e = text.size();
    std::string_view l = text.substr(start, e - start);
    while (!l.empty() && l.back() == '\r') l.remove_suffix(1);  // CR LF and stray CRs
    lines_.push_back(l);
    start = e + 1;
  }
}

std::string_view M40Lines::Next() {
  if (pos_ >= lines_.size()) {
    cur_ = static_cast<int>(lines_.size()) + 1;
    return {};
  }
  cur_ = static_cast<int>(pos_) + 1;
  return lines_[pos_++];
}

std::string_view M40Lines::Current() const {
  if (cur_ >= 1 && cur_ <= static_cast<int>(lines_.size())) return lines_[cur_ - 1];
  return {};
}

int M40Lines::Fail(const std::string& what) {
  Err = ErrorRecord::At(file_, cur_, what, std::string(Current()));
  return 1;
}

int M40Lines::FailEnd() {
  Err = ErrorRecord::At(file_, 0, msg::UnexpectedEnd);
  return 1;
}

// ---- value fields ------------------------------------------------------------

void PutF96(std::string& out, double v) {
  char buf[40];
  for (int d = 6; d >= 0; d--) {
    auto r = fmt::format_to_n(buf, sizeof buf, "{:9.{}f}", v, d);
    if (r.size == 9) {
      out.append(buf, 9);
      return;
    }
  }
  for (int p = 3; p >= 0; p--) {
    auto r = fmt::format_to_n(buf, sizeof buf, "{:9.{}e}", v, p);
    if (r.size == 9) {
      out.append(buf, 9);
      return;
    }
  }
  out.append(9, '*');  // not reached for finite values
}

void iost(std::string& out, int n, const double* val, const int* key, int form) {
  std::string line;
  for (int i0 = 0; i0 < n; i0 += 6) {
    const int r = std::min(6, n - i0);
    line.clear();
    for (int i = 0; i < r; i++) PutF96(line, val[i0 + i]);
    line.append((6 - r) * 9 + 6, ' ');
    for (int i = 0; i < r; i++) line += static_cast<char>('0' + key[i0 + i]);
    EmitLine(out, line, form);
  }
}

int iost(M40Lines& in, int n, double* val, int* key) {
  for (int i0 = 0; i0 < n; i0 += 6) {
    if (in.AtEnd()) return in.FailEnd();
    std::string_view line = in.Next();
    const int r = std::min(6, n - i0);
    for (int i = 0; i < r; i++) {
      if (GetReal(in, line, 9 * i + 1, 9, val[i0 + i])) return 1;
      if (GetDigit(in, line, M40KeyColumn + i, key[i0 + i])) return 1;
    }
  }
  return 0;
}

void iostSig(std::string& out, int n, const double* sig) {
  for (int i0 = 0; i0 < n; i0 += 6) {
    const int r = std::min(6, n - i0);
    for (int i = 0; i < r; i++) PutF96(out, sig[i0 + i]);
    out += '\n';
  }
}

int iostSig(M40Lines& in, int n, double* sig) {
  for (int i0 = 0; i0 < n; i0 += 6) {
    if (in.AtEnd()) return in.FailEnd();
    std::string_view line = in.Next();
    const int r = std::min(6, n - i0);
    for (int i = 0; i < r; i++)
      if (GetReal(in, line, 9 * i + 1, 9, sig[i0 + i])) return 1;
  }
  return 0;
}

// ---- traversal of the lists of an atom ---------------------------------------------

namespace {

// Calls list(offset, n) for every list of the atom after its first two lines,
// in file order, and fun() where the function line stands.
template <class ListF, class FunF>
void ForAtomLists(const AtomRec& a, const AtomLayoutInfo& l, ListF&& list, FunF&& fun) {
  for (int b = BlkAnh3; b < NAtBlocks; b++) {
    if (b == BlkCrenel && a.FunType > 0) fun();
    if (l.Len[b] == 0) continue;
    for (int o = 0; o < l.Len[b]; o += l.Item[b]) list(l.Off[b] + o, l.Item[b]);
  }
}

template <class ListF>
void ForMolPosLists(const MolLayoutInfo& l, ListF&& list) {
  for (int b = 0; b < NMolBlocks; b++)
    for (int o = 0; o < l.Len[b]; o += l.Item[b]) list(l.Off[b] + o, l.Item[b]);
}

// Checks an atom's attributes against what its fields can hold; "" when fine.
std::string CheckShape(const AtomShape& s, int funType) {
  if (s.AdpOrder < 1 || s.AdpOrder > MaxAdpOrder)
    return fmt::format("{}{})", msg::BadOrder, s.AdpOrder);
  if (funType < 0 || funType >= NFunTypes) return fmt::format("{}{})", msg::BadFunType, funType);
  for (int k = 0; k < NParKinds; k++) {
    const int maxFlag = k < 2 ? 1 : 9;
    if (s.Flag[k] < 0 || s.Flag[k] > maxFlag) return fmt::format("{} {}.", msg::BadFlag, k + 1);
    if (s.NWave[k] < 0 || s.NWave[k] > 999) return fmt::format("{} {}.", msg::BadWaves, k + 1);
    // Kind n+1 carries the order-n tensor; kinds above the highest order hold
    // no values (an isotropic atom keeps kind 3 for its Uiso waves).
    if (k > std::max(s.AdpOrder, 2) && (s.Flag[k] != 0 || s.NWave[k] != 0)) return msg::HigherKinds;
  }
  if (s.MagPar < 0 || s.MagPar > 999) return "Incorrect magnetic attribute.";
  return {};
}

std::string PhaseTypesCheck(int type, int nTypes) {
  if (type <= 0 || (nTypes > 0 && type > nTypes)) return fmt::format("{}{})", msg::BadType, type);
  return {};
}

}  // namespace

// ---- atoms ------------------------------------------------------------------------

void ioat(std::string& out, const AtomRec& a, int form) {
  const AtomShape& s = a.Shape;
  const AtomLayoutInfo l = AtomLayout(s);
  std::string line;
  // Atom line.
  PutName8(line, a.Name);
  const int attr2 = 10 * a.FunType + s.AdpOrder;
  if (a.TwoAttr && s.MagPar == 0)
    fmt::format_to(std::back_inserter(line), "{:3d}{:3d}    ", a.Type, attr2);
  else
    fmt::format_to(std::back_inserter(line), "{:3d}{:3d}{:3d} ", a.Type, attr2, s.MagPar);
  for (int i = 0; i < 4; i++) PutF96(line, a.Par.Val[i]);
  line.append(6, ' ');
  for (int k = 0; k < 3; k++) line += static_cast<char>('0' + s.Flag[k]);
  for (int k = 0; k < 3; k++) fmt::format_to(std::back_inserter(line), "{:3d}", s.NWave[k]);
  EmitLine(out, line, form, ">>", "<<");
  // Displacement line with the keys of both lines.
  line.clear();
  for (int i = 4; i < 10; i++) PutF96(line, a.Par.Val[i]);
  line.append(6, ' ');
  for (int i = 0; i < 10; i++) line += static_cast<char>('0' + a.Par.Key[i]);
  EmitLine(out, line, form);
  // Flags and waves of kinds 4-7.
  if (s.AdpOrder > 2) {
    line.clear();
    PutName8(line, a.Name);
    line.append(52, ' ');
    for (int k = 3; k < 7; k++) line += static_cast<char>('0' + s.Flag[k]);
    for (int k = 3; k < 7; k++) fmt::format_to(std::back_inserter(line), "{:3d}", s.NWave[k]);
    EmitLine(out, line, form, ">>", "<<");
  }
  ForAtomLists(
      a, l, [&](int off, int n) { iost(out, n, &a.Par.Val[off], &a.Par.Key[off], form); },
      [&] {
        line.clear();
        PutF96(line, a.FunVal[0]);
        line.append(10, ' ');
        PutName8(line, FunNames[a.FunType]);
        if (a.FunHasWidth) {
          PutF96(line, a.FunVal[1]);
          line.append(24, ' ');
        } else {
          line.append(33, ' ');
        }
        line += static_cast<char>('0' + a.FunKey);
        EmitLine(out, line, form);
      });
}

int ioat(M40Lines& in, AtomRec& a, int nTypes) {
  if (in.AtEnd()) return in.FailEnd();
  std::string_view line = in.Next();
  a = AtomRec{};
  std::string_view name = Trim(Field(line, 0, 8));
  if (name.empty() || name.find(' ') != std::string_view::npos) return in.Fail(msg::NoName);
  a.Name = std::string(name);
  int attr2 = 0;
  if (GetInt(in, line, 9, 3, a.Type) || GetInt(in, line, 12, 3, attr2)) return 1;
  a.TwoAttr = IsBlank(Field(line, 14, 3));
  if (GetInt(in, line, 15, 3, a.Shape.MagPar)) return 1;
  if (auto e = PhaseTypesCheck(a.Type, nTypes); !e.empty()) return in.Fail(e);
  if (attr2 < 0) return in.Fail(fmt::format("{}{})", msg::BadOrder, attr2));
  a.Shape.AdpOrder = attr2 % 10;
  a.FunType = attr2 / 10;
  if (a.Shape.AdpOrder < 1 || a.Shape.AdpOrder > MaxAdpOrder)
    return in.Fail(fmt::format("{}{})", msg::BadOrder, a.Shape.AdpOrder));
  if (a.FunType >= NFunTypes) return in.Fail(fmt::format("{}{})", msg::BadFunType, a.FunType));
  double v[4];
  for (int i = 0; i < 4; i++)
    if (GetReal(in, line, 19 + 9 * i, 9, v[i])) return 1;
  for (int k = 0; k < 3; k++) {
    if (GetDigit(in, line, 61 + k, a.Shape.Flag[k])) return 1;
    if (GetInt(in, line, 64 + 3 * k, 3, a.Shape.NWave[k])) return 1;
  }
  // Displacement line.
  if (in.AtEnd()) return in.FailEnd();
  std::string_view line2 = in.Next();
  double adp[6];
  int keys[10];
  for (int i = 0; i < 6; i++)
    if (GetReal(in, line2, 1 + 9 * i, 9, adp[i])) return 1;
  for (int i = 0; i < 10; i++)
    if (GetDigit(in, line2, M40KeyColumn + i, keys[i])) return 1;
  if (a.Shape.AdpOrder > 2) {
    if (in.AtEnd()) return in.FailEnd();
    std::string_view l3 = in.Next();
    if (Trim(Field(l3, 0, 8)) != a.Name)
      return in.Fail(fmt::format("{} {}", msg::NameMismatch, a.Name));
    for (int k = 3; k < 7; k++) {
      if (GetDigit(in, l3, 61 + k - 3, a.Shape.Flag[k])) return 1;
      if (GetInt(in, l3, 65 + 3 * (k - 3), 3, a.Shape.NWave[k])) return 1;
    }
  }
  // The first line's fields are checked here so that the message names it.
  if (auto e = CheckShape(a.Shape, a.FunType); !e.empty()) return in.Fail(e);
  const AtomLayoutInfo l = AtomLayout(a.Shape);
  // Every list takes at least one line per 6 values: refuse sizes the rest of
  // the text cannot hold before allocating them.
  if (static_cast<size_t>(l.NPar - 10) > 6 * in.Remaining() + 6) return in.FailEnd();
  a.Par.resize(l.NPar);
  for (int i = 0; i < 4; i++) a.Par.Val[i] = v[i];
  for (int i = 0; i < 6; i++) a.Par.Val[4 + i] = adp[i];
  for (int i = 0; i < 10; i++) a.Par.Key[i] = keys[i];
  int err = 0;
  ForAtomLists(
      a, l,
      [&](int off, int n) {
        if (!err) err = iost(in, n, &a.Par.Val[off], &a.Par.Key[off]);
      },
      [&] {
        if (err) return;
        if (in.AtEnd()) {
          err = in.FailEnd();
          return;
        }
        std::string_view fl = in.Next();
        if (Trim(Field(fl, 19, 8)) != FunNames[a.FunType]) {
          err = in.Fail(fmt::format("{} \"{}\".", msg::BadFunLine, FunNames[a.FunType]));
          return;
        }
        a.FunHasWidth = !IsBlank(Field(fl, 27, 9));
        if (GetReal(in, fl, 1, 9, a.FunVal[0]) || GetReal(in, fl, 28, 9, a.FunVal[1]) ||
            GetDigit(in, fl, M40KeyColumn, a.FunKey))
          err = 1;
      });
  return err;
}

// ---- molecules -----------------------------------------------------------------------

void iomol(std::string& out, const MoleculeRec& m, int form) {
  iost(out, 3, m.Ref.Val.data(), m.Ref.Key.data(), form);
  for (const auto& a : m.Atoms) ioat(out, a, form);
  const MolLayoutInfo l = MolLayout(m.Shape);
  std::string line;
  for (const auto& p : m.Pos) {
    line.clear();
    PutName8(line, p.Name);
    EmitLine(out, line, form, "", "");
    ForMolPosLists(l,
                   [&](int off, int n) { iost(out, n, &p.Par.Val[off], &p.Par.Key[off], form); });
  }
}

int iomol(M40Lines& in, MoleculeRec& m, int nTypes) {
  m.Ref.resize(3);
  if (iost(in, 3, m.Ref.Val.data(), m.Ref.Key.data())) return 1;
  for (auto& a : m.Atoms)
    if (ioat(in, a, nTypes)) return 1;
  const MolLayoutInfo l = MolLayout(m.Shape);
  for (auto& p : m.Pos) {
    if (in.AtEnd()) return in.FailEnd();
    std::string_view line = in.Next();
    std::string_view name = Trim(Field(line, 0, 8));
    if (name.empty() || name.find(' ') != std::string_view::npos)
      return in.Fail("Name of a molecule position expected in columns 1-8.");
    p.Name = std::string(name);
    if (static_cast<size_t>(l.NPar) > 6 * in.Remaining() + 6) return in.FailEnd();
    p.Par.resize(l.NPar);
    int err = 0;
    ForMolPosLists(l, [&](int off, int n) {
      if (!err) err = iost(in, n, &p.Par.Val[off], &p.Par.Key[off]);
    });
    if (err) return 1;
  }
  return 0;
}

namespace {

int NPhases() {
  return std::max(1, static_cast<int>(Struct.Basic.Phase.size()));
}

int NTypesOf(int phase) {
  if (phase < 1 || phase > static_cast<int>(Struct.Basic.Phase.size())) return 0;
  return static_cast<int>(Struct.Basic.Phase[phase - 1].AtType.size());
}

// Indices of the atoms (or molecules) of a phase in file order: by part,
// keeping the stored order inside a part.
template <class V>
std::vector<int> OrderOf(const V& v, int phase, int ncomp) {
  std::vector<int> idx;
  for (int c = 1; c <= ncomp; c++)
    for (int i = 0; i < static_cast<int>(v.size()); i++)
      if (v[i].Phase == phase && v[i].Part == c) idx.push_back(i);
  return idx;
}

int NCompOf(const AtomModel& m, int phase) {
  if (phase < 1 || phase > static_cast<int>(m.Phase.size())) return 1;
  return m.Phase[phase - 1].NComp;
}

}  // namespace

void ioats(std::string& out, const AtomModel& m, int phase, int form) {
  for (int i : OrderOf(m.Atom, phase, NCompOf(m, phase))) ioat(out, m.Atom[i], form);
}

int ioats(M40Lines& in, AtomModel& m, int phase, int nTypes) {
  const PhaseModel& ph = m.Phase.at(phase - 1);
  for (int c = 1; c <= ph.NComp; c++) {
    // Each atom takes at least two lines.
    if (2 * static_cast<size_t>(ph.NAtPart[c - 1]) > in.Remaining()) return in.FailEnd();
    for (int i = 0; i < ph.NAtPart[c - 1]; i++) {
      m.Atom.emplace_back();
      if (ioat(in, m.Atom.back(), nTypes)) return 1;
      m.Atom.back().Phase = phase;
      m.Atom.back().Part = c;
    }
  }
  return 0;
}

void iomols(std::string& out, const AtomModel& m, int phase, int form) {
  for (int i : OrderOf(m.Mol, phase, NCompOf(m, phase))) iomol(out, m.Mol[i], form);
}

int iomols(M40Lines& in, AtomModel& m, int phase, int nTypes) {
  for (auto& mol : m.Mol) {
    if (mol.Phase != phase) continue;
    if (iomol(in, mol, nTypes)) return 1;
    for (auto& a : mol.Atoms) {
      a.Phase = phase;
      a.Part = mol.Part;
    }
  }
  return 0;
}

// ---- whole file --------------------------------------------------------------------------

namespace {

// Calls f(sig, n) for every list of the model in file order (the order of
// the s.u. block).
template <class M, class F>
void ForEachSigList(M& m, F&& f) {
  for (auto& db : m.DatBlock) {
    f(db.Scale.Sig.data(), db.Scale.size());
    f(db.Ext.Sig.data(), db.Ext.size());
    f(db.Twin.Sig.data(), db.Twin.size());
    f(db.Lam.Sig.data(), db.Lam.size());
  }
  auto atom = [&](auto& a) {
    f(&a.Par.Sig[0], 4);
    f(&a.Par.Sig[4], 6);
    const AtomLayoutInfo l = AtomLayout(a.Shape);
    ForAtomLists(
        a, l, [&](int off, int n) { f(&a.Par.Sig[off], n); },
        [&] { f(&a.FunSig[0], a.FunHasWidth ? 2 : 1); });
  };
  for (int p = 1; p <= static_cast<int>(m.Phase.size()); p++) {
    const int nc = m.Phase[p - 1].NComp;
    for (int i : OrderOf(m.Atom, p, nc)) atom(m.Atom[i]);
    for (int i : OrderOf(m.Mol, p, nc)) {
      auto& mol = m.Mol[i];
      f(mol.Ref.Sig.data(), 3);
      for (auto& a : mol.Atoms) atom(a);
      const MolLayoutInfo l = MolLayout(mol.Shape);
      for (auto& pos : mol.Pos) ForMolPosLists(l, [&](int off, int n) { f(&pos.Par.Sig[off], n); });
    }
  }
}

bool IsIntOption(int index) {
  return index <= 4;
}  // maxsc, ortho, wave, polynom, polar

std::string CheckAtom(const AtomRec& a, int nTypes) {
  if (a.Name.empty() || a.Name.size() > 8 || a.Name.find(' ') != std::string::npos)
    return fmt::format("Atom name \"{}\" is not 1 to 8 characters without blanks.", a.Name);
  if (a.Type > 999) return fmt::format("{}{})", msg::BadType, a.Type);
  if (auto e = PhaseTypesCheck(a.Type, nTypes); !e.empty()) return e;
  if (auto e = CheckShape(a.Shape, a.FunType); !e.empty()) return e + " Atom " + a.Name;
  if (a.Par.size() != AtomLayout(a.Shape).NPar)
    return "Number of values does not match the attributes of atom " + a.Name;
  for (int i = 0; i < a.Par.size(); i++) {
    if (a.Par.Key[i] < 0 || a.Par.Key[i] > 9) return "Refinement key out of 0-9, atom " + a.Name;
    if (!std::isfinite(a.Par.Val[i]) || !std::isfinite(a.Par.Sig[i]))
      return "Value that is not a finite number, atom " + a.Name;
  }
  if (a.FunType > 0 &&
      (a.FunKey < 0 || a.FunKey > 9 || !std::isfinite(a.FunVal[0]) || !std::isfinite(a.FunVal[1]) ||
       !std::isfinite(a.FunSig[0]) || !std::isfinite(a.FunSig[1])))
    return "Incorrect function line of atom " + a.Name;
  return {};
}

std::string CheckList(const ParList& p, size_t n, const std::string& what) {
  if (p.Val.size() != n || p.Key.size() != n || p.Sig.size() != n)
    return "Number of values does not match: " + what;
  for (size_t i = 0; i < n; i++) {
    if (p.Key[i] < 0 || p.Key[i] > 9) return "Refinement key out of 0-9: " + what;
    if (!std::isfinite(p.Val[i]) || !std::isfinite(p.Sig[i]))
      return "Value that is not a finite number: " + what;
  }
  return {};
}

bool FitsI5(int v) {
  return v >= -9999 && v <= 99999;
}

// Per-phase head integers: NComp, (atoms, molecules) per part, options,
// largest wave count, number of values.
std::vector<int> HeadOf(const AtomModel& m, int p) {
  const PhaseModel& ph = m.Phase[p - 1];
  std::vector<int> h{ph.NComp};
  int maxw = 0, npar = 0;
  for (int c = 1; c <= ph.NComp; c++) {
    int na = 0, nm = 0;
    for (const auto& a : m.Atom)
      if (a.Phase == p && a.Part == c) na++;
    for (const auto& mo : m.Mol)
      if (mo.Phase == p && mo.Part == c) nm++;
    h.push_back(na);
    h.push_back(nm);
  }
  auto atomPars = [&](const AtomRec& a) {
    npar += a.Par.size() + (a.FunType > 0 ? (a.FunHasWidth ? 2 : 1) : 0);
    for (int k = 0; k < NParKinds; k++) maxw = std::max(maxw, a.Shape.NWave[k]);
    maxw = std::max(maxw, a.Shape.MagPar - 1);
  };
  for (const auto& a : m.Atom)
    if (a.Phase == p) atomPars(a);
  for (const auto& mo : m.Mol) {
    if (mo.Phase != p) continue;
    npar += 3 + MolLayout(mo.Shape).NPar * static_cast<int>(mo.Pos.size());
    for (int k = 0; k < NMolKinds; k++) maxw = std::max(maxw, mo.Shape.NWave[k]);
    for (const auto& a : mo.Atoms) atomPars(a);
  }
  h.push_back(static_cast<int>(ph.Opt.size()));
  h.push_back(maxw);
  h.push_back(std::min(npar, 99999));  // a sizing hint: capped to its I5 field
  return h;
}

}  // namespace

std::string M40CheckModel(const AtomModel& m) {
  if (m.Phase.empty()) return "The model has no phase.";
  for (const auto& ph : m.Phase) {
    if (ph.NComp < 1 || ph.NComp > MaxComp) return "Incorrect number of composite parts.";
    for (const auto& o : ph.Opt) {
      if (o.Index < 0 || o.Index >= static_cast<int>(M40OptionKeys.size()))
        return "Incorrect option record.";
      for (const auto& w : o.Words) {
        if (w.empty() || w.find_first_of(" \t\n\r") != std::string::npos)
          return fmt::format("Value \"{}\" of option {} is not one word.", w,
                             M40OptionKeys[o.Index]);
        if (IsIntOption(o.Index) && !ToInt(w))
          return fmt::format("{} {}.", msg::BadOptionValue, M40OptionKeys[o.Index]);
      }
    }
  }
  const int nph = static_cast<int>(m.Phase.size());
  for (size_t i = 0; i < m.DatBlock.size(); i++) {
    const auto& db = m.DatBlock[i];
    const std::string what = fmt::format("data block {}", i + 1);
    if (db.ExtType < 0 || db.ExtType > 3 || db.ExtKind < 0 || db.ExtKind > 3 || db.ExtDistr < 0 ||
        db.ExtDistr > 2)
      return "Incorrect extinction settings of " + what;
    if (auto e = CheckList(db.Scale, db.Scale.Val.size(), what); !e.empty()) return e;
    if (auto e = CheckList(db.Ext, ExtParCount(db.ExtType), what); !e.empty()) return e;
    if (auto e = CheckList(db.Twin, db.Twin.Val.size(), what); !e.empty()) return e;
    if (auto e = CheckList(db.Lam, db.Lam.Val.size(), what); !e.empty()) return e;
  }
  for (const auto& a : m.Atom) {
    if (a.Phase < 1 || a.Phase > nph || a.Part < 1 || a.Part > m.Phase[a.Phase - 1].NComp)
      return "Atom " + a.Name + " belongs to no phase or part of the model.";
    if (auto e = CheckAtom(a, NTypesOf(a.Phase)); !e.empty()) return e;
  }
  for (const auto& mo : m.Mol) {
    if (mo.Phase < 1 || mo.Phase > nph || mo.Part < 1 || mo.Part > m.Phase[mo.Phase - 1].NComp)
      return "Molecule " + mo.Name + " belongs to no phase or part of the model.";
    if (mo.Name.empty() || mo.Name.size() > 8 || mo.Name.find(' ') != std::string::npos)
      return "Molecule name \"" + mo.Name + "\" is not 1 to 8 characters without blanks.";
    for (int k = 0; k < NMolKinds; k++)
      if (mo.Shape.Flag[k] < 0 || mo.Shape.Flag[k] > (k == 0 ? 1 : 9) || mo.Shape.NWave[k] < 0 ||
          mo.Shape.NWave[k] > 9999)
        return "Incorrect flags or waves of molecule " + mo.Name;
    if (!FitsI5(mo.RefType) || !FitsI5(mo.RotType) || !FitsI5(static_cast<int>(mo.Atoms.size())) ||
        !FitsI5(static_cast<int>(mo.Pos.size())))
      return "Counts of molecule " + mo.Name + " do not fit their fields.";
    if (auto e = CheckList(mo.Ref, 3, "reference point of " + mo.Name); !e.empty()) return e;
    for (const auto& a : mo.Atoms)
      if (auto e = CheckAtom(a, NTypesOf(mo.Phase)); !e.empty()) return e;
    const int np = MolLayout(mo.Shape).NPar;
    for (const auto& p : mo.Pos) {
      if (p.Name.empty() || p.Name.size() > 8 || p.Name.find(' ') != std::string::npos)
        return "Name of a position of molecule " + mo.Name + " is not 1 to 8 characters.";
      if (auto e = CheckList(p.Par, np, "position " + p.Name); !e.empty()) return e;
    }
  }
  for (int p = 1; p <= nph; p++)
    for (int v : HeadOf(m, p))
      if (!FitsI5(v)) return "A count of the head record does not fit its I5 field.";
  return {};
}

int M40WriteText(const AtomModel& m, std::string& out, int form, ErrorRecord* err) {
  if (auto e = M40CheckModel(m); !e.empty()) {
    if (err != nullptr) *err = ErrorRecord::At("", 0, e);
    return 1;
  }
  out.clear();
  out.reserve(256 + 300 * m.Atom.size());
  if (m.HasCommands) {
    out += "commands\n";
    for (const auto& l : m.Commands) (out += l) += '\n';
    out += "end\n";
  }
  const int nph = static_cast<int>(m.Phase.size());
  // Head.
  for (int p = 1; p <= nph; p++) {
    PutI5List(out, HeadOf(m, p));
    for (int i : OrderOf(m.Mol, p, m.Phase[p - 1].NComp)) {
      const auto& mo = m.Mol[i];
      PutName8(out, mo.Name);
      fmt::format_to(std::back_inserter(out), "{:5d}{:5d}{:5d}{:5d}{:5d}\n", mo.Atoms.size(),
                     mo.Pos.size(), mo.Shape.TLS ? 1 : 0, mo.RefType, mo.RotType);
      std::vector<int> l2(mo.Shape.Flag.begin(), mo.Shape.Flag.end());
      l2.insert(l2.end(), mo.Shape.NWave.begin(), mo.Shape.NWave.end());
      PutI5List(out, l2);
    }
  }
  // Data blocks.
  fmt::format_to(std::back_inserter(out), "{:5d}\n", m.DatBlock.size());
  for (const auto& db : m.DatBlock) {
    fmt::format_to(std::back_inserter(out), "{:5d}{:5d}{:5d}{:5d}{:5d}", db.Scale.size(),
                   db.ExtType, db.ExtKind, db.ExtDistr, db.Twin.size());
    // The contamination coefficients (a sixth field) only when there are any.
    if (db.Lam.size() > 0) fmt::format_to(std::back_inserter(out), "{:5d}", db.Lam.size());
    out += '\n';
    iost(out, db.Scale.size(), db.Scale.Val.data(), db.Scale.Key.data(), form);
    iost(out, db.Ext.size(), db.Ext.Val.data(), db.Ext.Key.data(), form);
    iost(out, db.Twin.size(), db.Twin.Val.data(), db.Twin.Key.data(), form);
    if (db.Lam.size() > 0) iost(out, db.Lam.size(), db.Lam.Val.data(), db.Lam.Key.data(), form);
  }
  // Phase bodies.
  for (int p = 1; p <= nph; p++) {
    for (const auto& o : m.Phase[p - 1].Opt) {
      out += M40OptionKeys[o.Index];
      for (const auto& w : o.Words) (out += ' ') += w;
      out += '\n';
    }
    ioats(out, m, p, form);
    iomols(out, m, p, form);
  }
  out += M40SuSeparator;
  out += '\n';
  ForEachSigList(m, [&](const double* sig, int n) { iostSig(out, n, sig); });
  return 0;
}

// The whole text behind M40ReadText; the fault is in in.Err.
static int ReadM40Lines(M40Lines& in, AtomModel& out) {
  AtomModel m;
  // Free-text block of commands, kept verbatim.
  if (!in.AtEnd()) {
    const size_t start = in.Pos();
    if (EqIgnoreCase(Trim(in.Next()), "commands")) {
      m.HasCommands = true;
      for (;;) {
        if (in.AtEnd()) return in.FailEnd();
        std::string_view l = in.Next();
        if (EqIgnoreCase(Trim(l), "end")) break;
        m.Commands.emplace_back(l);
      }
    } else {
      in.Seek(start);
    }
  }
  // Head, read twice: first to count atoms and molecules, then to fill.
  const int nph = NPhases();
  m.Phase.resize(nph);
  const size_t headStart = in.Pos();
  for (int pass = 0; pass < 2; pass++) {
    in.Seek(headStart);
    size_t nat = 0, nmol = 0;
    for (int p = 1; p <= nph; p++) {
      PhaseModel& ph = m.Phase[p - 1];
      std::vector<int> h;
      if (GetI5List(in, 1, h, msg::BadHead)) return 1;
      const int nc = h[0];
      if (nc < 1 || nc > MaxComp)
        return in.Fail(fmt::format("{} number of composite parts {}.", msg::BadHead, nc));
      in.Seek(in.Pos() - 1);
      if (GetI5List(in, 2 * nc + 4, h, msg::BadHead)) return 1;
      ph.NComp = nc;
      for (int c = 0; c < nc; c++) {
        if (h[1 + 2 * c] < 0 || h[2 + 2 * c] < 0)
          return in.Fail(fmt::format("{} negative count.", msg::BadHead));
        ph.NAtPart[c] = h[1 + 2 * c];
        ph.NMolPart[c] = h[2 + 2 * c];
      }
      const int nopt = h[2 * nc + 1];
      if (nopt < 0) return in.Fail(fmt::format("{} negative count.", msg::BadHead));
      ph.MaxWaves = h[2 * nc + 2];
      ph.NPar = h[2 * nc + 3];
      ph.NParR = ph.NPar;
      if (static_cast<size_t>(nopt) > in.Remaining()) return in.FailEnd();
      ph.Opt.assign(nopt, M40Option{});
      for (int c = 0; c < nc; c++) {
        nat += ph.NAtPart[c];
        for (int j = 0; j < ph.NMolPart[c]; j++) {
          if (in.Remaining() < 2) return in.FailEnd();
          std::string_view l1 = in.Next();
          std::string_view name = Trim(Field(l1, 0, 8));
          if (name.empty() || name.find(' ') != std::string_view::npos)
            return in.Fail(
                fmt::format("{} molecule name expected in columns 1-8.", msg::BadMolHead));
          int v[5];
          for (int i = 0; i < 5; i++)
            if (GetInt(in, l1, 9 + 5 * i, 5, v[i])) return 1;
          if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[2] > 1)
            return in.Fail(fmt::format("{} counts or TLS flag out of range.", msg::BadMolHead));
          std::vector<int> l2;
          if (GetI5List(in, 2 * NMolKinds, l2, msg::BadMolHead)) return 1;
          MolShape sh;
          sh.TLS = v[2] == 1;
          for (int k = 0; k < NMolKinds; k++) {
            sh.Flag[k] = l2[k];
            sh.NWave[k] = l2[NMolKinds + k];
            if (sh.Flag[k] < 0 || sh.Flag[k] > (k == 0 ? 1 : 9) || sh.NWave[k] < 0)
              return in.Fail(fmt::format("{} flags or wave counts out of range.", msg::BadMolHead));
          }
          nmol++;
          if (pass == 0) continue;
          MoleculeRec mo;
          mo.Name = std::string(name);
          mo.Phase = p;
          mo.Part = c + 1;
          mo.RefType = v[3];
          mo.RotType = v[4];
          mo.Shape = sh;
          // Each model atom takes two lines, each position at least two.
          if (2 * static_cast<size_t>(v[0]) + v[1] > in.Remaining()) return in.FailEnd();
          mo.Atoms.resize(v[0]);
          mo.Pos.resize(v[1]);
          m.Mol.push_back(std::move(mo));
        }
      }
    }
    if (pass == 0) {
      // Sizes from the head; never more than the text can hold.
      m.Atom.reserve(std::min(nat, in.Remaining()));
      m.Mol.reserve(std::min(nmol, in.Remaining()));
    }
  }
  // Data blocks.
  std::vector<int> h;
  if (GetI5List(in, 1, h, msg::BadBlockHead)) return 1;
  if (h[0] < 0 || static_cast<size_t>(h[0]) > in.Remaining())
    return in.Fail(fmt::format("{} number of data blocks {}.", msg::BadBlockHead, h[0]));
  m.DatBlock.resize(h[0]);
  for (auto& db : m.DatBlock) {
    // The sixth field (contamination coefficients, 0 or 2) is blank in older files.
    if (GetI5List(in, 6, h, msg::BadBlockHead)) return 1;
    if (h[0] < 0 || h[4] < 0 || h[1] < 0 || h[1] > 3 || h[2] < 0 || h[2] > 3 || h[3] < 0 ||
        h[3] > 2 || (h[5] != 0 && h[5] != 2))
      return in.Fail(fmt::format("{} value out of range.", msg::BadBlockHead));
    if (static_cast<size_t>(h[0]) + h[4] > 6 * in.Remaining() + 12) return in.FailEnd();
    db.ExtType = h[1];
    db.ExtKind = h[2];
    db.ExtDistr = h[3];
    db.Scale.resize(h[0]);
    db.Ext.resize(ExtParCount(db.ExtType));
    db.Twin.resize(h[4]);
    db.Lam.resize(h[5]);
    for (ParList* pl : {&db.Scale, &db.Ext, &db.Twin, &db.Lam})
      if (iost(in, pl->size(), pl->Val.data(), pl->Key.data())) return 1;
  }
  // Phase bodies.
  for (int p = 1; p <= nph; p++) {
    PhaseModel& ph = m.Phase[p - 1];
    for (auto& o : ph.Opt) {
      if (in.AtEnd()) return in.FailEnd();
      std::vector<std::string> w = SplitWords(in.Next());
      int idx = -1;
      for (size_t k = 0; k < M40OptionKeys.size() && !w.empty(); k++)
        if (EqIgnoreCase(w[0], M40OptionKeys[k])) idx = static_cast<int>(k);
      if (idx < 0) return in.Fail(fmt::format("{} \"{}\"", msg::BadOption, w.empty() ? "" : w[0]));
      o.Index = idx;
      o.Words.assign(w.begin() + 1, w.end());
      if (IsIntOption(idx))
        for (const auto& x : o.Words)
          if (!ToInt(x)) return in.Fail(fmt::format("{} {}.", msg::BadOptionValue, w[0]));
    }
    const int nTypes = NTypesOf(p);
    if (ioats(in, m, p, nTypes)) return 1;
    if (iomols(in, m, p, nTypes)) return 1;
  }
  // Uncertainties.
  if (!in.AtEnd()) {
    std::string_view sep = in.Next();
    if (TrimRight(sep) != M40SuSeparator) return in.Fail(msg::NoSeparator);
    int err = 0;
    ForEachSigList(m, [&](double* sig, int n) {
      if (!err) err = iostSig(in, n, sig);
    });
    if (err) return 1;
    while (!in.AtEnd())
      if (!IsBlank(in.Next())) return in.Fail(msg::TrailingText);
  }
  out = std::move(m);
  return 0;
}

int M40ReadText(std::string_view text, const std::string& fileName, AtomModel& out,
                ErrorRecord* err) {
  M40Lines in(text, fileName);
  const int rc = ReadM40Lines(in, out);
  if (rc && err != nullptr) *err = std::move(in.Err);
  return rc;
}

// ---- files -----------------------------------------------------------------------------------

int iom40only(int mode, const std::string& file, AtomModel& m, ErrorRecord* errOut) {
  ErrorRecord local;
  ErrorRecord& err = errOut != nullptr ? *errOut : local;
  auto fileFault = [&](const char* what) {
    err = ErrorRecord::At(file, 0, fmt::format("{} {}", what, file));
    return 1;
  };
  if (mode == M40Read) {
    std::string text;
    if (FeReadFile(file, text)) return fileFault(msg::CannotOpen);
    AtomModel local;
    if (M40ReadText(text, file, local, &err)) return 1;
    m = std::move(local);
    return 0;
  }
  std::string text;
  if (M40WriteText(m, text, IostPlain, &err)) {
    err.File = file;
    return 1;
  }
  if (FeWriteFileAtomic(file, text)) return fileFault(msg::CannotWrite);
  return 0;
}

int iom40(int mode, const std::string& file, ErrorRecord* errOut) {
  ErrorRecord local;
  ErrorRecord& err = errOut != nullptr ? *errOut : local;
  int rc;
  if (mode == M40Read) {
    AtomModel model;
    rc = iom40only(M40Read, file, model, &err);
    if (!rc) {
      SetBasicM40(model);
      Struct.Model = std::move(model);
    }
  } else {
    rc = iom40only(M40Write, file, Struct.Model, &err);
  }
  if (rc) ReportError(mode == M40Read ? msg::ReadError : msg::WriteError, M40ErrorLines(err));
  return rc;
}

}  // namespace tarn
