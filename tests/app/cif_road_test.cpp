// The CIF report in batch on a refined structure: SH2185_Cu imported from
// the .res and .hkl embedded in its published CIF, refined, then ".run->cif".
// The written CIF is read back with our own CIF reader and set beside the
// program's own values (M50, M40, the distance listing), and it is imported
// again with ".import->CIF".
#include <algorithm>
#include <cmath>
#include <map>
#include <regex>
#include <sstream>

#include "model/m40.hpp"
#include "model/m50.hpp"
#include "powder/prf.hpp"
#include "road.hpp"
#include "support/refine_sim.hpp"
#include "util/cif_syntax.hpp"
#include "util/round_esd.hpp"
#include "util/strings.hpp"

namespace tarn::test {
namespace {

// The words of the first line of M50 that starts with key.
std::vector<std::string> M50Line(const std::string& m50, const std::string& key) {
  std::istringstream in(m50);
  for (std::string line; std::getline(in, line);) {
    auto w = SplitWords(line);
    if (!w.empty() && w[0] == key) return {w.begin() + 1, w.end()};
  }
  return {};
}

std::vector<std::string> M50Lines(const std::string& m50, const std::string& key) {
  std::vector<std::string> out;
  std::istringstream in(m50);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + " ", 0) == 0) out.push_back(line);
  return out;
}

// |cif - value| within half a unit of the last digit the CIF shows.
void ExpectRounded(const std::string& text, double value, const std::string& what) {
  double v = 0., su = 0.;
  ASSERT_TRUE(CifNumber(text, v, su)) << what << " " << text;
  const std::string digits = text.substr(0, text.find('('));
  const size_t dot = digits.find('.');
  const int dec = dot == std::string::npos ? 0 : static_cast<int>(digits.size() - dot - 1);
  EXPECT_LE(std::fabs(v - value), 0.5 * std::pow(10., -dec) + 1e-9) << what << " " << text;
}

class CifRoad : public Sh2185Test {
 protected:
  void SetUp() override {
    Sh2185Test::SetUp();
    if (IsSkipped()) return;
    WriteEmbedded();
    ASSERT_EQ(Dir.Batch(kShelxRoad + ".run->refine\n.run->cif\n.end\n"), 0) << Dir.Output;
    text_ = Dir.Read("s.cif");
    ErrorRecord err;
    ASSERT_EQ(CifParse(text_, "s.cif", cif_, err), 0) << err.Text();
    ASSERT_EQ(cif_.Blocks.size(), 2u);
    block_ = &cif_.Blocks[1];
  }
  const std::string& Value(const std::string& name) {
    const CifValue* v = block_->Find(name);
    static const std::string none = "(absent)";
    return v ? v->Text : none;
  }
  std::string text_;
  CifFile cif_;
  const CifBlock* block_ = nullptr;
};

TEST_F(CifRoad, CellAtomsAndBondsAreTheProgramsOwn) {
  EXPECT_EQ(cif_.Blocks[0].Name, "global");
  // Sections in order.
  size_t at = 0;
  for (const char* s : {"# 1. PROCESSING SUMMARY (IUCr Office Use Only)", "# 2. SUBMISSION DETAILS",
                        "# 3. TITLE AND AUTHOR LIST", "# 4. TEXT", "# 5. CHEMICAL DATA",
                        "# 6. CRYSTAL DATA", "# 7. EXPERIMENTAL DATA", "# 8. REFINEMENT DATA",
                        "# 9. ATOMIC COORDINATES AND DISPLACEMENT PARAMETERS",
                        "# 10. MOLECULAR GEOMETRY", "# 11. STRUCTURE-FACTOR LIST"}) {
    const size_t next = text_.find(s, at);
    ASSERT_NE(next, std::string::npos) << s;
    at = next;
  }
  // The cell of M50 under the rounding of its s.u.
  const std::string m50 = Dir.Read("s.m50");
  const auto cell = M50Line(m50, "cell"), esd = M50Line(m50, "esdcell");
  ASSERT_EQ(cell.size(), 6u);
  const char* names[] = {"_cell_length_a",    "_cell_length_b",   "_cell_length_c",
                         "_cell_angle_alpha", "_cell_angle_beta", "_cell_angle_gamma"};
  for (size_t k = 0; k < 6; ++k) ExpectRounded(Value(names[k]), std::stod(cell[k]), names[k]);
  EXPECT_EQ(Value("_cell_length_a"), RoundESD(std::stod(cell[0]), std::stod(esd[0]), 6));
  EXPECT_EQ(Value("_cell_formula_units_Z"), "4");
  EXPECT_EQ(Value("_chemical_formula_sum"), "C22 H25 N O");
  EXPECT_EQ(Value("_refine_ls_structure_factor_coef"), "Fsqd");
  EXPECT_EQ(Value("_reflns_number_total"), "3667");
  EXPECT_EQ(Value("_journal_name_full"), "(absent)");  // in the global block

  // Coordinates of M40 under the rounding of their s.u.
  AtomModel m;
  ASSERT_EQ(M40ReadText(Dir.Read("s.m40"), "s.m40", m), 0);
  const CifLoop* atoms = block_->FindLoop("_atom_site_label");
  ASSERT_NE(atoms, nullptr);
  ASSERT_EQ(atoms->Rows.size(), m.Atom.size());
  const int cx = atoms->Column("_atom_site_fract_x");
  for (size_t i = 0; i < m.Atom.size(); ++i) {
    const auto& row = atoms->Rows[i];
    EXPECT_EQ(row[static_cast<size_t>(atoms->Column("_atom_site_label"))].Text, m.Atom[i].Name);
    for (int k = 0; k < 3; ++k)
      ExpectRounded(row[static_cast<size_t>(cx + k)].Text,
                    m.Atom[i].Par.Val[static_cast<size_t>(1 + k)], m.Atom[i].Name);
  }
  EXPECT_NE(block_->FindLoop("_atom_site_aniso_U_11"), nullptr);
  // The group named from the .res operators, the disorder groups from its PART numbers,
  // as the published CIF has them.
  CifFile pub;
  ErrorRecord err;
  ASSERT_EQ(CifParse(Published, "SH2185_Cu.cif", pub, err), 0) << err.Text();
  EXPECT_EQ(Value("_space_group_IT_number"), "19");
  EXPECT_EQ(Value("_space_group_name_H-M_alt"), "P212121");
  const CifLoop* pubAtoms = pub.Blocks[0].FindLoop("_atom_site_disorder_group");
  ASSERT_NE(pubAtoms, nullptr);
  std::map<std::string, std::string> group;
  for (const auto& row : pubAtoms->Rows)
    group[row[0].Text] = row[static_cast<size_t>(pubAtoms->Column("_atom_site_disorder_group"))].Text;
  const int cg = atoms->Column("_atom_site_disorder_group");
  ASSERT_GE(cg, 0);
  int disordered = 0;
  for (const auto& row : atoms->Rows) {
    EXPECT_EQ(row[static_cast<size_t>(cg)].Text, group[row[0].Text]) << row[0].Text;
    disordered += row[static_cast<size_t>(cg)].Text != ".";
  }
  EXPECT_EQ(disordered, std::count_if(group.begin(), group.end(),
                                      [](const auto& g) { return g.second != "."; }));
  EXPECT_GT(disordered, 0);

  // Bonds as the distance listing writes them (same value and s.u. digits).
  const std::string dis = Dir.Read("s.dis");
  const CifLoop* bonds = block_->FindLoop("_geom_bond_distance");
  ASSERT_NE(bonds, nullptr);
  ASSERT_GT(bonds->Rows.size(), 30u);
  int checked = 0;
  for (size_t i = 0; i < bonds->Rows.size(); i += 7) {
    const auto& r = bonds->Rows[i];
    const std::string a = r[0].Text, b = r[1].Text, d = r[2].Text;
    const size_t head = dis.find("Coordination of atom " + a + "\n");
    ASSERT_NE(head, std::string::npos) << a;
    const size_t end = dis.find("\n\n", head);
    const std::string block = dis.substr(head, end - head);
    EXPECT_NE(block.find(" " + b + " "), std::string::npos) << a << "-" << b;
    EXPECT_NE(block.find(d), std::string::npos) << a << "-" << b << " " << d;
    ++checked;
  }
  EXPECT_GT(checked, 4);
  // The structure factors beside it.
  const std::string fcf = Dir.Read("s.fcf");
  EXPECT_NE(fcf.find("# h,k,l, Fc-squared, Fo-squared, sigma(Fo-squared) and status flag"),
            std::string::npos);
  EXPECT_NE(fcf.find("_shelx_refln_list_code            4"), std::string::npos);
}

TEST_F(CifRoad, UserItemsStayProgramItemsAreRenewed) {
  // The user fills in an item and adds one of their own; a program item is
  // changed by hand.
  std::string edited = text_;
  auto replace = [&](const std::string& from, const std::string& to) {
    const size_t at = edited.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    edited.replace(at, from.size(), to);
  };
  replace("_exptl_crystal_colour             ?", "_exptl_crystal_colour             colourless");
  replace("_cell_formula_units_Z             4", "_cell_formula_units_Z             8");
  edited += "_my_own_note                      'kept by hand'\n";
  Dir.Write("s.cif", edited);
  // The residual density is that of the unweighted difference map of the
  // whole cell, not that of the (weighted) map the fourier block last made;
  // the published figures of SH2185_Cu are 0.133, -0.187, 0.034 e/A^3.
  ASSERT_EQ(Dir.Batch(".File->Structure->Open\ns\n.Edit->Commands\nfourier\n  maptype 6 step 0.1 "
                      "cmethod 2 peaks 0\nend fourier\n.run->fourier\n.run->cif\n.end\n"),
            0)
      << Dir.Output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(Dir.Output, m,
                                std::regex("map, max ([-0-9.]+), min ([-0-9.]+), rms ([0-9.]+)")))
      << Dir.Output;
  CifFile again;
  ErrorRecord err;
  ASSERT_EQ(CifParse(Dir.Read("s.cif"), "s.cif", again, err), 0) << err.Text();
  const CifBlock& b = again.Blocks[1];
  EXPECT_EQ(b.Find("_exptl_crystal_colour")->Text, "colourless");
  EXPECT_EQ(b.Find("_cell_formula_units_Z")->Text, "4");
  ASSERT_NE(b.Find("_my_own_note"), nullptr);
  EXPECT_EQ(b.Find("_my_own_note")->Text, "kept by hand");
  const char* rho[3] = {"_refine_diff_density_max", "_refine_diff_density_min",
                        "_refine_diff_density_rms"};
  const double published[3] = {0.133, -0.187, 0.034};
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(std::stod(b.Find(rho[k])->Text), published[k], 0.02) << rho[k];
    if (k < 2) {
      EXPECT_NE(b.Find(rho[k])->Text, m[k + 1].str()) << rho[k] << ": the weighted map's";
    }
  }
  // A CIF of the user's: its values win, a damaged one changes nothing.
  Dir.Write("exp.cif",
            "data_exp\n_exptl_crystal_colour red\n_diffrn_measurement_device_type "
            "'area detector'\n");
  ASSERT_EQ(Dir.Batch(".File->Structure->Open\ns\n.run->cif->user\nexp.cif\n.end\n"), 0)
      << Dir.Output;
  const std::string merged = Dir.Read("s.cif");
  EXPECT_NE(merged.find("_exptl_crystal_colour             red"), std::string::npos);
  EXPECT_NE(merged.find("'area detector'"), std::string::npos);
  Dir.Write("exp.cif", "data_exp\n_exptl_crystal_colour blue\nloop_\n_a\n_b\n1\n");
  EXPECT_EQ(Dir.Batch(".File->Structure->Open\ns\n.run->cif->user\nexp.cif\n.end\n"), 1);
  EXPECT_TRUE(Printed("exp.cif")) << Dir.Output;
  EXPECT_EQ(Dir.Read("s.cif"), merged);
  // A file that cannot be read is not overwritten.
  Dir.Write("s.cif", "data_x\nloop_\n");
  EXPECT_EQ(Dir.Batch(".File->Structure->Open\ns\n.run->cif\n.end\n"), 1);
  EXPECT_EQ(Dir.Read("s.cif"), "data_x\nloop_\n");
}

TEST_F(CifRoad, ImportOfTheWrittenCifGivesTheStructureBack) {
  fs::create_directories(Dir / "back");
  fs::copy_file(Dir / "s.cif", Dir / "back/t.cif");
  ASSERT_EQ(Dir.Batch(".import->CIF\nback/t.cif\n.end\n"), 0) << Dir.Output;
  const std::string m50 = Dir.Read("s.m50"), back = Dir.Read("back/t.m50");
  ASSERT_FALSE(back.empty()) << Dir.Output;
  const auto c0 = M50Line(m50, "cell"), c1 = M50Line(back, "cell");
  ASSERT_EQ(c1.size(), 6u);
  for (size_t k = 0; k < 6; ++k) EXPECT_DOUBLE_EQ(std::stod(c1[k]), std::stod(c0[k])) << k;
  EXPECT_EQ(M50Lines(back, "symmetry"), M50Lines(m50, "symmetry"));
  // The embedded M50 brings the refinement commands back.
  EXPECT_EQ(M50Lines(back, "  keep"), M50Lines(m50, "  keep"));
  AtomModel m0, m1;
  ASSERT_EQ(M40ReadText(Dir.Read("s.m40"), "s.m40", m0), 0);
  ASSERT_EQ(M40ReadText(Dir.Read("back/t.m40"), "t.m40", m1), 0);
  ASSERT_EQ(m1.Atom.size(), m0.Atom.size());
  for (size_t i = 0; i < m0.Atom.size(); ++i) {
    EXPECT_EQ(m1.Atom[i].Name, m0.Atom[i].Name);
    EXPECT_EQ(m1.Atom[i].Shape.AdpOrder, m0.Atom[i].Shape.AdpOrder) << m0.Atom[i].Name;
    for (size_t k = 1; k <= 3; ++k)
      EXPECT_DOUBLE_EQ(m1.Atom[i].Par.Val[k], m0.Atom[i].Par.Val[k]) << m0.Atom[i].Name;
  }
}

// Powder: the PbSO4 neutron pattern fitted by Le Bail; the report takes the
// profile R values of the listing and the pattern of the profile file.
TEST(CifPowderRoad, ProfileRFactorsAndPattern) {
  const fs::path data = "../shared/data/powder/pbso4/";
  if (!fs::exists(TARNWORK_EXE) || !fs::exists(data)) GTEST_SKIP() << "no program or no data";
  ProgramDir dir;
  fs::copy_file(data / "PbSO4-Wyckoff.cif", dir / "pbso4.cif");
  fs::permissions(dir / "pbso4.cif", fs::perms::owner_write, fs::perm_options::add);
  const std::string d = fs::absolute(data).string();
  ASSERT_EQ(dir.Batch(".import->CIF\npbso4.cif\n.File->Powder data->Import\nGSAS standard\n" + d +
                      "PBSO4.CWN\n" + d +
                      "inst_d1a.prm\n.Edit->Keywords\nrefine\ncycles 1\n.run->lebail\n.end\n"),
            0)
      << dir.Output;
  const std::string fit = dir.Output;
  // The report takes the name of the CIF the model was imported from: that
  // file is kept under a backup name, never overwritten.
  const std::string imported = dir.Read("pbso4.cif");
  ASSERT_EQ(dir.Batch(".File->Structure->Open\npbso4\n.run->cif\n.end\n"), 0) << dir.Output;
  EXPECT_EQ(dir.Read("pbso4.cif.orig"), imported);
  CifFile cif;
  ErrorRecord err;
  ASSERT_EQ(CifParse(dir.Read("pbso4.cif"), "pbso4.cif", cif, err), 0) << err.Text();
  const CifBlock& b = cif.Blocks.back();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(fit, m, std::regex("Rp ([0-9.]+) Rwp ([0-9.]+) Rexp")));
  for (auto [name, k] :
       {std::pair{"_pd_proc_ls_prof_R_factor", 1}, {"_pd_proc_ls_prof_wR_factor", 2}}) {
    ASSERT_NE(b.Find(name), nullptr) << name;
    EXPECT_NEAR(std::stod(b.Find(name)->Text), std::stod(m[k]) / 100., 0.00006) << name;
  }
  const CifLoop* pattern = b.FindLoop("_pd_proc_intensity_total");
  ASSERT_NE(pattern, nullptr);
  std::istringstream prf(dir.Read("pbso4.prf"));
  size_t points = 0;
  prf >> points;
  EXPECT_EQ(pattern->Rows.size(), points);
  // The reflections of the partition as the profile file holds them.
  PwdPrf prfRead;
  ASSERT_EQ(PwdPrfNacti((dir / "pbso4.prf").string(), prfRead, err), 0) << err.Text();
  const CifLoop* refl = b.FindLoop("_refln_F_squared_meas");
  ASSERT_NE(refl, nullptr);
  ASSERT_EQ(refl->Rows.size(), prfRead.Ticks.size());
  const int cd = refl->Column("_refln_d_spacing"), co = refl->Column("_refln_F_squared_meas");
  for (size_t i = 0; i < refl->Rows.size(); ++i) {
    const auto& t = prfRead.Ticks[i];
    ASSERT_TRUE(t.D && t.F2Obs) << i;
    double d = 0., f2 = 0.;
    ASSERT_TRUE(CifNumber(refl->Rows[i][static_cast<size_t>(cd)].Text, d));
    ASSERT_TRUE(CifNumber(refl->Rows[i][static_cast<size_t>(co)].Text, f2));
    EXPECT_NEAR(d, *t.D, 5.1e-6);  // 5 decimals of the 6 of the file
    EXPECT_NEAR(f2, *t.F2Obs, 1e-5 * *t.F2Obs);
  }
  EXPECT_NE(dir.Read("pbso4.cif").find("# 11. POWDER PROFILE"), std::string::npos);
  // The report itself is updated in place; a second backup name is never needed.
  ASSERT_EQ(dir.Batch(".File->Structure->Open\npbso4\n.run->cif\n.end\n"), 0) << dir.Output;
  EXPECT_FALSE(fs::exists(dir / "pbso4.cif.orig2"));
  EXPECT_EQ(dir.Read("pbso4.cif.orig"), imported);
}

}  // namespace
}  // namespace tarn::test

namespace tarn::test {
namespace {

// Fc of the reflections hs (h k l m) from the structure files fln.m50 and fln.m40.
std::vector<double> FcOfFiles(const std::string& fln, const std::vector<testsim::Hkl>& hs) {
  std::vector<double> fc;
  BasicData b;
  EXPECT_EQ(ReadM50Text(ReadText(fln + ".m50"), fln + ".m50", b), 0);
  Struct.Basic = b;
  EXPECT_EQ(SetBasicM50(Struct.Basic), 0);
  EXPECT_EQ(EM50ReadAllFormFactors(Struct.Basic), 0);
  Struct.Model = AtomModel{};
  EXPECT_EQ(M40ReadText(ReadText(fln + ".m40"), fln + ".m40", Struct.Model), 0);
  SetBasicM40();
  const RefSettings ref;
  RefParams p;
  CalcSetup s;
  if (RefPrelimConstr(p, ref) || CalcPrepare(s, p, ref.Run)) {
    ADD_FAILURE() << "no structure factors of " << fln;
    return fc;
  }
  for (const auto& h : hs) fc.push_back(testsim::Eval(s, h, false).Fc);
  return fc;
}

// A (3+1)-dimensional structure with occupancy, position, ADP and crenel
// waves: its CIF, imported again, gives back the structure (from the
// embedded files) with the same structure factors.
TEST(CifModulatedRoad, ImportOfTheCifRestoresTheStructureFactors) {
  if (!fs::exists(TARNWORK_EXE) || !fs::exists("data/scatter")) GTEST_SKIP() << "no program";
  ProgramDir dir;
  Sess.HomeDir = fs::current_path().string() + "/data/";
  ASSERT_EQ(ScatEnsureLoaded(), 0);
  testsim::SetModPhase(
      {.Cell = {5.1, 6.2, 7.3}, .Q = {{0.31, 0., 0.17}}, .AtType = "Fe",
       .Ops = {"x1 x2 x3 x4"}, .Centro = true});
  Struct.Model.Atom = {
      testsim::MakeModAtom({"Fe1", 1., {0.1, 0.2, 0.3}, 0.01, {0.004, 0.003, 0.002, 0.0005, 0., 0.}},
                           testsim::WaveShape(2, 1, 2, 1), 1),
      testsim::MakeModAtom({"Fe2", 1., {0.4, 0.1, 0.7}, 0.015, {}}, testsim::WaveShape(1, 0, 1, 0), 2),
      testsim::MakeModAtom({"Fe3", 1., {0.7, 0.6, 0.2}, 0.02, {}},
                           testsim::WaveShape(1, 0, 0, 0, true), 3)};
  SetBasicM40();
  std::string m40;
  ASSERT_EQ(M40WriteText(Struct.Model, m40), 0);
  dir.Write("m.m50", WriteM50Text(Struct.Basic));
  dir.Write("m.m40", m40);
  ASSERT_EQ(dir.Batch(".File->Structure->Open\nm\n.run->cif\n.end\n"), 0) << dir.Output;
  fs::create_directories(dir / "back");
  fs::copy_file(dir / "m.cif", dir / "back/t.cif");
  ASSERT_EQ(dir.Batch(".import->CIF\nback/t.cif\n.end\n"), 0) << dir.Output;
  std::vector<testsim::Hkl> hs;
  for (int m = -2; m <= 2; ++m)
    for (const auto& h : {testsim::Hkl{1, 0, 0, m}, {1, 2, 3, m}, {-2, 1, 4, m}, {0, 3, -1, m}})
      hs.push_back(h);
  const auto f0 = FcOfFiles((dir / "m").string(), hs), f1 = FcOfFiles((dir / "back/t").string(), hs);
  ASSERT_EQ(f1.size(), hs.size());
  for (size_t i = 0; i < hs.size(); ++i) EXPECT_NEAR(f1[i], f0[i], 1e-9 * (1. + f0[i])) << i;
  EXPECT_GT(*std::max_element(f0.begin(), f0.end()), 1.);
  // The waves are in the CIF too: one row per atom, wave and axis.
  CifFile cif;
  ErrorRecord err;
  ASSERT_EQ(CifParse(dir.Read("m.cif"), "m.cif", cif, err), 0) << err.Text();
  const CifLoop* disp = cif.Blocks.back().FindLoop("_atom_site_displace_Fourier_atom_site_label");
  ASSERT_NE(disp, nullptr);
  EXPECT_EQ(disp->Rows.size(), 9u);  // Fe1: 2 waves, Fe2: 1 wave, 3 axes
}

}  // namespace
}  // namespace tarn::test
