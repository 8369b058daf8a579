// Distance tool: all distances and angles up to 3.2 A for a 300-atom
// asymmetric unit in P2(1)/c (random positions at an organic density of about
// 18 A^3 per atom), with uncertainties, descriptors and the listing.
#include <benchmark/benchmark.h>

#include "bench_structure.hpp"
#include "dist/dist.hpp"

namespace tarn::bench {
namespace {

void BM_DistP21c300(benchmark::State& state) {
  std::mt19937 rng(7);
  BenchPhase({20., 25., 45., 90., 100., 90.}, {"x y z", "-x y+1/2 -z+1/2"}, {"C", "N", "O"});
  Struct.Basic.Phase[0].Centro = true;
  if (SetBasicM50(Struct.Basic)) std::abort();
  BenchAtoms(300, rng, false);
  DistCommands c;
  if (DistReadCommands("dist\n  dmax 3.2 angles 1\nend dist\n", c, 0)) std::abort();
  const DistTables tables;
  size_t pairs = 0;
  for (auto _ : state) {
    DistResults r;
    if (DistRun(Struct, c, tables, r)) std::abort();
    pairs = 0;
    for (const auto& co : r.Coord) pairs += co.Neigh.size() + co.Angles.size();
    benchmark::DoNotOptimize(r.Listing.data());
  }
  state.counters["distances+angles"] = static_cast<double>(pairs);
}
BENCHMARK(BM_DistP21c300)->Unit(benchmark::kMillisecond);

// The same with the s.u. through a full covariance matrix of the 900
// coordinates (a refinement's fln.cov).
void BM_DistP21c300Cov(benchmark::State& state) {
  std::mt19937 rng(7);
  BenchPhase({20., 25., 45., 90., 100., 90.}, {"x y z", "-x y+1/2 -z+1/2"}, {"C", "N", "O"});
  Struct.Basic.Phase[0].Centro = true;
  if (SetBasicM50(Struct.Basic)) std::abort();
  BenchAtoms(300, rng, false);
  auto cov = std::make_shared<CovMatrix>();
  for (const auto& a : Struct.Model.Atom)
    for (const char* x : {" x", " y", " z"}) cov->Names.push_back(a.Name + x);
  const auto n = static_cast<Eigen::Index>(cov->Names.size());
  const Eigen::MatrixXd m = Eigen::MatrixXd::Random(n, n) * 1e-3;
  cov->V = m * m.transpose() / static_cast<double>(n) + Eigen::MatrixXd::Identity(n, n) * 1e-8;
  DistCommands c;
  if (DistReadCommands("dist\n  dmax 3.2 angles 1\nend dist\n", c, 0)) std::abort();
  const DistTables tables;
  for (auto _ : state) {
    DistResults r;
    if (DistRun(Struct, c, tables, r, cov)) std::abort();
    benchmark::DoNotOptimize(r.Listing.data());
  }
}
BENCHMARK(BM_DistP21c300Cov)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarn::bench
