// Observation, sigma and weight of one reflection (docs/refinement.md, "Weights").
#include "refine/refine_weight.hpp"

#include <algorithm>
#include <cmath>

#include "refine/refcommands.hpp"

namespace tarn {

RefWeightOpt RefWeightOptFromSettings(const RefValues& run) {
  RefWeightOpt o;
  o.FWeak = run.I(RkFWeakFlag);
  o.Weight = run.I(RkWeight);
  o.FSquare = run.I(RkFSquare) != 0;
  o.ShelxW = run.I(RkShelxW) > 0;
  o.StUnstab = run.I(RkStUnstab) != 0;
  o.WilsonMod = run.I(RkWilsonMod) == 1;
  o.WtSnthl = run.I(RkWtSnthl) == 1;
  o.Simul = run.I(RkSimul) != 0;
  o.UseUnobs = run.I(RkUseUnobs) == 1;
  o.SkipBad = run.I(RkSkipBad) == 1;
  o.Unstab = run.R(RkUnstab);
  o.Unstab2 = run.R(RkUnstab2);
  o.BlockU = o.Unstab;
  o.YoMin = run.R(RkYoMin);
  o.YoMax = run.R(RkYoMax);
  o.SigLevel = run.R(RkSigLevel);
  o.BadRef = run.R(RkBadRef);
  o.RefExcl = run.R(RkRefExcl);
  return o;
}

void FrenchWilson(double i, double sigI, double sigma, bool centric, double& f, double& sigF) {
  f = i > 0. ? std::sqrt(i) : 0.;
  sigF = 0.;
  if (!(sigI > 0.) || !(sigma > 0.)) return;
  // Posterior p(J | i) ~ exp(-(i - J)**2 / (2 sigI**2)) * prior(J), J >= 0. In
  // t = sqrt(J) the integrands are smooth at 0: dJ = 2 t dt and
  //   acentric: prior dJ ~ exp(-t**2 / S) 2 t dt,  centric: ~ exp(-t**2 / 2S) dt.
  // The likelihood times the decreasing prior is a Gaussian in J shifted by
  // -sigI**2 / S (acentric); the window covers +-kObsBayesRange sigI about it.
  const double shift = sigI * sigI / (centric ? 2. * sigma : sigma);
  const double centre = i - shift;
  const double jlo = std::max(0., centre - kObsBayesRange * sigI);
  const double jhi = std::max(centre + kObsBayesRange * sigI, kObsBayesRange * sigI);
  const double tlo = std::sqrt(jlo), thi = std::sqrt(jhi);
  const int n = kObsBayesPoints;
  const double h = (thi - tlo) / n;
  // Log of the integrand's weight, shifted by its value at the window's most
  // probable point to keep exp() in range.
  auto logp = [&](double t) {
    const double j = t * t;
    const double d = (i - j) / sigI;
    double lp = -0.5 * d * d;
    if (centric)
      lp -= j / (2. * sigma);
    else
      lp += -j / sigma + (t > 0. ? std::log(2. * t) : -1.e300);
    return lp;
  };
  double lmax = -1.e300;
  for (int k = 0; k <= n; ++k) lmax = std::max(lmax, logp(tlo + k * h));
  double s0 = 0., s1 = 0., s2 = 0.;
  for (int k = 0; k <= n; ++k) {
    const double t = tlo + k * h;
    const double c = (k == 0 || k == n) ? 1. : (k % 2 ? 4. : 2.);
    const double p = c * std::exp(logp(t) - lmax);
    s0 += p;
    s1 += p * t;
    s2 += p * t * t;
  }
  if (!(s0 > 0.)) return;
  f = s1 / s0;
  sigF = std::sqrt(std::max(s2 / s0 - f * f, 0.));
}

void RefObsPrepare(const RefWeightOpt& o, double i, double sigI, double meanI, bool centric,
                   RefObs& obs) {
  obs = RefObs{};
  obs.I = i;
  obs.SigI0 = sigI;
  obs.Centric = centric;
  obs.Fo = i > 0. ? std::sqrt(i) : 0.;
  switch (o.FWeak) {
    case 1:  // Seiler, Schweizer & Dunitz (1984)
      obs.SigFo0 = std::sqrt(std::max(std::sqrt(i * i + 0.5 * sigI * sigI) - i, 0.));
      break;
    case 2:
      FrenchWilson(i, sigI, meanI, centric, obs.Fo, obs.SigFo0);
      break;
    default:
      obs.SigFo0 = (i > kObsWeakFrac * sigI && obs.Fo > 0.) ? sigI / (2. * obs.Fo)
                                                            : kObsWeakSig * std::sqrt(sigI);
  }
  obs.SigFo = obs.SigFo0;
  obs.SigI = sigI;
}

void RefObsSigma(const RefWeightOpt& o, double fc, double k, RefObs& obs) {
  // u, b and the sign c of the u term.
  double u = o.Unstab, b = 0., c = 1.;
  if (o.ShelxW) {
    b = o.Unstab2;
  } else if (o.StUnstab) {
    u = std::abs(o.BlockU);
    if (!(o.BlockU > 0.)) c = -1.;
  }
  const double sk = std::sqrt(std::max(k, 0.));
  double i = obs.I, f = obs.Fo;
  double ib = std::max(obs.I, 0.);  // the intensity of the b term
  if ((o.WilsonMod && !o.Simul) || o.ShelxW) {
    // P = (I + 2 Ic) / 3 replaces I (max(I, 0) in the SHELX-type scheme), F' = sqrt|P|.
    const double p = ((o.ShelxW ? std::max(obs.I, 0.) : obs.I) + 2. * fc * fc) / 3.;
    i = p;
    ib = p;
    f = std::sqrt(std::abs(p));
  }
  // sigma(I)**2 + b k P + c (2 u P)**2 and sigma(Fo)**2 + b sqrt(k) F' + c (u F')**2;
  // a negative sum (c = -1) keeps the sigma without the terms.
  const double si2 = obs.SigI0 * obs.SigI0 + b * k * ib + c * (2. * u * i) * (2. * u * i);
  const double sf2 = obs.SigFo0 * obs.SigFo0 + b * sk * std::max(f, 0.) + c * (u * f) * (u * f);
  obs.SigI = si2 > 0. ? std::sqrt(si2) : obs.SigI0;
  obs.SigFo = sf2 > 0. ? std::sqrt(sf2) : obs.SigFo0;
}

void RefObsWeight(const RefWeightOpt& o, double sinThL, RefObs& obs) {
  switch (o.Weight) {
    case 1:
      obs.WF = obs.WI = 1.;
      break;
    case 2: {  // Cruickshank, on F; on I divided by 4 I
      const double d = 2. * o.YoMin + obs.Fo + 2. * obs.Fo * obs.Fo / o.YoMax;
      obs.WF = d > 0. ? 1. / d : 0.;
      obs.WI = obs.I > 0. ? obs.WF / (4. * obs.I) : 0.;
      break;
    }
    default:
      obs.WF = obs.SigFo > 0. ? 1. / (obs.SigFo * obs.SigFo) : 0.;
      obs.WI = obs.SigI > 0. ? 1. / (obs.SigI * obs.SigI) : 0.;
  }
  if (o.WtSnthl) {
    const double e = std::exp(-sinThL * sinThL);
    obs.WF *= e;
    obs.WI *= e;
  }
  obs.W = o.FSquare ? obs.WI : obs.WF;
}

char RefObsFlag(const RefWeightOpt& o, const RefObs& obs, double fc) {
  const double misfit = obs.SigFo > 0. ? std::abs(obs.Fo - fc) / obs.SigFo : 0.;
  if (o.SkipBad && misfit > o.RefExcl) return '#';
  if (obs.I < o.SigLevel * obs.SigI0) return '*';
  if (misfit > o.BadRef) return '%';
  return ' ';
}

}  // namespace tarn
