// Real indices of modulated crystals, and the readers of Tarn M90, Oxford
// Diffraction / Rigaku (.hkl with .cif_od) and Stoe IPDS files.
#include "datared/readers_more.hpp"
#include "model/structure.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "datared/geometry.hpp"
#include "datared/import_msg.hpp"
#include "util/files.hpp"
#include "model/m95m90.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

// Relative agreement of a cell derived from UB with the file's cell.
constexpr double kUBCellTol = 2e-3;

namespace msg {
constexpr std::string_view NoM90Block = "The file \"{}\" has no data block \"{}\".";
constexpr std::string_view M90Empty =
    "The data block \"{}\" of the file \"{}\" holds no reflections.";
constexpr std::string_view UBIgnored =
    "The orientation matrix of \"{}\" does not agree with its cell and was not taken.";
constexpr std::string_view NoCompanion =
    "No file \"{}\" was found: the block has no cell, wavelength or orientation matrix.";
constexpr std::string_view SumNotSupported =
    "The orientation file \"{}\" is a .sum file, which is not supported yet; choose the .cif_od "
    "file of the data set.";
constexpr std::string_view NotResolved =
    "expected indices within {} of main reflection + satellite positions (best distance {:.3f})";
}  // namespace msg

// "8.3992(4)" -> 8.3992
bool NumberEsd(std::string_view s, double& v) {
  const size_t p = s.find('(');
  const auto r = ToReal(Trim(p == std::string_view::npos ? s : s.substr(0, p)));
  if (!r) return false;
  v = *r;
  return true;
}

}  // namespace

// ---- real indices ---------------------------------------------------------------------

int drreadreftrrealind(const std::vector<double>& tr, const double* hr, const ImpModulation& mod,
                       int* hout, double* resid) {
  double h[3] = {hr[0], hr[1], hr[2]};
  if (tr.size() == 9)
    for (int i = 0; i < 3; ++i)
      h[i] = tr[3 * i] * hr[0] + tr[3 * i + 1] * hr[1] + tr[3 * i + 2] * hr[2];
  const int nq = std::min(static_cast<int>(mod.Q.size()), kReflMaxNDim - 3);
  int mmax[kReflMaxNDim - 3] = {};
  for (int i = 0; i < nq; ++i)
    mmax[i] = i < static_cast<int>(mod.MMax.size()) ? std::max(mod.MMax[i], 0) : 1;
  // Walk the box of satellite indices m_i in [-mmax_i, mmax_i] like an odometer.
  int m[kReflMaxNDim - 3];
  for (int i = 0; i < nq; ++i) m[i] = -mmax[i];
  double best = 1e30;
  int bestsum = 0, bestm[kReflMaxNDim - 3] = {};
  while (true) {
    double dist = 0.;
    for (int j = 0; j < 3; ++j) {
      double v = h[j];
      for (int i = 0; i < nq; ++i) v -= m[i] * mod.Q[i][j];
      dist = std::max(dist, std::abs(v - std::round(v)));
    }
    int sum = 0;
    for (int i = 0; i < nq; ++i) sum += std::abs(m[i]);
    // A tie within rounding noise goes to the lower satellite order.
    if (dist < best - 1e-9 || (std::abs(dist - best) <= 1e-9 && sum < bestsum)) {
      best = dist;
      bestsum = sum;
      std::copy(m, m + nq, bestm);
    }
    int i = 0;
    while (i < nq && m[i] == mmax[i]) {
      m[i] = -mmax[i];
      ++i;
    }
    if (i == nq) break;
    ++m[i];
  }
  if (resid) *resid = best;
  if (best > kRealIndTol) return 1;
  for (int j = 0; j < 3; ++j) {
    double v = h[j];
    for (int i = 0; i < nq; ++i) v -= bestm[i] * mod.Q[i][j];
    const double r = std::round(v);
    if (std::abs(r) > kImpMaxIndex) return 1;
    hout[j] = static_cast<int>(r);
  }
  std::copy(bestm, bestm + nq, hout + 3);
  return 0;
}

int ReadRealIndicesText(std::string_view text, const std::string& file, const GeneralColumns& col,
                        bool on_f, const std::vector<double>& tr, const ImpModulation& mod,
                        ImpData& d) {
  ImpData out;
  out.File = file;
  out.NDim = 3 + std::min(static_cast<int>(mod.Q.size()), kReflMaxNDim - 3);
  out.OnF = on_f;
  const int need = std::max({col.H[0], col.H[1], col.H[2], col.I, col.Sig});
  const char* val = on_f ? "F" : "I";
  long no = 0;
  for (std::string_view line : ImpLines(text)) {
    ++no;
    const std::string_view t = Trim(line);
    if (t.empty() || t[0] == '#' || t[0] == '!') continue;
    const auto w = SplitWords(t);
    if (static_cast<int>(w.size()) < need)
      return ImpReadError(file, no, fmt::format("expected at least {} columns", need));
    double hr[3];
    for (int q = 0; q < 3; ++q) {
      const auto v = ToReal(w[col.H[q] - 1]);
      if (!v || std::abs(*v) > kImpMaxIndex)
        return ImpReadError(file, no, fmt::format("expected an index in column {}", col.H[q]));
      hr[q] = *v;
    }
    ImpRefl r;
    r.Line = no;
    const auto vi = ToReal(w[col.I - 1]), vs = ToReal(w[col.Sig - 1]);
    if (!vi)
      return ImpReadError(file, no,
                          fmt::format("expected {} as a number in column {}", val, col.I));
    if (!vs || !(*vs > 0.))
      return ImpReadError(file, no,
                          fmt::format("expected sigma({}) > 0 in column {}", val, col.Sig));
    r.I = *vi;
    r.SigI = *vs;
    double dist = 0.;
    if (drreadreftrrealind(tr, hr, mod, r.H, &dist))
      return ImpReadError(file, no, fmt::format(fmt::runtime(msg::NotResolved), kRealIndTol, dist));
    out.Refl.push_back(r);
  }
  if (out.Refl.empty()) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::NoReflections), file);
    return 1;
  }
  d = std::move(out);
  return 0;
}

int ReadRealIndices(const std::string& file, const GeneralColumns& col, bool on_f,
                    const std::vector<double>& tr, const ImpModulation& mod, ImpData& d) {
  std::string text;
  if (ImpReadText(file, text)) return 1;
  return ReadRealIndicesText(text, file, col, on_f, tr, mod, d);
}

// ---- Tarn M90 -------------------------------------------------------------------------

int DRBasicTarnM90(const std::string& file, const std::string& block, ImpData& d) {
  std::vector<M90Block> blocks;
  std::vector<std::vector<M90Refl>> refl;
  if (!FeFileExists(file)) {
    Imp.LastError = fmt::format(fmt::runtime(impmsg::CannotOpen), file);
    return 1;
  }
  if (ReadM90File(file, blocks, refl)) {
    Imp.LastError = Struct.Refl.LastError.Text();
    return 1;
  }
  size_t k = 0;
  if (!block.empty()) {
    while (k < blocks.size() && !EqIgnoreCase(Trim(blocks[k].Name), Trim(block))) ++k;
    if (k == blocks.size()) {
      Imp.LastError = fmt::format(fmt::runtime(msg::NoM90Block), file, block);
      return 1;
    }
  }
  if (blocks.empty() || refl[k].empty()) {
    Imp.LastError = fmt::format(fmt::runtime(msg::M90Empty),
                                blocks.empty() ? std::string("Block1") : blocks[k].Name, file);
    return 1;
  }
  const M90Block& b = blocks[k];
  ImpData out;
  out.File = file;
  out.NDim = b.NDim;
  out.Hklf5 = b.Hklf5 != 0;
  if (b.Lambda > 0.) out.Lambda = b.Lambda;
  out.Refl.reserve(refl[k].size());
  for (const M90Refl& r : refl[k]) {
    ImpRefl x;
    std::copy(r.H, r.H + kReflMaxNDim, x.H);
    x.I = r.I;
    x.SigI = r.SigI;
    // Reflections written without a sigma are kept apart from real data by the
    // readers of every other format; an M90 may carry sigma 0 for them.
    if (!(x.SigI > 0.)) continue;
    if (out.Hklf5) x.Batch = r.ITw;
    x.HasDirCos = b.XdDirCos != 0;
    if (x.HasDirCos) std::copy(r.DirCos, r.DirCos + 6, x.DirCos);
    out.Refl.push_back(x);
  }
  if (out.Refl.size() < refl[k].size())
    out.Notes.push_back(fmt::format("{} reflections without a positive sigma were skipped.",
                                    refl[k].size() - out.Refl.size()));
  if (out.Refl.empty()) {
    Imp.LastError = fmt::format(fmt::runtime(msg::M90Empty), b.Name, file);
    return 1;
  }
  d = std::move(out);
  return 0;
}

// ---- Oxford Diffraction / Rigaku ----------------------------------------------------------

int ReadCcdCompanionText(std::string_view text, const std::string& file, ImpData& d) {
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
        return ImpReadError(file, no, fmt::format("expected a number after \"{}\"", w[0]));
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
    if (!d.HasOrMat) d.Notes.push_back(fmt::format(fmt::runtime(msg::UBIgnored), file));
  }
  return 0;
}

int DRBasicKumaCCD(const std::string& hklfile, const std::string& companion, ImpData& d) {
  std::string comp = companion;
  if (comp.empty()) comp = std::filesystem::path(hklfile).replace_extension(".cif_od").string();
  if (!FeFileExists(comp)) {
    d.Notes.push_back(fmt::format(fmt::runtime(msg::NoCompanion), comp));
    return 0;
  }
  if (EqIgnoreCase(std::filesystem::path(comp).extension().string(), ".sum")) {
    Imp.LastError = fmt::format(fmt::runtime(msg::SumNotSupported), comp);
    return 1;
  }
  std::string text;
  if (ImpReadText(comp, text)) return 1;
  return ReadCcdCompanionText(text, comp, d);
}

int ReadKumaCCD(const std::string& file, const std::string& companion, int ndim, int prefer_ndim,
                ImpData& d) {
  const bool hklf5 = EqIgnoreCase(std::filesystem::path(file).extension().string(), ".hklf5");
  ImpData out;
  if (ReadShelxHkl(file, hklf5 ? 5 : 4, ndim, prefer_ndim, out)) return 1;
  if (DRBasicKumaCCD(file, companion, out)) return 1;
  d = std::move(out);
  return 0;
}

int DRBasicIPStoe(const std::string& file, int ndim, int prefer_ndim, ImpData& d) {
  const bool hklf5 = EqIgnoreCase(std::filesystem::path(file).extension().string(), ".hklf5");
  return ReadShelxHkl(file, hklf5 ? 5 : 4, ndim, prefer_ndim, d);
}

}  // namespace tarn
