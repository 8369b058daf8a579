#pragma once
// Transformations of a structure to another cell, origin or hand.
//
// Convention (International Tables A, 1.5.1): the new basis is
// (a' b' c') = (a b c) P and the new origin lies at p (old fractional
// coordinates). Then, with Q = P^-1,
//   coordinates   x' = Q (x - p)
//   ADP tensor    beta' = Q beta Q^T          (beta as in M40)
//   operators     R' = Q R P,  t' = Q (R p + t - p)
//   metric        G' = P^T G P
//   indices       h' = P^T h                  (h as a column)
// An origin shift is P = I; the change of enantiomorph is P = -I, p = 0
// (x' = -x, t' = -t, h' = -h, the cell unchanged).
//
// The operators keep their order; a centre of symmetry that leaves the
// origin is written out as the partners of the operators (and folded back
// when a later transformation brings it to the origin again). The centring
// follows from the transformed lattice. The group symbol stays that of the
// setting it was given for; "parentmat" records the transformation from
// that setting (12 values: P row-major, p) and is cleared when the
// accumulated transformation is the identity, so that a transformation and
// its inverse give the files back.
//
// Cell values within 1e-9 (relative) of six decimals are snapped to them,
// so that the inverse gives the written cell back. The s.u. follow permutations
// and sign changes of the axes; other matrices leave them zero (the s.u. of
// the new cell parameters depend on correlations the file does not keep).
//
// Not handled: modulated phases, molecules, anharmonic tensors (refused).
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "model/refl.hpp"
#include "model/structure.hpp"
#include "util/numbers.hpp"

namespace tarn {

struct EM40Transform {
  Mat3 P{1, 0, 0, 0, 1, 0, 0, 0, 1};  // new basis in the old one, columns a', b', c'
  std::array<double, 3> Origin{};     // p: new origin, old fractional coordinates
};

// EM40ParseTransform: a data line "cell EXPR" (EXPR "a+c,b,-a": the new axes
// in the old ones, or their nine coefficients row by row), "origin x y z"
// (fractions such as 1/2 allowed) or "enantiomorph". 1 with `why` when the
// line does not read or the matrix is singular.
[[nodiscard]] int EM40ParseTransform(std::string_view line, EM40Transform& t, std::string& why);
// The inverse transformation.
EM40Transform EM40InverseTransform(const EM40Transform& t);

// EM40TransformStructure: basic data and model of phase `phase`, in place;
// nothing changes on failure (why says what stands in the way).
[[nodiscard]] int EM40TransformStructure(Structure& st, int phase, const EM40Transform& t,
                                         std::string& why);
// EM40TransformIndices: h' = P^T h of the first three indices; 1 when h'
// is not integral (the reflection has no place in the new lattice).
[[nodiscard]] int EM40TransformIndices(const EM40Transform& t, int* h);
// The cell of a reflection block (a, b, c, alpha, beta, gamma) transformed;
// cells that are not set stay so.
void EM40TransformCell(const EM40Transform& t, std::vector<double>& cell);

}  // namespace tarn
