// Superspace-group symbols: the table, symbol -> operators -> symbol.
#include "symmetry/ssgroup.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "util/files.hpp"
#include "util/fract.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

bool SameOp(const SymmOp& a, const SymmOp& b, const PhaseSymmetry& ps) {
  const int n = ps.NDim;
  return eqrv(a.RM6.data(), b.RM6.data(), n * n, kTolComplete) &&
         CrlEqModCentr(a.S6.data(), b.S6.data(), n, ps.VT6, ps.NLattVec);
}

}  // namespace

std::string SsgKey(std::string_view symbol) {
  std::string k = SgKey(symbol);
  std::string out;
  int depth = 0;
  for (size_t i = 0; i < k.size();) {
    const char c = k[i];
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (depth > 0) {
      bool replaced = false;
      for (auto [word, letter] : {std::pair<std::string_view, char>{"alfa", 'a'},
                                  {"alpha", 'a'}, {"beta", 'b'}, {"gamma", 'g'}})
        if (std::string_view(k).substr(i, word.size()) == word) {
          out += letter;
          i += word.size();
          replaced = true;
          break;
        }
      if (replaced) continue;
    }
    out += c;
    ++i;
  }
  return out;
}

int SsgTableLoad(const std::string& dir, SsgTable& tab, ErrorRecord* err) {
  const std::string file = dir + "ssg.dat";
  auto fail = [&](int line, std::string what, std::string msg) {
    if (err) *err = ErrorRecord::At(file, line, std::move(msg), std::move(what));
    return 1;
  };
  const std::string expect =
      "Expected: label | symbol | NDim (4 or 5) | modulation vectors | centring vectors | "
      "generators.";
  std::vector<SgTableRow> rows;
  if (SgReadBarTable(file, 6, expect, rows, err)) return 1;
  SsgTable tb;
  for (const SgTableRow& row : rows) {
    const std::vector<std::string>& f = row.F;
    const int line = row.Line;
    const std::optional<long long> nd = ToInt(f[2]);
    if (!nd || (*nd != 4 && *nd != 5) || f[1].empty()) return fail(line, row.Text, expect);
    SsgEntry e;
    e.Label = f[0];
    e.Symbol = f[1];
    e.Key = SsgKey(e.Symbol);
    e.NDim = static_cast<int>(*nd);
    e.QForm = f[3];
    for (const std::string& c : SplitOn(f[4], ";")) {
      std::vector<std::string> w = SplitWords(c);
      if (w.empty()) continue;
      if (static_cast<int>(w.size()) != e.NDim) return fail(line, c, expect);
      Vec6 v{};
      for (int i = 0; i < e.NDim; ++i) {
        auto x = ReadFract(w[i]);
        if (!x) return fail(line, c, expect);
        v[i] = *x;
      }
      e.Centr.push_back(v);
    }
    for (const std::string& g : SplitOn(f[5], ";"))
      if (!Trim(g).empty()) e.Gens.emplace_back(Trim(g));
    tb.Entry.push_back(std::move(e));
  }
  if (tb.Entry.empty()) return fail(0, {}, std::string(sgmsg::NoTable) + " no groups.");
  tb.Cache.assign(tb.Entry.size(), std::nullopt);
  tab = std::move(tb);
  return 0;
}

int FindSmbSsg(const SsgTable& tab, std::string_view symbol) {
  const std::string key = SsgKey(symbol);
  for (size_t i = 0; i < tab.Entry.size(); ++i)
    if (tab.Entry[i].Key == key) return static_cast<int>(i);
  return -1;
}

const PhaseSymmetry& SsgEntryOps(const SsgTable& tab, int entry) {
  auto& c = tab.Cache[static_cast<size_t>(entry)];
  if (!c) {
    const SsgEntry& e = tab.Entry[static_cast<size_t>(entry)];
    PhaseSymmetry ps = CrlPrimitivePhase(e.NDim);
    for (const Vec6& v : e.Centr) CrlAddCentr(ps, v.data());
    bool ok = true;
    for (const std::string& g : e.Gens) {
      SymmOp op;
      if (ReadSymm(g, e.NDim, false, op)) {
        ok = false;
        break;
      }
      CrlAddOp(ps, op.RM6.data(), op.S6.data(), 1.);
    }
    int incomplete = 0;
    if (!ok || EM50CompleteCentr(false, ps, incomplete) || CompleteSymm(ps))
      ps = CrlPrimitivePhase(e.NDim);
    c = std::move(ps);
  }
  return *c;
}

int EM50GenSymSSG(const SsgTable& tab, std::string_view symbol, PhaseSymmetry& out, SgFound* found,
                  ErrorRecord* err) {
  const std::string sym(Trim(symbol));
  auto fail = [&](std::string header) { return SymmFail(err, header, {sym}); };
  if (sym.find('\'') != std::string::npos) return fail(std::string(sgmsg::MagNonMag));
  const size_t open = sym.find('('), close = sym.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open)
    return fail(std::string(sgmsg::NoColon));
  // Inside parentheses the modulation vectors (rationals or the free
  // components a, b, g with an optional index); outside, one additional
  // symbol per generator.
  const std::string key = SsgKey(sym);
  int gen = 0;
  bool inside = false;
  for (size_t i = key.find('('); i < key.size(); ++i) {
    const char c = key[i];
    if (c == '(' || c == ')') {
      if (inside == (c == '(')) return fail(std::string(sgmsg::BadQ));
      inside = c == '(';
    } else if (inside) {
      if (!(std::isdigit(static_cast<unsigned char>(c)) || c == ',' || c == '/' || c == '-' ||
            c == 'a' || c == 'b' || c == 'g'))
        return fail(std::string(sgmsg::BadQ));
    } else if (c == '-' && i + 1 < key.size() && key[i + 1] != '(') {
      continue;  // a negative internal translation, "-h"
    } else if (std::string_view("01stqh").find(c) == std::string_view::npos) {
      return fail(fmt::format("{} {}. {}", sgmsg::AddSymbolHead, gen + 1, sgmsg::AddSymbolTail));
    } else {
      ++gen;
    }
  }
  if (inside) return fail(std::string(sgmsg::BadQ));
  const int e = FindSmbSsg(tab, sym);
  if (e < 0)
    return fail(fmt::format("{} \"{}\" {}", sgmsg::NotFoundHead, sym, sgmsg::NotFoundTail));
  out = SsgEntryOps(tab, e);
  if (found) {
    found->Entry = e;
    found->Number = 0;
    found->Symbol = tab.Entry[e].Symbol;
  }
  return 0;
}

int FindSmbSsgOps(const SsgTable& tab, const PhaseSymmetry& ps, SgFound& found) {
  for (size_t i = 0; i < tab.Entry.size(); ++i) {
    const SsgEntry& e = tab.Entry[i];
    if (e.NDim != ps.NDim || static_cast<int>(e.Centr.size()) + 1 != ps.NLattVec) continue;
    const PhaseSymmetry& ref = SsgEntryOps(tab, static_cast<int>(i));
    if (ref.NSymm != ps.NSymm || ref.NLattVec != ps.NLattVec) continue;
    bool same = true;
    for (int c = 1; c < ref.NLattVec && same; ++c)
      same = CrlEqModCentr(ref.VT6[c].data(), Vec6{}.data(), ps.NDim, ps.VT6, ps.NLattVec);
    for (int k = 0; k < ref.NSymm && same; ++k) {
      bool hit = false;
      for (int m = 0; m < ps.NSymm && !hit; ++m) hit = SameOp(ref.Op[k], ps.Op[m], ps);
      same = hit;
    }
    if (same) {
      found.Entry = static_cast<int>(i);
      found.Number = 0;
      found.Symbol = e.Symbol;
      return 0;
    }
  }
  return 1;
}

}  // namespace tarn
