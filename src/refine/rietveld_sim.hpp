#pragma once
// "Simulation of powder profile": a pattern computed from the model and the
// instrument and profile parameters of a powder data block (M41), with
// Poisson counting noise from a seed, appended to the structure as a new
// powder data block (M95, M50, M40, M41) that the Rietveld run refines as it
// refines measured data. Constant wavelength or time of flight, as the block.
#include <string>
#include <vector>

#include "refine/rietveld.hpp"

namespace tarn {

struct RietSimSettings {
  int Block = 1;             // powder block (1-based among the powder blocks) giving the instrument
  unsigned Seed = 1;         // seed of the noise generator
  double MaxCounts = 1.e4;   // counts of the highest point above the background
  double From = 0., To = 0., Step = 0.;  // points (2theta deg or TOF us); Step 0: those of the block
};

namespace rsimmsg {
inline constexpr const char* Header = "Simulation of powder profile";
inline constexpr const char* BadLine =
    "Expected \"block N\", \"seed N\", \"counts C\" or \"range FROM TO STEP\" (C > 0, FROM < TO, STEP > 0), found \"{}\".";
inline constexpr const char* NoBlock = "The structure has no powder data block {} to take the instrument from.";
inline constexpr const char* Written = "{} simulated points written to \"{}\" as powder data block {}.";
}  // namespace rsimmsg

// Reads the settings from words "block N", "seed N", "counts C", "range FROM
// TO STEP" (any order, each optional); 1 with the message in err.
[[nodiscard]] int RietSimParse(const std::string& line, RietSimSettings& s, std::string& err);
// RietSimulate: Yo of every pattern drawn from Poisson distributions of mean
// Ycalc (the generator seeded with seed), Sig = sqrt(max(Yo, 1)). With
// maxCounts > 0 the phase scales are first multiplied by one factor that
// puts the highest point of the first pattern above its background at
// maxCounts. 1 when the structure factors failed.
[[nodiscard]] int RietSimulate(RietProblem& pr, const CalcSetup& s, const RefParams& p, unsigned seed,
                               double maxCounts);
// The simulation on the files of structure fln, appended as a new powder
// data block; 0, or 1 with the messages in msg and nothing written.
[[nodiscard]] int RietSimulateToFiles(const std::string& fln, const RietSimSettings& s,
                                      std::vector<std::string>& msg);

}  // namespace tarn
