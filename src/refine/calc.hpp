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
#include <string_view>
#include <vector>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "refine/calc_ext.hpp"
#include "refine/calc_mag.hpp"
#include "refine/constr.hpp"       // RefParams
#include "refine/refcommands.hpp"  // RefValues
#include "symmetry/symm.hpp"

namespace tarn {

struct ModAtomPrep;  // src/refine/calc_mod.hpp
struct CalcMolPrep;  // src/refine/calc_mol.hpp

inline constexpr int kCalcPad = 8;  // atom arrays are padded to a multiple of this

// Numerical limits of the calculation.
inline constexpr double kExpTarnLimit = 88.;    // |x| at or above this: exp over/underflows (float)
inline constexpr double kExpTarnHuge = 3.4e38;  // ExpTarn result on overflow
inline constexpr double kExpTarnTiny = 1.18e-38;  // ExpTarn result on underflow
inline constexpr double kCalcITiny = 1.e-20;      // |F|^2 below this: derivatives through |F| are 0
inline constexpr double kCalcExtStep = 1.e-4;     // relative step of the numerical dy/d|F|^2
inline constexpr double kCalcSymmTol = 1.e-4;     // translations equal modulo centring
inline constexpr double kFormTabStep = 0.05;      // sin(th)/lambda step of tabulated form factors

// Stored anharmonic tensor of order n = Gram-Charlier coefficient * 10^n.
inline constexpr std::array<double, MaxAdpOrder + 1> kAnhScale = {1.,   1.,   1.,  1.e3,
                                                                  1.e4, 1.e5, 1.e6};

// Symmetry of one phase as the sum over the operators uses it (3-dimensional
// parts; modulated atoms take the full operators from their preparation).
struct CalcSymm {
  int NDim = 3;
  int NOp = 0;                   // operators summed (one of each inversion pair when Centro)
  bool Centro = false;           // the group holds (-1, InvT): pairs summed as 2 Re(...)
  std::array<double, 3> InvT{};  // translation of the inversion
  std::vector<std::array<double, 9>> R;      // NOp rotations 3 x 3, row-major
  std::vector<std::array<double, 3>> T;      // NOp translations (fractions)
  std::vector<std::array<double, 6>> Centr;  // centring vectors (first zero), NDim components
};

// Components of a symmetric tensor of order n in M40 order (index tuples
// i1 <= i2 <= ... <= in, lexicographic) with their multiplicities n!/(n1! n2! n3!).
struct CalcTensComp {
  std::array<int, MaxAdpOrder> Idx{};  // indices 0..2 (first n used)
  double Mult = 1.;
};

// Scattering data of one atom type for one data block.
struct CalcFormF {
  int Kind = 0;               // 0 Gaussian (X-ray or electron), 1 constant (neutron), 2 table
  int NGauss = 0;             // Gaussian terms used
  std::array<double, 5> a{};  // Gaussian amplitudes (electrons; Angstrom for electrons)
  std::array<double, 5> b{};  // Gaussian exponents, Angstrom^2
  double c = 0.;              // constant term (electrons), or the neutron length (fm)
  std::vector<double> Tab;    // values at sin(th)/lambda = 0, 0.05, ... (Kind 2)
  double Fp = 0.;             // f' (electrons); 0 for neutrons
  double Fpp = 0.;            // f'' (electrons), or the imaginary neutron length (fm)
};

// An atom outside the vectorised kernel: anharmonic tensors present.
struct CalcAnhAtom {
  int Atom = 0;  // index in Model.Atom
  std::string Name;
  int Type = 0;      // 0-based atom type
  int ParBase = 0;   // first parameter in RefParams
  int Order = 3;     // highest tensor order
  bool Iso = false;  // isotropic harmonic part (Uiso)
  AtomLayoutInfo Lay;
  double Occ = 0.;            // ai
  std::array<double, 3> X{};  // fractional
  std::array<double, 6> B{};  // beta11 22 33 12 13 23 (from Uiso when Iso)
  std::vector<double> C;  // Gram-Charlier coefficients of orders 3..Order (unscaled), file order
};

// Periodic harmonic atoms of one phase, structure of arrays, NPad entries
// each (padding atoms have zero occupancy).
struct CalcAtoms {
  int N = 0, NPad = 0;
  std::vector<int> Atom;                 // index in Model.Atom (N)
  std::vector<std::string> Name;         // atom names for messages (N)
  std::vector<int> Type;                 // 0-based atom type (N)
  std::vector<int> Iso;                  // 1: isotropic, B from Uiso (N)
  std::vector<int> ParBase;              // first parameter of the atom in RefParams (N)
  std::vector<AtomLayoutInfo> Layout;    // per atom (N)
  std::vector<double> Occ;               // ai (NPad)
  std::vector<double> X, Y, Z;           // fractional coordinates (NPad)
  std::array<std::vector<double>, 6> B;  // beta11 22 33 12 13 23 (NPad); from Uiso when Iso
  std::vector<CalcAnhAtom> Anh;          // atoms with anharmonic tensors
  int NMol = 0;  // pseudo-atoms of molecule positions, the last NMol of the N (calc_mol.hpp)
};

// Per data block.
struct CalcBlock {
  int Radiation = 1;                          // 1 X-ray, 2 neutron, 3 electron
  double Lambda = 0.;                         // Angstrom
  std::vector<std::vector<CalcFormF>> FormF;  // per phase, per atom type
  int ScalePar = -1;                          // index of the first scale in RefParams
  double Scale = 1.;                          // the main scale (Scales[0])
  std::vector<double> Scales;                 // every scale of the block
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
  std::shared_ptr<CalcMolPrep> Mol;         // molecule positions as pseudo-atoms
  int NDerMol = 0;                          // derivative slots of pseudo-atoms after NPar
  std::vector<CalcSymm> Symm;               // per phase
  std::vector<CalcAtoms> Atoms;             // per phase: periodic atoms
  std::vector<std::array<double, 9>> MetI;  // per phase: G*, 1/Angstrom^2, row-major
  std::vector<std::array<double, 9>>
      RecCart;                 // per phase: Cartesian diffraction vector = h^T RecCart
  std::vector<double> Volume;  // per phase, Angstrom^3
  std::array<std::vector<CalcTensComp>, MaxAdpOrder + 1> Tens;  // components of orders 3..6
  std::vector<CalcBlock> Block;                                 // per data block
  std::vector<DatBlockModel> BlockModel;  // per data block: current values for extinction, twins
  // Modulated atoms (waves, crenel, sawtooth, or a composite part other than
  // the first): index in Model.Atom, first parameter, preparation, current values.
  std::vector<int> ModAtom;
  std::vector<int> ModType;  // 0-based atom type
  std::vector<int> ModParBase;
  std::vector<std::shared_ptr<ModAtomPrep>> ModPrep;
  std::vector<AtomRec> ModRec;
  int ModMethod = 1;  // 0 Bessel (Calcm1), else integration (Calcm2)
  CalcMagSetup Mag;   // magnetic atoms per phase (neutron data blocks)
};

// Messages of the structure-factor calculation.
namespace calcmsg {
inline constexpr std::string_view AdpNeg1 = "ADP of the atom";
inline constexpr std::string_view AdpNeg2 = "strongly negative";
inline constexpr std::string_view Problem1 = "Numerical problem for reflection ";
inline constexpr std::string_view Problem2 = " in CALC.";
inline constexpr std::string_view NoFormF =
    "The atom type has no scattering factor for the radiation of the data block:";
inline constexpr std::string_view BadType = "Incorrect flag for atomic type (=";
inline constexpr std::string_view BadPhase = "The atom belongs to a phase that does not exist:";
inline constexpr std::string_view Header = "Structure factors";
}  // namespace calcmsg

// Scattering factor f0 + f' (real part) and f'' at s = sin(theta)/lambda.
void GetDFormF(const CalcFormF& ff, double s, double& f, double& fpp);
// Data of atom type `type` (0-based) of phase `phase` for data block `block`;
// 1 with msg set when the basic data hold no factor for the block's radiation.
[[nodiscard]] int CalcMakeFormF(const BasicData& b, int phase, int type, int block, CalcFormF& ff,
                                std::string& msg);

// After RefPrelimConstr; 0 ok. The run settings give the modulation method
// ("method"), the twin windows ("twdiff", "mmaxtw", "overdiff", "overlap") and
// "onlymag"; without them the defaults are used (simulation, tests).
[[nodiscard]] int CalcPrepare(CalcSetup& s, const RefParams& p, const RefValues& run);
[[nodiscard]] int CalcPrepare(CalcSetup& s, const RefParams& p);
void CalcUpdate(CalcSetup& s, const RefParams& p);  // after p.Val changed (cheap)

struct CalcRefl {
  std::array<int, 6> H{};  // indices h k l m1 m2 m3 (NDim of the phase used)
  int DatBlock = 0;        // 0-based data block
  int Phase = 0;           // 0-based phase
  double SinThL = 0.;      // sin(theta)/lambda, 1/Angstrom
  int Scale = 0;           // 0-based scale of the data block applied to the reflection
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
  double IMag = 0.;   // magnetic intensity |F_M,perp|^2 (fm^2, absolute scale; twins: weighted sum)
  int Magnetic = -1;  // -1 phase without magnetic atoms, 0 nuclear, 1 magnetic reflection
  int Problem = 0;    // 0 none; 1 numerical problem (Msg holds the message lines)
  std::vector<std::string> Msg;
};
// Structure factor of one reflection; no writes to program-wide state (callable from threads).
[[nodiscard]] int Calc(const CalcSetup& s, const CalcRefl& r, bool wantDer, CalcOut& out);
// Overflow-safe exponential: |x| < 88 -> exp(x), status 0; else 3.4e38 (status 1, x > 0)
// or 1.18e-38 (status 2).
double ExpTarn(double x, int& status);

}  // namespace tarn
