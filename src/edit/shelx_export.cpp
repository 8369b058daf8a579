#include "edit/shelx_export.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <regex>

#include "model/atom_edit.hpp"
#include "model/batch_edit.hpp"
#include "model/scatdata.hpp"
#include "refine/refine_listing.hpp"
#include "util/real_text.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr double kFixedCode = 10.;    // SHELX: 10 + value = value not refined
constexpr double kHklMax = 9999999.;  // largest Fo^2 that an 8-column field holds
constexpr double kTolTrans = 1e-6;    // translations compared modulo 1

// LATT number of a centring symbol (SHELX: 1 P, 2 I, 3 R, 4 F, 5 A, 6 B, 7 C).
int LattNumber(const std::string& s) {
  static constexpr std::string_view kL[] = {"P", "I", "R", "F", "A", "B", "C"};
  for (int i = 0; i < 7; ++i)
    if (s == kL[i]) return i + 1;
  return 0;
}

// "1/2", "1/3", "1/4", "1/6", "3/4" ... of a translation in [0, 1).
std::string Fraction(double t) {
  t -= std::floor(t);
  for (int d : {2, 3, 4, 6, 8, 12}) {
    const double n = t * d;
    if (std::fabs(n - std::round(n)) < 1e-6) {
      int a = static_cast<int>(std::lround(n)), b = d;
      const int g = std::gcd(a, b);
      return fmt::format("{}/{}", a / g, b / g);
    }
  }
  return fmt::format("{:.6f}", t);
}

// Whether two translations differ by a centring vector (modulo lattice).
bool SameModCentring(const PhaseSymmetry& ps, const double* a, const double* b) {
  for (int c = 0; c < std::max(1, ps.NLattVec); ++c) {
    bool same = true;
    for (int i = 0; i < 3; ++i) {
      double d = a[i] - b[i] - (ps.NLattVec > 0 ? ps.VT6[static_cast<size_t>(c)][i] : 0.);
      d -= std::round(d);
      same = same && std::fabs(d) < kTolTrans;
    }
    if (same) return true;
  }
  return false;
}

// The free-variable code of an atom's occupancy.
struct OccCode {
  int Fv = 0;          // free variable (0: none)
  bool Minus = false;  // 1 - fv
};

// A value in 8 columns with as many decimals (2 at most) as fit.
std::string F8(double v) {
  for (int d = 2; d > 0; --d) {
    std::string t = fmt::format("{:8.{}f}", v, d);
    if (t.size() == 8) return t;
  }
  return fmt::format("{:8.0f}", v);
}

std::string Num(double v) {
  return fmt::format("{:.6f}", v);
}

// A translation component as SHELX reads it: "", "1", "-1/2", "3/2" (with
// the sign it takes in front of the axis terms).
std::string TransText(double t) {
  for (int d : {1, 2, 3, 4, 6, 8, 12}) {
    const double n = t * d;
    if (std::fabs(n - std::round(n)) < 1e-6) {
      const int a = static_cast<int>(std::lround(n));
      if (a == 0) return "";
      const int g = std::gcd(std::abs(a), d);
      return d / g == 1 ? fmt::format("{}", a / g) : fmt::format("{}/{}", a / g, d / g);
    }
  }
  return fmt::format("{:.6f}", t);
}

// Atom names of the restraints with their symmetry parts ("C1#s2t1,0,0")
// as SHELX names with EQIV codes ("C1_$1"); the EQIV lines collect in order.
class EqivNames {
 public:
  explicit EqivNames(const PhaseSymmetry& ps) : ps_(ps) {}
  // False when the symmetry part does not read.
  bool Name(const std::string& atom, std::string& out) {
    const auto h = atom.find('#');
    if (h == std::string::npos) {
      out = atom;
      return true;
    }
    static const std::regex part(R"(^s(\d+)(?:c(\d+))?(?:t(-?\d+),(-?\d+),(-?\d+))?$)",
                                 std::regex::icase);
    std::smatch m;
    const std::string tail = atom.substr(h + 1);
    if (!std::regex_match(tail, m, part)) return false;
    const int op = std::stoi(m[1].str()), ce = m[2].matched ? std::stoi(m[2].str()) : 1;
    if (op < 1 || op > ps_.NSymm || ce < 1 || ce > std::max(1, ps_.NLattVec)) return false;
    const SymmOp& o = ps_.Op[static_cast<size_t>(op - 1)];
    std::string text;
    for (int r = 0; r < 3; ++r) {
      double t =
          o.S6[static_cast<size_t>(r)] +
          (ps_.NLattVec > 0 ? ps_.VT6[static_cast<size_t>(ce - 1)][static_cast<size_t>(r)] : 0.);
      if (m[3].matched) t += std::stoi(m[static_cast<size_t>(3 + r)].str());
      std::string c = TransText(t);
      for (int q = 0; q < 3; ++q) {
        const double v = o.RM[static_cast<size_t>(3 * r + q)];
        if (std::fabs(v) < 1e-9) continue;
        c += (v > 0 ? (c.empty() ? "" : "+") : "-") + std::string(1, "XYZ"[q]);
      }
      text += (r ? "," : "") + c;
    }
    auto it = std::find(eqiv_.begin(), eqiv_.end(), text);
    if (it == eqiv_.end()) it = eqiv_.insert(eqiv_.end(), text);
    out = fmt::format("{}_${}", atom.substr(0, h), it - eqiv_.begin() + 1);
    return true;
  }
  std::string Lines() const {
    std::string o;
    for (size_t k = 0; k < eqiv_.size(); ++k) o += fmt::format("EQIV ${} {}\n", k + 1, eqiv_[k]);
    return o;
  }

 private:
  const PhaseSymmetry& ps_;
  std::vector<std::string> eqiv_;
};

// The SHELX import's view of two atoms (by name): bonded, and of PARTs that
// meet (one of them 0, or the same).
struct BondTest {
  std::function<bool(const std::string&, const std::string&)> Bonded, PartsMeet;
};

// PART of the disorder groups, kept by the SHELX import as "! PART n: names"
// lines of the M40 command text: upper-case name -> part.
std::map<std::string, int> PartsOf(const Structure& st) {
  std::map<std::string, int> partOf;
  const std::regex partLine(R"(^\s*!\s*PART\s+(-?\d+)\s*:(.*)$)", std::regex::icase);
  for (const auto& l : st.Model.Commands) {
    std::smatch m;
    if (!std::regex_match(l, m, partLine)) continue;
    const int n = std::stoi(m[1].str());
    for (const auto& name : SplitWords(m[2].str())) partOf[ToUpper(name)] = n;
  }
  return partOf;
}

// The bond rule of the SHELX import: the closest lattice image nearer than
// the sum of the covalent radii (Angstrom; others 1.2) plus 0.5 A, PARTs
// meeting.
BondTest ShelxBondTest(const Structure& st, int phase) {
  static const std::map<std::string, double> rcov = {
      {"H", 0.32}, {"D", 0.32},  {"B", 0.82},  {"C", 0.77},  {"N", 0.71},  {"O", 0.66},
      {"F", 0.64}, {"SI", 1.17}, {"P", 1.10},  {"S", 1.04},  {"CL", 0.99}, {"BR", 1.14},
      {"I", 1.33}, {"SE", 1.17}, {"AS", 1.21}, {"GE", 1.22}, {"SN", 1.40}, {"AL", 1.18}};
  struct Site {
    std::array<double, 3> X;
    double R;
    int Part;
  };
  auto sites = std::make_shared<std::map<std::string, Site>>();
  const auto parts = PartsOf(st);
  for (const AtomRec& a : st.Model.Atom) {
    if (a.Phase != phase) continue;
    const std::string up = ToUpper(a.Name), el = ToUpper(EM40AtomElement(st, a));
    const auto r = rcov.find(el);
    const auto pa = parts.find(up);
    (*sites)[up] = {{a.Par.Val[1], a.Par.Val[2], a.Par.Val[3]},
                    r != rcov.end() ? r->second : 1.2,
                    pa != parts.end() ? pa->second : 0};
  }
  const std::array<double, 9> m =
      RefOrthoMatrix(st.Basic.Phase[static_cast<size_t>(phase - 1)].Cell);
  auto meet = [sites](const std::string& a, const std::string& b) {
    const auto i = sites->find(ToUpper(a)), j = sites->find(ToUpper(b));
    if (i == sites->end() || j == sites->end()) return false;
    return i->second.Part == 0 || j->second.Part == 0 || i->second.Part == j->second.Part;
  };
  auto bonded = [sites, m, meet](const std::string& a, const std::string& b) {
    if (!meet(a, b) || EqIgnoreCase(a, b)) return false;
    const Site &p = sites->at(ToUpper(a)), &q = sites->at(ToUpper(b));
    double best = 1e30;
    for (int i = -1; i <= 1; ++i)
      for (int j = -1; j <= 1; ++j)
        for (int k = -1; k <= 1; ++k) {
          const double d[3] = {q.X[0] + i - p.X[0], q.X[1] + j - p.X[1], q.X[2] + k - p.X[2]};
          double l2 = 0.;
          for (int r = 0; r < 3; ++r) {
            const double c = m[3 * r] * d[0] + m[3 * r + 1] * d[1] + m[3 * r + 2] * d[2];
            l2 += c * c;
          }
          best = std::min(best, l2);
        }
    return std::sqrt(best) < p.R + q.R + 0.5;
  };
  return {bonded, meet};
}

// One pair of a rigid-bond restraint: atoms, s.u. as written, the line.
struct RigidPair {
  std::string A, B, Su, Line;
};

// DELU or RIGU cards of the restrained pairs. SHELX applies such a card to
// the bonded (1,2) pairs of its atoms with s1 and to the pairs bonded to a
// common atom of the card (1,3) with s2, so a 1,3 pair alone on a card would
// be lost. The pairs are therefore taken in groups connected through shared
// atoms (a pair restrained twice, as by two overlapping cards, goes to a
// second layer of groups): a group whose atoms give back exactly its pairs,
// one s.u. for the 1,2 and one for the 1,3 pairs, is one card with all its
// atoms; otherwise each pair is a card of its own, and a pair that is not
// bonded (which SHELX would not restrain) is named in `notes`.
template <class Wrap>
std::string RigidCards(const std::string& sub, const std::vector<RigidPair>& pairs,
                       const BondTest& test, std::vector<std::string>& notes, Wrap wrap) {
  std::vector<std::string> atoms;  // upper-case names, first seen first
  std::map<std::string, std::string> spelled;
  auto id = [&](const std::string& n) {
    const std::string u = ToUpper(n);
    const auto it = std::find(atoms.begin(), atoms.end(), u);
    if (it != atoms.end()) return static_cast<int>(it - atoms.begin());
    atoms.push_back(u);
    spelled[u] = n;
    return static_cast<int>(atoms.size() - 1);
  };
  std::vector<std::pair<int, int>> ids;
  std::vector<int> layer;
  std::map<std::pair<int, int>, int> seen;
  for (const RigidPair& p : pairs) {
    const int a = id(p.A), b = id(p.B);
    ids.emplace_back(std::min(a, b), std::max(a, b));
    layer.push_back(seen[ids.back()]++);
  }
  auto bond = [&](int a, int b) {
    return test.Bonded(atoms[static_cast<size_t>(a)], atoms[static_cast<size_t>(b)]);
  };
  std::string cards;
  for (int lay = 0; std::find(layer.begin(), layer.end(), lay) != layer.end(); ++lay) {
    std::vector<int> root(atoms.size());
    std::iota(root.begin(), root.end(), 0);
    std::function<int(int)> find = [&](int i) {
      const auto u = static_cast<size_t>(i);
      return root[u] == i ? i : root[u] = find(root[u]);
    };
    for (size_t k = 0; k < ids.size(); ++k)
      if (layer[k] == lay) root[static_cast<size_t>(find(ids[k].first))] = find(ids[k].second);
    std::vector<bool> done(atoms.size(), false);
    for (size_t k0 = 0; k0 < ids.size(); ++k0) {
      if (layer[k0] != lay) continue;
      const int g = find(ids[k0].first);
      if (done[static_cast<size_t>(g)]) continue;
      done[static_cast<size_t>(g)] = true;
      std::vector<int> members;
      std::vector<size_t> mine;  // pairs of the group
      for (size_t k = 0; k < ids.size(); ++k) {
        if (layer[k] != lay || find(ids[k].first) != g) continue;
        mine.push_back(k);
        for (int a : {ids[k].first, ids[k].second})
          if (std::find(members.begin(), members.end(), a) == members.end()) members.push_back(a);
      }
      // The pairs a card of all the members restrains: 1,2 and 1,3.
      std::map<std::pair<int, int>, bool> implied;  // pair -> is 1,2
      for (size_t i = 0; i < members.size(); ++i)
        for (size_t j = i + 1; j < members.size(); ++j) {
          const int a = std::min(members[i], members[j]), b = std::max(members[i], members[j]);
          if (bond(a, b)) {
            implied[{a, b}] = true;
            continue;
          }
          if (!test.PartsMeet(atoms[static_cast<size_t>(a)], atoms[static_cast<size_t>(b)]))
            continue;
          for (int m : members)
            if (m != a && m != b && bond(a, m) && bond(m, b)) {
              implied[{a, b}] = false;
              break;
            }
        }
      std::string s12, s13;
      bool exact = implied.size() == mine.size();
      for (size_t k : mine) {
        const auto f = implied.find(ids[k]);
        if (f == implied.end()) {
          exact = false;
          break;
        }
        std::string& su = f->second ? s12 : s13;
        if (!su.empty() && su != pairs[k].Su) exact = false;
        su = pairs[k].Su;
      }
      if (exact && !s12.empty()) {
        std::string line = sub + " " + s12 + " " + (s13.empty() ? s12 : s13);
        for (int m : members) line += " " + spelled[atoms[static_cast<size_t>(m)]];
        cards += wrap(line);
        continue;
      }
      for (size_t k : mine) {
        const RigidPair& p = pairs[k];
        cards += wrap(sub + " " + p.Su + " " + p.Su + " " + p.A + " " + p.B);
        if (!bond(ids[k].first, ids[k].second))
          notes.push_back(
              fmt::format("Restraint not expressed: {} (pair {} {}: not bonded, and "
                          "the atoms of its group do not give back its pairs)",
                          p.Line, p.A, p.B));
      }
    }
  }
  return cards;
}

// The SHELX instructions of the refinement block's restraints: distfix as
// DFIX (a value) or SADI ("="), planefix FLAT, chivfix CHIV, adpfix SIMU,
// DELU, RIGU (one instruction per pair, both s.u. the item's) and ISOR.
// Lines with the optimal target ("*"), anglefix and torsfix have no SHELX
// form and are named in notes.
std::string RestraintCards(const RefSettings& ref, const PhaseSymmetry& ps, const BondTest& bonded,
                           std::vector<std::string>& notes) {
  EqivNames eq(ps);
  std::string cards;
  std::map<std::string, std::vector<RigidPair>> rigid;  // DELU, RIGU pairs without symmetry
  auto wrap = [](std::string line) {
    // SHELX lines end at 80 characters; "=" continues them.
    std::string out;
    while (line.size() > 78) {
      size_t cut = line.rfind(' ', 76);
      if (cut == std::string::npos || cut == 0) break;
      out += line.substr(0, cut) + " =\n";
      line = "    " + line.substr(cut + 1);
    }
    return out + line + "\n";
  };
  auto items = [](const std::string& text) { return SplitOn(text, ";"); };
  for (int k : {RkDistFix, RkAngleFix, RkTorsFix, RkPlaneFix, RkChivFix, RkAdpFix, RkMagmFix}) {
    for (const RefCmdLine& l : ref.EditLines[static_cast<size_t>(k - RefFirstSpecial)]) {
      if (l.Disabled) continue;
      const std::string kw(RefKeyDefs()[static_cast<size_t>(k - 1)].Name);
      auto skip = [&] {
        notes.push_back(fmt::format("Restraint not expressed: {} {}", kw, l.Text));
      };
      auto head = SplitWords(items(l.Text)[0]);
      std::string sub;
      if (k == RkAdpFix && !head.empty()) {
        sub = ToUpper(head[0]);
        head.erase(head.begin());
      }
      const size_t nnum = k == RkPlaneFix || k == RkAdpFix ? 1 : 2;
      if (k == RkAngleFix || k == RkTorsFix || k == RkMagmFix || head.size() < nnum ||
          head[0] == "*" ||
          (k == RkAdpFix && sub != "SIMU" && sub != "DELU" && sub != "RIGU" && sub != "ISOR")) {
        skip();
        continue;
      }
      // Items: the first after the numbers, the rest whole.
      std::vector<std::vector<std::string>> it;
      it.emplace_back(head.begin() + static_cast<long>(nnum), head.end());
      const auto parts = items(l.Text);
      for (size_t i = 1; i < parts.size(); ++i) it.push_back(SplitWords(parts[i]));
      bool ok = true;
      for (auto& item : it)
        for (auto& a : item) ok = ok && eq.Name(a, a);
      if (!ok) {
        skip();
        continue;
      }
      auto joined = [](const std::vector<std::string>& v) {
        std::string t;
        for (const auto& a : v) t += " " + a;
        return t;
      };
      if (k == RkDistFix) {
        std::string line = head[0] == "=" ? "SADI " + head[1] : "DFIX " + head[0] + " " + head[1];
        for (const auto& item : it) line += joined(item);
        cards += wrap(line);
      } else if (k == RkPlaneFix) {
        for (const auto& item : it) cards += wrap("FLAT " + head[0] + joined(item));
      } else if (k == RkChivFix) {
        // CHIV takes the central atom; SHELX finds its neighbours itself.
        std::string line = "CHIV " + (head[0] == "=" ? std::string("0") : head[0]) + " " + head[1];
        for (const auto& item : it)
          if (!item.empty()) line += " " + item[0];
        cards += wrap(line);
      } else if (sub == "ISOR") {
        std::string line = "ISOR " + head[0] + " " + head[0];
        for (const auto& item : it) line += joined(item);
        cards += wrap(line);
      } else {
        // One instruction per pair: SHELX would otherwise take every pair of the list.
        // Pairs of DELU and RIGU in the asymmetric unit are grouped afterwards.
        for (const auto& item : it) {
          if (sub != "SIMU" && item.size() == 2 && item[0].find('$') == std::string::npos &&
              item[1].find('$') == std::string::npos) {
            rigid[sub].push_back({item[0], item[1], head[0], kw + " " + l.Text});
            continue;
          }
          cards += wrap(sub + " " + head[0] + " " + head[0] + (sub == "SIMU" ? " 99" : "") +
                        joined(item));
        }
      }
    }
  }
  for (const auto& [sub, pairs] : rigid) cards += RigidCards(sub, pairs, bonded, notes, wrap);
  return eq.Lines() + cards;
}

// TWIN and BASF of the twin domains when they are the powers R^0..R^(n-1) of
// one matrix (N = n), or those followed by their negatives (N = -2n); false
// when the domains have no such form.
bool TwinCards(const BasicData& b, const DatBlockModel* dm, std::string& out) {
  const auto& t = b.Twin;
  if (t.size() < 2 || !dm || dm->Twin.size() != static_cast<int>(t.size())) return t.size() < 2;
  auto mul = [](const std::vector<double>& x, const std::vector<double>& y) {
    std::vector<double> z(9, 0.);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        for (int q = 0; q < 3; ++q)
          z[static_cast<size_t>(3 * i + j)] +=
              x[static_cast<size_t>(3 * i + q)] * y[static_cast<size_t>(3 * q + j)];
    return z;
  };
  auto same = [](const std::vector<double>& x, const std::vector<double>& y, double sign) {
    for (size_t i = 0; i < 9; ++i)
      if (std::fabs(x[i] - sign * y[i]) > 1e-6) return false;
    return true;
  };
  for (const auto& m : t)
    if (m.size() < 9) return false;
  const std::vector<double> id = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  auto powers = [&](size_t n, const std::vector<double>& r) {
    std::vector<double> cur = id;
    for (size_t k = 0; k < n; ++k, cur = mul(r, cur))
      if (!same(t[k], cur, 1.)) return false;
    return true;
  };
  int n = 0;
  std::vector<double> r = id;
  if (t.size() % 2 == 0) {  // R^0..R^(h-1) and their negatives: N = -2h
    const size_t h = t.size() / 2;
    if (h > 1) r.assign(t[1].begin(), t[1].begin() + 9);
    bool ok = powers(h, r);
    for (size_t k = 0; ok && k < h; ++k) ok = same(t[h + k], t[k], -1.);
    if (ok) n = -static_cast<int>(t.size());
  }
  if (n == 0) {
    r.assign(t[1].begin(), t[1].begin() + 9);
    if (powers(t.size(), r)) n = static_cast<int>(t.size());
  }
  if (n == 0) return false;
  out = "TWIN";
  for (int i = 0; i < 9; ++i) out += " " + ShortestReal(r[static_cast<size_t>(i)]);
  out += fmt::format(" {}\nBASF", n);
  for (int k = 1; k < dm->Twin.size(); ++k)
    out += fmt::format(" {:.5f}", dm->Twin.Val[static_cast<size_t>(k)]);
  out += "\n";
  return true;
}

}  // namespace

std::string EM40ShelxSymmText(const SymmOp& op) {
  std::string out;
  for (int r = 0; r < 3; ++r) {
    std::string c;
    if (std::fabs(op.S6[static_cast<size_t>(r)] - std::round(op.S6[static_cast<size_t>(r)])) >
        kTolTrans)
      c = Fraction(op.S6[static_cast<size_t>(r)]);
    for (int q = 0; q < 3; ++q) {
      const double m = op.RM[static_cast<size_t>(3 * r + q)];
      if (std::fabs(m) < 1e-9) continue;
      const char axis = "XYZ"[q];
      if (m > 0)
        c += (c.empty() ? "" : "+") + std::string(1, axis);
      else
        c += "-" + std::string(1, axis);
    }
    out += (r ? "," : "") + c;
  }
  return out;
}

std::string EM40ShelxHkl(const std::vector<ShelxHklRefl>& refl, double& scale) {
  double top = 0.;
  for (const auto& r : refl) top = std::max({top, std::fabs(r.I), r.SigI});
  scale = top > kHklMax ? kHklMax / top : 1.;
  std::string out;
  for (const auto& r : refl)
    out += fmt::format("{:4d}{:4d}{:4d}{}{}\n", r.H[0], r.H[1], r.H[2], F8(r.I * scale),
                       F8(r.SigI * scale));
  out += fmt::format("{:4d}{:4d}{:4d}{:8.2f}{:8.2f}\n", 0, 0, 0, 0., 0.);
  return out;
}

std::string EM40XdHkl(const std::vector<ShelxHklRefl>& refl, const std::string& name) {
  std::string n;
  for (char ch : name)
    if (!std::isspace(static_cast<unsigned char>(ch))) n += ch;
  std::string out = fmt::format("{} F^2 NDAT 7\n", n.empty() ? "XD" : n);
  for (const auto& r : refl)
    out += fmt::format("{:4d}{:4d}{:4d}{:4d} {:13.4f} {:13.4f}\n", r.H[0], r.H[1], r.H[2], 1, r.I,
                       r.SigI);
  return out;
}

int EM40ShelxIns(const Structure& st, int phase, int datBlock, const RefSettings& ref,
                 double hklScale, std::string& ins, std::vector<std::string>& notes,
                 std::string& why) {
  if (phase < 1 || phase > static_cast<int>(st.Basic.Phase.size()) || datBlock < 1 ||
      datBlock > static_cast<int>(st.Basic.DatBlock.size())) {
    why = "The structure has no such phase or data block.";
    return 1;
  }
  const PhaseBasic& p = st.Basic.Phase[static_cast<size_t>(phase - 1)];
  const DatBlockBasic& db = st.Basic.DatBlock[static_cast<size_t>(datBlock - 1)];
  const PhaseSymmetry& ps = p.Symmetry;
  if (p.NDim > 3) {
    why = "A modulated structure cannot be written for SHELX.";
    return 1;
  }
  const int latt = LattNumber(p.Lattice);
  if (latt == 0) {
    why = fmt::format("The centring \"{}\" has no SHELX LATT number.", p.Lattice);
    return 1;
  }
  // Inversion at the origin (modulo centring)?
  bool centro = false;
  const double zero[3] = {0., 0., 0.};
  for (int k = 0; k < ps.NSymm; ++k) {
    const SymmOp& o = ps.Op[static_cast<size_t>(k)];
    bool inv = true;
    for (int i = 0; i < 9; ++i)
      inv = inv && o.RM[static_cast<size_t>(i)] == (i % 4 == 0 ? -1. : 0.);
    if (inv && SameModCentring(ps, o.S6.data(), zero)) centro = true;
  }
  std::string o;
  o += "TITL " + (st.Basic.Title.empty() ? std::string("structure") : st.Basic.Title) + "\n";
  o += "CELL " + ShortestReal(db.Lambda);
  for (double c : p.Cell) o += " " + ShortestReal(c);
  o += fmt::format("\nZERR {}", p.UnitsNumb);
  for (double c : p.CellSU) o += " " + ShortestReal(c);
  o += "\n";
  o += fmt::format("LATT {}\n", centro ? latt : -latt);
  // One operator per coset of the centring (and of the inversion when LATT > 0).
  std::vector<const SymmOp*> listed;
  for (int k = 1; k < ps.NSymm; ++k) {
    const SymmOp& a = ps.Op[static_cast<size_t>(k)];
    bool isId = true;
    for (int i = 0; i < 9; ++i)
      isId = isId && a.RM[static_cast<size_t>(i)] == (i % 4 == 0 ? 1. : 0.);
    if (isId) continue;
    bool dup = false;
    for (const SymmOp* b : listed) {
      if (!centro) break;
      bool neg = true;
      for (int i = 0; i < 9; ++i)
        neg = neg && a.RM[static_cast<size_t>(i)] == -b->RM[static_cast<size_t>(i)];
      const double t[3] = {-b->S6[0], -b->S6[1], -b->S6[2]};
      if (neg && SameModCentring(ps, a.S6.data(), t)) dup = true;
    }
    if (centro) {
      bool inv = true;
      for (int i = 0; i < 9; ++i)
        inv = inv && a.RM[static_cast<size_t>(i)] == (i % 4 == 0 ? -1. : 0.);
      if (inv) continue;
    }
    if (!dup) listed.push_back(&a);
  }
  for (const SymmOp* a : listed) o += "SYMM " + EM40ShelxSymmText(*a) + "\n";
  // SFAC / UNIT.
  const double order = static_cast<double>(ps.NSymm) * std::max(1, ps.NLattVec);
  std::vector<double> unit(p.AtType.size(), 0.);
  bool formula = !p.AtTypeData.empty();
  for (size_t t = 0; t < p.AtType.size(); ++t) {
    if (t < p.AtTypeData.size() && p.AtTypeData[t].Formula)
      unit[t] = *p.AtTypeData[t].Formula * p.UnitsNumb;
    else
      formula = false;
  }
  if (!formula) {
    std::fill(unit.begin(), unit.end(), 0.);
    for (const AtomRec& a : st.Model.Atom)
      if (a.Phase == phase && a.Type >= 1 && a.Type <= static_cast<int>(unit.size()))
        unit[static_cast<size_t>(a.Type - 1)] +=
            a.Par.Val[static_cast<size_t>(AtomLayout(a.Shape).Off[BlkOcc])] * order;
  }
  o += "SFAC";
  for (const auto& t : p.AtType) {
    auto n = ScatParseName(t);
    o += " " + (n ? n->Element : t);
    if (n && (n->Charge != 0 || !n->Suffix.empty()))
      notes.push_back(fmt::format("Atom type {} is written as the neutral {}.", t, n->Element));
  }
  o += "\nUNIT";
  for (double u : unit) o += fmt::format(" {}", ShortestReal(std::round(u * 100.) / 100.));
  o += "\n";
  if (db.DatCollTemp) o += fmt::format("TEMP {:.1f}\n", *db.DatCollTemp - 273.15);
  o += fmt::format("L.S. {}\n", ref.Edit.I(RkCycles));
  if (ref.Edit.I(RkShelxW) == 1)
    o += fmt::format("WGHT {:.6f} {:.6f}\n", 2. * ref.Edit.R(RkUnstab), ref.Edit.R(RkUnstab2));
  else
    notes.push_back("The weighting scheme is not SHELX's: WGHT is left to its default.");
  // Twin domains and restraints.
  {
    const DatBlockModel* dm = datBlock <= static_cast<int>(st.Model.DatBlock.size())
                                  ? &st.Model.DatBlock[static_cast<size_t>(datBlock - 1)]
                                  : nullptr;
    std::string twin;
    if (!TwinCards(st.Basic, dm, twin))
      notes.push_back("The twin domains are not powers of one matrix: TWIN is left out.");
    o += twin;
  }
  o += RestraintCards(ref, ps, ShelxBondTest(st, phase), notes);
  // Refinement lines: occupancy ties and riding groups.
  auto lines = [&](int k) -> const std::vector<RefCmdLine>& {
    return ref.EditLines[static_cast<size_t>(k - RefFirstSpecial)];
  };
  std::map<std::string, OccCode> occ;  // upper-case atom name -> code
  int nfv = 1;
  std::vector<int> fvLeader;  // atom index of each free variable (from 2)
  const std::regex tie(R"(^\s*ai\[([^\]]+)\]\s*=\s*(1\s*-\s*)?ai\[([^\]]+)\]\s*$)",
                       std::regex::icase);
  // Equal ADP: the six "Uij[A] = Uij[B]" of a pair (or "Uiso[A] = Uiso[B]")
  // become "EADP B A".
  const std::regex eqU(R"(^\s*(U11|U22|U33|U12|U13|U23|Uiso)\[([^\]]+)\]\s*=\s*\1\[([^\]]+)\]\s*$)",
                       std::regex::icase);
  std::map<std::pair<std::string, std::string>, int> eadp;  // (lead, dep) -> terms seen
  std::vector<std::pair<std::string, std::string>> eadpOrder;
  for (const RefCmdLine& l : lines(RkEquation)) {
    std::smatch m;
    if (l.Disabled || !std::regex_match(l.Text, m, eqU)) continue;
    const auto key = std::make_pair(m[3].str(), m[2].str());
    if (eadp[key]++ == 0) eadpOrder.push_back(key);
    if (EqIgnoreCase(m[1].str(), "Uiso")) eadp[key] = 6;
  }
  for (const auto& k : eadpOrder)
    if (eadp[k] == 6) o += fmt::format("EADP {} {}\n", k.first, k.second);
  for (const RefCmdLine& l : lines(RkEquation)) {
    if (l.Disabled) continue;
    std::smatch m;
    if (std::regex_match(l.Text, m, eqU) && eadp[std::make_pair(m[3].str(), m[2].str())] == 6)
      continue;
    if (!std::regex_match(l.Text, m, tie)) {
      notes.push_back("Equation not expressed: " + l.Text);
      continue;
    }
    const std::string dep = ToUpper(m[1].str()), lead = ToUpper(m[3].str());
    OccCode& c = occ[lead];
    if (c.Fv == 0) {
      c.Fv = ++nfv;
      fvLeader.push_back(EM40FindAtom(st.Model, lead));
    }
    occ[dep] = OccCode{c.Fv, c.Minus != !m[2].str().empty()};
  }
  // keep hydro: parent -> (AFIX code, hydrogens); keep ADP riding: H -> factor.
  std::map<std::string, std::pair<int, std::vector<std::string>>> afix;
  std::map<std::string, std::string> parentOf;
  std::map<std::string, double> riding;
  for (const RefCmdLine& l : lines(RkKeep)) {
    if (l.Disabled) continue;
    const auto w = SplitWords(l.Text);
    if (w.size() >= 4 && EqIgnoreCase(w[0], "hydro")) {
      const bool apical = EqIgnoreCase(w[1], "apical");
      const size_t nn = static_cast<size_t>(ToInt(w[3]).value_or(0));
      const size_t nh =
          apical ? 1 : static_cast<size_t>(w.size() > 4 ? ToInt(w[4]).value_or(0) : 0);
      const size_t first = (apical ? 4 : 5) + nn + 1;
      if (first + nh > w.size()) continue;
      int code = 0;
      if (apical)
        code = 13;
      else if (EqIgnoreCase(w[1], "tetrahed") && nn == 1 && nh == 3)
        code = 137;
      else if (EqIgnoreCase(w[1], "tetrahed") && nn == 2 && nh == 2)
        code = 23;
      else if (EqIgnoreCase(w[1], "tetrahed") && nn == 1 && nh == 1)
        code = 147;
      else if (EqIgnoreCase(w[1], "triang") && nn == 2 && nh == 1)
        code = 43;
      else if (EqIgnoreCase(w[1], "triang") && nn == 1 && nh == 2)
        code = 93;
      if (code == 0) {
        notes.push_back("Keep command not expressed: keep " + l.Text);
        continue;
      }
      auto& g = afix[ToUpper(w[2])];
      g.first = code;
      for (size_t i = first; i < first + nh; ++i) {
        g.second.push_back(ToUpper(w[i]));
        parentOf[ToUpper(w[i])] = ToUpper(w[2]);
      }
    } else if (w.size() >= 4 && EqIgnoreCase(w[0], "ADP") && EqIgnoreCase(w[1], "riding")) {
      const double f = ToReal(w[3]).value_or(1.2);
      for (size_t i = 4; i < w.size(); ++i) riding[ToUpper(w[i])] = f;
    } else if (!EqIgnoreCase(w.empty() ? "" : w[0], "hydro")) {
      notes.push_back("Keep command not expressed: keep " + l.Text);
    }
  }
  // Scale, extinction, free variables.
  const DatBlockModel* dm = datBlock <= static_cast<int>(st.Model.DatBlock.size())
                                ? &st.Model.DatBlock[static_cast<size_t>(datBlock - 1)]
                                : nullptr;
  if (dm && dm->ExtType == ExtShelx && dm->Ext.size() > 0)
    o += fmt::format("EXTI {:.6f}\n", dm->Ext.Val[0]);
  else if (dm && dm->ExtType != ExtNone)
    notes.push_back("The extinction model has no SHELX form and is left out.");
  const double osf = (dm && dm->Scale.size() > 0 ? dm->Scale.Val[0] : 1.) * std::sqrt(hklScale);
  o += fmt::format("FVAR {:.5f}", osf);
  for (int a : fvLeader) {
    double v = 0.5;
    if (a >= 0) {
      const AtomRec& at = st.Model.Atom[static_cast<size_t>(a)];
      v = at.Par.Val[static_cast<size_t>(AtomLayout(at.Shape).Off[BlkOcc])] /
          EM40SiteFactor(st, at);
    }
    o += fmt::format(" {:.5f}", v);
  }
  o += "\n";
  // Atoms: hydrogens of an AFIX group follow their parent.
  auto atomLine = [&](const AtomRec& a) {
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    const std::string up = ToUpper(a.Name);
    if (a.Name.size() > 4)
      notes.push_back(
          fmt::format("The name {} is longer than the 4 characters of SHELXL.", a.Name));
    std::string l = fmt::format("{:<5} {}", a.Name, a.Type);
    for (int k = 0; k < 3; ++k) {
      const size_t i = static_cast<size_t>(lay.Off[BlkPos] + k);
      const bool fixed = a.Par.Key[i] == 0 || parentOf.count(up);
      l += " " + Num(a.Par.Val[i] + (fixed && !parentOf.count(up) ? kFixedCode : 0.));
    }
    const size_t io = static_cast<size_t>(lay.Off[BlkOcc]);
    const double site = EM40SiteFactor(st, a);
    if (auto it = occ.find(up); it != occ.end()) {
      const double c = (it->second.Minus ? -1. : 1.) * (10. * it->second.Fv + site);
      l += " " + fmt::format("{:.5f}", c);
    } else {
      l += " " + fmt::format("{:.5f}", a.Par.Val[io] + (a.Par.Key[io] == 0 ? kFixedCode : 0.));
    }
    const int adp = lay.Off[BlkAdp];
    if (a.Shape.AdpOrder == 1) {
      if (auto r = riding.find(up); r != riding.end())
        l += fmt::format(" {:.2f}", -r->second);
      else
        l += " " + fmt::format("{:.5f}",
                               a.Par.Val[static_cast<size_t>(adp)] +
                                   (a.Par.Key[static_cast<size_t>(adp)] == 0 ? kFixedCode : 0.));
      return l + "\n";
    }
    if (a.Shape.AdpOrder > 2)
      notes.push_back(fmt::format("{}: the anharmonic terms are left out.", a.Name));
    double u[6];
    for (int c = 0; c < 6; ++c) u[c] = BetaToU(p, c, a.Par.Val[static_cast<size_t>(adp + c)]);
    // SHELX order U11 U22 U33 U23 U13 U12.
    l += fmt::format(" {:.5f} {:.5f} =\n    {:.5f} {:.5f} {:.5f} {:.5f}\n", u[0], u[1], u[2], u[5],
                     u[4], u[3]);
    return l;
  };
  // PART of the disorder groups, kept by the SHELX import as "! PART n: names"
  // lines of the M40 command text; hydrogens go with their parent.
  std::map<std::string, int> partOf = PartsOf(st);
  int part = 0;
  for (const AtomRec& a : st.Model.Atom) {
    if (a.Phase != phase) continue;
    const std::string up = ToUpper(a.Name);
    if (parentOf.count(up)) continue;  // written with its parent
    const int pa = partOf.count(up) ? partOf[up] : 0;
    if (pa != part) o += fmt::format("PART {}\n", part = pa);
    if (a.Shape.NWave != std::array<int, NParKinds>{} || a.Shape.MagPar > 0)
      notes.push_back(fmt::format("{}: modulation and magnetic terms are left out.", a.Name));
    o += atomLine(a);
    if (auto g = afix.find(up); g != afix.end()) {
      o += fmt::format("AFIX {}\n", g->second.first);
      for (const auto& h : g->second.second) {
        const int i = EM40FindAtom(st.Model, h);
        if (i >= 0) o += atomLine(st.Model.Atom[static_cast<size_t>(i)]);
      }
      o += "AFIX 0\n";
    }
  }
  if (part != 0) o += "PART 0\n";
  if (!st.Model.Mol.empty()) notes.push_back("Molecules (rigid groups) are left out.");
  o += "HKLF 4\nEND\n";
  ins = std::move(o);
  return 0;
}

}  // namespace tarn
