#pragma once
// Basic data of the structure (what M50 holds): phases with cell, superspace
// dimension, modulation vectors, symmetry and composition; data blocks with
// their radiation. One program-wide instance, `Basic`.
//
// The M50 reader/writer owns this struct and extends it; other readers (M40,
// M95/M90) use the fields listed here.
#include <string>
#include <vector>

namespace tarn {

struct PhaseBasic {
  std::string Name;                 // phase name, up to 8 characters
  double Cell[6] = {1, 1, 1, 90, 90, 90};  // a, b, c (Angstrom), alpha, beta, gamma (deg)
  int NDim = 3;                     // 3 + number of modulation vectors
  int NComp = 1;                    // number of composite parts (subsystems)
  bool Magnetic = false;            // time-inversion signs present
  std::vector<std::string> AtType;  // atom-type names, 1-based in files
};

struct DatBlockBasic {
  std::string Name;     // data-block name, up to 80 characters
  int Radiation = 1;    // 1 X-ray, 2 neutron, 3 electron
  double Lambda = 0.;   // wavelength, Angstrom
};

struct BasicData {
  std::vector<PhaseBasic> Phase;      // at least one once M50 has been read
  std::vector<DatBlockBasic> DatBlock;
};

extern BasicData Basic;

}  // namespace tarn
