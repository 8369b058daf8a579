#pragma once
// Parameter constraints of a refinement run: the list of all refinable
// parameters of the model with owners and labels, the linear equations that
// make some of them dependent (site symmetry, user equations, restrictions,
// keep commands), fixed commands, and the mapping between the full parameter
// vector and the compressed vector of refined parameters.
//
// Everything lives in one `RefParams` owned by the refinement run; the model
// (`Model`, `Basic`) is read when the list is built and written back by
// RefStoreParams.
//
// Parameter order of the full vector: per atom its value list in file order
// (AtomLayout), per molecule position its value list (MolLayout), per data
// block the scales, extinction values and twin fractions, per phase the six
// cell parameters a, b, c (Angstrom), alpha, beta, gamma (deg).
//
// Equations: Dep = Const + sum Coef[i] * Val[Ind[i]]. A parameter is refined
// when its key is neither 0 nor -2 and it is not dependent. The derivative of
// a dependent parameter is folded into its independent ones (RefDerCompress);
// shifts go back through the transpose (refderuncompress); after the shifts
// RefAppEq recomputes the dependent values.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "symmetry/site.hpp"

namespace tarn {

struct RefFixed;
struct RefEquation;
struct RefRestric;
struct RefKeep;
struct RefSettings;

// ---------------------------------------------------------------- tolerances
constexpr double kTolEqFulfilled = 1.0e-5;      // |dep - rhs| accepted at the start (relative
                                                // to max(1, |dep|))
constexpr double kTolEqCoef = 1.0e-10;          // smaller coefficients of expanded equations vanish
constexpr double kTolHydroDegenerate = 1.0e-6;  // length below which a direction is undefined

enum RefOwnerKind : int { OwnAtom = 0, OwnMolPos, OwnDatBlock, OwnPhase };
// Groups of a data block's values.
enum RefDatGroup : int { DatScale = 0, DatExt, DatTwin, DatLam };

struct RefParInfo {
  int Kind = OwnAtom;     // RefOwnerKind
  int Owner = 0;          // atom, molecule, data-block or phase index (0-based)
  int Sub = 0;            // molecule position index, or RefDatGroup
  int Local = 0;          // index within the owner's value list (group)
  int Block = 0;          // AtBlock of an atom value, MolBlock of a molecule value
  std::string Name;       // parameter name: "x", "U11", "sc1", "alpha"
  std::string OwnerName;  // atom, position, data-block or phase name ("" when unique)
  std::string Label;      // "x[C1]", "U11[Na1]", "sc1"
};

enum RefPopvMode : int { PopvOff = 0, PopvEquation, PopvRestrain };
enum RefEqSource : int { EqUser = 0, EqAdhoc, EqSymm, EqRestric, EqKeepPos, EqKeepAdp, EqKeepGeom };

// One linear equation over the full parameter vector.
struct RefEq {
  int Source = EqUser;  // RefEqSource
  int Dep = -1;         // dependent parameter
  double Const = 0.;    // constant term, unit of the dependent parameter
  std::vector<int> Ind;
  std::vector<double> Coef;
  std::string Text;  // as listed
};

// A hydrogen group of a "keep hydro" command, resolved to atom indices.
struct RefHydro {
  int Keep = 0;                        // index in the keep commands
  int Sub = 0;                         // RefKeepSub of the command (tetrahed, triang, apical)
  int Central = -1;                    // central atom
  std::vector<int> Neigh;              // neighbour atoms
  std::vector<std::string> NeighSymm;  // symmetry part of each neighbour ("" none)
  std::vector<int> H;                  // hydrogen atoms
  double Dist = 0.;                    // X-H distance, Angstrom
};

// A free direction of the origin in one phase (polar axis or x4).
struct RefOriginDir {
  int Phase = 0;                 // 0-based phase
  bool X4 = false;               // internal (x4) direction instead of a polar axis
  std::array<double, 3> Dir{};   // polar direction, fractional (component of the pivot = 1)
  std::array<double, 3> Dual{};  // u with u.Dir = 1, u.Dir' = 0 for the other directions
  int Pivot = 0;                 // coordinate that fixes the direction (0 x, 1 y, 2 z)
  bool UserFixed = false;        // fixed by a "fixed pol" / "fixed x4" command
  bool Active = false;           // the default condition is applied
  double Ref = 0.;               // weighted centroid u.x at the start, fractional
  std::vector<double> Row;       // condition row over the refined vector (NRef)
};

// A "keep geom" group (plane, rigid, rigidmod), resolved to parameters. The
// dependent coordinates follow equations linearised at the current geometry;
// refkeepgrigidupdate re-idealises the group exactly from its independent
// coordinates and relinearises the equations (docs/refinement.md).
struct RefGeomDep {
  int Member = 0;  // index in RefRigid::Atom
  int Comp = 0;    // coordinate 0 x, 1 y, 2 z
  int Slot = -1;   // -1 basic position; else position-wave amplitude slot (2 w + 0 sin, 1 cos)
  int Eq = -1;     // its equation in RefParams::Eq
};
struct RefRigid {
  int Keep = 0;                             // index in the keep commands
  int Sub = 0;                              // KeepPlane, KeepRigid, KeepRigidMod
  std::vector<int> Atom;                    // member atoms
  std::vector<std::array<double, 3>> Body;  // rigid: Cartesian positions about the centroid
                                            // at the start, Angstrom
  std::array<double, 9> Rot{1, 0, 0, 0, 1, 0, 0, 0, 1};  // rigid: orientation of the body now
  std::array<double, 3> Centre{};                        // rigid: centroid now, Cartesian Angstrom
  std::vector<std::array<int, 2>> Sel;  // rigid: independent (member, coordinate) pairs
  std::array<int, 3> PlaneRef{};        // plane: members that define the plane
  std::vector<int> PlaneComp;           // plane: dependent coordinate per member (-1 none)
  std::vector<RefGeomDep> Dep;          // dependent values with their equations
};

struct RefParams {
  // ---- the full vector
  std::vector<RefParInfo> Info;
  std::vector<double> Val;                   // current values
  std::vector<double> Sig;                   // standard uncertainties
  std::vector<int> Key;                      // working refinement keys (0, -2 not refined)
  std::vector<int> AtomBase;                 // first parameter of each atom
  std::vector<std::vector<int>> MolPosBase;  // per molecule, per position
  std::vector<std::array<int, 4>> DatBase;   // per data block: scale, ext, twin, lambda/n
  std::vector<int> PhaseBase;                // per phase: a (then b c alpha beta gamma)
  // ---- constraints
  SpecEquations SiteEq;              // site-symmetry equations (RefSpecAt)
  std::vector<RefEq> Eq;             // equations in the order they were set
  std::vector<RefEq> Exp;            // accepted equations expanded over independent parameters
  std::vector<int> ExpSrc;           // index in Eq of each Exp entry
  std::vector<int> DepOf;            // per parameter: its Exp entry, -1 when independent
  std::vector<int> Map;              // per parameter: refined index, -1 when not refined
  std::vector<int> Refined;          // refined index -> parameter
  int NRef = 0;                      // number of refined parameters
  long long NMatrix = 0;             // packed normal-matrix size NRef (NRef + 1) / 2
  bool KeepSet = false;              // keep equations already added
  std::vector<RefHydro> Hydro;       // hydrogen groups placed by RefSetKeep
  std::vector<RefOriginDir> Origin;  // free origin directions (reffixoriginreset)
  std::vector<RefRigid> Rigid;       // keep geom groups (refkeepgrigidsetki)
  std::vector<int> Popv;             // valence-population parameters (RefPopv)
  std::vector<double> PopvWeight;    // per Popv entry: its weight in the sum (multiplicity)
  double PopvSum = 0.;               // the weighted sum kept, electrons
  int PopvMode = 0;                  // RefPopvMode
  bool PopvRenorm = false;           // renormalise the populations after each solution
  // ---- listing lines written by the preparation, in order
  std::vector<std::string> Listing;
  int NWarnings = 0;
  int size() const { return static_cast<int>(Val.size()); }
  bool Refines(int i) const { return Map[static_cast<size_t>(i)] >= 0; }
};

// Builds the full list (values, keys, s.u., labels) from Model and Basic.
void RefBuildParams(RefParams& p);
// Writes values and s.u. back into Model and Basic.
void RefStoreParams(const RefParams& p);
// Index of parameter `par` of `owner` (atom, molecule position, data block or
// phase; empty: the first data block or phase), -1 when absent. Case ignored.
int RefParIndex(const RefParams& p, std::string_view par, std::string_view owner);

// SetKeys: switches on the refinement keys of the parameters refined by default.
// Switches on the keys of the parameters refined by default (docs/refinement.md).
void SetKeys(RefParams& p);
// RefSpecAt: site-symmetry equations of the atoms.
// Site-symmetry equations of every atom of every phase into p.SiteEq; 1 when
// the analysis failed (message shown).
[[nodiscard]] int RefSpecAt(RefParams& p);
// SetSpec: turns the site-symmetry equations into equations of the run.
// Turns p.SiteEq into equations over the full vector.
void SetSpec(RefParams& p);
// SetEq: the user equations of the run.
// User equations ("equation") and ad-hoc equations ("eqadhoc") of the list.
void SetEq(RefParams& p, const std::vector<RefEquation>& eqs);
// RefSetEqAdhoc: the ad-hoc equations of the run.
void RefSetEqAdhoc(RefParams& p, const std::vector<RefEquation>& eqs);
// SetRes: the equations of the restrictions ("restric").
// Restrictions ("restric").
void SetRes(RefParams& p, const std::vector<RefRestric>& restric);
// RefSetKeep: the equations and hydrogen placement of the keep commands.
// Keep commands: riding equations on the first call (the list is read then
// only), placement of the hydrogen atoms on every call (RefPlaceHydrogens).
void RefSetKeep(RefParams& p, const std::vector<RefKeep>& keep);
// Places the hydrogens of every group of p.Hydro and lets the riding
// equations carry the new offsets.
void RefPlaceHydrogens(RefParams& p);
// SetFixed: switches off the parameters of the fixed commands.
// Fixed commands for data block `datBlock` (0-based).
void SetFixed(RefParams& p, const std::vector<RefFixed>& fixed, int datBlock);
// RefSetMatrixLimits: expands the equations and builds the list of refined parameters.
// Accepts and expands the equations, builds the refined list; checks that
// the current values fulfil the equations (changing them with a listing line).
void RefSetMatrixLimits(RefParams& p);
// RefPrelimConstr: the constraint steps of the run's preparation.
// The constraint steps of the preparation in their order; 1 on a fatal fault.
[[nodiscard]] int RefPrelimConstr(RefParams& p, const RefSettings& s);

// RefDerCompress: folds the derivatives of dependent parameters into the refined ones.
// der (size()) -> derc (NRef): derivative of each dependent parameter times
// its coefficient added to those of the refined parameters it depends on.
void RefDerCompress(const RefParams& p, const double* der, double* derc);
// refderuncompress: spreads the shifts of the refined parameters over all parameters.
// The transpose: shifts of the refined parameters (NRef) -> shifts of all
// parameters (size()), dependent ones included, fixed ones zero.
void refderuncompress(const RefParams& p, const double* sc, double* s);
// RefAppEq: applies the equations: recomputes the dependent values.
// Recomputes the dependent values from their equations (ad-hoc ones excluded),
// then the hydrogen positions of the keep commands.
void RefAppEq(RefParams& p);
// refappeqadhoc: applies the ad-hoc equations.
void refappeqadhoc(RefParams& p);

// ---- origin of polar groups
// Basis of the directions v with R v = v for every operator (3 x 3 part):
// the directions along which the origin is free. Empty for groups with an
// inversion centre. Each vector has 1 at its pivot coordinate and 0 at the
// pivots of the others (reduced echelon form).
std::vector<std::array<double, 3>> PolarAxis(const PhaseSymmetry& ps);
// Number of free internal directions: vectors w of the internal space with
// R_I w = w for every operator; 0 for NDim = 3.
int PolarX4Axis(const PhaseSymmetry& ps);
// reffixoriginreset: finds the free origin directions of polar groups.
// Finds the free directions of every phase, stores the reference centroids.
void reffixoriginreset(RefParams& p);
// RefFixOriginCommand: fixes the origin by a "fixed pol" or "fixed x4" command.
// "fixed pol" / "fixed x4" command: the pivot coordinate (or the first
// position-wave amplitude) of the named atom is switched off.
void RefFixOriginCommand(RefParams& p, const RefFixed& f);
// RefFixOrigin: the default condition on the free origin directions.
// After RefSetMatrixLimits: every free direction not fixed by a command and
// still free in the refined set gets the default condition (weighted sum of
// the shifts along it is zero); listing lines for the default and for x4.
void RefFixOrigin(RefParams& p);
// reffixoriginsuma: adds the origin conditions to the normal matrix.
// Adds lambda * g g^T of every active condition to the packed normal matrix
// am (lower triangle by rows: element (i, j), j <= i, at i (i + 1) / 2 + j;
// NRef rows). lambda makes the added diagonal as large as the largest
// diagonal element of am.
void reffixoriginsuma(const RefParams& p, double* am);
// reffixoriginrenorm: moves the atoms back to the reference centroid along free directions.
// Shifts all atoms of a phase along each active direction so that the
// weighted centroid returns to its reference value.
void reffixoriginrenorm(RefParams& p);

// refkeepgrigidsetki: sets up the keep geom groups and the keys of their independent coordinates.
// ---- keep geom groups (plane, rigid, rigidmod)
// Resolves the groups of the "keep geom" commands, stores the rigid bodies,
// chooses the independent coordinates and switches their keys on when any
// member coordinate was refined.
void refkeepgrigidsetki(RefParams& p, const std::vector<RefKeep>& keep);
// RefKeepGRigid: the equations of the keep geom groups.
// The equations of the groups (called from the first RefSetKeep).
void RefKeepGRigid(RefParams& p);
// refkeepgrigidupdate: re-idealises the keep geom groups and relinearises their equations.
// Re-idealises every group from its independent coordinates (exact plane,
// exact rigid pose) and relinearises the equations at the new geometry.
void refkeepgrigidupdate(RefParams& p);

// ---- s.u. of the parameters
// From the covariance of the refined parameters (packed as the normal matrix:
// element (i, j), j <= i, at i (i + 1) / 2 + j; NRef rows): every refined
// parameter gets sqrt(C_ii), every dependent one sqrt(c^T C c) with c the
// coefficients of its expanded equation over the refined parameters (0 when
// it depends on fixed values only); other parameters keep their s.u.
void RefSetSu(RefParams& p, const double* cov);

// RefPopv: the electroneutrality condition on valence populations.
// ---- electroneutrality of valence populations
// Sets up the condition sum_k PopvWeight[k] Val[Popv[k]] = PopvSum over the
// given population parameters (full-vector indices) and lists it; mode
// PopvEquation makes the last refined population dependent (refpopvprologequation,
// before RefSetMatrixLimits), PopvRestrain adds the condition to the normal
// equations (refpopvprologrestrain, refpopvsuma). Nothing happens for an
// empty list (the atom model defines no valence populations).
void RefPopv(RefParams& p, const std::vector<int>& pars, const std::vector<double>& weight,
             double sum, int mode, bool renorm);
// refpopvprologequation: electroneutrality as an equation (one population dependent).
void refpopvprologequation(RefParams& p);
// refpopvprologrestrain: electroneutrality as a restraint of the normal equations.
void refpopvprologrestrain(RefParams& p);
// refpopvsuma: adds the electroneutrality restraint to the normal equations.
// Adds w g g^T to the packed normal matrix am and w g (sum - current sum) to
// the right-hand side ps (NRef), g the condition over the refined vector; w
// makes the added diagonal 1000 times the largest diagonal element of am.
void refpopvsuma(const RefParams& p, double* am, double* ps);
// refpopvrenorm: rescales the valence populations to the kept sum.
// Scales the populations so that the weighted sum is PopvSum again.
void refpopvrenorm(RefParams& p);

// Places the hydrogen atoms of one group from the current values.
void RefPlaceHydro(RefParams& p, const RefHydro& h);

// Shortest form of a coefficient or constant in equation texts.
std::string RefEqNumber(double v);

// Messages of the constraints.
namespace constrmsg {
inline constexpr std::string_view UserHead = "Equations defined by user :";
inline constexpr std::string_view SymmHead = "Equations induced by symmetry :";
inline constexpr std::string_view NotFulfilled =
    "... the equation not fulfilled, the initial value has been changed : ";
inline constexpr std::string_view Omitted = "The relevant equation will be omitted.";
inline constexpr std::string_view Skipped = "The equation will be skipped.";
inline constexpr std::string_view PhaseUndef1 = "Phase";
inline constexpr std::string_view DatBlockUndef1 = "DatBlock";
inline constexpr std::string_view Undef2 = "isn't defined.";
inline constexpr std::string_view NotInComp = " isn't from the relevant composite part";
inline constexpr std::string_view OriginDefault =
    "The origin will be fixed according to default procedure";
inline constexpr std::string_view X4Origin1 = "Origin in x4 axis may not be fixed.";
inline constexpr std::string_view OriginNoAtom = "Atom fixing the origin doesn't exist : ";
inline constexpr std::string_view X4Origin2 = "This can induce some instability in the refinement.";
inline constexpr std::string_view OccRestr = "Occupational restriction of";
inline constexpr std::string_view Restr = "Restriction of";
inline constexpr std::string_view Generated =
    "of second and futher atoms will be generated from thefirst one";
inline constexpr std::string_view KeptIdentical = " will be kept identical";
inline constexpr std::string_view SumKept = "... sum of occupations will be kept to";
inline constexpr std::string_view NotOnM40 = " isn't on the file M40.";
inline constexpr std::string_view RestrSkipped = " The restriction will be skipped.";
inline constexpr std::string_view ParMissing = "Parameter doesn't exist : ";
inline constexpr std::string_view BlockMismatch = "Parameter blocks of different size : ";
inline constexpr std::string_view KeepNotApplied = "Keep command not applied : ";
inline constexpr std::string_view KeepMissing = "Atom of the keep command doesn't exist : ";
inline constexpr std::string_view KeepGeomWaves =
    "Members of a rigidmod group need the same number of position waves : ";
inline constexpr std::string_view PopvFixed = "The sum of valence electrons will be fixed to";
}  // namespace constrmsg

}  // namespace tarn
