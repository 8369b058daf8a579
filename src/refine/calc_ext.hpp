#pragma once
// Extinction, twinning and magnetic scattering for the structure factor of one
// reflection. Calc calls these routines per reflection; SetTw and the magnetic
// set-up run once per refinement run.
#include <array>
#include <complex>
#include <string>
#include <vector>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "symmetry/symm.hpp"

namespace tarn {

// ---------------------------------------------------------------- extinction
// Messages of the extinction, twin and magnetic routines.
enum class ExtMsg : int {
  AnisoImpossible,  // "Anisotropic extinction cannot be performed."
  TwinSingular,     // "Twin matrix of domain N is singular."
  TwinCount,        // "Number of twin fractions does not agree with the number of twin domains."
  Count
};
const char* ExtMsgText(ExtMsg id);

// "Modification for absorption": coefficients A_s and B_s of the secondary
// factor tabulated against sin(theta) in steps of 0.1 (0 .. 1), and dadmi
// against theta in steps of 5 degrees (0 .. 90), kept for listings.
struct ExtAbsTables {
  std::array<double, 11> A{};      // A_s at sin(theta) = 0, 0.1, .., 1
  std::array<double, 11> B{};      // B_s at the same points
  std::array<double, 19> DaDmi{};  // dA/d(mu r) at theta = 0, 5, .., 90 degrees
};

// Extinction factor y on the intensity for one reflection (ExtIso / ExtAniso of the data block),
// with dy/d(extinction value) for the block's Ext list (size ExtParCount) into dy when non-null.
struct ExtInput {
  double Fc2 =
      0.;  // |F|^2 on the absolute scale (electrons^2; fm^2 neutrons; Angstrom^2 electrons)
  double SinTh = 0.;              // sin(theta)
  double Lambda = 0.;             // Angstrom
  double PolK = 1.;               // polarisation constant of the data block (P1)
  double Volume = 0.;             // cell volume, Angstrom^3
  std::array<double, 3> HCart{};  // diffraction vector, Cartesian, 1/Angstrom (anisotropic models)
  int RadType = 1;   // 1 X-ray (two polarisation components), 2 neutron, 3 electron (one each)
  double TBar = 0.;  // mean path length through the crystal, micrometres; <= 0: 1.5 r
                     // (a sphere of the refined radius r)
  const ExtAbsTables* Abs = nullptr;  // "Modification for absorption" when non-null
};
// Extinction values of the data block (the Ext list):
//   ExtIso:   r (radius, micrometres), g (mosaic parameter, dimensionless, rad^-1)
//   ExtAniso: W11 W22 W33 W12 W13 W23 (particle tensor, micrometres^-2), then
//             Z11 Z22 Z33 Z12 Z13 Z23 (mosaic tensor, dimensionless), Cartesian;
//             r(e) = (e.W.e)^-1/2 and g(e) = (e.Z.e)^-1/2 along the unit diffraction vector e
//   ExtShelx: x
// Becker & Coppens (1974) Acta Cryst. A30, 129-147, for one polarisation component with weight P:
//   Q = P (r_e |F| / V)^2 lambda^3 / sin(2 theta)      kinematic reflectivity per unit path
//   S = sin(2 theta) / lambda                           angular width of a sphere of unit radius
//   type I:   x_s = (2/3) Q g T                         (mosaic spread dominates)
//   type II:  x_s = (2/3) Q (r S) T                     (particle size dominates)
//   general:  x_s = (2/3) Q (r* S) T, r* = r / sqrt(1 + (r S / g)^2) Gaussian, r / (1 + r S / g)
//   Lorentzian
//             x_p = (2/3) Q (r S) (3/2 r) = P (r_e |F| lambda r / V)^2
// T the mean path (TBar). problem: 0 none; 1 an anisotropic tensor is not positive along the
// diffraction vector ("Anisotropic extinction cannot be performed."), y = 1 then.
double ExtFactor(const DatBlockModel& m, const ExtInput& in, double* dy, int& problem);
// The parameters x_p and x_s (one component of weight 1) of the isotropic model for given r and g;
// x_p = 0 for types I and II. For checks and listings.
void ExtXValues(int kind, int distr, double r, double g, const ExtInput& in, double& xp,
                double& xs);
// ShelxExt: the SHELX-type extinction factor.
// SHELX correction: factor on the intensity 1/sqrt(1 + x e) and d(factor)/dx.
// radType 3 uses c = 1 instead of 0.001 in e = c (Fc/k)^2 lambda^3 / sin(2 theta).
double ShelxExt(double x, double fcOverK, double lambda, double sin2Th, int radType, double* dfdx);

// ---------------------------------------------------------------- twinning
// One domain reflection that contributes to an observed reflection.
struct TwinPart {
  int Domain = 0;          // 0-based twin domain
  std::array<int, 6> H{};  // indices in the domain's own setting (NDim used)
};
// Twin domains of one data block (one phase).
struct TwinSetup {
  int NDomain = 1;
  int NDim = 3;
  std::vector<std::array<double, 9>> Mat;   // per domain: twin matrix T (row-major)
  std::vector<std::array<double, 9>> MatI;  // per domain: T^-1
  std::vector<double> Frac;              // volume fractions, sum 1; Frac[0] = 1 - sum of the others
  std::array<double, 9> MetI{};          // reciprocal metric tensor G*, 1/Angstrom^2
  std::vector<std::array<double, 3>> Q;  // modulation vectors, r.l.u. (NDim-3)
  double Lambda = 0.;                    // Angstrom
  double TwDiff = 0.1;                   // coincidence window, degrees of 2 theta
  int MMaxTw = 4;                        // largest satellite index tried per modulation vector
  double OverDiff = 0.;                  // satellite overlap window, degrees (0: as TwDiff)
  int Overlap = 0;                       // 0: satellite overlaps ignored; else counted
};
// SetTw: sets up the twin domains of a data block.
// Builds the twin set-up of a data block from the twin matrices of the basic
// data (Basic.Twin, one 3x3 per domain; identity for a single domain) and the
// fractions of the data-block model. Returns 0, or 1 with msg set.
[[nodiscard]] int SetTw(TwinSetup& t, const BasicData& b, const DatBlockModel& m, int phase,
                        int datBlock, double twDiff, int mMaxTw, double overDiff, int overlap,
                        std::string& msg);
// Refreshes Frac after the fractions changed.
void TwinUpdateFractions(TwinSetup& t, const DatBlockModel& m);
// Domain reflections that coincide with the observed reflection h (indices of
// domain 0, i.e. of the reference setting). Always contains (0, h) first.
void TwinParts(const TwinSetup& t, const int* h, std::vector<TwinPart>& out);
// Fraction-weighted intensity sum over the parts, sum_k Frac[d_k] * I_k, and
// dI/d(Twin value j) for j = 1 .. NDomain-1 into dFrac (size NDomain, entry 0
// left zero) when non-null: the first fraction is the remainder 1 - sum.
double TwinSum(const TwinSetup& t, const std::vector<TwinPart>& parts,
               const std::vector<double>& intensity, double* dFrac);

// ---------------------------------------------------------------- magnetic
// Moment representation of the model: components along the unit vectors of the
// cell axes a/|a|, b/|b|, c/|c| (Bohr magnetons), or spherical: modulus (Bohr
// magnetons), azimuth phi and polar angle theta (degrees) in the Cartesian frame
// of the cell (x along a, z along c*).
enum MagRepr : int { MagFract = 0, MagSpher = 1 };

// Per phase: Cartesian frame and the operators acting on moments there.
struct MagSetup {
  std::array<double, 9> AxCart{};   // columns: a/|a|, b/|b|, c/|c| in Cartesian coordinates
  std::array<double, 9> AxCartI{};  // inverse of AxCart
  std::array<double, 9> Orth{};     // fractional -> Cartesian (columns a, b, c), Angstrom
  std::array<double, 9>
      RecCart{};  // Miller indices (row) -> Cartesian diffraction vector: h^T RecCart
  std::vector<std::array<double, 9>> RMagCart;  // per operator: RMag in Cartesian coordinates
  bool Magnetic = false;
};
// Neutron magnetic scattering amplitude per Bohr magneton, fm (gamma r0 / 2).
inline constexpr double kMagAmpFm = 2.6954;

// MagPrepare: prepares the magnetic operators of a phase.
// Frames of the phase's cell and the Cartesian moment operators of its NSymm
// operators (Symmetry must be complete); 1 when the cell is degenerate.
[[nodiscard]] int MagPrepare(MagSetup& s, const PhaseBasic& ph);
// SetMag: converts the magnetic moments between representations.
// Switches the moments (BlkMag and BlkMagWave amplitudes) of the atoms of the
// phase between the two representations; values and standard uncertainties.
void SetMag(AtomModel& m, const MagSetup& s, int phase, int from, int to);
// Cartesian moment (Bohr magnetons) from the three stored values; d[3*i+k] =
// dM_i/d(value k) when non-null.
std::array<double, 3> MagMomentCart(const MagSetup& s, const double* val, int repr, double* d);
// Magnetic form factor in the dipole approximation: <j0> + (1 - 2/g) <j2> at s = sin(theta)/lambda.
double MagFormFactor(const AtMagBasic& t, double s, double gFactor = 2.);
// Adds one operator's image of a moment: fm += w * RMagCart[op] * mCart, with
// w = kMagAmpFm * f_m * occupancy * T * exp(2 pi i (h.R.x + h.t)) giving F_M in fm
// (centring translations and the (-R,-t) partners use the same RMagCart).
// Unpolarised neutrons: intensity |F_N|^2 + MagPerpIntensity(F_M); `onlymag`: the latter alone.
void MagAddOp(const MagSetup& s, int op, const std::array<double, 3>& mCart, std::complex<double> w,
              std::array<std::complex<double>, 3>& fm);
// Magnetic intensity |F_perp|^2 with F_perp = F - e (e.F), e the unit
// diffraction vector; dRe / dIm (size 3) = dI/dRe F_k, dI/dIm F_k when non-null.
double MagPerpIntensity(const std::array<std::complex<double>, 3>& fm,
                        const std::array<double, 3>& hCart, double* dRe, double* dIm);

}  // namespace tarn
