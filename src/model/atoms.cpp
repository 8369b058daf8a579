#include "model/atoms.hpp"
#include "model/structure.hpp"

#include <algorithm>

#include "model/basic.hpp"

namespace tarn {


AtomLayoutInfo AtomLayout(const AtomShape& s) {
  AtomLayoutInfo l;
  const int d = std::clamp(s.AdpOrder, 1, MaxAdpOrder);
  auto set = [&](int b, int len, int item) {
    l.Len[b] = std::max(len, 0);
    l.Item[b] = item;
  };
  set(BlkOcc, 1, 1);
  set(BlkPos, 3, 3);
  set(BlkAdp, 6, 6);
  for (int n = 3; n <= MaxAdpOrder; n++) {
    const int b = BlkAnh3 + n - 3;
    set(b, n <= d ? TensorComps(n) : 0, TensorComps(n));
  }
  set(BlkMag, s.MagPar > 0 ? 3 : 0, 3);
  set(BlkCrenel, s.Flag[0] == 1 ? 2 : 0, 2);
  set(BlkOccWave, 2 * s.NWave[0], 2);
  set(BlkSaw, s.Flag[1] == 1 ? 5 : 0, 5);
  set(BlkPosWave, 6 * s.NWave[1], 6);
  const int adpWave = d == 1 ? 2 : 12;  // isotropic: sin, cos of Uiso
  set(BlkAdpWave, adpWave * s.NWave[2], adpWave);
  for (int n = 3; n <= MaxAdpOrder; n++) {
    const int b = BlkAnh3Wave + n - 3;
    const int item = 2 * TensorComps(n);
    set(b, n <= d ? item * s.NWave[n] : 0, item);  // kind n+1 carries the order-n tensor
  }
  set(BlkMagWave, s.MagPar > 1 ? 6 * (s.MagPar - 1) : 0, 6);
  int off = 0;
  for (int b = 0; b < NAtBlocks; b++) {
    l.Off[b] = off;
    off += l.Len[b];
  }
  l.NPar = off;
  return l;
}

MolLayoutInfo MolLayout(const MolShape& s) {
  MolLayoutInfo l;
  auto set = [&](int b, int len, int item) {
    l.Len[b] = std::max(len, 0);
    l.Item[b] = item;
  };
  const int tls = s.TLS ? 1 : 0;
  set(MBlkBase, 7, 7);
  set(MBlkT, 6 * tls, 6);
  set(MBlkL, 6 * tls, 6);
  set(MBlkS, 9 * tls, 9);
  set(MBlkCrenel, s.Flag[0] == 1 ? 2 : 0, 2);
  set(MBlkOccWave, 2 * s.NWave[0], 2);
  set(MBlkTransWave, 6 * s.NWave[1], 6);
  set(MBlkRotWave, 6 * s.NWave[2], 6);
  set(MBlkTWave, 12 * s.NWave[3] * tls, 12);
  set(MBlkLWave, 12 * s.NWave[4] * tls, 12);
  set(MBlkSWave, 18 * s.NWave[5] * tls, 18);
  int off = 0;
  for (int b = 0; b < NMolBlocks; b++) {
    l.Off[b] = off;
    off += l.Len[b];
  }
  l.NPar = off;
  return l;
}

int ExtParCount(int extType) {
  switch (extType) {
    case ExtIso:
      return 2;
    case ExtAniso:
      return 12;
    case ExtShelx:
      return 1;
    default:
      return 0;
  }
}

AtomRec DefaultAtom() {
  AtomRec a;
  a.Par.resize(AtomLayout(a.Shape).NPar);
  a.Par.Val[0] = 1.;
  return a;
}

void AllocateAtoms(int n) {
  Struct.Model.Atom.assign(std::max(n, 0), DefaultAtom());
}

void ReallocateAtoms(int n) {
  if (n > static_cast<int>(Struct.Model.Atom.size())) Struct.Model.Atom.resize(n, DefaultAtom());
}

namespace {

// Copies block b of `from` (layout lo) to block b of `to` (layout ln): the
// common leading part of the block, so that waves 1..min keep their values.
template <class LO>
void MoveBlocks(const ParList& from, const LO& lo, ParList& to, const LO& ln, int nblocks) {
  for (int b = 0; b < nblocks; b++) {
    const int n = std::min(lo.Len[b], ln.Len[b]);
    for (int i = 0; i < n; i++) {
      const int src = lo.Off[b] + i, dst = ln.Off[b] + i;
      if (src >= from.size()) break;
      to.Val[dst] = from.Val[src];
      to.Key[dst] = from.Key[src];
      to.Sig[dst] = from.Sig[src];
    }
  }
}

}  // namespace

void ReallocateAtomParams(AtomRec& at, const AtomShape& shape) {
  const AtomLayoutInfo lo = AtomLayout(at.Shape), ln = AtomLayout(shape);
  ParList np;
  np.resize(ln.NPar);
  MoveBlocks(at.Par, lo, np, ln, NAtBlocks);
  at.Par = std::move(np);
  at.Shape = shape;
}

void ReallocateAtomParams(int i, const AtomShape& shape) {
  ReallocateAtomParams(Struct.Model.Atom.at(i), shape);
}

void ReallocateMolParams(MoleculeRec& m, const MolShape& shape) {
  const MolLayoutInfo lo = MolLayout(m.Shape), ln = MolLayout(shape);
  for (auto& p : m.Pos) {
    ParList np;
    np.resize(ln.NPar);
    MoveBlocks(p.Par, lo, np, ln, NMolBlocks);
    p.Par = std::move(np);
  }
  m.Shape = shape;
}

namespace {

int MaxWavesOf(const AtomShape& s) {
  int w = *std::max_element(s.NWave.begin(), s.NWave.end());
  return std::max(w, s.MagPar - 1);
}

void SizeAtom(AtomRec& a) {
  const int n = AtomLayout(a.Shape).NPar;
  if (a.Par.size() != n) a.Par.resize(n);
}

}  // namespace

void SetBasicM40(AtomModel& m) {
  const size_t nph = std::max<size_t>(1, Struct.Basic.Phase.size());
  if (m.Phase.size() < nph) m.Phase.resize(nph);
  if (m.DatBlock.size() < Struct.Basic.DatBlock.size()) {
    DatBlockModel db;
    db.Scale.resize(1);
    db.Scale.Val[0] = 1.;
    db.Scale.Key[0] = 1;
    m.DatBlock.resize(Struct.Basic.DatBlock.size(), db);
  }
  for (auto& ph : m.Phase) {
    ph.NComp = std::clamp(ph.NComp, 1, MaxComp);
    ph.NAtPart.fill(0);
    ph.NMolPart.fill(0);
    ph.MaxWaves = 0;
    ph.NPar = 0;
  }
  auto phaseOf = [&](int p) -> PhaseModel* {
    if (p < 1 || p > static_cast<int>(m.Phase.size())) return nullptr;
    return &m.Phase[p - 1];
  };
  auto atomPars = [](const AtomRec& a) {
    return a.Par.size() + (a.FunType > 0 ? (a.FunHasWidth ? 2 : 1) : 0);
  };
  for (auto& a : m.Atom) {
    SizeAtom(a);
    PhaseModel* ph = phaseOf(a.Phase);
    if (!ph) continue;
    if (a.Part >= 1 && a.Part <= MaxComp) ph->NAtPart[a.Part - 1]++;
    ph->MaxWaves = std::max(ph->MaxWaves, MaxWavesOf(a.Shape));
    ph->NPar += atomPars(a);
  }
  for (auto& mol : m.Mol) {
    const int npos = MolLayout(mol.Shape).NPar;
    if (mol.Ref.size() != 3) mol.Ref.resize(3);
    for (auto& p : mol.Pos)
      if (p.Par.size() != npos) p.Par.resize(npos);
    for (auto& a : mol.Atoms) {
      SizeAtom(a);
      a.Phase = mol.Phase;
      a.Part = mol.Part;
    }
    PhaseModel* ph = phaseOf(mol.Phase);
    if (!ph) continue;
    if (mol.Part >= 1 && mol.Part <= MaxComp) ph->NMolPart[mol.Part - 1]++;
    int w = *std::max_element(mol.Shape.NWave.begin(), mol.Shape.NWave.end());
    for (auto& a : mol.Atoms) {
      w = std::max(w, MaxWavesOf(a.Shape));
      ph->NPar += atomPars(a);
    }
    ph->MaxWaves = std::max(ph->MaxWaves, w);
    ph->NPar += 3 + npos * static_cast<int>(mol.Pos.size());
  }
  for (auto& ph : m.Phase) ph.NParR = ph.NPar;
}

void SetBasicM40() {
  SetBasicM40(Struct.Model);
}

}  // namespace tarn
