#pragma once
// Structure-factor contribution of one modulated atom (harmonic waves, crenel,
// sawtooth, orthogonal function sets on a crenel interval).
//
// Superspace convention. The atom with basic position xb and internal
// coordinate xb4 (d components, xb4 = q.xb + t) is the string
//   X(xb4) = (xb + u(xb4), xb4 + q.u(xb4))
// in the superspace basis of its composite part. For the reflection H (3+d
// indices, transformed to the atom's part by SetInd) and the operator (R, s)
// of the phase (in the part's basis), H.(R X + s) = H'.X + H.s with H' = H.R,
// so every operator needs the atom's own string only:
//   H'.X = h'.xb + m'.xb4 + k'.u(xb4),   k' = h' + m'.q  (3-vector, r.l.u.)
// and the temperature factor of the copy is exp(-k'.beta(xb4).k').
//
// Values of the atom (AtomLayout order, at.Par.Val):
//   ai              occupancy factor (site multiplicity included)
//   x y z           fractional basic position
//   beta_ij         harmonic ADP (dimensionless; T = exp(-sum beta_ij k_i k_j))
//                   or Uiso (Angstrom^2; T = exp(-2 pi^2 Uiso k.G*.k)) when isotropic
//   C_ijk..         static anharmonic tensors, Gram-Charlier factor
//                   1 + sum_n (2 pi i)^n/n! sum C k_i k_j ..., stored as C * 10^n
//                   (not modulated: anharmonic waves are refused)
//   crenel          x40, Delta: occupancy 1 on [x40 - Delta/2, x40 + Delta/2]
//   occupancy waves o(xb4) = ai * c(xb4) * (1 + sum_n S_n f_n^s + C_n f_n^c)
//   sawtooth        ux uy uz x40 Delta: u = 2 U (xb4 - x40)/Delta on the interval,
//                   occupancy 1 there and 0 outside
//   position waves  u(xb4) = sum_n S_n f_n^s(xb4) + C_n f_n^c(xb4)
//   ADP waves       beta(xb4) = beta + sum_n S_n f_n^s + C_n f_n^c
// with f^s = sin(2 pi k_n.xb4), f^c = cos(2 pi k_n.xb4) for harmonic waves
// (k_n the integer wave vector of wave n from the phase's wave table,
// ModWaveVector), or the orthogonal functions of GetFPol when the atom has a
// function type (functions of the first internal coordinate).
#include <array>
#include <complex>
#include <string>
#include <vector>

#include "model/atoms.hpp"
#include "model/modfun.hpp"

namespace tarn {

// Integration grid of Calcm2. When all waves of the atom run along one
// modulation vector the grid is one-dimensional along that internal coordinate
// (the other internal indices of a contributing satellite are then zero): a full period of an atom
// without crenel is split into ModGridIntervals intervals of ModGaussPoints Gauss- Legendre points
// each (128 points: exact to about 1e-9 for integrands of up to 10 oscillations per period); a
// crenel or sawtooth interval gets ModCrenelPoints Gauss-Legendre points. Otherwise the grid is the
// tensor product over the d internal coordinates of ModGridPointsMulti equally spaced points each
// (the rectangle rule is exact for periodic integrands of fewer than that many oscillations per
// period along each coordinate).
inline constexpr int ModGridPointsMulti = 48;
inline constexpr int ModGaussPoints = 8;
inline constexpr int ModGridIntervals = 16;
inline constexpr int ModCrenelPoints = 64;
// Bessel terms (Calcm1) whose magnitude is below this are dropped.
inline constexpr double ModBesselDiff = 1.0e-5;

// One operator of the phase, in the basis of the atom's composite part.
struct ModOp {
  std::array<double, 36> R{};  // NDim x NDim rotation, row-major (integers as reals)
  std::array<double, 6> S{};   // NDim translation, fractions of the cell
  bool Partner = false;        // rotation minus that of the operator before it: its sums over
                               // x4 are the complex conjugates of that operator's
};

// Per modulated atom; built once per run by CalcmPrepare.
struct ModAtomPrep {
  int Phase = 0;           // 0-based phase
  int NDim = 3;            // 3 + d
  int NDimI = 0;           // d
  int Method = 1;          // 0 Bessel expansion (Calcm1), 1 numerical integration (Calcm2)
  int Part = 0;            // 0-based composite part of the atom
  AtomShape Shape;         // attributes the preparation was made for
  AtomLayoutInfo Lay;      // block offsets of the atom's values
  std::vector<ModOp> Ops;  // operators (inversion partners included)
  std::vector<std::array<double, 6>> Centr;  // centring vectors in the part's basis
  bool HasW = false;                         // the part has a W matrix other than the identity
  std::array<double, 36> WInv{};             // SetInd: H_part = H . W^-1 (row-major)
  double BesselDiff = ModBesselDiff;         // Calcm1: smaller Bessel terms dropped ("diff")
  std::array<double, 9> Q{};                 // modulation vectors of the part, d rows of 3 (r.l.u.)
  std::array<double, 9> MetTensI{};          // reciprocal metric tensor G* of the part (1/A^2)
  bool Crenel = false;  // occupancy restricted to an interval (crenel or sawtooth)
  bool Saw = false;     // sawtooth displacement
  int MaxWave = 0;      // largest wave count of occupancy, position, ADP and tensors
  ModWaves K;           // integer wave vector of waves 0 .. MaxWave-1 (d components used)
  int GridDim = 1;      // internal coordinates integrated over: 1 (all waves along one vector) or d
  int GridAxis = 0;     // GridDim 1: the internal coordinate (0-based) the waves run along
  // ComExp: grid of a full period (atoms without crenel): points (GridDim
  // coordinates each), weights (sum 1), and per point and wave sin, cos of
  // 2 pi k_n.x4 (single precision).
  int NPts = 0;
  std::vector<double> X4, W;
  std::vector<float> SinCos;  // NPts * MaxWave * 2
  // Crenel atoms: Gauss-Legendre nodes on [-1, 1] and weights (sum 2), mapped
  // onto the current interval on each call.
  std::vector<double> Xi, XiW;
  // Static anharmonic tensors (Gram-Charlier), all orders flattened: order,
  // index tuple, multiplicity of the component in the full tensor.
  struct AnhComp {
    int Order = 3;
    std::array<int, 6> Idx{};
    double Mult = 1.;
    int Par = 0;  // index of the value in the atom's list
    // Waves of the tensor: sin of wave w at WaveOff + 2 NComp w, cos NComp after it.
    int NWave = 0, WaveOff = 0, NComp = 0;
  };
  std::vector<AnhComp> Anh;
  // Some tensor carries waves: the Gram-Charlier factor varies along x4 and is
  // integrated point by point (integration method only).
  bool AnhMod = false;
  FPolSet FPol;  // orthogonal function set (function type > 0) for the interval at preparation
};

// CalcmPrepare: prepares a modulated atom for the structure factor.
// Builds the preparation of `at` in the phase (0-based) of the basic data
// `Basic`: operators with centring, SetInd matrix, wave vectors (from the
// "wave" option of the phase in `Model`), integration grid. 0 on success; 1
// when the basic data do not fit the atom, or the wave vectors of its harmonic
// waves are unknown (d > 1 without the option) (message shown).
[[nodiscard]] int CalcmPrepare(ModAtomPrep& m, const AtomRec& at, int phase,
                               int method /*0 Bessel, 1 integration*/);

// Indices H (NDim) transformed to the atom's composite part: H . W^-1.
void SetInd(const ModAtomPrep& m, const int* h, int* hp);

// Calcm1: structure factor of a modulated atom by the Bessel expansion.
// Geometric part of the atom's contribution summed over all operators of its phase (centring
// translations included, and the inversion when the group has one):
//   G = sum_ops < o(x4) * T(x4) * exp(2 pi i (h.R.x(x4) + h.t)) >_x4
// o = occupancy ai times the occupational modulation, T the temperature factor (harmonic ADP with
// its modulation). The caller multiplies by (f0 + f' + i f'') and adds it. Derivatives of Re G and
// Im G with respect to the atom's values (AtomLayout order, at.Par.Val) go to dRe / dIm (size NPar)
// when non-null. Returns 0, or 1 on a numerical problem: *msg (when given) names the
// atom ("ADP of the atom "name" strongly negative"); the caller adds the line
// "Numerical problem for reflection (...) in CALC.".
[[nodiscard]] int Calcm1(const ModAtomPrep& m, const AtomRec& at, const int* h,
                         std::complex<double>& g, double* dRe, double* dIm, std::string* msg);
// Calcm2: structure factor of a modulated atom by numerical integration.
[[nodiscard]] int Calcm2(const ModAtomPrep& m, const AtomRec& at, const int* h,
                         std::complex<double>& g, double* dRe, double* dIm, std::string* msg);

}  // namespace tarn
