// The CIF report in batch on a refined structure: SH2185_Cu imported from
// the .res and .hkl embedded in its published CIF, refined, then ".run->cif".
// The written CIF is read back with our own CIF reader and set beside the
// program's own values (M50, M40, the distance listing), and it is imported
// again with ".import->CIF".
#include <cmath>
#include <regex>
#include <sstream>

#include "model/m40.hpp"
#include "road.hpp"
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
  // With a difference map of the model the residual density is the map's.
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
  for (size_t k = 0; k < 3; ++k) EXPECT_EQ(b.Find(rho[k])->Text, m[k + 1].str()) << rho[k];
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
  const std::string d = fs::absolute(data).string();
  ASSERT_EQ(dir.Batch(".import->CIF\npbso4.cif\n.File->Powder data->Import\nGSAS standard\n" + d +
                      "PBSO4.CWN\n" + d +
                      "inst_d1a.prm\n.Edit->Keywords\nrefine\ncycles 1\n.run->lebail\n.end\n"),
            0)
      << dir.Output;
  const std::string fit = dir.Output;
  // The report takes the name of the imported model's CIF.
  fs::remove(dir / "pbso4.cif");
  ASSERT_EQ(dir.Batch(".File->Structure->Open\npbso4\n.run->cif\n.end\n"), 0) << dir.Output;
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
  EXPECT_NE(dir.Read("pbso4.cif").find("# 11. POWDER PROFILE"), std::string::npos);
}

}  // namespace
}  // namespace tarn::test
