#pragma once
// Peaks of a Fourier map as the structure keeps them: the sections "Fourier
// maxima" and "Fourier minima" with M40, written by the peak search and read
// by the atom editor (and by any tool that wants the peaks as positions).
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "model/structure.hpp"

namespace tarn {

// A peak of the map search (positions of the first three map axes).
struct FouPeak {
  std::array<double, 3> X{};  // fractional, cell axis order
  double Height = 0.;         // density at the interpolated extremum, e/A^3
  double Charge = 0.;         // integrated density, electrons
  double Dist = -1.;          // shortest distance to an atom, Angstrom (-1: no atoms)
  std::string Atom;           // that atom, with its symmetry part ("O1#s2t1,0,0")
  std::string Label;          // "max1", "min3", ...
  // Displacement wave of the peak in a (3+1)-dimensional map, as the position
  // waves of an atom: per harmonic n the amplitudes of sin(2 pi n x4) along
  // x, y, z, then those of cos(2 pi n x4) (fractions); empty: not interpreted.
  std::vector<double> Wave;
};

struct FouPeakLists {
  std::vector<FouPeak> Max, Min;
};

// The sections are kept in the free-text "commands" block at the head of
// M40, which the M40 reader and writer keep verbatim: other command lines
// stay, the peak sections follow them.
inline constexpr std::string_view FouMaxHeader = "Fourier maxima";
inline constexpr std::string_view FouMinHeader = "Fourier minima";

// Splits command lines into the peaks and the other lines; 1 with the line
// number (1-based within cmds) when a peak record is bad.
[[nodiscard]] int FouSplitPeaks(const std::vector<std::string>& cmds, FouPeakLists& peaks,
                                std::vector<std::string>& other, int& badLine);
// The command lines: other lines, then the two sections (when not empty).
std::vector<std::string> FouJoinPeaks(const std::vector<std::string>& other,
                                      const FouPeakLists& peaks);
// M40 text with its peak sections replaced (text-level: the rest of the file
// keeps its bytes).
std::string FouPutPeaksInM40(std::string_view m40, const FouPeakLists& peaks);
// Reads (mode M40Read = 0) or writes (1) the peak sections of the M40 file;
// writing also puts them into st.Model.Commands. 0 on success.
[[nodiscard]] int IOFourPeaks(int mode, const std::string& m40File, FouPeakLists& peaks,
                              Structure* st = nullptr);

}  // namespace tarn
