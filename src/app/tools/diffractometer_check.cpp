// The dialog "Diffractometer check": cell from UB, hkl <-> angles.
#include "app/tools/diffractometer_check.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string>
#include <vector>

#include "datared/geometry.hpp"
#include "model/refl.hpp"
#include "model/structure.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

namespace {

namespace geommsg {
constexpr std::string_view Header = "Diffractometer check";
constexpr std::string_view FieldUB = "Orientation matrix UB, row by row (1/A)";
constexpr std::string_view FieldLambda = "Wavelength (A)";
constexpr std::string_view FieldHkl = "Indices h k l (empty: none)";
constexpr std::string_view FieldAngles = "Angles 2theta omega chi phi (empty: none)";
constexpr std::string_view BadField = "The field \"{}\" does not read: \"{}\".";
constexpr std::string_view Singular = "The orientation matrix is singular.";
constexpr std::string_view Cell = "Cell from UB: {:.4f} {:.4f} {:.4f} {:.3f} {:.3f} {:.3f}";
constexpr std::string_view Angles =
    "h k l = {} -> 2theta {:.3f}, omega {:.3f}, chi {:.3f}, phi {:.3f} (bisecting)";
constexpr std::string_view Unreachable = "h k l = {} cannot be reached at this wavelength.";
constexpr std::string_view Indices = "Angles {} -> h k l = {:.3f} {:.3f} {:.3f}";
}  // namespace geommsg

bool Numbers(const std::string& s, size_t n, double* v) {
  const auto w = SplitWords(s);
  if (w.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    const auto x = ToReal(w[i]);
    if (!x) return false;
    v[i] = *x;
  }
  return true;
}

}  // namespace

void DRTestDiffractometer() {
  double ub[9] = {}, lambda = 0.71073;
  for (const M95Block& b : Struct.Refl.M95)
    if (b.OrMat.size() == 9 &&
        std::any_of(b.OrMat.begin(), b.OrMat.end(), [](double v) { return v != 0.; })) {
      std::copy(b.OrMat.begin(), b.OrMat.end(), ub);
      if (b.Lambda > 0.) lambda = b.Lambda;
      break;
    }
  std::string ubtext;
  for (double v : ub) ubtext += fmt::format("{} ", v);
  std::vector<ReportField> f = {{std::string(geommsg::FieldUB), std::string(Trim(ubtext))},
                                {std::string(geommsg::FieldLambda), fmt::format("{}", lambda)},
                                {std::string(geommsg::FieldHkl), "1 0 0"},
                                {std::string(geommsg::FieldAngles), ""}};
  const std::string head(geommsg::Header);
  while (Report().EditFields(head, f)) {
    double l = 0., h[3], ang[4];
    std::vector<std::string> out;
    auto bad = [&](const ReportField& x) {
      ReportError(head, {fmt::format(fmt::runtime(geommsg::BadField), x.Label, x.Value)});
    };
    if (!Numbers(f[0].Value, 9, ub)) {
      bad(f[0]);
      continue;
    }
    if (!Numbers(f[1].Value, 1, &l) || !(l > 0.)) {
      bad(f[1]);
      continue;
    }
    double cell[6];
    if (DRCellFromUB(ub, cell)) {
      ReportError(head, {std::string(geommsg::Singular)});
      continue;
    }
    out.push_back(fmt::format(fmt::runtime(geommsg::Cell), cell[0], cell[1], cell[2], cell[3],
                              cell[4], cell[5]));
    if (!Trim(f[2].Value).empty()) {
      if (!Numbers(f[2].Value, 3, h)) {
        bad(f[2]);
        continue;
      }
      DiffAngles a;
      if (DRHKLToAngles(ub, l, h, a) == 0)
        out.push_back(fmt::format(fmt::runtime(geommsg::Angles), Trim(f[2].Value), a.TTh, a.Omega,
                                  a.Chi, a.Phi));
      else
        out.push_back(fmt::format(fmt::runtime(geommsg::Unreachable), Trim(f[2].Value)));
    }
    if (!Trim(f[3].Value).empty()) {
      if (!Numbers(f[3].Value, 4, ang)) {
        bad(f[3]);
        continue;
      }
      if (DRAnglesToHKL(ub, l, DiffAngles{ang[0], ang[1], ang[2], ang[3]}, h) == 0)
        out.push_back(
            fmt::format(fmt::runtime(geommsg::Indices), Trim(f[3].Value), h[0], h[1], h[2]));
    }
    ReportInfo(head, out);
  }
}

}  // namespace tarn
