// Magnetic space groups from Hermann-Mauguin symbols with primes.
//
// A primed element ("2_1'", "m'", "-1'") is combined with time inversion.
// The symbol without primes names the space group G (any spelling the table
// knows); its full symbol gives the symmetry directions of the positions
// (a, b, c for monoclinic and orthorhombic settings; c, a, [1-10] for
// tetragonal and hexagonal axes; [111], [1-10] for rhombohedral axes; c,
// [111], [1-10] for cubic groups). Each element of the given symbol is matched
// to a position of the full symbol, as the whole "21/n", or its plane "n" or
// its axis "21" alone (short symbols), "1" positions may be left out. An axis
// element names the proper rotations of its order about the direction, a
// plane the improper ones R = -R2 with R2 the two-fold about the direction
// (its normal), "-n" the rotoinversions. The time-inversion sign is then a
// homomorphism of the point group onto {+1, -1} fixed by the named
// elements: closed over products, contradictions refused. Lattice
// translations are never primed (black-white lattices, "P_c"-type BNS
// symbols, are not understood).
#include "symmetry/spgroup_mag.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

#include "util/strings.hpp"

namespace tarn {

namespace {

using Rot = std::array<int, 9>;

Rot RotOf(const Mat3& m) {
  Rot r;
  for (int i = 0; i < 9; ++i)
    r[static_cast<size_t>(i)] = static_cast<int>(std::lround(m[static_cast<size_t>(i)]));
  return r;
}

Rot Mul(const Rot& a, const Rot& b) {
  Rot c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k)
        c[static_cast<size_t>(3 * i + j)] +=
            a[static_cast<size_t>(3 * i + k)] * b[static_cast<size_t>(3 * k + j)];
  return c;
}

int Det(const Rot& r) {
  return r[0] * (r[4] * r[8] - r[5] * r[7]) - r[1] * (r[3] * r[8] - r[5] * r[6]) +
         r[2] * (r[3] * r[7] - r[4] * r[6]);
}

// Order of a proper rotation from its trace (3, -1, 0, 1, 2 -> 1, 2, 3, 4, 6).
int ProperOrder(const Rot& p) {
  switch (p[0] + p[4] + p[8]) {
    case 3:
      return 1;
    case -1:
      return 2;
    case 0:
      return 3;
    case 1:
      return 4;
    case 2:
      return 6;
    default:
      return 0;
  }
}

// An element of a symbol: axis ("2", "21", "-4", "-1") or plane ("m", "c").
struct MagElem {
  int Pos = 0;  // position in the full symbol (0-based)
  bool Plane = false;
  bool Inv = false;  // rotoinversion "-n"
  int Order = 1;     // n of the axis
  bool Primed = false;
};

// The directions of the positions of the full symbol of entry e.
std::vector<std::array<int, 3>> Directions(const SgEntry& e) {
  const int n = e.Number;
  if (n <= 2) return {{0, 0, 1}};
  if (n <= 74) return {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  if (e.Short.find(":R") != std::string::npos) return {{1, 1, 1}, {1, -1, 0}};
  if (n <= 194) return {{0, 0, 1}, {1, 0, 0}, {1, -1, 0}};
  return {{0, 0, 1}, {1, 1, 1}, {1, -1, 0}};
}

// Splits a position of the full symbol ("21/n", "-4", "m") into its axis
// and plane texts.
void SplitPosition(const std::string& p, std::string& axis, std::string& plane) {
  const size_t s = p.find('/');
  axis = plane = "";
  if (s != std::string::npos) {
    axis = p.substr(0, s);
    plane = p.substr(s + 1);
  } else if (std::isalpha(static_cast<unsigned char>(p[0]))) {
    plane = p;
  } else {
    axis = p;
  }
}

MagElem AxisElem(int pos, const std::string& a) {
  MagElem m;
  m.Pos = pos;
  m.Inv = a[0] == '-';
  m.Order = a[m.Inv ? 1 : 0] - '0';
  return m;
}

// Matches text t (primes kept) from index i against s ignoring primes; on
// success advances i and tells whether a prime follows.
bool MatchPart(const std::string& t, size_t& i, const std::string& s, bool& primed) {
  size_t j = i;
  for (char c : s) {
    while (j < t.size() && t[j] == '\'') ++j;
    if (j >= t.size() || std::tolower(static_cast<unsigned char>(t[j])) !=
                             std::tolower(static_cast<unsigned char>(c)))
      return false;
    ++j;
  }
  primed = j < t.size() && t[j] == '\'';
  if (primed) ++j;
  i = j;
  return true;
}

}  // namespace

int EM50GenSymMag(const SgTable& tab, std::string_view symbol, const double* cell,
                  const double* shift, PhaseSymmetry& out, SgFound* found, ErrorRecord* err) {
  auto fail = [&](std::string_view msg) {
    return SymmFail(err, std::string(msg), {std::string(symbol)});
  };
  // The symbol without blanks and "_", the origin choice apart.
  std::string t;
  for (char c : symbol)
    if (c != ' ' && c != '\t' && c != '_') t += c;
  std::string choice;
  if (const size_t colon = t.find(':'); colon != std::string::npos) {
    choice = t.substr(colon);
    t.erase(colon);
  }
  std::string plain;
  for (char c : t)
    if (c != '\'') plain += c;
  PhaseSymmetry ps;
  SgFound f;
  if (EM50GenSym(tab, plain + choice, cell, shift, ps, &f, err)) return 1;
  if (t.find('\'') == std::string::npos) {  // no primes: every operator unprimed
    ps.Magnetic = true;
    for (int k = 0; k < ps.NSymm; ++k)
      ps.Op[static_cast<size_t>(k)].RMag = CrlMakeRMag(ps.Op[static_cast<size_t>(k)].RM, 1.);
    out = std::move(ps);
    if (found) *found = f;
    return 0;
  }
  if (f.Entry < 0) return fail(sgmsg::MagDecode);
  if (ps.NCSymm == 2) CrlExpandCentroSym(ps);
  const SgEntry& e = tab.Entry[static_cast<size_t>(f.Entry)];
  const std::vector<std::string> pos = SplitWords(e.Full);
  const auto dirs = Directions(e);
  // Elements of the given symbol, position by position of the full symbol.
  size_t i = 1;  // after the lattice letter
  if (!t.empty() && t[0] == '-') return fail(sgmsg::MagDecode);
  std::vector<MagElem> elems;
  for (size_t p = 1; p < pos.size() && p - 1 < dirs.size(); ++p) {
    std::string axis, plane;
    SplitPosition(pos[p], axis, plane);
    const int ip = static_cast<int>(p - 1);
    bool pa = false, pp = false;
    size_t j = i;
    if (!axis.empty() && !plane.empty() && MatchPart(t, j, axis, pa) &&
        MatchPart(t, j, "/" + plane, pp)) {
      // "21'/c": the prime of the axis stands before the slash.
      i = j;
      elems.push_back(AxisElem(ip, axis));
      elems.back().Primed = pa;
      elems.push_back({ip, true, false, 2, pp});
      continue;
    }
    j = i;
    if (!plane.empty() && MatchPart(t, j, plane, pp)) {
      i = j;
      elems.push_back({ip, true, false, 2, pp});
      continue;
    }
    j = i;
    if (!axis.empty() && MatchPart(t, j, axis, pa)) {
      i = j;
      elems.push_back(AxisElem(ip, axis));
      elems.back().Primed = pa;
      continue;
    }
    if (axis != "1") return fail(sgmsg::MagDecode);  // only "1" may be left out
  }
  if (i != t.size()) return fail(sgmsg::MagDecode);
  // Time-inversion signs of the rotations the elements name.
  std::map<Rot, int> sign;
  std::vector<Rot> group;
  for (int k = 0; k < ps.NSymm; ++k) group.push_back(RotOf(ps.Op[static_cast<size_t>(k)].RM));
  for (const MagElem& m : elems) {
    const auto& d = dirs[static_cast<size_t>(m.Pos)];
    bool any = false;
    for (const Rot& r : group) {
      const bool improper = Det(r) < 0;
      if (improper != (m.Plane || m.Inv)) continue;
      Rot p = r;
      if (improper)
        for (int& x : p) x = -x;
      const int order = m.Plane ? 2 : m.Order;
      if (ProperOrder(p) != order) continue;
      if (order > 1) {  // the axis of p along the direction
        bool along = true;
        for (int a = 0; a < 3; ++a)
          along = along && p[static_cast<size_t>(3 * a)] * d[0] +
                                   p[static_cast<size_t>(3 * a + 1)] * d[1] +
                                   p[static_cast<size_t>(3 * a + 2)] * d[2] ==
                               d[static_cast<size_t>(a)];
        if (!along) continue;
      }
      const int s = m.Primed ? -1 : 1;
      if (auto it = sign.find(r); it != sign.end() && it->second != s) return fail(sgmsg::MagBad);
      sign[r] = s;
      any = true;
    }
    if (!any) return fail(sgmsg::MagDecode);
  }
  // Closure: sign(AB) = sign(A) sign(B); the identity stays unprimed.
  for (bool grown = true; grown;) {
    grown = false;
    const std::map<Rot, int> now = sign;
    for (const auto& [a, sa] : now)
      for (const auto& [b, sb] : now) {
        const Rot c = Mul(a, b);
        const auto it = sign.find(c);
        if (it == sign.end()) {
          sign[c] = sa * sb;
          grown = true;
        } else if (it->second != sa * sb) {
          return fail(sgmsg::MagBad);
        }
      }
  }
  if (sign[Rot{1, 0, 0, 0, 1, 0, 0, 0, 1}] != 1) return fail(sgmsg::MagBad);
  for (const Rot& r : group)
    if (!sign.count(r)) return fail(sgmsg::MagDecode);
  ps.Magnetic = true;
  for (int k = 0; k < ps.NSymm; ++k) {
    SymmOp& op = ps.Op[static_cast<size_t>(k)];
    op.ZMag = sign[RotOf(op.RM)];
    op.RMag = CrlMakeRMag(op.RM, op.ZMag);
  }
  f.Symbol = std::string(Trim(symbol));
  out = std::move(ps);
  if (found) *found = f;
  return 0;
}

}  // namespace tarn
