#pragma once
// Powder patterns and instrument parameters from other programs' files.
//
// Patterns: GSAS standard files (one or more "BANK" records, each followed by
// its points in the STD, ESD, ALT, FXY or FXYE form), plain columns (x, I,
// optional sigma), the FullProf ".dat" forms of the common INSTRM values (0:
// start, step, end then intensities; 10: "XYDATA" then columns) and the
// powder CIF loops. Instrument parameters: GSAS ".prm" files ("INS" records)
// and GSAS-II ".instprm" files ("key:value" lines), recognised by content.
// Readers return 0, or 1 with the error record (file, line, what was expected)
// and the output left unchanged.
#include <array>
#include <string>
#include <vector>

#include "util/error.hpp"

namespace tarn {

// A measured pattern: positions (2theta in degrees, or time of flight in us),
// intensities and their standard uncertainties.
struct PwdPattern {
  std::vector<double> X, Y, Sig;
  bool Tof = false;
  std::string Title;
};

// Instrument values of one bank.
struct PwdInstrument {
  bool Tof = false;
  int Radiation = 1;               // 1 X-ray, 2 neutron
  double Lam1 = 1.540560, Lam2 = 1.544390;  // Angstrom; Lam2 0 for one wavelength
  double KRatio = 0.5;             // I(Lam2) / I(Lam1)
  double Pola = 0.5;               // polarisation fraction P: Lp polarisation P + (1 - P) cos**2 2theta
  double Zero = 0.;                // zero shift, degrees (TOF: us)
  // Profile: U, V, W, P (centideg**2), X, Y (centideg), then S/L, H/L.
  double GU = 0., GV = 0., GW = 10., GP = 0., LX = 2., LY = 3.;
  double SL = 0., HL = 0.;
  int ProfFun = 3;                 // pseudo-Voigt unless the file says Gaussian
  // Time of flight.
  double Difc = 0., Difa = 0., TofZero = 0., Tth = 90.;
  double Alpha = 0., Beta0 = 0., Beta1 = 0., Sig0 = 0., Sig1 = 0., Sig2 = 0.;
  std::string Source;              // the file it came from; "none" for the defaults
};

// Labels of the pattern formats of the batch import.
inline constexpr std::array<const char*, 4> kPwdFormatLabels = {"GSAS standard", "XY", "FullProf",
                                                               "CIF powder"};
// Reads bank `bank` (1-based; the first when 0) of a pattern file of the
// labelled format (case ignored).
[[nodiscard]] int PwdReadPattern(const std::string& file, const std::string& label, int bank,
                                 PwdPattern& out, ErrorRecord& err);
// Reads the instrument file (GSAS .prm or GSAS-II .instprm, by content) for
// the bank; "none" gives the defaults (Cu K-alpha1/2, zero 0, a modest profile).
[[nodiscard]] int PwdReadInstrument(const std::string& file, int bank, PwdInstrument& out,
                                    ErrorRecord& err);
// The polarisation fraction P of an instrument file as the monochromator
// angle 2theta_M (deg) of the same factor (1 + K cos**2 2theta) / (1 + K),
// K = cos**2 2theta_M = (1 - P) / P; P is taken in [0.5, 1] (0.5 unpolarised,
// 2theta_M = 0). And back: P = 1 / (1 + K).
double PwdMonAngleFromPola(double pola);
double PwdPolaFromMonAngle(double monangle);
// The instrument as the text of a ".instprm" file ("key:value" lines, the
// form PwdReadInstrument reads back); bank is the bank number written.
std::string PwdInstprmText(const PwdInstrument& ins, int bank = 1);

}  // namespace tarn
