#pragma once
// "Simulation of single crystal data": intensities of the current model
// (Basic, Model) for every reflection of the first phase up to a
// sin(theta)/lambda limit, with counting noise and an instability term,
// written as a reflection block of M95 that the merging reads as it reads
// measured data.
#include <string>
#include <vector>

#include "datared/readers/reader.hpp"

namespace tarn {

struct SimSettings {
  double SnlMax = 0.6;       // sin(theta)/lambda limit, 1/Angstrom
  bool Equivalents = false;  // every symmetry equivalent (and Friedel mate) instead of one
  unsigned Seed = 1;         // seed of the noise generator
  double MaxCounts = 1.0e5;  // counts of the strongest reflection (sets the Poisson noise)
  double Instab = 0.;  // instability u: I gets a normal error of sigma u*I, sigma(I)^2 += (u I)^2
  int MMax = 1;        // largest |satellite index| for modulated phases
  bool Absent = false;  // systematically absent reflections written as weak measured ones:
                        // I from a normal distribution of sigma sqrt(kSimAbsentBkg) counts
};

// Background counts under a simulated absent reflection (Absent): the noise
// a measured absence shows, so that the space-group test sees the glides and
// screws of simulated data.
inline constexpr double kSimAbsentBkg = 4.;

namespace simmsg {
inline constexpr const char* Header = "Simulation of single crystal data";
inline constexpr const char* NoModel = "The structure has no atoms to simulate from.";
inline constexpr const char* NoRefl = "No reflection lies within the sin(th)/lambda limit.";
}  // namespace simmsg

// Simulated reflections of the current model into d (intensities on the count
// scale divided by the count factor, so the strongest is about 1e4); 0 ok.
[[nodiscard]] int SimulateSingleCrystal(const SimSettings& s, ImpData& d,
                                        std::vector<std::string>& msg);
// The simulation appended to M95 as a new reflection block, headers completed.
[[nodiscard]] int EM9SimulateToM95(const SimSettings& s, const std::string& m95,
                                   std::vector<std::string>& msg);

}  // namespace tarn
