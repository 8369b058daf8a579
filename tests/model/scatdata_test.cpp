// Scattering and element tables: every row of the shipped files parses, the
// numbers agree with published values and with each other, and bad files are
// refused without touching what is loaded.
#include "model/scatdata.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "model/session.hpp"
#include "support/temp_dir.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

// Tests run from the repository root.
const std::string DataDir = "data/";

class ScatTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string message;
    ASSERT_EQ(ScatLoad(DataDir, message), 0) << message;
  }
};

TEST_F(ScatTest, EveryTableIsLoadedAndCoversTheElements) {
  EXPECT_TRUE(Sess.Scat.Loaded);
  EXPECT_EQ(Sess.Scat.Dir, DataDir);
  EXPECT_GE(Sess.Scat.Xray.size(), 210u);
  EXPECT_GE(Sess.Scat.Magnetic.size(), 90u);
  EXPECT_GE(Sess.Scat.Neutron.size(), 85u);
  // Every element H..U is present in the element-wise tables.
  for (int z = 1; z <= 92; ++z) {
    std::string el;
    for (const auto& [sym, d] : Sess.Scat.Element)
      if (d.Z == z && sym != "D") el = sym;
    ASSERT_FALSE(el.empty()) << "Z=" << z;
    EXPECT_TRUE(ScatXray(el)) << el;
    EXPECT_TRUE(ScatElectron(el)) << el;
    EXPECT_TRUE(ScatAnomalousLine(el, "Cu")) << el;
    EXPECT_TRUE(ScatAnomalousLambda(el, 1.0)) << el;
    EXPECT_GT(ScatElement(el)->Weight, 0.9 * z) << el;
  }
  // An ion without its own row is not found.
  EXPECT_TRUE(ScatXray("Fe3+"));
  EXPECT_FALSE(ScatXray("Fe5+") || ScatXray("C4-"));
}

// f(0) = sum a + c must be the number of electrons. The published Table 6.1.1.4
// coefficients achieve this only to about 0.1 % for heavy atoms (Fe 25.990,
// Tl 80.942), hence the tolerance grows with Z; a shifted column or a row of
// another element would be off by at least one electron.
TEST_F(ScatTest, XrayFormFactorAtZeroCountsTheElectrons) {
  for (const auto& [label, g] : Sess.Scat.Xray) {
    auto n = ScatParseName(label);
    ASSERT_TRUE(n) << label;
    EXPECT_EQ(n->Label(), label);
    int z = ScatElement(n->Element)->Z;
    EXPECT_NEAR(XrayFormFactor(g, 0.), z - n->Charge, 0.01 + 0.001 * z) << label;
    // Form factors fall off with angle.
    EXPECT_LT(XrayFormFactor(g, 1.0), XrayFormFactor(g, 0.2)) << label;
  }
}

// Vol. C Table 4.2.6.8 values at Cu Ka1 and Mo Ka1. The shipped numbers are a
// Cromer-Liberman calculation at the same wavelengths, which reproduces the
// table within 0.02 in f' and 0.002 in f''.
TEST_F(ScatTest, AnomalousDispersionAtCuAndMoKalpha) {
  struct Case {
    const char* el;
    const char* anode;
    double fp, fpp;
  };
  const Case cases[] = {
      {"C", "Cu", 0.0181, 0.0091},   {"O", "Cu", 0.0492, 0.0322},   {"S", "Cu", 0.3331, 0.5567},
      {"Cl", "Cu", 0.3639, 0.7018},  {"Fe", "Cu", -1.1336, 3.1974}, {"Cu", "Cu", -1.9646, 0.5888},
      {"Mo", "Cu", -0.0483, 2.7339}, {"O", "Mo", 0.0106, 0.0060},   {"Fe", "Mo", 0.3463, 0.8444},
      {"Cu", "Mo", 0.3201, 1.2651},  {"Mo", "Mo", -1.6832, 0.6857}, {"fe3+", "cu", -1.1336, 3.1974},
  };
  for (const auto& c : cases) {
    auto d = ScatAnomalousLine(c.el, c.anode);
    ASSERT_TRUE(d) << c.el << " " << c.anode;
    EXPECT_NEAR(d->fp, c.fp, 0.02) << c.el << " " << c.anode;
    EXPECT_NEAR(d->fpp, c.fpp, 0.002) << c.el << " " << c.anode;
  }
  EXPECT_FALSE(ScatAnomalousLine("Fe", "W"));
  EXPECT_FALSE(ScatAnomalousLine("Xx", "Cu"));
}

// The energy grid interpolated at an anode's Ka1 wavelength gives the line
// table's values: the same calculation reached two ways.
TEST_F(ScatTest, EnergyGridAgreesWithLineTable) {
  double worst = 0.;
  for (const auto& [el, row] : Sess.Scat.Kalpha) {
    for (size_t i = 0; i < Sess.Scat.KalphaAnodes.size(); ++i) {
      double lambda = ScatAnode(Sess.Scat.KalphaAnodes[i])->Ka1;
      auto g = ScatAnomalousLambda(el, lambda);
      ASSERT_TRUE(g) << el;
      // Within a few % of an absorption edge f' changes steeply; allow for it there.
      double tol = 0.005 + 0.02 * std::abs(row[i].fp) + 0.005 * row[i].fpp;
      EXPECT_NEAR(g->fp, row[i].fp, tol) << el << " at " << Sess.Scat.KalphaAnodes[i];
      EXPECT_NEAR(g->fpp, row[i].fpp, tol) << el << " at " << Sess.Scat.KalphaAnodes[i];
      worst = std::max(worst, std::abs(g->fpp - row[i].fpp));
    }
  }
  EXPECT_LT(worst, 0.01);
}

TEST_F(ScatTest, EnergyGridKeepsAbsorptionEdgesAndRange) {
  // Fe K edge at 7112 eV: f'' jumps from about 0.5 to about 3.9.
  auto below = ScatAnomalousLambda("Fe", ScatHcEvA / 7100.);
  auto above = ScatAnomalousLambda("Fe", ScatHcEvA / 7125.);
  ASSERT_TRUE(below && above);
  EXPECT_LT(below->fpp, 0.6);
  EXPECT_GT(above->fpp, 3.5);
  EXPECT_LT(below->fp, -5.);  // f' dips at the edge
  // Outside 4-124 keV there is no answer, not an extrapolation.
  EXPECT_FALSE(ScatAnomalousLambda("Fe", 5.0));
  EXPECT_FALSE(ScatAnomalousLambda("Fe", 0.05));
  EXPECT_FALSE(ScatAnomalousLambda("Fe", 0.));
  EXPECT_FALSE(ScatAnomalousLambda("Fe", -1.));
  // Hydrogen (and deuterium) scatter no anomalous part in these tables.
  auto h = ScatAnomalousLambda("D", 1.0);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->fp, 0.);
  EXPECT_EQ(h->fpp, 0.);
}

TEST_F(ScatTest, MagneticJ0IsOneAtZeroAngle) {
  int n = 0;
  for (const auto& [ion, j] : Sess.Scat.Magnetic) {
    if (!j[0]) continue;
    ++n;
    EXPECT_NEAR(MagneticFormFactor(*j[0], 0, 0.), 1.0, 0.01) << ion;
    if (j[1]) {
      EXPECT_EQ(MagneticFormFactor(*j[1], 2, 0.), 0.) << ion;
    }
  }
  EXPECT_GE(n, 90);
  // Ion notation: charge with or without sign, the neutral atom without one.
  ASSERT_TRUE(ScatMagnetic("Fe3+") && ScatMagnetic("Fe3") && ScatMagnetic("Fe"));
  EXPECT_EQ(ScatMagnetic("Fe3+")->c, ScatMagnetic("fe3")->c);
  EXPECT_NE(ScatMagnetic("Fe3+")->c, ScatMagnetic("Fe2+")->c);
  EXPECT_TRUE(ScatMagnetic("Fe3+", 2));
  EXPECT_FALSE(ScatMagnetic("Fe3+", 6));
  EXPECT_FALSE(ScatMagnetic("C"));
}

// At large angles the electron form factor follows from the X-ray one by the
// Mott-Bethe formula f_e = 0.023934 (Z - f_x) / s^2 (A, s in 1/A): two
// independent fits reached two ways.
TEST_F(ScatTest, ElectronFactorsFollowMottBethe) {
  for (const char* el : {"C", "O", "Si", "Fe", "Mo", "Pb", "U"}) {
    auto xe = ScatElectron(el);
    auto xx = ScatXray(el);
    ASSERT_TRUE(xe && xx) << el;
    int z = ScatElement(el)->Z;
    for (double s : {0.8, 1.2, 1.6}) {
      double mott = 0.023934 * (z - XrayFormFactor(*xx, s)) / (s * s);
      EXPECT_NEAR(ElectronFormFactor(*xe, s), mott, 0.03 * mott) << el << " s=" << s;
    }
  }
  // Deuterium has the electron cloud of hydrogen.
  EXPECT_EQ(ScatElectron("D")->a, ScatElectron("H")->a);
  EXPECT_EQ(ScatXray("D")->a, ScatXray("H")->a);
}

// Typical distances are sums of covalent radii: C-C 1.52, C-O 1.42, C-H 1.07 A.
TEST_F(ScatTest, TypicalDistancesAreSumsOfRadii) {
  EXPECT_NEAR(*ScatTypicalDistance("C", "C"), 1.52, 1e-9);
  EXPECT_NEAR(*ScatTypicalDistance("C", "O"), 1.42, 1e-9);
  EXPECT_NEAR(*ScatTypicalDistance("h", "C"), 1.07, 1e-9);
  EXPECT_FALSE(ScatTypicalDistance("C", "Qq"));
}

TEST(ScatName, ParsesElementSuffixAndCharge) {
  struct Case {
    const char* in;
    const char* label;  // nullptr: not a name
  };
  const Case cases[] = {
      {"Fe", "Fe"},        {"FE3+", "Fe3+"},   {"Fe+3", "Fe3+"},   {"fe3", "Fe3+"},
      {"O2-", "O2-"},      {"O-2", "O2-"},     {"O-", "O1-"},      {"Na+", "Na1+"},
      {"Cval", "Cval"},    {"SIVAL", "Sival"}, {"Hiso", "Hiso"},   {"Co", "Co"},
      {"Cs1+", "Cs1+"},    {" D ", "D"},       {"Fe0", "Fe"},      {"Xx", nullptr},
      {"", nullptr},       {"3Fe", nullptr},   {"Fe3+x", nullptr}, {"Fe+-", nullptr},
      {"Fe123+", nullptr}, {"J", nullptr},
  };
  for (const auto& c : cases) {
    auto n = ScatParseName(c.in);
    if (!c.label) {
      EXPECT_FALSE(n) << c.in;
    } else {
      ASSERT_TRUE(n) << c.in;
      EXPECT_EQ(n->Label(), c.label) << c.in;
    }
  }
  EXPECT_EQ(ScatParseName("Fe3+")->Charge, 3);
  EXPECT_EQ(ScatParseName("Cval")->Element, "C");
}

// A damaged copy of the tables is refused with file, line and reason, and the
// tables loaded before stay in force.
TEST(ScatLoadErrors, BadFilesAreRefusedAndChangeNothing) {
  std::string message;
  ASSERT_EQ(ScatLoad(DataDir, message), 0) << message;
  struct Case {
    const char* file;
    const char* find;     // text replaced in the file ("" = first line)
    const char* replace;  //
    const char* expect;   // part of the message
  };
  const Case cases[] = {
      {"scatter/xray_it92.dat", "", "# version 0", "line 1: expected the data version line"},
      {"scatter/xray_it92.dat", "Fe3+   ", "Fe3+   x", "column 2 is not a number"},
      {"scatter/neutron.dat", "-3.739", "", "expected 4 columns, found 3"},
      {"scatter/magnetic.dat", " j2 ", " j3 ", "expected j0, j2 or j4"},
      {"scatter/fprime_grid.dat", "Fe     4080.81", "Fe     3080.81", "must rise"},
      {"elements.dat", "Fe ", "Qq ", "unknown element"},
      {"scatter/electron.dat", "He ", "H  ", "entry given twice"},
      {"scatter/anodes.dat", "Cu 1.540562", "Cu nan", "column 2 is not a number"},
  };
  for (const auto& c : cases) {
    test::TempDir tmp;
    fs::copy(DataDir + "scatter", tmp.Path() / "scatter");
    fs::copy(DataDir + "elements.dat", tmp.Path() / "elements.dat");
    const std::string f = tmp / c.file;
    std::string text = test::TempDir::Read(f);
    if (*c.find == '\0') {
      text = c.replace + text.substr(text.find('\n'));
    } else {
      auto pos = text.find(c.find);
      ASSERT_NE(pos, std::string::npos) << c.file << " " << c.find;
      text.replace(pos, std::string(c.find).size(), c.replace);
    }
    std::ofstream(f, std::ios::trunc) << text;
    message.clear();
    EXPECT_NE(ScatLoad(tmp.Path().string(), message), 0) << c.file;
    EXPECT_NE(message.find(f), std::string::npos) << message;
    EXPECT_NE(message.find(c.expect), std::string::npos) << message;
    EXPECT_EQ(Sess.Scat.Dir, DataDir);
    EXPECT_TRUE(ScatNeutron("H"));
  }
  EXPECT_NE(ScatLoad("no/such/dir", message), 0);
  EXPECT_NE(message.find("no/such/dir/scatter/xray_it92.dat"), std::string::npos) << message;
}

}  // namespace
}  // namespace tarn
