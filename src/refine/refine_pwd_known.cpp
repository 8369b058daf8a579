// Structure factors of the phases already known, for the start of a Le Bail
// decomposition.
#include <algorithm>
#include <cmath>

#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/scatdata.hpp"
#include "model/structure.hpp"
#include "refine/calc.hpp"
#include "refine/constr.hpp"
#include "refine/refcommands.hpp"
#include "refine/refine_pwd.hpp"
#include "util/files.hpp"

namespace tarn {

int PwdKnownStructureF2(const std::string& fln, std::vector<PwdPatternData>& ps,
                        const std::vector<int>& blocks) {
  if (!FeFileExists(fln + ".m40") || iom40(M40Read, fln + ".m40") != 0) return 1;
  if (ScatEnsureLoaded() != 0 || EM50ReadAllFormFactors(Struct.Basic) != 0) return 1;
  RefSettings ref;
  int err = 0;
  RefReadCommands(ref, err);
  RefParams par;
  CalcSetup s;
  if (err != 0 || RefPrelimConstr(par, ref) != 0 || CalcPrepare(s, par, ref.Run) != 0) return 1;
  if (s.Block.empty()) return 1;
  for (size_t k = 0; k < ps.size(); ++k) {
    PwdPatternData& p = ps[k];
    const int block = std::clamp(k < blocks.size() ? blocks[k] : 0, 0, static_cast<int>(s.Block.size()) - 1);
    // Powder blocks: |F|**2 on the absolute scale, no extinction.
    CalcBlock& cb = s.Block[static_cast<size_t>(block)];
    cb.ScalePar = -1, cb.Scale = 1., cb.ExtType = ExtNone;
    for (auto& r : p.Refl) {
      const size_t ph = static_cast<size_t>(r.Phase);
      if (!p.Phases[ph].UseKnown) continue;
      if (ph >= s.Atoms.size() || s.Atoms[ph].N == 0) {
        p.Phases[ph].UseKnown = false;  // no atoms: nothing is known
        continue;
      }
      CalcRefl cr;
      for (size_t i = 0; i < 3; ++i) cr.H[i] = r.H[i];
      cr.DatBlock = block, cr.Phase = r.Phase, cr.SinThL = 0.5 * std::sqrt(r.Q);
      CalcOut out;
      if (Calc(s, cr, false, out) != 0 || out.Problem) return 1;
      r.F2Calc = out.A * out.A + out.B * out.B;
    }
  }
  return 0;
}

}  // namespace tarn
