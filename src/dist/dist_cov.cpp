#include "dist/dist_cov.hpp"

#include <cmath>
#include <unordered_map>

#include "util/strings.hpp"

namespace tarn {

namespace {

constexpr const char* kCellNames[6] = {"a", "b", "c", "alpha", "beta", "gamma"};
constexpr const char* kXyz[3] = {"x", "y", "z"};

}  // namespace

void DistIndexCov(DistPhase& ph) {
  ph.CovAtom.assign(ph.Atoms.size(), {-1, -1, -1});
  ph.CovCell.fill(-1);
  if (!ph.Cov) return;
  std::unordered_map<std::string, int> row;
  for (size_t i = 0; i < ph.Cov->Names.size(); ++i)
    row.emplace(ToUpper(ph.Cov->Names[i]), static_cast<int>(i));
  auto find = [&row](const std::string& name) {
    const auto it = row.find(ToUpper(name));
    return it == row.end() ? -1 : it->second;
  };
  for (size_t a = 0; a < ph.Atoms.size(); ++a)
    for (int k = 0; k < 3; ++k)
      ph.CovAtom[a][static_cast<size_t>(k)] = find(ph.Atoms[a].Name + " " + kXyz[k]);
  for (int k = 0; k < 6; ++k)
    ph.CovCell[static_cast<size_t>(k)] = find(std::string("cell ") + kCellNames[k]);
  // Molecule positions: "<position> phi chi psi" and "<position> tx ty tz"
  // are the rows "molpos <position> phi", ...; the model atoms have none.
  for (auto& t : ph.Extra) {
    const auto w = SplitWords(t.Name);
    if (w.size() != 4 || t.Name.find(':') != std::string::npos) continue;
    for (int k = 0; k < 3; ++k)
      t.Cov[static_cast<size_t>(k)] = find("molpos " + w[0] + " " + w[static_cast<size_t>(1 + k)]);
  }
}

double DistSuCov(const DistPhase& ph, const DistGrad& g, const CovMatrix& cov) {
  // Only the rows the quantity depends on: g^T V g over a handful of them.
  std::vector<int> idx;
  std::vector<double> der;
  idx.reserve(24);
  der.reserve(24);
  double rest = 0.;
  auto add = [&](int i, double d, double su) {
    if (i < 0) {
      rest += d * d * su * su;
      return;
    }
    for (size_t k = 0; k < idx.size(); ++k)
      if (idx[k] == i) {
        der[k] += d;
        return;
      }
    idx.push_back(i);
    der.push_back(d);
  };
  for (const auto& [atom, dx] : g.Atom) {
    if (atom >= DistExtraKey) {
      const DistParTriple& t = ph.Extra[static_cast<size_t>(atom - DistExtraKey)];
      for (int k = 0; k < 3; ++k) add(t.Cov[static_cast<size_t>(k)], dx[k], t.Su[k]);
      continue;
    }
    const auto a = static_cast<size_t>(ph.FromModel[static_cast<size_t>(atom)]);
    for (int k = 0; k < 3; ++k)
      add(a < ph.CovAtom.size() ? ph.CovAtom[a][static_cast<size_t>(k)] : -1, dx[k],
          ph.Atoms[a].XSu[k]);
  }
  for (int k = 0; k < 6; ++k) add(ph.CovCell[static_cast<size_t>(k)], g.Cell[k], ph.Cell.Su[k]);
  double v = 0.;
  for (size_t a = 0; a < idx.size(); ++a)
    for (size_t b = 0; b < idx.size(); ++b) v += der[a] * der[b] * cov.V(idx[a], idx[b]);
  return std::sqrt(std::max(0., v) + rest);
}

}  // namespace tarn
