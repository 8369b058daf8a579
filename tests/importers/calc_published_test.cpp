// Structure factors against published refinements: the SHELX model imported,
// the reflections merged under the point group, R1 on F over Fo > 4 sigma(Fo)
// with the scale fitted, compared with the published R1.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "datared/average.hpp"
#include "datared/readers/shelx.hpp"
#include "importers/shelx_model.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/m50.hpp"
#include "model/refl.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "refine/calc.hpp"
#include "refine/constr.hpp"
#include "support/small_structures.hpp"

namespace tarn {
namespace {

struct RResult {
  double R1 = 0.;
  int NObs = 0, NAll = 0;
};

// Imports the model, merges the data and returns R1(obs) with a fitted scale.
RResult PublishedR1(const std::string& res, const std::string& hkl) {
  RResult out;
  std::vector<std::string> msg;
  ErrorRecord err;
  EXPECT_EQ(ImportShelxModel(res, "model.res", msg, err), 0) << err;
  Sess.HomeDir = "data/";
  EXPECT_EQ(EM50ReadAllFormFactors(Struct.Basic), 0);
  const PhaseBasic& ph = Struct.Basic.Phase[0];
  // Merge equivalents (Friedel opposites apart in acentric groups).
  ImpData d;
  ErrorRecord herr;
  EXPECT_EQ(ReadShelxHklText(hkl, "model.hkl", 4, 3, 0, 1, d, herr), 0);
  const std::vector<ImpRefl>& refl = d.Refl;
  Struct.Refl.Pack = IndPackSpec{};
  Struct.Refl.Pack.N = 3;
  for (int i = 0; i < 3; ++i) {
    Struct.Refl.Pack.Offset[i] = 100;
    Struct.Refl.Pack.Range[i] = 201;
  }
  ReallocRefArrays(static_cast<int>(refl.size()));
  Struct.Refl.NRef = static_cast<int>(refl.size());
  for (size_t k = 0; k < refl.size(); ++k) {
    Struct.Refl.HCondAr[k] = IndPack(refl[k].H, Struct.Refl.Pack);
    Struct.Refl.RIAr[k] = refl[k].I;
    Struct.Refl.RSAr[k] = refl[k].SigI;
    Struct.Refl.ICullAr[k] = 0;
  }
  AveSettings set;
  set.AveSigWt = true;
  std::copy(ph.MetTensI, ph.MetTensI + 9, set.MetTensI.begin());
  AveResult ave;
  EXPECT_EQ(DRAverage(ph.Symmetry, set, ave), 0);
  RefParams p;
  RefBuildParams(p);
  CalcSetup s;
  EXPECT_EQ(CalcPrepare(s, p), 0);
  const double scale = s.Block[0].Scale;
  std::vector<double> fo, fc;
  for (int k = 0; k < Struct.Refl.NAve; ++k) {
    int h[kReflMaxNDim] = {};
    IndUnpack(Struct.Refl.HCondAveAr[static_cast<size_t>(k)], Struct.Refl.Pack, h);
    if (DRIsExtinct(ph.Symmetry, h)) continue;
    const double i = Struct.Refl.RIAveAr[static_cast<size_t>(k)],
                 si = Struct.Refl.RSAveAr[static_cast<size_t>(k)];
    ++out.NAll;
    // Fo > 4 sigma(Fo) with sigma(Fo) = sigma(I) / (2 Fo): I > 2 sigma(I).
    if (i <= 2. * si) continue;
    CalcRefl r;
    r.H = {h[0], h[1], h[2], 0, 0, 0};
    r.SinThL = DRSinThOverLambda(h, 3, set);
    CalcOut o;
    EXPECT_EQ(Calc(s, r, false, o), 0);
    fo.push_back(std::sqrt(i));
    fc.push_back(o.Fc / scale);
  }
  // R1 = sum |Fo - k Fc| / sum Fo with the least-squares k = sum Fo Fc / sum Fc^2.
  const double kfit = std::inner_product(fo.begin(), fo.end(), fc.begin(), 0.) /
                      std::inner_product(fc.begin(), fc.end(), fc.begin(), 0.);
  double num = 0., den = 0.;
  for (size_t k = 0; k < fo.size(); ++k) num += std::fabs(fo[k] - kfit * fc[k]), den += fo[k];
  out.NObs = static_cast<int>(fo.size());
  out.R1 = num / den;
  return out;
}

TEST(CalcPublished, NaClR1) {
  const std::string res = test::SharedData("nacl/NaCl.res");
  const std::string hkl = test::SharedData("nacl/NaCl.hkl");
  if (res.empty() || hkl.empty()) GTEST_SKIP() << "NaCl data not available";
  const RResult r = PublishedR1(res, hkl);
  EXPECT_EQ(r.NObs, 111);
  EXPECT_EQ(r.NAll, 111);
  EXPECT_NEAR(r.R1, 0.0096, 0.003) << r.NObs << " observed of " << r.NAll;
}

TEST(CalcPublished, SH2185R1) {
  const std::string cif = test::SharedData("shelx/SH2185_Cu.cif");
  if (cif.empty()) GTEST_SKIP() << "SH2185_Cu.cif not available";
  const std::string res = ShelxEmbeddedFile(cif, "_shelx_res_file");
  const std::string hkl = ShelxEmbeddedFile(cif, "_shelx_hkl_file");
  ASSERT_FALSE(res.empty());
  ASSERT_FALSE(hkl.empty());
  const RResult r = PublishedR1(res, hkl);
  EXPECT_EQ(r.NObs, 3560) << r.NAll << " unique";
  EXPECT_EQ(r.NAll, 3667);
  EXPECT_NEAR(r.R1, 0.0291, 0.003) << r.NObs << " observed of " << r.NAll;
}

}  // namespace
}  // namespace tarn
