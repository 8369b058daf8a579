// Operator lists of a phase: allocation, closure of the centring vectors and
// of the operator list, expansion by the centre of symmetry, superspace rows
// from the modulation vectors and change of basis.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "symmetry/symm.hpp"

namespace tarn {

namespace {

std::string OpLine(const SymmOp& op) {
  std::string s;
  for (const auto& t : op.Text) {
    if (!s.empty()) s += ' ';
    s += t;
  }
  return s;
}

// Shows the inconsistency of two operators with one rotation part.
int Inconsistent(const PhaseSymmetry& ps, const SymmOp& a, const SymmOp& b, ErrorRecord* err) {
  std::string l1 = OpLine(a), l2 = OpLine(b);
  if (ps.Magnetic) {
    l1 += a.ZMag < 0. ? " -m" : " m";
    l2 += b.ZMag < 0. ? " -m" : " m";
  }
  return SymmFail(err, SymmMsgText(SymmMsg::Inconsistent),
                  {l1, l2, SymmMsgText(SymmMsg::CheckConsistency)});
}

// Search key of a rotation part: FNV-1a over its entries when all are
// integers, 0 (compare in full) otherwise.
uint64_t RotKey(const double* r, int nn) {
  uint64_t h = 1469598103934665603ull;
  for (int i = 0; i < nn; ++i) {
    const double v = std::round(r[i]);
    if (std::fabs(r[i] - v) > 1e-6 || std::fabs(v) > 1e6) return 0;
    h = (h ^ static_cast<uint64_t>(static_cast<int64_t>(v) + 0x8000)) * 1099511628211ull;
  }
  return h == 0 ? 1 : h;
}

void RefreshElem(PhaseSymmetry& ps) {
  for (int i = 0; i < ps.NSymm; ++i)
    ps.Op[i].Elem = SmbOp(ps.Op[i].RM6.data(), ps.Op[i].S6.data(), ps.NDim, &ps.VT6, ps.NLattVec);
}

}  // namespace

PhaseSymmetry CrlPrimitivePhase(int ndim, bool magnetic) {
  PhaseSymmetry ps;
  ps.NDim = std::clamp(ndim, 3, kMaxNDim);
  ps.Magnetic = magnetic;
  ReallocSymm(ps, kSymmInitAlloc, kLattVecInitAlloc);
  Mat6 e{};
  for (int i = 0; i < ps.NDim; ++i) e[i * ps.NDim + i] = 1.;
  const Vec6 z{};
  CrlAddOp(ps, e.data(), z.data(), 1.);
  ps.NLattVec = 1;
  ps.VT6[0] = Vec6{};
  return ps;
}

void ReallocSymm(PhaseSymmetry& ps, int nSymm, int nLattVec) {
  if (nSymm > ps.MaxSymm()) ps.Op.resize(nSymm);
  if (nLattVec > ps.MaxLattVec()) ps.VT6.resize(nLattVec);
}

void CrlSetOp(PhaseSymmetry& ps, int i, const double* rm6, const double* s6, double zmag) {
  const int n = ps.NDim;
  SymmOp& op = ps.Op[i];
  op.RM6.fill(0.);
  op.S6.fill(0.);
  std::copy(rm6, rm6 + n * n, op.RM6.begin());
  std::copy(s6, s6 + n, op.S6.begin());
  op.ZMag = ps.Magnetic ? zmag : 1.;
  op.RM = MatBlock3(op.RM6.data(), n);
  op.RMag = CrlMakeRMag(op.RM, op.ZMag);
  op.Text = CodeSymm(op.RM6.data(), op.S6.data(), n);
  op.Elem = SmbOp(op.RM6.data(), op.S6.data(), n, &ps.VT6, ps.NLattVec);
}

void CrlAddOp(PhaseSymmetry& ps, const double* rm6, const double* s6, double zmag) {
  if (ps.NSymm + 1 > ps.MaxSymm())
    ReallocSymm(ps, std::max({2 * ps.MaxSymm(), ps.NSymm + 1, kSymmInitAlloc}), 0);
  CrlSetOp(ps, ps.NSymm, rm6, s6, zmag);
  ++ps.NSymm;
  ++ps.NSymmN;
}

void CrlAddCentr(PhaseSymmetry& ps, const double* v) {
  if (ps.NLattVec + 1 > ps.MaxLattVec())
    ReallocSymm(ps, 0, std::max({2 * ps.MaxLattVec(), ps.NLattVec + 1, kLattVecInitAlloc}));
  Vec6 w{};
  std::copy(v, v + ps.NDim, w.begin());
  od0do1(w.data(), ps.NDim);
  ps.VT6[ps.NLattVec++] = w;
}

int EM50CompleteCentr(bool checkOnly, std::vector<Vec6>& vt6, int& nLattVec, int maxLattVec,
                      int ndim, int& incomplete, ErrorRecord* err) {
  incomplete = 0;
  if (static_cast<int>(vt6.size()) < maxLattVec) vt6.resize(maxLattVec);
  if (vt6.empty()) return 0;
  if (nLattVec < 1) {
    vt6[0] = Vec6{};
    nLattVec = 1;
  }
  const int entry = nLattVec;
  // Sums of pairs; vectors appended on the way take part in later pairs
  // (the pair (i, j) with j appended late is met again as (j, i)).
  for (int i = 1; i < nLattVec; ++i) {
    for (int j = 1; j < nLattVec; ++j) {
      Vec6 v{};
      for (int k = 0; k < ndim; ++k) v[k] = vt6[i][k] + vt6[j][k];
      od0do1(v.data(), ndim);
      bool found = false;
      for (int k = 0; k < nLattVec && !found; ++k)
        found = eqrv(v.data(), vt6[k].data(), ndim, kTolCentr);
      if (found) continue;
      if (checkOnly) {
        incomplete = 1;
        return 0;
      }
      if (nLattVec >= maxLattVec) {
        nLattVec = entry;
        return SymmFail(err, std::string(SymmMsgText(SymmMsg::MaxCentrHead)) + " " +
                                 std::to_string(maxLattVec) + " " +
                                 SymmMsgText(SymmMsg::MaxCentrTail));
      }
      vt6[nLattVec++] = v;
    }
  }
  return 0;
}

int EM50CompleteCentr(bool checkOnly, PhaseSymmetry& ps, int& incomplete, ErrorRecord* err) {
  return EM50CompleteCentr(checkOnly, ps.VT6, ps.NLattVec, ps.MaxLattVec(), ps.NDim, incomplete,
                           err);
}

int CompleteSymm(PhaseSymmetry& ps, ErrorRecord* err) {
  const int n = ps.NDim, nn = n * n;
  if (ps.NLattVec < 1) {
    ReallocSymm(ps, 0, kLattVecInitAlloc);
    ps.VT6[0] = Vec6{};
    ps.NLattVec = 1;
  }
  if (ps.NSymm < 1) {
    Mat6 e{};
    for (int i = 0; i < n; ++i) e[i * n + i] = 1.;
    const Vec6 z{};
    CrlAddOp(ps, e.data(), z.data(), 1.);
  }
  // A listed operator whose rotation repeats an earlier one is the same
  // coset (dropped) or contradicts it.
  for (int k = 1; k < ps.NSymm; ++k) {
    for (int m = 0; m < k; ++m) {
      if (!eqrv(ps.Op[m].RM6.data(), ps.Op[k].RM6.data(), nn, kTolComplete)) continue;
      if (CrlEqModCentr(ps.Op[m].S6.data(), ps.Op[k].S6.data(), n, ps.VT6, ps.NLattVec,
                        kTolComplete) &&
          (!ps.Magnetic || ps.Op[m].ZMag * ps.Op[k].ZMag > 0.)) {
        ps.Op.erase(ps.Op.begin() + k);
        ps.Op.emplace_back();  // keep the allocation
        --ps.NSymm;
        ps.NSymmN = std::max(ps.NSymmN - 1, 0);
        --k;
        break;
      }
      return Inconsistent(ps, ps.Op[m], ps.Op[k], err);
    }
  }
  const int nEntry = ps.NSymm;
  // Operators appended below get their texts and symbols here, also when
  // completion stops early (the list stays as it was at that point).
  auto finish = [&]() {
    for (int i = nEntry; i < ps.NSymm; ++i) {
      SymmOp& op = ps.Op[i];
      op.RM = MatBlock3(op.RM6.data(), n);
      op.RMag = CrlMakeRMag(op.RM, op.ZMag);
      op.Text = CodeSymm(op.RM6.data(), op.S6.data(), n);
    }
    RefreshElem(ps);
  };
  // The listed operators are taken in order; one that is not yet a product
  // of the earlier generators becomes a generator, and the list is closed
  // under right multiplication by the generators. A list closed that way
  // contains the identity and is a group: every product of two members is
  // then a member, so each pair need not be formed. Every product is compared
  // with the member of the same rotation part, which checks the translations
  // of the listed operators that are not generators too.
  std::vector<uint64_t> keys(ps.NSymm);
  for (int i = 0; i < ps.NSymm; ++i) keys[i] = RotKey(ps.Op[i].RM6.data(), nn);
  std::vector<char> inGroup(ps.NSymm, 0);
  std::vector<int> done(ps.NSymm, 0);  // generators already applied to each member
  std::vector<int> gen;
  inGroup[0] = 1;
  Mat6 r{};
  Vec6 t{};
  for (int e = 1; e <= nEntry; ++e) {
    if (e < nEntry) {
      if (inGroup[e]) continue;
      gen.push_back(e);
      inGroup[e] = 1;
    }
    const int ng = static_cast<int>(gen.size());
    bool work = true;
    while (work) {
      work = false;
      for (int i = 0; i < ps.NSymm; ++i) {
        if (!inGroup[i] || done[i] >= ng) continue;
        for (int g = done[i]; g < ng; ++g) {
          const SymmOp& a = ps.Op[i];
          const SymmOp& b = ps.Op[gen[g]];
          MultSymmOp(a.RM6.data(), a.S6.data(), b.RM6.data(), b.S6.data(), n, r.data(), t.data());
          od0do1(t.data(), n);
          const double z = ps.Magnetic ? a.ZMag * b.ZMag : 1.;
          const uint64_t key = RotKey(r.data(), nn);
          int m = 0;
          for (; m < ps.NSymm; ++m)
            if ((keys[m] == key || keys[m] == 0 || key == 0) &&
                eqrv(ps.Op[m].RM6.data(), r.data(), nn, kTolComplete))
              break;
          if (m < ps.NSymm) {
            if (CrlEqModCentr(t.data(), ps.Op[m].S6.data(), n, ps.VT6, ps.NLattVec, kTolComplete) &&
                (!ps.Magnetic || ps.Op[m].ZMag * z > 0.)) {
              if (!inGroup[m]) {
                inGroup[m] = 1;
                work = true;
              }
              continue;
            }
            SymmOp prod;
            prod.RM6 = r;
            prod.S6 = t;
            prod.ZMag = z;
            prod.Text = CodeSymm(r.data(), t.data(), n);
            finish();
            return Inconsistent(ps, ps.Op[m], prod, err);
          }
          if (ps.NSymm >= kSymmHardLimit) {
            finish();
            return 1;
          }
          if (ps.NSymm + 1 > ps.MaxSymm()) {
            if (ps.NSymm + 1 >= kSymmReallocLimit) {
              finish();
              return SymmFail(err, SymmMsgText(SymmMsg::TooManyOps));
            }
            ReallocSymm(ps, std::min(std::max(2 * ps.MaxSymm(), kSymmInitAlloc), kSymmReallocLimit),
                        0);
          }
          // Matrices only here; texts and symbols are made by finish().
          keys.push_back(key);
          inGroup.push_back(1);
          done.push_back(0);
          SymmOp& op = ps.Op[ps.NSymm++];
          ++ps.NSymmN;
          op.RM6 = r;
          op.S6 = t;
          op.ZMag = z;
          work = true;
        }
        done[i] = ng;
      }
    }
  }
  finish();
  if (ps.Magnetic) CrlOrderMagSymmetry(ps);
  return 0;
}

void CrlExpandCentroSym(PhaseSymmetry& ps) {
  if (ps.NCSymm == 1) return;
  const int n = ps.NDim, n0 = ps.NSymm;
  ReallocSymm(ps, 2 * n0, 0);
  for (int i = 0; i < n0; ++i) {
    Mat6 r{};
    Vec6 t{};
    for (int k = 0; k < n * n; ++k) r[k] = -ps.Op[i].RM6[k];
    for (int k = 0; k < n; ++k) t[k] = -ps.Op[i].S6[k];
    od0do1(t.data(), n);
    CrlSetOp(ps, n0 + i, r.data(), t.data(), ps.Op[i].ZMag);
  }
  // Both counts double: the partners are full members of the group, and
  // site-symmetry counting runs over the first NSymmN operators.
  ps.NSymm = 2 * n0;
  ps.NSymmN = 2 * ps.NSymmN;
  ps.NCSymm = 1;
  if (ps.Magnetic) CrlOrderMagSymmetry(ps);
}

int CrlExpandCentroSym(std::vector<PhaseSymmetry>& phases) {
  int maxSymm = 0;
  for (auto& ps : phases) {
    CrlExpandCentroSym(ps);
    maxSymm = std::max(maxSymm, ps.NSymm);
  }
  return maxSymm;
}

void CrlOrderMagSymmetry(PhaseSymmetry& ps) {
  std::stable_partition(ps.Op.begin(), ps.Op.begin() + ps.NSymm,
                        [](const SymmOp& op) { return op.ZMag > 0.; });
}

int CrlCompleteSSGSymm(PhaseSymmetry& ps, const std::vector<std::array<double, 3>>& q,
                       ErrorRecord* err) {
  const int d = static_cast<int>(q.size());
  if (d < 1 || d > kMaxNDim - 3) return 1;
  const int nNew = 3 + d, nOld = ps.NDim;
  std::vector<std::pair<Mat6, Vec6>> built(ps.NSymm);
  int ncomb = 1;
  for (int b = 0; b < d; ++b) ncomb *= 3;
  for (int i = 0; i < ps.NSymm; ++i) {
    const Mat3& R = ps.Op[i].RM;
    Mat6 rm{};
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) rm[a * nNew + b] = R[a * 3 + b];
    for (int a = 0; a < d; ++a) {
      // q_a.R = sum_b eps_ab q_b + M_a with M_a integer (reciprocal vectors
      // transform as rows); the smallest |M_a| wins, then the fewest terms.
      double qr[3];
      for (int c = 0; c < 3; ++c) qr[c] = q[a][0] * R[c] + q[a][1] * R[3 + c] + q[a][2] * R[6 + c];
      double bestScore = 1e30;
      int bestEps[3] = {}, bestM[3] = {};
      for (int comb = 0; comb < ncomb; ++comb) {
        int eps[3] = {}, code = comb, nz = 0;
        for (int b = 0; b < d; ++b) {
          eps[b] = code % 3 - 1;
          code /= 3;
          nz += eps[b] != 0;
        }
        if (nz == 0) continue;
        bool ok = true;
        int m[3];
        double sum = 0.;
        for (int c = 0; c < 3 && ok; ++c) {
          double v = qr[c];
          for (int b = 0; b < d; ++b) v -= eps[b] * q[b][c];
          const double rv = std::round(v);
          ok = std::fabs(v - rv) < kTolSSG && std::fabs(rv) < 1000.;
          m[c] = static_cast<int>(rv);
          sum += std::fabs(rv);
        }
        if (!ok) continue;
        const double score = sum * 10. + nz;
        if (score < bestScore) {
          bestScore = score;
          std::copy(eps, eps + 3, bestEps);
          std::copy(m, m + 3, bestM);
        }
      }
      if (bestScore > 1e29) {
        return SymmFail(err, SymmMsgText(SymmMsg::SSGNoMatch), {OpLine(ps.Op[i])});
      }
      for (int c = 0; c < 3; ++c) rm[(3 + a) * nNew + c] = bestM[c];
      for (int b = 0; b < d; ++b) rm[(3 + a) * nNew + 3 + b] = bestEps[b];
    }
    Vec6 s{};
    for (int c = 0; c < 3; ++c) s[c] = ps.Op[i].S6[c];
    if (nOld == nNew)
      for (int c = 3; c < nNew; ++c) s[c] = ps.Op[i].S6[c];
    built[i] = {rm, s};
  }
  ps.NDim = nNew;
  if (nOld != nNew)
    for (int k = 0; k < ps.NLattVec; ++k)
      for (int c = 3; c < kMaxNDim; ++c) ps.VT6[k][c] = 0.;
  for (int i = 0; i < ps.NSymm; ++i)
    CrlSetOp(ps, i, built[i].first.data(), built[i].second.data(), ps.Op[i].ZMag);
  return 0;
}

int CrlTransSymmetry(PhaseSymmetry& ps, const double* tr, const double* shift, ErrorRecord* err) {
  const int n = ps.NDim, nn = n * n;
  Mat6 ti{};
  Vec6 zero{}, dummy{};
  if (InvSymmOp(tr, zero.data(), n, ti.data(), dummy.data()) != 0) {
    return SymmFail(err, SymmMsgText(SymmMsg::TransSingular));
  }
  double det = 1.;  // |det T| by elimination of a copy
  {
    double a[kMaxNDim][kMaxNDim];
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) a[i][j] = tr[i * n + j];
    for (int c = 0; c < n; ++c) {
      int p = c;
      for (int i = c + 1; i < n; ++i)
        if (std::fabs(a[i][c]) > std::fabs(a[p][c])) p = i;
      std::swap(a[p], a[c]);
      det *= a[c][c];
      for (int i = c + 1; i < n; ++i) {
        const double f = a[i][c] / a[c][c];
        for (int j = c; j < n; ++j) a[i][j] -= f * a[c][j];
      }
    }
    det = std::fabs(det);
  }
  // New centring vectors: images of the old ones and of the old lattice
  // basis vectors (columns of T), closed under addition.
  std::vector<Vec6> vt(1, Vec6{});
  auto addVec = [&](Vec6 v) {
    od0do1(v.data(), n);
    for (const auto& w : vt)
      if (CrlEqModCentr(v.data(), w.data(), n, {}, 0, kTolCentr)) return;
    vt.push_back(v);
  };
  for (int k = 1; k < ps.NLattVec; ++k) {
    Vec6 v{};
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) v[i] += tr[i * n + j] * ps.VT6[k][j];
    addVec(v);
  }
  for (int j = 0; j < n; ++j) {
    Vec6 v{};
    for (int i = 0; i < n; ++i) v[i] = tr[i * n + j];
    addVec(v);
  }
  int nvt = static_cast<int>(vt.size());
  // The new cell holds NLattVec / |det T| points of the old lattice.
  const double want = std::min(4096., std::ceil(std::max(ps.NLattVec, 1) / det - 1e-6));
  const int maxVt = std::max(nvt, static_cast<int>(want)) + 1;
  int incomplete = 0;
  if (EM50CompleteCentr(false, vt, nvt, maxVt, n, incomplete, err) != 0) return 1;
  // Operators: R' = T.R.T^-1, t' = T.t + shift - R'.shift.
  std::vector<std::pair<Mat6, Vec6>> ops(ps.NSymm);
  for (int k = 0; k < ps.NSymm; ++k) {
    Mat6 tmp{}, r{};
    Vec6 tt{}, t{};
    MultSymmOp(tr, zero.data(), ps.Op[k].RM6.data(), ps.Op[k].S6.data(), n, tmp.data(), tt.data());
    MultSymmOp(tmp.data(), tt.data(), ti.data(), zero.data(), n, r.data(), t.data());
    for (int i = 0; i < n; ++i) {
      t[i] += shift[i];
      for (int j = 0; j < n; ++j) t[i] -= r[i * n + j] * shift[j];
    }
    for (int i = 0; i < nn; ++i) {
      const double rv = std::round(r[i]);
      if (std::fabs(r[i] - rv) < 1e-9) r[i] = rv == 0. ? 0. : rv;
    }
    od0do1(t.data(), n);
    ops[k] = {r, t};
  }
  ps.VT6 = vt;
  ps.NLattVec = nvt;
  ReallocSymm(ps, 0, kLattVecInitAlloc);
  for (int k = 0; k < ps.NSymm; ++k)
    CrlSetOp(ps, k, ops[k].first.data(), ops[k].second.data(), ps.Op[k].ZMag);
  return 0;
}

}  // namespace tarn
