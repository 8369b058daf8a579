#pragma once
// The powder loop of the least-squares cycle for the profile-type parameters
// of a Le Bail fit: background, zero and sample displacement, cell (as the
// independent components of the reciprocal metric allowed by the Laue
// class), widths and asymmetry. The Le Bail intensities are held fixed within
// a cycle and re-partitioned between cycles.
#include <array>
#include <string>
#include <vector>

#include "model/basic.hpp"
#include "model/m95m90.hpp"
#include "powder/lebail.hpp"
#include "powder/m41.hpp"

namespace tarn {

// Names of the profile widths in parameter lists, in the order of PwdProfile.
inline constexpr const char* kPwdWidthNames[PwdNWidth] = {"GU", "GV", "GW", "GP",
                                                          "LX", "LXe", "LY", "LYe"};
// Orthonormal basis of the reciprocal metrics (as 6-vectors g11 g22 g33 g12
// g13 g23) that the Laue class of the phase leaves invariant: the cell
// parameters a powder fit can refine.
std::vector<std::array<double, 6>> PwdMetricBasis(const PhaseSymmetry& s);

// The widths of a phase between the powder parameter file's Gaussian and
// Lorentzian records and the profile (PwdWidthRef order; time of flight:
// Sig0..SigQ, Gam0..Gam2). The profile's Tof flag must be set first.
void PwdWidthsToProfile(const PwdPhasePar& pp, PwdProfile& prof);
void PwdWidthsFromProfile(const PwdProfile& prof, PwdPhasePar& pp);

// The anisotropic broadening of a phase and the powder parameter file's
// records of it (strain, harmonics, classes: the PwdBroadRef order): the
// record of parameter k, its refinement keys, and the values written back.
PwdPar* PwdBroadPar(PwdPhasePar& pp, int k);
std::vector<char> PwdBroadFlags(const PwdPhasePar& pp);
void PwdBroadStore(const PwdBroadening& b, PwdPhasePar& pp);
// Names of the parameters of the second time-of-flight form.
inline constexpr const char* kPwdTofXNames[7] = {"zerot", "difct", "difat", "zeroe", "difce", "tcross", "wcross"};
// Their refinement keys in a block's records, and the time-of-flight values
// of a pattern back into them (the common zero folded into zerot and zeroe
// in the second form).
std::array<char, 7> PwdTofXFlags(const PwdBlockPar& bp);
void PwdTofStore(const PwdPatternData& p, PwdBlockPar& bp);
// The anisotropic broadening of phase iph (1-based) in block kpwd from the
// keywords of M41 (the phase's symmetry and cell set in d), its values from
// the records, which are resized to the counts of the phase's Laue class (new
// terms start at 0 and are refined).
void PwdBroadFromM41(const PwdM41& m, int iph, int kpwd, PwdPhaseData& d, PwdPhasePar& pp);
// The modulation vectors of a phase into the powder parameter file's record.
void PwdModVecStore(const PwdPhaseData& ph, PwdPhasePar& pp);

// Kinds of refined powder parameters.
enum PwdParKind : int { PkBckg, PkZero, PkSyCos, PkSySin, PkMetric, PkWidth, PkAsym, PkLam, PkBroad, PkModVec, PkTofX,
                        PkFund };
// Names of the fundamental-approach geometry values (PwdFaRef order).
inline constexpr const char* kPwdFaNames[kPwdFaNPar] = {"radprim", "radsec",   "rsw",      "rsl",     "divslit",
                                                        "srclen",  "samplen",  "sollprim", "sollsec"};

// One refined parameter: kind, phase (metric, widths, asymmetry) and index
// (coefficient, metric basis vector, PwdWidthPar, asymmetry parameter).
struct PwdFitParam {
  int Kind = PkBckg, Phase = 0, Index = 0;
  std::string Name;
  double Su = 0.;
};

// What is refined: background coefficients, shifts, per phase the cell and
// the widths (PwdWidthPar order) and asymmetry parameters.
struct PwdFitFlags {
  std::vector<char> Bckg;
  bool Zero = false, SyCos = false, SySin = false;
  bool Lam = false;  // the first wavelength (a second one keeps its ratio to it)
  std::vector<char> Cell;                    // per phase
  std::vector<std::array<char, PwdNWidth>> Width;  // per phase
  std::vector<std::array<char, kPwdMaxAsym>> Asym;  // per phase
  std::vector<std::vector<char>> Broad;      // per phase, PwdBroadRef order
  std::vector<std::vector<char>> ModVec;     // per phase, 3 per modulation vector
  std::array<char, 7> TofX{};                // second time-of-flight form, PwdPatternData::TofX order
  // Fundamental-approach geometry of the block (PwdFaRef order), refined
  // where the element is in use (value > 0) by a phase of method 4.
  std::array<char, kPwdFaNPar> Fund{};
};

struct PwdFitResult {
  int Cycles = 0, LeBailIterations = 0;
  PwdRValues R;
  std::vector<PwdFitParam> Params;
  std::vector<std::array<double, 6>> CellSu;  // s.u. of a, b, c, alpha, beta, gamma per phase
  std::vector<std::string> Listing;           // one line per cycle
};

// RefSetPwd: the list of refined parameters of a pattern.
std::vector<PwdFitParam> RefSetPwd(const PwdPatternData& p, const PwdFitFlags& f);
// RefLoopPwd: profile sums with derivatives over the used points: p.Yc and
// the normal equations (n x n, row-major) and right-hand side of the
// parameters; returns sum w (Yo - Yc)**2.
double RefLoopPwd(PwdPatternData& p, const std::vector<PwdFitParam>& par, std::vector<double>& nm,
                  std::vector<double>& rhs);
// Le Bail fit: `cycles` cycles, each a decomposition (every nlebail-th cycle
// and always the first) and a damped least-squares step.
PwdFitResult RefLeBailFit(PwdPatternData& p, const PwdFitFlags& f, int cycles, int nlebail = 1);
// Joint Le Bail fit of several patterns of the same phases: one cell per
// phase, shared by all patterns (refined when any pattern's flags ask for
// it; the first pattern's cell is the start), everything else per pattern.
// One result per pattern; the listing lines are in the first.
std::vector<PwdFitResult> RefLeBailFitJoint(std::vector<PwdPatternData>& ps,
                                            const std::vector<PwdFitFlags>& f, int cycles,
                                            int nlebail = 1);

// The wavelength of a constant-wavelength pattern as far as the choice of
// the length scale goes.
struct PwdLamSource {
  bool Tof = false;
  int Radiation = 1;  // 1 X-ray, 2 neutron, 3 electron
  double Lam = 0.;    // first wavelength (A)
  int NLam = 1;       // 2: an alpha1/alpha2 doublet
};
// PwdTubeLine: an X-ray wavelength of a tube anode, a standard of length: a
// K-alpha1/alpha2 doublet, or within 0.0005 A of a K-alpha1, K-alpha2,
// K-alpha mean or K-beta1 line of the anode table (loaded scattering tables).
bool PwdTubeLine(const PwdLamSource& s);
// Per pattern: 1 when its wavelength fixes the length scale of patterns that
// share a cell. Laboratory X-ray patterns (PwdTubeLine) when there are any,
// else the first pattern (a time-of-flight one with its calibrated difc, or a
// monochromator wavelength).
std::vector<char> PwdWavelengthStandards(const std::vector<PwdLamSource>& s);
// Per pattern: the wavelength refined. "reflam" of the block (1 refined, 0
// fixed) when given, else the block's wavelength key. When the cell is refined
// and every pattern's wavelength would be refined too (no time-of-flight
// pattern), the standards of PwdWavelengthStandards stay fixed and note says so.
std::vector<char> PwdRefinedWavelengths(const std::vector<PwdLamSource>& s, const PwdM41& m, bool cell,
                                        std::string& note);

// The pattern of powder block kpwd (1-based among the powder blocks) with
// the points pts of its M95 block b, the instrument and profile parameters of
// M41 and one profile phase per phase of the structure; terms that "bckgnum"
// or "asymm" now add start at 0, surplus ones are dropped. 1 when no phase
// has parameters in the block.
// Manual background points of "<structure>.bkg" into m.Manual: lines "x y"
// (pattern axis, intensity), a line "datblock k" starting the points of
// powder block k (before it: block 1), '#' comments. No file: no points.
// 1 with the file and line of a damaged line in err (m unchanged).
[[nodiscard]] int PwdReadManualBackground(const std::string& file, PwdM41& m, ErrorRecord& err);
[[nodiscard]] int PwdPatternFromBlock(const M95Block& b, const std::vector<M95Refl>& pts, PwdM41& m,
                                      int kpwd, const std::vector<PhaseBasic>& phases,
                                      PwdPatternData& p);

// The fundamental-approach geometry of block kpwd from its "# Fundamental
// parameters" record and the switches of the header: "radprim"/"radsec" give
// the radii (mm) instead of the record's, "usersw" 0 leaves the receiving
// slit out, "usefdsa" 0 makes the divergence slit variable, "usepsoll" and
// "usessoll" 0 leave the Soller slits out.
PwdFaGeometry PwdFaFromM41(const PwdM41& m, int kpwd);
// "lamfile": the emission profile of a constant-wavelength pattern from a
// text file of lines "wavelength (A) relative-intensity [Lorentzian width]"
// (blank lines and lines starting with '#' skipped; the width is read but the
// profile widths stay those of the phases): one or two lines become Lam,
// NLam and Ratio = I2/I1. 1 with the file, line and fault in err, and p
// unchanged, for a damaged file or more than two lines.
[[nodiscard]] int PwdLamFile(const std::string& file, PwdPatternData& p, ErrorRecord& err);

// |F|**2 on the absolute scale into F2Calc of the reflections of the phases
// marked UseKnown ("uklebail"), from the model (M40) and scattering factors of
// the structure fln; blocks[k] is the 0-based data block of pattern k. A phase
// without atoms loses its mark. 1 when the model cannot be read or computed.
[[nodiscard]] int PwdKnownStructureF2(const std::string& fln, std::vector<PwdPatternData>& ps,
                                      const std::vector<int>& blocks);

}  // namespace tarn
