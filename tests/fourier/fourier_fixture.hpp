#pragma once
// Shared set-up of the Fourier tests: a hand-made structure of Gaussian atoms
// in the open structure, its exact structure factors written as a coefficient
// file, and the "fourier" block in the work file of the command blocks.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "fourier/fourier.hpp"
#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "refine/refine.hpp"
#include "support/report_script.hpp"
#include "support/temp_dir.hpp"
#include "util/numbers.hpp"

namespace tarn::test {

struct TestAtom {
  std::string Name;
  std::array<double, 3> X{};
  double Z = 6.;  // electrons
};

inline constexpr double kTestB = 2.5;  // A^2: f(s) = Z exp(-B s^2)

class FourierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Sess = Session{};
    Struct = Structure{};
    fln_ = dir_ / "t";
  }
  void TearDown() override { Struct = Structure{}; }

  // One phase (C and O types) with the cell, centring and operators; the
  // atoms with occupancy 1 and Uiso 0.02.
  void MakePhase(const std::array<double, 6>& cell, const std::vector<std::string>& ops,
                 const std::vector<TestAtom>& atoms, const std::string& lattice = "P") {
    Struct.Basic.Phase.resize(1);
    Struct.Basic.DatBlock.resize(1);
    PhaseBasic& ph = Struct.Basic.Phase[0];
    ph.Name = "test";
    std::copy(cell.begin(), cell.end(), ph.Cell);
    ph.SymmText = ops;
    ph.Lattice = lattice;
    ph.AtType = {"C", "O"};
    ph.AtTypeData.resize(2);
    ASSERT_EQ(SetBasicM50(Struct.Basic), 0);
    Struct.Model.Phase.resize(1);
    Struct.Model.DatBlock.resize(1);
    Struct.Model.DatBlock[0].Scale.resize(1);
    Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
    for (const auto& t : atoms) {
      AtomRec a = DefaultAtom();
      a.Name = t.Name;
      a.Type = t.Z > 7. ? 2 : 1;
      a.Shape.AdpOrder = 1;
      ReallocateAtomParams(a, a.Shape);
      for (int i = 0; i < 3; ++i)
        a.Par.Val[static_cast<size_t>(1 + i)] = t.X[static_cast<size_t>(i)];
      a.Par.Val[4] = 0.02;
      Struct.Model.Atom.push_back(a);
    }
    SetBasicM40(Struct.Model);
    atoms_ = atoms;
  }

  // F(h) = sum over atoms, operators and centring of f exp(+2 pi i h.x).
  std::complex<double> Fcalc(const std::array<int, 6>& h) const {
    const PhaseBasic& ph = Struct.Basic.Phase[0];
    const PhaseSymmetry& ps = ph.Symmetry;
    const double s = RefSinThL(ph, h.data(), 3);
    std::complex<double> f{};
    for (const auto& a : atoms_)
      for (int k = 0; k < ps.NSymm; ++k)
        for (int c = 0; c < ps.NLattVec; ++c) {
          double t = 0.;
          for (int i = 0; i < 3; ++i) {
            double y = ps.Op[k].S6[i] + ps.VT6[c][i];
            for (int j = 0; j < 3; ++j) y += ps.Op[k].RM6[i * ps.NDim + j] * a.X[j];
            t += h[i] * y;
          }
          f += a.Z * std::exp(-kTestB * s * s) * std::polar(1., kTwoPi * t);
        }
    return f;
  }

  // The coefficient file of every reflection with sin(th)/lambda <= smax
  // (all of reciprocal space, so equivalents are averaged): Fo = foFactor |F|.
  void WriteM80(double smax, double foFactor = 1., const std::string& name = "t.m80") {
    const PhaseBasic& ph = Struct.Basic.Phase[0];
    std::string text;
    std::array<int, 3> hm{};
    for (int i = 0; i < 3; ++i) hm[i] = static_cast<int>(2. * smax * ph.Cell[i]) + 1;
    for (int h = -hm[0]; h <= hm[0]; ++h)
      for (int k = -hm[1]; k <= hm[1]; ++k)
        for (int l = -hm[2]; l <= hm[2]; ++l) {
          RefM80Rec r;
          r.H = {h, k, l, 0, 0, 0};
          r.SinThL = RefSinThL(ph, r.H.data(), 3);
          if (r.SinThL > smax) continue;
          const auto f = Fcalc(r.H);
          if (std::abs(f) < 1e-6) continue;
          r.Fc = std::abs(f);
          r.A = f.real();
          r.B = f.imag();
          r.Fo = r.FoTw = foFactor * r.Fc;
          r.SigFo = r.SigFoTw = 0.;
          text += RefM80Line(r) + "\n";
        }
    dir_.Write(name, text);
  }

  // The command-block work file with a "fourier" block of the given lines.
  void WriteBlock(const std::vector<std::string>& lines) {
    std::string text = KeySeparator + "\nfourier\n";
    for (const auto& l : lines) text += "  " + l + "\n";
    text += "end fourier\n";
    dir_.Write("t.l51", text);
  }

  TempDir dir_;
  ReportScript report_;
  std::string fln_;
  FouRunResult FouLast;  // what the last run left behind
  std::vector<TestAtom> atoms_;
};

}  // namespace tarn::test
