#pragma once
// Small refinement test structures: isotropic atoms added to the model and
// "observed" intensities simulated from the model's own Fc.
#include <array>
#include <string>
#include <vector>

#include "model/atoms.hpp"
#include "model/structure.hpp"
#include "model/m40.hpp"
#include "model/m95m90.hpp"
#include "refine/calc.hpp"
#include "refine/constr.hpp"
#include "refine/refine.hpp"

namespace tarn::testsim {

// Appends an isotropic atom (coordinates x, Uiso u) to Model.Atom.
inline void AddIsoAtom(const std::string& name, int type, const std::array<double, 3>& x,
                       double u) {
  AtomRec a = DefaultAtom();
  a.Name = name;
  a.Type = type;
  a.Shape.AdpOrder = 1;
  ReallocateAtomParams(a, a.Shape);
  for (int i = 0; i < 3; ++i) a.Par.Val[static_cast<size_t>(1 + i)] = x[static_cast<size_t>(i)];
  a.Par.Val[4] = u;
  Struct.Model.Atom.push_back(a);
}

// Writes an M90 of one block (Mo K-alpha) with the reflections h, k = -hmax..hmax,
// l = 0..hmax (one of each Friedel pair), I = iFactor * Fc**2 of the current model
// and sigma(I) = 0.02 I + 1. The scattering tables must be loaded. 0 on success.
[[nodiscard]] inline int WriteSimulatedM90(const std::string& path, int hmax, double iFactor = 1.) {
  RefDefault();
  RefParams p;
  if (RefPrelimConstr(p)) return 1;
  CalcSetup s;
  if (CalcPrepare(s, p)) return 1;
  std::vector<M90Block> blocks(1);
  blocks[0].Lambda = 0.71073;
  std::vector<std::vector<M90Refl>> refl(1);
  for (int h = -hmax; h <= hmax; ++h)
    for (int k = -hmax; k <= hmax; ++k)
      for (int l = 0; l <= hmax; ++l) {
        if (l == 0 && (k < 0 || (k == 0 && h <= 0))) continue;
        CalcRefl cr;
        cr.H = {h, k, l, 0, 0, 0};
        cr.SinThL = RefSinThL(Struct.Basic.Phase[0], cr.H.data(), 3);
        CalcOut out;
        if (Calc(s, cr, false, out)) return 1;
        M90Refl r;
        r.H[0] = h;
        r.H[1] = k;
        r.H[2] = l;
        r.I = iFactor * out.Fc * out.Fc;
        r.SigI = 0.02 * r.I + 1.;
        refl[0].push_back(r);
      }
  return WriteM90File(path, blocks, refl);
}

}  // namespace tarn::testsim
