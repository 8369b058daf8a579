// Space-group symbols: the table, symbol -> operators through the Hall
// generators, operators -> symbol and origin shift.
#include "symmetry/spgroup.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <numeric>

#include "util/files.hpp"
#include "util/fract.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

thread_local int gQuiet = 0;  // live SgQuiet objects

int Fail(ErrorRecord* err, std::string_view header, std::vector<std::string> lines = {}) {
  if (gQuiet > 0) {
    if (err) err->Set(std::string(header), std::move(lines));
    return 1;
  }
  return SymmFail(err, std::string(header), std::move(lines));
}

std::string NotFound(std::string_view symbol) {
  return fmt::format("{} \"{}\" {}", sgmsg::NotFoundHead, symbol, sgmsg::NotFoundTail);
}

// Part of a key before the origin-choice or axes suffix ":...".
std::string BaseKey(const std::string& key) {
  const size_t c = key.find(':');
  return c == std::string::npos ? key : key.substr(0, c);
}

// Key of a monoclinic full symbol with its "1" elements left out: "P 1 1 21"
// -> "p21", the spelling that does not tell the unique axis.
std::string MonoclinicKey(const std::string& full) {
  std::string s;
  for (const std::string& w : SplitWords(full))
    if (w != "1") s += w;
  return SgKey(s);
}

// Integer key of a 3 x 3 rotation part.
std::array<int, 9> RotInts(const double* r, int n) {
  std::array<int, 9> k{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) k[i * 3 + j] = static_cast<int>(std::lround(r[i * n + j]));
  return k;
}

// x mod 1 within the normalisation tolerance.
double Frac1(double x) {
  od0do1(&x, 1);
  return x;
}

bool NearInteger(double x, double tol = kTolModCentr) {
  return std::fabs(x - std::round(x)) < tol;
}

// ----------------------------------------------------------- Hall matrices
// Rotation matrices of Hall's notation: order 2, 3, 4, 6 about x, y, z.
const Mat3& AxisMatrix(char axis, int order) {
  static const Mat3 kX[4] = {{1, 0, 0, 0, -1, 0, 0, 0, -1},
                             {1, 0, 0, 0, 0, -1, 0, 1, -1},
                             {1, 0, 0, 0, 0, -1, 0, 1, 0},
                             {1, 0, 0, 0, 1, -1, 0, 1, 0}};
  static const Mat3 kY[4] = {{-1, 0, 0, 0, 1, 0, 0, 0, -1},
                             {-1, 0, 1, 0, 1, 0, -1, 0, 0},
                             {0, 0, 1, 0, 1, 0, -1, 0, 0},
                             {0, 0, 1, 0, 1, 0, -1, 0, 1}};
  static const Mat3 kZ[4] = {{-1, 0, 0, 0, -1, 0, 0, 0, 1},
                             {0, -1, 0, 1, -1, 0, 0, 0, 1},
                             {0, -1, 0, 1, 0, 0, 0, 0, 1},
                             {1, -1, 0, 1, 0, 0, 0, 0, 1}};
  const int k = order == 2 ? 0 : order == 3 ? 1 : order == 4 ? 2 : 3;
  return axis == 'x' ? kX[k] : axis == 'y' ? kY[k] : kZ[k];
}

// Two-fold axes along face diagonals perpendicular to the principal axis p:
// ' along the difference, " along the sum of the other two axes.
const Mat3& DiagonalMatrix(char p, bool dbl) {
  static const Mat3 kSingle[3] = {{-1, 0, 0, 0, 0, -1, 0, -1, 0},
                                  {0, 0, -1, 0, -1, 0, -1, 0, 0},
                                  {0, -1, 0, -1, 0, 0, 0, 0, -1}};
  static const Mat3 kDouble[3] = {{-1, 0, 0, 0, 0, 1, 0, 1, 0},
                                  {0, 0, 1, 0, -1, 0, 1, 0, 0},
                                  {0, 1, 0, 1, 0, 0, 0, 0, -1}};
  const int k = p == 'x' ? 0 : p == 'y' ? 1 : 2;
  return dbl ? kDouble[k] : kSingle[k];
}

constexpr Mat3 kBodyDiagonal3 = {0, 0, 1, 1, 0, 0, 0, 1, 0};

bool Member(std::string_view set, char c) {
  return c != 0 && set.find(c) != std::string_view::npos;
}

// Applies an origin shift to the operators of ps: t' = t + (R - I) s.
void ShiftOrigin(PhaseSymmetry& ps, const double* s) {
  const int n = ps.NDim;
  for (int k = 0; k < ps.NSymm; ++k) {
    SymmOp& op = ps.Op[k];
    Vec6 t = op.S6;
    for (int i = 0; i < 3; ++i) {
      double d = -s[i];
      for (int j = 0; j < 3; ++j) d += op.RM6[i * n + j] * s[j];
      t[i] += d;
    }
    od0do1(t.data(), n);
    Mat6 r = op.RM6;
    CrlSetOp(ps, k, r.data(), t.data(), op.ZMag);
  }
}

// True when every centring vector is mapped onto a centring vector by every
// rotation of ps.
bool CentringSuitsPointGroup(const PhaseSymmetry& ps) {
  const int n = ps.NDim;
  for (int k = 0; k < ps.NSymm; ++k)
    for (int c = 1; c < ps.NLattVec; ++c) {
      Vec6 v{};
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) v[i] += ps.Op[k].RM6[i * n + j] * ps.VT6[c][j];
      const Vec6 z{};
      if (!CrlEqModCentr(v.data(), z.data(), n, ps.VT6, ps.NLattVec)) return false;
    }
  return true;
}

}  // namespace

SgQuiet::SgQuiet() { ++gQuiet; }
SgQuiet::~SgQuiet() { --gQuiet; }

// ------------------------------------------------------------------ table

std::string SgKey(std::string_view symbol) {
  std::string k;
  for (char c : symbol)
    if (c != ' ' && c != '\t' && c != '_') k += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return k;
}

int SgReadBarTable(const std::string& file, size_t nFields, std::string_view expect,
                   std::vector<SgTableRow>& rows, ErrorRecord* err) {
  std::string text;
  if (FeReadFile(file, text) != 0) {
    if (err)
      *err = ErrorRecord::At(file, 0, std::string(sgmsg::NoTable) + " the file cannot be read.", {});
    return 1;
  }
  rows.clear();
  int line = 0;
  for (const std::string& raw : SplitOn(text, "\n")) {
    ++line;
    const std::string_view l = Trim(raw);
    if (l.empty() || l[0] == '#') continue;
    SgTableRow r{SplitOn(l, "|"), line, std::string(l)};
    for (auto& w : r.F) w = std::string(Trim(w));
    if (r.F.size() != nFields) {
      if (err) *err = ErrorRecord::At(file, line, std::string(expect), r.Text);
      return 1;
    }
    rows.push_back(std::move(r));
  }
  return 0;
}

int SgTableLoad(const std::string& dir, SgTable& tab, ErrorRecord* err) {
  const std::string file = dir + "spgroup.dat";
  auto fail = [&](const std::string& f, int line, std::string what, std::string msg) {
    if (err) *err = ErrorRecord::At(f, line, std::move(msg), std::move(what));
    return 1;
  };
  const std::string_view expect =
      "Expected: number | short symbol | full symbol | Hall symbol | unique axis | "
      "order | change of basis | checksum.";
  std::vector<SgTableRow> rows;
  if (SgReadBarTable(file, 8, expect, rows, err)) return 1;
  SgTable tb;
  for (const SgTableRow& row : rows) {
    const std::vector<std::string>& f = row.F;
    const std::optional<long long> num = ToInt(f[0]), order = ToInt(f[5]), check = ToInt(f[7]);
    Mat3 r;
    Vec3 t;
    if (!num || !order || !check || *num < 1 || *num > 230 || *order < 1 || f[1].empty() ||
        f[3].empty() || f[4].size() > 1 || SgParseAffine(f[6], r, t))
      return fail(file, row.Line, row.Text, std::string(expect));
    SgEntry e;
    e.Number = static_cast<int>(*num);
    e.Short = f[1];
    e.Full = f[2];
    e.Hall = f[3];
    e.Axis = f[4].empty() ? 0 : f[4][0];
    e.Order = static_cast<int>(*order);
    e.ToStd = f[6];
    e.Check = static_cast<uint32_t>(*check);
    tb.Entry.push_back(std::move(e));
  }
  if (tb.Entry.empty()) return fail(file, 0, {}, std::string(sgmsg::NoTable) + " no settings.");
  const std::string afile = dir + "spgroup_alias.dat";
  if (std::string text; FeReadFile(afile, text) == 0) {
    int line = 0;
    for (const std::string& raw : SplitOn(text, "\n")) {
      ++line;
      std::string_view l = Trim(raw);
      if (l.empty() || l[0] == '#') continue;
      std::vector<std::string> w = SplitWords(l);
      if (w.size() != 2)
        return fail(afile, line, std::string(l), "Expected two words: alias and symbol.");
      tb.Alias.emplace_back(w[0], w[1]);
    }
  }
  tb.Cache.assign(tb.Entry.size(), std::nullopt);
  tab = std::move(tb);
  return 0;
}

std::string SpGroupAlias(const SgTable& tab, std::string_view symbol, bool modulated) {
  std::string_view basic = Trim(symbol), rest;
  if (modulated) {
    const size_t p = basic.find('(');
    if (p != std::string_view::npos) {
      rest = basic.substr(p);
      basic = TrimRight(basic.substr(0, p));
    }
  }
  const std::string key = SgKey(basic);
  for (const auto& [alias, sym] : tab.Alias)
    if (SgKey(alias) == key) return sym + std::string(rest);
  return std::string(Trim(symbol));
}

int FindSmbSg(const SgTable& tab, std::string_view symbol, const double* cell) {
  const std::string key = SgKey(symbol);
  if (key.empty()) return -1;
  const bool hasSuffix = key.find(':') != std::string::npos;
  std::vector<int> hits;
  for (int pass = 0; pass < 2 && hits.empty(); ++pass)
    for (size_t i = 0; i < tab.Entry.size(); ++i) {
      const SgEntry& e = tab.Entry[i];
      const std::string ks = SgKey(e.Short), kf = SgKey(e.Full), kh = SgKey(e.Hall);
      const bool hit = pass == 0 ? (key == ks || key == kf || key == kh ||
                                    (e.Axis != 0 && key == MonoclinicKey(e.Full)))
                                 : (!hasSuffix && (key == BaseKey(ks) || key == BaseKey(kf)));
      if (hit) hits.push_back(static_cast<int>(i));
    }
  if (hits.empty()) return -1;
  if (hits.size() > 1 && cell != nullptr && tab.Entry[hits[0]].Axis != 0) {
    // The unique axis of a monoclinic cell: the angle farthest from 90 degrees.
    int best = -1;
    double dev = 0.001;
    for (int a = 0; a < 3; ++a)
      if (std::fabs(cell[3 + a] - 90.) > dev) {
        dev = std::fabs(cell[3 + a] - 90.);
        best = a;
      }
    if (best >= 0)
      for (int h : hits)
        if (tab.Entry[h].Axis == "abc"[best]) return h;
  }
  return hits[0];
}

// ------------------------------------------------------------- generation

std::vector<Vec3> EM50GenCentr(char lattice) {
  constexpr double h = 0.5, t1 = 1. / 3., t2 = 2. / 3.;
  std::vector<Vec3> v = {Vec3{0, 0, 0}};
  switch (std::toupper(static_cast<unsigned char>(lattice))) {
    case 'P': break;
    case 'A': v.push_back({0, h, h}); break;
    case 'B': v.push_back({h, 0, h}); break;
    case 'C': v.push_back({h, h, 0}); break;
    case 'I': v.push_back({h, h, h}); break;
    case 'R': v.push_back({t2, t1, t1}); v.push_back({t1, t2, t2}); break;
    case 'S': v.push_back({t1, t1, t2}); v.push_back({t2, t2, t1}); break;
    case 'T': v.push_back({t1, t2, t1}); v.push_back({t2, t1, t2}); break;
    case 'F': v.push_back({0, h, h}); v.push_back({h, 0, h}); v.push_back({h, h, 0}); break;
    default: return {};
  }
  return v;
}

int EM50GenSymOp(std::string_view gen, int index, int prevOrder, char prevAxis, Mat3& r, Vec3& t,
                 char& axisOut) {
  size_t p = 0;
  const bool improper = p < gen.size() && gen[p] == '-';
  if (improper) ++p;
  if (p >= gen.size()) return 1;
  const int order = gen[p] - '0';
  if (order != 1 && order != 2 && order != 3 && order != 4 && order != 6) return 1;
  ++p;
  char axis = 0;
  int screw = 0;
  Vec3 tr{0, 0, 0};
  for (; p < gen.size(); ++p) {
    const char c = gen[p];
    if (Member("xyz'\"*", c)) {
      if (axis != 0) return 1;
      axis = c;
    } else if (c >= '1' && c <= '5') {
      if (screw != 0 || c - '0' >= order) return 1;
      screw = c - '0';
    } else if (Member("abcnuvwd", c)) {
      const double q = Member("abcn", c) ? 0.5 : 0.25;
      if (c == 'a' || c == 'u') tr[0] += q;
      else if (c == 'b' || c == 'v') tr[1] += q;
      else if (c == 'c' || c == 'w') tr[2] += q;
      else for (double& x : tr) x += q;
    } else {
      return 1;
    }
  }
  if (axis == 0 && order != 1) {
    if (index == 0) axis = 'z';
    else if (order == 2 && (prevOrder == 2 || prevOrder == 4)) axis = 'x';
    else if (order == 2 && (prevOrder == 3 || prevOrder == 6)) axis = '\'';
    else if (order == 3) axis = '*';
    else return 1;
  }
  if (order == 1) {
    r = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  } else if (axis == '*') {
    if (order != 3) return 1;
    r = kBodyDiagonal3;
  } else if (axis == '\'' || axis == '"') {
    if (order != 2) return 1;
    r = DiagonalMatrix(Member("xyz", prevAxis) ? prevAxis : 'z', axis == '"');
  } else {
    r = AxisMatrix(axis, order);
  }
  if (screw != 0) {
    if (!Member("xyz", axis)) return 1;
    tr[axis - 'x'] += static_cast<double>(screw) / order;
  }
  if (improper)
    for (double& x : r) x = -x;
  t = tr;
  axisOut = axis;
  return 0;
}

namespace {

// SgFromHall; quiet: fail without showing the message.
int HallSymbol(std::string_view hall, PhaseSymmetry& out, ErrorRecord* err, bool quiet) {
  auto Fail = [&](std::string_view header, std::vector<std::string> lines = {}) {
    if (quiet || gQuiet > 0) {
      if (err) err->Set(std::string(header), std::move(lines));
      return 1;
    }
    return SymmFail(err, std::string(header), std::move(lines));
  };
  std::string_view s = Trim(hall);
  std::string_view basis;
  if (const size_t p = s.find('('); p != std::string_view::npos) {
    basis = s.substr(p);
    s = TrimRight(s.substr(0, p));
  }
  std::vector<std::string> words = SplitWords(s);
  if (words.empty()) return Fail(sgmsg::BadSymbol, {std::string(hall)});
  std::string latt = words[0];
  const bool centro = !latt.empty() && latt[0] == '-';
  if (centro) latt.erase(0, 1);
  if (latt.size() != 1 || EM50GenCentr(latt[0]).empty())
    return Fail(std::string(sgmsg::WrongLattice) + latt);
  PhaseSymmetry ps = CrlPrimitivePhase(3);
  for (const Vec3& c : EM50GenCentr(latt[0]))
    if (c != Vec3{0, 0, 0}) {
      Vec6 v{};
      std::copy(c.begin(), c.end(), v.begin());
      CrlAddCentr(ps, v.data());
    }
  auto add = [&ps](const Mat3& r, const Vec3& t) {
    for (int k = 0; k < ps.NSymm; ++k)
      if (eqrv(ps.Op[k].RM6.data(), r.data(), 9, kTolComplete)) return;
    Vec6 tt{};
    std::copy(t.begin(), t.end(), tt.begin());
    od0do1(tt.data(), 3);
    CrlAddOp(ps, r.data(), tt.data(), 1.);
  };
  if (centro) add(Mat3{-1, 0, 0, 0, -1, 0, 0, 0, -1}, Vec3{0, 0, 0});
  int prevOrder = 0;
  char prevAxis = 0;
  for (size_t i = 1; i < words.size(); ++i) {
    Mat3 r;
    Vec3 t;
    char axis = 0;
    if (i > 4 || EM50GenSymOp(words[i], static_cast<int>(i - 1), prevOrder, prevAxis, r, t, axis))
      return Fail(sgmsg::BadSymbol, {std::string(hall)});
    add(r, t);
    const char d = words[i][0] == '-' ? words[i][1] : words[i][0];
    prevOrder = d - '0';
    if (Member("xyz", axis)) prevAxis = axis;
  }
  if (!CentringSuitsPointGroup(ps)) return Fail(sgmsg::CentrPointGroup, {std::string(hall)});
  if (CompleteSymm(ps, err)) return 1;
  if (!basis.empty()) {
    // Change of origin "(p q r)" in twelfths of the cell: the operators are
    // conjugated by the translation v, t' = t + (I - R) v.
    std::vector<std::string> w = SplitWords(basis.substr(1, basis.size() - 1 -
                                                               (basis.back() == ')' ? 1 : 0)));
    if (basis.back() != ')' || w.size() != 3) return Fail(sgmsg::BadShift, {std::string(hall)});
    double v[3];
    for (int i = 0; i < 3; ++i) {
      auto x = ToInt(w[i]);
      if (!x) return Fail(sgmsg::BadShift, {std::string(hall)});
      v[i] = -static_cast<double>(*x) / 12.;
    }
    ShiftOrigin(ps, v);
  }
  out = std::move(ps);
  return 0;
}

}  // namespace

int SgFromHall(std::string_view hall, PhaseSymmetry& out, ErrorRecord* err) {
  return HallSymbol(hall, out, err, false);
}

const PhaseSymmetry& SgEntryOps(const SgTable& tab, int entry) {
  auto& c = tab.Cache[static_cast<size_t>(entry)];
  if (!c) {
    PhaseSymmetry ps;
    if (SgFromHall(tab.Entry[static_cast<size_t>(entry)].Hall, ps) != 0) ps = CrlPrimitivePhase(3);
    c = std::move(ps);
  }
  return *c;
}

int EM50GenSym(const SgTable& tab, std::string_view symbol, const double* cell, const double* shift,
               PhaseSymmetry& out, SgFound* found, ErrorRecord* err) {
  std::string sym(Trim(symbol));
  if (sym.empty()) return Fail(err, sgmsg::BadSymbol);
  sym = SpGroupAlias(tab, sym);
  PhaseSymmetry ps;
  SgFound f;
  const int e = FindSmbSg(tab, sym, cell);
  if (e >= 0) {
    ps = SgEntryOps(tab, e);
    f.Entry = e;
    f.Number = tab.Entry[e].Number;
    f.Symbol = tab.Entry[e].Short;
  } else {
    // Not tabulated: a Hall symbol (a sign or a blank after the lattice
    // letter) or an unknown Hermann-Mauguin symbol.
    const bool minus = sym[0] == '-';
    const char c0 = minus ? (sym.size() > 1 ? sym[1] : ' ') : sym[0];
    const bool hallLike = minus || (sym.size() > 1 && (sym[1] == ' ' || sym[1] == '\t'));
    if (!Member("PABCIRFSTpabcirfst", c0)) {
      if (minus) return Fail(err, std::string(sgmsg::WrongLattice) + c0);
      return Fail(err, sgmsg::BadCentring, {sym});
    }
    ErrorRecord quiet;
    if (!hallLike || HallSymbol(sym, ps, &quiet, true) != 0) {
      if (minus || sym.find('(') != std::string::npos ||
          (hallLike && quiet.Message != sgmsg::BadSymbol))
        return SgFromHall(sym, ps, err);
      if (sym.find('\'') != std::string::npos) return Fail(err, sgmsg::MagNonMag, {sym});
      return Fail(err, NotFound(sym));
    }
    f.Symbol = sym;
    // A Hall symbol of a tabulated setting names its entry.
    Vec3 s0;
    SgFound g;
    if (findsmbsgorgshiftno(tab, ps, g, s0) == 0 && s0 == Vec3{0, 0, 0}) {
      f.Entry = g.Entry;
      f.Number = g.Number;
    }
  }
  if (shift != nullptr) {
    for (int i = 0; i < 3; ++i)
      if (!std::isfinite(shift[i]) || std::fabs(shift[i]) > 1.) return Fail(err, sgmsg::BadShift);
    ShiftOrigin(ps, shift);
  }
  out = std::move(ps);
  if (found) *found = f;
  return 0;
}

// ----------------------------------------------------------- origin shift

bool SolveShSg(const std::vector<Mat3>& r, const std::vector<Vec3>& tTable,
               const std::vector<Vec3>& tGiven, const std::vector<Vec6>& vt6, int nLattVec,
               Vec3& s) {
  // The equations (R - I) s = tGiven - tTable (mod lattice and centring)
  // only involve shifts in multiples of the translations of the groups,
  // which are multiples of 1/24 for every crystallographic setting.
  constexpr int kGrid = 24;
  const size_t m = r.size();
  std::vector<Vec3> d(m);
  for (size_t k = 0; k < m; ++k)
    for (int i = 0; i < 3; ++i) d[k][i] = tGiven[k][i] - tTable[k][i];
  for (int a = 0; a < kGrid; ++a)
    for (int b = 0; b < kGrid; ++b)
      for (int c = 0; c < kGrid; ++c) {
        const Vec3 x{static_cast<double>(a) / kGrid, static_cast<double>(b) / kGrid,
                     static_cast<double>(c) / kGrid};
        bool ok = true;
        for (size_t k = 0; k < m && ok; ++k) {
          Vec6 u{};
          for (int i = 0; i < 3; ++i) {
            u[i] = -x[i] - d[k][i];
            for (int j = 0; j < 3; ++j) u[i] += r[k][i * 3 + j] * x[j];
          }
          const Vec6 z{};
          ok = CrlEqModCentr(u.data(), z.data(), 3, vt6, nLattVec);
        }
        if (ok) {
          s = x;
          return true;
        }
      }
  return false;
}

bool GetShSg(const SgTable& tab, int entry, const PhaseSymmetry& ps, Vec3& s) {
  const PhaseSymmetry& ref = SgEntryOps(tab, entry);
  const int n = ps.NDim;
  if (ref.NSymm != ps.NSymm || ref.NLattVec != ps.NLattVec) return false;
  for (int c = 0; c < ps.NLattVec; ++c)
    if (!CrlEqModCentr(ps.VT6[c].data(), Vec6{}.data(), 3, ref.VT6, ref.NLattVec)) return false;
  std::map<std::array<int, 9>, Vec3> given;
  for (int k = 0; k < ps.NSymm; ++k) {
    const SymmOp& op = ps.Op[k];
    given[RotInts(op.RM6.data(), n)] = Vec3{op.S6[0], op.S6[1], op.S6[2]};
  }
  std::vector<Mat3> r;
  std::vector<Vec3> tt, tg;
  for (int k = 0; k < ref.NSymm; ++k) {
    const auto key = RotInts(ref.Op[k].RM6.data(), 3);
    auto it = given.find(key);
    if (it == given.end()) return false;
    const Vec3 t{ref.Op[k].S6[0], ref.Op[k].S6[1], ref.Op[k].S6[2]};
    r.push_back(ref.Op[k].RM);
    tt.push_back(t);
    tg.push_back(it->second);
  }
  return SolveShSg(r, tt, tg, ref.VT6, ref.NLattVec, s);
}

namespace {

// Fingerprint of the systematic absences among the indices -4..4, which do
// not depend on the origin: settings with other absences need no search of
// the origin shift.
uint64_t AbsenceKey(const PhaseSymmetry& ps) {
  uint64_t h = 1469598103934665603ull;
  int hkl[3];
  for (hkl[0] = -4; hkl[0] <= 4; ++hkl[0])
    for (hkl[1] = -4; hkl[1] <= 4; ++hkl[1])
      for (hkl[2] = -4; hkl[2] <= 4; ++hkl[2])
        h = (h ^ (SgIsAbsent(ps, hkl) ? 1u : 2u)) * 1099511628211ull;
  return h;
}

}  // namespace

int findsmbsgorgshiftno(const SgTable& tab, const PhaseSymmetry& ps, SgFound& found, Vec3& shift) {
  const int order = ps.NSymm * ps.NLattVec * (ps.NCSymm == 2 ? 2 : 1);
  PhaseSymmetry full = ps;
  if (full.NCSymm == 2) CrlExpandCentroSym(full);
  const uint64_t key = AbsenceKey(full);
  if (tab.AbsKey.size() != tab.Entry.size()) tab.AbsKey.assign(tab.Entry.size(), 0);
  int best = -1;
  Vec3 bestShift{};
  for (size_t i = 0; i < tab.Entry.size(); ++i) {
    if (tab.Entry[i].Order != order) continue;
    if (tab.AbsKey[i] == 0) tab.AbsKey[i] = AbsenceKey(SgEntryOps(tab, static_cast<int>(i)));
    if (tab.AbsKey[i] != key) continue;
    Vec3 s{};
    if (!GetShSg(tab, static_cast<int>(i), full, s)) continue;
    const bool zero = s == Vec3{0, 0, 0};
    if (best < 0 || zero) {
      best = static_cast<int>(i);
      bestShift = s;
      if (zero) break;
    }
  }
  if (best < 0) return 1;
  found.Entry = best;
  found.Number = tab.Entry[best].Number;
  found.Symbol = tab.Entry[best].Short;
  shift = bestShift;
  return 0;
}

int FindSmbSgTr(const SgTable& tab, const PhaseSymmetry& ps, SgFound& found, Mat3& tr,
                Vec3& shift) {
  Vec3 s;
  SgFound f;
  if (findsmbsgorgshiftno(tab, ps, f, s)) return 1;
  // x_std = P x_setting + p, with x_setting = x + s.
  Mat3 p;
  Vec3 pt;
  if (SgParseAffine(tab.Entry[f.Entry].ToStd, p, pt)) return 1;
  tr = p;
  for (int i = 0; i < 3; ++i) {
    double u = pt[i];
    for (int j = 0; j < 3; ++j) u += p[i * 3 + j] * s[j];
    shift[i] = Frac1(u);
  }
  for (size_t i = 0; i < tab.Entry.size(); ++i) {
    const SgEntry& e = tab.Entry[i];
    if (e.Number == f.Number && SgKey(e.ToStd) == "x,y,z") {
      found.Entry = static_cast<int>(i);
      found.Number = f.Number;
      found.Symbol = e.Short;
      return 0;
    }
  }
  return 1;
}

uint32_t SgOpsChecksum(const PhaseSymmetry& ps) {
  uint32_t total = 0;
  const int n = ps.NDim;
  for (int k = 0; k < ps.NSymm; ++k)
    for (int c = 0; c < ps.NLattVec; ++c) {
      const SymmOp& op = ps.Op[k];
      uint32_t h = 2166136261u;
      auto mix = [&h](long v) { h = (h ^ static_cast<uint32_t>(v)) * 16777619u; };
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) mix(std::lround(op.RM6[i * n + j]) + 1);
      for (int i = 0; i < 3; ++i) mix(std::lround(Frac1(op.S6[i] + ps.VT6[c][i]) * 24.) % 24);
      h ^= h >> 16;
      h *= 0x85ebca6bu;
      h ^= h >> 13;
      h *= 0xc2b2ae35u;
      h ^= h >> 16;
      total += h;
    }
  return total;
}

int SgParseAffine(std::string_view text, Mat3& r, Vec3& t) {
  std::vector<std::string> rows = SplitOn(text, ",");
  if (rows.size() != 3) return 1;
  Mat3 rr{};
  Vec3 tt{};
  for (int i = 0; i < 3; ++i) {
    std::string e;
    for (char c : rows[i])
      if (c != ' ' && c != '*') e += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (e.empty()) return 1;
    size_t p = 0;
    while (p < e.size()) {
      // One term: sign, number (p or p/q), variable, "/q" after the variable.
      double sign = 1.;
      if (e[p] == '+' || e[p] == '-') sign = e[p++] == '-' ? -1. : 1.;
      size_t q = p;
      while (q < e.size() && (std::isdigit(static_cast<unsigned char>(e[q])) || e[q] == '/')) ++q;
      double coef = 1.;
      if (q > p) {
        auto v = ReadFract(std::string_view(e).substr(p, q - p));
        if (!v) return 1;
        coef = *v;
      }
      int var = -1;
      if (q < e.size() && Member("xyz", e[q])) {
        var = e[q] - 'x';
        ++q;
        if (q + 1 < e.size() && e[q] == '/') {
          size_t d = q + 1;
          while (d < e.size() && std::isdigit(static_cast<unsigned char>(e[d]))) ++d;
          auto v = ToInt(std::string_view(e).substr(q + 1, d - q - 1));
          if (!v || *v == 0) return 1;
          coef /= static_cast<double>(*v);
          q = d;
        }
      } else if (q == p) {
        return 1;
      }
      if (var >= 0) rr[i * 3 + var] += sign * coef;
      else tt[i] += sign * coef;
      p = q;
    }
  }
  r = rr;
  t = tt;
  return 0;
}

// --------------------------------------------------- reflection conditions

bool SgIsAbsent(const PhaseSymmetry& ps, const int h[3]) {
  const int n = ps.NDim;
  for (int k = 0; k < ps.NSymm; ++k) {
    const SymmOp& op = ps.Op[k];
    bool inv = true;
    for (int j = 0; j < 3 && inv; ++j) {
      double hr = 0.;
      for (int i = 0; i < 3; ++i) hr += h[i] * op.RM6[i * n + j];
      inv = std::fabs(hr - h[j]) < 1e-6;
    }
    if (!inv) continue;
    for (int c = 0; c < ps.NLattVec; ++c) {
      double ht = 0.;
      for (int i = 0; i < 3; ++i) ht += h[i] * (op.S6[i] + ps.VT6[c][i]);
      if (!NearInteger(ht)) return true;
    }
  }
  return false;
}

namespace {

// A class of reflections invariant under a rotation: integer basis vectors
// b_f of {h : h.R = h}, written as indices in the free parameters.
struct ReflClass {
  std::vector<std::array<int, 3>> Basis;  // one per free parameter
  std::vector<int> Param;                 // free column of each parameter
  std::vector<char> Letter;               // its name: the index of its first non-zero component
  std::string Name;                       // "hkl", "h0l", "hhl", "00l", ...
};

// Left null space of R - I by reduction of (R - I)^T to row echelon form.
ReflClass InvariantClass(const double* rm, int n) {
  double a[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[i][j] = rm[j * n + i] - (i == j ? 1. : 0.);
  int pivotCol[3] = {-1, -1, -1};
  int row = 0;
  for (int col = 0; col < 3 && row < 3; ++col) {
    int p = -1;
    for (int i = row; i < 3; ++i)
      if (std::fabs(a[i][col]) > 1e-9 && (p < 0 || std::fabs(a[i][col]) > std::fabs(a[p][col]))) p = i;
    if (p < 0) continue;
    std::swap(a[p], a[row]);
    for (int i = 0; i < 3; ++i) {
      if (i == row || std::fabs(a[i][col]) < 1e-12) continue;
      const double f = a[i][col] / a[row][col];
      for (int j = 0; j < 3; ++j) a[i][j] -= f * a[row][j];
    }
    pivotCol[row++] = col;
  }
  ReflClass rc;
  bool isPivot[3] = {false, false, false};
  for (int i = 0; i < row; ++i) isPivot[pivotCol[i]] = true;
  for (int fcol = 0; fcol < 3; ++fcol) {
    if (isPivot[fcol]) continue;
    double v[3] = {0, 0, 0};
    v[fcol] = 1.;
    for (int i = 0; i < row; ++i) v[pivotCol[i]] = -a[i][fcol] / a[i][pivotCol[i]];
    // Smallest integer multiple.
    int m = 1;
    for (; m <= 12; ++m) {
      bool ok = true;
      for (double x : v) ok = ok && NearInteger(x * m, 1e-6);
      if (ok) break;
    }
    rc.Basis.push_back({static_cast<int>(std::lround(v[0] * m)), static_cast<int>(std::lround(v[1] * m)),
                        static_cast<int>(std::lround(v[2] * m))});
    rc.Param.push_back(fcol);
  }
  for (const auto& b : rc.Basis) {
    int i = 0;
    while (i < 2 && b[i] == 0) ++i;
    rc.Letter.push_back("hkl"[i]);
  }
  // Name: each index as a combination of the parameters.
  std::vector<std::string> comp(3);
  bool simple = true;
  for (int i = 0; i < 3; ++i) {
    std::string s;
    for (size_t f = 0; f < rc.Basis.size(); ++f) {
      const int c = rc.Basis[f][i];
      if (c == 0) continue;
      if (c < 0) s += '-';
      else if (!s.empty()) s += '+';
      if (std::abs(c) != 1) s += std::to_string(std::abs(c));
      s += rc.Letter[f];
    }
    if (s.empty()) s = "0";
    if (s.size() > 2 || (s.size() == 2 && s[0] != '-')) simple = false;
    comp[i] = s;
  }
  rc.Name = simple ? comp[0] + comp[1] + comp[2]
                   : "(" + comp[0] + "," + comp[1] + "," + comp[2] + ")";
  return rc;
}

// A condition sum_f a_f p_f = 0 (mod m) on the parameters of a class.
struct Cond {
  std::vector<int> A;
  int M = 1;
};

bool Holds(const Cond& c, const std::vector<int>& p) {
  long s = 0;
  for (size_t f = 0; f < p.size(); ++f) s += static_cast<long>(c.A[f]) * p[f];
  return s % c.M == 0;
}

// True when every parameter vector (0..23 each) satisfying all of `given`
// satisfies c too.
bool Implied(const Cond& c, const std::vector<Cond>& given, size_t np) {
  std::vector<int> p(np, 0);
  const int lim = 24;
  const int total = np == 1 ? lim : np == 2 ? lim * lim : lim * lim * lim;
  for (int k = 0; k < total; ++k) {
    int r = k;
    for (size_t f = 0; f < np; ++f) {
      p[f] = r % lim;
      r /= lim;
    }
    bool all = true;
    for (const Cond& g : given) all = all && Holds(g, p);
    if (all && !Holds(c, p)) return false;
  }
  return true;
}

std::string CondText(const ReflClass& rc, const Cond& c) {
  std::string s;
  for (size_t f = 0; f < c.A.size(); ++f) {
    if (c.A[f] == 0) continue;
    if (!s.empty()) s += '+';
    if (c.A[f] != 1) s += std::to_string(c.A[f]);
    s += rc.Letter[f];
  }
  return fmt::format("{}: {}={}n", rc.Name, s, c.M);
}

}  // namespace

std::vector<std::string> CrlGetReflectionConditions(const PhaseSymmetry& ps) {
  const int n = ps.NDim;
  struct Group {
    ReflClass Class;
    std::vector<Cond> Conds;
  };
  std::vector<Group> groups;
  // The general class first (centring), then zones (2 parameters), then rows.
  for (int k = 0; k < ps.NSymm; ++k)
    for (int c = 0; c < ps.NLattVec; ++c) {
      const SymmOp& op = ps.Op[k];
      ReflClass rc = InvariantClass(op.RM6.data(), n);
      if (rc.Basis.empty()) continue;
      Cond cond;
      cond.A.resize(rc.Basis.size());
      std::vector<double> x(rc.Basis.size());
      for (size_t f = 0; f < rc.Basis.size(); ++f)
        for (int i = 0; i < 3; ++i) x[f] += rc.Basis[f][i] * (op.S6[i] + ps.VT6[c][i]);
      int m = 1;
      for (; m <= 24; ++m) {
        bool ok = true;
        for (double v : x) ok = ok && NearInteger(v * m);
        if (ok) break;
      }
      if (m == 1 || m > 24) continue;
      cond.M = m;
      for (size_t f = 0; f < x.size(); ++f)
        cond.A[f] = ((static_cast<int>(std::lround(x[f] * m)) % m) + m) % m;
      auto it = std::find_if(groups.begin(), groups.end(),
                             [&](const Group& g) { return g.Class.Basis == rc.Basis; });
      if (it == groups.end()) {
        groups.push_back({rc, {}});
        it = groups.end() - 1;
      }
      // A modulus with several prime factors splits into one condition per
      // prime power (l=2n and h+2l=3n rather than 4h+5l=6n).
      int rest = m;
      for (int q = 2; q <= rest; ++q) {
        if (rest % q != 0) continue;
        int pk = 1;
        while (rest % q == 0) {
          rest /= q;
          pk *= q;
        }
        Cond part;
        part.M = pk;
        bool any = false;
        for (int a : cond.A) {
          part.A.push_back(a % pk);
          any = any || a % pk != 0;
        }
        if (any) it->Conds.push_back(part);
      }
    }
  std::stable_sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
    return a.Class.Basis.size() > b.Class.Basis.size();
  });
  // Classes related by a rotation of the group carry the images of each
  // other's conditions: only the one with the plainest name is listed.
  auto inSpan = [](const std::vector<std::array<int, 3>>& a, const std::array<double, 3>& v) {
    if (a.size() == 1) {
      const auto& b = a[0];
      return std::fabs(b[1] * v[2] - b[2] * v[1]) < 1e-9 && std::fabs(b[2] * v[0] - b[0] * v[2]) < 1e-9 &&
             std::fabs(b[0] * v[1] - b[1] * v[0]) < 1e-9;
    }
    const auto &b = a[0], &c = a[1];
    const double det = b[0] * (c[1] * v[2] - c[2] * v[1]) - b[1] * (c[0] * v[2] - c[2] * v[0]) +
                       b[2] * (c[0] * v[1] - c[1] * v[0]);
    return std::fabs(det) < 1e-9;
  };
  auto equivalent = [&](const ReflClass& a, const ReflClass& b) {
    if (a.Basis.size() != b.Basis.size() || a.Basis.size() == 3) return false;
    for (int k = 0; k < ps.NSymm; ++k) {
      bool all = true;
      for (const auto& v : b.Basis) {
        std::array<double, 3> w{};
        for (int j = 0; j < 3; ++j)
          for (int i = 0; i < 3; ++i) w[j] += v[i] * ps.Op[k].RM6[i * n + j];
        all = all && inSpan(a.Basis, w);
      }
      if (all) return true;
    }
    return false;
  };
  auto plainness = [](const ReflClass& c) {
    int minus = 0;
    for (char ch : c.Name) minus += ch == '-';
    return (c.Name[0] == '(' ? 100 : 0) + 10 * minus + static_cast<int>(c.Name.size());
  };
  std::vector<Group> reps;
  for (Group& g : groups) {
    auto it = std::find_if(reps.begin(), reps.end(),
                           [&](const Group& r) { return equivalent(r.Class, g.Class); });
    if (it == reps.end()) reps.push_back(std::move(g));
    else if (plainness(g.Class) < plainness(it->Class)) *it = std::move(g);
  }
  groups = std::move(reps);
  // The general conditions restricted to a class: h = sum_f p_f b_f.
  const Group* general =
      !groups.empty() && groups[0].Class.Basis.size() == 3 ? &groups[0] : nullptr;
  std::vector<std::string> out;
  for (Group& g : groups) {
    std::vector<Cond> inherited;
    if (general && &g != general)
      for (const Cond& gc : general->Conds) {
        Cond r;
        r.M = gc.M;
        r.A.resize(g.Class.Basis.size());
        for (size_t f = 0; f < g.Class.Basis.size(); ++f) {
          int a = 0;
          for (int i = 0; i < 3; ++i) a += gc.A[static_cast<size_t>(i)] * g.Class.Basis[f][i];
          r.A[f] = ((a % r.M) + r.M) % r.M;
        }
        inherited.push_back(r);
      }
    // Keep a condition unless the inherited ones with the kept ones imply it;
    // stronger conditions (larger modulus) first.
    std::stable_sort(g.Conds.begin(), g.Conds.end(),
                     [](const Cond& a, const Cond& b) { return a.M > b.M; });
    std::vector<Cond> kept;
    for (const Cond& c : g.Conds) {
      std::vector<Cond> all = inherited;
      all.insert(all.end(), kept.begin(), kept.end());
      if (!Implied(c, all, g.Class.Basis.size())) kept.push_back(c);
    }
    // Drop kept conditions that the others imply, the last found first.
    for (size_t i = kept.size(); i-- > 0 && kept.size() > 1;) {
      std::vector<Cond> others = inherited;
      for (size_t j = 0; j < kept.size(); ++j)
        if (j != i) others.push_back(kept[j]);
      if (Implied(kept[i], others, g.Class.Basis.size()))
        kept.erase(kept.begin() + static_cast<long>(i));
    }
    // Conditions with the same coefficients join: l=2n and l=3n are l=6n.
    for (size_t i = 0; i < kept.size(); ++i)
      for (size_t j = i + 1; j < kept.size();)
        if (kept[j].A == kept[i].A) {
          kept[i].M = std::lcm(kept[i].M, kept[j].M);
          kept.erase(kept.begin() + static_cast<long>(j));
        } else {
          ++j;
        }
    for (const Cond& c : kept) out.push_back(CondText(g.Class, c));
  }
  return out;
}

}  // namespace tarn
