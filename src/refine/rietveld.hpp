#pragma once
// Rietveld refinement: powder patterns fitted with intensities from the
// structure factors of the model.
//
// For every point i of a pattern
//   Ycalc_i = B_i + sum_phases sum_r sum_c S_ph m_r |F_r|**2 P_r A_rc k_c Lp_rc Phi_rc(x_i - pos_rc),
// with S_ph the scale of the phase in the pattern, m_r the multiplicity,
// |F_r|**2 on the absolute scale (the structure-factor code with its
// derivatives), P_r the preferred orientation, A_rc the absorption, k_c 1 or
// the intensity ratio of the second wavelength, Lp the Lorentz-polarisation
// factor and Phi the normalised profile; A_rc includes the surface roughness
// SR(theta) of a Bragg-Brentano sample ("rough": 1 Pitschke-Hermann-Mattern,
// 2 Suortti, two refinable parameters), for time of flight the absorption
// exp(-c lambda) of RietPattern::TofAbs. The least-squares vector is the
// refined structural parameters (keys and constraints of the run folded in)
// followed by the powder parameters (RietPar); weights 1/sigma**2(Yobs).
#include <array>
#include <string>
#include <vector>

#include "powder/lebail.hpp"
#include "refine/calc.hpp"
#include "refine/refine.hpp"
#include "refine/refine_pwd.hpp"
#include "refine/restrain.hpp"

namespace tarn {

// Kinds of the powder parameters of a Rietveld refinement.
enum RietParKind : int { RvScale, RvBckg, RvZero, RvSyCos, RvSySin, RvLam, RvMetric, RvWidth, RvAsym, RvPref, RvBroad, RvModVec, RvTofX, RvRough, RvTofAbs };

// One pattern with what the Rietveld fit adds to it.
struct RietPattern {
  PwdPatternData P;               // its phases are those of the structure, in order
  int Block = 0;                  // 0-based data block of the structure factors
  std::vector<double> Scale;      // per phase
  std::vector<char> RefScale;     // per phase
  PwdFitFlags Flags;              // background, shifts, widths, asymmetry (Flags.Cell unused)
  bool RefLam = false;            // wavelength refined (constant wavelength; both lines scale)
  // Preferred orientation, March-Dollase (pref1 = r), per phase: direction
  // (reciprocal-lattice vector) and value; PrefType 0 none.
  int PrefType = 0;
  std::vector<std::array<double, 3>> PrefDir;
  std::vector<double> Pref;
  std::vector<char> RefPref;
  // "prefsum": the factor averaged over the distinct images of h under the
  // Laue operators of the phase (PrefOps, per phase; empty without prefsum).
  std::vector<std::vector<std::array<int, 9>>> PrefOps;
  int AbsType = 0;                // PwdAbsorption type and mu r (mu t)
  double Mir = 0.;
  int RoughType = 0;              // PwdRougness type (0 none) with its parameters p, q
  std::array<double, 2> Rough{};
  std::array<char, 2> RefRough{};
  // Time-of-flight absorption ("usetofab"): A = exp(-c lambda) with
  // lambda = TofLamD d the wavelength of the reflection at the bank angle
  // (TofLamD = 2 sin(theta_bank), 1 when the angle is unknown).
  bool TofAbs = false;
  double TofAbsC = 0., TofLamD = 1.;
  char RefTofAbs = 0;
  // Per reflection: |F|**2 on the absolute scale and its derivatives by the
  // NRef refined structural parameters (row r at r * NRef).
  std::vector<double> F2, DF2;
  // Per reflection with a refined cell: d|F|**2 / d(sin(theta)/lambda), the
  // form factors and displacement terms (central difference in sin(theta)/lambda).
  std::vector<double> DF2s;
};

// A single-crystal data block refined together with the patterns: its
// reflections are observations of I = Fc**2 (scale and extinction of the
// block, Calc) with weights 1/sigma**2(I).
struct RietSingle {
  int Block = 0;                 // 0-based data block
  std::vector<CalcRefl> Refl;
  std::vector<double> I, SigI;   // observed intensities and their s.u.
};

// R values of a single-crystal block (percent): R on F and wR2 on F**2.
struct RietSingleR {
  double R = 0., wR2 = 0.;
  int N = 0;
};

// One powder parameter: kind, pattern, phase and index (background
// coefficient, metric basis vector, PwdWidthPar, asymmetry parameter).
struct RietPar {
  int Kind = RvScale, Pattern = 0, Phase = 0, Index = 0;
  std::string Name;
  double Su = 0.;
};

struct RietProblem {
  std::vector<RietPattern> Pat;
  std::vector<char> RefCell;      // per phase: the cell (one for all patterns) refined
  std::vector<RietPar> Par;       // after the NRef structural parameters (RietSetParams)
  std::vector<double> CellMass;   // per phase: mass of the cell contents (g/mol), for weight fractions
  std::vector<RestrCmd> Restr;    // restraints of the refine block (joined to the structural parameters)
  std::vector<RietSingle> Single; // single-crystal blocks (joined to the structural parameters)
};

// What a fit found: per pattern its R values and per phase the Bragg R
// (percent) and weight fraction; cells with s.u. per phase; listing lines.
struct RietResult {
  int Cycles = 0;
  std::vector<PwdRValues> R;
  std::vector<std::vector<double>> RBragg, WFrac;
  std::vector<std::array<double, 6>> Cell, CellSu;
  std::vector<std::string> Listing;
  double Chi2 = 0.;               // sum w (Yo - Yc)**2 / (N - P) over all patterns
  int NPoints = 0, NPar = 0;
  RestrSums Restr;                // restraint observations of the last cycle
  std::vector<RietSingleR> SingleR;  // per single-crystal block
};

// RietSetParams: the list of powder parameters from the flags.
void RietSetParams(RietProblem& pr);
// |F|**2 (and with der its derivatives by the refined parameters) of every
// reflection of every pattern; 1 when the structure factors failed.
[[nodiscard]] int RietStructureFactors(RietProblem& pr, const CalcSetup& s, const RefParams& p, bool der);
// Intensities of the reflections from scale, |F|**2, preferred orientation and absorption.
void RietSetIntensities(RietProblem& pr);
// Ycalc of pattern k on every point and the derivatives of Ycalc by the
// NRef + Par.size() parameters, row-major (one row per point); with gross
// given, the sums of the absolute contributions of the reflections to the
// metric derivatives in the same layout.
void RietJacobian(RietProblem& pr, int k, int nref, std::vector<double>& der, std::vector<double>* gross = nullptr);
// RefLoopRietveld: normal equations (n x n, row-major) and right-hand side
// over all used points of all patterns; returns sum w (Yo - Yc)**2. With
// gross given: per parameter sum w g**2 of the gross metric derivatives (0
// for other kinds), against which a cancelling metric column is found.
double RefLoopRietveld(RietProblem& pr, int nref, std::vector<double>& nm, std::vector<double>& rhs,
                       std::vector<double>* gross = nullptr);
// RietRestraints: the restraint observations (RefLoopDistAng, RefLoopMag)
// added to the structural block of the normal equations nm (n x n,
// row-major) and rhs; with nm null only their sums.
RestrSums RietRestraints(const RietProblem& pr, const RefParams& p, std::vector<double>* nm, std::vector<double>* rhs);
// RefLoopSingle: the single-crystal observations added to the structural
// block of the normal equations (nm may be null: sums only); returns
// sum w (I - Fc**2)**2, or -1 when a structure factor failed; R values per
// block into r when given.
double RefLoopSingle(const RietProblem& pr, const CalcSetup& s, const RefParams& p, std::vector<double>* nm,
                     std::vector<double>* rhs, std::vector<RietSingleR>* r = nullptr);
// Applies shifts (structural ones through the constraints) and recomputes
// profiles, |F|**2 and intensities.
[[nodiscard]] int RietShift(RietProblem& pr, CalcSetup& s, RefParams& p, const std::vector<double>& dx);
// Least-squares scales of the phases of every pattern with everything else fixed.
void RietStartScales(RietProblem& pr);
// Mass of the cell contents of each phase (occupancies, symmetry, atomic weights).
std::vector<double> RietCellMass(const CalcSetup& s, const BasicData& b);
// Bragg R (percent) of each phase of pattern k, observed intensities by the
// Rietveld partition; io receives them per reflection when not null.
std::vector<double> RietBraggR(const RietProblem& pr, int k, std::vector<double>* io = nullptr);
// Weight fractions of the phases of pattern k: S Z M V / sum.
std::vector<double> RietWeightFractions(const RietProblem& pr, int k, const CalcSetup& s);
// RefRietveldFit: `cycles` damped least-squares cycles; s.u. into p.Sig and pr.Par.
RietResult RefRietveldFit(RietProblem& pr, CalcSetup& s, RefParams& p, int cycles);

// The refinement of a structure with powder data blocks (M95 powder blocks
// and M41): model and constraints as in the single-crystal run, patterns from
// M95 and M41. Writes M40, M41, M50 (cells), one ".prf" per pattern and ".m80"
// (observed |F| by the Rietveld partition). 0 or 1 after the message.
[[nodiscard]] int RefRietveldRun(const std::string& fln, std::vector<std::string>& listing,
                                 RefRunSummary& summary);
// The pattern of powder block kpwd (1-based among the powder blocks) with the
// phases of the structure and its parameters and refinement keys from M41;
// 1 when the block has no phase parameters.
[[nodiscard]] int RietPatternFromBlock(const M95Block& b, const std::vector<M95Refl>& pts, PwdM41& m, int kpwd,
                                       RietPattern& t);
// The phase scales stored with data block `block` (0-based) of the model:
// its first nph scales when all are positive and not all the 1 of a new
// block; empty otherwise.
std::vector<double> RietStoredScales(const AtomModel& m, int block, size_t nph);
// True when the structure fln has an M41 and powder data blocks in M95.
bool RefHasPowder(const std::string& fln);

}  // namespace tarn
