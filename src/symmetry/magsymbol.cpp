// The BNS symbol of a magnetic space group of type I (no time inversion),
// II (grey: every operator also with time inversion) or III (half of the
// operators with time inversion, none with a pure translation): the
// Hermann-Mauguin symbol of the group without time inversion, each element
// primed when its operators carry time inversion.
#include "symmetry/magsymbol.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tarn {

namespace {

using IVec = std::array<long, 3>;

long Det(const Mat3& m) {
  return std::lround(m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                     m[2] * (m[3] * m[7] - m[4] * m[6]));
}

IVec Cross(const IVec& a, const IVec& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

bool IsZero(const IVec& v) {
  return v[0] == 0 && v[1] == 0 && v[2] == 0;
}

// Order of a proper rotation from its trace (3 -> 1, -1 -> 2, 0 -> 3, 1 -> 4, 2 -> 6).
int Order(const Mat3& p) {
  switch (std::lround(p[0] + p[4] + p[8])) {
    case 3: return 1;
    case -1: return 2;
    case 0: return 3;
    case 1: return 4;
    case 2: return 6;
    default: return 0;
  }
}

// The axis of a proper rotation P != I (lattice direction u with P u = u):
// the cross product of two independent rows of P - I.
IVec Axis(const Mat3& p) {
  IVec row[3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) row[i][static_cast<size_t>(j)] = std::lround(p[i * 3 + j] - (i == j));
  for (int i = 0; i < 3; ++i)
    for (int j = i + 1; j < 3; ++j) {
      const IVec c = Cross(row[i], row[j]);
      if (!IsZero(c)) return c;
    }
  return {0, 0, 0};
}

// Directions of the positions of the symbol (after the lattice letter) by
// group number; rhombohedral axes for entries ending in ":R".
std::vector<IVec> Directions(int number, bool rhombohedralAxes) {
  if (number <= 2) return {{0, 0, 0}};
  if (number <= 74) return {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  if (rhombohedralAxes) return {{1, 1, 1}, {1, -1, 0}};
  if (number <= 194) return {{0, 0, 1}, {1, 0, 0}, {1, -1, 0}};
  return {{1, 0, 0}, {1, 1, 1}, {1, -1, 0}};
}

struct MagOp {
  Mat3 R;
  double Z;
};

// The time inversion of the element written as text ("21", "-4", "c", "m", "-1"
// ...) along direction d: +1 or -1, 0 when no operator of the group is that
// element.
double ElementSign(const std::vector<MagOp>& ops, const std::string& text, const IVec& d) {
  int det = 1, order = 2;
  if (text[0] == '-') {
    det = -1;
    order = text.size() > 1 ? text[1] - '0' : 0;
  } else if (text[0] >= '1' && text[0] <= '6') {
    order = text[0] - '0';
  } else {
    det = -1;  // a reflection: -R is a two-fold rotation about the normal
  }
  for (const auto& o : ops) {
    if (Det(o.R) != det) continue;
    Mat3 p = o.R;
    if (det < 0)
      for (double& x : p) x = -x;
    if (Order(p) != order) continue;
    if (order == 1 || IsZero(Cross(Axis(p), d))) return o.Z;
  }
  return 0.;
}

}  // namespace

std::string MagGroupSymbolBNS(const SgTable& tab, const PhaseSymmetry& ps) {
  if (!ps.Magnetic || ps.NDim != 3) return "";
  PhaseSymmetry full = ps;
  if (full.NCSymm == 2) CrlExpandCentroSym(full);
  std::vector<MagOp> ops;
  bool grey = false;
  for (int k = 0; k < full.NSymm; ++k) {
    const SymmOp& o = full.Op[static_cast<size_t>(k)];
    if (Order(o.RM) == 1 && Det(o.RM) == 1 && o.ZMag < 0.) {
      // Time inversion with a translation: grey when the translation is a
      // centring one (or none), else an anti-translation.
      bool centring = false;
      for (int c = 0; c < full.NLattVec; ++c) {
        double d = 0.;
        for (int i = 0; i < 3; ++i) {
          const double x = o.S6[static_cast<size_t>(i)] - full.VT6[static_cast<size_t>(c)][static_cast<size_t>(i)];
          d += std::fabs(x - std::round(x));
        }
        centring = centring || d < 1e-4;
      }
      if (!centring) return "";
      grey = true;
    }
    ops.push_back({o.RM, o.ZMag});
  }
  // The group without time inversion: every operator once.
  PhaseSymmetry plain = full;
  plain.Magnetic = false;
  plain.NSymm = 0;
  for (int k = 0; k < full.NSymm; ++k) {
    const SymmOp& o = full.Op[static_cast<size_t>(k)];
    if (grey && o.ZMag < 0.) continue;
    plain.Op[static_cast<size_t>(plain.NSymm)] = o;
    plain.Op[static_cast<size_t>(plain.NSymm)].ZMag = 1.;
    ++plain.NSymm;
  }
  plain.NSymmN = plain.NSymm;
  plain.NCSymm = 1;
  SgFound f;
  Vec3 shift{};
  if (findsmbsgorgshiftno(tab, plain, f, shift) || f.Entry < 0) return "";
  const SgEntry& e = tab.Entry[static_cast<size_t>(f.Entry)];
  // The full symbol's positions, each primed element by element, written in
  // the short form: monoclinic groups keep their one position; the first
  // position of tetragonal and hexagonal groups keeps axis and plane; other
  // positions with an axis and a plane keep the plane.
  std::vector<std::string> pos;
  for (size_t at = 0; at < e.Full.size();) {
    const size_t end = std::min(e.Full.find(' ', at), e.Full.size());
    if (end > at) pos.push_back(e.Full.substr(at, end - at));
    at = end + 1;
  }
  if (pos.size() < 2) return "";
  const bool rhomb = e.Short.size() > 2 && e.Short.substr(e.Short.size() - 2) == ":R";
  const std::vector<IVec> dirs = Directions(e.Number, rhomb);
  const bool monoclinic = e.Number >= 3 && e.Number <= 15;
  const bool axialFirst = (e.Number >= 75 && e.Number <= 142) || (e.Number >= 168 && e.Number <= 194);
  std::string out = pos[0];
  for (size_t i = 1; i < pos.size(); ++i) {
    if (i - 1 >= dirs.size()) return "";
    const std::string& t = pos[i];
    if (monoclinic && t == "1") continue;
    const size_t slash = t.find('/');
    std::string axis = t.substr(0, slash), plane = slash == std::string::npos ? "" : t.substr(slash + 1);
    std::string text;
    for (std::string* part : {&axis, &plane}) {
      if (part->empty() || *part == "1") continue;
      const double z = ElementSign(ops, *part, dirs[i - 1]);
      if (z == 0.) return "";
      if (z < 0. && !grey) *part += "'";
    }
    if (plane.empty())
      text = axis;
    else if (monoclinic || (axialFirst && i == 1))
      text = axis + "/" + plane;
    else
      text = plane;
    out += text;
  }
  return grey ? out + "1'" : out;
}

}  // namespace tarn
