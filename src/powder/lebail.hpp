#pragma once
// A powder pattern in memory with its reflections, and the Le Bail
// decomposition: generation of the reflections of every phase inside the
// pattern, their positions, profiles and ranges, the calculated pattern and
// the partition of the observed intensity among the reflections.
//
// Ycalc_i = B_i + sum_r sum_c I_rc Phi_rci, with c the wavelength components
// (I_r2 = rho I_r1), Phi_rci = Lp_rc * profile(x_i - pos_rc) (Lp the
// Lorentz-polarisation factor at the component's angle: for X-rays
// (1 + K cos**2 2theta) / (1 + K) / (sin**2 theta cos theta), K the
// polarisation constant; for neutrons 1 / (sin**2 theta cos theta)).
#include <array>
#include <string>
#include <vector>

#include "powder/broadening.hpp"
#include "powder/profile.hpp"
#include "symmetry/symm.hpp"
#include "util/error.hpp"

namespace tarn {

inline constexpr int kPwdMaxLeBail = 500;       // iterations of the decomposition
inline constexpr double kPwdLeBailStop = 1.001;  // stop when R_old / R_new falls below
inline constexpr double kPwdLeBailStart = 10.;   // starting intensity of every reflection

// One phase of a pattern.
struct PwdPhaseData {
  std::string Name;
  std::array<double, 6> Cell{};  // a, b, c (A), alpha, beta, gamma (deg)
  PhaseSymmetry Sym;              // complete operators and centring
  PwdProfile Prof;
  bool Decompose = true;          // its intensities are partitioned (Le Bail)
  std::vector<std::array<double, 3>> QVec;  // modulation vectors (r.l.u.): satellites at h + sum m_i q_i
  int MaxSat = 1;                 // "maxsat": satellites up to sum |m_i| = MaxSat
  bool NoMixedSat = false;        // "nomixedsat": satellites with one nonzero m_i only
  PwdBroadening Broad;            // anisotropic broadening (prepared by PwdGenerateRefl)
  bool UseKnown = false;          // "uklebail": start from the reflections' |F|**2 (F2Calc)
  // Magnetic propagation vectors (r.l.u.): the phase has the satellites h +- k_n too.
  std::vector<std::array<double, 3>> KMag;
};

// One reflection of one phase with its wavelength components.
struct PwdReflection {
  std::array<int, 3> H{};
  std::array<int, 3> M{};            // satellite indices m1 m2 m3 of the phase's modulation vectors, or of its
                                     // magnetic propagation vectors (all 0: main reflection)
  int Mult = 1, Phase = 0;
  double Q = 0.;                     // 1/d**2 (1/A**2)
  std::array<double, 2> Pos{}, Lp{}, I{};
  std::array<int, 2> First{}, Last{};  // points inside the profile range (Last < First: none)
  std::array<PwdPeak, 2> Pk{};
  PwdBroadTerms Br;                  // its anisotropic broadening
  // |F|**2 calculated and observed (the partition of the observed pattern)
  // for the profile file; < 0 when unknown. A Le Bail fit has no calculated
  // value and its observed one is I/multiplicity on the scale of the fit.
  double F2Calc = -1., F2Obs = -1.;
};

struct PwdPatternData {
  std::vector<double> X, Yo, Sig, Bg, Yc;
  std::vector<char> Use;                // 0 inside a skipped region
  bool Tof = false;
  int Radiation = 1;                    // 1 X-ray, 2 neutron
  int NLam = 1;
  std::array<double, 2> Lam{1.5406, 0.};
  double Ratio = 0.;                    // I(Lam2)/I(Lam1)
  double PolK = 1.;                     // X-ray polarisation constant K = cos**2 2theta_M (1: unpolarised)
  int Illum = 0;                        // "illum": the Lp factor times 1, cos(theta) or sin(theta)
  double Zero = 0., SyCos = 0., SySin = 0.;  // position shifts (deg): zero + sycos cos(th) + sysin sin(2th)
  double Difc = 0., Difa = 0., TofZero = 0.;  // time of flight: t = difc d + difa d**2 + zero
  // Second time-of-flight form ("tofjason" > 0): t = zero + n te + (1 - n) tt,
  // te = zeroe + difce d (epithermal), tt = zerot + difct d - difat / d
  // (thermal), n = erfc(wcross (tcross - 1/d)) / 2; TofX holds zerot, difct,
  // difat, zeroe, difce, tcross, wcross and zero is TofZero.
  bool TofCross = false;
  std::array<double, 7> TofX{};
  double Cutoff = 8.;                   // profile half range in FWHM
  // Explicit cut-offs of main reflections and of satellites: when set, the
  // half range above is held between Mn and Mx (degrees 2theta, or us of
  // time of flight): a floor for sharp peaks sampled by few points, a
  // ceiling for broad ones whose far tails only cost time.
  struct CutoffBounds {
    bool Use = false;
    double Mn = 0., Mx = 0.;
  } CutMain, CutSat;
  int WtLeBail = 0;                     // weights of the partition: 0 Phi, 1 Phi**2
  PwdBackground Bckg;
  std::vector<PwdPhaseData> Phases;
  std::vector<PwdReflection> Refl;
};

// Derivative of the profile value v of component c of reflection r by its
// phase's anisotropic-broadening parameter k (through XAdd and YAdd of the width).
inline double PwdBroadDeriv(const PwdReflection& r, int c, const PwdProfValue& v, int k) {
  const PwdPeak& pk = r.Pk[static_cast<size_t>(c)];
  const size_t kk = static_cast<size_t>(k);
  if (pk.Prof == nullptr || kk >= r.Br.dX.size()) return 0.;
  return v.dHL * (pk.dHLdXAdd * r.Br.dX[kk] + pk.dHLdYAdd * r.Br.dY[kk]);
}

// Reciprocal metric (g*11 g*22 g*33 g*12 g*13 g*23, 1/A**2) of a cell, and back.
std::array<double, 6> PwdRecMetric(const std::array<double, 6>& cell);
std::array<double, 6> PwdCellFromRecMetric(const std::array<double, 6>& g);
// 1/d**2 of indices h under the reciprocal metric g.
double PwdQ(const std::array<double, 6>& g, const int* h);
// 1/d**2 of a real reciprocal vector v.
double PwdQ(const std::array<double, 6>& g, const std::array<double, 3>& v);
// The reciprocal vector h + sum m_i q_i of a reflection of a phase.
std::array<double, 3> PwdReflVector(const PwdPhaseData& ph, const PwdReflection& r);
// d(1/d**2)/d q_ic of a reflection: component c of modulation vector i,
// k = 3 i + c; 2 m_i (G* v)_c with v its reciprocal vector.
double PwdQVecDeriv(const PwdPatternData& p, const PwdReflection& r, int k);
// Adds the satellites of phase ph (1 <= sum |m_i| <= MaxSat, one nonzero m_i
// with NoMixedSat) with 1/d**2 up to qmax whose peaks reach [xmin, xmax];
// multiplicities and absences from the superspace operators of the phase
// (when its NDim is 3 + the number of vectors; else from Friedel pairs only).
void PwdAddSatellites(PwdPatternData& p, int ph, double qmax, double xmin, double xmax);
// True when the reflection is absent by the centring or the screw and glide
// translations of the symmetry.
bool PwdIsExtinct(const PhaseSymmetry& s, const int* h);

// Position (us) of 1/d**2 q in the second time-of-flight form, with
// d(t)/dq in dq and d(t)/d TofX[k] in dpar[0..6] when given.
double PwdTofCrossPosition(const PwdPatternData& p, double q, double* dq = nullptr, double* dpar = nullptr);
// Smallest d whose peak in the second form comes after the time tmin.
double PwdTofCrossDmin(const PwdPatternData& p, double tmin);

// Generates the reflections of every phase inside the pattern (positions for
// every wavelength component), with multiplicities of the Laue class; the
// intensities start at kPwdLeBailStart. A phase with propagation vectors has
// also the satellites h +- k_n (every h, no extinction rule; one reflection
// per distinct diffraction vector, which the structure factor sums over). 0, or 1 with "No Bragg reflections generated.".
[[nodiscard]] int PwdGenerateRefl(PwdPatternData& p, ErrorRecord& err);
// Polarisation constant K = cos**2 2theta_M of a monochromator angle (deg; 0: none).
double PwdPolK(double monangle);
// Lorentz-polarisation factor of the pattern at 2theta (deg), with the
// illumination factor (Illum 1 cos(theta), 2 sin(theta)); 1 for time of flight.
double PwdLpFactor(const PwdPatternData& p, double tth);
// d ln(Lp) / d(2theta) at 2theta = tth (per degree): the intensity of a peak
// changes with its position through Lp.
double PwdLpSlope(const PwdPatternData& p, double tth);
// Position of a reflection of 1/d**2 q for component c (deg or us), with
// d(pos)/dq in dq when given.
double PwdPosition(const PwdPatternData& p, double q, int c, double* dq = nullptr);
// Positions, peaks (SetProfFun), Lp factors and profile ranges of all
// reflections from the current cells, shifts and profile parameters.
void PwdSetProfiles(PwdPatternData& p);
// Use flags from skipped regions given as (from, to) pairs.
void PwdMakeSkipFlags(PwdPatternData& p, const std::vector<std::array<double, 2>>& skip);
// Background on all points from p.Bckg.
void PwdSetBackgroundPoints(PwdPatternData& p);
// Ycalc on the used points from the current intensities and profiles.
void PwdSetPoints(PwdPatternData& p);

// R values of a pattern (percent): profile and weighted profile, expected,
// chi**2, and the same with the background subtracted from the observed.
struct PwdRValues {
  double Rp = 0., Rwp = 0., Rexp = 0., Chi2 = 0., RpB = 0., RwpB = 0.;
  int N = 0;
};
PwdRValues PwdRFactors(const PwdPatternData& p, int npar);

// The Le Bail decomposition of the phases marked Decompose: at most
// kPwdMaxLeBail partitions, stopping when R_old / R_new < kPwdLeBailStop; the
// profile values are computed once and kept. Returns the number of iterations.
// A fit may continue the same partition to a tighter ratio `stop` and a
// larger iteration count `maxit`.
int PwdLeBail(PwdPatternData& p, double stop = kPwdLeBailStop, int maxit = kPwdMaxLeBail);
// Puts the starting intensity into every reflection of the phases being
// decomposed: kPwdLeBailStart, or for a phase marked UseKnown whose
// reflections carry F2Calc, s m |F|**2 with the multiplicity m and the
// least-squares scale s of that phase's pattern to Yobs - B.
void pwdlebailfromhkl(PwdPatternData& p);

}  // namespace tarn
