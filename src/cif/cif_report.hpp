#pragma once
// The CIF report of a refined structure: fln.cif with crystal data,
// experimental and refinement data, atoms with displacement parameters and
// the geometry of the distance tool, and the structure-factor file fln.fcf.
// docs/cif.md describes the sections, the items and the sources of values.
#include <array>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cif/cif_dict.hpp"
#include "cif/cif_doc.hpp"
#include "dist/dist.hpp"
#include "model/structure.hpp"
#include "powder/prf.hpp"
#include "refine/refine_weight.hpp"

namespace tarn {

// Figures of the last refinement, from its listing fln.ref.
struct CifRefSummary {
  bool Found = false;      // a "Rfactors0:" line was read
  double R[4] = {};        // R(obs), wR(obs), R(all), wR(all), percent
  int NObs = 0, NAll = 0;  // reflections
  bool FSquare = false;    // refined on Fo**2 (the listing says wR2)
  std::optional<double> GofObs, GofAll;
  std::optional<double> GofRestrained;        // with the restraints as observations
  int NRestr = 0;                             // restraints of the last cycle
  std::string Flack;                          // Flack x with its s.u. ("-0.04(9)"), empty when none
  int FlackQuot = 0;                          // quotients it came from
  std::optional<double> ShiftMean, ShiftMax;  // of the last cycle with shifts
  std::optional<int> NPar;                    // rows of the table of refined parameters
  // Powder: the profile R values of the first powder block (percent) and chi**2.
  std::optional<double> Rp, Rwp, Rexp, Chi2;
};
// Reads the listing text of the refinement.
CifRefSummary CIFItemFromSummary(std::string_view refText);

// Layouts of the structure-factor file (the list codes).
enum CifFcfCode : int {
  FcfFoAB = 3,      // h,k,l, Fo, sigma(Fo), Ac and Bc
  FcfFc2Fo2 = 4,    // h,k,l, Fc-squared, Fo-squared, sigma(Fo-squared) and status flag
  FcfFo2FcPhi = 6,  // h,k,l, Fo-squared, sigma(Fo-squared), Fc and phase
};

// Summary of the reflections of fln.m80.
struct CifReflStats {
  int N = 0, NObs = 0;
  std::array<int, 3> Min{}, Max{};
  double SMin = 0., SMax = 0.;  // sin(theta)/lambda, 1/A
  double FcMax = 0.;
};

// The text of fln.fcf from the text of fln.m80 (reflections of the first
// phase): observed when Fo**2 >= sigLevel * sigma(Fo**2). stats summarises
// the reflections. Returns 1 with err filled when a line cannot be read.
[[nodiscard]] int CifFcfText(const Structure& s, const CifDict& dict, const std::string& dataName,
                             std::string_view m80Text, const std::string& m80Name, int code,
                             double sigLevel, std::string& out, CifReflStats& stats,
                             ErrorRecord& err);

// The weighting scheme: _refine_ls_weighting_scheme ("sigma", "unit",
// "calc") and the formula of _refine_ls_weighting_details.
struct CifWeighting {
  std::string Scheme, Details;
};
CifWeighting CifWeightingText(const RefWeightOpt& o);

// What the report is built from besides the structure.
struct CifSources {
  std::string DataName = "tarn";  // block name of the structure
  std::optional<CifRefSummary> Summary;
  const DistResults* Dist = nullptr;  // the geometry; nullptr: no geometry loops
  std::optional<CifReflStats> Refl;
  double SigLevel = 3.;
  std::optional<CifWeighting> Weighting;  // from the refinement commands
  std::optional<int> NConstraints;        // constraint commands (equation, restric, keep)
  std::optional<std::array<double, 3>> DiffDensity;  // max, min, rms of the difference map, e/A^3
  // Atoms (names, upper case) of the refinement commands: in geometric
  // restraints, in ADP restraints, with an occupancy tied by an equation or
  // a restriction; they give the _atom_site_refinement_flags_* columns.
  std::set<std::string> PosnRestrained, AdpRestrained, OccConstrained;
  std::string FcfName;              // the structure-factor file, named in section 11
  const PwdPrf* Profile = nullptr;  // powder: the profile file of the first block
  // Embedded files: extension and text.
  std::vector<std::pair<std::string, std::string>> Files;
};

// Disorder groups of the atoms (names upper case -> part number, not 0), read
// from the "! PART n: names" lines of the M40 commands block.
std::map<std::string, int> CifDisorderParts(const AtomModel& m);

// The report document: the global block with sections 1 to 4, the
// structure's block with sections 5 to 11 and the embedded files.
CifDoc CIFMakeTemplate(const Structure& s, const CifDict& dict, const CifSources& src);

// The extensions embedded by default and the data name key of each
// embeddable extension (0 when not embeddable).
inline const std::vector<std::string> CifDefaultEmbedded = {".m40", ".m50", ".m90"};
int CifFileKey(std::string_view ext);
// The comment lines written before an embedded file and its closing lines.
std::vector<std::string> WriteCIFHeader(std::string_view ext);
std::vector<std::string> WriteCIFFooter(std::string_view ext);
// Reads the embedded files of the structure's files into src.Files.
void CIFIncludeTarnFiles(const std::string& fln, const std::vector<std::string>& exts,
                         CifSources& src);

struct CifOptions {
  int FcfCode = FcfFc2Fo2;
  bool KeepUserItems = true;  // false: a fresh report (CIF make)
  std::vector<std::string> Embedded = CifDefaultEmbedded;
  // CIFs of the user's merged into the report (CIFUpdateFromUserFile), in
  // order, after the items kept from the earlier fln.cif.
  std::vector<std::string> UserFiles;
  // Max, min and rms (e/A^3) of the last difference map, when it belongs to
  // the current model.
  std::optional<std::array<double, 3>> DiffDensity;
};

// Writes fln.cif and fln.fcf of the open structure s (Sess.fln), running the
// distance tool first when fln.dis is absent or older than M40. Parts that
// cannot be made are reported and left out; returns 1 only when the report
// could not be written (or an earlier fln.cif could not be read, so that the
// user's items would be lost, or a user file named in opt cannot be read:
// then nothing is written).
[[nodiscard]] int CIFUpdate(const Structure& s, const CifOptions& opt = {});

// What a CIF run wrote and which of its parts are missing.
struct CifRunResult {
  std::vector<std::string> Files;     // files written (fln.cif, fln.fcf)
  std::vector<std::string> Problems;  // parts left out or unknown (empty: complete)
};
[[nodiscard]] int CIFUpdate(const Structure& s, const CifOptions& opt, CifRunResult& out);

}  // namespace tarn
