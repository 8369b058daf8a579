#pragma once
// Synthetic structures for the structure-factor and least-squares benchmarks:
// one phase with light-atom types, anisotropic atoms at random positions, and
// reflections in growing shells.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "model/atoms.hpp"
#include "model/structure.hpp"
#include "model/basic.hpp"
#include "refine/calc.hpp"

namespace tarn::bench {

// X-ray form-factor coefficients a1 b1 ... a4 b4 c (Vol. C Table 6.1.1.4).
inline const std::vector<double>& BenchFormFactor(const std::string& el) {
  static const std::vector<double> c = {2.31,   20.8439, 1.02,    10.2075, 1.5886,
                                        0.5687, 0.865,   51.6512, 0.2156};
  static const std::vector<double> n = {12.2126, 0.0057, 3.1322, 9.8933, 2.0125,
                                        28.9975, 1.1663, 0.5826, -11.529};
  static const std::vector<double> o = {3.0485, 13.2771, 2.2868,  5.7011, 1.5463,
                                        0.3239, 0.867,   32.9089, 0.2508};
  return el == "C" ? c : el == "N" ? n : o;
}

// One phase with the cell, operators and atom types; one data block (Mo K-alpha).
inline PhaseBasic& BenchPhase(const std::vector<double>& cell, const std::vector<std::string>& symm,
                              const std::vector<std::string>& types) {
  Struct.Basic = BasicData{};
  Struct.Basic.Phase.resize(1);
  Struct.Basic.DatBlock.resize(1);
  Struct.Basic.DatBlock[0].Lambda = 0.71073;
  PhaseBasic& ph = Struct.Basic.Phase[0];
  std::copy(cell.begin(), cell.end(), ph.Cell);
  ph.SymmText = symm;
  ph.AtType = types;
  ph.AtTypeData.resize(types.size());
  for (size_t i = 0; i < types.size(); ++i) ph.AtTypeData[i].FFBasic = BenchFormFactor(types[i]);
  if (SetBasicM50(Struct.Basic)) std::abort();
  return ph;
}

// nAtoms anisotropic atoms at random positions (types in turn), U about
// 0.02 A^2 with a small anisotropy, scale 1; with `refine` the scale and
// x, y, z and the six beta of every atom have key 1.
inline void BenchAtoms(int nAtoms, std::mt19937& rng, bool refine) {
  const PhaseBasic& ph = Struct.Basic.Phase[0];
  Struct.Model = AtomModel{};
  Struct.Model.DatBlock.resize(1);
  Struct.Model.DatBlock[0].Scale.resize(1);
  Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
  Struct.Model.DatBlock[0].Scale.Key[0] = refine ? 1 : 0;
  std::uniform_real_distribution<double> u(0., 1.);
  const int nTypes = static_cast<int>(ph.AtType.size());
  for (int i = 0; i < nAtoms; ++i) {
    AtomRec a = DefaultAtom();
    a.Name = "A" + std::to_string(i + 1);
    a.Type = 1 + i % nTypes;
    a.Par.resize(AtomLayout(a.Shape).NPar);
    a.Par.Val[0] = 1.;
    for (int k = 0; k < 3; ++k) a.Par.Val[static_cast<size_t>(1 + k)] = u(rng);
    const double* g = ph.MetTensI;
    const double f = 2. * 9.8696 * (0.015 + 0.01 * u(rng));  // beta = 2 pi^2 U a*_i a*_j
    a.Par.Val[4] = f * g[0];
    a.Par.Val[5] = f * g[4] * 1.1;
    a.Par.Val[6] = f * g[8] * 0.9;
    a.Par.Val[7] = 0.1 * f * std::sqrt(g[0] * g[4]);
    if (refine)
      for (int k = 1; k <= 9; ++k) a.Par.Key[static_cast<size_t>(k)] = 1;
    Struct.Model.Atom.push_back(a);
  }
}

// nRefl reflections in shells of growing max(|h|, k, l); h from -r with
// `negativeH`, else from 0.
inline std::vector<CalcRefl> BenchReflections(int nRefl, bool negativeH) {
  const PhaseBasic& ph = Struct.Basic.Phase[0];
  std::vector<CalcRefl> out;
  auto full = [&] { return static_cast<int>(out.size()) >= nRefl; };
  for (int r = 1; !full(); ++r)
    for (int h = negativeH ? -r : 0; h <= r && !full(); ++h)
      for (int k = 0; k <= r && !full(); ++k)
        for (int l = 0; l <= r && !full(); ++l) {
          if (std::max({std::abs(h), k, l}) != r) continue;
          CalcRefl c;
          c.H = {h, k, l, 0, 0, 0};
          double s = 0.;
          for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
              s += c.H[static_cast<size_t>(i)] * ph.MetTensI[3 * i + j] *
                   c.H[static_cast<size_t>(j)];
          c.SinThL = 0.5 * std::sqrt(s);
          out.push_back(c);
        }
  return out;
}

}  // namespace tarn::bench
