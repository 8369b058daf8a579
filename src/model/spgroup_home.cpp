// The home directory's space-group tables and phases given by a group symbol.
#include "model/spgroup_home.hpp"

#include <cmath>

#include "model/session.hpp"
#include "symmetry/spgroup_mag.hpp"

namespace tarn {

const SgTable* HomeSgTable(ErrorRecord* err) {
  static SgTable table;
  static std::string dir;
  static bool loaded = false;
  if (loaded && dir == Sess.HomeDir) return &table;
  ErrorRecord e;
  if (SgTableLoad(Sess.HomeDir, table, &e)) {
    loaded = false;
    if (err) *err = e;
    return nullptr;
  }
  dir = Sess.HomeDir;
  loaded = true;
  return &table;
}

void PhaseSetOperators(PhaseBasic& p, const PhaseSymmetry& ps, char lattice) {
  p.SymmText.clear();
  for (int k = 0; k < ps.NSymm; ++k) {
    std::string s;
    for (const auto& t : ps.Op[k].Text) s += (s.empty() ? "" : " ") + t;
    if (ps.Magnetic) s += ps.Op[k].ZMag < 0. ? " -m" : " m";
    p.SymmText.push_back(s);
  }
  p.Centro = false;
  p.LattVec.clear();
  // The lattice letter when its vectors are exactly those of the group.
  const std::vector<std::vector<double>> letter = LatticeCentring(std::string(1, lattice), 3);
  bool same = static_cast<int>(letter.size()) == ps.NLattVec;
  for (size_t i = 0; same && i < letter.size(); ++i)
    same = CrlEqModCentr(letter[i].data(), Vec6{}.data(), 3, ps.VT6, ps.NLattVec);
  p.Lattice = same ? std::string(1, lattice) : "X";
  if (!same)
    for (int c = 1; c < ps.NLattVec; ++c) p.LattVec.push_back({ps.VT6[c][0], ps.VT6[c][1], ps.VT6[c][2]});
}

int PhaseFromSpGroup(PhaseBasic& p, ErrorRecord* err) {
  const SgTable* tab = HomeSgTable(err);
  if (!tab) return 1;
  double shift[3] = {0, 0, 0};
  for (size_t i = 0; i < 3 && i < p.SgShift.size(); ++i) shift[i] = p.SgShift[i];
  PhaseSymmetry ps;
  SgFound f;
  if (p.Magnetic ? EM50GenSymMag(*tab, p.SpGroup, p.Cell, shift, ps, &f, err)
                 : EM50GenSym(*tab, p.SpGroup, p.Cell, shift, ps, &f, err))
    return 1;
  const char c = p.SpGroup[0] == '-' && p.SpGroup.size() > 1 ? p.SpGroup[1] : p.SpGroup[0];
  PhaseSetOperators(p, ps, static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  if (p.SpGroupNumber == 0) p.SpGroupNumber = f.Number;
  return 0;
}

}  // namespace tarn
