// M40 reader and writer on a model of 5,000 anisotropic atoms (target: read
// and write each under 0.2 s).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "model/atoms.hpp"
#include "model/structure.hpp"
#include "model/basic.hpp"
#include "model/m40.hpp"

namespace {

using namespace tarn;

AtomModel BigModel(int natoms) {
  Struct.Basic.Phase.resize(1);
  Struct.Basic.Phase[0].AtType = {"C", "N", "O", "S"};
  AtomModel m;
  m.Phase.resize(1);
  m.DatBlock.resize(1);
  m.DatBlock[0].Scale.resize(1);
  m.DatBlock[0].Scale.Val[0] = 1.234567;
  for (int i = 0; i < natoms; i++) {
    AtomRec a;
    a.Name = "A" + std::to_string(i + 1);
    a.Type = 1 + i % 4;
    a.Shape.AdpOrder = i % 50 == 0 ? 3 : 2;  // a few anharmonic atoms
    a.Par.resize(AtomLayout(a.Shape).NPar);
    for (int j = 0; j < a.Par.size(); j++) {
      a.Par.Val[j] = std::sin(0.1 * i + j);
      a.Par.Key[j] = 1;
      a.Par.Sig[j] = 1.e-4 * (j + 1);
    }
    m.Atom.push_back(std::move(a));
  }
  SetBasicM40(m);
  return m;
}

std::string TmpName() {
  return "/tmp/tarn_m40_bench" + std::to_string(getpid()) + ".m40";
}

void BM_M40Write5000(benchmark::State& st) {
  AtomModel m = BigModel(5000);
  const std::string f = TmpName();
  for (auto _ : st)
    if (iom40only(M40Write, f, m)) st.SkipWithError("write failed");
  std::remove(f.c_str());
}
BENCHMARK(BM_M40Write5000)->Unit(benchmark::kMillisecond);

void BM_M40Read5000(benchmark::State& st) {
  AtomModel m = BigModel(5000);
  const std::string f = TmpName();
  if (iom40only(M40Write, f, m)) st.SkipWithError("write failed");
  for (auto _ : st) {
    AtomModel r;
    if (iom40only(M40Read, f, r)) st.SkipWithError("read failed");
    benchmark::DoNotOptimize(r.Atom.data());
  }
  std::remove(f.c_str());
}
BENCHMARK(BM_M40Read5000)->Unit(benchmark::kMillisecond);

}  // namespace
