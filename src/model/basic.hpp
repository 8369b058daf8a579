#pragma once
// Basic data of the structure (what M50 holds): phases with cell, superspace
// dimension, modulation vectors, symmetry and composition; data blocks with
// their radiation. One program-wide instance, `Basic`.
//
// The M50 reader/writer (model/m50.hpp) fills this struct; SetBasicM50 derives
// the working quantities (metric tensors, centring, composition sums). Other
// readers (M40, M95/M90) use the fields listed here.
//
// Optional scalars are std::optional: an absent value is not written back, so
// a file read and written again keeps exactly the records it had.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "symmetry/symm.hpp"
#include "util/error.hpp"

namespace tarn {

using Vec3 = std::array<double, 3>;

// One atom type of a phase: the sub-records that follow its "atom" record.
struct AtomTypeBasic {
  std::optional<double> AtRadius;    // atomic radius, Angstrom
  std::optional<double> FNeutron;    // neutron scattering length, fm
  std::optional<double> FNeutronIm;  // its imaginary part, fm
  std::vector<double> FFBasic;       // X-ray form factor: 9 Gaussian coefficients
                                     // a1 b1 .. a4 b4 c, or a table (see FormTab)
  std::vector<double> FFCore;        // core-density form factor, same layout
  std::vector<double> FFVal;         // valence-density form factor, same layout
  std::vector<int> NSlater;          // Slater exponents n(l), l = 0, 1, ...
  std::vector<double> DzSlater;      // s.u.s of the Slater zeta values, 1/bohr
  std::vector<double> ZSlater;       // Slater zeta values, 1/bohr
  std::string Color;                 // colour name for drawings
  std::vector<double> FPrime;        // f' (electrons), one per data block
  std::vector<double> FDoublePrime;  // f" (electrons), one per data block
  std::optional<int> FFMagType;      // leading integer of "FFMag" (0 when absent)
  std::vector<double> FFMag;         // magnetic: <j0> A a B b C c D, then 2 reserved
  std::optional<double> AtWeight;    // atomic weight, g/mol
  std::optional<double> Formula;     // atoms of this type per formula unit
  std::optional<int> FFFree;         // 1: the form factor is user-given, not from tables
  std::optional<double> DMax;        // largest bond distance of this type, Angstrom
  std::optional<int> FormTab;        // table kind of FFBasic (see FormTab* codes)
  std::string WFFile;                // wave-function file name
  std::string StoFunction;           // Slater-type orbital description, text
  std::vector<double> FFEl;          // electron form factor a1 b1 .. a5 b5 (A, A^2)
  std::optional<int> UseMottForm;    // 1: electron factors from the Mott-Bethe formula
  std::optional<int> UseTscFile;     // 1: form factors from a ".tsc" file
};

// Codes of "formtab" (phase default and per atom type).
enum FormTabCode : int {
  FormTabGauss = 1,  // FFBasic holds the 9 Gaussian coefficients
  FormTabTable = 2,  // FFBasic holds values at sin(th)/lambda = 0, 0.05, 0.10, ...
  FormTabUser = -1,  // user-given factors, never replaced from the tables
};

// Magnetic form-factor records of one atom type ("atmag", "atmagj", "addmagJ2/4/6").
struct AtMagBasic {
  std::string AtName;      // atom-type name the records refer to
  std::string Ion;         // magnetic ion symbol ("atmag"), e.g. "Fe3"
  std::vector<double> J0;  // <j0> coefficients A a B b C c D ("atmagj")
  std::vector<double> J2;  // <j2> coefficients ("addmagJ2")
  std::vector<double> J4;  // <j4> coefficients ("addmagJ4")
  std::vector<double> J6;  // <j6> coefficients ("addmagJ6")
};

// A typical distance between two atom types ("typdist").
struct TypDistBasic {
  std::string AtA, AtB;  // atom-type names
  double Dist = 0.;      // Angstrom
};

struct PhaseBasic {
  std::string Name;                        // phase name, up to 8 characters
  double Cell[6] = {1, 1, 1, 90, 90, 90};  // a, b, c (Angstrom), alpha, beta, gamma (deg)
  double CellSU[6] = {0, 0, 0, 0, 0, 0};   // standard uncertainties of Cell, same units
  int NDim = 3;                            // 3 + number of modulation vectors
  int NComp = 1;                           // number of composite parts (subsystems)
  bool Magnetic = false;                   // time-inversion signs present
  std::vector<std::string> AtType;         // atom-type names, 1-based in files
  std::vector<AtomTypeBasic> AtTypeData;   // parallel to AtType

  std::vector<Vec3> Qi;                      // "qi": NDim-3 modulation vectors, r.l.u.
  std::vector<Vec3> Qr;                      // "qr": NDim-3 vectors, r.l.u.
  std::vector<std::vector<double>> WMatrix;  // per composite part: NDim x NDim, row-major
  std::vector<int> Commen;                   // commensurate supercell multiplicities
  std::vector<double> TZero;          // t0 sections of a commensurate structure, NDim-3 reals
  bool Centro = false;                // listed operators are half: each (R,t) has (-R,-t)
  std::vector<std::string> SymmText;  // listed operators, canonical text, one per record
                                      // (NDim words and, magnetic, "m" or "-m")
  std::string Lattice = "P";          // centring symbol, upper case, up to 4 characters
  std::vector<std::vector<double>> LattVec;  // "lattvec": NDim reals each
  std::string SpGroup;                       // group symbol, up to 80 characters ("" unknown)
  int SpGroupNumber = 0;                     // group number
  int SpGroupCode = 0;                       // optional further code (0 when absent or unknown)
  int SpGroupCode10 = 0;                     // SpGroupCode / 10 (integer division)
  int UnitsNumb = 1;                         // formula units per cell
  std::vector<double> SgShift;               // origin shift of the group setting, NDim reals
  std::optional<int> FormTab;                // default table kind of the atom types (FormTabCode)
  std::vector<double> Densities;             // measured densities, g/cm^3
  std::vector<std::string> LocalSymm;        // local symmetry operators, text
  std::string ChemForm;                      // chemical formula as given
  std::vector<std::string> AtList;           // atom-type names in the order of the composition
  std::vector<AtMagBasic> AtMag;             // magnetic form factors by atom-type name
  std::vector<Vec3> QMag;                    // magnetic propagation vectors, r.l.u.
  std::string ParentStr;                     // parent-structure file name
  std::vector<double> ParentMat;      // parent-to-this transformation: 9 (3x3) or 12 (+shift)
  std::vector<TypDistBasic> TypDist;  // typical distances
  std::optional<int> XyzMode;         // coordinate mode of the editors

  // ---- derived by SetBasicM50 -------------------------------------------
  int NDimI = 0;              // NDim - 3
  double MetTens[9] = {};     // real metric tensor G, 3x3 row-major, Angstrom^2
  double MetTensI[9] = {};    // reciprocal metric tensor G* = G^-1, Angstrom^-2
  double CellR[6] = {};       // reciprocal cell a*, b*, c* (1/Angstrom), angles (deg)
  double CellVol = 0.;        // cell volume, Angstrom^3
  PhaseSymmetry Symmetry;     // complete operators and centring vectors (VT6)
  double FormulaAtoms = 0.;   // atoms per formula unit (sum of "formula")
  double FormulaWeight = 0.;  // g/mol per formula unit (sum formula x atweight)
  double Density = 0.;        // calculated density, g/cm^3 (0 when weights are missing)
  std::string FormulaText;    // built by SetFormula from the composition
};

struct DatBlockBasic {
  std::string Name;                   // data-block name, up to 80 characters (from M90/M95)
  int Radiation = 1;                  // 1 X-ray, 2 neutron, 3 electron ("radtype")
  double Lambda = 0.;                 // wavelength, Angstrom
  double KAlpha1 = 0.;                // alpha1 wavelength, Angstrom (set with Lambda)
  double KAlpha2 = 0.;                // alpha2 wavelength, Angstrom (set with Lambda)
  std::optional<double> KAlphaR;      // intensity ratio alpha2/alpha1
  std::optional<int> LpFactor;        // Lorentz-polarisation correction code
  std::optional<int> NAlpha;          // 1 or 2 wavelength components
  std::optional<double> MonAngle;     // monochromator angle, deg
  std::optional<double> PerfMono;     // perfectness of the monochromator crystal, 0..1
  std::optional<double> AlphaGMono;   // monochromator glancing angle alpha, deg
  std::optional<double> BetaGMono;    // monochromator glancing angle beta, deg
  std::vector<double> SLimits;        // sin(th)/lambda min, max, 1/Angstrom
  std::vector<double> FLimits;        // F min, max
  std::optional<int> Powder;          // 1 powder data
  std::optional<int> NoOfRef;         // number of reflections
  std::optional<double> DatCollTemp;  // data-collection temperature, K
};

struct BasicData {
  std::vector<PhaseBasic> Phase;        // at least one once M50 has been read
  std::vector<DatBlockBasic> DatBlock;  // at least one once M50 has been read

  std::string Title;                      // "title": structure title
  std::vector<std::vector<double>> Twin;  // per twin domain: 3x3 matrix, row-major
  std::vector<int> PhaseTwin;             // phase of each twin domain, 1-based
  std::optional<int> RefOfAnom;           // 1: anomalous scattering used in refinement
  std::string WaveFile;                   // wavelength (spectrum) file name
  std::optional<int> RoundMethod;         // rounding of values in listings

  // Everything after the "end" line and the separator of M50: the command
  // blocks, verbatim, lines ended by "\n".
  std::string CommandText;
};

// Derives the working quantities of every phase of b: metric tensors, volume,
// reciprocal cell, the complete symmetry (operators of SymmText, centring of
// Lattice and LattVec, closed into a group, expanded by the centre of
// symmetry), composition sums, formula text. Returns 0 or 1 after reporting
// the fault.
// A failure of the symmetry routines is kept in symmErr when given.
[[nodiscard]] int SetBasicM50(BasicData& b, ErrorRecord* symmErr = nullptr);

// Builds the formula text of a phase from its atom types and their "formula"
// counts, e.g. "C6 H12 O6"; counts of 1 are left out.
void SetFormula(PhaseBasic& p);

// Centring vectors of a lattice symbol in NDim dimensions (first is zero);
// "X" and "P" give only the zero vector. Empty when the symbol is unknown.
std::vector<std::vector<double>> LatticeCentring(const std::string& symbol, int ndim);

}  // namespace tarn
