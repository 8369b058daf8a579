#pragma once
// Observation, standard uncertainty and weight of one reflection of a
// single-crystal refinement, as pure routines (docs/refinement.md, "Weights").
//
//   RefObsPrepare  Fo and sigma(Fo) from I and sigma(I) (fweakflag 0, 1, 2);
//   RefObsSigma    instability terms and Wilson's modification, once Fc is known;
//   RefObsWeight   the weights of F and of I (weight 0, 1, 2, wtsnthl);
//   RefObsFlag     the selection flag: '*' unobserved, '%' not matching, '#' excluded.
//
// Everything is on the scale of the observations. k is the current scale
// squared (observed F**2 / calculated F**2 on the absolute scale); it makes the
// b term of the SHELX-type scheme independent of the scale:
//   w(I) = 1 / [sigma(I)**2 + (a P)**2 + b k P],  P = (max(I, 0) + 2 Ic) / 3,  a = 2 u,
// so that a copy of the data multiplied by k gets the weights divided by k**2.
namespace tarn {

struct RefValues;

// Tolerances and constants of the observation routines.
inline constexpr double kObsWeakFrac = 0.01;   // I > 0.01 sigma(I): sigma(Fo) = sigma(I) / (2 Fo)
inline constexpr double kObsWeakSig = 5.0;     // else sigma(Fo) = 5 sqrt(sigma(I))
inline constexpr double kObsBayesRange = 10.;  // French-Wilson integration: +-10 sigma(I)
inline constexpr int kObsBayesPoints = 400;    // intervals of the Simpson rule (even)

struct RefWeightOpt {
  int FWeak = 0;          // fweakflag: 0 uniform, 1 Seiler-Schweizer-Dunitz, 2 French-Wilson
  int Weight = 0;         // weight: 0 sigma, 1 unit, 2 Cruickshank
  bool FSquare = true;    // fsquare: refined quantity I (true) or F
  bool ShelxW = false;    // shelxw
  bool StUnstab = false;  // stunstab: u from the data block's statistics
  bool WilsonMod = true;  // wilsonmod
  bool WtSnthl = false;   // wtsnthl
  bool Simul = false;     // simulation run: no Wilson modification
  bool UseUnobs = true;   // useunobs
  bool SkipBad = false;   // skipbad
  double Unstab = 0.01;   // unstab, instability factor u of F
  double Unstab2 = 0.;  // unstab2, b of the SHELX-type scheme (electrons**2 on the absolute scale)
  double BlockU = 0.;   // u of the data block from the reflection statistics (signed)
  double YoMin = 5., YoMax = 200.;  // Cruickshank parameters (scale of the observations)
  double SigLevel = 3.;             // siglevel
  double BadRef = 3.;               // badref
  double RefExcl = 30.;             // refexcl
};
// The options of the run from the refinement settings in force (RefSettings::Run).
RefWeightOpt RefWeightOptFromSettings(const RefValues& run);

struct RefObs {
  double I = 0., SigI0 = 0.;     // intensity and sigma(I) as read
  double Fo = 0.;                // observed F (French-Wilson estimate with fweakflag 2)
  double SigFo0 = 0.;            // sigma(Fo) before the instability terms
  double SigFo = 0., SigI = 0.;  // after instability terms / Wilson's modification
  double WF = 0., WI = 0.;       // weights of F and of I
  double W = 0.;                 // weight of the refined quantity
  bool Centric = false;          // for the French-Wilson prior
};

// Steps 1 and 2: Fo and sigma(Fo). meanI is the mean intensity of the
// reflection's resolution shell (the Wilson prior of fweakflag 2).
void RefObsPrepare(const RefWeightOpt& o, double i, double sigI, double meanI, bool centric,
                   RefObs& obs);
// Instability terms with Wilson's modification (fc: calculated F on the scale of
// the observations, k the scale squared).
void RefObsSigma(const RefWeightOpt& o, double fc, double k, RefObs& obs);
// Weights of F and I and the weight of the refined quantity.
void RefObsWeight(const RefWeightOpt& o, double sinThL, RefObs& obs);
// Selection flag from the observation and Fc: '#' (with skipbad, misfit above
// refexcl), '*' (I < siglevel sigma(I)), '%' (misfit above badref) or ' '.
// The misfit is |Fo - Fc| / sigma(Fo).
char RefObsFlag(const RefWeightOpt& o, const RefObs& obs, double fc);

// French & Wilson (1978) posterior mean of F = sqrt(J) and its s.u. for an
// observed intensity i with s.u. sigI, the true intensity J >= 0 having the
// Wilson prior of mean sigma (acentric: exp(-J/S)/S; centric:
// exp(-J/2S)/sqrt(2 pi S J)). Gaussian likelihood, integration by Simpson's rule.
void FrenchWilson(double i, double sigI, double sigma, bool centric, double& f, double& sigF);

}  // namespace tarn
