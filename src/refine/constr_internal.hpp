#pragma once
// Helpers shared by the files of the parameter constraints.
#include <Eigen/Dense>
#include <string>
#include <string_view>
#include <vector>

#include "refine/constr.hpp"
#include "util/numbers.hpp"

namespace tarn {

// Atom block (AtBlock) of a site-symmetry block (SitePar), -1 when none.
int AtomBlockOfSite(int kind);
// "x[C2]=0.5-x[C1]" over the labels of the full vector.
std::string RefEqText(const RefParams& p, const RefEq& e);
// Appends a listing line; warnings are counted.
void RefListLine(RefParams& p, std::string line, bool warning);
// Atom of that name (a symmetry part after '#' ignored), -1 when absent.
int FindAtomIndex(std::string_view name);
// First parameter of block blk of atom a in the full vector; length of the block.
int AtOff(const RefParams& p, int a, int blk);
int AtLen(int a, int blk);
// True when a (non ad-hoc) equation already makes parameter i dependent.
bool IsDependent(const RefParams& p, int i);
// Adds dep = const + sum coef*ind unless dep already follows another equation
// (site symmetry gives the same relation for members on the same site);
// false when not added.
bool AddEq(RefParams& p, int source, int dep, double cst, std::vector<int> ind,
           std::vector<double> coef);
struct PhaseBasic;
const PhaseBasic& PhaseOfAtom(int a);
// A site-symmetry equation over the parameters of one block starting at
// `base` of the full vector (Source EqSymm, no text).
RefEq RefEqFromSite(const SpecEquation& se, int base);
// Rotation r and translation t (fractional) of the symmetry part
// "s<op>[c<centring>][t<t1>,...]" of an atom name (identity when empty).
void RefSymmPartOp(const PhaseBasic& ph, std::string_view part, Mat3& r, std::array<double, 3>& t);
// Fractional -> Cartesian (Angstrom): a along x, b in the xy plane.
Eigen::Matrix3d OrthoMatrix(const PhaseBasic& ph);
// Name matching with "*" (any run) and "?" (one character), case ignored.
bool RefWildMatch(std::string_view pat, std::string_view s);

}  // namespace tarn
