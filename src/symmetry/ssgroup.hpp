#pragma once
// Superspace-group symbols of (3+1)- and (3+2)-dimensional groups: the table
// ssg.dat of the home directory (the published tables of the superspace
// groups: label, symbol, modulation vectors, centring vectors, generators),
// symbol -> operators and operators -> symbol.
//
// Symbol syntax: the basic space-group symbol, then per modulation vector its
// components in parentheses (rationals or the free components a, b, g, also
// written alfa, beta, gamma), then one additional symbol per generator of
// the point group: 0, 1, s (internal translation 1/2), t (1/3), q (1/4),
// h (1/6). Example: "P21/c(a,0,g)00", "Pnma(0,b,0)s00".
#include <string>
#include <string_view>
#include <vector>

#include "symmetry/spgroup.hpp"

namespace tarn {

struct SsgEntry {
  std::string Label;              // "3.1.5.4"
  std::string Symbol;             // "P2(0,0,g)s"
  std::string Key;                // SsgKey(Symbol)
  int NDim = 4;                   // 4 or 5
  std::string QForm;              // modulation vectors, "(0,0,G)" or "(A,0,0);(-A,A,0)"
  std::vector<Vec6> Centr;        // centring vectors other than zero
  std::vector<std::string> Gens;  // generators, rows x1 .. x5 separated by blanks
};

struct SsgTable {
  std::vector<SsgEntry> Entry;
  mutable std::vector<std::optional<PhaseSymmetry>> Cache;  // generated groups
};

// Reads dir + "ssg.dat". Returns 1 with err filled (file, line, expectation).
[[nodiscard]] int SsgTableLoad(const std::string& dir, SsgTable& tab, ErrorRecord* err = nullptr);

// Search key of a superspace symbol: SgKey, with "alfa"/"alpha", "beta",
// "gamma" inside parentheses written a, b, g.
std::string SsgKey(std::string_view symbol);

// Index of the entry of a symbol, -1 when absent.
int FindSmbSsg(const SsgTable& tab, std::string_view symbol);

// Operators of an entry, closed into the group (kept in the table's cache).
const PhaseSymmetry& SsgEntryOps(const SsgTable& tab, int entry);

// EM50GenSym for a superspace symbol: checks the parts of the symbol (the
// modulation part in parentheses, the additional symbols 0 1 s t q h, no
// primes in a non-magnetic phase), then generates the operators of the
// tabulated group into ps. Returns 1 with the message shown and kept in err.
[[nodiscard]] int EM50GenSymSSG(const SsgTable& tab, std::string_view symbol, PhaseSymmetry& ps,
                                SgFound* found = nullptr, ErrorRecord* err = nullptr);

// The tabulated superspace group whose operators and centring are those of
// ps (same setting and origin; translations modulo centring). Returns 1 when
// there is none.
[[nodiscard]] int FindSmbSsgOps(const SsgTable& tab, const PhaseSymmetry& ps, SgFound& found);

}  // namespace tarn
