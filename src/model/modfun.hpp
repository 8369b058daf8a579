#pragma once
// Modulation functions of atoms: values of the occupational, displacive, ADP
// and magnetic modulation on points of the internal coordinate, the special
// functions (crenel, sawtooth, orthogonal sets on a crenel interval), Gauss-
// Legendre quadrature and integer-order Bessel functions.
//
// Harmonic waves. A modulated quantity with ncomp components and nw waves
// has, per wave n, the ncomp sine amplitudes followed by the ncomp cosine
// amplitudes (the order of the wave blocks in the atom's value list); its
// value at the internal coordinate xb4 (d components) is
//   p(xb4) = sum_n S_n sin(2 pi k_n.xb4) + C_n cos(2 pi k_n.xb4)
// with k_n the integer vector of wave n (ModWaveVector). Points are given as
// np blocks of d reals; results as np blocks of ncomp reals.
//
// Orthogonal sets (function types Ortho, Legendre, XHarm). On an interval of
// centre c and width w the reduced coordinate is t = 2 (xb4 - c)/w in
// [-1, 1]; wave n uses function 2n-1 for its "sine" amplitudes and 2n for its
// "cosine" amplitudes (n = 1, 2, ...):
//   Legendre  f_j = P_j(t)                                  (P_j(1) = 1)
//   XHarm     Gram-Schmidt of 1, t, cos(pi t), sin(pi t), cos(2 pi t), ...
//   Ortho     Gram-Schmidt of 1, sin(2 pi xb4), cos(2 pi xb4), sin(4 pi xb4), ...
// on the interval; the Gram-Schmidt sets drop the constant and are scaled so
// that the mean of f_j^2 over the interval is 1/2 (as for sine and cosine over
// a full period).
#include <array>
#include <complex>
#include <string>
#include <vector>

namespace tarn {

struct PhaseModel;

// Integer wave vectors of the harmonic waves of a phase, one per wave (the
// first d components used): wave n runs as exp(2 pi i k_n.xb4).
using ModWaves = std::vector<std::array<int, 3>>;

// Wave table of the phase from its "wave" option record (d integers per
// wave). Without the record: d = 1 gives an empty table (wave n is n + 1);
// d > 1 gives an empty table, which the evaluators of harmonic waves refuse
// (ModWavesCover). Returns 0, or 1 with *msg set when the record does not
// hold a whole number of integer vectors or holds a zero vector.
[[nodiscard]] int ModWavesOfPhase(const PhaseModel& ph, int d, ModWaves& w, std::string* msg);
// True when wave vectors of waves 0 .. nw-1 are known: from the table, or by
// default when d <= 1.
bool ModWavesCover(const ModWaves* w, int nw, int d);

// Integer wave vector of wave n (0-based) over the d modulation vectors: the
// table entry when there is one, else (n + 1) times the first vector.
std::array<int, 3> ModWaveVector(int n, int d, const ModWaves* w = nullptr);

// Generic harmonic modulation: amp has 2*ncomp values per wave.
void MakeHarmMod(const double* amp, int ncomp, int nw, int d, const double* x4, int np, double* out,
                 const ModWaves* waves = nullptr);
// MakePosMod, MakeOccMod, MakeBetaMod, MakeMagMod: modulations from the harmonic waves.
// Displacement u (3 components, fractional) from the position waves.
void MakePosMod(const double* amp, int nw, int d, const double* x4, int np, double* u,
                const ModWaves* waves = nullptr);
// Occupational modulation factor 1 + sum of the occupancy waves (1 component).
void MakeOccMod(const double* amp, int nw, int d, const double* x4, int np, double* o,
                const ModWaves* waves = nullptr);
// ADP modulation: ncomp = 6 (beta) or 1 (Uiso) components; the change from the
// static ADP (the caller adds the static values).
void MakeBetaMod(const double* amp, int ncomp, int nw, int d, const double* x4, int np,
                 double* beta, const ModWaves* waves = nullptr);
// Magnetic moment modulation (3 components along the cell axes).
void MakeMagMod(const double* amp, int nw, int d, const double* x4, int np, double* m,
                const ModWaves* waves = nullptr);

// Crenel occupancy: 1 when xb4 (first internal component) lies on the
// interval of centre x40 and width delta modulo 1, else 0. delta >= 1 covers
// everything.
double CrenelOcc(double x4, double x40, double delta);

// XMod: Fourier coefficient of the crenel function.
// Fourier coefficient of the crenel function, integral over the interval of
// exp(2 pi i n x4): exp(2 pi i n x40) * Delta * sin(pi n Delta)/(pi n Delta)
// (Delta when n = 0), with its derivatives by x40 and Delta.
std::complex<double> XMod(int n, double x40, double delta, std::complex<double>* dx40,
                          std::complex<double>* ddelta);

// gauleg: "Gauss-Legendre" nodes and weights.
// Gauss-Legendre nodes and weights of n points on [x1, x2].
void gauleg(double x1, double x2, int n, double* x, double* w);

// Orthogonal function set on an interval (types 1 Ortho, 2 Legendre, 3 XHarm).
struct FPolSet {
  int Type = 2;           // FunTypes value
  int NFun = 0;           // functions f_1 .. f_NFun
  double X40 = 0.;        // centre of the interval (internal coordinate)
  double Delta = 1.;      // width of the interval
  std::vector<double> C;  // (NFun+1) x (NFun+1) row-major: f_j = sum_i C[j][i] g_i (Gram-Schmidt)
};
// MakeFPolSet, GetFPol: "function polynomials", an orthogonal set on an interval and its values.
// Prepares the set; 0 ok, 1 when the type is unknown, the width is not
// positive or the raw functions are linearly dependent on the interval.
[[nodiscard]] int MakeFPolSet(int type, int nfun, double x40, double delta, FPolSet& s);
// Values f_1 .. f_NFun at the point x4 (first internal component) into f.
void GetFPol(const FPolSet& s, double x4, double* f);

// MakePosModPol, MakeOccModPol, MakeBetaModPol: modulations from the orthogonal sets.
// The modulations of the orthogonal sets: same amplitude layout as the
// harmonic evaluators; points by their first internal component.
void MakePosModPol(const FPolSet& s, const double* amp, int nw, const double* x4, int np,
                   double* u);
void MakeOccModPol(const FPolSet& s, const double* amp, int nw, const double* x4, int np,
                   double* o);
void MakeBetaModPol(const FPolSet& s, const double* amp, int ncomp, int nw, const double* x4,
                    int np, double* beta);

// Sawtooth on the interval of centre x40 and width delta: occupancy 1 inside,
// 0 outside (into o), and the displacement u = 2 U (x4 - x40)/delta inside,
// 0 outside (into u, 3 per point, when non-null); usaw = U (3 values).
void MakeOccModSawTooth(const double* usaw, double x40, double delta, const double* x4, int np,
                        int d, double* o, double* u);

// Bessel functions of integer order 0..nmax at x: J_n into j, modified I_n
// into i (nmax + 1 values each). Backward recurrence, relative accuracy about
// 1e-14 for |x| up to a few hundred.
void BesselJ(int nmax, double x, double* j);
void BesselI(int nmax, double x, double* i);

}  // namespace tarn
