#pragma once
// Edit lines of the atom model, one edit per line (docs/batch.md,
// ".Edit->Atoms"):
//   add NAME ELEMENT x y z [Uiso]     new isotropic atom
//   delete NAME...                    (wildcards "*", "?")
//   rename OLD NEW
//   element NAME... ELEMENT
//   occupancy NAME... VALUE
//   aniso NAME...|*                   U_ij from Uiso
//   iso NAME...|*                     Uiso = Ueq
//   keys NAME...|*                    reset the refinement keys
//   sort
//   peaks N ELEMENT                   strongest N "Fourier maxima" as atoms
//   peak LABEL ELEMENT [NAME]         one maximum by its label
//   hydrogens [map] *|NAME...         riding hydrogens (edit/hydrogens.hpp);
//                                     "map": rotating groups by the difference map
//   molecule NAME ATOM... [ref x y z] the atoms become a rigid molecule
//                                     (edit/molecules.hpp)
//   position MOL phi chi psi tx ty tz [ai [NAME]]   a new position of MOL
//   delete-position NAME...
//   delete-molecule NAME...
// The lines change a working copy; the caller takes it only when every line
// applied. Refinement commands that name deleted atoms are dropped, renamed
// atoms are renamed in them, and the hydrogens add keep and equation lines.
#include <string>
#include <string_view>
#include <vector>

#include "edit/hydrogens.hpp"
#include "model/structure.hpp"
#include "refine/refcommands.hpp"

namespace tarn {

struct AtomEditRun {
  Structure St;                       // working copy
  int Phase = 1;                      // phase of new atoms (1-based)
  double TempK = 0.;                  // data-collection temperature (0: unknown)
  std::vector<std::string> Keep;      // "keep" arguments to add to the refinement block
  std::vector<std::string> Equation;  // "equation" arguments to add
  std::vector<std::string> DistFix;   // "distfix" arguments to add (water hydrogens)
  // The difference density at a fractional position, for "hydrogens map";
  // empty when no difference map can be had.
  HydroDensity Density;
  std::vector<std::string> Deleted;                          // names of deleted atoms
  std::vector<std::pair<std::string, std::string>> Renamed;  // old, new
  std::vector<std::string> Listing;                          // one line per change, for the user
  bool PeaksChanged = false;                                 // "Fourier maxima" taken
};

// EM40EditLine: applies one edit line to run.St; 1 with `why` when the line is
// wrong (nothing of it applied).
[[nodiscard]] int EM40EditLine(AtomEditRun& run, std::string_view line, std::string& why);

// The refinement block's lines after the run: lines that name a deleted atom
// are dropped (noted in run.Listing), renamed atoms renamed, then the keep
// and equation lines of the run appended. True when anything changed.
bool EM40EditRefineLines(AtomEditRun& run, RefSettings& s);

}  // namespace tarn
