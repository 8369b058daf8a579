#pragma once
// The refinable atom model (what M40 holds): per data block the scales,
// extinction parameters and twin volume fractions; per phase the option
// records, the atoms and the molecules (rigid groups) with their positions.
// One program-wide instance, `Model`.
//
// Every refinable value is stored in a parameter list together with its
// refinement key (one digit, 0 = fixed, 1 = refined, other digits are kept for
// constraint groups) and its standard uncertainty. The order of the values
// inside an atom's list is the order in which they stand in M40; the offsets of
// the blocks follow from the atom's attributes (`AtomLayout`).
#include <array>
#include <string>
#include <vector>

namespace tarn {

inline constexpr int NParKinds = 8;          // parameter kinds kept per atom (flags, wave counts)
inline constexpr int MaxAdpOrder = 6;        // highest displacement-tensor order
inline constexpr int NMolKinds = 6;          // molecule-position kinds: occ, trans, rot, T, L, S
inline constexpr int MaxComp = 9;            // composite parts of one phase
inline constexpr double UnsetReal = -3333.;  // a real that is not set

// Modulation-function type of an atom (the tens t of the second attribute).
enum FunTypes : int { FunHarm = 0, FunOrtho = 1, FunLegendre = 2, FunXHarm = 3, NFunTypes = 4 };

// Extinction model of a data block.
enum ExtTypes : int { ExtNone = 0, ExtIso = 1, ExtAniso = 2, ExtShelx = 3 };

// Number of independent components of a symmetric tensor of order n in three
// dimensions: (n+1)(n+2)/2 (6, 10, 15, 21, 28 for n = 2 .. 6).
constexpr int TensorComps(int n) {
  return (n + 1) * (n + 2) / 2;
}

// Values, refinement keys and standard uncertainties of one list of parameters.
struct ParList {
  std::vector<double> Val;  // values in the units of the quantity
  std::vector<int> Key;     // refinement key per value, 0..9
  std::vector<double> Sig;  // standard uncertainty per value, same unit
  int size() const { return static_cast<int>(Val.size()); }
  // Resizes all three arrays; new entries are value 0, key 0, s.u. 0.
  void resize(int n) {
    Val.resize(n, 0.);
    Key.resize(n, 0);
    Sig.resize(n, 0.);
  }
  bool operator==(const ParList&) const = default;
};

// Attributes of an atom that fix the layout of its values.
struct AtomShape {
  int AdpOrder = 2;  // d: 1 isotropic, 2 harmonic tensor, 3..6 with anharmonic tensors
  int MagPar = 0;    // 0 non-magnetic; m > 0 magnetic moment with m-1 moment waves
  std::array<int, NParKinds>
      Flag{};  // one-digit flag per kind (kind 1: 1 crenel; kind 2: 1 sawtooth)
  std::array<int, NParKinds> NWave{};  // modulation waves per kind (kind k: index k-1)
  bool operator==(const AtomShape&) const = default;
};

// Blocks of an atom's value list, in file order.
enum AtBlock : int {
  BlkOcc = 0,   // occupancy ai                         1
  BlkPos,       // x, y, z (fractional)                 3
  BlkAdp,       // beta11 22 33 12 13 23, or Uiso first 6
  BlkAnh3,      // third-order tensor                  10
  BlkAnh4,      // fourth-order                        15
  BlkAnh5,      // fifth-order                         21
  BlkAnh6,      // sixth-order                         28
  BlkMag,       // magnetic moment M1, M2, M3           3
  BlkCrenel,    // crenel x40, Delta (kind-1 flag 1)    2
  BlkOccWave,   // per wave sin, cos                    2 each
  BlkSaw,       // sawtooth ux, uy, uz, x40, Delta      5
  BlkPosWave,   // per wave sin x y z, cos x y z        6 each
  BlkAdpWave,   // per wave sin(6), cos(6) (2 if isotropic)
  BlkAnh3Wave,  // per wave sin(10), cos(10)
  BlkAnh4Wave,
  BlkAnh5Wave,
  BlkAnh6Wave,
  BlkMagWave,  // per wave sin M1 M2 M3, cos M1 M2 M3  6 each
  NAtBlocks
};

struct AtomLayoutInfo {
  std::array<int, NAtBlocks> Off{};   // offset of each block in the value list
  std::array<int, NAtBlocks> Len{};   // length of each block (0 when absent)
  std::array<int, NAtBlocks> Item{};  // length of one list of the block (wave size, or Len)
  int NPar = 0;                       // total number of values
};
// Offsets and lengths of the blocks for the given attributes.
AtomLayoutInfo AtomLayout(const AtomShape& s);

struct AtomRec {
  std::string Name;      // up to 8 characters, no blanks
  int Phase = 1;         // 1-based phase index
  int Part = 1;          // 1-based composite part of the phase
  int Type = 1;          // atom-type number, 1 .. number of atom types of the phase
  int FunType = 0;       // t: FunTypes; >0 writes a function line
  bool TwoAttr = false;  // atom line in the two-attribute form (third attribute 0)
  AtomShape Shape;
  ParList Par;  // values in file order (AtomLayout(Shape))
  // Function line (present when FunType > 0): the interval on which the
  // orthogonal function set is built, centre x40 and width Delta (internal
  // coordinate, fraction of the period). One key covers both values.
  double FunVal[2] = {0., 0.};
  double FunSig[2] = {0., 0.};
  int FunKey = 0;
  bool FunHasWidth = true;  // false: the width is the atom's crenel width (blank field)
  bool operator==(const AtomRec&) const = default;
};

// Molecule position kinds: occupancy, translation, rotation, T, L, S.
struct MolShape {
  bool TLS = false;
  std::array<int, NMolKinds> Flag{};  // kind 1: 1 crenel
  std::array<int, NMolKinds> NWave{};
  bool operator==(const MolShape&) const = default;
};

enum MolBlock : int {
  MBlkBase = 0,  // ai, phi, chi, psi (deg), tx, ty, tz      7
  MBlkT,         // TLS tensor T (6), L (6), S (9)
  MBlkL,
  MBlkS,
  MBlkCrenel,     // x40, Delta                                2
  MBlkOccWave,    // sin, cos                                  2 each
  MBlkTransWave,  // 6 each
  MBlkRotWave,    // 6 each
  MBlkTWave,      // 12 each
  MBlkLWave,      // 12 each
  MBlkSWave,      // 18 each
  NMolBlocks
};
struct MolLayoutInfo {
  std::array<int, NMolBlocks> Off{}, Len{}, Item{};
  int NPar = 0;
};
MolLayoutInfo MolLayout(const MolShape& s);

struct MolPosRec {
  std::string Name;  // position name, up to 8 characters
  ParList Par;       // MolLayout(shape of the molecule)
  bool operator==(const MolPosRec&) const = default;
};

struct MoleculeRec {
  std::string Name;  // up to 8 characters
  int Phase = 1;
  int Part = 1;
  int RefType = 0;  // 0 explicit reference point, 1 centre of gravity of the model atoms
  int RotType = 0;  // 0 Euler angles z-x-z, 1 angles about x, y, z
  MolShape Shape;
  ParList Ref;                 // reference point x, y, z (fractional), 3 values
  std::vector<AtomRec> Atoms;  // model atoms, coordinates in the molecule frame
  std::vector<MolPosRec> Pos;  // positions (copies) of the molecule
  bool operator==(const MoleculeRec&) const = default;
};

// Per data block: scales, extinction and twin volume fractions.
struct DatBlockModel {
  int ExtType = ExtNone;  // ExtTypes
  int ExtKind = 1;        // 1 type I, 2 type II, 3 general
  int ExtDistr = 1;       // 1 Gaussian, 2 Lorentzian mosaic
  ParList Scale;          // overall scales (first is the main scale)
  ParList Ext;            // iso: radius (um), mosaic g; aniso: 2 x 6 tensor terms; SHELX: x
  ParList Twin;           // volume fractions of the twin domains
  ParList Lam;            // lambda/2 and lambda/3 contamination coefficients (none or 2 values)
};
// Number of extinction values for a type (0, 2, 12, 1).
int ExtParCount(int extType);

// Option keywords of M40 (12-character table, in this order).
inline constexpr std::array<const char*, 12> M40OptionKeys = {
    "maxsc",   "ortho",   "wave",     "polynom", "polar",   "xyzmode",
    "magmode", "atsplit", "molsplit", "atgroup", "atplane", "atcenter"};
struct M40Option {
  int Index = 0;                   // 0-based index into M40OptionKeys
  std::vector<std::string> Words;  // values, as words
};

struct PhaseModel {
  int NComp = 1;               // composite parts
  std::vector<M40Option> Opt;  // option records of the phase
  // Derived by SetBasicM40 (also written in the head record):
  std::array<int, MaxComp> NAtPart{};   // atoms per part
  std::array<int, MaxComp> NMolPart{};  // molecules per part
  int MaxWaves = 0;                     // largest wave count of an atom or molecule of the phase
  int NPar = 0;                         // refinable values of the phase
  double NParR = 0.;                    // the same, kept as a real
};

struct AtomModel {
  bool HasCommands = false;
  std::vector<std::string> Commands;  // lines between "commands" and "end", verbatim
  std::vector<PhaseModel> Phase;      // one per phase of M50
  std::vector<DatBlockModel> DatBlock;
  std::vector<AtomRec> Atom;     // ordered by phase, then part
  std::vector<MoleculeRec> Mol;  // ordered by phase, then part
};

// Sizes the atom array to n default atoms (DefaultAtom).
void AllocateAtoms(int n);
// Grows the atom array to at least n atoms, keeping the atoms already stored.
void ReallocateAtoms(int n);
// Changes the attributes of an atom to `shape`, moving each block of values
// (with keys and s.u.) to its new place; blocks or waves that are new get
// zeros, blocks that disappear are dropped.
void ReallocateAtomParams(AtomRec& at, const AtomShape& shape);
void ReallocateAtomParams(int i,
                          const AtomShape& shape);  // Struct.Model.Atom[i] of the open structure
// The same for the positions of a molecule.
void ReallocateMolParams(MoleculeRec& m, const MolShape& shape);

// A fresh atom with the default layout (occupancy 1, key 0).
AtomRec DefaultAtom();

// SetBasicM40: derived counts of the model after reading or editing.
// Completes the model after reading or editing: sizes value lists to their
// layouts, grows the phase and data-block lists to those of the basic data,
// and derives the per-phase counts.
void SetBasicM40(AtomModel& m);
void SetBasicM40();

}  // namespace tarn
