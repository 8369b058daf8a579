#pragma once
// The distance tool: for every selected central atom of the current phase
// its neighbours within the distance limits, optionally the bond angles, and
// the descriptors asked for in the "dist" block (individual distances, angles
// and torsions, best planes, hydrogen bonds, bond-valence sums, the
// Hirshfeld rigid-bond test), all with standard uncertainties. The results
// are returned and written to the listing fln.dis.
#include <functional>
#include <string>
#include <vector>

#include "dist/dist_commands.hpp"
#include "dist/dist_cov.hpp"
#include "dist/dist_mod.hpp"
#include "dist/dist_search.hpp"
#include "dist/dist_tables.hpp"
#include "model/structure.hpp"

namespace tarn {

struct DistAngleRec {
  int B = 0, C = 0;  // indices into the neighbour list: the angle B-A-C
  double Value = 0., Su = 0.;
};

struct DistCoordination {
  int Central = 0;  // index into DistPhase::Atoms
  std::vector<DistNeighbour> Neigh;
  std::vector<DistAngleRec> Angles;
  bool Overflow = false;  // more than DistMaxNeighbours: the list was cut
  std::vector<DistTCurve> Curves;       // modulated structures: per neighbour, over t
  std::vector<DistTCurve> AngleCurves;  // and per angle
};

// An individual distance, angle or torsion, a deviation from a plane, ...
struct DistMeasure {
  std::vector<std::string> Atoms;  // names, with their symmetry parts
  double Value = 0., Su = 0.;
  bool Ok = false;  // false: an atom could not be found
};

struct DistHBond {
  int H = 0;  // index into DistPhase::Atoms, at its own position
  DistNeighbour Donor, Acceptor;
  double DA = 0., DASu = 0.;        // donor...acceptor
  double Angle = 0., AngleSu = 0.;  // D-H...A
};

struct DistPlaneRec {
  std::vector<std::string> Atoms;  // the atoms that define the plane
  std::vector<DistMeasure> Dev;    // signed distances of the atoms to the plane
  double Rms = 0.;
  bool Ok = false;
};

struct DistBondValence {
  int Atom = 0;
  double Sum = 0., Su = 0.;  // of the average structure
  int NBonds = 0;
  double Ave = 0., Min = 0., Max = 0.;  // modulated phases: over the t grid
  int NT = 0;                           // t values where the atom exists
};

struct DistHirshfeld {
  int A = 0;
  DistNeighbour B;
  double Delta = 0., Su = 0.;  // MSD(A) - MSD(B) along the bond, A^2
};

struct DistResults {
  DistCommands Cmd;
  DistPhase Phase;
  std::vector<DistCoordination> Coord;
  std::vector<DistMeasure> Distances, Angles, Torsions;  // individual
  std::vector<DistPlaneRec> Planes;
  std::vector<DistMeasure> PlaneAngles;  // Atoms: "plane 1", "plane 2"
  std::vector<DistHBond> HBonds;
  std::vector<DistBondValence> BondValences;
  std::vector<DistHirshfeld> Hirshfeld;  // bonds that fail the test
  int HirshfeldTested = 0;
  DistModel Mod;                            // modulation (modulated phases)
  std::vector<std::array<double, 3>> TGrid;  // the t grid (modulated phases)
  std::vector<std::string> Listing;
};

// Atomic radius of atom type t (1-based): "atradius" of M50, else the
// covalent radius of its element; 0 when neither is known.
double DistTypeRadius(const PhaseBasic& p, int t);

// Maximal bond distance of a pair of atom types (1-based numbers) of the
// phase: dmax when positive, else the typical distance (the phase's own
// "typdist", then the table) or the sum of the atomic radii, expanded by
// expdmax percent; 0 when neither is known.
double DistPairMax(const PhaseBasic& p, const DistTables& tables, const DistCommands& c, int t1,
                   int t2);

// Runs the tool on phase Sess.KPhase of s with the commands of its "dist"
// block and the tables of Sess.HomeDir; writes Sess.fln + ".dis" when a
// structure is open; the covariance matrix fln.cov is used when it belongs
// to the current M40 (and "covar" is not 0).
// Returns 1 after a message when it could not run.
[[nodiscard]] int Dist(const Structure& s, DistResults& out);
// The same with given commands, tables and (optionally) covariance matrix,
// without reading or writing files.
[[nodiscard]] int DistRun(const Structure& s, const DistCommands& c, const DistTables& tables,
                          DistResults& out, std::shared_ptr<const CovMatrix> cov = nullptr,
                          std::string covNote = {});

// A value with its uncertainty in a 15-character field with the decimal
// point in column 7 (RoundESD with a leading blank for positive values).
std::string DistRoundESD(double value, double su, int maxDecimals, int rule);

// The lines of the listing fln.dis.
std::vector<std::string> DistListing(const Structure& s, const DistTables& tables,
                                     const DistResults& r);

// Objects (dist_objects.cpp): appends to ph the peaks kept with M40
// ("include"), the centres ("center", named Cen1, Cen2, ...) and the lone
// pairs ("lonepair": a point at the given distance, 1 A by default, from the
// atom opposite the mean direction of its bonds, named Lp<atom>); returns
// the indices of those taken as neighbours (peaks, lone pairs and the centres
// named in "lonepair"). typeMax(t1, t2) is the limit of a pair of atom types.
std::vector<int> DistAddObjects(const Structure& s, const DistCommands& c, DistPhase& ph,
                                const std::function<double(int, int)>& typeMax);
// Angles of the bonds of atom a to the reference direction of "dirref"
// (three numbers: a lattice direction; two atoms: the vector between them)
// into RefAngle; false when the direction cannot be read.
bool DistRefAngles(const DistPhase& ph, const std::vector<std::string>& dirref, int a,
                   std::vector<DistNeighbour>& neigh);

// Descriptors (dist_extra.cpp), each over the results so far.
void DistHydrogenBonds(DistResults& r);
void DistBestPlanes(DistResults& r);
void DistBondValenceSums(const Structure& s, const DistTables& tables, DistResults& r,
                         const std::function<double(int, int)>& dmax);
void DistHirshfeldTest(DistResults& r);

}  // namespace tarn
