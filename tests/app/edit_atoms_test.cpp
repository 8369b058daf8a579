// ".Edit->Atoms" in batch: a wrong line changes nothing on disk and ends the
// batch with exit 1; on SH2185_Cu the published hydrogens replaced by riding
// ones give nearly the published R factors.
#include "road.hpp"

namespace tarn::test {
namespace {

using EditAtomsBatch = NaClExampleTest;

TEST_F(EditAtomsBatch, WrongLineChangesNothing) {
  const std::string m40 = Dir.Read("s/nacl.m40"), m50 = Dir.Read("s/nacl.m50");
  EXPECT_EQ(Batch(".Edit->Atoms\nadd O1 O 0.25 0.25 0.25\nrename Na Cl\n.end\n"), 1) << Dir.Output;
  EXPECT_TRUE(Printed("line 5: rename Na Cl")) << Dir.Output;
  EXPECT_TRUE(Printed("The atom \"Cl\" already exists.")) << Dir.Output;
  EXPECT_EQ(Dir.Read("s/nacl.m40"), m40);
  EXPECT_EQ(Dir.Read("s/nacl.m50"), m50);
  ASSERT_EQ(Batch(".Edit->Atoms\nadd O1 O 0.25 0.25 0.25 0.01\nrename Na Na1\n.end\n"), 0)
      << Dir.Output;
  const AtomModel m = ReadM40();
  ASSERT_EQ(m.Atom.size(), 3u);
  EXPECT_EQ(m.Atom[0].Name, "Na1");
  EXPECT_EQ(m.Atom[2].Type, 3);
  EXPECT_NEAR(m.Atom[2].Par.Val[0], 1. / 24., 1e-6) << "site -43m of Fm-3m";
  EXPECT_EQ(ReadM50().Phase[0].AtType.back(), "O");
}

// Riding hydrogens in place of the published (partly free) ones: R1 after
// three cycles within 0.001 of the published model's.
using EditAtomsSh2185 = Sh2185Test;

TEST_F(EditAtomsSh2185, RidingHydrogensGiveThePublishedR) {
  WriteEmbedded(3);
  ASSERT_EQ(Dir.Batch(kShelxRoad + ".run->refine\n.end\n"), 0) << Dir.Output;
  const RFactors pub = LastRFactors(Dir.Read("s.ref"));
  ProgramDir edit;
  edit.Write("s.res", WithCycles(ShelxEmbeddedFile(Published, "_shelx_res_file"), 3));
  edit.Write("s.hkl", ShelxEmbeddedFile(Published, "_shelx_hkl_file"));
  ASSERT_EQ(edit.Batch(kShelxRoad + ".Edit->Atoms\ndelete H*\nhydrogens *\n.run->refine\n.end\n"),
            0)
      << edit.Output;
  EXPECT_TRUE(edit.Printed("30 hydrogen atom(s) added.")) << edit.Output;
  const RFactors r = LastRFactors(edit.Read("s.ref"));
  EXPECT_EQ(r.NObs, pub.NObs);
  EXPECT_NEAR(r.R[0], pub.R[0], 0.1) << "R(obs), percent";
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

// Rutile: O deleted, the strongest maximum of the difference map taken as O
// and refined gives the simulated structure back (O at x x 0, x = 0.3053, or
// an equivalent position) within 0.002 A.
using EditAtomsRutile = ProgramTest;

TEST_F(EditAtomsRutile, OxygenFromTheDifferenceMap) {
  fs::create_directories(Dir / "s");
  for (const char* ext : {".m50", ".m40", ".m95"})
    fs::copy_file(fs::path("examples/rutile/rutile") += ext,
                  Dir / "s" / (std::string("rutile") + ext));
  const std::string refine = ".run->refine\n.run->refine\n.run->refine\n";
  ASSERT_EQ(Dir.Batch(".File->Structure->Open\ns/rutile\n"
                      ".File->Reflection file->Create refinement reflection file\n" +
                      refine + ".Edit->Atoms\ndelete O1\n" + refine +
                      ".Edit->Commands\nfourier\nmaptype 6\nend fourier\n.run->fourier\n"
                      ".Edit->Atoms\npeaks 1 O\n" +
                      refine + ".end\n"),
            0)
      << Dir.Output;
  AtomModel m;
  ASSERT_EQ(M40ReadText(Dir.Read("s/rutile.m40"), "rutile.m40", m), 0);
  ASSERT_EQ(m.Atom.size(), 2u);
  EXPECT_EQ(m.Atom[1].Type, 2) << "the O2- type of the structure";
  // Images of (x, x, 0) in P4(2)/mnm: x, x, 0 / 1/2 - x, 1/2 + x, 1/2 and their
  // partners; distance along [110] of the cell a = 4.594 A.
  const double* x = &m.Atom[1].Par.Val[1];
  double best = 1.;
  for (double c : {x[0], 1. - x[0], 0.5 - x[0], 0.5 + x[0]})
    best = std::min(best, std::fabs(c - 0.3053));
  EXPECT_LT(best * 4.594 * std::sqrt(2.), 0.002) << x[0] << " " << x[1] << " " << x[2];
  EXPECT_NEAR(std::fabs(x[0] - 0.5), std::fabs(x[1] - 0.5), 1e-6);
}

}  // namespace
}  // namespace tarn::test
