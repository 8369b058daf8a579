#pragma once
// Magnetic neutron scattering inside the structure-factor calculation.
//
// For a data block with neutron radiation, every magnetic atom (magnetic
// attribute m >= 1) of a phase adds the magnetic structure-factor vector
//   F_M = sum_atoms sum_ops sum_centring p f_m(s) ai T(h R) exp(2 pi i h.(R x + t + c)) RMag M
// (p = kMagAmpFm fm per Bohr magneton, f_m the magnetic form factor in the
// dipole approximation, M the Cartesian moment in Bohr magnetons, RMag =
// det(R) ZMag R in Cartesian form: moments are axial vectors and change sign
// under time inversion). Only the part perpendicular to the diffraction vector
// scatters, and for unpolarised neutrons the nuclear-magnetic interference
// vanishes, so the intensity of the reflection is |F_N|^2 + |F_M,perp|^2
// (`onlymag`: |F_M,perp|^2 alone). Centring translations carry no time
// inversion (an anti-translation is an operator of its own).
//
// Modulated moments (superspace phases): the moment of the string of basic
// position xb is M(xb4) = M0 + sum_n S_n sin(2 pi k_n.xb4) + C_n cos(2 pi k_n.xb4)
// (components along the axes, k_n = ModWaveVector of the phase's wave
// table; with d > 1 the table must cover the waves), the position, occupancy
// and ADP not modulated. For the operator (R, s) and H' = H R = (h', m'),
//   F_M = sum_ops p f_m ai T(k') exp(2 pi i (h'.xb + H.s)) RMag M~(m'),
//   k' = h' + m'.q, M~(m') = int M(xb4) exp(2 pi i m'.xb4) dxb4
//        = M0 d(m'=0) + sum_n S_n (i/2)(d(m'=k_n) - d(m'=-k_n)) + C_n (1/2)(d(m'=k_n) +
//        d(m'=-k_n)).
//
// Propagation vectors (a three-dimensional phase with "qmag" vectors k_n):
// the moment of the atom at r + L (L a lattice or centring translation, r
// its position in the cell) is
//   M(r + L) = M0 + sum_n S_n sin(2 pi k_n.(r + L)) + C_n cos(2 pi k_n.(r + L)),
// wave n of the atom belonging to k_n. This is the superspace description
// with q_n = k_n: every operator (R, s) of the phase must keep each k_n up to
// a reciprocal-lattice vector G, k_n R = e k_n + G with e = +-1 (the
// internal part of the operator is e, with R_M = G and the internal
// translation k_n.s, so that the operators carry the moment of r to R r + s);
// centring translations have no internal part. The magnetic reflections are
// the satellites H + m k_n, m = +-1, indexed (h k l m_1 .. m_n); a satellite
// that coincides with another one (2 k_n a reciprocal-lattice vector, as for
// k = 1/2) is the coherent sum of both.
//
// Handled: atoms with isotropic or harmonic ADP, without other modulation.
// Modulated or anharmonic magnetic atoms, moment waves in the spherical
// representation or in a three-dimensional phase without propagation
// vectors, propagation vectors in a superspace phase and operators that do
// not keep them are refused by CalcMagPrepare with a message naming the atom
// or phase.
//
// Moment representation of an atom: the three stored values are components
// along a/|a|, b/|b|, c/|c| (MagFract), or modulus, phi, theta in degrees
// (MagSpher) for the atoms named in the phase's "magmode" option record.
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/modfun.hpp"
#include "refine/calc_ext.hpp"

namespace tarn {

struct RefParams;  // refine/constr.hpp

// A magnetic atom as the magnetic sum uses it.
struct CalcMagAtom {
  int Atom = 0;  // index in Model.Atom
  std::string Name;
  int Type = 0;     // 0-based atom type
  int ParBase = 0;  // first parameter of the atom in RefParams
  AtomLayoutInfo Lay;
  bool Iso = false;              // isotropic ADP (Uiso)
  int Repr = MagFract;           // MagRepr of the stored moment values
  double Occ = 0.;               // ai
  std::array<double, 3> X{};     // fractional
  std::array<double, 6> B{};     // beta11 22 33 12 13 23 (from Uiso when Iso)
  std::array<double, 3> MVal{};  // stored moment values (Repr)
  std::vector<double> Wave;      // moment waves: per wave sin M1 M2 M3, cos M1 M2 M3 (axes)
};

// Per phase.
struct CalcMagPhase {
  bool Active = false;                       // the phase has magnetic atoms
  MagSetup Mag;                              // frames and Cartesian RMag of every operator
  int NDim = 3;                              // 3 + d
  std::vector<Vec3> Q;                       // modulation vectors, r.l.u. (d)
  int NK = 0;                                // propagation vectors of a 3-dimensional phase (Q = them)
  ModWaves Waves;                            // integer wave vectors of the phase ("wave" option)
  std::vector<std::array<double, 36>> R;     // every operator: NDim x NDim rotation, row-major
  std::vector<std::array<double, 6>> T;      // its translation (NDim)
  std::vector<std::array<double, 6>> Centr;  // centring vectors (NDim, first zero)
  std::array<double, 9> MetI{};              // G*, 1/Angstrom^2
  std::vector<AtMagBasic> FormM;             // magnetic form factor per atom type
  std::vector<CalcMagAtom> Atoms;
};

struct CalcMagSetup {
  std::vector<CalcMagPhase> Phase;  // one per phase of the basic data
  bool OnlyMag = false;             // `onlymag`: nuclear part left out
};

// Fraction of the total intensity below which the nuclear part counts as
// absent: the reflection is then a magnetic one for the R factors.
inline constexpr double kMagPureFrac = 1.e-6;

namespace calcmagmsg {
inline constexpr std::string_view NoFormM = "The atom type has no magnetic form factor:";
inline constexpr std::string_view Waves =
    "Moment waves need a superspace phase and moments along the cell axes, atom:";
inline constexpr std::string_view Modulated =
    "Magnetic atoms with modulation are not handled by the structure-factor calculation, atom:";
inline constexpr std::string_view Anharmonic =
    "Magnetic atoms with anharmonic ADP are not handled by the structure-factor calculation, "
    "atom:";
inline constexpr std::string_view PropVector =
    "Magnetic propagation vectors of a superspace phase are not handled by the structure-factor "
    "calculation; give them as modulation vectors. Phase:";
inline constexpr std::string_view KNotKept =
    "The magnetic operator does not keep the propagation vector (k R must be k or -k up to a "
    "reciprocal-lattice vector), operator:";
inline constexpr std::string_view KIntegral =
    "A magnetic propagation vector with integer components is no propagation vector; give the "
    "moment without it. Phase:";
inline constexpr std::string_view NoWaveVectors =
    "The wave vectors of the moment waves are not defined: with more than one modulation vector "
    "give them by the option \"wave\", atom:";
inline constexpr std::string_view BadCell = "The cell of the magnetic phase is degenerate:";
}  // namespace calcmagmsg

// Representation of the moment of atom `name`: MagSpher when the phase's
// "magmode" option lists the name, else MagFract.
int MagAtomRepr(const PhaseModel& ph, const std::string& name);

// Builds the magnetic set-up from the basic data and the model; p supplies the
// parameter positions (values through CalcMagUpdate). 0, or 1 with msg set.
[[nodiscard]] int CalcMagPrepare(CalcMagSetup& m, const BasicData& b, const AtomModel& model,
                                 const RefParams& p, bool onlyMag, std::string& msg);
// Takes the current values from the parameter vector.
void CalcMagUpdate(CalcMagSetup& m, const RefParams& p);

// Magnetic intensity |F_M,perp|^2 (fm^2) of the indices h (NDim) of phase ip at
// s = sin(theta)/lambda (for propagation vectors h k l m_1 .. m_NK; the
// coinciding satellites summed coherently) into iMag; with dI non-null adds w * d|F_M,perp|^2/dp
// for every value p of the magnetic atoms (full parameter vector). Returns 0,
// or 1 when a temperature factor overflows (badAtom names the atom).
[[nodiscard]] int CalcMagI(const CalcMagSetup& m, int ip, const int* h, double sthl, double w,
                           double* dI, double& iMag, std::string& badAtom);

}  // namespace tarn
