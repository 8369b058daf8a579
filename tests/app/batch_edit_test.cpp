// Named changes of the model and radiation records, and the frame wiring of
// the symmetry messages.
#include "model/batch_edit.hpp"
#include "model/structure.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/actions.hpp"
#include "model/session.hpp"
#include "app/toolkit_script.hpp"
#include "model/basic.hpp"
#include "model/m50.hpp"
#include "symmetry/symm.hpp"

namespace tarn {
namespace {

constexpr double kPi = 3.14159265358979323846;

// One phase, one data block with two scales; an isotropic atom Na, a harmonic
// atom Cl in phase 1, an atom Cl in phase 2 and a molecule position "M1a".
struct EditModel {
  AtomModel m;
  BasicData b;
  EditModel() {
    b.Phase.resize(2);
    for (auto& p : b.Phase) {
      const double cell[6] = {5., 6., 7., 90., 100., 90.};
      std::copy(cell, cell + 6, p.Cell);
    }
    b.DatBlock.resize(1);
    b.DatBlock[0].Lambda = 0.71073;
    EXPECT_EQ(SetBasicM50(b), 0);
    m.Phase.resize(2);
    m.DatBlock.resize(1);
    m.DatBlock[0].Scale.resize(2);
    auto atom = [&](const char* name, int phase, int order) {
      AtomRec a = DefaultAtom();
      a.Name = name;
      a.Phase = phase;
      AtomShape s = a.Shape;
      s.AdpOrder = order;
      ReallocateAtomParams(a, s);
      m.Atom.push_back(a);
    };
    atom("Na", 1, 1);
    atom("Cl", 1, 2);
    atom("Cl", 2, 2);
    MoleculeRec mol;
    mol.Name = "M1";
    mol.Pos.resize(1);
    mol.Pos[0].Name = "M1a";
    m.Mol.push_back(mol);
    SetBasicM40(m);
  }
  int Set(std::string_view name, double v, int kphase = 1) {
    return EM40SetParameter(m, b, kphase, 1, name, v);
  }
};

TEST(BatchEditParameters, NamesReachTheirStoredValue) {
  struct Case {
    const char* name;
    int atom;  // index into Struct.Model.Atom, -1 scale, -2 molecule position, -3 lambda/n
    int slot;  // value index in the list
    double given, stored;
  };
  const double b11 = 2. * kPi * kPi * 0.02;  // times a*^2, checked below
  const Case cases[] = {
      {"Na.ai", 0, 0, 0.5, 0.5},
      {"na.X", 0, 1, 0.25, 0.25},
      {"Na.y", 0, 2, -0.1, -0.1},
      {"Na.z", 0, 3, 1.5, 1.5},
      {"Na.Uiso", 0, 4, 0.0123, 0.0123},
      {"Na.Biso", 0, 4, 8. * kPi * kPi * 0.01, 0.01},
      {"Cl.beta12", 1, 7, -0.002, -0.002},
      {"Cl.U11", 1, 4, 0.02, b11},
      {"sc2", -1, 1, 3.5, 3.5},
      {"SC1", -1, 0, 0.8, 0.8},
      {"lam3", -3, 1, 0.02, 0.02},
      {"M1a.psi", -2, 3, 120., 120.},
      {"m1a.tz", -2, 6, 0.3, 0.3},
  };
  for (const auto& c : cases) {
    EditModel e;
    ASSERT_EQ(e.Set(c.name, c.given), BatchEditOk) << c.name;
    const std::vector<double>& v = c.atom >= 0    ? e.m.Atom[c.atom].Par.Val
                                   : c.atom == -1 ? e.m.DatBlock[0].Scale.Val
                                   : c.atom == -3 ? e.m.DatBlock[0].Lam.Val
                                                  : e.m.Mol[0].Pos[0].Par.Val;
    double want = c.stored;
    if (std::string(c.name) == "Cl.U11") want *= e.b.Phase[0].CellR[0] * e.b.Phase[0].CellR[0];
    EXPECT_NEAR(v[c.slot], want, 1e-12) << c.name;
    // Nothing else moved: the other atom of the same name stays as it was.
    EXPECT_EQ(e.m.Atom[2].Par.Val, EditModel().m.Atom[2].Par.Val) << c.name;
  }
  // Refinement keys of the scales and the contamination coefficients; the
  // first lam2/lam3 item creates the two coefficients.
  EditModel e;
  ASSERT_EQ(e.Set("refine.lam2", 1.), BatchEditOk);
  ASSERT_EQ(e.Set("Refine.SC2", 1.), BatchEditOk);
  EXPECT_EQ(e.m.DatBlock[0].Lam.Key, (std::vector<int>{1, 0}));
  EXPECT_EQ(e.m.DatBlock[0].Lam.Val, (std::vector<double>{0., 0.}));
  EXPECT_EQ(e.m.DatBlock[0].Scale.Key, (std::vector<int>{0, 1}));
  // Keys of atom and molecule-position values, by any spelling of the value.
  ASSERT_EQ(e.Set("refine.Na.ai", 1.), BatchEditOk);
  ASSERT_EQ(e.Set("refine.Cl.U22", 1.), BatchEditOk);
  ASSERT_EQ(e.Set("refine.Cl.beta22", 0.), BatchEditOk);
  ASSERT_EQ(e.Set("refine.Cl.beta33", 1.), BatchEditOk);
  ASSERT_EQ(e.Set("refine.M1a.ai", 1.), BatchEditOk);
  EXPECT_EQ(e.m.Atom[0].Par.Key[0], 1);
  EXPECT_EQ(e.m.Atom[1].Par.Key[5], 0);
  EXPECT_EQ(e.m.Atom[1].Par.Key[6], 1);
  EXPECT_EQ(e.m.Mol[0].Pos[0].Par.Key[0], 1);
  EXPECT_EQ(e.m.Atom[0].Par.Val, EditModel().m.Atom[0].Par.Val);
  // The current phase is searched first.
  ASSERT_EQ(e.Set("Cl.x", 0.4, 2), BatchEditOk);
  EXPECT_EQ(e.m.Atom[2].Par.Val[1], 0.4);
  EXPECT_EQ(e.m.Atom[1].Par.Val[1], 0.);
}

TEST(BatchEditParameters, UnknownInapplicableAndBadValuesChangeNothing) {
  struct Case {
    const char* name;
    double value;
    int result;
  };
  const Case cases[] = {
      {"Xx.x", 0.1, BatchEditUnknown},       {"Na.w", 0.1, BatchEditUnknown},
      {"Na.U11", 0.01, BatchEditUnknown},   // isotropic atom
      {"Cl.Uiso", 0.01, BatchEditUnknown},  // harmonic atom
      {"Na.", 0.1, BatchEditUnknown},        {".x", 0.1, BatchEditUnknown},
      {"Cl.U14", 0.01, BatchEditUnknown},    {"Cl.U", 0.01, BatchEditUnknown},
      {"sc0", 1., BatchEditUnknown},         {"sc3", 1., BatchEditUnknown},
      {"sc", 1., BatchEditUnknown},          {"sc+1", 1., BatchEditUnknown},
      {"scale", 1., BatchEditUnknown},       {"M1a.x", 1., BatchEditUnknown},
      {"Na.Uiso", -0.01, BatchEditBadValue}, {"Cl.U22", -0.01, BatchEditBadValue},
      {"sc1", -1., BatchEditBadValue},       {"Na.x", NAN, BatchEditBadValue},
      {"lam2", -0.1, BatchEditBadValue},     {"refine.sc1", 2., BatchEditBadValue},
      {"lam4", 0.1, BatchEditUnknown},       {"refine.Na.U11", 1., BatchEditUnknown},
      {"refine.Na.x", 0.5, BatchEditBadValue},
  };
  for (const auto& c : cases) {
    EditModel e;
    EXPECT_EQ(e.Set(c.name, c.value), c.result) << c.name;
    const EditModel fresh;
    for (size_t i = 0; i < e.m.Atom.size(); ++i)
      EXPECT_EQ(e.m.Atom[i].Par.Val, fresh.m.Atom[i].Par.Val) << c.name;
    EXPECT_EQ(e.m.DatBlock[0].Scale.Val, fresh.m.DatBlock[0].Scale.Val) << c.name;
    EXPECT_EQ(e.m.DatBlock[0].Lam.size(), 0) << c.name;
  }
  // An off-diagonal U may be negative.
  EditModel e;
  EXPECT_EQ(e.Set("Cl.U13", -0.003), BatchEditOk);
}

TEST(BatchEditParameters, UToBetaAgreesWithTheReciprocalMetric) {
  // An isotropic U in any cell has U_ij = Uiso G*_ij / (a*_i a*_j), so its
  // beta_ij = 2 pi^2 Uiso G*_ij: the conversion checked against the metric
  // tensor that SetBasicM50 derives independently.
  BasicData b;
  b.Phase.resize(1);
  const double cell[6] = {5.1, 7.3, 9.2, 82., 97.5, 111.};
  std::copy(cell, cell + 6, b.Phase[0].Cell);
  b.DatBlock.resize(1);
  ASSERT_EQ(SetBasicM50(b), 0);
  const auto& p = b.Phase[0];
  const int ij[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  const double uiso = 0.025;
  for (int k = 0; k < 6; ++k) {
    const int i = ij[k][0], j = ij[k][1];
    const double gij = p.MetTensI[3 * i + j];
    const double u = uiso * gij / (p.CellR[i] * p.CellR[j]);
    EXPECT_NEAR(UToBeta(p, k, u), 2. * kPi * kPi * uiso * gij, 1e-12) << k;
    EXPECT_NEAR(BetaToU(p, k, UToBeta(p, k, u)), u, 1e-14) << k;
  }
  // Rock salt, a = 5.6402 A: beta11 = 2 pi^2 U / a^2.
  PhaseBasic cubic;
  for (int k = 0; k < 3; ++k) cubic.CellR[k] = 1. / 5.6402;
  EXPECT_NEAR(UToBeta(cubic, 0, 0.0160), 2. * kPi * kPi * 0.0160 / (5.6402 * 5.6402), 1e-15);
}

TEST(BatchEditRadiation, RecordsAndTheirRanges) {
  struct Case {
    const char* key;
    double value;
    int result;
  };
  const Case cases[] = {
      {"LAMBDA", 1.5406, BatchEditOk},       {"kalpha1", 1.5406, BatchEditOk},
      {"kalpha2", 1.5444, BatchEditOk},      {"kalphar", 0.5, BatchEditOk},
      {"radtype", 2.2, BatchEditOk},         {"lpfactor", 3, BatchEditOk},
      {"monangle", 26.6, BatchEditOk},       {"perfmono", 0.5, BatchEditOk},
      {"lambda", 0., BatchEditBadValue},     {"kalpha2", -1., BatchEditBadValue},
      {"radtype", 4., BatchEditBadValue},    {"radtype", 0.4, BatchEditBadValue},
      {"perfmono", 1.01, BatchEditBadValue}, {"kalphar", -0.1, BatchEditBadValue},
      {"monangle", 200., BatchEditBadValue}, {"lambda", INFINITY, BatchEditBadValue},
      {"nalpha", 2., BatchEditUnknown},      {"cell", 1., BatchEditUnknown},
  };
  for (const auto& c : cases) {
    DatBlockBasic d;
    d.Lambda = d.KAlpha1 = d.KAlpha2 = 0.71073;
    EXPECT_EQ(EM50SetRadiation(d, c.key, c.value), c.result) << c.key << " " << c.value;
    if (c.result != BatchEditOk) {
      EXPECT_EQ(d.Lambda, 0.71073);
      EXPECT_EQ(d.Radiation, 1);
      EXPECT_FALSE(d.PerfMono || d.KAlphaR || d.MonAngle);
    }
  }
  // "lambda" moves both alpha wavelengths; an alpha given afterwards stays.
  DatBlockBasic d;
  ASSERT_EQ(EM50SetRadiation(d, "lambda", 1.5406), BatchEditOk);
  ASSERT_EQ(EM50SetRadiation(d, "kalpha2", 1.5444), BatchEditOk);
  EXPECT_EQ(d.KAlpha1, 1.5406);
  EXPECT_EQ(d.KAlpha2, 1.5444);
  ASSERT_EQ(EM50SetRadiation(d, "radtype", 2.6), BatchEditOk);
  EXPECT_EQ(d.Radiation, 3);
}

}  // namespace
}  // namespace tarn
