// Shared pieces of the model importers: see import_common.hpp.
#include "importers/import_common.hpp"

#include <cctype>
#include <cmath>

#include "model/spgroup_home.hpp"
#include "symmetry/spgroup.hpp"
#include "symmetry/symm.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {
constexpr double kTolTrans = 1e-4;  // translations equal within this (fractions of the cell)

bool SameVec(const std::array<double, 3>& a, const std::array<double, 3>& b) {
  for (int i = 0; i < 3; ++i) {
    double d = a[static_cast<size_t>(i)] - b[static_cast<size_t>(i)];
    d -= std::round(d);
    if (std::fabs(d) > kTolTrans) return false;
  }
  return true;
}
std::array<double, 3> Norm(std::array<double, 3> v) {
  for (auto& x : v) {
    x -= std::floor(x);
    if (x > 1. - kTolTrans) x = 0.;
    if (x < kTolTrans) x = 0.;
  }
  return v;
}
}  // namespace

bool ParseXyzOp(std::string_view text, std::array<double, 9>& r, std::array<double, 3>& t) {
  std::string s;
  for (char ch : text)
    if (ch != ' ' && ch != '\t')
      s += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  auto parts = SplitOn(s, ",");
  if (parts.size() != 3) return false;
  r.fill(0.);
  t.fill(0.);
  for (size_t i = 0; i < 3; ++i) {
    const std::string& e = parts[i];
    size_t p = 0;
    if (e.empty()) return false;
    while (p < e.size()) {
      double sign = 1.;
      if (e[p] == '+' || e[p] == '-') {
        sign = e[p] == '-' ? -1. : 1.;
        ++p;
      }
      if (p >= e.size()) return false;
      if (e[p] >= 'x' && e[p] <= 'z') {
        r[i * 3 + static_cast<size_t>(e[p] - 'x')] += sign;
        ++p;
        continue;
      }
      size_t b = p;
      while (p < e.size() && (std::isdigit(static_cast<unsigned char>(e[p])) || e[p] == '.')) ++p;
      auto num = ToReal(e.substr(b, p - b));
      if (!num) return false;
      double v = *num;
      if (p < e.size() && e[p] == '/') {
        ++p;
        b = p;
        while (p < e.size() && std::isdigit(static_cast<unsigned char>(e[p]))) ++p;
        auto den = ToReal(e.substr(b, p - b));
        if (!den || *den == 0.) return false;
        v /= *den;
      }
      if (p < e.size() && e[p] == '*') {
        ++p;
        if (p >= e.size() || e[p] < 'x' || e[p] > 'z') return false;
        r[i * 3 + static_cast<size_t>(e[p] - 'x')] += sign * v;
        ++p;
      } else {
        t[i] += sign * v;
      }
    }
  }
  return true;
}

bool ReduceOperators(const std::vector<std::array<double, 9>>& r,
                     const std::vector<std::array<double, 3>>& t, PhaseBasic& p) {
  const std::array<double, 9> id{1, 0, 0, 0, 1, 0, 0, 0, 1}, inv{-1, 0, 0, 0, -1, 0, 0, 0, -1};
  // Centring: the translations of the operators whose rotation is the identity.
  std::vector<std::array<double, 3>> centr;
  for (size_t i = 0; i < r.size(); ++i)
    if (r[i] == id) {
      auto v = Norm(t[i]);
      bool seen = false;
      for (auto& c : centr) seen = seen || SameVec(c, v);
      if (!seen) centr.push_back(v);
    }
  if (centr.empty() || !SameVec(centr[0], {0, 0, 0})) {
    bool hasZero = false;
    for (auto& c : centr) hasZero = hasZero || SameVec(c, {0, 0, 0});
    if (!hasZero) return false;
  }
  auto modCentr = [&](const std::array<double, 3>& a, const std::array<double, 3>& b) {
    for (auto& c : centr) {
      std::array<double, 3> s{a[0] + c[0], a[1] + c[1], a[2] + c[2]};
      if (SameVec(s, b)) return true;
    }
    return false;
  };
  // Standard centring symbol when the set is one.
  p.Lattice = "X";
  p.LattVec.clear();
  for (const char* sym : {"P", "A", "B", "C", "I", "F", "R"}) {
    auto lc = LatticeCentring(sym, 3);
    if (lc.size() != centr.size()) continue;
    bool all = true;
    for (auto& v : lc) {
      bool f = false;
      for (auto& c : centr) f = f || SameVec(c, {v[0], v[1], v[2]});
      all = all && f;
    }
    if (all) {
      p.Lattice = sym;
      break;
    }
  }
  if (p.Lattice == "X")
    for (auto& c : centr)
      if (!SameVec(c, {0, 0, 0})) p.LattVec.push_back({c[0], c[1], c[2]});
  // Centre of symmetry at the origin (modulo centring).
  p.Centro = false;
  for (size_t i = 0; i < r.size(); ++i)
    if (r[i] == inv && modCentr(Norm(t[i]), {0, 0, 0})) p.Centro = true;
  // One operator per rotation; when centrosymmetric only the proper
  // rotations (det +1), which form the subgroup of index 2 that the centre
  // completes.
  auto det = [](const std::array<double, 9>& m) {
    return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
           m[2] * (m[3] * m[7] - m[4] * m[6]);
  };
  std::vector<std::array<double, 9>> kept{id};
  std::vector<std::array<double, 3>> keptT{{0, 0, 0}};
  for (size_t i = 0; i < r.size(); ++i) {
    if (p.Centro && det(r[i]) < 0.) continue;
    bool dup = false;
    for (auto& k : kept) dup = dup || k == r[i];
    if (dup) continue;
    kept.push_back(r[i]);
    keptT.push_back(Norm(t[i]));
  }
  p.SymmText.clear();
  for (size_t i = 0; i < kept.size(); ++i) {
    Mat6 rm{};
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b)
        rm[static_cast<size_t>(a * 3 + b)] = kept[i][static_cast<size_t>(a * 3 + b)];
    double tt[kMaxNDim] = {keptT[i][0], keptT[i][1], keptT[i][2]};
    od0do1(tt, 3);
    std::string s;
    for (auto& x : CodeSymm(rm.data(), tt, 3)) s += (s.empty() ? "" : " ") + x;
    if (s.find('?') != std::string::npos) return false;
    p.SymmText.push_back(s);
  }
  return true;
}

bool NameGroupFromOperators(PhaseBasic& p) {
  if (p.NDim != 3) return false;
  const SgTable* tab = HomeSgTable();
  if (!tab) return false;
  SgQuiet quiet;
  BasicData b;
  b.Phase = {p};
  b.Phase[0].SpGroup.clear();
  ErrorRecord err;
  if (SetBasicM50(b, &err)) return false;
  SgFound f;
  Vec3 shift{};
  if (findsmbsgorgshiftno(*tab, b.Phase[0].Symmetry, f, shift) || f.Entry < 0) return false;
  p.SpGroup = tab->Entry[static_cast<size_t>(f.Entry)].Short;
  p.SpGroupNumber = f.Number;
  p.SgShift.clear();
  if (shift != Vec3{0, 0, 0}) p.SgShift = {shift[0], shift[1], shift[2]};
  return true;
}

}  // namespace tarn
