#pragma once
// Scattering and element tables kept with the program in its home directory:
//   scatter/xray_it92.dat      Gaussian X-ray form factors (Vol. C Table 6.1.1.4)
//   scatter/anodes.dat         K-alpha1, K-alpha2, K-beta1 wavelengths of the anodes
//   scatter/fprime_kalpha.dat  f', f'' at the Cr, Fe, Co, Cu, Mo, Ag K-alpha1 lines
//   scatter/fprime_grid.dat    f', f'' against photon energy (4-124 keV)
//   scatter/neutron.dat        neutron scattering lengths (Sears 1992)
//   scatter/electron.dat       Gaussian electron form factors (Vol. C Table 4.3.2.2)
//   scatter/magnetic.dat       <j0>, <j2>, <j4> coefficients (Vol. C 4.4.5)
//   elements.dat               Z, atomic weight, covalent and van der Waals radii
// Each file starts with ScatDataVersionLine, then "#" comment lines that name
// the source and the columns, then one blank-separated row per entry.
//
// ScatLoad reads all of them into the program-wide `Scat`; the lookups below
// answer from it and return std::nullopt for anything not tabulated (or when
// nothing has been loaded), which is not an error.
//
// Names: an atom-type name is read as element symbol (case ignored: "FE" is
// Fe), an optional "val"/"iso" suffix (Cval, Sival, Hiso) and an optional
// charge written "3+", "+3", "2-", "-2", "+" or "-"; a charge digit without a
// sign counts as positive (Fe3 = Fe3+, the usual magnetic-ion notation). "D"
// is deuterium: its own entry for neutrons and weights, hydrogen otherwise.
#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

inline constexpr std::string_view ScatDataVersionLine = "# Tarnwork data version 1.0.0";

// f(s) = sum a[i] exp(-b[i] s^2) + c, s = sin(theta)/lambda (1/A); b in A^2.
struct XrayGauss {
  std::array<double, 4> a{};  // electrons
  std::array<double, 4> b{};  // A^2
  double c = 0.;              // electrons
};

// f_e(s) = sum a[i] exp(-b[i] s^2); elastic electron scattering factor in A.
struct ElectronGauss {
  std::array<double, 5> a{};  // A
  std::array<double, 5> b{};  // A^2
};

// Radial integral <jn>: A exp(-a s^2) + B exp(-b s^2) + C exp(-c s^2) + D,
// times s^2 for n > 0 (Vol. C 4.4.5).
struct MagneticJ {
  std::array<double, 7> c{};  // A, a, B, b, C, c, D (a, b, c in A^2)
};

struct AnomalousDisp {
  double fp = 0.;   // f', electrons
  double fpp = 0.;  // f'', electrons
};

struct NeutronLength {
  double re = 0.;  // bound coherent scattering length, fm
  double im = 0.;  // its imaginary part (absorption), fm
};

struct AnodeLines {
  double Ka1 = 0., Ka2 = 0., Kb1 = 0.;  // wavelengths, A
};

struct ElementData {
  int Z = 0;                   // atomic number
  double Weight = 0.;          // standard atomic weight, g/mol
  std::optional<double> RCov;  // covalent radius, A
  std::optional<double> RVdW;  // van der Waals radius, A
};

// One point of the energy grid of an element.
struct AnomalousPoint {
  double LnE = 0.;  // ln(photon energy / eV)
  double fp = 0., fpp = 0.;
};

struct ScatTables {
  bool Loaded = false;
  std::string Dir;                          // directory loaded from, ends in "/"
  std::map<std::string, XrayGauss> Xray;    // key: canonical label ("Fe3+", "Cval")
  std::map<std::string, AnodeLines> Anode;  // key: anode element ("Cu")
  std::vector<std::string> KalphaAnodes;    // column order of fprime_kalpha.dat
  std::map<std::string, std::vector<AnomalousDisp>> Kalpha;  // per element, per anode column
  std::map<std::string, std::vector<AnomalousPoint>> Grid;   // per element, energy rising
  std::map<std::string, NeutronLength> Neutron;              // key: element ("D" = deuterium)
  std::map<std::string, ElectronGauss> Electron;             // key: element
  std::map<std::string, std::array<std::optional<MagneticJ>, 3>> Magnetic;  // ion; j0, j2, j4
  std::map<std::string, ElementData> Element;  // key: element symbol ("D" included)
};


// Reads every table from dir (the home directory or the repository's data/).
// On success replaces Scat; on failure leaves Scat as it was and puts the file
// name, line number and what was expected into message.
[[nodiscard]] int ScatLoad(const std::string& dir, std::string& message);
// Loads from Sess.HomeDir unless already loaded from there; a failure is shown
// through the report sink and returns 1.
[[nodiscard]] int ScatEnsureLoaded();

// Parsed atom-type name.
struct ScatName {
  std::string Element;  // proper-case symbol ("Fe", "D")
  std::string Suffix;   // "", "val" or "iso"
  int Charge = 0;
  std::string Label() const;  // canonical form "Fe3+", "O1-", "Cval"
};
std::optional<ScatName> ScatParseName(std::string_view name);

// X-ray Gaussian coefficients of exactly this atom or ion (no fall-back from
// an ion to its neutral atom; the caller decides that).
std::optional<XrayGauss> ScatXray(std::string_view name);
// f', f'' of the element (charge ignored) at the K-alpha1 line of an anode
// ("Cr", "Fe", "Co", "Cu", "Mo", "Ag").
std::optional<AnomalousDisp> ScatAnomalousLine(std::string_view name, std::string_view anode);
// f', f'' at wavelength lambda (A), interpolated in ln(E) on the energy grid;
// nullopt outside 0.1-3.1 A.
std::optional<AnomalousDisp> ScatAnomalousLambda(std::string_view name, double lambda);
std::optional<AnodeLines> ScatAnode(std::string_view anode);
std::optional<NeutronLength> ScatNeutron(std::string_view name);
std::optional<ElectronGauss> ScatElectron(std::string_view name);
// n = 0, 2 or 4; the ion's charge selects the entry (Fe, Fe2+, Fe3+ ...).
std::optional<MagneticJ> ScatMagnetic(std::string_view name, int n = 0);
std::optional<ElementData> ScatElement(std::string_view name);
std::optional<double> ScatAtomicWeight(std::string_view name);
// Typical bond distance of two elements: the sum of their covalent radii (A).
std::optional<double> ScatTypicalDistance(std::string_view name1, std::string_view name2);

// Values at s = sin(theta)/lambda (1/A).
double XrayFormFactor(const XrayGauss& g, double s);
double ElectronFormFactor(const ElectronGauss& g, double s);
double MagneticFormFactor(const MagneticJ& j, int n, double s);

// Photon energy (eV) times wavelength (A): hc.
inline constexpr double ScatHcEvA = 12398.4198;

}  // namespace tarn
