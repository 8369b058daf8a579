// Import into M95: blocks appended and read back, M95 untouched on failure,
// index transformation, data on F, twin components, reflection arrays, and the
// wizard driven through the scripted toolkit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "app/toolkit_script.hpp"
#include "app/tools/import_tool.hpp"
#include "model/m95m90.hpp"
#include "datared/datared_test_util.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using test::kData;

// The datared import fixture with the scripted toolkit and an open structure.
class ImportM95 : public test::ImportTest {
 protected:
  void SetUp() override {
    ImportTest::SetUp();
    Sess.fln = Dir / "s";
    FeSetToolkit(&tk);
  }
  void TearDown() override { FeSetToolkit(nullptr); }
  std::string Write(const std::string& name, const std::string& text) {
    return Dir.Write(name, text);
  }
  // The batch tool on a format label and a file; returns the call with its error.
  static TarnToolCall Batch(const std::string& label, const std::string& file) {
    TarnToolCall call;
    call.Batch = true;
    call.Items = {{"", 0., "", label}, {"", 0., "", file}};
    EM9ImportTool(call);
    return call;
  }
  FeScriptToolkit tk;
};

const std::string kTwo =
    "   1   2   3  100.00    2.00   3\n"
    "  -1   0   4   -5.25    1.50   1\n"
    "   0   0   0    0.00    0.00   0\n";

TEST_F(ImportM95, AppendsBlocksAndReadsBack) {
  const std::string a = Write("a.hkl", kTwo);
  ASSERT_EQ(Import(ImpShelxI, a), 0) << Msg();
  const std::string x = Write("x.HKL",
                              "!X-RAY_WAVELENGTH= 0.8\n!END_OF_HEADER\n"
                              " 1 1 1 10.0 1.0 0 0 3.0\n 2 1 1 20.0 -1.0 0 0 4.0\n");
  EXPECT_TRUE(rep.Notes.empty());
  ASSERT_EQ(Import(ImpXds, x), 0) << Msg();
  EXPECT_EQ(rep.Notes.size(), 1u);  // the rejected record is reported, not lost silently
  std::vector<M95Block> b;
  std::vector<std::vector<M95Refl>> r;
  ASSERT_EQ(ReadM95File(m95, b, r), 0) << Struct.Refl.LastError;
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0].SourceFile, a);
  EXPECT_EQ(b[0].DifCode, ImpShelxI);
  EXPECT_EQ(b[0].NRef, 2);
  EXPECT_EQ(b[1].DifCode, ImpXds);
  EXPECT_DOUBLE_EQ(b[1].Lambda, 0.8);
  ASSERT_EQ(r[0].size(), 2u);
  EXPECT_EQ(r[0][1].H[0], -1);
  EXPECT_EQ(r[0][1].H[2], 4);
  EXPECT_DOUBLE_EQ(r[0][1].I, -5.25);
  EXPECT_DOUBLE_EQ(r[0][1].SigI, 1.5);
  EXPECT_EQ(r[0][0].ISc, 3);   // batch number -> scale group
  ASSERT_EQ(r[1].size(), 1u);  // the rejected XDS record (sigma < 0) is not imported
  EXPECT_DOUBLE_EQ(r[1][0].FrameInRun, 3.0);
  EXPECT_EQ(Struct.Refl.M95.size(), 2u);
}

TEST_F(ImportM95, FailureLeavesM95Unchanged) {
  ASSERT_EQ(Import(ImpShelxI, Write("a.hkl", kTwo)), 0) << Msg();
  const std::string before = test::TempDir::Read(m95);
  const auto headers = Struct.Refl.M95;
  ImpOptions half;  // h/2 not integral
  half.NDim = 3;
  half.TrMat = {0.5, 0, 0, 0, 1, 0, 0, 0, 1};
  struct Case {
    int code;
    std::string text;
    ImpOptions opt;
  } cases[] = {
      {ImpShelxI, "   1   2   3  100.00    0.00   3\n", {}},
      {ImpXds, "!X-RAY_WAVELENGTH= 0.8\n 1 1 1 10 1\n", {}},
      {ImpCif, "data_x\n", {}},
      {ImpShelxI, kTwo, half},
      {7, kTwo, {}},  // not supported
  };
  for (const auto& c : cases) {
    EXPECT_NE(Import(c.code, Write("bad.hkl", c.text), c.opt), 0) << c.text;
    EXPECT_FALSE(Msg().empty());
    EXPECT_EQ(test::TempDir::Read(m95), before);
    EXPECT_EQ(Struct.Refl.M95, headers);
  }
  EXPECT_NE(Import(ImpShelxI, Dir / "none.hkl"), 0);
  EXPECT_EQ(test::TempDir::Read(m95), before);
}

TEST_F(ImportM95, TransformFOnIAndTwins) {
  // Swap h and k; HKLF 3 data become I = F^2, sigma(I) = 2F sigma(F) + sigma(F)^2.
  ImpOptions swap;
  swap.TrMat = {0, 1, 0, 1, 0, 0, 0, 0, 1};
  ASSERT_EQ(Import(ImpShelxF, Write("f.hkl", "   1   2   3   10.00    1.00\n"), swap), 0) << Msg();
  ASSERT_EQ(Import(ImpShelxHklf5, Write("t.hkl",
                                        "   1   0   0  100.00    2.00  -2\n"
                                        "   0   1   0  100.00    2.00   1\n")),
            0)
      << Msg();
  std::vector<M95Block> b;
  std::vector<std::vector<M95Refl>> r;
  ASSERT_EQ(ReadM95File(m95, b, r), 0) << Struct.Refl.LastError;
  EXPECT_EQ(r[0][0].H[0], 2);
  EXPECT_EQ(r[0][0].H[1], 1);
  EXPECT_EQ(b[0].TrMat, swap.TrMat);
  EXPECT_DOUBLE_EQ(r[0][0].I, 100.);
  EXPECT_DOUBLE_EQ(r[0][0].SigI, 21.);
  EXPECT_EQ(b[1].Hklf5, 1);
  EXPECT_EQ(r[1][0].ITw, -2);
  EXPECT_EQ(r[1][1].ITw, 1);
}

TEST_F(ImportM95, RealFilesAndArrays) {
  const std::string nacl = kData + "nacl/NaCl.hkl";
  const std::string mod = kData + "raw/bruker-modulated/2018S036_FeCHOO_100K_0m.hkl";
  if (!fs::exists(nacl) || !fs::exists(mod)) GTEST_SKIP() << "shared data absent";
  // Cubic NaCl cell for theta: G* = diag(1/a^2).
  const double a = 5.64;
  Struct.Basic.Phase.resize(1);
  for (int i = 0; i < 3; ++i) {
    Struct.Basic.Phase[0].Cell[i] = a;
    Struct.Basic.Phase[0].MetTensI[4 * i] = 1. / (a * a);
  }
  Struct.Basic.DatBlock.resize(1);
  Struct.Basic.DatBlock[0].Lambda = 0.71073;
  ASSERT_EQ(Import(ImpShelxI, nacl), 0) << Msg();
  ASSERT_EQ(Import(ImpBrukerCCD, mod), 0) << Msg();
  ASSERT_EQ(Struct.Refl.M95.size(), 2u);
  EXPECT_EQ(Struct.Refl.M95[0].NRef, 8578);
  EXPECT_DOUBLE_EQ(Struct.Refl.M95[0].Lambda, 0.71073);  // completed from the basic data
  EXPECT_EQ(Struct.Refl.M95[1].NDim95, 4);
  EXPECT_EQ(Struct.Refl.M95[1].NRef, 16313);
  ASSERT_EQ(DRSetRefArrays(m95, err), 0) << Msg();
  ASSERT_EQ(Struct.Refl.NRef, 8578 + 16313);
  EXPECT_EQ(Struct.Refl.Pack.N, 4);
  int h[kReflMaxNDim] = {};
  IndUnpack(Struct.Refl.HCondAr[0], Struct.Refl.Pack, h);
  EXPECT_EQ(h[0], -1);
  EXPECT_EQ(h[1], 1);
  EXPECT_EQ(h[2], 1);
  EXPECT_EQ(h[3], 0);
  EXPECT_DOUBLE_EQ(Struct.Refl.RIAr[0], 52001.5);
  EXPECT_EQ(Struct.Refl.RefBlockAr.back(), 2);
  // (-1 1 1): sin(theta) = lambda sqrt(3) / (2a).
  EXPECT_NEAR(Struct.Refl.ThetaArr[0], std::asin(0.71073 * std::sqrt(3.) / (2 * a)) * 180 / M_PI,
              1e-9);
  int lo = 0, hi = 0;
  for (int i = 8578; i < Struct.Refl.NRef; ++i) {
    IndUnpack(Struct.Refl.HCondAr[i], Struct.Refl.Pack, h);
    lo = std::min(lo, h[3]);
    hi = std::max(hi, h[3]);
  }
  EXPECT_EQ(lo, -3);
  EXPECT_EQ(hi, 3);
}

TEST_F(ImportM95, WizardImportsAndRefuses) {
  Sess.fln = "";
  EXPECT_NE(EM9ImportWizard(), 0);
  ASSERT_EQ(tk.Of("error").size(), 1u);

  Sess.fln = Dir / "s";
  // Program list, "&SHELX on I", the file, the options form (defaults).
  const std::string a = Write("a.hkl", kTwo);
  tk.Choices = {1, 1};
  tk.Files = {a};
  tk.Forms = {{"0", ""}};
  ASSERT_EQ(EM9ImportWizard(), 0);
  ASSERT_EQ(Struct.Refl.M95.size(), 1u);
  EXPECT_EQ(Struct.Refl.M95[0].NRef, 2);
  EXPECT_TRUE(tk.Saw("2 reflections imported"));
  // The file chooser got the entry's filter.
  const auto files = tk.Of("file");
  ASSERT_EQ(files.size(), 1u);

  // A diffractometer entry without a reader.
  tk.Choices = {0, 0};
  EXPECT_NE(EM9ImportWizard(), 0);
  EXPECT_TRUE(tk.Saw("This format is not supported yet."));

  // General file on I with columns chosen: I and sigma before the indices.
  const std::string g = Write("g.hkl", "# I sig h k l\n50.0 2.0 1 0 0\n");
  tk.Choices = {1, 11};
  tk.Files = {g};
  tk.Forms = {{"3", "", "3 4 5", "1", "2"}};
  ASSERT_EQ(EM9ImportWizard(), 0);
  ASSERT_EQ(Struct.Refl.M95.size(), 2u);
  EXPECT_EQ(Struct.Refl.M95[1].DifCode, ImpGeneralI);

  // A bad option is reported and nothing is imported.
  tk.Choices = {1, 1};
  tk.Files = {a};
  tk.Forms = {{"7", ""}};
  EXPECT_NE(EM9ImportWizard(), 0);
  EXPECT_EQ(Struct.Refl.M95.size(), 2u);
}

TEST_F(ImportM95, BatchToolImportsByLabel) {
  EXPECT_EQ(Batch("SHELX on I", Write("a.hkl", kTwo)).Error, 0);
  ASSERT_EQ(Struct.Refl.M95.size(), 1u);
  EXPECT_TRUE(tk.Saw("2 reflections imported"));
  const std::string before = test::TempDir::Read(m95);
  EXPECT_EQ(Batch("Hasylab F1", Dir / "a.hkl").Error, 1);  // no reader: refused, M95 kept
  EXPECT_TRUE(tk.Saw("This format is not supported yet."));
  EXPECT_EQ(test::TempDir::Read(m95), before);
}

// A label that names no format is said to be unknown, and the labels that
// can be imported follow, one per line.
TEST_F(ImportM95, BatchUnknownLabelListsTheLabels) {
  EXPECT_EQ(Batch("SHELX HKLF 4", Write("a.hkl", kTwo)).Error, 1);
  EXPECT_FALSE(tk.Saw("This format is not supported yet."));
  ASSERT_GE(tk.ListingLines.size(), 3u);
  EXPECT_EQ(tk.ListingLines[0],
            "The format label \"SHELX HKLF 4\" is unknown. The labels of the formats that can be "
            "imported are:");
  const auto& l = tk.ListingLines;
  for (const char* want : {"  SHELX on I", "  SHELX HKLF5", "  From CIF file", "  Hasylab XDS"})
    EXPECT_NE(std::find(l.begin(), l.end(), want), l.end()) << want;
  EXPECT_EQ(std::find(l.begin(), l.end(), "  Hasylab F1"), l.end());  // no reader
  EXPECT_FALSE(fs::exists(m95));
}

// A missing reflection file is said before the options are asked (wizard)
// and before anything else is done (batch, whatever the label's format).
TEST_F(ImportM95, MissingFileSaidFirst) {
  const std::string none = Dir / "none.hkl";
  tk.Choices = {1, 1};
  tk.Files = {none};
  tk.Forms = {{"0", ""}};
  EXPECT_NE(EM9ImportWizard(), 0);
  EXPECT_TRUE(tk.Of("form").empty());
  ASSERT_EQ(tk.Of("error").size(), 1u);
  EXPECT_TRUE(tk.Saw("Cannot open the file \"" + none + "\"."));
  EXPECT_EQ(Batch("SHELX on I", none).Error, 1);
  EXPECT_EQ(tk.ListingLines.back(), "Cannot open the file \"" + none + "\".");
  EXPECT_FALSE(fs::exists(m95));
}

// A file whose header cell differs from the structure's gets a warning that
// names both cells; an agreeing cell none.
TEST_F(ImportM95, HeaderCellAgainstTheStructure) {
  Struct.Basic.Phase.resize(1);
  for (int i = 0; i < 3; ++i) Struct.Basic.Phase[0].Cell[i] = 5.64;
  auto cif = [&](const char* a) {
    return Write("c.cif", std::string("data_x\n_cell_length_a ") + a +
                              "\n_cell_length_b 5.64\n_cell_length_c 5.64\n"
                              "_cell_angle_alpha 90\n_cell_angle_beta 90\n_cell_angle_gamma 90\n"
                              "loop_\n_refln_index_h\n_refln_index_k\n_refln_index_l\n"
                              "_refln_F_squared_meas\n_refln_F_squared_sigma\n2 0 0 100 2\n");
  };
  ASSERT_EQ(Batch("From CIF file", cif("5.6415(3)")).Error, 0);
  EXPECT_FALSE(tk.Saw("Warning"));
  ASSERT_EQ(Batch("From CIF file", cif("7.5")).Error, 0);
  EXPECT_EQ(tk.ListingLines.back(),
            "Warning: the cell of the file \"" + Dir / "c.cif" +
                "\" (7.5000 5.6400 5.6400 90.000 90.000 90.000) differs from the cell of the "
                "structure (5.6400 5.6400 5.6400 90.000 90.000 90.000).");
  EXPECT_EQ(Struct.Refl.M95.size(), 2u);  // imported all the same
}

TEST(ImportLists, LabelsAndCodes) {
  auto code = [](std::string_view l) {
    const ImpFormatEntry* e = ImpFormatOfLabel(l);
    return e ? e->Code : 0;
  };
  EXPECT_EQ(code("SHELX on I"), ImpShelxI);
  EXPECT_EQ(code("S&HELX on F"), ImpShelxF);
  EXPECT_EQ(code("general file on i"), ImpGeneralI);
  EXPECT_EQ(code("IPDS Stoe"), ImpIpdsStoe);  // exact match before the one ignoring case
  EXPECT_EQ(code("IPDS STOE"), ImpIpdsStoeProg);
  EXPECT_EQ(code("nothing"), 0);
  // Every label is unique without its "&".
  for (const ImpFormatEntry& e : ImpFormats()) EXPECT_EQ(code(e.Label), e.Code) << e.Label;
}

}  // namespace
}  // namespace tarn
