// The superspace and magnetic parts of the report: operators of (3+d)
// dimensions and with time inversion, the modulation vectors, and per atom
// the Fourier amplitudes of the occupancy, position, ADP and moment waves,
// the crenel and sawtooth functions and the magnetic moments, in the names of
// the modulated-structures and magnetic CIF dictionaries.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "cif/cif_internal.hpp"
#include "cif/cif_keys.hpp"
#include "model/batch_edit.hpp"
#include "model/modfun.hpp"
#include "symmetry/symm.hpp"

namespace tarn {

namespace {

using B = CifBuilder;

// The full operator of an entry of the complete list: (R, t + centring), t
// reduced to [0, 1); NDim component texts x1 ... (x, y, z for three
// dimensions), and the time-inversion sign for magnetic phases.
std::string OpText(const PhaseBasic& p, const DistOp& o, bool magnetic) {
  const PhaseSymmetry& sy = p.Symmetry;
  const int nd = sy.NDim;
  Mat6 rm{};
  Vec6 s6{};
  double z = 1.;
  if (o.Op < static_cast<int>(sy.Op.size())) {
    const SymmOp& so = sy.Op[static_cast<size_t>(o.Op)];
    rm = so.RM6;
    s6 = so.S6;
    z = so.ZMag;
  } else {
    for (int k = 0; k < nd; ++k) rm[static_cast<size_t>(k * nd + k)] = 1.;
  }
  if (o.Centr < static_cast<int>(sy.VT6.size()))
    for (int k = 0; k < nd; ++k)
      s6[static_cast<size_t>(k)] += sy.VT6[static_cast<size_t>(o.Centr)][static_cast<size_t>(k)];
  od0do1(s6.data(), nd);
  std::string t;
  for (const auto& c : CodeSymm(rm.data(), s6.data(), nd, nd > 3 ? 1 : 0))
    t += (t.empty() ? "" : ",") + c;
  if (magnetic) t += z < 0. ? ",-1" : ",+1";
  return t;
}

CifOut Num(double v, double su, int dec, int rule) {
  return B::P(CifNum(v, su, dec, rule));
}

// Sine and cosine amplitudes (with s.u.) of one component of wave w of a
// block with ncomp components per sine or cosine list.
struct Amp {
  double S = 0., SSu = 0., C = 0., CSu = 0.;
};
Amp WaveAmp(const AtomRec& r, int off, int ncomp, int w, int comp) {
  const size_t s = static_cast<size_t>(off + w * 2 * ncomp + comp),
               c = s + static_cast<size_t>(ncomp);
  Amp a;
  if (c < r.Par.Val.size()) a = {r.Par.Val[s], r.Par.Sig[s], r.Par.Val[c], r.Par.Sig[c]};
  return a;
}

}  // namespace

void CifSymmetryLoop(CifBuilder& b, const PhaseBasic& p, const DistPhase& ph) {
  std::vector<std::vector<CifOut>> rows;
  const bool ssg = p.NDim > 3, magnetic = p.Symmetry.Magnetic;
  for (size_t i = 0; i < ph.Ops.size(); ++i)
    rows.push_back({B::P(std::to_string(i + 1)),
                    B::Q(ssg || magnetic ? OpText(p, ph.Ops[i], magnetic) : ph.Ops[i].Text)});
  if (ssg && magnetic)
    b.Loop({CkMagnSsgOpId, CkMagnSsgOpText}, std::move(rows));
  else if (ssg)
    b.Loop({CkSsgOpId, CkSsgOpText}, std::move(rows));
  else if (magnetic)
    b.Loop({CkMagnOpId, CkMagnOpText}, std::move(rows));
  else
    b.Loop({CkSymopId, CkSymopXyz}, std::move(rows));
}

void CifWaveVectorItems(CifBuilder& b, const PhaseBasic& p, int rule) {
  if (p.NDim <= 3) return;
  b.Item(CkCellModDim, B::P(std::to_string(p.NDim - 3)));
  std::vector<std::vector<CifOut>> rows;
  for (size_t i = 0; i < p.Qi.size(); ++i) {
    std::vector<CifOut> row{B::P(std::to_string(i + 1))};
    for (int k = 0; k < 3; ++k) row.push_back(Num(p.Qi[i][k], 0., 6, rule));
    rows.push_back(std::move(row));
  }
  b.Loop({CkCellWaveId, CkCellWaveX, CkCellWaveY, CkCellWaveZ}, std::move(rows));
}

void CifModulationLoops(CifBuilder& b, const Structure& s, const PhaseBasic& p, const DistPhase& ph,
                        int rule) {
  const int d = p.NDim - 3;
  // Waves of the atoms: the largest wave count of any kind gives the rows of
  // the wave-vector loop; wave n is the integer combination k_n of the
  // modulation vectors.
  ModWaves waves;
  const ModWaves* wp = nullptr;
  if (d > 0 && static_cast<size_t>(ph.Phase) <= s.Model.Phase.size() &&
      ModWavesOfPhase(s.Model.Phase[static_cast<size_t>(ph.Phase - 1)], d, waves, nullptr) == 0)
    wp = &waves;
  int nWaves = 0;
  std::vector<std::vector<CifOut>> moments, crenel, saw, disp, dispPar, occ, occPar, adp, adpPar,
      mom, momPar;
  static constexpr const char* kAxis[3] = {"x", "y", "z"};
  static constexpr const char* kElem[6] = {"U11", "U22", "U33", "U12", "U13", "U23"};
  for (const auto& a : ph.Atoms) {
    if (a.Index < 0) continue;  // objects and atoms of molecules
    const AtomRec& r = s.Model.Atom[static_cast<size_t>(a.Index)];
    const AtomLayoutInfo lay = AtomLayout(r.Shape);
    const CifOut label = B::P(a.Name);
    if (r.Shape.MagPar > 0) {
      std::vector<CifOut> row{label};
      for (int k = 0; k < 3; ++k) {
        const size_t i = static_cast<size_t>(lay.Off[BlkMag] + k);
        row.push_back(Num(r.Par.Val[i], r.Par.Sig[i], 4, rule));
      }
      moments.push_back(std::move(row));
    }
    if (d == 0) continue;
    if (lay.Len[BlkCrenel] > 0) {
      const size_t o = static_cast<size_t>(lay.Off[BlkCrenel]);
      crenel.push_back({label, Num(r.Par.Val[o], r.Par.Sig[o], 6, rule),
                        Num(r.Par.Val[o + 1], r.Par.Sig[o + 1], 6, rule)});
    }
    if (lay.Len[BlkSaw] > 0) {
      std::vector<CifOut> row{label};
      for (int k = 0; k < 5; ++k) {
        const size_t i = static_cast<size_t>(lay.Off[BlkSaw] + k);
        row.push_back(Num(r.Par.Val[i], r.Par.Sig[i], 6, rule));
      }
      saw.push_back(std::move(row));
    }
    // The Fourier loops hold harmonic waves only; amplitudes of orthogonal
    // function sets stay in the embedded M40.
    if (r.FunType != FunHarm) continue;
    // One row per wave (and component) in the id loop, its amplitudes under
    // the same id in the parameter loop.
    auto add = [&](int block, int ncomp, const char* const* names, bool beta,
                   std::vector<std::vector<CifOut>>& ids, std::vector<std::vector<CifOut>>& pars) {
      const int nw = lay.Item[block] > 0 ? lay.Len[block] / lay.Item[block] : 0;
      nWaves = std::max(nWaves, nw);
      for (int w = 0; w < nw; ++w)
        for (int c = 0; c < ncomp; ++c) {
          Amp m = WaveAmp(r, lay.Off[block], ncomp, w, c);
          if (beta) {
            m.S = BetaToU(p, c, m.S), m.SSu = std::fabs(BetaToU(p, c, m.SSu));
            m.C = BetaToU(p, c, m.C), m.CSu = std::fabs(BetaToU(p, c, m.CSu));
          }
          const CifOut id = B::P(std::to_string(ids.size() + 1));
          std::vector<CifOut> row{id, label};
          if (names) row.push_back(B::P(names[c]));
          row.push_back(B::P(std::to_string(w + 1)));
          ids.push_back(std::move(row));
          pars.push_back({id, Num(m.S, m.SSu, 6, rule), Num(m.C, m.CSu, 6, rule)});
        }
    };
    add(BlkOccWave, 1, nullptr, false, occ, occPar);
    add(BlkPosWave, 3, kAxis, false, disp, dispPar);
    static constexpr const char* kIso[1] = {"Uiso"};
    const int na = lay.Item[BlkAdpWave] / 2;  // 6 (tensor) or 1 (Uiso)
    add(BlkAdpWave, na, na == 6 ? kElem : kIso, na == 6, adp, adpPar);
    add(BlkMagWave, 3, kAxis, false, mom, momPar);
  }
  if (d > 0 && nWaves > 0) {
    std::vector<std::vector<CifOut>> rows;
    for (int n = 0; n < nWaves; ++n) {
      const auto k = ModWaveVector(n, d, wp);
      Vec3 q{};
      for (int i = 0; i < d; ++i)
        for (int j = 0; j < 3; ++j)
          q[j] += k[static_cast<size_t>(i)] * p.Qi[static_cast<size_t>(i)][j];
      std::vector<CifOut> row{B::P(std::to_string(n + 1))};
      for (int j = 0; j < 3; ++j) row.push_back(Num(q[j], 0., 6, rule));
      for (int i = 0; i < d; ++i) row.push_back(B::P(std::to_string(k[static_cast<size_t>(i)])));
      rows.push_back(std::move(row));
    }
    std::vector<int> keys{CkFourierWaveId, CkFourierWaveX, CkFourierWaveY, CkFourierWaveZ};
    for (int i = 0; i < d; ++i) keys.push_back(CkFourierWaveQ1 + i);
    b.Loop(keys, std::move(rows));
  }
  b.Loop({CkMomentLabel, CkMomentX, CkMomentY, CkMomentZ}, std::move(moments));
  b.Loop({CkCrenelLabel, CkCrenelC, CkCrenelW}, std::move(crenel));
  b.Loop({CkSawLabel, CkSawAx, CkSawAy, CkSawAz, CkSawC, CkSawW}, std::move(saw));
  b.Loop({CkOccFourierId, CkOccFourierLabel, CkOccFourierWave}, std::move(occ));
  b.Loop({CkOccFourierParId, CkOccFourierSin, CkOccFourierCos}, std::move(occPar));
  b.Loop({CkDispFourierId, CkDispFourierLabel, CkDispFourierAxis, CkDispFourierWave},
         std::move(disp));
  b.Loop({CkDispFourierParId, CkDispFourierSin, CkDispFourierCos}, std::move(dispPar));
  b.Loop({CkUFourierId, CkUFourierLabel, CkUFourierElem, CkUFourierWave}, std::move(adp));
  b.Loop({CkUFourierParId, CkUFourierSin, CkUFourierCos}, std::move(adpPar));
  b.Loop({CkMomFourierId, CkMomFourierLabel, CkMomFourierAxis, CkMomFourierWave}, std::move(mom));
  b.Loop({CkMomFourierParId, CkMomFourierSin, CkMomFourierCos}, std::move(momPar));
}

}  // namespace tarn
