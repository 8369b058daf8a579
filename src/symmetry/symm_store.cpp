// Stored symmetry sets: numbered slots, restore, and comparisons of sets.
#include <algorithm>

#include "symmetry/symm.hpp"

namespace tarn {

namespace {

const StoredSymmetry* Slot(const SymmSlots& slots, int slot) {
  if (slot < 0 || slot >= static_cast<int>(slots.Slot.size()) || !slots.Slot[slot]) return nullptr;
  return &*slots.Slot[slot];
}

int SlotEmptyMessage(int slot) {
  return SymmFail(nullptr, SymmMsgText(SymmMsg::SlotEmpty), {std::to_string(slot)});
}

bool SameCentring(const StoredSymmetry& a, const StoredSymmetry& b) {
  if (a.NLattVecStore != b.NLattVecStore) return false;
  for (int i = 0; i < a.NLattVecStore; ++i) {
    bool found = false;
    for (int j = 0; j < b.NLattVecStore && !found; ++j)
      found = CrlEqModCentr(a.VT6Store[i].data(), b.VT6Store[j].data(), a.NDimStore, {}, 0);
    if (!found) return false;
  }
  return true;
}

// Operator i of a found in b (rotation, translation modulo b's centring over
// the first ntr components, time-inversion sign).
bool HasOp(const StoredSymmetry& a, int i, const StoredSymmetry& b, int ntr) {
  const int nn = a.NDimStore * a.NDimStore;
  for (int k = 0; k < b.NSymmStore; ++k) {
    if (!eqrv(a.RM6Store[i].data(), b.RM6Store[k].data(), nn, kTolComplete)) continue;
    if (!CrlEqModCentr(a.S6Store[i].data(), b.S6Store[k].data(), ntr, b.VT6Store, b.NLattVecStore))
      continue;
    if (a.ZMagStore[i] * b.ZMagStore[k] > 0.) return true;
  }
  return false;
}

bool CompareSets(const SymmSlots& slots, int slot1, int slot2, bool tr3) {
  const StoredSymmetry* a = Slot(slots, slot1);
  const StoredSymmetry* b = Slot(slots, slot2);
  if (!a || !b || a->NDimStore != b->NDimStore || a->NSymmStore != b->NSymmStore) return false;
  if (!tr3 && !SameCentring(*a, *b)) return false;
  const int ntr = tr3 ? 3 : a->NDimStore;
  for (int i = 0; i < a->NSymmStore; ++i)
    if (!HasOp(*a, i, *b, ntr)) return false;
  return true;
}

}  // namespace

void CrlStoreSymmetry(SymmSlots& slots, const PhaseSymmetry& ps, int slot) {
  StoredSymmetry s;
  s.NDimStore = ps.NDim;
  s.NSymmStore = ps.NSymm;
  s.NSymmNStore = ps.NSymmN;
  s.NLattVecStore = ps.NLattVec;
  s.NCSymmStore = ps.NCSymm;
  s.MagneticStore = ps.Magnetic;
  for (int i = 0; i < ps.NSymm; ++i) {
    s.RM6Store.push_back(ps.Op[i].RM6);
    s.RMStore.push_back(ps.Op[i].RM);
    s.S6Store.push_back(ps.Op[i].S6);
    s.ZMagStore.push_back(ps.Op[i].ZMag);
  }
  s.VT6Store.assign(ps.VT6.begin(), ps.VT6.begin() + ps.NLattVec);
  CrlStoreSymmetryExplicite(slots, slot, s);
}

void CrlStoreSymmetryExplicite(SymmSlots& slots, int slot, const StoredSymmetry& set) {
  if (slot < 0) return;
  if (slot >= static_cast<int>(slots.Slot.size())) slots.Slot.resize(slot + 1);
  slots.Slot[slot] = set;
}

int CrlRestoreSymmetry(const SymmSlots& slots, PhaseSymmetry& ps, int slot) {
  const StoredSymmetry* s = Slot(slots, slot);
  if (!s) return SlotEmptyMessage(slot);
  PhaseSymmetry out;
  out.NDim = s->NDimStore;
  out.Magnetic = s->MagneticStore;
  out.NCSymm = s->NCSymmStore;
  ReallocSymm(out, std::max(s->NSymmStore, 1), std::max(s->NLattVecStore, 1));
  out.NLattVec = s->NLattVecStore;
  std::copy(s->VT6Store.begin(), s->VT6Store.end(), out.VT6.begin());
  out.NSymm = s->NSymmStore;
  for (int i = 0; i < s->NSymmStore; ++i)
    CrlSetOp(out, i, s->RM6Store[i].data(), s->S6Store[i].data(), s->ZMagStore[i]);
  out.NSymmN = s->NSymmNStore;
  ps = std::move(out);
  return 0;
}

int CrlRestoreSymmetryExplicite(const SymmSlots& slots, int slot, StoredSymmetry& set) {
  const StoredSymmetry* s = Slot(slots, slot);
  if (!s) return SlotEmptyMessage(slot);
  set = *s;
  return 0;
}

void CrlCleanOneSymmetry(SymmSlots& slots, int slot) {
  if (slot >= 0 && slot < static_cast<int>(slots.Slot.size())) slots.Slot[slot].reset();
}

void CrlCleanSymmetry(SymmSlots& slots) {
  slots.Slot.clear();
}

int CrlCompleteSymmetry(const SymmSlots& slots, PhaseSymmetry& ps, int slot) {
  const StoredSymmetry* s = Slot(slots, slot);
  if (!s || s->NDimStore != ps.NDim) return SlotEmptyMessage(slot);
  const int nn = ps.NDim * ps.NDim;
  for (int i = 0; i < ps.NSymm; ++i)
    for (int k = 0; k < s->NSymmStore; ++k)
      if (eqrv(ps.Op[i].RM6.data(), s->RM6Store[k].data(), nn, kTolComplete)) {
        CrlSetOp(ps, i, s->RM6Store[k].data(), s->S6Store[k].data(), ps.Op[i].ZMag);
        break;
      }
  return 0;
}

bool CrlCompareSymmetry(const SymmSlots& slots, int slot1, int slot2) {
  return CompareSets(slots, slot1, slot2, false);
}

bool CrlCompareTr3Symmetry(const SymmSlots& slots, int slot1, int slot2) {
  return CompareSets(slots, slot1, slot2, true);
}

bool CrlCompRefExtSymmetry(const SymmSlots& slots, int slotRef, int slotExt) {
  const StoredSymmetry* a = Slot(slots, slotRef);
  const StoredSymmetry* b = Slot(slots, slotExt);
  if (!a || !b || a->NDimStore != b->NDimStore) return false;
  for (int i = 0; i < a->NSymmStore; ++i)
    if (!HasOp(*a, i, *b, a->NDimStore)) return false;
  return true;
}

bool CrlCompTwinSymmetry(const SymmSlots& slots, int slot1, int slot2) {
  const StoredSymmetry* a = Slot(slots, slot1);
  const StoredSymmetry* b = Slot(slots, slot2);
  if (!a || !b) return false;
  auto subset = [](const StoredSymmetry& x, const StoredSymmetry& y) {
    for (int i = 0; i < x.NSymmStore; ++i) {
      bool found = false;
      for (int k = 0; k < y.NSymmStore && !found; ++k)
        found = eqrv(x.RMStore[i].data(), y.RMStore[k].data(), 9, kTolComplete);
      if (!found) return false;
    }
    return true;
  };
  return subset(*a, *b) && subset(*b, *a);
}

}  // namespace tarn
