#pragma once
// The working picture of one phase for the distance tool (cell, the complete
// list of symmetry operators with centring, the atoms with their
// uncertainties) and the neighbour search over all atoms, operators and
// lattice translations.
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dist/dist_geom.hpp"
#include "model/structure.hpp"

namespace tarn {

// What a point of the search stands for.
enum DistKind : int { DoAtom = 0, DoPeakMax, DoPeakMin, DoCentre, DoLonePair };

// A constituent of a centre or lone pair: atom At (index into
// DistPhase::Atoms) moved by operator Op (index into DistPhase::Ops, part R)
// and lattice translation N, with weight W in the position. Atoms of
// molecules name a parameter triple instead (Key >= DistExtraKey, At unused):
// their position moves by R^T-weighted changes of it (R the Jacobian).
struct DistConstituent {
  int At = 0;
  Mat3 R{1, 0, 0, 0, 1, 0, 0, 0, 1};
  double W = 1.;
  int Op = 0;
  std::array<int, 3> N{};
  int Key = -1;
};

// Gradient keys from here on: parameter triples of molecules (DistPhase::Extra).
inline constexpr int DistExtraKey = 1 << 24;

// Three parameters of a molecule (angles or translation of a position,
// coordinates of a model atom) that atoms of molecules depend on.
struct DistParTriple {
  std::string Name;  // "<position> phi chi psi", "<position> tx ty tz", "<molecule>:<atom> x y z"
  Vec3 Su{};
  std::array<int, 3> Cov{-1, -1, -1};  // rows of the covariance matrix, -1 absent
};

struct DistAtom {
  int Index = 0;  // index into Structure::Model.Atom; -1 for the objects below
  int Kind = DoAtom;
  std::vector<DistConstituent> Of;  // centres and lone pairs: what their position follows
  int Part = 1;                     // composite part (subsystem), 1-based
  std::string Name;
  int Type = 1;          // atom-type number, 1-based
  std::string TypeName;  // its name ("C", "Ti4+")
  std::string Element;   // element symbol of the type ("" when not an element)
  int Charge = 0;        // charge of the type's name ("Ti4+" 4, "O2-" -2)
  Vec3 X{}, XSu{};       // fractional coordinates and their s.u.
  double Ai = 1.;        // occupancy parameter of M40 (relative to a general position)
  int SiteOrder = 1;     // operators (with centring) that leave the atom in place
  double Occ = 1.;       // chemical occupancy: Ai * SiteOrder
  bool Aniso = false;    // harmonic tensor given
  std::array<double, 6> Beta{}, BetaSu{};  // beta11 22 33 12 13 23 (aniso)
  double UIso = 0., UIsoSu = 0.;           // isotropic U, A^2
  int Split = 0;                           // split position it belongs to (1-based), 0 none
  // Peaks: the displacement wave kept with them (as FouPeak::Wave).
  std::vector<double> Wave;
  // Lone pairs: the bonds that fix the direction (At with Op, N) and the distance.
  std::vector<DistConstituent> Bonds;
  double LpDist = 0.;
  // Atoms of molecules: the molecule position (Structure::Model.Mol index,
  // position index), -1 for other atoms.
  int Mol = -1, MolPos = -1;
};

// One operator of the complete list: x' = R.x + T with T in [0, 1).
struct DistOp {
  Mat3 R{};
  Vec3 T{};
  int Op = 0;        // index of the operator in the phase's list
  int Centr = 0;     // index of the centring vector
  Vec3 Shift{};      // T - (s + centring vector): an integer vector
  std::string Text;  // "x+1/2,-y,z"
};

// A part (subsystem) of a composite in the reference basis. Superspace
// coordinates of the part are X_part = W X_ref; in its own basis the part is
// described in the standard way (modulation vectors Q, operators W R W^-1,
// W s), and its physical coordinates at section t of the reference are
//   x_ref = AInv x_part + PL t,  with t_part = Lambda t,
// A = Z + Z^d q (W = [[Z, Z^d], [V, V^d]]), q_part = (V + V^d q) A^-1,
// Lambda = V^d - q_part Z^d and PL the physical rows of W^-1 (internal
// columns) times Lambda.
struct DistPart {
  Mat3 A{1, 0, 0, 0, 1, 0, 0, 0, 1}, AInv{1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::array<double, 9> PL{};      // 3 x d, row-major
  std::array<double, 9> Lambda{};  // d x d
  std::array<Vec3, 3> Q{};         // modulation vectors of the part
  Mat3 GInv{};                     // reciprocal metric of the part
  std::vector<std::array<double, 36>> R;  // per operator of DistPhase::Ops: n x n in the part basis
  std::vector<std::array<double, 6>> S;   // and its translation (with centring)
};

struct CovMatrix;  // model/covariance.hpp

struct DistPhase {
  int Phase = 1;
  int NDimI = 0;
  DistCell Cell;
  Mat3 GInv{};
  std::vector<DistOp> Ops;  // the identity first
  std::vector<DistPart> Parts;  // composites with a W matrix: per part; empty otherwise
  std::array<double, 3> T0{};   // composites: the section of the static positions
  std::vector<DistAtom> Atoms;
  std::vector<int> FromModel;  // model atom index -> index into Atoms, -1 other phases
  int RoundRule = 1;           // rounding rule of values with uncertainties
  // The refinement's covariance matrix, when there is one: uncertainties are
  // then propagated through it.
  std::shared_ptr<const CovMatrix> Cov;
  std::string CovNote;  // why a covariance matrix was not used; empty when used or absent
  // Rows of the matrix, -1 when absent: x y z of each atom (parallel to
  // Atoms) and the six cell parameters (DistIndexCov).
  std::vector<std::array<int, 3>> CovAtom;
  std::array<int, 6> CovCell{-1, -1, -1, -1, -1, -1};
  // Parameter triples of molecules (gradient keys DistExtraKey + index).
  std::vector<DistParTriple> Extra;
};

// Key of atom i (index into DistPhase::Atoms) in the derivatives of DistGrad:
// the model index of an atom, -1 - i for the objects (peaks, centres, lone
// pairs), whose derivatives are passed on to their constituents by DistSu.
int DistGradKey(const DistPhase& ph, int i);
// The derivatives with those of the objects passed on to their atoms.
DistGrad DistExpandGrad(const DistPhase& ph, const DistGrad& g);

// Builds the picture of phase `phase` (1-based) of s: its atoms, then the
// atoms of its molecules, every model atom in every molecule position
// (DistAddMolecules). Returns 1 after a message when the phase has no usable cell.
[[nodiscard]] int DistMakePhase(const Structure& s, int phase, DistPhase& ph);

// Appends the atoms of the phase's molecules: model atom x_m of a molecule
// with reference point c0 in a position with rotation R (Cartesian, of its
// angles) and translation t lies at x = c0 + t + M^-1 R M (x_m - c0), M the
// orthogonalisation matrix; its occupancy is ai(position) ai(model atom). The
// derivatives by the angles, the translation and the model atom's coordinates
// pass on to parameter triples (DistPhase::Extra).
void DistAddMolecules(const Structure& s, DistPhase& ph);

// A neighbour: atom Atom moved by operator Op and translation N.
struct DistNeighbour {
  int Atom = 0;  // index into DistPhase::Atoms
  int Op = 0;    // index into DistPhase::Ops
  std::array<int, 3> N{};
  Vec3 X{};  // its position
  double D = 0.;
  double DSu = 0.;
  bool LowOcc = false;  // an atom's occupancy below occind: marked "*"
  DistGrad Grad;        // derivatives of the distance
  double RefAngle = -1., RefAngleSu = 0.;  // angle of the bond to "dirref" (degrees), -1 none
};

// Composites: the part of an atom (nullptr when the phase has no parts), and
// the matrix that takes the atom's coordinates to the reference position of
// its image by operator op (AInv R of the part; R itself without parts).
const DistPart* DistPartOf(const DistPhase& ph, int atom);
Mat3 DistPartR(const DistPhase& ph, int atom, int op);

// The point of a neighbour (or of an atom itself) for the geometry routines.
// Appends the neighbour at x (image of atom b by operator io and lattice
// translation n) with its distance from pa, unless an entry from `first` on
// already sits there.
void DistPushNeighbour(const DistPhase& ph, const DistPoint& pa, int b, int io,
                       const std::array<int, 3>& n, const Vec3& x, size_t first,
                       std::vector<DistNeighbour>& out);
DistPoint DistPointOf(const DistPhase& ph, const DistNeighbour& n);
DistPoint DistPointOf(const DistPhase& ph, int atom);

// Every image of every atom b (for which accept(b) holds) within
// dmin <= d <= dmax(b) of atom a, sorted by distance; images of one atom
// that coincide (an atom on a special position) are listed once, and the
// atom itself at zero distance is left out. dmaxAll bounds every dmax(b).
std::vector<DistNeighbour> DistAround(const DistPhase& ph, int a, double dmin, double dmaxAll,
                                      const std::function<double(int)>& dmax,
                                      const std::function<bool(int)>& accept);

// Symmetry code of a neighbour: "." for the atom itself, else
// "<operator>_<5+n1><5+n2><5+n3>" with the 1-based number of the operator in
// the complete list (or "<operator>_n1_n2_n3" when a translation exceeds 4).
std::string DistSymmCode(const DistNeighbour& n);
// The atom's name with its symmetry part "name#s<op>[c<centring>][t<n1>,<n2>,<n3>]"
// (the bare name for the atom itself).
std::string DistNameWithSymm(const DistPhase& ph, const DistNeighbour& n);
// Reads "name[#s<op>[c<centring>][t<n1>,<n2>,<n3>]]" into a neighbour record
// (position, operator, translation; distance fields unset). False when the
// atom or the symmetry part is unknown.
bool DistParseAtom(const DistPhase& ph, std::string_view text, DistNeighbour& out);

// Uncertainty of a quantity with derivatives g: through the covariance
// matrix when the phase has one, else independent coordinate and cell
// uncertainties combined in quadrature.
double DistSu(const DistPhase& ph, const DistGrad& g);

}  // namespace tarn
