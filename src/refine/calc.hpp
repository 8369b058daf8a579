#pragma once
// Structure factors and their derivatives for one refinement run.
//
// CalcPrepare turns the model (Model, Basic) and the parameter list of the run
// into a CalcSetup: atoms in structure-of-arrays form, padded to kCalcPad,
// symmetry of each phase reduced to what the sum over the operators needs,
// scattering-factor data per data block and atom type, modulated-atom
// preparations, twin and extinction set-up. CalcUpdate refreshes the values
// after the parameters were shifted. Calc evaluates one reflection and writes
// nothing but its output (safe to call from several threads on one setup).
//
// Conventions (docs/refinement.md, "Structure factors"):
//   F = sum_atoms (f0 + f' + i f'') * G_atom, G_atom = ai * sum_ops T(h R) exp(2 pi i h.(R x + t)),
//   Fc = scale * sqrt(y) * |F|.
#include <array>
#include <complex>
#include <memory>
#include <string>
#include <vector>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "refine/calc_ext.hpp"
#include "refine/constr.hpp"  // RefParams
#include "symmetry/symm.hpp"

namespace tarn {

struct ModAtomPrep;  // src/refine/calc_mod.hpp

inline constexpr int kCalcPad = 8;  // atom arrays are padded to a multiple of this

// Numerical limits of the calculation.
inline constexpr double kExpTarnLimit = 88.;      // |x| above this: exp over/underflows (float)
inline constexpr double kExpTarnHuge = 3.4e38;    // ExpTarn result on overflow
inline constexpr double kExpTarnTiny = 1.18e-38;  // ExpTarn result on underflow
inline constexpr double kCalcAdpNegative = -20.;  // exponent of T above this is "strongly negative"
inline constexpr double kCalcFTiny = 1.e-10;      // |F| below this: derivatives of |F| set to 0

// Symmetry of one phase as the sum over the operators uses it.
struct CalcSymm {
  int NDim = 3;
  int NOp = 0;                   // operators summed (one of each inversion pair when Centro)
  bool Centro = false;           // the group holds (-1, InvT): pairs summed as 2 Re(...)
  std::array<double, 3> InvT{};  // translation of the inversion
  std::vector<std::array<double, 9>> R;      // NOp rotations 3 x 3, row-major
  std::vector<std::array<double, 3>> T;      // NOp translations (fractions)
  std::vector<std::array<double, 6>> Centr;  // centring vectors (first zero), NDim components
  // Indices of a tensor of order n (n = 2 .. 6) in component order; filled for
  // the orders used: TensIdx[n] holds TensorComps(n) tuples of n indices 0..2.
  std::array<std::vector<std::array<int, 6>>, MaxAdpOrder + 1> TensIdx;
};

// Scattering data of one atom type for one data block.
struct CalcFormF {
  int Kind = 0;               // 0 Gaussian (X-ray or electron), 1 constant (neutron), 2 table
  std::array<double, 5> a{};  // Gaussian amplitudes (electrons, or Angstrom for electrons)
  std::array<double, 5> b{};  // Gaussian exponents, Angstrom^2
  double c = 0.;              // constant term (electrons), or the neutron length (fm)
  std::vector<double> Tab;    // values at sin(th)/lambda = 0, 0.05, ... (Kind 2)
  double Fp = 0.;             // f' (electrons) or Im of the neutron length (fm, as f'')
  double Fpp = 0.;            // f''
};

// Periodic atoms of one phase, structure of arrays, NPad entries each
// (padding atoms have zero occupancy).
struct CalcAtoms {
  int N = 0, NPad = 0;
  std::vector<int> Atom;                 // index in Model.Atom (N entries)
  std::vector<int> Type;                 // 0-based atom type (NPad)
  std::vector<double> Occ;               // ai (NPad)
  std::vector<double> X, Y, Z;           // fractional coordinates (NPad)
  std::vector<int> Iso;                  // 1: isotropic (Uiso in B[0]) (NPad)
  std::array<std::vector<double>, 6> B;  // beta11 22 33 12 13 23 or Uiso, Angstrom^2 (NPad)
  std::vector<int> AnhOrder;             // highest tensor order, 2 when harmonic only (N)
  std::vector<std::vector<double>> Anh;  // per atom: tensors of orders 3 .. AnhOrder, file order
  std::vector<int> ParBase;              // first parameter of the atom in RefParams (N)
  std::vector<AtomLayoutInfo> Layout;    // per atom (N)
};

// Per data block.
struct CalcBlock {
  int Phase = 0;                 // 0-based phase the block is refined with
  int Radiation = 1;             // 1 X-ray, 2 neutron, 3 electron
  double Lambda = 0.;            // Angstrom
  std::vector<CalcFormF> FormF;  // per atom type of the phase
  int ScalePar = -1;             // index of the first scale in RefParams
  double Scale = 1.;
  int ExtType = ExtNone;
  int ExtPar = -1;  // first extinction value in RefParams
  int NExt = 0;
  double PolK = 1.;  // polarisation constant for extinction
  bool Twinned = false;
  TwinSetup Twin;
  int TwinPar = -1;  // first twin fraction in RefParams
};

struct CalcSetup {
  int NPar = 0;                             // size of the full parameter vector
  std::vector<CalcSymm> Symm;               // per phase
  std::vector<CalcAtoms> Atoms;             // per phase: periodic atoms
  std::vector<std::array<double, 9>> MetI;  // per phase: G*, 1/Angstrom^2
  std::vector<double> Volume;               // per phase, Angstrom^3
  std::vector<CalcBlock> Block;             // per data block
  std::vector<DatBlockModel> BlockModel;    // per data block: model values for extinction
  // Modulated atoms: index in Model.Atom, phase, preparation, first parameter.
  std::vector<int> ModAtom;
  std::vector<int> ModPhase;
  std::vector<int> ModParBase;
  std::vector<std::shared_ptr<ModAtomPrep>> ModPrep;
  std::vector<AtomRec> ModRec;  // current values of the modulated atoms
  int ModMethod = 0;            // 0 Bessel (Calcm1), else integration (Calcm2)
};

[[nodiscard]] int CalcPrepare(CalcSetup& s, const RefParams& p);  // after RefPrelimConstr; 0 ok
void CalcUpdate(CalcSetup& s, const RefParams& p);                // after p.Val changed (cheap)

struct CalcRefl {
  std::array<int, 6> H{};  // indices h k l m1 m2 m3 (NDim of the phase used)
  int DatBlock = 0;        // 0-based data block
  int Phase = 0;           // 0-based phase
  double SinThL = 0.;      // sin(theta)/lambda, 1/Angstrom
};
struct CalcOut {
  double A = 0.,
         B = 0.;  // real and imaginary part of F on the absolute scale (no scale, no extinction)
  double Fc =
      0.;  // calculated value on the scale of the observations:
           // scale * sqrt(y) * |F|  (twins / magnetic: scale * sqrt(y * sum of intensities))
  double Ext = 1.;          // extinction factor y on the intensity
  std::vector<double> Der;  // dFc/dparameter over the FULL parameter vector (p.size()); filled when
                            // asked; the caller folds it with RefDerCompress
  int Problem = 0;  // 0 none; 1 numerical problem (Msg holds the message lines)
  std::vector<std::string> Msg;
};
// Structure factor of one reflection; no writes to program-wide state (callable from threads).
[[nodiscard]] int Calc(const CalcSetup& s, const CalcRefl& r, bool wantDer, CalcOut& out);
// Overflow-safe exponential: |x| < 88 -> exp(x), status 0; else 3.4e38 (status 1, x > 0)
// or 1.18e-38 (status 2).
double ExpTarn(double x, int& status);

}  // namespace tarn
