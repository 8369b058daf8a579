#pragma once
// Distances of modulated structures as functions of the internal coordinate t.
//
// An atom of average position xb carries the displacement u(xb4) of its
// position waves, xb4 = q.xb + t (d components, q the modulation vectors).
// A superspace operator (R, RM, RI; s, s4) maps it to the image of average
// position xb' = R xb + s (+ lattice), whose argument at section t is
// xb4' = q.xb' + t, and whose displacement is R u(xb4) with
// xb4 = RI^-1 (xb4' - RM xb - s4). A crenel atom exists only where its xb4
// lies on its interval. Position waves are evaluated as harmonic waves or on
// the atom's orthogonal function set, a sawtooth adds its linear displacement
// and exists only on its interval; occupancy waves give the occupancy at t.
// Atoms of composite parts are placed through their part's W matrix
// (DistPart). Waves without known wave vectors are not evaluated
// (DistModel::Unsupported names their atoms).
#include <array>
#include <functional>
#include <vector>

#include "dist/dist_commands.hpp"
#include "dist/dist_search.hpp"
#include "model/modfun.hpp"
#include "model/structure.hpp"

namespace tarn {

struct DistModel {
  int D = 0;                // modulation vectors
  std::array<Vec3, 3> Q{};  // the vectors q
  ModWaves Waves;
  struct Atom {
    int NWave = 0;
    std::vector<double> Amp;  // per wave: sin x y z, cos x y z
    int NOccWave = 0;
    std::vector<double> OccAmp;  // per wave: sin, cos
    bool Ortho = false;          // waves on the orthogonal sets below
    FPolSet PosSet, OccSet;
    bool Crenel = false;
    double X40 = 0., Delta = 1.;
    bool Saw = false;
    std::array<double, 3> USaw{};
    double SawX40 = 0., SawDelta = 1.;
    double MaxDisp = 0.;  // bound of the displacement, A
  };
  std::vector<Atom> Atoms;  // parallel to DistPhase::Atoms
  struct Op {
    std::array<double, 9> RM{};    // d x 3, row-major
    std::array<double, 9> RIInv{};  // d x d, row-major
    std::array<double, 3> S4{};     // internal translation (operator and centring)
  };
  std::vector<Op> Ops;                   // parallel to DistPhase::Ops
  // Composites: per part, the operators in the part's basis (physical block
  // R and translation T, and the internal rows as above).
  std::vector<std::vector<Op>> PartOps;
  std::vector<std::vector<Mat3>> PartR;
  std::vector<std::vector<Vec3>> PartT;
  std::vector<std::string> Unsupported;  // atoms whose modulation is not evaluated
};

// A distance over the t grid.
struct DistTCurve {
  std::vector<double> D;  // per grid point; negative where an atom does not exist
  std::vector<char> In;   // per grid point: the value counts (limits and occupancy hold)
  double Ave = 0., Min = 0., Max = 0.;
  int N = 0;  // grid points that count
};

// Limits a distance curve to the grid points where dmin <= d <= dmax and
// both occupancies at t exceed occcut, with average, minimum and maximum over
// those (limits < 0: not applied).
void DistModLimit(DistTCurve& c, double dmin, double dmax);

// The modulation of phase ph of s (ph built by DistMakePhase). Returns 1 after
// a message when the wave table of the phase cannot be read.
[[nodiscard]] int DistMakeModel(const Structure& s, const DistPhase& ph, DistModel& m);

// The t grid: per modulation dimension nooft points from tfirst (+ tzero);
// tlast = tfirst + 1 (the default: one period) leaves the last point out,
// as it repeats the first. Defaults: 0 to 1 in 100 (d = 1), 20 (d = 2) or
// 10 (d = 3) steps.
std::vector<std::array<double, 3>> DistTGrid(const DistCommands& c, int d);

// Position at section t of an atom under operator op and lattice shift n (the
// central atom: op 0, n 0); false when a crenel or sawtooth atom does not
// exist there. occ, when given, gets the occupancy factor of the waves at t.
bool DistModPosition(const DistPhase& ph, const DistModel& m, int atom, int op,
                     const std::array<int, 3>& n, const double* t, Vec3& x,
                     double* occ = nullptr);

// Composites: the neighbours of atom a among the images (part operators and
// part lattice translations) of the atoms b with accept(b), within dmax(b)
// of a at the first t of the grid or at some other t of it (the search reaches
// as far as the parts move against each other over the grid); the static
// distances and positions (DistNeighbour::X, reference basis) are those at
// the first t of the grid (DistPhase::T0).
std::vector<DistNeighbour> DistModAround(const DistPhase& ph, const DistModel& m, int a,
                                         const std::vector<std::array<double, 3>>& grid,
                                         const std::function<double(int)>& dmax,
                                         const std::function<bool(int)>& accept);

// Distance between atom a (at its own position) and neighbour nb over the
// grid; points where an occupancy at t is not above occcut do not count.
DistTCurve DistModDistance(const DistPhase& ph, const DistModel& m, int a, const DistNeighbour& nb,
                           const std::vector<std::array<double, 3>>& grid, double occcut = 0.);

// Angle B-A-C (degrees) over the grid, A at its own position.
DistTCurve DistModAngle(const DistPhase& ph, const DistModel& m, int a, const DistNeighbour& b,
                        const DistNeighbour& c, const std::vector<std::array<double, 3>>& grid);

}  // namespace tarn
