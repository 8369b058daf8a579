// SHELX restraint instructions as refinement sub-commands.
#include "importers/shelx_restraints.hpp"

#include <fmt/format.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "refine/refcommands.hpp"
#include "refine/refine_listing.hpp"
#include "util/numbers.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// SHELX defaults of the restraint s.u.
constexpr double kDfixSu = 0.02, kDangSu = 0.04, kSadiSu = 0.02;
constexpr double kSameSu1 = 0.02;  // 1,3 distances: twice the 1,2 value
constexpr double kFlatSu = 0.1, kChivSu = 0.1;
constexpr double kSimuSu = 0.04, kSimuDmax = 2.0;  // terminal atoms: twice the s.u.
constexpr double kDeluSu = 0.01, kRiguSu = 0.004;
constexpr double kIsorSu = 0.1;  // terminal atoms: twice the s.u.
// Bonded: distance below the sum of the covalent radii plus this (Angstrom).
constexpr double kBondTol = 0.5;

// Covalent radii (Angstrom) used for the bond search; others 1.2.
double CovRadius(const std::string& el) {
  static const std::map<std::string, double> r = {
      {"H", 0.32}, {"D", 0.32},  {"B", 0.82},  {"C", 0.77},  {"N", 0.71},  {"O", 0.66},
      {"F", 0.64}, {"SI", 1.17}, {"P", 1.10},  {"S", 1.04},  {"CL", 0.99}, {"BR", 1.14},
      {"I", 1.33}, {"SE", 1.17}, {"AS", 1.21}, {"GE", 1.22}, {"SN", 1.40}, {"AL", 1.18}};
  auto f = r.find(el);
  return f != r.end() ? f->second : 1.2;
}

struct Ctx {
  const std::vector<ShelxRestrAtom>& At;
  Eigen::Matrix3d M;  // fractional -> Cartesian
  std::vector<std::pair<int, std::string>>& Subs;
  std::vector<std::string>& Notes;
};

// Shortest lattice image of b seen from a: its translation and the distance.
double Closest(const Ctx& c, int a, int b, std::array<int, 3>& t) {
  double best = 1e30;
  t = {0, 0, 0};
  const auto& xa = c.At[static_cast<size_t>(a)].X;
  const auto& xb = c.At[static_cast<size_t>(b)].X;
  for (int i = -1; i <= 1; ++i)
    for (int j = -1; j <= 1; ++j)
      for (int k = -1; k <= 1; ++k) {
        const Eigen::Vector3d d(xb[0] + i - xa[0], xb[1] + j - xa[1], xb[2] + k - xa[2]);
        const double l = (c.M * d).norm();
        if (l < best) {
          best = l;
          t = {i, j, k};
        }
      }
  return best;
}

bool PartsMeet(const ShelxRestrAtom& a, const ShelxRestrAtom& b) {
  return a.Part == 0 || b.Part == 0 || a.Part == b.Part;
}

bool Bonded(const Ctx& c, int a, int b) {
  if (a == b) return false;
  const auto& x = c.At[static_cast<size_t>(a)];
  const auto& y = c.At[static_cast<size_t>(b)];
  if (!PartsMeet(x, y)) return false;
  std::array<int, 3> t;
  return Closest(c, a, b, t) < CovRadius(x.Element) + CovRadius(y.Element) + kBondTol;
}

// Name of atom b as seen from a: with the lattice translation of its closest image.
std::string Seen(const Ctx& c, int a, int b) {
  std::array<int, 3> t;
  Closest(c, a, b, t);
  const std::string& n = c.At[static_cast<size_t>(b)].Name;
  if (t == std::array<int, 3>{0, 0, 0}) return n;
  return fmt::format("{}#s1t{},{},{}", n, t[0], t[1], t[2]);
}

// Atom of a name in the context of a residue: "C1_2" names residue 2; a plain
// name is looked up in the residue first, then among all atoms.
int Resolve(const Ctx& c, const std::string& name, int residue) {
  std::string base = name;
  int res = residue;
  if (const auto u = name.find('_'); u != std::string::npos) {
    if (auto n = ToInt(name.substr(u + 1))) {
      base = name.substr(0, u);
      res = static_cast<int>(*n);
    }
  }
  for (size_t i = 0; res != 0 && i < c.At.size(); ++i)
    if (c.At[i].Residue == res && EqIgnoreCase(c.At[i].Written, base)) return static_cast<int>(i);
  for (size_t i = 0; i < c.At.size(); ++i)
    if (EqIgnoreCase(c.At[i].Name, name)) return static_cast<int>(i);
  return -1;
}

// Atoms of a list with "A > B" (file order) and "A < B" ranges; nullopt when a
// name is unknown or of a kind not handled ("$C" types, relative residues).
std::optional<std::vector<int>> AtomList(const Ctx& c, const std::vector<std::string>& w,
                                         int residue) {
  std::vector<int> out;
  for (size_t i = 0; i < w.size(); ++i) {
    if ((w[i] == ">" || w[i] == "<") && !out.empty() && i + 1 < w.size()) {
      const int to = Resolve(c, w[i + 1], residue);
      if (to < 0) return std::nullopt;
      const int from = out.back(), step = to >= from ? 1 : -1;
      for (int k = from + step; k != to + step; k += step) out.push_back(k);
      ++i;
      continue;
    }
    const int a = Resolve(c, w[i], residue);
    if (a < 0) return std::nullopt;
    out.push_back(a);
  }
  return out;
}

std::vector<int> NonH(const Ctx& c, const std::vector<int>& l) {
  std::vector<int> o;
  for (int a : l)
    if (!c.At[static_cast<size_t>(a)].Hydrogen) o.push_back(a);
  return o;
}

// 1,2 pairs (bonded) and 1,3 pairs (both bonded to a third atom of the list,
// not to each other) of the list.
void Pairs(const Ctx& c, const std::vector<int>& l, std::vector<std::pair<int, int>>& p12,
           std::vector<std::pair<int, int>>& p13) {
  for (size_t i = 0; i < l.size(); ++i)
    for (size_t j = i + 1; j < l.size(); ++j) {
      if (Bonded(c, l[i], l[j])) {
        p12.emplace_back(l[i], l[j]);
        continue;
      }
      if (!PartsMeet(c.At[static_cast<size_t>(l[i])], c.At[static_cast<size_t>(l[j])])) continue;
      for (int m : l)
        if (m != l[i] && m != l[j] && Bonded(c, l[i], m) && Bonded(c, m, l[j])) {
          p13.emplace_back(l[i], l[j]);
          break;
        }
    }
}

std::string PairText(const Ctx& c, const std::vector<std::pair<int, int>>& p) {
  std::string t;
  for (const auto& [a, b] : p)
    t += fmt::format("{}{} {}", t.empty() ? "" : "; ", c.At[static_cast<size_t>(a)].Name,
                     Seen(c, a, b));
  return t;
}

// Leading numbers of a card (at most n) and the rest (atom names).
std::vector<double> Numbers(const std::vector<std::string>& w, size_t n, size_t& used) {
  std::vector<double> v;
  used = 0;
  while (used < w.size() && v.size() < n) {
    auto r = ToReal(w[used]);
    if (!r) break;
    v.push_back(*r);
    ++used;
  }
  return v;
}

std::string R(double v) {
  return ShortestReal(v);
}

bool Terminal(const Ctx& c, int a) {
  int n = 0;
  for (size_t j = 0; j < c.At.size(); ++j)
    if (!c.At[j].Hydrogen && Bonded(c, a, static_cast<int>(j))) ++n;
  return n <= 1;
}

// One card in the context of a residue (0 none). Returns false when it
// cannot be converted.
bool Convert(const Ctx& c, const ShelxRestrCard& card, int residue) {
  const std::string k = ToUpper(card.Key.substr(0, std::min<size_t>(4, card.Key.size())));
  size_t used = 0;
  const std::vector<double> num = Numbers(card.Words, 3, used);
  const std::vector<std::string> names(card.Words.begin() + static_cast<long>(used),
                                       card.Words.end());
  std::vector<int> list;
  if (!names.empty()) {
    auto l = AtomList(c, names, residue);
    if (!l) return false;
    list = *l;
  } else if (k != "FLAT" && k != "EADP" && k != "EXYZ" && k != "SAME" && k != "CHIV") {
    for (size_t i = 0; i < c.At.size(); ++i) list.push_back(static_cast<int>(i));
  }
  auto num0 = [&](size_t i, double d) { return i < num.size() ? num[i] : d; };
  if (k == "DFIX" || k == "DANG" || k == "SADI") {
    const bool sadi = k == "SADI";
    if (!sadi && num.empty()) return false;
    const double d = sadi ? 0. : num[0];
    const double s = num0(sadi ? 0 : 1, k == "DFIX" ? kDfixSu : k == "DANG" ? kDangSu : kSadiSu);
    if (list.size() < 2 || list.size() % 2 != 0) return false;
    std::vector<std::pair<int, int>> p;
    for (size_t i = 0; i < list.size(); i += 2) p.emplace_back(list[i], list[i + 1]);
    c.Subs.emplace_back(RkDistFix, (sadi ? "= " + R(s) : R(d) + " " + R(s)) + " " + PairText(c, p));
    return true;
  }
  if (k == "FLAT") {
    const std::vector<int> l = list;
    if (l.size() < 4) return false;
    std::string t = R(num0(0, kFlatSu));
    for (int a : l) t += " " + c.At[static_cast<size_t>(a)].Name;
    c.Subs.emplace_back(RkPlaneFix, t);
    return true;
  }
  if (k == "CHIV") {
    // CHIV [V] [s] atoms: the volume of each atom with its three bonded
    // non-hydrogen neighbours (in file order).
    std::string items;
    for (int a : list) {
      std::vector<int> nb;
      for (size_t j = 0; j < c.At.size(); ++j)
        if (!c.At[j].Hydrogen && Bonded(c, a, static_cast<int>(j)))
          nb.push_back(static_cast<int>(j));
      if (nb.size() != 3) {
        c.Notes.push_back(fmt::format("CHIV: {} has not three non-hydrogen neighbours; skipped.",
                                      c.At[static_cast<size_t>(a)].Name));
        continue;
      }
      items += fmt::format("{}{}", items.empty() ? "" : "; ", c.At[static_cast<size_t>(a)].Name);
      for (int n : nb) items += " " + Seen(c, a, n);
    }
    if (items.empty()) return false;
    c.Subs.emplace_back(RkChivFix, R(num0(0, 0.)) + " " + R(num0(1, kChivSu)) + " " + items);
    return true;
  }
  if (k == "SIMU" || k == "ISOR") {
    const bool simu = k == "SIMU";
    const double s = num0(0, simu ? kSimuSu : kIsorSu), st = num0(1, 2. * s);
    const double dmax = num0(2, kSimuDmax);
    const std::vector<int> l = NonH(c, list);
    std::vector<std::pair<int, int>> ps, pt;  // pairs with s, with st
    std::string is, it;
    for (size_t i = 0; i < l.size(); ++i) {
      if (!simu) {
        (Terminal(c, l[i]) ? it : is) += " " + c.At[static_cast<size_t>(l[i])].Name;
        continue;
      }
      for (size_t j = i + 1; j < l.size(); ++j) {
        std::array<int, 3> t;
        if (!PartsMeet(c.At[static_cast<size_t>(l[i])], c.At[static_cast<size_t>(l[j])]) ||
            Closest(c, l[i], l[j], t) >= dmax)
          continue;
        (Terminal(c, l[i]) || Terminal(c, l[j]) ? pt : ps).emplace_back(l[i], l[j]);
      }
    }
    if (simu) {
      if (!ps.empty()) c.Subs.emplace_back(RkAdpFix, "simu " + R(s) + " " + PairText(c, ps));
      if (!pt.empty()) c.Subs.emplace_back(RkAdpFix, "simu " + R(st) + " " + PairText(c, pt));
      return !ps.empty() || !pt.empty();
    }
    if (!is.empty()) c.Subs.emplace_back(RkAdpFix, "isor " + R(s) + is);
    if (!it.empty()) c.Subs.emplace_back(RkAdpFix, "isor " + R(st) + it);
    return !is.empty() || !it.empty();
  }
  if (k == "DELU" || k == "RIGU") {
    const std::string sub = k == "DELU" ? "delu " : "rigu ";
    const double s1 = num0(0, k == "DELU" ? kDeluSu : kRiguSu), s2 = num0(1, s1);
    std::vector<std::pair<int, int>> p12, p13;
    Pairs(c, NonH(c, list), p12, p13);
    if (!p12.empty()) c.Subs.emplace_back(RkAdpFix, sub + R(s1) + " " + PairText(c, p12));
    if (!p13.empty()) c.Subs.emplace_back(RkAdpFix, sub + R(s2) + " " + PairText(c, p13));
    return !p12.empty() || !p13.empty();
  }
  if (k == "EADP" || k == "EXYZ") {
    if (list.size() < 2) return false;
    const auto& a0 = c.At[static_cast<size_t>(list[0])];
    for (size_t i = 1; i < list.size(); ++i) {
      const auto& a = c.At[static_cast<size_t>(list[i])];
      std::vector<std::string> par;
      if (k == "EXYZ") {
        par = {"x", "y", "z"};
      } else if (a.Aniso == a0.Aniso) {
        par = a.Aniso ? std::vector<std::string>{"U11", "U22", "U33", "U12", "U13", "U23"}
                      : std::vector<std::string>{"Uiso"};
      } else {
        return false;
      }
      for (const auto& q : par)
        c.Subs.emplace_back(RkEquation, fmt::format("{}[{}] = {}[{}]", q, a.Name, q, a0.Name));
    }
    return true;
  }
  if (k == "SAME") {
    // The listed atoms match, one to one, the atoms that follow the
    // instruction (hydrogen atoms skipped unless the list has some); every
    // 1,2 and 1,3 distance of the following atoms is kept equal to its
    // counterpart in the list.
    const double s1 = num0(0, kSameSu1), s2 = num0(1, 2. * s1);
    const bool withH = list.size() != NonH(c, list).size();
    std::vector<int> next;
    for (size_t i = static_cast<size_t>(card.NAtomsBefore);
         i < c.At.size() && next.size() < list.size(); ++i)
      if (withH || !c.At[i].Hydrogen) next.push_back(static_cast<int>(i));
    if (next.size() != list.size()) return false;
    std::map<int, int> partner;
    for (size_t i = 0; i < next.size(); ++i) partner[next[i]] = list[i];
    std::vector<std::pair<int, int>> p12, p13;
    Pairs(c, next, p12, p13);
    for (const auto* pp : {&p12, &p13})
      for (const auto& [a, b] : *pp) {
        const std::vector<std::pair<int, int>> two = {{a, b}, {partner[a], partner[b]}};
        c.Subs.emplace_back(RkDistFix, "= " + R(pp == &p12 ? s1 : s2) + " " + PairText(c, two));
      }
    return !p12.empty() || !p13.empty();
  }
  return false;
}

}  // namespace

bool ShelxIsRestraint(const std::string& key4) {
  static const std::set<std::string> k = {"DFIX", "DANG", "SADI", "SAME", "FLAT", "CHIV",
                                          "SIMU", "DELU", "RIGU", "ISOR", "EADP", "EXYZ"};
  return k.count(key4) != 0;
}

void ShelxRestraints(const std::vector<ShelxRestrCard>& cards,
                     const std::vector<ShelxRestrAtom>& atoms, const double* cell,
                     std::vector<std::pair<int, std::string>>& subs,
                     std::vector<const ShelxRestrCard*>& notConverted,
                     std::vector<std::string>& notes) {
  Ctx c{atoms, ToEigen(RefOrthoMatrix(cell)), subs, notes};
  for (const ShelxRestrCard& card : cards) {
    // "KEY_class" applies to every residue of the class, "KEY_n" to residue n.
    std::vector<int> residues = {card.Residue};
    if (const auto u = card.Key.find('_'); u != std::string::npos) {
      const std::string suffix = ToUpper(card.Key.substr(u + 1));
      residues.clear();
      if (auto n = ToInt(suffix)) {
        residues.push_back(static_cast<int>(*n));
      } else {
        for (const auto& a : atoms)
          if (a.Class == suffix && a.Residue != 0 &&
              std::find(residues.begin(), residues.end(), a.Residue) == residues.end())
            residues.push_back(a.Residue);
      }
    }
    bool ok = !residues.empty();
    const size_t first = subs.size();
    for (int r : residues) ok = Convert(c, card, r) && ok;
    // SADI over several residues: one command, so that all distances share one value.
    if (ToUpper(card.Key.substr(0, 4)) == "SADI" && subs.size() > first + 1) {
      std::string t = subs[first].second;
      for (size_t i = first + 1; i < subs.size(); ++i) {
        const std::string& u = subs[i].second;
        const auto sp = u.find(' ', 2);  // after "= s"
        t += ";" + u.substr(sp);
      }
      subs.resize(first + 1);
      subs[first].second = t;
    }
    if (!ok) notConverted.push_back(&card);
  }
}

}  // namespace tarn
