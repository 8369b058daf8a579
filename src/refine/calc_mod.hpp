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
//   crenel          x40, Delta: occupancy 1 on [x40 - Delta/2, x40 + Delta/2]
//   occupancy waves o(xb4) = ai * c(xb4) * (1 + sum_n S_n f_n^s + C_n f_n^c)
//   sawtooth        ux uy uz x40 Delta: u = 2 U (xb4 - x40)/Delta on the interval,
//                   occupancy 1 there and 0 outside
//   position waves  u(xb4) = sum_n S_n f_n^s(xb4) + C_n f_n^c(xb4)
//   ADP waves       beta(xb4) = beta + sum_n S_n f_n^s + C_n f_n^c
// with f^s = sin(2 pi k_n.xb4), f^c = cos(2 pi k_n.xb4) for harmonic waves
// (k_n = n along the first internal axis for d = 1; see ModWaveVector), or the
// orthogonal functions of GetFPol when the atom has a function type.
#include <array>
#include <complex>
#include <string>
#include <vector>

#include "model/atoms.hpp"

namespace tarn {

// Integration grid of Calcm2: Gauss-Legendre points per interval and
// intervals per period along each internal axis (d = 1, 2, 3). A full period
// of a harmonic atom is covered by ModGridIntervals[d-1] * ModGaussPoints
// points per axis; a crenel or sawtooth interval by ModCrenelPoints points.
inline constexpr int ModGaussPoints = 8;
inline constexpr std::array<int, 3> ModGridIntervals = {16, 4, 2};
inline constexpr int ModCrenelPoints = 64;
// Bessel terms (Calcm1) whose magnitude bound is below this are dropped.
inline constexpr double ModBesselDiff = 1.0e-5;

// One operator of the phase with the centring folded out, in the basis of the
// atom's composite part.
struct ModOp {
  std::array<double, 36> R{};  // NDim x NDim rotation, row-major (integers as reals)
  std::array<double, 6> S{};   // NDim translation, fractions of the cell
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
  std::vector<ModOp> Ops;  // operators of the phase (inversion partners included)
  std::vector<std::array<double, 6>> Centr;  // centring vectors in the part's basis
  std::array<double, 36> WInv{};             // SetInd: H_part = H . W^-1 (row-major NDim x NDim)
  bool HasW = false;                         // the part has a W matrix other than the identity
  std::array<double, 9> Q{};                 // modulation vectors of the part, d rows of 3 (r.l.u.)
  std::array<double, 9> MetTensI{};          // reciprocal metric tensor G* (1/Angstrom^2)
  // Integration grid (ComExp): points xb4 (d per point) and weights summing to
  // 1 over a period; the harmonic function values on it: per point and wave,
  // sin and cos of 2 pi k_n.xb4. Crenel atoms keep a grid on the reduced
  // interval [-1, 1] instead (Crenel = true), mapped on each call.
  bool Crenel = false;          // occupancy restricted to an interval (crenel or sawtooth)
  int NPts = 0;                 // grid points
  int MaxWave = 0;              // largest wave count of the atom (table width)
  std::vector<double> X4;       // NPts * d internal coordinates
  std::vector<double> W;        // NPts weights
  std::vector<float> SinCos;    // NPts * MaxWave * 2: sin, cos (single precision)
  std::vector<double> Xi, XiW;  // crenel: Gauss-Legendre nodes on [-1, 1] and weights
  std::vector<std::array<int, 3>> KWave;  // integer wave vector of each wave
};

// Integer wave vector of wave n (0-based) for d internal dimensions: waves run
// through the vectors of growing order |k1|+|k2|+|k3|, the first non-zero
// component positive, first along the first axis (d = 1: k = n + 1).
std::array<int, 3> ModWaveVector(int n, int d);

// Builds the preparation of `at` in the phase (0-based) of the basic data
// `Basic`: operators with centring, SetInd matrix, integration grid. 0 on
// success; 1 when the basic data do not fit the atom (message shown).
[[nodiscard]] int CalcmPrepare(ModAtomPrep& m, const AtomRec& at, int phase,
                               int method /*0 Bessel, 1 integration*/);

// Indices H (NDim) transformed to the atom's composite part: H . W^-1.
void SetInd(const ModAtomPrep& m, const int* h, int* hp);

// Geometric part of the atom's contribution summed over all operators of its phase (centring
// translations included, and the inversion when the group has one):
//   G = sum_ops < o(x4) * T(x4) * exp(2 pi i (h.R.x(x4) + h.t)) >_x4
// o = occupancy ai times the occupational modulation, T the temperature factor (harmonic ADP with
// its modulation). The caller multiplies by (f0 + f' + i f'') and adds it. Derivatives of Re G and
// Im G with respect to the atom's values (AtomLayout order, at.Par.Val) go to dRe / dIm (size NPar)
// when non-null. Returns 0, or 1 on a numerical problem (message in *msg when given).
[[nodiscard]] int Calcm1(const ModAtomPrep& m, const AtomRec& at, const int* h,
                         std::complex<double>& g, double* dRe, double* dIm, std::string* msg);
[[nodiscard]] int Calcm2(const ModAtomPrep& m, const AtomRec& at, const int* h,
                         std::complex<double>& g, double* dRe, double* dIm, std::string* msg);

}  // namespace tarn
