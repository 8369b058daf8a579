#pragma once
// Small refinement test structures: one phase with the atom types C and Fe,
// atoms from a compact description, structure factors of a reflection, the
// derivative check of Fc over reflections, and "observed" intensities
// simulated from the model's own Fc.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "model/atoms.hpp"
#include "model/basic.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/scatdata.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "refine/calc.hpp"
#include "refine/calc_mod.hpp"
#include "refine/constr.hpp"
#include "refine/refcommands.hpp"
#include "refine/refine.hpp"
#include "support/fd_check.hpp"
#include "support/small_structures.hpp"
#include "support/temp_dir.hpp"
#include "util/files.hpp"
#include "util/numbers.hpp"

namespace tarn::testsim {

using Hkl = std::array<int, 6>;

// Cells and operators shared by the structure-factor tests.
inline const std::array<double, 6> kCellOrtho = {7.11, 9.34, 11.23, 90, 90, 90};
inline const std::array<double, 6> kCellMono = {8.21, 6.44, 10.05, 90, 104.3, 90};
inline const std::vector<std::string> kP212121 = {"x y z", "-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2",
                                                  "x+1/2 -y+1/2 -z"};

// One phase and one data block, no atoms yet: cell, lattice, operators, the
// atom types C (1) and Fe (2) with their Gaussian form factors (Vol. C Table
// 6.1.1.4) and neutron lengths, Fe with f' and f'' (fe), C with f'' (c), the
// scale of the block.
struct PhaseSpec {
  std::array<double, 6> Cell;
  std::string Lattice = "P";
  std::vector<std::string> Ops;
  int Radiation = 1;
  double Lambda = 1.54184;
  double Scale = 1.7;
  std::array<double, 2> FeAnom = {-1.134, 3.197};  // f', f'' of Fe
  std::array<double, 2> CAnom = {0.018, 0.009};    // f', f'' of C
  bool Magnetic = false;
  std::vector<Vec3> Q = {};       // modulation vectors
  std::vector<double> FeJ0 = {};  // <j0> of the magnetic ion Fe3 (none: no "atmag")
};
inline void SetPhase(const PhaseSpec& s) {
  Struct.Basic = BasicData{};
  Struct.Basic.Phase.resize(1);
  Struct.Basic.DatBlock.resize(1);
  Struct.Basic.DatBlock[0].Radiation = s.Radiation;
  Struct.Basic.DatBlock[0].Lambda = s.Lambda;
  PhaseBasic& ph = Struct.Basic.Phase[0];
  std::copy(s.Cell.begin(), s.Cell.end(), ph.Cell);
  ph.Lattice = s.Lattice;
  ph.SymmText = s.Ops;
  ph.AtType = {"C", "Fe"};
  ph.AtTypeData.resize(2);
  ph.AtTypeData[0].FFBasic = {2.31, 20.8439, 1.02, 10.2075, 1.5886, 0.5687, 0.865, 51.6512, 0.2156};
  ph.AtTypeData[1].FFBasic = {11.7695, 4.7611, 7.3573,  0.3072, 3.5222,
                              15.3535, 2.3045, 76.8805, 1.0369};
  ph.AtTypeData[0].FPrime = {s.CAnom[0]};
  ph.AtTypeData[0].FDoublePrime = {s.CAnom[1]};
  ph.AtTypeData[1].FPrime = {s.FeAnom[0]};
  ph.AtTypeData[1].FDoublePrime = {s.FeAnom[1]};
  ph.AtTypeData[0].FNeutron = 6.646;  // fm
  ph.AtTypeData[1].FNeutron = 9.45;
  ph.Magnetic = s.Magnetic;
  ph.NDim = 3 + static_cast<int>(s.Q.size());
  ph.Qi = s.Q;
  if (!s.FeJ0.empty()) {
    AtMagBasic fe;
    fe.AtName = "Fe";
    fe.Ion = "Fe3";
    fe.J0 = s.FeJ0;
    ph.AtMag.push_back(fe);
  }
  ASSERT_EQ(SetBasicM50(Struct.Basic), 0);
  Struct.Model = AtomModel{};
  Struct.Model.DatBlock.resize(1);
  Struct.Model.DatBlock[0].Scale.resize(1);
  Struct.Model.DatBlock[0].Scale.Val[0] = s.Scale;
}

// An atom: type (1 C, 2 Fe), ADP order (1 Uiso in B[0], 2 beta, 3.. with
// anharmonic tensors of small values that vary with the component).
struct AtomSpec {
  const char* Name;
  int Type;
  int Order;
  double Occ;
  std::array<double, 3> X;
  std::array<double, 6> B;
};
inline AtomRec MakeAtom(const AtomSpec& s) {
  AtomRec a = DefaultAtom();
  a.Name = s.Name;
  a.Type = s.Type;
  a.Shape.AdpOrder = s.Order;
  const AtomLayoutInfo lay = AtomLayout(a.Shape);
  a.Par.resize(lay.NPar);
  a.Par.Val[0] = s.Occ;
  for (int i = 0; i < 3; ++i) a.Par.Val[static_cast<size_t>(1 + i)] = s.X[static_cast<size_t>(i)];
  for (int i = 0; i < lay.Len[BlkAdp]; ++i)
    a.Par.Val[static_cast<size_t>(4 + i)] = s.B[static_cast<size_t>(i)];
  for (int n = 3; n <= s.Order; ++n) {
    const int b = BlkAnh3 + n - 3;
    for (int c = 0; c < lay.Len[b]; ++c)
      a.Par.Val[static_cast<size_t>(lay.Off[b] + c)] =
          (n == 3 ? 0.004 : 0.0015) * std::sin(1.3 * c + n);
  }
  return a;
}

// Appends an isotropic atom (coordinates x, Uiso u, posWaves position waves)
// to Model.Atom.
inline void AddIsoAtom(const std::string& name, int type, const std::array<double, 3>& x, double u,
                       int posWaves = 0) {
  AtomRec a = DefaultAtom();
  a.Name = name;
  a.Type = type;
  AtomShape sh = a.Shape;
  sh.AdpOrder = 1;
  sh.NWave[1] = posWaves;
  ReallocateAtomParams(a, sh);
  for (int i = 0; i < 3; ++i) a.Par.Val[static_cast<size_t>(1 + i)] = x[static_cast<size_t>(i)];
  a.Par.Val[4] = u;
  Struct.Model.Atom.push_back(a);
}

// Structure factor of reflection h of the first phase.
inline CalcOut Eval(const CalcSetup& s, const Hkl& h, bool der) {
  const PhaseBasic& ph = Struct.Basic.Phase[0];
  CalcRefl r;
  r.H = h;
  r.SinThL = RefSinThL(ph, h.data(), ph.NDim);
  CalcOut o;
  EXPECT_EQ(Calc(s, r, der, o), 0);
  return o;
}

// Fc of the reflections as a function of parameter i of the full vector.
inline test::FdValues FcOf(CalcSetup& s, RefParams& p, int i, const std::vector<Hkl>& hs) {
  return [&s, &p, i, hs](double v, std::vector<double>* der) {
    p.Val[static_cast<size_t>(i)] = v;
    CalcUpdate(s, p);
    std::vector<double> y;
    for (const Hkl& h : hs) {
      const CalcOut o = Eval(s, h, der != nullptr);
      y.push_back(o.Fc);
      if (der) der->push_back(o.Der[static_cast<size_t>(i)]);
    }
    return y;
  };
}

// Analytic dFc/dp of each parameter (index, difference step) against central
// differences over the reflections (test::FdScan, test::FdAgree).
inline void ExpectFcDerivatives(CalcSetup& s, RefParams& p,
                                const std::vector<std::pair<int, double>>& pars,
                                const std::vector<Hkl>& hs, double tol, const std::string& what) {
  for (const auto& [i, step] : pars) {
    ASSERT_GE(i, 0) << what;
    const test::FdStats st =
        test::FdScan(FcOf(s, p, i, hs), p.Val[static_cast<size_t>(i)], {.Step = step});
    EXPECT_TRUE(test::FdAgree(st, tol)) << what << " " << p.Info[static_cast<size_t>(i)].Label;
  }
}

// A modulated atom's shape: waves of occupancy, position and ADP, crenel, sawtooth.
inline AtomShape WaveShape(int adp, int nOcc, int nPos, int nAdp, bool crenel = false,
                           bool saw = false) {
  AtomShape s;
  s.AdpOrder = adp;
  s.NWave[0] = nOcc;
  s.NWave[1] = nPos;
  s.NWave[2] = nAdp;
  s.Flag[0] = crenel ? 1 : 0;
  s.Flag[1] = saw ? 1 : 0;
  return s;
}

// A modulated phase (no atom-type tables): orthogonal cell, modulation
// vectors q, one atom type; `waves` the words of the "wave" option (none: no
// record). The model is cleared.
struct ModPhaseSpec {
  std::array<double, 3> Cell;
  std::vector<Vec3> Q;
  std::string AtType;
  std::vector<std::string> Ops;
  std::string Lattice = "P";
  bool Centro = false;
  std::vector<std::string> Waves = {};
};
inline void SetModPhase(const ModPhaseSpec& s) {
  Struct.Basic = BasicData{};
  Struct.Basic.Phase.resize(1);
  Struct.Basic.DatBlock.resize(1);
  PhaseBasic& ph = Struct.Basic.Phase[0];
  const double cell[6] = {s.Cell[0], s.Cell[1], s.Cell[2], 90, 90, 90};
  std::copy(cell, cell + 6, ph.Cell);
  ph.NDim = 3 + static_cast<int>(s.Q.size());
  ph.Qi = s.Q;
  ph.Lattice = s.Lattice;
  ph.Centro = s.Centro;
  ph.SymmText = s.Ops;
  ph.AtType = {s.AtType};
  ASSERT_EQ(SetBasicM50(Struct.Basic), 0);
  Struct.Model = AtomModel{};
  Struct.Model.Phase.resize(1);
  if (!s.Waves.empty()) Struct.Model.Phase[0].Opt = {M40Option{2, s.Waves}};
}

// A modulated atom with reproducible values: occupancy, position, Uiso (or the
// tensor beta), random anharmonic tensors and small waves from seed, crenel
// centre 0.3 width 0.6, sawtooth U = (0.05, -0.03, 0.02) on centre 0.2 width 0.7.
struct ModAtomSpec {
  const char* Name;
  double Occ;
  std::array<double, 3> X;
  double Uiso;
  std::array<double, 6> Beta;
};
inline AtomRec MakeModAtom(const ModAtomSpec& s, const AtomShape& sh, unsigned seed) {
  AtomRec a;
  a.Name = s.Name;
  a.Shape = sh;
  const AtomLayoutInfo l = AtomLayout(sh);
  a.Par.resize(l.NPar);
  double* v = a.Par.Val.data();
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-1., 1.);
  auto fill = [&](int blk, double amp) {
    for (int i = 0; i < l.Len[blk]; ++i) v[l.Off[blk] + i] = amp * u(rng);
  };
  v[l.Off[BlkOcc]] = s.Occ;
  for (int j = 0; j < 3; ++j) v[l.Off[BlkPos] + j] = s.X[static_cast<size_t>(j)];
  for (int c = 0; c < l.Len[BlkAdp]; ++c)
    v[l.Off[BlkAdp] + c] = sh.AdpOrder == 1 ? s.Uiso : s.Beta[static_cast<size_t>(c)];
  for (int b = BlkAnh3; b <= BlkAnh6; ++b) fill(b, 0.2);
  fill(BlkOccWave, 0.15);
  fill(BlkPosWave, 0.03);
  fill(BlkAdpWave, sh.AdpOrder == 1 ? 0.003 : 0.0008);
  if (l.Len[BlkCrenel]) v[l.Off[BlkCrenel]] = 0.3, v[l.Off[BlkCrenel] + 1] = 0.6;
  const double saw[5] = {0.05, -0.03, 0.02, 0.2, 0.7};
  for (int i = 0; i < l.Len[BlkSaw]; ++i) v[l.Off[BlkSaw] + i] = saw[i];
  return a;
}

// G of a modulated atom of the first phase by Bessel expansion (method 0) or
// integration (1), with the derivatives when dr, di are given.
inline std::complex<double> ModG(const AtomRec& a, int method, const int* h, double* dr = nullptr,
                                 double* di = nullptr) {
  ModAtomPrep m;
  EXPECT_EQ(CalcmPrepare(m, a, 0, method), 0);
  std::complex<double> g;
  std::string msg;
  const int rc = method == 0 ? Calcm1(m, a, h, g, dr, di, &msg) : Calcm2(m, a, h, g, dr, di, &msg);
  EXPECT_EQ(rc, 0) << msg;
  return g;
}

// Derivatives of G by integration (the preparation m of atom a kept) of every
// parameter against central differences of its real and imaginary parts over
// the reflections hs.
template <class H>
void ExpectModDerivatives(const ModAtomPrep& m, const AtomRec& a, const std::vector<H>& hs,
                          const std::string& what) {
  const int np = a.Par.size();
  for (int i = 0; i < np; ++i) {
    auto values = [&](double v, std::vector<double>* der) {
      AtomRec at = a;
      at.Par.Val[static_cast<size_t>(i)] = v;
      std::vector<double> y, dr(static_cast<size_t>(np)), di(static_cast<size_t>(np));
      for (const H& h : hs) {
        std::complex<double> g;
        EXPECT_EQ(Calcm2(m, at, h.data(), g, der ? dr.data() : nullptr, der ? di.data() : nullptr,
                         nullptr),
                  0);
        y.insert(y.end(), {g.real(), g.imag()});
        if (der) der->insert(der->end(), {dr[static_cast<size_t>(i)], di[static_cast<size_t>(i)]});
      }
      return y;
    };
    EXPECT_TRUE(test::FdAgree(test::FdScan(values, a.Par.Val[static_cast<size_t>(i)]), 1e-4, 1e-7))
        << what << " par " << i;
  }
}

// Writes an M90 of one block (Mo K-alpha) with the reflections h, k = -hmax..hmax,
// l = 0..hmax (one of each Friedel pair), I = iFactor * Fc**2 of the current model
// and sigma(I) = 0.02 I + 1. The scattering tables must be loaded. 0 on success.
[[nodiscard]] inline int WriteSimulatedM90(const std::string& path, int hmax, double iFactor = 1.) {
  const RefSettings ref;
  RefParams p;
  if (RefPrelimConstr(p, ref)) return 1;
  CalcSetup s;
  if (CalcPrepare(s, p, ref.Run)) return 1;
  std::vector<M90Block> blocks(1);
  blocks[0].Lambda = 0.71073;
  std::vector<std::vector<M90Refl>> refl(1);
  for (int h = -hmax; h <= hmax; ++h)
    for (int k = -hmax; k <= hmax; ++k)
      for (int l = 0; l <= hmax; ++l) {
        if (l == 0 && (k < 0 || (k == 0 && h <= 0))) continue;
        CalcRefl cr;
        cr.H = {h, k, l, 0, 0, 0};
        cr.SinThL = RefSinThL(Struct.Basic.Phase[0], cr.H.data(), 3);
        CalcOut out;
        if (Calc(s, cr, false, out)) return 1;
        M90Refl r;
        r.H[0] = h;
        r.H[1] = k;
        r.H[2] = l;
        r.I = iFactor * out.Fc * out.Fc;
        r.SigI = 0.02 * r.I + 1.;
        refl[0].push_back(r);
      }
  return WriteM90File(path, blocks, refl);
}

// A structure on disk in a scratch directory for whole runs: Open reads the
// M50 text, loads the scattering tables and leaves an empty model (the test
// is skipped when not run from the source root, where data/ lives).
class DiskRun : public ::testing::Test {
 protected:
  void Open(const std::string& m50) {
    if (!std::filesystem::exists("data/scatter")) GTEST_SKIP() << "not run from the root";
    Fln = Dir / "st";
    Sess.HomeDir = std::filesystem::current_path().string() + "/data/";
    Sess.fln = Fln;  // the refine block is read from Sess.fln
    Dir.Write("st.m50", m50);
    ASSERT_EQ(iom50(M50Read, Fln + ".m50"), 0);
    ASSERT_EQ(ScatEnsureLoaded(), 0);
    ASSERT_EQ(EM50ReadAllFormFactors(Struct.Basic), 0);
    Struct.Model = AtomModel{};
    SetBasicM40();
  }
  // Appends a refine block with the given lines to M50.
  void AppendRefine(const std::string& lines) const {
    std::string m50 = test::TempDir::Read(Fln + ".m50");
    m50 += std::string(80, '*') + "\nrefine\n" + lines + "end\n";
    ASSERT_EQ(FeWriteFileAtomic(Fln + ".m50", m50), 0);
  }
  // Lines of the listing holding part.
  static int Count(const std::vector<std::string>& lst, const std::string& part) {
    return static_cast<int>(std::count_if(lst.begin(), lst.end(), [&](const std::string& l) {
      return l.find(part) != std::string::npos;
    }));
  }
  int Run() {
    Listing.clear();
    return RefineRun(Fln, Listing, Sum);
  }

  test::TempDir Dir;
  std::string Fln;
  std::vector<std::string> Listing;
  RefRunSummary Sum;
};

}  // namespace tarn::testsim
