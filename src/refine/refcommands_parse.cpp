// Sub-commands of the refinement block: syntax checks and parsing into the
// lists of the refinement settings.
#include <fmt/format.h>

#include <Eigen/Dense>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "model/atoms.hpp"
#include "model/structure.hpp"
#include "refine/refcommands.hpp"
#include "refine/refcommands_internal.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr size_t kHklFieldMax = 40;  // group, condition, except: characters each
constexpr double kIntTol = 1e-6;     // integrality of solved group letters

bool HasWildcard(std::string_view s) {
  return s.find_first_of("*?") != std::string_view::npos;
}

// Checks the "#..." symmetry part of an atom name (see the header).
bool SymmPartOk(std::string_view part) {
  size_t p = 0;
  auto number = [&](bool allowFraction) {
    size_t b = p;
    if (p < part.size() && (part[p] == '-' || part[p] == '+')) ++p;
    size_t d = p;
    while (p < part.size() && (std::isdigit(static_cast<unsigned char>(part[p])) ||
                               part[p] == '.' || (allowFraction && part[p] == '/')))
      ++p;
    if (p == d) return false;
    if (allowFraction) return true;
    // Operator and centring numbers are positive integers.
    return part[b] != '-' &&
           part.substr(d, p - d).find_first_not_of('0') != std::string_view::npos &&
           part.substr(d, p - d).find('.') == std::string_view::npos;
  };
  if (p >= part.size() || std::tolower(static_cast<unsigned char>(part[p])) != 's') return false;
  ++p;
  if (!number(false)) return false;
  if (p < part.size() && std::tolower(static_cast<unsigned char>(part[p])) == 'c') {
    ++p;
    if (!number(false)) return false;
  }
  if (p < part.size() && std::tolower(static_cast<unsigned char>(part[p])) == 't') {
    ++p;
    for (int n = 0;; ++n) {
      if (n >= 6 || !number(true)) return false;
      if (p < part.size() && part[p] == ',') {
        ++p;
        continue;
      }
      break;
    }
  }
  return p == part.size();
}

// Name without its symmetry part.
std::string BareName(std::string_view name) {
  return std::string(name.substr(0, name.find('#')));
}

// Checks the symmetry parts of names; reports the first bad one.
bool CheckSymm(KeyUnit* u, int k, const std::vector<std::string>& names) {
  for (const auto& n : names) {
    auto h = n.find('#');
    if (h != std::string::npos && !SymmPartOk(std::string_view(n).substr(h + 1))) {
      RefReport(u, k, std::string(refmsg::SymmPart) + n);
      return false;
    }
  }
  return true;
}

int FindAtom(std::string_view name) {
  const std::string b = BareName(name);
  for (size_t i = 0; i < Struct.Model.Atom.size(); ++i)
    if (EqIgnoreCase(Struct.Model.Atom[i].Name, b)) return static_cast<int>(i);
  return -1;
}
bool IsMolecule(std::string_view name) {
  for (const auto& m : Struct.Model.Mol) {
    if (EqIgnoreCase(m.Name, name)) return true;
    for (const auto& p : m.Pos)
      if (EqIgnoreCase(p.Name, name)) return true;
  }
  return false;
}
// Molecule index whose model atoms include the name, -1 for none.
int MoleculeOfAtom(std::string_view name) {
  const std::string b = BareName(name);
  for (size_t i = 0; i < Struct.Model.Mol.size(); ++i)
    for (const auto& a : Struct.Model.Mol[i].Atoms)
      if (EqIgnoreCase(a.Name, b)) return static_cast<int>(i);
  return -1;
}

std::string JoinNames(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& n : v) s += n + " ";
  return s;
}

// Atoms of one command must be from one phase, composite part and molecule
// (checked for the names that exist in the model).
bool CheckSameObject(KeyUnit* u, int k, const std::vector<std::string>& names) {
  int phase = 0, part = 0, mol = -2;
  for (const auto& n : names) {
    if (HasWildcard(n)) continue;
    int m = MoleculeOfAtom(n);
    int i = FindAtom(n);
    if (i < 0 && m < 0) continue;
    if (mol != -2 && m != mol) {
      RefReport(u, k, JoinNames(names) + std::string(refmsg::NotSameMol));
      return false;
    }
    mol = m;
    if (i < 0) continue;
    const auto& a = Struct.Model.Atom[static_cast<size_t>(i)];
    if (phase && a.Phase != phase) {
      RefReport(u, k, JoinNames(names) + std::string(refmsg::NotSamePhase));
      return false;
    }
    if (part && a.Part != part) {
      RefReport(u, k, JoinNames(names) + std::string(refmsg::NotSamePart));
      return false;
    }
    phase = a.Phase;
    part = a.Part;
  }
  return true;
}

// ---- fixed ------------------------------------------------------------------------------

int ParseFixed(RefSettings& ref, std::string_view args, KeyUnit* u, int k) {
  auto w = SplitWords(args);
  if (w.empty()) {
    RefReport(u, k, std::string(refmsg::FixedWrong));
    return 1;
  }
  static constexpr std::pair<std::string_view, int> kWhat[] = {
      {"all", FixAll},     {"xyz", FixXyz}, {"u", FixU},   {"beta", FixU},  {"mod", FixMod},
      {"chden", FixChDen}, {"pol", FixPol}, {"x4", FixX4}, {"ind", FixInd}, {"value", FixValue}};
  RefFixed f;
  f.What = 0;
  for (auto& [name, what] : kWhat)
    if (EqIgnoreCase(w[0], name)) f.What = what;
  if (f.What == 0) {
    RefReport(u, k, std::string(refmsg::FixedWrong) + w[0]);
    return 1;
  }
  size_t first = 1;
  if (f.What == FixValue) {
    auto v = w.size() > 1 ? ToReal(w[1]) : std::nullopt;
    if (!v) {
      RefReport(u, k, std::string(refmsg::BadReal),
                {"\"" + (w.size() > 1 ? w[1] : std::string()) + "\""});
      return 1;
    }
    f.Value = *v;
    first = 2;
  }
  f.Atoms.assign(w.begin() + static_cast<long>(first), w.end());
  if (f.Atoms.empty()) {
    RefReport(u, k, std::string(refmsg::EmptyCommand) + std::string(args));
    return 1;
  }
  if (!CheckSymm(u, k, f.Atoms)) return 1;
  if (f.What == FixPol || f.What == FixX4) {
    const size_t nPhases = std::max<size_t>(1, Struct.KeyPhases.PhaseNames.size());
    if (f.Atoms.size() > nPhases) {
      RefReport(u, k, std::string(refmsg::FixedOrigin) + std::string(args));
      return 1;
    }
  }
  ref.Fixed.push_back(std::move(f));
  return 0;
}

// ---- equations --------------------------------------------------------------------------

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '\'';
}

// Parses "[+-] term { +- term }" where term is number, number*par, par, par*number,
// par = name[owner] (owner required when needOwner, forbidden otherwise).
// Returns "" or an error code: "syntax", "owner", "individual".
std::string ParseSide(std::string_view s, bool needOwner, double sign,
                      std::vector<RefEqTerm>& terms, double& cst) {
  size_t p = 0;
  auto skip = [&] {
    while (p < s.size() && (s[p] == ' ' || s[p] == '\t')) ++p;
  };
  auto readNumber = [&](double& v) {
    skip();
    const char* b = s.data() + p;
    std::string tmp(s.substr(p));
    char* e = nullptr;
    if (p >= s.size() || !(std::isdigit(static_cast<unsigned char>(s[p])) || s[p] == '.'))
      return false;
    v = std::strtod(tmp.c_str(), &e);
    if (e == tmp.c_str()) return false;
    p += static_cast<size_t>(e - tmp.c_str());
    (void)b;
    return true;
  };
  auto readPar = [&](RefEqTerm& t) -> std::string {
    skip();
    size_t b = p;
    if (p >= s.size() || !std::isalpha(static_cast<unsigned char>(s[p]))) return "syntax";
    while (p < s.size() && IsNameChar(s[p])) ++p;
    t.Par = std::string(s.substr(b, p - b));
    skip();
    if (p < s.size() && s[p] == '[') {
      size_t e = s.find(']', p);
      if (e == std::string_view::npos) return "syntax";
      t.Owner = std::string(Trim(s.substr(p + 1, e - p - 1)));
      p = e + 1;
      if (!needOwner) return "individual";
      if (t.Owner.empty()) return "owner";
    } else if (needOwner) {
      return "owner";
    }
    return "";
  };
  bool first = true;
  for (;;) {
    skip();
    if (p >= s.size()) return first ? "syntax" : "";
    double sg = 1.;
    if (s[p] == '+' || s[p] == '-') {
      sg = s[p] == '-' ? -1. : 1.;
      ++p;
    } else if (!first) {
      return "syntax";
    }
    first = false;
    skip();
    RefEqTerm t;
    double v = 1.;
    if (readNumber(v)) {
      skip();
      if (p < s.size() && s[p] == '*') {
        ++p;
        if (auto e = readPar(t); !e.empty()) return e;
      } else {
        cst += sign * sg * v;
        continue;
      }
    } else {
      if (auto e = readPar(t); !e.empty()) return e;
      skip();
      if (p < s.size() && (s[p] == '*' || s[p] == '/')) {
        const bool div = s[p] == '/';
        ++p;
        double f = 0.;
        if (!readNumber(f) || (div && f == 0.)) return "syntax";
        v = div ? 1. / f : f;
      }
    }
    t.Coef = sign * sg * v;
    terms.push_back(std::move(t));
  }
}

// "lhs = rhs" into dep = terms + const. Returns "" or an error code.
std::string ParseEquation(std::string_view text, bool needOwner, RefEquation& eq) {
  auto eqPos = text.find('=');
  if (eqPos == std::string_view::npos || text.find('=', eqPos + 1) != std::string_view::npos)
    return needOwner ? "syntax" : "individual";
  std::vector<RefEqTerm> left, right;
  double cl = 0., cr = 0.;
  if (auto e = ParseSide(text.substr(0, eqPos), needOwner, 1., left, cl); !e.empty()) return e;
  if (auto e = ParseSide(text.substr(eqPos + 1), needOwner, 1., right, cr); !e.empty()) return e;
  if (left.size() != 1 || left[0].Coef == 0.) return needOwner ? "syntax" : "individual";
  eq.Dep = left[0];
  const double c = left[0].Coef;
  eq.Dep.Coef = 1.;
  eq.Terms.clear();
  for (auto& t : right) eq.Terms.push_back({t.Coef / c, t.Par, t.Owner});
  eq.Const = (cr - cl) / c;
  if (!needOwner && eq.Terms.empty()) return "individual";
  return "";
}

int ReportEq(KeyUnit* u, int k, const std::string& code, std::string_view text) {
  if (code == "owner")
    RefReport(u, k, std::string(refmsg::OwnerMissing));
  else if (code == "individual")
    RefReport(u, k, std::string(refmsg::EqIndividual));
  else
    RefReport(u, k, std::string(refmsg::EqSyntax) + std::string(Trim(text)));
  return 1;
}

bool WildMatch(std::string_view pat, std::string_view s) {
  if (pat.empty()) return s.empty();
  if (pat[0] == '*') {
    for (size_t i = 0; i <= s.size(); ++i)
      if (WildMatch(pat.substr(1), s.substr(i))) return true;
    return false;
  }
  if (s.empty()) return false;
  if (pat[0] != '?' && std::tolower(static_cast<unsigned char>(pat[0])) !=
                           std::tolower(static_cast<unsigned char>(s[0])))
    return false;
  return WildMatch(pat.substr(1), s.substr(1));
}

int ParseEquationCmd(RefSettings& ref, std::string_view args, KeyUnit* u, int k) {
  const bool adhoc = k == RkEqAdhoc;
  auto w = SplitWords(args);
  if (!w.empty() && EqIgnoreCase(w[0], "for")) {
    // "for" [atoms|molecules] list ["except" list] ":"|"%" equation in bare names.
    size_t d = args.find_first_of(":%");
    if (d == std::string_view::npos) {
      RefReport(u, k, std::string(refmsg::EqDelimiter));
      return 1;
    }
    auto head = SplitWords(args.substr(0, d));
    std::vector<std::string> list, except;
    bool inExcept = false, molecules = false;
    for (size_t i = 1; i < head.size(); ++i) {
      const auto& x = head[i];
      if (i == 1 && (EqIgnoreCase(x, "atom") || EqIgnoreCase(x, "atoms"))) continue;
      if (i == 1 && (EqIgnoreCase(x, "molecule") || EqIgnoreCase(x, "molecules"))) {
        molecules = true;
        continue;
      }
      if (EqIgnoreCase(x, "except")) {
        inExcept = true;
        continue;
      }
      (inExcept ? except : list).push_back(x);
    }
    if (list.empty()) return ReportEq(u, k, "syntax", args);
    if (list.size() > static_cast<size_t>(refmsg::EqMaxAtoms)) {
      RefReport(u, k, std::string(refmsg::EqTooMany));
      return 1;
    }
    if (!CheckSymm(u, k, list) || !CheckSymm(u, k, except)) return 1;
    RefEquation proto;
    if (auto e = ParseEquation(args.substr(d + 1), false, proto); !e.empty())
      return ReportEq(u, k, e, args);
    // Wildcards are expanded against the model when it is loaded.
    std::vector<std::string> owners;
    for (const auto& n : list) {
      if (HasWildcard(n) && !molecules && !Struct.Model.Atom.empty()) {
        for (const auto& a : Struct.Model.Atom)
          if (WildMatch(n, a.Name)) owners.push_back(a.Name);
      } else {
        owners.push_back(n);
      }
    }
    for (const auto& o : owners) {
      bool skip = false;
      for (const auto& x : except) skip = skip || WildMatch(x, o);
      if (skip) continue;
      RefEquation eq = proto;
      eq.AdHoc = adhoc;
      eq.Text = std::string(Trim(args));
      eq.Dep.Owner = o;
      for (auto& t : eq.Terms) t.Owner = o;
      ref.Equation.push_back(std::move(eq));
    }
    return 0;
  }
  RefEquation eq;
  if (auto e = ParseEquation(args, true, eq); !e.empty()) return ReportEq(u, k, e, args);
  std::vector<std::string> owners{eq.Dep.Owner};
  for (auto& t : eq.Terms) owners.push_back(t.Owner);
  if (!CheckSymm(u, k, owners)) return 1;
  eq.AdHoc = adhoc;
  eq.Text = std::string(Trim(args));
  ref.Equation.push_back(std::move(eq));
  return 0;
}

// ---- restric ----------------------------------------------------------------------------

int ParseRestric(RefSettings& ref, std::string_view args, KeyUnit* u, int k) {
  auto w = SplitWords(args);
  std::optional<long long> code = w.size() >= 2 ? ToInt(w.back()) : std::nullopt;
  RefRestric r;
  if (!code || RefRestricDecode(static_cast<int>(*code), r.Occ, r.Group, r.Extra)) {
    RefReport(u, k, std::string(refmsg::RestricFlag));
    return 1;
  }
  r.Code = static_cast<int>(*code);
  r.Members.assign(w.begin(), w.end() - 1);
  if (!CheckSymm(u, k, r.Members)) return 1;
  int nMol = 0;
  for (const auto& m : r.Members) nMol += IsMolecule(m) ? 1 : 0;
  const bool mixed = nMol > 0 && nMol < static_cast<int>(r.Members.size());
  if (mixed && (r.Group != 4 || r.Extra != 0)) {
    RefReport(u, k, std::string(refmsg::RestricMixed));
    return 1;
  }
  const int n = static_cast<int>(ref.Restric.size()) + 1;
  ReallocRestricCommands(ref, n);
  ref.Restric[static_cast<size_t>(n - 1)] = std::move(r);
  return 0;
}

// ---- keep -------------------------------------------------------------------------------

int ParseKeep(RefSettings& ref, std::string_view args, KeyUnit* u, int k) {
  auto w = SplitWords(args);
  RefKeep r;
  static constexpr std::pair<std::string_view, int> kTypes[] = {
      {"hydro", KeepHydro}, {"geom", KeepGeom}, {"ADP", KeepADP}, {"mag", KeepMag}};
  static constexpr std::pair<std::string_view, int> kSubs[] = {
      {"plane", KeepPlane},       {"rigid", KeepRigid},        {"rigidmod", KeepRigidMod},
      {"tetrahed", KeepTetrahed}, {"triang", KeepTriang},      {"apical", KeepApical},
      {"riding", KeepRiding},     {"cycloidal", KeepCycloidal}};
  r.Type = r.Sub = 0;
  if (w.size() >= 1)
    for (auto& [n, t] : kTypes)
      if (EqIgnoreCase(w[0], n)) r.Type = t;
  if (w.size() >= 2)
    for (auto& [n, t] : kSubs)
      if (EqIgnoreCase(w[1], n)) r.Sub = t;
  const bool okPair =
      (r.Type == KeepHydro &&
       (r.Sub == KeepTetrahed || r.Sub == KeepTriang || r.Sub == KeepApical)) ||
      (r.Type == KeepGeom && (r.Sub == KeepPlane || r.Sub == KeepRigid || r.Sub == KeepRigidMod)) ||
      (r.Type == KeepADP && r.Sub == KeepRiding) || (r.Type == KeepMag && r.Sub == KeepCycloidal);
  if (!okPair) {
    RefReport(u, k, std::string(refmsg::KeepType) + std::string(Trim(args)));
    return 1;
  }
  size_t p = 2;
  auto word = [&](std::string& out) {
    if (p >= w.size()) return false;
    out = w[p++];
    return true;
  };
  auto integer = [&](int& out) {
    if (p >= w.size()) return false;
    auto v = ToInt(w[p]);
    if (!v) return false;
    out = static_cast<int>(*v);
    ++p;
    return true;
  };
  auto real = [&](double& out) {
    if (p >= w.size()) return false;
    auto v = ToReal(w[p]);
    if (!v) return false;
    out = *v;
    ++p;
    return true;
  };
  auto anchor = [&] {
    RefReport(u, k, std::string(refmsg::KeepAnchor));
    return 1;
  };
  std::vector<std::string> all;
  if (r.Type == KeepHydro) {
    const int limit = r.Sub == KeepTetrahed ? 4 : r.Sub == KeepTriang ? 3 : 4;
    if (!word(r.Central) || !integer(r.NNeigh)) return anchor();
    if (r.Sub == KeepApical) {
      r.NH = 1;
    } else if (!integer(r.NH)) {
      return anchor();
    }
    const int minNeigh = r.Sub == KeepApical ? 3 : 1;
    if (r.NNeigh < minNeigh) {
      RefReport(u, k, std::string(refmsg::KeepFewNeigh));
      return 1;
    }
    if (r.NNeigh > (r.Sub == KeepApical ? 3 : limit - 1)) {
      RefReport(u, k, fmt::format("{}{}", r.NNeigh, refmsg::KeepNeighLimit));
      return 1;
    }
    if (r.NH < 1 || r.NNeigh + r.NH > limit) {
      RefReport(u, k, fmt::format("{}{}", r.NNeigh + r.NH, refmsg::KeepNeighHLimit));
      return 1;
    }
    for (int i = 0; i < r.NNeigh; ++i) {
      std::string n;
      if (!word(n)) return anchor();
      r.Neighbours.push_back(n);
    }
    if (!real(r.Value) || r.Value <= 0.) return anchor();
    for (int i = 0; i < r.NH; ++i) {
      std::string n;
      if (!word(n)) return anchor();
      r.Atoms.push_back(n);
    }
    if (p != w.size()) return anchor();
    all.push_back(r.Central);
    all.insert(all.end(), r.Neighbours.begin(), r.Neighbours.end());
  } else if (r.Type == KeepGeom) {
    r.Atoms.assign(w.begin() + 2, w.end());
    if (static_cast<int>(r.Atoms.size()) < (r.Sub == KeepPlane ? 3 : 2)) {
      RefReport(u, k, std::string(refmsg::KeepFewNeigh));
      return 1;
    }
  } else if (r.Type == KeepADP) {
    if (!word(r.Central) || !real(r.Value) || r.Value <= 0.) return anchor();
    r.Atoms.assign(w.begin() + static_cast<long>(p), w.end());
    if (r.Atoms.empty()) {
      RefReport(u, k, std::string(refmsg::KeepFewNeigh));
      return 1;
    }
  } else {
    if (!word(r.Central) || p != w.size()) return anchor();
    if (int i = FindAtom(r.Central); i >= 0) {
      const auto& a = Struct.Model.Atom[static_cast<size_t>(i)];
      if (a.Shape.MagPar <= 1) {
        RefReport(u, k, std::string(refmsg::KeepCycMod));
        return 1;
      }
    }
  }
  if (r.Type != KeepMag) {
    if (!r.Central.empty() && all.empty()) all.push_back(r.Central);
    all.insert(all.end(), r.Atoms.begin(), r.Atoms.end());
    if (!CheckSymm(u, k, all) || !CheckSameObject(u, k, all)) return 1;
  }
  const int n = static_cast<int>(ref.Keep.size()) + 1;
  ReallocKeepCommands(ref, n);
  ref.Keep[static_cast<size_t>(n - 1)] = std::move(r);
  return 0;
}

// ---- reflection groups -------------------------------------------------------------------

int Letter(char c) {
  switch (std::tolower(static_cast<unsigned char>(c))) {
    case 'h':
      return 0;
    case 'k':
      return 1;
    case 'l':
      return 2;
    case 'm':
      return 3;
    default:
      return -1;
  }
}

// Linear expression of the letters, e.g. "-2h+l"; "n" terms go to nCoef when
// given (conditions), constants to cst.
bool ParseIndexExpr(std::string_view s, RefIndexExpr& e, int* nCoef, int& cst) {
  size_t p = 0;
  bool any = false;
  cst = 0;
  while (p < s.size()) {
    int sign = 1;
    if (s[p] == '+' || s[p] == '-') {
      sign = s[p] == '-' ? -1 : 1;
      ++p;
    } else if (any) {
      return false;
    }
    size_t b = p;
    while (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p]))) ++p;
    const bool hasNum = p > b;
    const int num = hasNum ? std::atoi(std::string(s.substr(b, p - b)).c_str()) : 1;
    if (p < s.size() && Letter(s[p]) >= 0) {
      e.Coef[static_cast<size_t>(Letter(s[p]))] += sign * num;
      ++p;
    } else if (p < s.size() && nCoef && std::tolower(static_cast<unsigned char>(s[p])) == 'n') {
      *nCoef += sign * num;
      ++p;
    } else if (hasNum) {
      cst += sign * num;
    } else {
      return false;
    }
    any = true;
  }
  return any;
}

bool ParseGroup(std::string_view text, RefHklSel& s) {
  s.Group.clear();
  std::string t;
  for (char c : text)
    if (c != ' ' && c != '\t') t += c;
  if (t.empty()) return false;
  if (t.find(',') != std::string::npos) {
    for (auto& piece : SplitOn(t, ",")) {
      RefIndexExpr e;
      int cst = 0;
      if (!ParseIndexExpr(piece, e, nullptr, cst) || cst != 0) return false;
      s.Group.push_back(e);
    }
  } else {
    // Compressed: one index per letter or "0", each with an optional sign and factor.
    size_t p = 0;
    while (p < t.size()) {
      int sign = 1;
      if (t[p] == '-' || t[p] == '+') sign = t[p++] == '-' ? -1 : 1;
      size_t b = p;
      while (p < t.size() && std::isdigit(static_cast<unsigned char>(t[p]))) ++p;
      RefIndexExpr e;
      if (p == b + 1 && t[b] == '0') {
        // a zero index ("h0l")
      } else if (p < t.size() && Letter(t[p]) >= 0) {
        const int num = p > b ? std::atoi(t.substr(b, p - b).c_str()) : 1;
        e.Coef[static_cast<size_t>(Letter(t[p]))] = sign * num;
        ++p;
      } else {
        return false;
      }
      s.Group.push_back(e);
    }
  }
  if (s.Group.size() < 3 || s.Group.size() > static_cast<size_t>(RefHklLetters)) return false;
  s.NLetters = 0;
  for (const auto& e : s.Group)
    for (int i = 0; i < RefHklLetters; ++i)
      if (e.Coef[static_cast<size_t>(i)] != 0) s.NLetters = std::max(s.NLetters, i + 1);
  return true;
}

bool ParseCond(std::string_view text, RefHklCond& c) {
  std::string t;
  for (char ch : text)
    if (ch != ' ' && ch != '\t') t += ch;
  c = RefHklCond{};
  if (t.empty()) {
    c.Any = true;
    return true;
  }
  auto eq = t.find('=');
  if (eq == std::string::npos) return false;
  int cst = 0;
  if (!ParseIndexExpr(t.substr(0, eq), c.Lhs, nullptr, cst) || cst != 0) return false;
  int nCoef = 0, rem = 0;
  RefIndexExpr none;
  if (!ParseIndexExpr(t.substr(eq + 1), none, &nCoef, rem)) return false;
  for (int v : none.Coef)
    if (v != 0) return false;
  if (nCoef != 0) {
    c.Mod = std::abs(nCoef);
    c.Rem = ((rem % c.Mod) + c.Mod) % c.Mod;
  } else {
    if (rem <= 0) return false;
    c.Mod = 0;
    c.Rem = rem;
  }
  return true;
}

bool CondHolds(const RefHklCond& c, const long* letters) {
  if (c.Any) return true;
  long v = 0;
  for (int i = 0; i < RefHklLetters; ++i) v += c.Lhs.Coef[static_cast<size_t>(i)] * letters[i];
  if (c.Mod == 0) return std::labs(v) == c.Rem;
  return (((v - c.Rem) % c.Mod) + c.Mod) % c.Mod == 0;
}

int ParseHkl(std::string_view args, KeyUnit* u, int k, RefHklSel& s) {
  auto colon = args.find(':');
  std::string_view group = Trim(args.substr(0, colon));
  std::string_view cond, except;
  if (colon != std::string_view::npos) {
    std::string_view rest = args.substr(colon + 1);
    std::string low = ToLower(rest);
    auto x = low.find("except");
    cond = Trim(rest.substr(0, x));
    if (x != std::string::npos) {
      except = Trim(rest.substr(x + 6));
      s.HasExcept = true;
    }
  }
  for (auto f : {group, cond, except})
    if (f.size() > kHklFieldMax) {
      RefReport(u, k, std::string(refmsg::HklTooLong) + std::string(f));
      return 1;
    }
  s.GroupText = std::string(group);
  s.CondText = std::string(cond);
  s.ExceptText = std::string(except);
  if (!ParseGroup(group, s) || !ParseCond(cond, s.Cond) ||
      (s.HasExcept && (except.empty() || !ParseCond(except, s.Except)))) {
    RefReport(u, k, std::string(refmsg::HklSyntax) + std::string(Trim(args)));
    return 1;
  }
  return 0;
}

// ---- restraints ----------------------------------------------------------------------------

int ParseRestraint(RefSettings& ref, std::string_view args, KeyUnit* u, int k) {
  RefRestraint r;
  r.Kind = k == RkDistFix    ? RestrDist
           : k == RkAngleFix ? RestrAngle
           : k == RkTorsFix  ? RestrTors
           : k == RkPlaneFix ? RestrFlat
           : k == RkChivFix  ? RestrChiv
                             : RestrMagm;
  static constexpr std::string_view kKind[] = {"",     "distance", "angle",        "torsion angle",
                                               "",     "pair",     "pair",         "pair",
                                               "atom", "plane",    "chiral volume"};
  // The first words up to the first atom: target and s.u.
  std::string text(args);
  for (auto& c : text)
    if (c == ';') c = '\x01';
  auto head = SplitWords(text);
  auto real = [&](const std::string& s, double& out) {
    auto v = ToReal(s);
    if (!v) {
      RefReport(u, k, std::string(refmsg::BadReal), {"\"" + s + "\""});
      return false;
    }
    out = *v;
    return true;
  };
  size_t p = 0;
  if (k == RkAdpFix) {
    // "adpfix" rigu|delu|simu|isor s.u. items: the target is always 0.
    static constexpr std::pair<std::string_view, int> kSub[] = {
        {"rigu", RestrRigu}, {"delu", RestrDelu}, {"simu", RestrSimu}, {"isor", RestrIsor}};
    r.Kind = 0;
    if (!head.empty())
      for (const auto& [w, kind] : kSub)
        if (EqIgnoreCase(head[0], w)) r.Kind = kind;
    if (r.Kind == 0) {
      RefReport(u, k, std::string(refmsg::AdpFixType) + std::string(Trim(args)));
      return 1;
    }
    ++p;
  }
  if (head.size() < p + 2) {
    RefReport(u, k, std::string(refmsg::EmptyCommand) + std::string(args));
    return 1;
  }
  if (k == RkAdpFix || k == RkPlaneFix) {
    r.Target = 1;
  } else if (head[p] == "=" || head[p] == "*") {
    r.Target = head[p] == "=" ? 2 : 3;
    ++p;
  } else {
    r.Target = 1;
    if (!real(head[p++], r.Value)) return 1;
  }
  if (p >= head.size() || !real(head[p++], r.Su)) return 1;
  const int isz = RefRestraintItemSize(r.Kind);
  const size_t n = static_cast<size_t>(std::max(isz, 1));
  // The rest: items separated by semicolons.
  std::string rest;
  for (size_t i = p; i < head.size(); ++i) rest += head[i] + " ";
  for (auto& c : rest)
    if (c == '\x01') c = ';';
  std::vector<std::string> all;
  for (auto& piece : SplitOn(rest, ";")) {
    auto names = SplitWords(piece);
    if (names.empty()) continue;
    if (r.Kind == RestrMagm) {
      for (auto& nm : names) r.Items.push_back({nm});
    } else if (isz == 0 && names.size() < 4) {
      RefReport(u, k, std::string(refmsg::PlaneFew), {piece});
      return 1;
    } else if (isz > 1 && names.size() != n) {
      if (names.size() > n && names.size() % n == 0)
        RefReport(u, k, "Each " + std::string(kKind[r.Kind]) + std::string(refmsg::RestrSemicolon));
      else
        RefReport(u, k, std::string(refmsg::RestrSemicolonMissing), {piece});
      return 1;
    } else {
      if (!CheckSymm(u, k, names)) return 1;
      if (!Struct.Model.Atom.empty()) {
        for (auto& nm : names)
          if (!HasWildcard(nm) && FindAtom(nm) < 0 && MoleculeOfAtom(nm) < 0) {
            RefReport(u, k, "Atom \"" + BareName(nm) + "\" " + std::string(refmsg::AtomMissing));
            return 1;
          }
        if (isz > 1 && !CheckSameObject(u, k, names)) return 1;
      }
      if (isz == 1)
        for (auto& nm : names) r.Items.push_back({nm});
      else
        r.Items.push_back(names);
    }
  }
  if (r.Items.empty()) {
    RefReport(u, k, std::string(refmsg::EmptyCommand) + std::string(args));
    return 1;
  }
  if (r.Kind == RestrMagm && !Struct.Model.Atom.empty()) {
    for (auto& it : r.Items) {
      if (!CheckSymm(u, k, it)) return 1;
      int i = FindAtom(it[0]);
      if (i < 0) {
        RefReport(u, k, "Atom \"" + BareName(it[0]) + "\" " + std::string(refmsg::AtomMissing));
        return 1;
      }
      if (Struct.Model.Atom[static_cast<size_t>(i)].Shape.MagPar == 0) {
        RefReport(u, k,
                  BareName(it[0]) + " " + std::string(refmsg::NotMagnetic1) +
                      std::string(refmsg::NotMagnetic2));
        return 1;
      }
    }
  }
  if (static_cast<int>(ref.Restraint.size()) >= ref.MaxRestraint) {
    ref.MaxRestraint *= 2;
    ref.Restraint.reserve(static_cast<size_t>(ref.MaxRestraint));
  }
  ref.Restraint.push_back(std::move(r));
  return 0;
}

}  // namespace

int RefRestraintItemSize(int kind) {
  switch (kind) {
    case RestrDist:
    case RestrRigu:
    case RestrDelu:
    case RestrSimu:
      return 2;
    case RestrAngle:
      return 3;
    case RestrTors:
    case RestrChiv:
      return 4;
    case RestrFlat:
      return 0;
    default:
      return 1;
  }
}

int RefRestricCode(int occ, int group, int extra, bool modulated) {
  if (!modulated && group == 3) group = 2;
  const int v = group + 100 * extra;
  switch (occ) {
    case OccIdentical:
      return -10 - v;
    case OccComplementary:
      return -v;
    case OccKeepSum:
      return v;
    default:
      return v + 10;
  }
}

int RefRestricDecode(int code, int& occ, int& group, int& extra) {
  const int m = std::abs(code) % 100;
  group = m % 10;
  extra = std::abs(code) / 100;
  if (group < 1 || group > 4 || m >= 20) return 1;
  if (code < 0)
    occ = m >= 10 ? OccIdentical : OccComplementary;
  else
    occ = m >= 10 ? OccFree : OccKeepSum;
  return 0;
}

bool RefHklSelected(const RefHklSel& s, const int* hkl, int n) {
  if (n != static_cast<int>(s.Group.size())) return false;
  const int nl = std::max(1, s.NLetters);
  Eigen::MatrixXd a(n, nl);
  Eigen::VectorXd b(n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < nl; ++j)
      a(i, j) = s.Group[static_cast<size_t>(i)].Coef[static_cast<size_t>(j)];
    b(i) = hkl[i];
  }
  Eigen::VectorXd x = a.colPivHouseholderQr().solve(b);
  if ((a * x - b).norm() > kIntTol) return false;
  long letters[RefHklLetters] = {};
  for (int j = 0; j < nl; ++j) {
    const double r = std::round(x(j));
    if (std::fabs(r - x(j)) > kIntTol) return false;
    letters[j] = static_cast<long>(r);
  }
  if (!CondHolds(s.Cond, letters)) return false;
  return !(s.HasExcept && CondHolds(s.Except, letters));
}

int RefParseSubCommand(RefSettings& ref, int k, std::string_view args, KeyUnit* u) {
  switch (k) {
    case RkFixed:
      return ParseFixed(ref, args, u, k);
    case RkEquation:
    case RkEqAdhoc:
      return ParseEquationCmd(ref, args, u, k);
    case RkRestric:
      return ParseRestric(ref, args, u, k);
    case RkKeep:
      return ParseKeep(ref, args, u, k);
    case RkDontUse:
    case RkUseOnly:
    case RkRFactors: {
      RefHklSel s;
      s.UseOnly = k == RkUseOnly;
      if (ParseHkl(args, u, k, s)) return 1;
      auto& list = k == RkRFactors ? ref.RFactors : ref.ExclHKL;
      const int n = static_cast<int>(list.size()) + 1;
      if (k == RkRFactors)
        ReallocRFactorsCommands(ref, n);
      else
        ReallocExclHKLCommands(ref, n);
      list[static_cast<size_t>(n - 1)] = std::move(s);
      return 0;
    }
    case RkScale: {
      auto w = SplitWords(args);
      auto no = w.empty() ? std::nullopt : ToInt(w[0]);
      if (!no || *no < 1) {
        RefReport(u, k, std::string(refmsg::WrongNumber),
                  {"\"" + (w.empty() ? std::string() : w[0]) + "\""});
        return 1;
      }
      RefHklSel s;
      s.ScaleNo = static_cast<int>(*no);
      auto rest = Trim(args);
      rest = Trim(rest.substr(w[0].size()));
      if (ParseHkl(rest, u, k, s)) return 1;
      const int n = static_cast<int>(ref.Scale.size()) + 1;
      ReallocScaleCommands(ref, n);
      ref.Scale[static_cast<size_t>(n - 1)] = std::move(s);
      return 0;
    }
    case RkDistFix:
    case RkAngleFix:
    case RkTorsFix:
    case RkMagmFix:
    case RkAdpFix:
    case RkPlaneFix:
    case RkChivFix:
      return ParseRestraint(ref, args, u, k);
    case RkUseDatBl:
    case RkLeBailPh: {
      auto w = SplitWords(args);
      if (w.empty()) {
        RefReport(u, k, std::string(refmsg::EmptyCommand));
        return 1;
      }
      auto& list = k == RkUseDatBl ? ref.UseDatBl : ref.LeBailPh;
      list.insert(list.end(), w.begin(), w.end());
      return 0;
    }
    case RkGrPhases: {
      for (auto& piece : SplitOn(args, ";"))
        if (auto w = SplitWords(piece); !w.empty()) ref.GrPhases.push_back(w);
      if (ref.GrPhases.empty()) {
        RefReport(u, k, std::string(refmsg::EmptyCommand));
        return 1;
      }
      return 0;
    }
    default:
      return 0;
  }
}

}  // namespace tarn
