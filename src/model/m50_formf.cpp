// Scattering factors of the atom types taken from the program's tables (home
// directory) where M50 names only the atom type.
#include <fmt/format.h>

#include "util/report.hpp"
#include "model/session.hpp"
#include "model/m50.hpp"
#include "model/scatdata.hpp"

namespace tarn {

namespace {

inline constexpr std::string_view MsgNotTabulated =
    "The X-ray form factor of the atom type is not in the tables:";

// X-ray coefficients of the name, else of its neutral element (an ion that the
// tables do not hold scatters nearly like its atom at higher angles).
std::optional<XrayGauss> XrayOf(const std::string& name) {
  if (auto g = ScatXray(name)) return g;
  if (auto n = ScatParseName(name)) return ScatXray(n->Element);
  return std::nullopt;
}

}  // namespace

int EM50ReadOneFormFactor(BasicData& b, int p, int it) {
  if (ScatEnsureLoaded()) return 1;
  PhaseBasic& ph = b.Phase[p];
  if (ph.AtTypeData.size() < ph.AtType.size()) ph.AtTypeData.resize(ph.AtType.size());
  const std::string& name = ph.AtType[it];
  AtomTypeBasic& a = ph.AtTypeData[it];
  int err = 0;
  bool userGiven =
      a.FFFree.value_or(0) == 1 || a.FormTab.value_or(ph.FormTab.value_or(0)) == FormTabUser;
  if (a.FFBasic.empty() && !userGiven) {
    // Gaussian layout a1 b1 a2 b2 a3 b3 a4 b4 c (Vol. C Table 6.1.1.4).
    if (auto g = XrayOf(name)) {
      for (int i = 0; i < 4; ++i) {
        a.FFBasic.push_back(g->a[i]);
        a.FFBasic.push_back(g->b[i]);
      }
      a.FFBasic.push_back(g->c);
    } else {
      err = 1;
    }
  }
  if (a.FFEl.empty() && !userGiven) {
    // a1 b1 .. a5 b5 (Vol. C Table 4.3.2.2).
    if (auto e = ScatElectron(name)) {
      for (int i = 0; i < 5; ++i) {
        a.FFEl.push_back(e->a[i]);
        a.FFEl.push_back(e->b[i]);
      }
    }
  }
  if (!a.FNeutron) {
    if (auto n = ScatNeutron(name)) {
      a.FNeutron = n->re;
      if (n->im != 0.) a.FNeutronIm = n->im;
    }
  }
  if (!a.AtWeight) a.AtWeight = ScatAtomicWeight(name);
  if (!a.AtRadius)
    if (auto e = ScatElement(name)) a.AtRadius = e->RCov;
  if (ph.Magnetic && a.FFMag.empty()) {
    // <j0> of the magnetic ion named by "atmag", else of the type itself.
    std::string ion = name;
    for (const auto& m : ph.AtMag)
      if (m.AtName == name && !m.Ion.empty()) ion = m.Ion;
    if (auto j = ScatMagnetic(ion, 0)) {
      a.FFMag.assign(j->c.begin(), j->c.end());
      a.FFMag.resize(9, 0.);
      a.FFMagType = 0;
    }
  }
  // f', f" per data block: at the wavelength of X-ray blocks, 0 for others.
  if (a.FPrime.empty() && a.FDoublePrime.empty() && !userGiven) {
    bool any = false;
    for (const auto& d : b.DatBlock) {
      std::optional<AnomalousDisp> f;
      if (d.Radiation == 1) f = ScatAnomalousLambda(name, d.Lambda);
      a.FPrime.push_back(f ? f->fp : 0.);
      a.FDoublePrime.push_back(f ? f->fpp : 0.);
      any = any || f.has_value();
    }
    if (!any) {
      a.FPrime.clear();
      a.FDoublePrime.clear();
    }
  }
  return err;
}

int EM50ReadAllFormFactors(BasicData& b) {
  std::vector<std::string> missing;
  for (size_t p = 0; p < b.Phase.size(); ++p)
    for (size_t it = 0; it < b.Phase[p].AtType.size(); ++it)
      if (EM50ReadOneFormFactor(b, static_cast<int>(p), static_cast<int>(it))) {
        if (!Sess.Scat.Loaded) return 1;
        missing.push_back(b.Phase[p].AtType[it]);
      }
  if (missing.empty()) return 0;
  std::string list;
  for (const auto& m : missing) list += (list.empty() ? "" : ", ") + m;
  ReportError(std::string(MsgNotTabulated), {list});
  return 1;
}

int SetFormF(BasicData& b) {
  // Table values depend on the radiation and wavelength: take them afresh for
  // every type that the user did not give.
  for (auto& ph : b.Phase) {
    if (ph.AtTypeData.size() < ph.AtType.size()) ph.AtTypeData.resize(ph.AtType.size());
    for (auto& a : ph.AtTypeData) {
      if (a.FFFree.value_or(0) == 1) continue;
      a.FFBasic.clear();
      a.FFEl.clear();
      a.FPrime.clear();
      a.FDoublePrime.clear();
      if (ph.Magnetic) a.FFMag.clear();
    }
  }
  return EM50ReadAllFormFactors(b);
}

}  // namespace tarn
