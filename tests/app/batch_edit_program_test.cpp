// The edit commands of the batch mode run by the built program on a copy of
// the shipped example in a scratch directory: what reaches the files, and that
// a rejected block leaves every file as it was.
#include "road.hpp"

namespace tarn::test {
namespace {

class BatchEditProgram : public NaClExampleTest {
 protected:
  void SetUp() override {
    NaClExampleTest::SetUp();
    if (IsSkipped()) return;
    m40_ = Dir.Read("s/nacl.m40");
    m50_ = Dir.Read("s/nacl.m50");
  }
  // Files of the structure's directory other than the structure's own.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> extra;
    for (const auto& e : fs::directory_iterator(Dir / "s")) {
      const auto n = e.path().filename().string();
      if (n != "nacl.m40" && n != "nacl.m50" && n != "nacl.usd") extra.push_back(n);
    }
    return extra;
  }

  std::string m40_, m50_;
};

TEST_F(BatchEditProgram, EditsReachTheFilesAndLaterBlocksSeeEarlierOnes) {
  ASSERT_EQ(Batch(".Edit->Parameters\n"
                  "# the sodium moves\n"
                  "Na.x = 0.0125\n"
                  "Cl.Uiso = 0.0211\n"
                  "sc1 = 2.75\n"
                  ".Edit->Radiation\n"
                  "lambda 1.5406\n"
                  "nalpha 2\n"
                  "kalpha2 1.5444\n"
                  "perfmono 0.5\n"
                  ".Edit->Commands\n"
                  "# new Fourier commands\n"
                  "fourier\n"
                  "  mapaxes 1 2 3\n"
                  "end fourier\n"
                  ".Edit->Parameters\n"
                  "Cl.y = 0.45\n"
                  ".end\n"),
            0)
      << Dir.Output;
  EXPECT_TRUE(Printed("End of batch file has been reached.")) << Dir.Output;
  const AtomModel m = ReadM40();
  ASSERT_EQ(m.Atom.size(), 2u);
  EXPECT_DOUBLE_EQ(m.Atom[0].Par.Val[1], 0.0125);
  EXPECT_DOUBLE_EQ(m.Atom[1].Par.Val[4], 0.0211);
  // The second parameter block started from the model the first one wrote.
  EXPECT_DOUBLE_EQ(m.Atom[1].Par.Val[2], 0.45);
  EXPECT_DOUBLE_EQ(m.DatBlock[0].Scale.Val[0], 2.75);
  EXPECT_EQ(m.DatBlock[0].Scale.Key[0], 1);  // keys are kept
  const BasicData b = ReadM50();
  ASSERT_EQ(b.DatBlock.size(), 1u);
  EXPECT_DOUBLE_EQ(b.DatBlock[0].Lambda, 1.5406);
  EXPECT_DOUBLE_EQ(b.DatBlock[0].KAlpha1, 1.5406);
  EXPECT_DOUBLE_EQ(b.DatBlock[0].KAlpha2, 1.5444);
  EXPECT_EQ(b.DatBlock[0].PerfMono, 0.5);
  EXPECT_FALSE(b.DatBlock[0].NAlpha);  // "nalpha" is not changed from a batch
  EXPECT_FALSE(b.DatBlock[0].KAlphaR);
  EXPECT_EQ(b.Phase[0].SymmText.size(), 48u);  // the rest of the basic data is kept
  // The new block replaced the old one; the other blocks stay.
  const std::string& c = b.CommandText;
  EXPECT_NE(c.find("fourier\n  mapaxes 1 2 3\nend fourier\n"), std::string::npos) << c;
  const auto first = c.find("\nfourier\n");
  EXPECT_EQ(c.find("\nfourier\n", first + 1), std::string::npos) << c;
  for (const char* blk : {"refine\n", "dist\n", "contour\n"})
    EXPECT_NE(c.find(blk), std::string::npos) << blk;
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_F(BatchEditProgram, RejectedBlocksEndTheBatchAndLeaveTheFiles) {
  struct Case {
    const char* body;
    const char* message;
  };
  const Case cases[] = {
      // A good line before the bad one is not written either.
      {".Edit->Parameters\nNa.x = 0.1\nNa.U11 = 0.01\n",
       "unknown or inapplicable parameter Na.U11"},
      {".Edit->Parameters\nNa.x = 0.1\nCl.Uiso = 1/2\n",
       "Syntax error for the parameter: Cl.Uiso = 1/2"},
      {".Edit->Parameters\nNa.Uiso = -0.01\n", "Syntax error for the parameter: Na.Uiso = -0.01"},
      {".Edit->Parameters\nXx.x = 0.1\n", "unknown or inapplicable parameter Xx.x"},
      {".Edit->Radiation\nlambda 1.54\nperfmono 3\n", "Syntax error for the parameter: perfmono 3"},
      {".Edit->Radiation\ncell 1\n", "unknown or inapplicable parameter cell"},
      // A decimal comma is no number: the batch stops at the line.
      {".Edit->Radiation\nperfmono 0.5\nlambda 1,54184\n", "job.bat, line 5: lambda 1,54184"},
      // Unknown keywords are refused when the block is edited, not at the run.
      {".Edit->Commands\nrefine\n  ncycles 20\nend refine\n", "unknown keyword : ncycles"},
      {".Edit->Keywords\nrefine\ncycles 5\nncycles 20\n", "job.bat, line 6: ncycles 20"},
      {".Edit->Keywords\nfourier\nmapaxes 1 2 3\n", "The block \"fourier\" has no keyword table"},
      {".Edit->Commands\nfurier\nend\n", "unknown or inapplicable parameter furier"},
      {".Edit->Commands\nfourier\n  mapaxes 1 2 3\n.run->refine\n",
       "The command block has no \"end\" line: .Edit->Commands"},
      {".Edit->Commands\nfourier\n  mapaxes 1 2 3", "end of file read from the batch file."},
  };
  for (const auto& c : cases) {
    // A following command is not reached.
    const std::string body(c.body);
    EXPECT_EQ(Batch(body + (body.back() == '\n' ? ".run->refine\n" : "")), 1)
        << c.body << Dir.Output;
    EXPECT_FALSE(Printed("This tool is not available yet.")) << c.body << Dir.Output;
    EXPECT_TRUE(Printed(c.message)) << c.body << Dir.Output;
    EXPECT_FALSE(Printed("End of batch file has been reached.")) << c.body << Dir.Output;
    EXPECT_EQ(Dir.Read("s/nacl.m40"), m40_) << c.body;
    EXPECT_EQ(Dir.Read("s/nacl.m50"), m50_) << c.body;
    // Temporaries, the command file among them, are gone.
    EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << c.body;
  }
}

// ".Edit->Keywords" changes what it names and keeps the rest of the block;
// ".Edit->Commands" replaces the block and names the stored lines it drops.
TEST_F(BatchEditProgram, KeywordsMergeAndCommandsNameWhatTheyDrop) {
  ASSERT_EQ(Batch(".Edit->Commands\nrefine\n  cycles 0\n  fixed xyz Na\n  siglevel 2\n"
                  "end refine\n"
                  ".Edit->Keywords\nrefine\n  cycles 20 damp 0.5\n  fixed XYZ  na\n"
                  "  fixed biso Cl\n"),
            0)
      << Dir.Output;
  EXPECT_TRUE(Printed("refine: cycles 20\nrefine: damp 0.5\n")) << Dir.Output;
  const std::string want =
      "refine\n  cycles 20 damp 0.5 siglevel 2\n  fixed xyz Na\n  fixed biso Cl\nend refine\n";
  EXPECT_EQ(ReadM50().CommandText.substr(0, want.size()), want);
  ASSERT_EQ(Batch(".Edit->Commands\nrefine\n  fixed xyz Na\nend refine\n"), 0) << Dir.Output;
  EXPECT_TRUE(
      Printed("The new \"refine\" block drops the line: cycles 20 damp 0.5 siglevel 2\n"
              "The new \"refine\" block drops the line: fixed biso Cl\n"))
      << Dir.Output;
}

// The examples of the batch documentation run as they stand.
TEST_F(BatchEditProgram, DocumentedCommandBlockExamplesRun) {
  const std::string doc = ReadText("docs/batch.md");
  for (const char* cmd : {"```\n.Edit->Commands\n", "```\n.Edit->Keywords\n"}) {
    const size_t at = doc.find(cmd);
    ASSERT_NE(at, std::string::npos) << cmd;
    const size_t end = doc.find("```", at + 4);
    EXPECT_EQ(Batch(doc.substr(at + 4, end - at - 4)), 0) << Dir.Output;
  }
}

}  // namespace
}  // namespace tarn::test
