// Loader and lookups of the scattering and element tables (see scatdata.hpp).
#include "model/scatdata.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <functional>

#include "model/session.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {


namespace {

// Messages of this area.
namespace msg {
constexpr std::string_view Header = "Scattering tables";
constexpr std::string_view CannotOpen = "{}: cannot be opened";
constexpr std::string_view NoVersion = "{}, line 1: expected the data version line \"{}\"";
constexpr std::string_view AtLine = "{}, line {}: {}: \"{}\"";
constexpr std::string_view Columns = "expected {} columns, found {}";
constexpr std::string_view NotNumber = "column {} is not a number";
constexpr std::string_view BadName = "unknown element or ion name";
constexpr std::string_view Duplicate = "entry given twice";
constexpr std::string_view BadKind = "expected j0, j2 or j4 in column 2";
constexpr std::string_view NotRising = "energies of one element must rise and stand together";
constexpr std::string_view Empty = "{}: no entries";
}  // namespace msg

// Columns of fprime_kalpha.dat after the element, two (f', f'') per anode.
constexpr std::array<std::string_view, 6> KalphaOrder = {"Cr", "Fe", "Co", "Cu", "Mo", "Ag"};

// Element symbols by atomic number (index 0 unused) up to californium.
constexpr std::array<std::string_view, 99> Symbols = {
    "",   "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si",
    "P",  "S",  "Cl", "Ar", "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni", "Cu",
    "Zn", "Ga", "Ge", "As", "Se", "Br", "Kr", "Rb", "Sr", "Y",  "Zr", "Nb", "Mo", "Tc", "Ru",
    "Rh", "Pd", "Ag", "Cd", "In", "Sn", "Sb", "Te", "I",  "Xe", "Cs", "Ba", "La", "Ce", "Pr",
    "Nd", "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho", "Er", "Tm", "Yb", "Lu", "Hf", "Ta", "W",
    "Re", "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po", "At", "Rn", "Fr", "Ra", "Ac",
    "Th", "Pa", "U",  "Np", "Pu", "Am", "Cm", "Bk", "Cf"};

bool IsSymbol(std::string_view s) {
  if (s == "D") return true;
  return std::find(Symbols.begin() + 1, Symbols.end(), s) != Symbols.end();
}

std::string ProperCase(std::string_view s) {
  std::string r = ToLower(s);
  if (!r.empty()) r[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(r[0])));
  return r;
}

// Element key of a name: charge and suffix dropped; deuterium read as hydrogen
// where isotopes do not matter (electron clouds).
std::optional<std::string> ElementKey(std::string_view name, bool deuterium_as_h) {
  auto n = ScatParseName(name);
  if (!n) return std::nullopt;
  if (deuterium_as_h && n->Element == "D") return std::string("H");
  return n->Element;
}

// Reads one table: checks the version line, skips comments and blank lines and
// hands each row, split into words, to row(); row returns an error text or "".
using RowFn = std::function<std::string(const std::vector<std::string>&)>;

int ReadTable(const std::string& path, const RowFn& row, std::string& message) {
  std::ifstream in(path);
  if (!in) {
    message = fmt::format(fmt::runtime(msg::CannotOpen), path);
    return 1;
  }
  std::string line;
  if (!std::getline(in, line) || TrimRight(line) != ScatDataVersionLine) {
    message = fmt::format(fmt::runtime(msg::NoVersion), path, ScatDataVersionLine);
    return 1;
  }
  int lineno = 1, rows = 0;
  while (std::getline(in, line)) {
    ++lineno;
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == '#') continue;
    std::string err = row(SplitWords(t));
    if (!err.empty()) {
      message = fmt::format(fmt::runtime(msg::AtLine), path, lineno, err, t);
      return 1;
    }
    ++rows;
  }
  if (rows == 0) {
    message = fmt::format(fmt::runtime(msg::Empty), path);
    return 1;
  }
  return 0;
}

// Converts words[first .. first+n) to reals; error text or "".
std::string Reals(const std::vector<std::string>& w, size_t first, size_t n, double* out) {
  for (size_t i = 0; i < n; ++i) {
    auto v = ToReal(w[first + i]);
    if (!v || !std::isfinite(*v)) return fmt::format(fmt::runtime(msg::NotNumber), first + i + 1);
    out[i] = *v;
  }
  return {};
}

std::string Columns(const std::vector<std::string>& w, size_t n) {
  if (w.size() == n) return {};
  return fmt::format(fmt::runtime(msg::Columns), n, w.size());
}

// Lookup in a table keyed by string.
template <class Map>
auto Find(const Map& m, const std::string& key) -> std::optional<typename Map::mapped_type> {
  auto it = m.find(key);
  if (it == m.end()) return std::nullopt;
  return it->second;
}

int LoadAll(const std::string& dir, ScatTables& t, std::string& message) {
  // X-ray Gaussians: label a1..a4 b1..b4 c.
  int ich = ReadTable(
      dir + "scatter/xray_it92.dat",
      [&](const std::vector<std::string>& w) -> std::string {
        if (auto e = Columns(w, 10); !e.empty()) return e;
        auto n = ScatParseName(w[0]);
        if (!n) return std::string(msg::BadName);
        double v[9];
        if (auto e = Reals(w, 1, 9, v); !e.empty()) return e;
        XrayGauss g;
        std::copy(v, v + 4, g.a.begin());
        std::copy(v + 4, v + 8, g.b.begin());
        g.c = v[8];
        if (!t.Xray.emplace(n->Label(), g).second) return std::string(msg::Duplicate);
        return {};
      },
      message);
  if (ich) return ich;

  ich = ReadTable(
      dir + "scatter/anodes.dat",
      [&](const std::vector<std::string>& w) -> std::string {
        if (auto e = Columns(w, 4); !e.empty()) return e;
        auto n = ScatParseName(w[0]);
        if (!n || n->Charge != 0 || !n->Suffix.empty()) return std::string(msg::BadName);
        double v[3];
        if (auto e = Reals(w, 1, 3, v); !e.empty()) return e;
        if (!t.Anode.emplace(n->Element, AnodeLines{v[0], v[1], v[2]}).second)
          return std::string(msg::Duplicate);
        return {};
      },
      message);
  if (ich) return ich;

  t.KalphaAnodes.assign(KalphaOrder.begin(), KalphaOrder.end());
  ich = ReadTable(
      dir + "scatter/fprime_kalpha.dat",
      [&](const std::vector<std::string>& w) -> std::string {
        constexpr size_t n = 2 * KalphaOrder.size();
        if (auto e = Columns(w, n + 1); !e.empty()) return e;
        auto key = ElementKey(w[0], false);
        if (!key) return std::string(msg::BadName);
        double v[n];
        if (auto e = Reals(w, 1, n, v); !e.empty()) return e;
        std::vector<AnomalousDisp> d;
        for (size_t i = 0; i < KalphaOrder.size(); ++i) d.push_back({v[2 * i], v[2 * i + 1]});
        if (!t.Kalpha.emplace(*key, std::move(d)).second) return std::string(msg::Duplicate);
        return {};
      },
      message);
  if (ich) return ich;

  std::string last;  // element of the previous grid row
  ich = ReadTable(
      dir + "scatter/fprime_grid.dat",
      [&](const std::vector<std::string>& w) -> std::string {
        if (auto e = Columns(w, 4); !e.empty()) return e;
        auto key = ElementKey(w[0], false);
        if (!key) return std::string(msg::BadName);
        double v[3];
        if (auto e = Reals(w, 1, 3, v); !e.empty()) return e;
        if (v[0] <= 0.) return fmt::format(fmt::runtime(msg::NotNumber), 2);
        auto& pts = t.Grid[*key];
        double lne = std::log(v[0]);
        if ((*key != last && !pts.empty()) || (!pts.empty() && lne <= pts.back().LnE))
          return std::string(msg::NotRising);
        pts.push_back({lne, v[1], v[2]});
        last = *key;
        return {};
      },
      message);
  if (ich) return ich;

  ich = ReadTable(
      dir + "scatter/neutron.dat",
      [&](const std::vector<std::string>& w) -> std::string {
        if (auto e = Columns(w, 4); !e.empty()) return e;
        auto key = ElementKey(w[0], false);
        if (!key) return std::string(msg::BadName);
        double v[3];
        if (auto e = Reals(w, 1, 3, v); !e.empty()) return e;
        if (!t.Neutron.emplace(*key, NeutronLength{v[0], v[1]}).second)
          return std::string(msg::Duplicate);
        return {};
      },
      message);
  if (ich) return ich;

  ich = ReadTable(
      dir + "scatter/electron.dat",
      [&](const std::vector<std::string>& w) -> std::string {
        if (auto e = Columns(w, 11); !e.empty()) return e;
        auto key = ElementKey(w[0], false);
        if (!key) return std::string(msg::BadName);
        double v[10];
        if (auto e = Reals(w, 1, 10, v); !e.empty()) return e;
        ElectronGauss g;
        std::copy(v, v + 5, g.a.begin());
        std::copy(v + 5, v + 10, g.b.begin());
        if (!t.Electron.emplace(*key, g).second) return std::string(msg::Duplicate);
        return {};
      },
      message);
  if (ich) return ich;

  ich = ReadTable(
      dir + "scatter/magnetic.dat",
      [&](const std::vector<std::string>& w) -> std::string {
        if (auto e = Columns(w, 9); !e.empty()) return e;
        auto n = ScatParseName(w[0]);
        if (!n || !n->Suffix.empty()) return std::string(msg::BadName);
        int k = EqIgnoreCase(w[1], "j0")   ? 0
                : EqIgnoreCase(w[1], "j2") ? 1
                : EqIgnoreCase(w[1], "j4") ? 2
                                           : -1;
        if (k < 0) return std::string(msg::BadKind);
        MagneticJ j;
        if (auto e = Reals(w, 2, 7, j.c.data()); !e.empty()) return e;
        auto& slot = t.Magnetic[n->Label()][k];
        if (slot) return std::string(msg::Duplicate);
        slot = j;
        return {};
      },
      message);
  if (ich) return ich;

  return ReadTable(
      dir + "elements.dat",
      [&](const std::vector<std::string>& w) -> std::string {
        if (auto e = Columns(w, 5); !e.empty()) return e;
        auto n = ScatParseName(w[0]);
        if (!n || n->Charge != 0 || !n->Suffix.empty()) return std::string(msg::BadName);
        ElementData d;
        auto z = ToInt(w[1]);
        if (!z || *z < 1 || *z >= static_cast<long long>(Symbols.size()))
          return fmt::format(fmt::runtime(msg::NotNumber), 2);
        d.Z = static_cast<int>(*z);
        if (auto e = Reals(w, 2, 1, &d.Weight); !e.empty()) return e;
        for (int i = 0; i < 2; ++i) {
          if (w[3 + i] == "-") continue;
          double r = 0.;
          if (auto e = Reals(w, 3 + i, 1, &r); !e.empty()) return e;
          (i == 0 ? d.RCov : d.RVdW) = r;
        }
        if (!t.Element.emplace(n->Element, d).second) return std::string(msg::Duplicate);
        return {};
      },
      message);
}

}  // namespace

std::string ScatName::Label() const {
  std::string s = Element + Suffix;
  if (Charge != 0) s += fmt::format("{}{}", std::abs(Charge), Charge > 0 ? '+' : '-');
  return s;
}

std::optional<ScatName> ScatParseName(std::string_view name) {
  std::string_view s = Trim(name);
  auto alpha = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
  auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  if (s.empty() || !alpha(s[0])) return std::nullopt;
  ScatName n;
  // A two-letter symbol wins over a one-letter one ("Co" is cobalt, "Cval" carbon).
  if (s.size() >= 2 && alpha(s[1]) && IsSymbol(ProperCase(s.substr(0, 2))))
    n.Element = ProperCase(s.substr(0, 2));
  else if (IsSymbol(ProperCase(s.substr(0, 1))))
    n.Element = ProperCase(s.substr(0, 1));
  else
    return std::nullopt;
  s.remove_prefix(n.Element.size());
  for (std::string_view suf : {"val", "iso"}) {
    if (StartsWithIgnoreCase(s, suf)) {
      n.Suffix = std::string(suf);
      s.remove_prefix(suf.size());
      break;
    }
  }
  if (s.empty()) return n;
  // Charge: "3+", "+3", "+", "3" (positive); at most two digits.
  int sign = 0;
  if (s.front() == '+' || s.front() == '-') {
    sign = s.front() == '+' ? 1 : -1;
    s.remove_prefix(1);
  } else if (s.back() == '+' || s.back() == '-') {
    sign = s.back() == '+' ? 1 : -1;
    s.remove_suffix(1);
  } else {
    sign = 1;
  }
  int q = 1;
  if (!s.empty()) {
    if (s.size() > 2 || !std::all_of(s.begin(), s.end(), digit)) return std::nullopt;
    q = static_cast<int>(*ToInt(s));
  }
  n.Charge = sign * q;
  return n;
}

int ScatLoad(const std::string& dir, std::string& message) {
  std::string d = dir;
  if (!d.empty() && d.back() != '/') d += '/';
  ScatTables t;
  if (int ich = LoadAll(d, t, message)) return ich;
  t.Loaded = true;
  t.Dir = d;
  Sess.Scat = std::move(t);
  return 0;
}

int ScatEnsureLoaded() {
  if (Sess.Scat.Loaded && Sess.Scat.Dir == Sess.HomeDir) return 0;
  std::string message;
  if (ScatLoad(Sess.HomeDir, message)) {
    ReportError(std::string(msg::Header), {message});
    return 1;
  }
  return 0;
}

std::optional<XrayGauss> ScatXray(std::string_view name) {
  auto n = ScatParseName(name);
  if (!n) return std::nullopt;
  if (n->Element == "D") n->Element = "H";
  return Find(Sess.Scat.Xray, n->Label());
}

std::optional<AnomalousDisp> ScatAnomalousLine(std::string_view name, std::string_view anode) {
  auto key = ElementKey(name, true);
  auto a = ScatParseName(anode);
  if (!key || !a) return std::nullopt;
  auto col = std::find(Sess.Scat.KalphaAnodes.begin(), Sess.Scat.KalphaAnodes.end(), a->Element);
  auto row = Sess.Scat.Kalpha.find(*key);
  if (col == Sess.Scat.KalphaAnodes.end() || row == Sess.Scat.Kalpha.end()) return std::nullopt;
  return row->second[col - Sess.Scat.KalphaAnodes.begin()];
}

std::optional<AnomalousDisp> ScatAnomalousLambda(std::string_view name, double lambda) {
  auto key = ElementKey(name, true);
  if (!key || !(lambda > 0.)) return std::nullopt;
  auto it = Sess.Scat.Grid.find(*key);
  if (it == Sess.Scat.Grid.end() || it->second.size() < 2) return std::nullopt;
  const auto& p = it->second;
  double lne = std::log(ScatHcEvA / lambda);
  // The grid ends are written rounded to 0.01 eV; allow that much outside.
  constexpr double LnETol = 1e-6;
  if (lne < p.front().LnE - LnETol || lne > p.back().LnE + LnETol) return std::nullopt;
  auto hi = std::upper_bound(p.begin(), p.end(), lne,
                             [](double x, const AnomalousPoint& q) { return x < q.LnE; });
  if (hi == p.begin()) ++hi;
  if (hi == p.end()) --hi;
  auto lo = hi - 1;
  double w = (lne - lo->LnE) / (hi->LnE - lo->LnE);
  return AnomalousDisp{lo->fp + w * (hi->fp - lo->fp), lo->fpp + w * (hi->fpp - lo->fpp)};
}

std::optional<AnodeLines> ScatAnode(std::string_view anode) {
  auto key = ElementKey(anode, false);
  if (!key) return std::nullopt;
  return Find(Sess.Scat.Anode, *key);
}

std::optional<NeutronLength> ScatNeutron(std::string_view name) {
  auto key = ElementKey(name, false);
  if (!key) return std::nullopt;
  return Find(Sess.Scat.Neutron, *key);
}

std::optional<ElectronGauss> ScatElectron(std::string_view name) {
  auto key = ElementKey(name, true);
  if (!key) return std::nullopt;
  return Find(Sess.Scat.Electron, *key);
}

std::optional<MagneticJ> ScatMagnetic(std::string_view name, int n) {
  if (n != 0 && n != 2 && n != 4) return std::nullopt;
  auto p = ScatParseName(name);
  if (!p || !p->Suffix.empty()) return std::nullopt;
  auto it = Sess.Scat.Magnetic.find(p->Label());
  if (it == Sess.Scat.Magnetic.end()) return std::nullopt;
  return it->second[n / 2];
}

std::optional<ElementData> ScatElement(std::string_view name) {
  auto key = ElementKey(name, false);
  if (!key) return std::nullopt;
  return Find(Sess.Scat.Element, *key);
}

std::optional<double> ScatAtomicWeight(std::string_view name) {
  auto e = ScatElement(name);
  if (!e) return std::nullopt;
  return e->Weight;
}

std::optional<double> ScatTypicalDistance(std::string_view name1, std::string_view name2) {
  auto e1 = ScatElement(name1), e2 = ScatElement(name2);
  if (!e1 || !e2 || !e1->RCov || !e2->RCov) return std::nullopt;
  return *e1->RCov + *e2->RCov;
}

double XrayFormFactor(const XrayGauss& g, double s) {
  double s2 = s * s, f = g.c;
  for (int i = 0; i < 4; ++i) f += g.a[i] * std::exp(-g.b[i] * s2);
  return f;
}

double ElectronFormFactor(const ElectronGauss& g, double s) {
  double s2 = s * s, f = 0.;
  for (int i = 0; i < 5; ++i) f += g.a[i] * std::exp(-g.b[i] * s2);
  return f;
}

double MagneticFormFactor(const MagneticJ& j, int n, double s) {
  double s2 = s * s;
  const auto& c = j.c;
  double f = c[0] * std::exp(-c[1] * s2) + c[2] * std::exp(-c[3] * s2) +
             c[4] * std::exp(-c[5] * s2) + c[6];
  return n == 0 ? f : s2 * f;
}

}  // namespace tarn
