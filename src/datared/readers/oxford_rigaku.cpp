// Oxford Diffraction / Rigaku CCD data: .hkl reflections and the .cif_od
// companion with cell, wavelength and orientation matrix.
#include "datared/readers/oxford_rigaku.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "datared/geometry.hpp"
#include "datared/readers/shelx.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Relative agreement of a cell derived from UB with the file's cell.
constexpr double kUBCellTol = 2e-3;

constexpr std::string_view kUBIgnored =
    "The orientation matrix of \"{}\" does not agree with its cell and was not taken.";
constexpr std::string_view kNoCompanion =
    "No file \"{}\" was found: the block has no cell, wavelength or orientation matrix.";
constexpr std::string_view kSumNotSupported =
    "The orientation file \"{}\" is a .sum file, which is not supported yet; choose the .cif_od "
    "file of the data set.";

// "8.3992(4)" -> 8.3992
bool NumberEsd(std::string_view s, double& v) {
  const size_t p = s.find('(');
  const auto r = ToReal(Trim(p == std::string_view::npos ? s : s.substr(0, p)));
  if (!r) return false;
  v = *r;
  return true;
}

}  // namespace

int ReadCcdCompanionText(std::string_view text, const std::string& file, ImpData& d,
                         ErrorRecord& err) {
  static constexpr const char* kCell[6] = {"_cell_length_a",   "_cell_length_b",
                                           "_cell_length_c",   "_cell_angle_alpha",
                                           "_cell_angle_beta", "_cell_angle_gamma"};
  double cell[6] = {}, ub[9] = {}, lambda = 0.;
  int ncell = 0, nub = 0;
  bool have_lambda = false;
  long no = 0;
  for (std::string_view line : ImpLines(text)) {
    ++no;
    const auto w = SplitWords(line);
    if (w.size() < 2 || w[0].empty() || w[0][0] != '_') continue;
    auto value = [&](double& v) {
      if (!NumberEsd(w[1], v))
        return ImpReadError(err, file, no, fmt::format("expected a number after \"{}\"", w[0]));
      return 0;
    };
    for (int i = 0; i < 6; ++i)
      if (EqIgnoreCase(w[0], kCell[i])) {
        if (value(cell[i])) return 1;
        ++ncell;
      }
    if (EqIgnoreCase(w[0], "_diffrn_radiation_wavelength")) {
      if (value(lambda)) return 1;
      have_lambda = lambda > 0.;
    }
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        if (EqIgnoreCase(w[0], fmt::format("_diffrn_orient_matrix_UB_{}{}", i + 1, j + 1))) {
          if (value(ub[3 * i + j])) return 1;
          ++nub;
        }
  }
  const bool have_cell = ncell == 6;
  if (have_cell) d.Cell.assign(cell, cell + 6);
  if (have_lambda) d.Lambda = lambda;
  d.HasOrMat = false;
  if (nub == 9 && have_cell) {
    // Some programs write UB multiplied by the wavelength (dimensionless):
    // the scale that reproduces the cell decides.
    for (const double s : {1., have_lambda ? 1. / lambda : 0.}) {
      if (s == 0.) continue;
      double m[9], c[6];
      for (int i = 0; i < 9; ++i) m[i] = ub[i] * s;
      if (DRCellFromUB(m, c)) break;
      bool ok = true;
      for (int i = 0; i < 6; ++i) ok = ok && std::abs(c[i] - cell[i]) <= kUBCellTol * cell[i];
      if (ok) {
        std::copy(m, m + 9, d.OrMat);
        d.HasOrMat = true;
        break;
      }
    }
    if (!d.HasOrMat) d.Notes.push_back(fmt::format(fmt::runtime(kUBIgnored), file));
  }
  return 0;
}

int DRBasicKumaCCD(const std::string& hklfile, const std::string& companion, ImpData& d,
                   ErrorRecord& err) {
  std::string comp = companion;
  if (comp.empty()) comp = std::filesystem::path(hklfile).replace_extension(".cif_od").string();
  if (!FeFileExists(comp)) {
    d.Notes.push_back(fmt::format(fmt::runtime(kNoCompanion), comp));
    return 0;
  }
  if (EqIgnoreCase(std::filesystem::path(comp).extension().string(), ".sum"))
    return ImpFail(err, comp, fmt::format(fmt::runtime(kSumNotSupported), comp));
  std::string text;
  if (ImpReadText(comp, text, err)) return 1;
  return ReadCcdCompanionText(text, comp, d, err);
}

int ImpReadKumaRecords(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  const bool hklf5 = EqIgnoreCase(std::filesystem::path(req.File).extension().string(), ".hklf5");
  return ReadShelxHkl(req.File, hklf5 ? 5 : 4, req.Opt.NDim, req.PreferNDim, d, err);
}

int ImpReadKumaHeader(const ImpRequest& req, ImpData& d, ErrorRecord& err) {
  return DRBasicKumaCCD(req.File, req.Opt.Companion, d, err);
}

}  // namespace tarn
