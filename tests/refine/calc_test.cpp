// Structure factors: analytic against numerical derivatives for every
// parameter kind, symmetry-equivalent and Friedel-related reflections, and a
// direct complex sum over explicitly generated positions (the second way).
#include "refine/calc.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>

#include "model/structure.hpp"
#include "support/refine_sim.hpp"

namespace tarn {
namespace {

using namespace testsim;
using cplx = std::complex<double>;

void SetStructure(const std::array<double, 6>& cell, const std::string& lattice,
                  const std::vector<std::string>& ops, const std::vector<AtomSpec>& atoms,
                  bool anomalous = true) {
  PhaseSpec ph{.Cell = cell, .Lattice = lattice, .Ops = ops};
  if (!anomalous) ph.FeAnom[1] = ph.CAnom[1] = 0.;
  SetPhase(ph);
  for (const AtomSpec& a : atoms) Struct.Model.Atom.push_back(MakeAtom(a));
}

// P2(1)/c with the inversion centre moved to (1/4, 1/4, 1/4).
const std::vector<std::string> kP21cShift = {"x y z", "-x+1/2 y+1/2 -z+1/2", "-x+1/2 -y+1/2 -z+1/2",
                                             "x -y z"};
const std::vector<std::string> kC2c = {"x y z", "-x y -z+1/2", "-x -y -z", "x -y z+1/2"};

const std::vector<AtomSpec> kAtoms = {
    {"Fe1", 2, 2, 1.0, {0.1123, 0.2041, 0.3302}, {0.0061, 0.0042, 0.0031, 0.0007, -0.0005, 0.0003}},
    {"C1", 1, 1, 0.9, {0.4512, 0.0712, 0.1811}, {0.021, 0, 0, 0, 0, 0}},
    {"C2", 1, 2, 1.0, {0.7734, 0.3917, 0.6021}, {0.0081, 0.0052, 0.0043, -0.0011, 0.0009, 0.0004}},
    {"Fe2", 2, 4, 0.5, {0.2345, 0.6612, 0.8803}, {0.0051, 0.0047, 0.0036, 0.0004, 0.0002, -0.0003}},
    {"C3", 1, 3, 1.0, {0.9011, 0.8533, 0.4127}, {0.0091, 0.0066, 0.0049, 0.0012, -0.0007, 0.0005}},
};

// The second way: every position R x + t + c of every operator and centring
// vector, tensors rotated explicitly, f from the Gaussian sum.
cplx DirectF(const std::array<int, 6>& h3) {
  const PhaseBasic& ph = Struct.Basic.Phase[0];
  const PhaseSymmetry& ps = ph.Symmetry;
  const double s = RefSinThL(ph, h3.data(), 3);
  Eigen::Vector3d h(h3[0], h3[1], h3[2]);
  cplx F = 0.;
  for (const AtomRec& a : Struct.Model.Atom) {
    const AtomTypeBasic& t = ph.AtTypeData[static_cast<size_t>(a.Type - 1)];
    double f0 = t.FFBasic[8];
    for (int i = 0; i < 4; ++i)
      f0 += t.FFBasic[static_cast<size_t>(2 * i)] *
            std::exp(-t.FFBasic[static_cast<size_t>(2 * i + 1)] * s * s);
    const cplx f(f0 + t.FPrime[0], t.FDoublePrime[0]);
    const auto& v = a.Par.Val;
    Eigen::Vector3d x(v[1], v[2], v[3]);
    Eigen::Matrix3d beta;
    if (a.Shape.AdpOrder == 1) {
      Eigen::Matrix3d g;
      for (int i = 0; i < 9; ++i) g(i / 3, i % 3) = ph.MetTensI[i];
      beta = 2. * kPi * kPi * v[4] * g;
    } else {
      beta << v[4], v[7], v[8], v[7], v[5], v[9], v[8], v[9], v[6];
    }
    // Full anharmonic tensors C[n][i1..in] from the unique components.
    const AtomLayoutInfo lay = AtomLayout(a.Shape);
    for (int o = 0; o < ps.NSymm; ++o)
      for (int c = 0; c < ps.NLattVec; ++c) {
        const SymmOp& op = ps.Op[static_cast<size_t>(o)];
        Eigen::Matrix3d r;
        for (int k = 0; k < 9; ++k) r(k / 3, k % 3) = op.RM[static_cast<size_t>(k)];
        Eigen::Vector3d t3;
        for (int k = 0; k < 3; ++k)
          t3[k] = op.S6[static_cast<size_t>(k)] +
                  ps.VT6[static_cast<size_t>(c)][static_cast<size_t>(k)];
        const Eigen::Vector3d xp = r * x + t3;
        const Eigen::Matrix3d bp = r * beta * r.transpose();
        const double tf = std::exp(-h.dot(bp * h));
        // Gram-Charlier with the rotated tensor: sum over all index tuples of
        // C'_{a..} h_a.., C'_{a..} = R_{a i} .. C_{i..}.
        cplx p = 1.;
        for (int n = 3; n <= a.Shape.AdpOrder; ++n) {
          const int b = BlkAnh3 + n - 3;
          // Unique tuples in lexicographic order -> value.
          std::vector<std::array<int, 6>> tuples;
          std::array<int, 6> idx{};
          std::function<void(int, int)> rec = [&](int pos, int from) {
            if (pos == n) {
              tuples.push_back(idx);
              return;
            }
            for (int i = from; i < 3; ++i) {
              idx[static_cast<size_t>(pos)] = i;
              rec(pos + 1, i);
            }
          };
          rec(0, 0);
          // A full index tuple has the value of the unique tuple with the same
          // count of each index.
          auto counts = [&](const std::array<int, 6>& t) {
            std::array<int, 3> c{};
            for (int q = 0; q < n; ++q) ++c[static_cast<size_t>(t[static_cast<size_t>(q)])];
            return c;
          };
          auto value = [&](const std::array<int, 6>& full) {
            const std::array<int, 3> cf = counts(full);
            for (size_t u = 0; u < tuples.size(); ++u)
              if (counts(tuples[u]) == cf)
                return v[static_cast<size_t>(lay.Off[b]) + u] / kAnhScale[static_cast<size_t>(n)];
            return 0.;
          };
          // k = R^T h: contraction of C' with h equals that of C with k.
          const Eigen::Vector3d k = r.transpose() * h;
          double sum = 0.;
          const int total = static_cast<int>(std::pow(3, n));
          for (int m = 0; m < total; ++m) {
            std::array<int, 6> full{};
            int mm = m;
            double prod = 1.;
            for (int q = 0; q < n; ++q) {
              full[static_cast<size_t>(q)] = mm % 3;
              prod *= k[mm % 3];
              mm /= 3;
            }
            sum += value(full) * prod;
          }
          p += std::pow(cplx(0., 2. * kPi), n) / std::tgamma(n + 1.) * sum;
        }
        F += v[0] * f * tf * p * std::polar(1., 2. * kPi * h.dot(xp));
      }
  }
  return F;
}

struct GroupCase {
  const char* Name;
  const std::array<double, 6>* Cell;
  const char* Lattice;
  const std::vector<std::string>* Ops;
};
const GroupCase kGroups[] = {
    {"P212121", &kCellOrtho, "P", &kP212121},
    {"P21/c shifted centre", &kCellMono, "P", &kP21cShift},
    {"C2/c", &kCellMono, "C", &kC2c},
};

TEST(Calc, DirectSumOverExplicitPositions) {
  const std::vector<std::array<int, 6>> hs = {{1, 0, 0},  {0, 2, 1},  {1, 1, 1},  {2, -3, 4},
                                              {-3, 1, 5}, {4, 4, -2}, {5, -1, 7}, {0, 0, 6}};
  for (const GroupCase& g : kGroups) {
    SetStructure(*g.Cell, g.Lattice, *g.Ops, kAtoms);
    RefParams p;
    RefBuildParams(p);
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    for (const auto& h : hs) {
      const CalcOut o = Eval(s, h, false);
      const cplx d = DirectF(h);
      EXPECT_NEAR(o.A, d.real(), 1e-6 * (1. + std::abs(d)))
          << g.Name << " " << h[0] << h[1] << h[2];
      EXPECT_NEAR(o.B, d.imag(), 1e-6 * (1. + std::abs(d)))
          << g.Name << " " << h[0] << h[1] << h[2];
      EXPECT_NEAR(o.Fc, 1.7 * std::abs(d), 1e-6 * (1. + std::abs(d)));
    }
  }
}

// Every parameter kind: occupancy, x y z, Uiso, beta_ij, third- and
// fourth-order tensors, and the scale; analytic against central differences.
TEST(Calc, DerivativesMatchCentralDifferences) {
  struct ParCase {
    const char* Atom;  // "" data-block value
    const char* Par;
    double Step;
  };
  const ParCase pars[] = {
      {"Fe1", "ai", 1e-5},  {"Fe1", "x", 1e-6},   {"Fe1", "y", 1e-6},   {"Fe1", "z", 1e-6},
      {"Fe1", "U11", 1e-6}, {"Fe1", "U22", 1e-6}, {"Fe1", "U12", 1e-6}, {"Fe1", "U23", 1e-6},
      {"C1", "Uiso", 1e-5}, {"C1", "x", 1e-6},    {"C1", "ai", 1e-5},   {"Fe2", "z", 1e-6},
      {"Fe2", "U13", 1e-6}, {"Fe2", "ai", 1e-5},  {"C3", "U33", 1e-6},  {"C3", "y", 1e-6},
      {"", "sc1", 1e-5},
  };
  const std::vector<Hkl> hs = {{2, -3, 4}, {-3, 1, 5}, {1, 1, 1}, {4, 4, -2}};
  for (const GroupCase& g : kGroups) {
    SetStructure(*g.Cell, g.Lattice, *g.Ops, kAtoms);
    RefParams p;
    RefBuildParams(p);
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    // Parameters by name plus every anharmonic component of Fe2 (order 4) and C3.
    std::vector<std::pair<int, double>> idx;
    for (const ParCase& c : pars) {
      const int i = RefParIndex(p, c.Par, c.Atom);
      ASSERT_GE(i, 0) << c.Par << " " << c.Atom;
      idx.push_back({i, c.Step});
    }
    for (const char* at : {"Fe2", "C3"}) {
      const int ia = at[0] == 'F' ? 3 : 4;
      const AtomLayoutInfo lay = AtomLayout(Struct.Model.Atom[static_cast<size_t>(ia)].Shape);
      for (int b = BlkAnh3; b <= BlkAnh4; ++b)
        for (int c = 0; c < lay.Len[b]; c += 3)
          idx.push_back({p.AtomBase[static_cast<size_t>(ia)] + lay.Off[b] + c, 1e-4});
    }
    ExpectFcDerivatives(s, p, idx, hs, 2e-4, g.Name);
  }
}

// F(h R) = F(h) exp(-2 pi i h.t) for every operator (R, t); anomalous
// scattering does not break it.
TEST(Calc, EquivalentReflectionsFollowTheOperators) {
  for (const GroupCase& g : kGroups) {
    SetStructure(*g.Cell, g.Lattice, *g.Ops, kAtoms);
    RefParams p;
    RefBuildParams(p);
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    const PhaseSymmetry& ps = Struct.Basic.Phase[0].Symmetry;
    for (const std::array<int, 6> h : {std::array<int, 6>{2, -3, 4}, {1, 2, 3}, {-5, 1, 2}}) {
      const CalcOut o = Eval(s, h, false);
      const cplx f(o.A, o.B);
      for (int k = 0; k < ps.NSymm; ++k) {
        const SymmOp& op = ps.Op[static_cast<size_t>(k)];
        std::array<int, 6> hr{};
        double ht = 0.;
        for (int j = 0; j < 3; ++j) {
          double v = 0.;
          for (int i = 0; i < 3; ++i)
            v += h[static_cast<size_t>(i)] * op.RM[static_cast<size_t>(3 * i + j)];
          hr[static_cast<size_t>(j)] = static_cast<int>(std::lround(v));
          ht += h[static_cast<size_t>(j)] * op.S6[static_cast<size_t>(j)];
        }
        const CalcOut oe = Eval(s, hr, false);
        const cplx expect = f * std::polar(1., -2. * kPi * ht);
        EXPECT_NEAR(oe.A, expect.real(), 1e-6 * (1. + std::abs(f))) << g.Name << " op " << k;
        EXPECT_NEAR(oe.B, expect.imag(), 1e-6 * (1. + std::abs(f))) << g.Name << " op " << k;
      }
    }
  }
}

// Friedel's law holds without f'' (anharmonic odd tensors included) and is
// broken by f'' in the acentric group unless "refofanom" is 0.
TEST(Calc, FriedelPairs) {
  // "refofanom" 0 sets f' = f'' = 0: Friedel's law holds again.
  struct Case {
    bool Anomalous;
    int RefOfAnom;  // -1: record absent
    bool Friedel;
  };
  for (const Case c :
       {Case{false, -1, true}, Case{true, -1, false}, Case{true, 1, false}, Case{true, 0, true}}) {
    SCOPED_TRACE(testing::Message() << c.Anomalous << " " << c.RefOfAnom);
    SetStructure(kCellOrtho, "P", kP212121, kAtoms, c.Anomalous);
    if (c.RefOfAnom >= 0) Struct.Basic.RefOfAnom = c.RefOfAnom;
    RefParams p;
    RefBuildParams(p);
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    double maxDiff = 0.;
    for (const std::array<int, 6> h :
         {std::array<int, 6>{2, -3, 4}, {1, 2, 3}, {-5, 1, 2}, {3, 3, 1}}) {
      const CalcOut a = Eval(s, h, false);
      const CalcOut b = Eval(s, {-h[0], -h[1], -h[2]}, false);
      maxDiff = std::max(maxDiff, std::fabs(a.Fc - b.Fc) / a.Fc);
      if (c.Friedel) {
        EXPECT_NEAR(a.A, b.A, 1e-8 * (1. + a.Fc));
        EXPECT_NEAR(a.B, -b.B, 1e-8 * (1. + a.Fc));
      }
    }
    if (!c.Friedel) {
      EXPECT_GT(maxDiff, 0.01);
    }
  }
}

// A strongly negative tensor makes the temperature factor overflow: the
// reflection is flagged with the atom's name and its indices.
TEST(Calc, StronglyNegativeAdpIsANumericalProblem) {
  std::vector<AtomSpec> atoms = {kAtoms[0], kAtoms[1]};
  atoms[1].B[0] = -3.;  // Uiso of C1, Angstrom^2
  SetStructure(kCellOrtho, "P", kP212121, atoms);
  RefParams p;
  RefBuildParams(p);
  CalcSetup s;
  ASSERT_EQ(CalcPrepare(s, p), 0);
  CalcRefl r;
  r.H = {1, 0, 0};
  r.SinThL = RefSinThL(Struct.Basic.Phase[0], r.H.data(), 3);
  CalcOut o;
  EXPECT_EQ(Calc(s, r, false, o), 0);  // small angle: no overflow
  r.H = {9, 9, 9};
  r.SinThL = RefSinThL(Struct.Basic.Phase[0], r.H.data(), 3);
  EXPECT_EQ(Calc(s, r, true, o), 1);
  EXPECT_EQ(o.Problem, 1);
  ASSERT_EQ(o.Msg.size(), 2u);
  EXPECT_EQ(o.Msg[0], "ADP of the atom \"C1\" strongly negative");
  EXPECT_EQ(o.Msg[1], "Numerical problem for reflection (9 9 9) in CALC.");
}

// Neutron lengths replace the form factor; a centred lattice extinguishes the
// reflections it forbids.
TEST(Calc, NeutronLengthsAndCentringExtinctions) {
  SetStructure(kCellMono, "C", kC2c, {kAtoms[0], kAtoms[2]});
  Struct.Basic.DatBlock[0].Radiation = 2;
  Struct.Basic.Phase[0].AtTypeData[0].FNeutron = 6.646;
  Struct.Basic.Phase[0].AtTypeData[1].FNeutron = 9.45;
  RefParams p;
  RefBuildParams(p);
  CalcSetup s;
  ASSERT_EQ(CalcPrepare(s, p), 0);
  EXPECT_NEAR(Eval(s, {1, 0, 2}, false).Fc, 0., 1e-9);  // h + k odd
  EXPECT_NEAR(Eval(s, {0, 0, 1}, false).Fc, 0., 1e-9);  // c glide: l odd for h0l
  const CalcOut o = Eval(s, {0, 0, 0}, false);
  // F(000) = sum of ai b over all 8 positions.
  EXPECT_NEAR(o.A, 8. * (9.45 + 6.646), 1e-6);
  // Without the table entry for the radiation the preparation refuses.
  Struct.Basic.Phase[0].AtTypeData[1].FNeutron.reset();
  EXPECT_EQ(CalcPrepare(s, p), 1);
}

// Extinction: the derivatives of the extinction values, of the scale and of
// an atom value (through y(|F|^2)) against central differences.
TEST(Calc, ExtinctionDerivatives) {
  struct ExtCase {
    int Type;
    std::vector<double> Val;
  };
  const ExtCase cases[] = {{ExtShelx, {0.05}}, {ExtIso, {20., 2000.}}};
  for (const ExtCase& c : cases) {
    SetStructure(kCellOrtho, "P", kP212121, kAtoms);
    DatBlockModel& dm = Struct.Model.DatBlock[0];
    dm.ExtType = c.Type;
    dm.Ext.resize(static_cast<int>(c.Val.size()));
    dm.Ext.Val = c.Val;
    RefParams p;
    RefBuildParams(p);
    CalcSetup s;
    ASSERT_EQ(CalcPrepare(s, p), 0);
    std::vector<std::pair<int, double>> idx = {{RefParIndex(p, "sc1", ""), 1e-5},
                                               {RefParIndex(p, "x", "Fe1"), 1e-6},
                                               {RefParIndex(p, "U11", "C2"), 1e-6}};
    for (size_t k = 0; k < c.Val.size(); ++k)
      idx.push_back({p.DatBase[0][1] + static_cast<int>(k), 1e-5 * c.Val[k]});
    EXPECT_LT(Eval(s, {1, 1, 1}, false).Ext, 0.98) << "extinction too weak to test";
    ExpectFcDerivatives(s, p, idx, {{1, 1, 1}, {2, 0, 1}, {0, 2, 2}}, 1e-4,
                        "extinction type " + std::to_string(c.Type));
  }
}

}  // namespace
}  // namespace tarn
