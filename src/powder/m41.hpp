#pragma once
// The powder parameter file M41: a header of powder keywords (general ones
// first, then those of each phase after a "phase" line and of each data block
// after a "datblock" line, closed by "end"), then per data block a line
// "## datblock NAME" and the refinable parameters in commented sections, each
// a comment line, the parameter record(s) (values F9.6 six to a line, one key
// digit per value from column 61) and the record of their s.u. Layout:
// docs/powder.md.
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "util/error.hpp"

namespace tarn {

// The 52 powder keywords in their table order (slots 53-60 are reserved).
inline constexpr std::array<const char*, 52> kPwdKeywords = {
    "bckgtype",  "bckgnum",   "manbckg",  "wtlebail",     "absor",       "mir",       "skipfrto",
    "phase",     "proffun",   "asymm",    "partbroad",    "strain",      "prefor",    "prefsum",
    "cutoff",    "dirpref",   "dirbroad", "maxsat",       "satfrmod",    "skipfrdl",  "rough",
    "datblock",  "reflam",    "useeach",  "radprim",      "radsec",      "usersw",    "usefdsa",
    "usepsoll",  "usessoll",  "lamfile",  "usecutoff",    "cutoffmn",    "cutoffmx",  "usecutoffsat",
    "cutoffsatmn", "cutoffsatmx", "usetofab", "useds",    "illum",       "focusBB",   "uklebail",
    "tofjason",  "tofkey",    "usehs",    "broadHKL",     "splitprof",   "dirbroadp", "dirbroads",
    "spharp",    "nomixedsat", "ksycos"};
inline constexpr int kPwdMaxSkip = 20;  // skipped regions per data block

// One keyword line of the header: the keyword (table spelling) and its words.
struct PwdKey {
  std::string Key;
  std::vector<std::string> Words;
  int Line = 0;
};

// A refinable powder parameter with its key digit and s.u.
struct PwdPar {
  double V = 0.;
  int Key = 0;
  double Su = 0.;
};

// Parameters of one phase in one data block.
struct PwdPhasePar {
  std::array<PwdPar, 6> Cell{};   // a, b, c (A), alpha, beta, gamma (deg)
  std::vector<PwdPar> ModVec;     // modulation vectors, 3 components each (r.l.u.)
  std::array<PwdPar, 4> Gauss{};  // GU, GV, GW, GP (centideg**2)
  std::array<PwdPar, 4> Lor{};    // LX, LXe, LY, LYe (centideg)
  std::vector<PwdPar> Strain;     // strain tensor S_HKL ("# Strain parameters")
  std::vector<PwdPar> SphHarm;    // harmonics of the particle broadening
  std::vector<PwdPar> BroadHkl;   // two per "broadHKL" class
  std::array<PwdPar, 2> Pref{};   // pref1, pref2
};

// Parameters of one data block.
struct PwdBlockPar {
  std::string Name;
  std::vector<PwdPar> Bckg;       // background coefficients ("bckgnum" of them)
  std::array<PwdPar, 2> Rough{};
  std::array<PwdPar, 2> Lam{};    // wavelengths (A)
  // "# Fundamental parameters" (PwdFaRef order, mm and deg); empty when absent.
  std::vector<PwdPar> Fund;
  std::vector<PwdPar> Asym;       // asymmetry parameters of the method
  PwdPar TofAbs;                  // time-of-flight absorption c ("usetofab"), 1/A
  std::array<PwdPar, 4> Tof{};    // zero, difc, difb, difa (time of flight)
  std::array<PwdPar, 5> TofE{};   // second form ("tofjason" > 0): zerot, difct, difat, zeroe, difce
  std::array<PwdPar, 2> TofCross{};  // and its crossover TCross (1/A), WCross (A)
  std::array<PwdPar, 3> Shift{};  // zero (deg), sycos, sysin (sample displacement, deg)
  std::vector<PwdPhasePar> Phase;
};

// A header section: general (Kind ""), "phase" or "datblock" with its name.
struct PwdSection {
  std::string Kind, Name;
  std::vector<PwdKey> Keys;
};

struct PwdM41 {
  std::vector<PwdSection> Sections;  // [0] general, then phases and data blocks
  std::vector<PwdBlockPar> Blocks;
  bool Tof = false;
  std::vector<std::string> Notes;    // duplicate keywords and the like, for the listing
  // Manual background points (x, y) per data block, x ascending; not part of
  // the file (PwdReadManualBackground reads them from "<structure>.bkg").
  std::vector<std::vector<std::pair<double, double>>> Manual;

  // The words of a keyword: in the data block's section, else the phase's,
  // else the general one; nullptr when not given.
  const PwdKey* Find(const std::string& key, int phase = 0, int block = 0) const;
  double Real(const std::string& key, double dflt, int phase = 0, int block = 0) const;
  int Int(const std::string& key, int dflt, int phase = 0, int block = 0) const;
  // Sets a keyword in the general (phase = block = 0), phase or block section.
  void Set(const std::string& key, const std::vector<std::string>& words, int phase = 0, int block = 0);
  // All values of a repeatable keyword ("skipfrto") of a section.
  std::vector<std::vector<double>> All(const std::string& key, int block = 0) const;
};

// Defaults of the keywords (header values equal to them are not written).
void SetBasicM41(PwdM41& m);
// Number of asymmetry parameters of a method.
int PwdAsymCount(int asymm);
// Reads (mode 0) or writes (mode 1) the file; on reading m is replaced only
// on success, the fault (file, line) in err.
[[nodiscard]] int iom41(int mode, const std::string& file, PwdM41& m, ErrorRecord& err);
// The text of the file, and its reading from text.
std::string M41Text(const PwdM41& m);
[[nodiscard]] int M41Parse(const std::string& text, const std::string& file, PwdM41& m, ErrorRecord& err);

}  // namespace tarn
