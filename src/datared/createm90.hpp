#pragma once
// Creation of the refinement reflection file M90 from the imported
// reflection blocks of M95: selection, transformation, averaging of
// equivalents and the ".rre" listing.
#include <string>
#include <vector>

#include "datared/average.hpp"
#include "model/basic.hpp"
#include "model/refl.hpp"

namespace tarn {

// The reflection blocks (0-based) feeding each data block: a block with
// "correspond" N joins data block N when that exists, every other block
// starts a data block of its own.
std::vector<std::vector<int>> DRDataBlockFeeds(const std::vector<M95Block>& b95);

// True for the codes of the SHELX reflection formats, whose data blocks are
// merged with the SHELX weighting (AveShelxWeight).
bool DRIsShelxFormat(int difcode);

// Averaging settings of a data block (its M90 header keywords) and the cell
// geometry of a phase.
AveSettings DRAveSettingsFromM90(const M90Block& b, const PhaseBasic& phase);

// The reflections of one M95 block as M90 creation uses them, one entry per
// record in file order, without the columns it does not read.
struct M95Lean {
  int NDim95 = 3;
  std::vector<int> H;                   // NDim95 indices per record
  std::vector<double> I, SigI;          // as read (corrections removed)
  std::vector<double> FrameInRun;       // frame within its run
  std::vector<int> Run, ITw;            // run (1-based) and twin domain
  std::vector<unsigned char> Excluded;  // record flag non-zero
  size_t Size() const { return I.size(); }
  void Reserve(size_t n);
  void Add(const M95Refl& r);
  // The record as an M95Refl (columns not kept are left at their defaults).
  void Get(size_t i, M95Refl& r) const;
};

// What the merge of one data block gave, for the summaries of the run.
// R values are fractions.
struct EM9MergeSummary {
  std::string Block;       // data-block name
  int NRead = 0;           // records of the M95 blocks taken in (excluded records not counted)
  int NRejected = 0;       // of them rejected: absences, non-integer indices, sin(theta) > 1
  int NExtinct = 0;        // of the rejected, the systematically absent
  int NMeasured = 0;       // measurements averaged
  int NUnique = 0;         // averaged (unique) reflections
  int NObs = 0;            // of them observed
  double RintObs = 0.;     // sum|I - I(ave)| / sum I over the observed groups
  double RintAll = 0.;     // the same over all groups
  double RintMulti = 0.;   // the same over groups of two or more measurements
  double RexpObs = 0.;     // sum sig(I(ave)) / sum I(ave), observed
  double RexpAll = 0.;     // the same, all
  double Completeness = -1.;  // measured / possible unique main reflections to SinThLMax; -1 unknown
  double SinThLMax = 0.;   // largest sin(theta)/lambda of the data, 1/A
  // What gives the reflection conditions applied: the operators with a
  // translation, as text ("-x+1/2 -y z+1/2"), and the centring vectors
  // ("centring 0 1/2 1/2"); empty when the group has none.
  std::vector<std::string> Conditions;
  // By shells of sin(theta)/lambda (equal reciprocal volume, kAveShells of
  // them): the upper limit (1/A), Rint over all groups (fraction) and the
  // mean I/sigma of the unique reflections; shells without data are left out.
  std::vector<double> ShellS, ShellRint, ShellISig;
};

// One single-crystal data block from the reflections of the M95 blocks
// `feeds` (0-based): rescaling, index transformation ("trmat", n x n applied
// as h' = T.h), rejection of reflections with non-integer indices,
// systematic absences and sin(theta) > 1, averaging under the point group of
// the phase, statistics. Fills out (averaged reflections, intensities times
// "sctom90") and appends the listing lines. Returns 1 with the message in
// lst when no reflection is left or the indices cannot be averaged.
[[nodiscard]] int EM9CreateM90Single(const std::vector<M95Block>& b95,
                                     const std::vector<std::vector<M95Refl>>& r95,
                                     const std::vector<int>& feeds, const PhaseBasic& phase,
                                     M90Block& b90, std::vector<M90Refl>& out,
                                     std::vector<std::string>& lst);

// The same from the compact lists of the blocks.
[[nodiscard]] int EM9CreateM90Single(const std::vector<M95Block>& b95,
                                     const std::vector<M95Lean>& r95, const std::vector<int>& feeds,
                                     const PhaseBasic& phase, M90Block& b90,
                                     std::vector<M90Refl>& out, std::vector<std::string>& lst,
                                     EM9MergeSummary* summary = nullptr);

// The action: reads base + ".m95", makes the data blocks of DRDataBlockFeeds
// (several blocks of one data block brought to a common scale and merged;
// settings from the data blocks already in Refl.M90, else defaults from the
// header of the first M95 block), writes base + ".m90" and the listing
// base + ".rre". Nothing is written when a block fails. Returns 0 on success,
// with one summary per data block.
[[nodiscard]] int EM9CreateM90(const std::string& base, std::vector<EM9MergeSummary>& summary);
[[nodiscard]] int EM9CreateM90(const std::string& base);

}  // namespace tarn
