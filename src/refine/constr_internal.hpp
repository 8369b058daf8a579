#pragma once
// Helpers shared by the files of the parameter constraints.
#include <string>
#include <string_view>

#include "refine/constr.hpp"

namespace tarn {

// Atom block (AtBlock) of a site-symmetry block (SitePar), -1 when none.
int AtomBlockOfSite(int kind);
// "x[C2]=0.5-x[C1]" over the labels of the full vector.
std::string RefEqText(const RefParams& p, const RefEq& e);
// Appends a listing line; warnings are counted.
void RefListLine(RefParams& p, std::string line, bool warning);
// Name matching with "*" (any run) and "?" (one character), case ignored.
bool RefWildMatch(std::string_view pat, std::string_view s);

}  // namespace tarn
