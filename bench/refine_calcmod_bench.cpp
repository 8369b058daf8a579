#include <benchmark/benchmark.h>

#include <complex>
#include <string>
#include <vector>

#include "model/basic.hpp"
#include "model/structure.hpp"
#include "refine/calc_mod.hpp"

namespace {

// (3+d)-dimensional phase: C-centred, 2-fold with internal shift 1/2 and the
// inversion (8 operators with centring), q1 = (0.1, 0, 0.37); 10 atoms. d = 1:
// two harmonic position waves each; d = 2 (q2 = (0, 0.21, 0.13)): three waves
// along q1, q2 and q1 + q2 (integration over the internal torus).
struct ModModel {
  std::vector<tarn::AtomRec> Atoms;
  std::vector<tarn::ModAtomPrep> Prep;
  std::vector<std::array<int, 5>> Refl;
  bool Ok = true;
};

ModModel MakeModel(int method, int d) {
  ModModel mm;
  tarn::Struct.Basic = tarn::BasicData{};
  tarn::Struct.Basic.Phase.resize(1);
  tarn::Struct.Basic.DatBlock.resize(1);
  tarn::PhaseBasic& ph = tarn::Struct.Basic.Phase[0];
  const double cell[6] = {5, 6, 7, 90, 90, 90};
  std::copy(cell, cell + 6, ph.Cell);
  ph.NDim = 3 + d;
  ph.Qi = {{0.1, 0., 0.37}};
  ph.Lattice = "C";
  ph.Centro = true;
  ph.SymmText = {"x1 x2 x3 x4", "-x1 -x2 x3 x4+1/2"};
  if (d == 2) {
    ph.Qi.push_back({0., 0.21, 0.13});
    ph.SymmText = {"x1 x2 x3 x4 x5", "-x1 -x2 x3 x4+1/2 x5"};
  }
  ph.AtType = {"Fe"};
  if (tarn::SetBasicM50(tarn::Struct.Basic) != 0) mm.Ok = false;
  tarn::Struct.Model = tarn::AtomModel{};
  tarn::Struct.Model.Phase.resize(1);
  if (d == 2) tarn::Struct.Model.Phase[0].Opt = {tarn::M40Option{2, {"1", "0", "0", "1", "1", "1"}}};
  tarn::AtomShape sh;
  sh.NWave[1] = d == 2 ? 3 : 2;
  for (int i = 0; i < 10; ++i) {
    tarn::AtomRec a;
    a.Name = "A" + std::to_string(i + 1);
    a.Shape = sh;
    const tarn::AtomLayoutInfo l = tarn::AtomLayout(sh);
    a.Par.resize(l.NPar);
    a.Par.Val[0] = 1.;
    for (int j = 0; j < 3; ++j) a.Par.Val[l.Off[tarn::BlkPos] + j] = 0.05 + 0.09 * i + 0.13 * j;
    const double b[6] = {0.008, 0.006, 0.004, 0.0005, 0.0002, -0.0003};
    for (int c = 0; c < 6; ++c) a.Par.Val[l.Off[tarn::BlkAdp] + c] = b[c];
    for (int k = 0; k < 6 * sh.NWave[1]; ++k)
      a.Par.Val[l.Off[tarn::BlkPosWave] + k] = 0.02 * ((i * 7 + k * 3) % 5 - 2) / 2.;
    tarn::ModAtomPrep p;
    if (tarn::CalcmPrepare(p, a, 0, method) != 0) mm.Ok = false;
    mm.Atoms.push_back(a);
    mm.Prep.push_back(p);
  }
  // 5,000 reflections with h + k even, satellites up to |m| = 2 (d = 2: |m1|, |m2| <= 1).
  const int m2max = d == 2 ? 1 : 0, m1max = d == 2 ? 1 : 2;
  for (int h = -12; h <= 12 && mm.Refl.size() < 5000; ++h)
    for (int k = -12; k <= 12 && mm.Refl.size() < 5000; ++k)
      for (int l = 0; l <= 10 && mm.Refl.size() < 5000; ++l)
        for (int m = -m1max; m <= m1max && mm.Refl.size() < 5000; ++m)
          for (int m2 = -m2max; m2 <= m2max && mm.Refl.size() < 5000; ++m2)
            if ((h + k) % 2 == 0) mm.Refl.push_back({h, k, l, m, m2});
  return mm;
}

// One pass over 5,000 reflections and 10 atoms; arg 0: method (0 Bessel, 1
// integration), arg 1: with derivatives, arg 2: d.
void BM_Calcm_Pass(benchmark::State& state) {
  const int method = static_cast<int>(state.range(0));
  const bool der = state.range(1) != 0;
  ModModel mm = MakeModel(method, static_cast<int>(state.range(2)));
  if (!mm.Ok) state.SkipWithError("model set-up failed");
  std::vector<double> dr(64), di(64);
  for (auto _ : state) {
    std::complex<double> sum = 0.;
    for (const auto& h : mm.Refl)
      for (size_t a = 0; a < mm.Atoms.size(); ++a) {
        std::complex<double> g;
        const int rc =
            method == 0
                ? tarn::Calcm1(mm.Prep[a], mm.Atoms[a], h.data(), g, der ? dr.data() : nullptr,
                               der ? di.data() : nullptr, nullptr)
                : tarn::Calcm2(mm.Prep[a], mm.Atoms[a], h.data(), g, der ? dr.data() : nullptr,
                               der ? di.data() : nullptr, nullptr);
        if (rc != 0) state.SkipWithError("numerical problem");
        sum += g;
      }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(mm.Refl.size()));
}
BENCHMARK(BM_Calcm_Pass)
    ->ArgsProduct({{0, 1}, {0, 1}, {1, 2}})
    ->ArgNames({"method", "der", "d"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
