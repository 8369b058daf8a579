#include "edit/transform.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <optional>

#include "model/atom_edit.hpp"
#include "model/batch_edit.hpp"
#include "model/spgroup_home.hpp"
#include "symmetry/spgroup.hpp"
#include "symmetry/symm.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr double kTolInt = 1e-6;  // integral indices and translations
constexpr std::string_view kExpected =
    "Expected \"cell EXPR\", \"origin x y z\", \"enantiomorph\", \"subgroup OP...\" or "
    "\"supercell EXPR\".";

double Frac01(double v) {
  v -= std::floor(v);
  if (v > 1. - kTolInt || v < kTolInt) v = 0.;
  return v;
}

std::optional<double> Fraction(std::string_view w) {
  const auto s = w.find('/');
  if (s == std::string_view::npos) return ToReal(w);
  auto a = ToReal(w.substr(0, s)), b = ToReal(w.substr(s + 1));
  if (!a || !b || *b == 0.) return std::nullopt;
  return *a / *b;
}

// Cell from a metric tensor.
void CellOf(const Eigen::Matrix3d& g, double* cell) {
  for (int i = 0; i < 3; ++i) cell[i] = std::sqrt(g(i, i));
  cell[3] = std::acos(g(1, 2) / (cell[1] * cell[2])) / kDeg;
  cell[4] = std::acos(g(0, 2) / (cell[0] * cell[2])) / kDeg;
  cell[5] = std::acos(g(0, 1) / (cell[0] * cell[1])) / kDeg;
  // A value within the noise of the products of one with six decimals takes
  // it, so that a transformation and its inverse give the written values back.
  for (int i = 0; i < 6; ++i) {
    const double r = std::round(cell[i] * 1e6) / 1e6;
    if (std::fabs(cell[i] - r) < 1e-9 * std::max(1., std::fabs(cell[i]))) cell[i] = r;
  }
}

Eigen::Matrix3d Metric(const double* c) {
  const double ca = std::cos(c[3] * kDeg), cb = std::cos(c[4] * kDeg), cg = std::cos(c[5] * kDeg);
  Eigen::Matrix3d g;
  g << c[0] * c[0], c[0] * c[1] * cg, c[0] * c[2] * cb, c[0] * c[1] * cg, c[1] * c[1],
      c[1] * c[2] * ca, c[0] * c[2] * cb, c[1] * c[2] * ca, c[2] * c[2];
  return g;
}

// Signed permutation: the column of each new axis (and its sign), else -1.
std::array<int, 3> Permutation(const Eigen::Matrix3d& p) {
  std::array<int, 3> col{-1, -1, -1};
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i)
      if (std::fabs(std::fabs(p(i, j)) - 1.) < kTolInt) col[static_cast<size_t>(j)] = i;
  for (int j = 0; j < 3; ++j) {
    int nz = 0;
    for (int i = 0; i < 3; ++i) nz += std::fabs(p(i, j)) > kTolInt;
    if (nz != 1) return {-1, -1, -1};
  }
  return col;
}

Eigen::Vector3d Round(Eigen::Vector3d v) {
  for (int i = 0; i < 3; ++i)
    if (std::fabs(v[i] - std::round(v[i] * 1e9) / 1e9) < 1e-12) v[i] = std::round(v[i] * 1e9) / 1e9;
  return v;
}

struct Op {
  Eigen::Matrix3d R;
  Eigen::Vector3d T;
};

// An operator written "-x,y+1/2,-z+1/2"; 1 when it does not read or its
// rotation is not integral with determinant +-1.
int ParseOp(std::string_view text, Op& o) {
  Mat3 r;
  Vec3 t;
  if (SgParseAffine(text, r, t)) return 1;
  o.R = ToEigen(r);
  for (int i = 0; i < 3; ++i) o.T[i] = Frac01(t[static_cast<size_t>(i)]);
  for (int k = 0; k < 9; ++k)
    if (std::fabs(o.R(k / 3, k % 3) - std::round(o.R(k / 3, k % 3))) > kTolInt) return 1;
  return std::fabs(std::fabs(o.R.determinant()) - 1.) > kTolInt;
}

std::string OpText(const Op& o, bool magnetic, double zmag) {
  std::array<double, 36> r6{};
  std::array<double, 6> s6{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r6[static_cast<size_t>(3 * i + j)] = std::round(o.R(i, j));
    s6[static_cast<size_t>(i)] = Frac01(o.T[i]);
  }
  std::string s;
  for (const auto& x : CodeSymm(r6.data(), s6.data(), 3)) s += (s.empty() ? "" : " ") + x;
  if (magnetic) s += zmag < 0 ? " -m" : " m";
  return s;
}

bool SameTrans(const Eigen::Vector3d& a, const Eigen::Vector3d& b,
               const std::vector<Eigen::Vector3d>& centr) {
  for (const auto& c : centr) {
    bool same = true;
    for (int i = 0; i < 3; ++i) {
      double d = a[i] - b[i] - c[i];
      d -= std::round(d);
      same = same && std::fabs(d) < kTolInt;
    }
    if (same) return true;
  }
  return false;
}

// Lattice symbol (or "X" with the vectors) of a set of centring vectors
// (the zero vector included).
void SetCentring(PhaseBasic& ph, const std::vector<Eigen::Vector3d>& newC) {
  ph.Lattice = "X";
  ph.LattVec.clear();
  for (const char* sym : {"P", "A", "B", "C", "I", "F", "R"}) {
    const auto std = LatticeCentring(sym, 3);
    if (std.size() != newC.size()) continue;
    bool all = true;
    for (const auto& v : std) {
      const Eigen::Vector3d u(v[0], v[1], v[2]);
      all = all && std::any_of(newC.begin(), newC.end(),
                               [&](const Eigen::Vector3d& c) { return (c - u).norm() < kTolInt; });
    }
    if (all) {
      ph.Lattice = sym;
      break;
    }
  }
  if (ph.Lattice == "X")
    for (const auto& c : newC)
      if (c.norm() > kTolInt) ph.LattVec.push_back({c[0], c[1], c[2]});
}

}  // namespace

int EM40ParseTransform(std::string_view line, EM40Transform& t, std::string& why) {
  const auto w = SplitWords(line);
  t = EM40Transform{};
  if (w.empty()) {
    why = std::string(kExpected);
    return 1;
  }
  if (EqIgnoreCase(w[0], "subgroup") && w.size() >= 2) {
    t.Kind = EM40TransformKind::Subgroup;
    for (size_t k = 1; k < w.size(); ++k) {
      Op o;
      if (ParseOp(w[k], o)) {
        why = fmt::format("\"{}\" is not an operator such as \"-x,y+1/2,-z+1/2\".", w[k]);
        return 1;
      }
      t.Ops.emplace_back(w[k]);
    }
    return 0;
  }
  if (EqIgnoreCase(w[0], "supercell") && (w.size() == 2 || w.size() == 10)) {
    std::string cell = "cell";
    for (size_t k = 1; k < w.size(); ++k) cell += " " + std::string(w[k]);
    if (EM40ParseTransform(cell, t, why)) return 1;
    const Eigen::Matrix3d p = ToEigen(t.P);
    for (int k = 0; k < 9; ++k)
      if (std::fabs(p(k / 3, k % 3) - std::round(p(k / 3, k % 3))) > kTolInt) {
        why = "A supercell needs an integral matrix.";
        return 1;
      }
    t.Kind = EM40TransformKind::Supercell;
    return 0;
  }
  if (EqIgnoreCase(w[0], "enantiomorph") && w.size() == 1) {
    t.P = {-1, 0, 0, 0, -1, 0, 0, 0, -1};
    return 0;
  }
  if (EqIgnoreCase(w[0], "origin") && w.size() == 4) {
    for (int i = 0; i < 3; ++i) {
      auto v = Fraction(w[static_cast<size_t>(i + 1)]);
      if (!v) {
        why = fmt::format("\"{}\" is not a number or fraction.", w[static_cast<size_t>(i + 1)]);
        return 1;
      }
      t.Origin[static_cast<size_t>(i)] = *v;
    }
    return 0;
  }
  if (EqIgnoreCase(w[0], "cell") && (w.size() == 2 || w.size() == 10)) {
    Eigen::Matrix3d m;  // rows: the new axes in the old ones
    if (w.size() == 2) {
      std::vector<int> mi;
      if (EqStringToIntMatrix(w[1], {"a", "b", "c"}, mi) || mi.size() != 9) {
        why = fmt::format("\"{}\" is not a basis such as \"a+c,b,-a\".", w[1]);
        return 1;
      }
      for (int k = 0; k < 9; ++k) m(k / 3, k % 3) = mi[static_cast<size_t>(k)];
    } else {
      for (int k = 0; k < 9; ++k) {
        auto v = Fraction(w[static_cast<size_t>(k + 1)]);
        if (!v) {
          why = fmt::format("\"{}\" is not a number or fraction.", w[static_cast<size_t>(k + 1)]);
          return 1;
        }
        m(k / 3, k % 3) = *v;
      }
    }
    if (std::fabs(m.determinant()) < 1e-6) {
      why = "The transformation matrix is singular.";
      return 1;
    }
    if (m.determinant() < 0.) {
      why = "The new axes form a left-handed set; use \"enantiomorph\" for a change of hand.";
      return 1;
    }
    t.P = FromEigen(m.transpose());
    return 0;
  }
  why = std::string(kExpected);
  return 1;
}

EM40Transform EM40InverseTransform(const EM40Transform& t) {
  const Eigen::Matrix3d p = ToEigen(t.P), q = p.inverse();
  const Eigen::Vector3d o(t.Origin[0], t.Origin[1], t.Origin[2]);
  EM40Transform r;
  r.P = FromEigen(q);
  const Eigen::Vector3d ro = Round(-q * o);
  r.Origin = {ro[0], ro[1], ro[2]};
  for (double& v : r.P) v = std::round(v * 1e12) / 1e12;
  return r;
}

int EM40TransformIndices(const EM40Transform& t, int* h) {
  const Eigen::Matrix3d p = ToEigen(t.P);
  double hn[3];
  for (int j = 0; j < 3; ++j) {
    hn[j] = 0.;
    for (int i = 0; i < 3; ++i) hn[j] += p(i, j) * h[i];
    if (std::fabs(hn[j] - std::round(hn[j])) > kTolInt) return 1;
  }
  for (int j = 0; j < 3; ++j) h[j] = static_cast<int>(std::lround(hn[j]));
  return 0;
}

void EM40TransformCell(const EM40Transform& t, std::vector<double>& cell) {
  if (cell.size() < 6 || std::any_of(cell.begin(), cell.begin() + 6,
                                     [](double v) { return v == kUnsetReal || v <= 0.; }))
    return;
  const Eigen::Matrix3d p = ToEigen(t.P);
  CellOf(p.transpose() * Metric(cell.data()) * p, cell.data());
}

namespace {

int SettingTransform(Structure& st, int phase, const EM40Transform& t, std::string& why) {
  if (phase < 1 || phase > static_cast<int>(st.Basic.Phase.size())) {
    why = "The structure has no such phase.";
    return 1;
  }
  Structure work = st;
  PhaseBasic& ph = work.Basic.Phase[static_cast<size_t>(phase - 1)];
  if (ph.NDim != 3) {
    why = "Modulated phases are not transformed by this tool.";
    return 1;
  }
  for (const auto& m : work.Model.Mol)
    if (m.Phase == phase) {
      why = "Structures with molecules are not transformed by this tool.";
      return 1;
    }
  const Eigen::Matrix3d P = ToEigen(t.P), Q = P.inverse();
  const Eigen::Vector3d p0(t.Origin[0], t.Origin[1], t.Origin[2]);
  auto tr = [&](const Op& o) {
    Op r;
    r.R = Q * o.R * P;
    r.T = Q * (o.R * p0 + o.T - p0);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) r.R(i, j) = std::round(r.R(i, j) * 1e9) / 1e9;
    return r;
  };
  // Cell and its s.u. (kept through axis permutations and sign changes).
  CellOf(P.transpose() * Metric(ph.Cell) * P, ph.Cell);
  const auto perm = Permutation(P);
  double su[6] = {0, 0, 0, 0, 0, 0};
  if (perm[0] >= 0) {
    for (int j = 0; j < 3; ++j) su[j] = ph.CellSU[perm[static_cast<size_t>(j)]];
    // The angle between new axes j, k is the old angle between their old axes.
    for (int j = 0; j < 3; ++j) {
      const int a = perm[static_cast<size_t>((j + 1) % 3)],
                b = perm[static_cast<size_t>((j + 2) % 3)];
      su[3 + j] = ph.CellSU[3 + 3 - a - b];
    }
  }
  std::copy(su, su + 6, ph.CellSU);
  // Centring vectors of the new cell: images of the old lattice points.
  std::vector<Eigen::Vector3d> oldC = {Eigen::Vector3d::Zero()};
  for (const auto& v : LatticeCentring(ph.Lattice == "X" ? "P" : ph.Lattice, 3))
    if (v[0] != 0. || v[1] != 0. || v[2] != 0.) oldC.emplace_back(v[0], v[1], v[2]);
  for (const auto& v : ph.LattVec) oldC.emplace_back(v[0], v[1], v[2]);
  std::vector<Eigen::Vector3d> newC;
  const int range = static_cast<int>(std::ceil(std::fabs(P.determinant()))) + 1;
  for (const auto& c : oldC)
    for (int i = -range; i <= range; ++i)
      for (int j = -range; j <= range; ++j)
        for (int k = -range; k <= range; ++k) {
          Eigen::Vector3d v = Q * (c + Eigen::Vector3d(i, j, k));
          for (int a = 0; a < 3; ++a) v[a] = Frac01(std::round(v[a] * 1e9) / 1e9);
          if (std::none_of(newC.begin(), newC.end(),
                           [&](const Eigen::Vector3d& u) { return (u - v).norm() < kTolInt; }))
            newC.push_back(v);
        }
  SetCentring(ph, newC);
  // Operators, in their order.
  std::vector<Op> ops;
  std::vector<double> zmag;
  for (const auto& s : ph.SymmText) {
    SymmOp so;
    if (ReadSymm(s, 3, ph.Magnetic, so)) {
      why = "An operator of the phase cannot be read.";
      return 1;
    }
    Op o;
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) o.R(i, j) = so.RM[static_cast<size_t>(3 * i + j)];
      o.T[i] = so.S6[static_cast<size_t>(i)];
    }
    ops.push_back(o);
    zmag.push_back(so.ZMag);
  }
  bool centro = ph.Centro;
  std::vector<Op> nops;
  for (const auto& o : ops) nops.push_back(tr(o));
  if (centro) {
    // Inversion (-I, 0) after the transformation: at the origin again?
    Op inv{-Eigen::Matrix3d::Identity(), Eigen::Vector3d::Zero()};
    if (!SameTrans(tr(inv).T, Eigen::Vector3d::Zero(), newC)) {
      const size_t n = ops.size();
      for (size_t k = 0; k < n; ++k) {
        nops.push_back(tr(Op{-ops[k].R, -ops[k].T}));
        zmag.push_back(zmag[k]);
      }
      centro = false;
    }
  } else if (nops.size() % 2 == 0 && !nops.empty()) {
    // Partners written out by an earlier shift fold back when the inversion
    // is at the origin again.
    const size_t n = nops.size() / 2;
    bool fold = true;
    for (size_t k = 0; k < n && fold; ++k)
      fold = (nops[n + k].R + nops[k].R).norm() < kTolInt &&
             SameTrans(nops[n + k].T, -nops[k].T, newC);
    if (fold) {
      nops.resize(n);
      zmag.resize(n);
      centro = true;
    }
  }
  ph.Centro = centro;
  ph.SymmText.clear();
  for (size_t k = 0; k < nops.size(); ++k)
    ph.SymmText.push_back(OpText(nops[k], ph.Magnetic, zmag[k]));
  // Accumulated transformation from the setting of the group symbol.
  Eigen::Matrix3d P0 = Eigen::Matrix3d::Identity();
  Eigen::Vector3d o0 = Eigen::Vector3d::Zero();
  if (ph.ParentMat.size() >= 9)
    for (int k = 0; k < 9; ++k) P0(k / 3, k % 3) = ph.ParentMat[static_cast<size_t>(k)];
  if (ph.ParentMat.size() >= 12) o0 = {ph.ParentMat[9], ph.ParentMat[10], ph.ParentMat[11]};
  const Eigen::Matrix3d P1 = P0 * P;
  Eigen::Vector3d o1 = o0 + P0 * p0;
  for (int i = 0; i < 3; ++i) o1[i] = Frac01(std::round(o1[i] * 1e9) / 1e9);
  ph.ParentMat.clear();
  if ((P1 - Eigen::Matrix3d::Identity()).norm() > kTolInt || o1.norm() > kTolInt) {
    for (int k = 0; k < 9; ++k) ph.ParentMat.push_back(std::round(P1(k / 3, k % 3) * 1e9) / 1e9);
    for (int i = 0; i < 3; ++i) ph.ParentMat.push_back(o1[i]);
  }
  ErrorRecord err;
  if (SetBasicM50(work.Basic, &err)) {
    why = "The transformed symmetry cannot be completed.";
    return 1;
  }
  // Atoms.
  for (AtomRec& a : work.Model.Atom) {
    if (a.Phase != phase) continue;
    if (a.Shape.AdpOrder > 2 || a.Shape.MagPar > 0 ||
        a.Shape.NWave != std::array<int, NParKinds>{} ||
        a.Shape.Flag != std::array<int, NParKinds>{}) {
      why = fmt::format("{}: anharmonic, magnetic or modulated atoms are not transformed.", a.Name);
      return 1;
    }
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    const int ox = lay.Off[BlkPos];
    Eigen::Vector3d x, sx;
    int kx[3];
    for (int i = 0; i < 3; ++i) {
      x[i] = a.Par.Val[static_cast<size_t>(ox + i)];
      sx[i] = a.Par.Sig[static_cast<size_t>(ox + i)];
      kx[i] = a.Par.Key[static_cast<size_t>(ox + i)];
    }
    const Eigen::Vector3d xn = Q * (x - p0);
    for (int i = 0; i < 3; ++i) {
      double s2 = 0.;
      int key = 0;
      for (int j = 0; j < 3; ++j)
        if (std::fabs(Q(i, j)) > kTolInt) {
          s2 += Q(i, j) * Q(i, j) * sx[j] * sx[j];
          key = std::max(key, kx[j]);
        }
      a.Par.Val[static_cast<size_t>(ox + i)] = std::round(xn[i] * 1e12) / 1e12 + 0.;
      a.Par.Sig[static_cast<size_t>(ox + i)] = std::sqrt(s2);
      a.Par.Key[static_cast<size_t>(ox + i)] = key;
    }
    if (a.Shape.AdpOrder == 2) {
      static constexpr int kAx[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
      const int ob = lay.Off[BlkAdp];
      Eigen::Matrix3d b, sb;
      int kmax = 0;
      for (int c = 0; c < 6; ++c) {
        const double v = a.Par.Val[static_cast<size_t>(ob + c)];
        const double s = a.Par.Sig[static_cast<size_t>(ob + c)];
        b(kAx[c][0], kAx[c][1]) = b(kAx[c][1], kAx[c][0]) = v;
        sb(kAx[c][0], kAx[c][1]) = sb(kAx[c][1], kAx[c][0]) = s;
        kmax = std::max(kmax, a.Par.Key[static_cast<size_t>(ob + c)]);
      }
      const Eigen::Matrix3d bn = Q * b * Q.transpose();
      for (int c = 0; c < 6; ++c) {
        const int i = kAx[c][0], j = kAx[c][1];
        double s2 = 0.;
        int key = 0;
        for (int k = 0; k < 3; ++k)
          for (int l = 0; l < 3; ++l) {
            const double f = Q(i, k) * Q(j, l);
            if (std::fabs(f) < kTolInt) continue;
            s2 += f * f * sb(k, l) * sb(k, l);
            const int kk = std::min(k, l), ll = std::max(k, l);
            for (int cc = 0; cc < 6; ++cc)
              if (kAx[cc][0] == kk && kAx[cc][1] == ll)
                key = std::max(key, a.Par.Key[static_cast<size_t>(ob + cc)]);
          }
        a.Par.Val[static_cast<size_t>(ob + c)] = std::round(bn(i, j) * 1e12) / 1e12 + 0.;
        a.Par.Sig[static_cast<size_t>(ob + c)] = std::sqrt(s2);
        a.Par.Key[static_cast<size_t>(ob + c)] = perm[0] >= 0 ? key : kmax;
      }
    }
  }
  st = std::move(work);
  return 0;
}

// ---------------------------------------------------------------- subgroups
// Group elements modulo integral translations: T in [0, 1).

Eigen::Vector3d Mod1(Eigen::Vector3d v) {
  for (int i = 0; i < 3; ++i) v[i] = Frac01(std::round(v[i] * 1e9) / 1e9);
  return v;
}

bool SameRot(const Op& a, const Op& b) {
  return (a.R - b.R).norm() < kTolInt;
}

bool SameOp(const Op& a, const Op& b) {
  return SameRot(a, b) && Mod1(a.T - b.T).norm() < kTolInt;
}

Op Mul(const Op& a, const Op& b) {
  return Op{a.R * b.R, Mod1(a.R * b.T + a.T)};
}

int Find(const std::vector<Op>& g, const Op& o) {
  for (size_t k = 0; k < g.size(); ++k)
    if (SameOp(g[k], o)) return static_cast<int>(k);
  return -1;
}

// Every element of the phase's group: operators x centring x inversion.
std::vector<Op> FullGroup(const PhaseSymmetry& ps) {
  std::vector<Op> g;
  for (int s : {1, -1}) {
    if (s < 0 && ps.NCSymm != 2) break;
    for (int c = 0; c < ps.NLattVec; ++c)
      for (int k = 0; k < ps.NSymm; ++k) {
        const SymmOp& so = ps.Op[static_cast<size_t>(k)];
        Op o{s * ToEigen(so.RM), Eigen::Vector3d::Zero()};
        for (int i = 0; i < 3; ++i)
          o.T[i] = s * so.S6[static_cast<size_t>(i)] + ps.VT6[static_cast<size_t>(c)][static_cast<size_t>(i)];
        o.T = Mod1(o.T);
        if (Find(g, o) < 0) g.push_back(o);
      }
  }
  return g;
}

// Closes h under multiplication; false when it grows beyond `limit`.
bool Close(std::vector<Op>& h, size_t limit) {
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t i = 0; i < h.size(); ++i)
      for (size_t j = 0; j < h.size(); ++j) {
        const Op p = Mul(h[i], h[j]);
        if (Find(h, p) >= 0) continue;
        if (h.size() >= limit) return false;
        h.push_back(p);
        grew = true;
      }
  }
  return true;
}

// No pure translation besides the identity.
bool TranslationFree(const std::vector<Op>& h) {
  int n = 0;
  for (const Op& o : h) n += (o.R - Eigen::Matrix3d::Identity()).norm() < kTolInt;
  return n == 1;
}

// A maximal translation-free subgroup of g: each rotation in the order of
// g, with the first of its translations that keeps the group free of pure
// translations.
std::vector<Op> TranslationFreeSubgroup(const std::vector<Op>& g) {
  std::vector<Op> h = {g[0]};
  for (const Op& o : g) {
    if (std::any_of(h.begin(), h.end(), [&](const Op& x) { return SameRot(x, o); })) continue;
    std::vector<Op> c = h;
    c.push_back(o);
    if (Close(c, g.size()) && TranslationFree(c)) h = std::move(c);
  }
  return h;
}

std::string Suffixed(const AtomModel& m, const std::vector<AtomRec>& added,
                     const std::string& base, int k) {
  auto taken = [&](const std::string& n) {
    if (EM40FindAtom(m, n) >= 0) return true;
    return std::any_of(added.begin(), added.end(),
                       [&](const AtomRec& a) { return EqIgnoreCase(a.Name, n); });
  };
  for (int t = 0; t < 26 * 26; ++t) {
    std::string suf(1, static_cast<char>('a' + (k - 1 + t) % 26));
    if (k - 1 + t >= 26) suf = std::string(1, static_cast<char>('a' + (k - 1 + t) / 26 - 1)) + suf;
    std::string n = base.substr(0, std::min(base.size(), static_cast<size_t>(EM40MaxName) - suf.size())) + suf;
    if (!taken(n)) return n;
  }
  return base;
}

// The phase takes the group h (a subgroup of g, the group of its current
// operators); its atoms split as described in the header.
int Reduce(Structure& st, int phase, const std::vector<Op>& g, std::vector<Op> h,
           std::string& why) {
  Structure work = st;
  PhaseBasic& ph = work.Basic.Phase[static_cast<size_t>(phase - 1)];
  // Elements of h in the order of g (the identity first).
  std::sort(h.begin(), h.end(), [&](const Op& a, const Op& b) { return Find(g, a) < Find(g, b); });
  std::vector<Eigen::Vector3d> centr;
  for (const Op& o : h)
    if ((o.R - Eigen::Matrix3d::Identity()).norm() < kTolInt) centr.push_back(o.T);
  SetCentring(ph, centr);
  // Coset representatives modulo the centring; the inversion at the origin
  // leaves half of them.
  std::vector<Op> reps;
  for (const Op& o : h)
    if (std::none_of(reps.begin(), reps.end(), [&](const Op& r) {
          return SameRot(r, o) && SameTrans(r.T, o.T, centr);
        }))
      reps.push_back(o);
  const Op inv{-Eigen::Matrix3d::Identity(), Eigen::Vector3d::Zero()};
  ph.Centro = std::any_of(reps.begin(), reps.end(), [&](const Op& r) {
    return SameRot(r, inv) && SameTrans(r.T, inv.T, centr);
  });
  ph.SymmText.clear();
  std::vector<Op> listed;
  for (const Op& r : reps) {
    if (ph.Centro && std::any_of(listed.begin(), listed.end(), [&](const Op& l) {
          return (l.R + r.R).norm() < kTolInt && SameTrans(-l.T, r.T, centr);
        }))
      continue;
    listed.push_back(r);
    ph.SymmText.push_back(OpText(r, false, 1.));
  }
  ph.SpGroup = "?";
  ph.SpGroupNumber = ph.SpGroupCode = ph.SpGroupCode10 = 0;
  ph.ParentMat.clear();
  ErrorRecord err;
  if (SetBasicM50(work.Basic, &err)) {
    why = "The symmetry of the subgroup cannot be completed.";
    return 1;
  }
  if (const SgTable* tab = HomeSgTable()) {
    SgQuiet quiet;
    SgFound f;
    Vec3 s;
    if (findsmbsgorgshiftno(*tab, ph.Symmetry, f, s) == 0 && s == Vec3{0, 0, 0} && f.Entry >= 0) {
      ph.SpGroup = tab->Entry[static_cast<size_t>(f.Entry)].Short;
      ph.SpGroupNumber = f.Number;
    }
  }
  // Atoms.
  std::vector<AtomRec> out;
  for (const AtomRec& a : work.Model.Atom) {
    if (a.Phase != phase) {
      out.push_back(a);
      continue;
    }
    if (a.Shape.AdpOrder > 2 || a.Shape.MagPar > 0 ||
        a.Shape.NWave != std::array<int, NParKinds>{} ||
        a.Shape.Flag != std::array<int, NParKinds>{}) {
      why = fmt::format("{}: anharmonic, magnetic or modulated atoms are not split.", a.Name);
      return 1;
    }
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    const int ox = lay.Off[BlkPos];
    const Eigen::Vector3d x(a.Par.Val[static_cast<size_t>(ox)], a.Par.Val[static_cast<size_t>(ox + 1)],
                            a.Par.Val[static_cast<size_t>(ox + 2)]);
    auto same = [&](const Eigen::Vector3d& u, const Eigen::Vector3d& v) {
      return Mod1(u - v).norm() < 1e-5;
    };
    auto stab = [&](const std::vector<Op>& grp, const Eigen::Vector3d& p) {
      int n = 0;
      for (const Op& o : grp) n += same(o.R * p + o.T, p);
      return n;
    };
    const int sg = stab(g, x);
    std::vector<Eigen::Vector3d> covered;
    int k = 0;
    for (const Op& o : g) {
      const Eigen::Vector3d p = o.R * x + o.T;
      if (std::any_of(covered.begin(), covered.end(),
                      [&](const Eigen::Vector3d& c) { return same(c, p); }))
        continue;
      for (const Op& e : h) covered.push_back(e.R * p + e.T);
      AtomRec b = a;
      if (k > 0) b.Name = Suffixed(work.Model, out, a.Name, k);
      ++k;
      b.Par.Val[0] = a.Par.Val[0] * sg / stab(h, p);
      for (int i = 0; i < 3; ++i) {
        double s2 = 0.;
        for (int j = 0; j < 3; ++j)
          s2 += o.R(i, j) * o.R(i, j) * std::pow(a.Par.Sig[static_cast<size_t>(ox + j)], 2);
        b.Par.Val[static_cast<size_t>(ox + i)] = std::round(p[i] * 1e12) / 1e12 + 0.;
        b.Par.Sig[static_cast<size_t>(ox + i)] = std::sqrt(s2);
      }
      if (a.Shape.AdpOrder == 2) {
        static constexpr int kAx[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
        const int ob = lay.Off[BlkAdp];
        Eigen::Matrix3d bt, sb;
        for (int c = 0; c < 6; ++c) {
          bt(kAx[c][0], kAx[c][1]) = bt(kAx[c][1], kAx[c][0]) = a.Par.Val[static_cast<size_t>(ob + c)];
          sb(kAx[c][0], kAx[c][1]) = sb(kAx[c][1], kAx[c][0]) = a.Par.Sig[static_cast<size_t>(ob + c)];
        }
        const Eigen::Matrix3d bn = o.R * bt * o.R.transpose();
        for (int c = 0; c < 6; ++c) {
          const int i = kAx[c][0], j = kAx[c][1];
          double s2 = 0.;
          for (int m = 0; m < 3; ++m)
            for (int l = 0; l < 3; ++l) s2 += std::pow(o.R(i, m) * o.R(j, l) * sb(m, l), 2);
          b.Par.Val[static_cast<size_t>(ob + c)] = std::round(bn(i, j) * 1e12) / 1e12 + 0.;
          b.Par.Sig[static_cast<size_t>(ob + c)] = std::sqrt(s2);
        }
      }
      out.push_back(std::move(b));
    }
  }
  work.Model.Atom = std::move(out);
  st = std::move(work);
  return 0;
}

}  // namespace

int EM40TransformStructure(Structure& st, int phase, const EM40Transform& t, std::string& why) {
  if (t.Kind == EM40TransformKind::Setting) return SettingTransform(st, phase, t, why);
  if (phase < 1 || phase > static_cast<int>(st.Basic.Phase.size())) {
    why = "The structure has no such phase.";
    return 1;
  }
  const PhaseBasic& ph0 = st.Basic.Phase[static_cast<size_t>(phase - 1)];
  if (ph0.NDim != 3 || ph0.Magnetic) {
    why = "Modulated and magnetic phases are not reduced by this tool.";
    return 1;
  }
  Structure work = st;
  if (t.Kind == EM40TransformKind::Supercell) {
    EM40Transform cell = t;
    cell.Kind = EM40TransformKind::Setting;
    if (SettingTransform(work, phase, cell, why)) return 1;
  }
  const std::vector<Op> g = FullGroup(work.Basic.Phase[static_cast<size_t>(phase - 1)].Symmetry);
  std::vector<Op> h = {g[0]};
  if (t.Kind == EM40TransformKind::Supercell) {
    h = TranslationFreeSubgroup(g);
  } else {
    for (const auto& text : t.Ops) {
      Op o;
      if (ParseOp(text, o) || Find(g, o) < 0) {
        why = fmt::format("\"{}\" is not an operator of the group.", text);
        return 1;
      }
      if (Find(h, o) < 0) h.push_back(o);
    }
    if (!Close(h, g.size())) {
      why = "The operators do not generate a subgroup.";
      return 1;
    }
  }
  if (Reduce(work, phase, g, std::move(h), why)) return 1;
  st = std::move(work);
  return 0;
}

}  // namespace tarn
