// The report's parts that need no run of the program: the merge of a user's
// CIF, the weighting text, and the items and loops of a modulated phase.
#include "cif/cif_report.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "cif/cif_keys.hpp"
#include "dist/dist_fixture.hpp"
#include "model/session.hpp"
#include "support/cif_text.hpp"
#include "util/numbers.hpp"

namespace tarn {
namespace {

CifDict Dict() {
  CifDict d;
  ErrorRecord err;
  EXPECT_EQ(CifReadDict(test::ReadText("data/cif.dat"), "cif.dat", d, err), 0) << err.Text();
  return d;
}

CifFile Parse(const std::string& text) {
  CifFile f;
  ErrorRecord err;
  EXPECT_EQ(CifParse(text, "t.cif", f, err), 0) << err.Text() << "\n" << text;
  return f;
}

TEST(CifUserFile, ItemsReplaceLoopsReplaceWholeDamageChangesNothing) {
  const CifDict d = Dict();
  CifDoc doc;
  CifBuilder b(d, doc);
  b.Block("global");
  b.Loop({CkAuthorName, CkAuthorAddress}, {{CifBuilder::P("?"), CifBuilder::T("?")}});
  b.Block("s");
  b.Item(CkCrystalColour);
  b.Item(CkCellTemperature, CifBuilder::P("293"));
  b.Item(CkDiffrnSource, CifBuilder::Q("X-ray tube"));
  b.Loop({CkSymopId, CkSymopXyz}, {{CifBuilder::P("1"), CifBuilder::Q("x,y,z")}});
  const std::string before = CifDocText(doc);

  const std::string user =
      "data_exp\n_exptl_crystal_colour colourless\n"
      "_diffrn_source ?\n_diffrn_measurement_device_type 'area detector'\n"
      "_tarn_file_m40\n;\nnot ours\n;\n"
      "loop_\n_publ_author_name\n_publ_author_address\n'Doe, J.' Town\n'Roe, R.' City\n"
      "loop_\n_cell_measurement_temperature\n100(2)\n";
  ErrorRecord err;
  ASSERT_EQ(CIFUpdateFromUserFile(doc, user, "exp.cif", err), 0) << err.Text();
  const CifFile out = Parse(CifDocText(doc));
  ASSERT_EQ(out.Blocks.size(), 2u);
  const CifBlock& s = out.Blocks[1];
  EXPECT_EQ(s.Find("_exptl_crystal_colour")->Text, "colourless");
  // A loop of a name the report holds as an item replaces the item.
  ASSERT_NE(s.FindLoop("_cell_measurement_temperature"), nullptr);
  EXPECT_EQ(s.Find("_cell_measurement_temperature")->Text, "100(2)");  // the user's value wins
  EXPECT_EQ(s.Find("_diffrn_source")->Text, "X-ray tube");             // "?" keeps ours
  ASSERT_NE(s.Find("_diffrn_measurement_device_type"), nullptr);       // added
  EXPECT_EQ(s.Find("_tarn_file_m40"), nullptr);                        // never taken
  const CifLoop* authors = out.Blocks[0].FindLoop("_publ_author_name");
  ASSERT_NE(authors, nullptr);
  EXPECT_EQ(authors->Rows.size(), 2u);

  // A damaged file: its line is told and the document stays as it was.
  CifDoc doc2;
  CifBuilder b2(d, doc2);
  b2.Block("s");
  b2.Item(CkCrystalColour);
  const std::string text2 = CifDocText(doc2);
  EXPECT_EQ(CIFUpdateFromUserFile(doc2, "data_x\n_exptl_crystal_colour red\nloop_\n_a\n_b\n1\n",
                                  "bad.cif", err),
            1);
  EXPECT_EQ(err.File, "bad.cif");
  EXPECT_GT(err.Line, 0);
  EXPECT_EQ(CifDocText(doc2), text2);
  EXPECT_NE(before, CifDocText(doc));
}

TEST(CifWeighting, SchemesOfTheRefinementOptions) {
  struct Case {
    int weight;
    double unstab, unstab2;
    bool fsquare, shelxw;
    const char *scheme, *details;
  } cases[] = {
      {0, 0.01, 0., true, false, "calc",
       "w=1/[\\s^2^(Fo^2^)+(0.0200P)^2^] where P=(Fo^2^+2Fc^2^)/3"},
      {0, 0.02, 0.5, true, true, "calc",
       "w=1/[\\s^2^(Fo^2^)+(0.0400P)^2^+0.5000P] where P=(Fo^2^+2Fc^2^)/3"},
      {0, 0., 0., false, false, "sigma", "w=1/[\\s^2^(Fo)]"},
      {1, 0.01, 0., true, false, "unit", "w=1"},
  };
  for (const auto& c : cases) {
    RefWeightOpt o;
    o.Weight = c.weight;
    o.Unstab = c.unstab;
    o.Unstab2 = c.unstab2;
    o.FSquare = c.fsquare;
    o.ShelxW = c.shelxw;
    const CifWeighting w = CifWeightingText(o);
    EXPECT_EQ(w.Scheme, c.scheme) << c.details;
    EXPECT_EQ(w.Details, c.details);
  }
}

// A magnetic phase: its group named from the operators with time inversion.
TEST(CifMagnetic, BnsSymbolOfTheOperators) {
  const std::string home = std::exchange(Sess.HomeDir, "data/");
  auto s = test::MakeStructure({5, 6, 7, 90, 100, 90}, {{"Fe", 1.2}}, {{"Fe1", 1, {0.1, 0.2, 0.3}}});
  PhaseBasic& p = s.Basic.Phase[0];
  p.Magnetic = true;
  p.Centro = true;
  p.SymmText = {"x y z m", "-x y -z -m"};
  ASSERT_EQ(SetBasicM50(s.Basic), 0);
  const CifFile f = Parse(CifDocText(CIFMakeTemplate(s, Dict(), CifSources{})));
  Sess.HomeDir = home;
  ASSERT_NE(f.Blocks.back().Find("_space_group_magn_name_BNS"), nullptr);
  EXPECT_EQ(f.Blocks.back().Find("_space_group_magn_name_BNS")->Text, "P2'/m'");
}

// P-1(abg) with q = (0.3, 0.1, 0.2): two atoms, each with a position wave
// and one with an occupancy wave.
TEST(CifModulated, WaveLoopsAndGeometryOverT) {
  const Vec3 q{0.3, 0.1, 0.2};
  auto s = test::MakeStructure({5, 6, 7, 90, 100, 90}, {{"C", 0.77}},
                               {{"C1", 1, {0.1, 0.2, 0.3}}, {"C2", 1, {0.08, 0.06, 0.07}}},
                               {"x1 x2 x3 x4", "-x1 -x2 -x3 -x4"}, "P", {}, {q});
  s.Basic.Phase[0].SpGroup = "P-1(abg)0";
  const double wave[2][6] = {{0.01, 0.02, 0., 0., 0., 0.015}, {0., 0.01, 0.02, 0.02, 0., 0.}};
  for (int i = 0; i < 2; ++i) {
    AtomRec& r = s.Model.Atom[static_cast<size_t>(i)];
    r.Shape.NWave[0] = i == 0 ? 1 : 0;  // occupancy
    r.Shape.NWave[1] = 1;               // position
    const auto lay = AtomLayout(r.Shape);
    r.Par.resize(lay.NPar);
    for (int k = 0; k < 6; ++k) {
      r.Par.Val[static_cast<size_t>(lay.Off[BlkPosWave] + k)] = wave[i][k];
      r.Par.Sig[static_cast<size_t>(lay.Off[BlkPosWave] + k)] = 0.0012;
    }
    if (i == 0) r.Par.Val[static_cast<size_t>(lay.Off[BlkOccWave] + 1)] = 0.25;
  }
  DistCommands c;
  ASSERT_EQ(DistReadCommands("dist\ndmax 2.5\nnooft 20\nangles 1\nend dist\n", c, 1), 0);
  DistResults r;
  ASSERT_EQ(DistRun(s, c, DistTables{}, r), 0);
  CifSources src;
  src.Dist = &r;
  const CifDoc doc = CIFMakeTemplate(s, Dict(), src);
  EXPECT_TRUE(doc.MissingKeys.empty());
  const CifFile f = Parse(CifDocText(doc));
  const CifBlock& b = f.Blocks.back();
  EXPECT_EQ(b.Find("_space_group_ssg_name")->Text, "P-1(abg)0");
  EXPECT_EQ(b.Find("_space_group_name_H-M_alt")->Text, "?");
  EXPECT_EQ(b.Find("_cell_modulation_dimension")->Text, "1");
  const CifLoop* ops = b.FindLoop("_space_group_symop_ssg_operation_algebraic");
  ASSERT_NE(ops, nullptr);
  EXPECT_EQ(ops->Rows[0][1].Text, "x1,x2,x3,x4");
  EXPECT_EQ(ops->Rows[1][1].Text, "-x1,-x2,-x3,-x4");
  EXPECT_EQ(b.FindLoop("_cell_wave_vector_x")->Rows[0][1].Text, "0.3");

  // One row per atom, wave and axis; the amplitudes of M40 with their s.u.
  const CifLoop* disp = b.FindLoop("_atom_site_displace_Fourier_atom_site_label");
  const CifLoop* par = b.FindLoop("_atom_site_displace_Fourier_param_sin");
  ASSERT_NE(disp, nullptr);
  ASSERT_NE(par, nullptr);
  ASSERT_EQ(disp->Rows.size(), 6u);
  ASSERT_EQ(par->Rows.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(disp->Rows[i][1].Text, i < 3 ? "C1" : "C2");
    EXPECT_EQ(disp->Rows[i][2].Text, std::string(1, "xyz"[i % 3]));
    double v = 0., su = 0.;
    ASSERT_TRUE(CifNumber(par->Rows[i][1].Text, v, su)) << par->Rows[i][1].Text;
    EXPECT_NEAR(v, wave[i / 3][i % 3], 1e-4);
    EXPECT_NEAR(su, 0.0012, 1e-9);
    ASSERT_TRUE(CifNumber(par->Rows[i][2].Text, v));
    EXPECT_NEAR(v, wave[i / 3][3 + i % 3], 1e-4);
  }
  const CifLoop* occ = b.FindLoop("_atom_site_occ_Fourier_param_cos");
  ASSERT_NE(occ, nullptr);
  ASSERT_EQ(occ->Rows.size(), 1u);
  EXPECT_EQ(occ->Rows[0][2].Text, "0.25");
  EXPECT_EQ(b.FindLoop("_atom_site_Fourier_wave_vector_q1_coeff")->Rows.size(), 1u);

  // Bonds over t: the distance tool's curves.
  const CifLoop* bonds = b.FindLoop("_geom_bond_distance_av");
  ASSERT_NE(bonds, nullptr);
  ASSERT_FALSE(bonds->Rows.empty());
  const int av = bonds->Column("_geom_bond_distance_av"),
            lo = bonds->Column("_geom_bond_distance_min"),
            hi = bonds->Column("_geom_bond_distance_max");
  for (const auto& row : bonds->Rows) {
    double a = 0., mn = 0., mx = 0.;
    ASSERT_TRUE(CifNumber(row[static_cast<size_t>(av)].Text, a));
    ASSERT_TRUE(CifNumber(row[static_cast<size_t>(lo)].Text, mn));
    ASSERT_TRUE(CifNumber(row[static_cast<size_t>(hi)].Text, mx));
    EXPECT_LE(mn, a);
    EXPECT_LE(a, mx);
    EXPECT_GT(mx - mn, 0.001);
  }
  EXPECT_NE(b.FindLoop("_geom_angle_av"), nullptr);
}

}  // namespace
}  // namespace tarn
