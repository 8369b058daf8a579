#pragma once
// Powder peak shapes: the normalised profile of one reflection at a point of
// the pattern and its derivatives, for constant-wavelength data (2theta in
// degrees) and time of flight (microseconds).
//
// SetProfFun prepares once per reflection everything that depends only on
// the reflection (widths, mixing, asymmetry set-up); Prfl then evaluates the
// profile at a distance Delta = x - position from the peak. Prfl allocates
// nothing: the Gauss-Legendre tables of the divergence correction are built
// once, on the first call of SetProfFun.
//
// Width units follow the usual conventions of constant-wavelength profile
// parameters: U, V, W, P in centidegrees**2, X, Xe, Y, Ye in centidegrees; the
// FWHMs HG, HL, H kept with a peak are in the pattern's unit (degrees).
#include <array>
#include <cstddef>
#include <utility>
#include <vector>

namespace tarn {

// Profile shapes ("proffun").
enum PwdShape : int { PwdGauss = 1, PwdLorentz = 2, PwdPseudoVoigt = 3, PwdModLorentz = 4 };
// Asymmetry methods ("asymm").
enum PwdAsymMethod : int {
  PwdAsymNone = 0,
  PwdAsymHoward = 1,         // Simpson integration of the shifted profile
  PwdAsymBerar = 2,          // Berar-Baldinozzi Hermite correction
  PwdAsymDivergence = 3,     // Finger-Cox-Jephcoat axial divergence
  PwdAsymFundamental = 4,    // tabulated instrument function (+-25 steps)
  PwdAsymDebyeScherrer = 5,  // profile as method 0
};

inline constexpr int kPwdMaxAsym = 6;    // asymmetry parameters per phase and block
inline constexpr int kPwdFaHalf = 25;    // half length of the fundamental-approach table
inline constexpr double kPwdFwhmG = 2.354820045;  // FWHM / sigma of a Gaussian = sqrt(8 ln 2)

// Fundamental-approach instrument geometry (lengths in mm, angles in degrees);
// a width or angle of 0 leaves its element out.
struct PwdFaGeometry {
  double RadPrim = 240., RadSec = 240.;   // goniometer radii
  double RecSlitWidth = 0.1;              // receiving-slit width (0: not used)
  double RecSlitLength = 12.;             // receiving-slit (axial) length
  double DivSlit = 0.;                    // fixed slit: opening angle (deg); variable: illuminated length (mm)
  bool FixedDivSlit = true;
  double SourceLength = 12., SampleLength = 15.;
  double SollerPrim = 0., SollerSec = 0.;  // Soller-slit angles (0: not used)
};
inline constexpr int kPwdFaNPar = 9;  // values of the geometry in the powder parameter file
// The geometry value k in the file's order: RadPrim, RadSec, RecSlitWidth,
// RecSlitLength, DivSlit, SourceLength, SampleLength, SollerPrim, SollerSec.
inline double& PwdFaRef(PwdFaGeometry& g, int k) {
  double* v[kPwdFaNPar] = {&g.RadPrim,    &g.RadSec,       &g.RecSlitWidth, &g.RecSlitLength, &g.DivSlit,
                           &g.SourceLength, &g.SampleLength, &g.SollerPrim,  &g.SollerSec};
  return *v[k];
}

// Profile parameters of one phase in one data block.
struct PwdProfile {
  int ProfFun = PwdPseudoVoigt;
  int Asymm = PwdAsymNone;
  bool Tof = false;
  bool UseHS = false;   // "usehs": method 3 parameters are S/L, H/L (else (S+H)/L, (S-H)/L)
  bool DerivAsym = true;   // Prfl computes the numerical asymmetry derivatives (method 3)
  bool SplitProf = false;  // "splitprof": Split widens the high side, narrows the low side
  double Split = 0.;
  int NAsym = 0;                          // asymmetry parameters in use
  std::array<double, kPwdMaxAsym> Asym{};  // "# Asymmetry parameters" in file order
  // Gaussian variance sigma**2 = U tan**2 + V tan + W + P / cos**2 (centideg**2),
  // each term times WaveFactor; Lorentzian FWHM X/cos + Xe a/cos + Y tan + Ye b tan
  // (centideg), a and b the anisotropy factors of the reflection.
  double GU = 0., GV = 0., GW = 0., GP = 0.;
  double LX = 0., LXe = 0., LY = 0., LYe = 0.;
  double WaveFactor = 1.;
  // Time of flight, d in angstrom: rise alpha = Alpha0 + Alpha1/d, decay
  // beta = Beta0 + Beta1/d**4 + BetaQ/d**2 (1/us); sigma**2 = Sig0 + Sig1 d**2 +
  // Sig2 d**4 + SigQ/d**2 (us**2); gamma = Gam0 + Gam1 d + Gam2 d**2 (us).
  double Alpha0 = 0., Alpha1 = 0., Beta0 = 0., Beta1 = 0., BetaQ = 0.;
  double Sig0 = 0., Sig1 = 0., Sig2 = 0., SigQ = 0.;
  double Gam0 = 0., Gam1 = 0., Gam2 = 0.;
  // Fundamental approach: the instrument function sampled at the pattern
  // step for offsets -25 .. 25 (PwdAxialDiv), index i + 25. With FaGeomStep
  // > 0 SetProfFun tabulates it for every reflection from FaGeom at that
  // step; otherwise this one table serves all reflections.
  std::array<double, 2 * kPwdFaHalf + 1> FaTable{};
  double FaStep = 0.;
  PwdFaGeometry FaGeom;
  double FaGeomStep = 0.;
};

// Index of the width parameters in the derivative arrays of a peak.
enum PwdWidthPar : int { PwdU = 0, PwdV, PwdW, PwdP, PwdX, PwdXe, PwdY, PwdYe, PwdNWidth };

// The width parameter k (PwdWidthPar order) of a profile: U, V, W, P, X, Xe,
// Y, Ye for constant wavelength; for time of flight Sig0, Sig1, Sig2, SigQ,
// Gam0, Gam1, Gam2 in the order of the peak's width derivatives, nullptr for
// the eighth, which time of flight does not have. The powder parameter file
// keeps them in this order in its Gaussian (0-3) and Lorentzian (4-7) records.
inline double* PwdWidthRef(PwdProfile& pr, int k) {
  double* w[PwdNWidth] = {&pr.GU, &pr.GV, &pr.GW, &pr.GP, &pr.LX, &pr.LXe, &pr.LY, &pr.LYe};
  double* t[PwdNWidth] = {&pr.Sig0, &pr.Sig1, &pr.Sig2, &pr.SigQ, &pr.Gam0, &pr.Gam1, &pr.Gam2, nullptr};
  return pr.Tof ? t[k] : w[k];
}
inline const double* PwdWidthRef(const PwdProfile& pr, int k) {
  return PwdWidthRef(const_cast<PwdProfile&>(pr), k);  // only the address is taken
}

// Everything of one reflection that Prfl needs (filled by SetProfFun).
struct PwdPeak {
  const PwdProfile* Prof = nullptr;
  double Pos = 0.;                        // peak position (2theta deg or TOF us)
  double Th = 0., CosTh = 1., SinTh = 0., TanTh = 0., Tan2Th = 0.;  // theta in radians
  double Sin2Th = 0., Cos2Th = 1., Cot2Th = 0.;  // cot 2theta = 0 within 0.001 rad of 90 deg
  double Sigma2 = 0.;                     // Gaussian variance (centideg**2 or us**2)
  double HG = 0., HL = 0., H = 0., Eta = 0.;
  double dHdHG = 0., dHdHL = 0., dEtadHG = 0., dEtadHL = 0.;
  std::array<double, PwdNWidth> dWidth{};  // dHG/dU..dP, dHL/dX..dYe (pattern unit)
  double dHLdXAdd = 0., dHLdYAdd = 0.;     // dHL by the reflection's XAdd and YAdd (pattern unit per centideg)
  // Time of flight: back-to-back exponentials.
  double Alpha = 0., Beta = 0.;
  // Method 1: shift per unit asymmetry parameter, Simpson intervals.
  double HowardA1 = 0.;
  int HowardM = 1;
  // Method 3: the integration nodes 2phi - 2theta (deg) and their weights
  // divided by the weights' sum, for the current parameters [0] and, when
  // the profile asks for asymmetry derivatives, for the first [1] and second
  // [2] parameter raised by its 1.1 p step FcjStep[k].
  std::array<std::vector<double>, 3> FcjOff, FcjW;
  std::array<double, 2> FcjStep{};
  // Method 4: the instrument function of this reflection (as PwdProfile::FaTable).
  std::array<double, 2 * kPwdFaHalf + 1> FaTable{};
  double FaStep = 0.;
};

// The profile value and its derivatives. dAsym[k] is the derivative with
// respect to asymmetry parameter k (analytic for methods 1 and 2, the
// 1.1 p rule for method 3).
struct PwdProfValue {
  double Value = 0., dDelta = 0., dHG = 0., dHL = 0.;
  std::array<double, kPwdMaxAsym> dAsym{};
};

// Prepares the peak of a reflection at position pos (2theta in degrees, or
// TOF in us with its d in angstrom); a and b are the size and strain
// anisotropy factors of the Lorentzian width, xadd and yadd the reflection's
// own additions to X and Y (anisotropic broadening, centidegrees).
// Time of flight turns them into the same relative widths in d, with dtdd =
// dt/dd of the reflection (us/A; 0: pos/d):
//   gamma += dtdd (pi/18000) (xadd d**2 + yadd d/2)  (us),
// that is Delta d = d**2 (pi/18000) xadd (the size width that xadd gives at a
// wavelength of 1 A) and Delta d/d = (pi/36000) yadd (as at any wavelength).
void SetProfFun(PwdPeak& pk, const PwdProfile& prof, double pos, double d = 0., double a = 1.,
                double b = 1., double xadd = 0., double yadd = 0., double dtdd = 0.);
// Profile at distance delta from the peak; derivatives when derivs is set.
PwdProfValue Prfl(const PwdPeak& pk, double delta, bool derivs);
// Half range of the profile: cut-off (in FWHM) times the total FWHM, plus the
// asymmetric tail of the divergence correction.
double PwdProfileHalfRange(const PwdPeak& pk, double cutoff);
// Chain rule: derivatives of the profile value with respect to U .. Ye.
void PwdWidthDerivs(const PwdPeak& pk, const PwdProfValue& v, std::array<double, PwdNWidth>& out);

// The symmetric shape of FWHMs hg (Gaussian) and hl (Lorentzian) at x:
// value, d/dx, d/dhg, d/dhl. The Gaussian uses hg, the Lorentzians hl, the
// pseudo-Voigt the Thompson-Cox-Hastings total width and mixing.
struct PwdSymValue {
  double Value = 0., dX = 0., dHG = 0., dHL = 0.;
};
PwdSymValue PVoigt(double x, double hg, double hl, int shape);
// Thompson-Cox-Hastings total FWHM and mixing with their derivatives.
struct PwdTch {
  double H = 0., Eta = 0., dHdHG = 0., dHdHL = 0., dEtadHG = 0., dEtadHL = 0.;
};
PwdTch PwdTchMix(double hg, double hl);
// Split pseudo-Voigt: widths h*(1-s) below and h*(1+s) above the peak, each
// side scaled so that the whole stays normalised.
double PSplitVoigt(double x, double hg, double hl, double s);

// Time of flight: the back-to-back exponential (rise alpha, decay beta)
// convolved with a Gaussian of variance sig2 and with a Lorentzian of FWHM
// gamma, and the mixed profile of TCH widths.
double ConvTOFWithGauss(double dt, double alpha, double beta, double sig2);
double ConvTOFWithLorentz(double dt, double alpha, double beta, double gamma);
double pvoigttof(double dt, double alpha, double beta, double hg, double hl);

// Gauss-Legendre nodes and weights on [-1, 1] for the node count n (one of
// the counts of the divergence correction), built once.
const std::pair<std::vector<double>, std::vector<double>>& PwdGaussLegendre(int n);
// Node count of the divergence correction for the range d and FWHM h (centideg).
int PwdFcjPoints(double d, double h);

// The triangle of half width w (area 1) at x.
double PwdTriangleFunction(double x, double w);
// Tabulates the instrument function at the step s for the peak at tth:
// axial divergence (the divergence correction's weight, its heights from the
// slit and sample lengths, limited by the Soller slits) folded with the
// receiving slit (a box) and with the flat-specimen aberration of the
// divergence slit; stored in prof.FaTable with prof.FaStep = s.
void PwdAxialDiv(PwdProfile& prof, const PwdFaGeometry& g, double tth, double s);
void PwdAxialDiv(std::array<double, 2 * kPwdFaHalf + 1>& table, const PwdFaGeometry& g, double tth, double s);

// Preferred orientation of a reflection from the cosines c[0..n) of the
// angles between its equivalents' normals and the direction (one value
// unless "prefsum"): type 1 March-Dollase, 2 Sasa-Uda; the factor
// pref2 + (1 - pref2) <P> with its derivatives by pref1 and pref2.
double SetPref(int type, double pref1, double pref2, const double* c, int n, double* d1,
               double* d2);
// Surface roughness of Bragg-Brentano samples (type 1 Pitschke-Hermann-Mattern,
// 2 Suortti) with its derivatives by p and q.
double PwdRougness(int type, double p, double q, double sinth, double* dp, double* dq);
// Absorption factor: 1 cylinder (mu r), 2 symmetrical transmission (mu t),
// 3 symmetrical reflection (constant); 0 none.
double PwdAbsorption(int type, double mir, double th);

// Background of a pattern.
enum PwdBckgType : int { PwdLegendre = 1, PwdChebyshev = 2, PwdCosOrtho = 3, PwdCosGsas = 4 };
struct PwdBackground {
  int Type = PwdLegendre;
  std::vector<double> Coef;                          // "# Background parameters"
  double X1 = 0., X2 = 1.;                           // range: first and last used point
  bool Tof = false;
  std::vector<std::pair<double, double>> Manual;    // manual points (x, y), x ascending
  double ManScale = 1.;                              // refinable scale of the manual part
};
// Coefficient k of the background, k = Coef.size() being ManScale.
inline double& PwdBckgRef(PwdBackground& bg, int k) {
  return static_cast<std::size_t>(k) < bg.Coef.size() ? bg.Coef[static_cast<std::size_t>(k)] : bg.ManScale;
}
// Sets the range from the first and last used points of the pattern.
void PwdSetBackground(PwdBackground& bg, const std::vector<double>& x,
                      const std::vector<char>& use);
// Background at x; dcoef (when not null, Coef.size() values) receives the
// derivatives by the coefficients, dscale (when not null) that by ManScale.
double PwdGetBackground(const PwdBackground& bg, double x, double* dcoef, double* dscale = nullptr);
// The cosine series b1 + sum_k b_k cos((k - 1) t) with its basis in dcoef.
double CosBackg(const std::vector<double>& b, double t, double* dcoef);

}  // namespace tarn
