// The user's requests during a refinement run (cancel, end after this cycle,
// new options), the progress poll of the terminal front-end, the call of the
// Fourier tool after the run, and the instability factor of the block's
// statistics ("stunstab").
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/actions.hpp"
#include "model/structure.hpp"
#include "util/files.hpp"
#include "model/session.hpp"
#include "app/toolkit_script.hpp"
#include "app/toolkit_term.hpp"
#include "app/tools/refine_tools.hpp"
#include "model/m40.hpp"
#include "model/m50.hpp"
#include "model/m95m90.hpp"
#include "model/scatdata.hpp"
#include "refine/refine.hpp"
#include "refine/refine_progress.hpp"
#include "support/refine_sim.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

constexpr const char* kM50 =
    "Version Tarnwork\ntitle simulated\ncell 5.1 6.2 7.3 90 101 90\nndim 3\nspgroup P-1 2\n"
    "lattice P\nsymmetry x y z\nsymmetry -x -y -z\nunitsnumb 2\nchemform C O\natom C\natom O\n"
    "lambda 0.71073\nend\n";

// A two-atom structure, reflections simulated from it, the model then
// displaced by 0.05 Angstrom so that every cycle shifts it.
class RefineCancel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("data/scatter")) GTEST_SKIP() << "not run from the root";
    char tmpl[] = "/tmp/tarn_refcancel_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fln_ = (dir_ / "sim").string();
    Sess.HomeDir = fs::current_path().string() + "/data/";
    Sess.fln = fln_;
    Sess.BatchMode = false;
    std::ofstream(fln_ + ".m50") << kM50;
    ASSERT_EQ(iom50(M50Read, fln_ + ".m50"), 0);
    Struct.Model = AtomModel{};
    SetBasicM40();
    const double x[2][3] = {{0.1234, 0.2345, 0.3456}, {0.4321, 0.1543, 0.0765}};
    for (int k = 0; k < 2; ++k)
      testsim::AddIsoAtom(k == 0 ? "C1" : "O1", k + 1, {x[k][0], x[k][1], x[k][2]}, 0.015);
    SetBasicM40();
    Struct.Model.DatBlock[0].Scale.Val[0] = 1.;
    ASSERT_EQ(ScatEnsureLoaded(), 0);
    ASSERT_EQ(EM50ReadAllFormFactors(Struct.Basic), 0);
    ASSERT_EQ(testsim::WriteSimulatedM90(fln_ + ".m90", 3), 0);
    for (int k = 0; k < 2; ++k)
      Struct.Model.Atom[static_cast<size_t>(k)].Par.Val[static_cast<size_t>(1 + k)] += 0.05 / 6.;
    ASSERT_EQ(iom40(M40Write, fln_ + ".m40"), 0);
    FeSetToolkit(&tk_);
  }
  void TearDown() override {
    FeSetToolkit(nullptr);
    TarnClearTools();
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  void RefineBlock(const std::string& lines) {
    std::ofstream(fln_ + ".m50", std::ios::app)
        << std::string(80, '*') + "\nrefine\n" + lines + "end\n";
  }
  std::string Bytes(const std::string& ext) {
    std::string s;
    EXPECT_EQ(FeReadFile(fln_ + ext, s), 0) << ext;
    return s;
  }
  static bool Has(const std::vector<std::string>& lst, std::string_view text) {
    for (const auto& l : lst)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

  FeScriptToolkit tk_;
  fs::path dir_;
  std::string fln_;
  RefRunSummary sum;  // of the last run
};

// Cancel in the middle of a cycle, asked and confirmed, confirmed by the key
// itself, or refused (the run then goes on to its normal end).
TEST_F(RefineCancel, CancelKeepsM40AndM50ByteForByteAndRemovesTheBackups) {
  struct Case {
    int atPoll;
    int subKind;  // 1: already confirmed, no question
    bool answer;  // to the question
    bool cancelled;
  };
  const Case cases[] = {{8, 0, true, true}, {3, 1, false, true}, {8, 0, false, false}};
  RefineBlock("  cycles 4\n");
  const std::string m40 = Bytes(".m40"), m50 = Bytes(".m50");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.atPoll * 10 + c.subKind);
    tk_ = FeScriptToolkit{};
    tk_.PushPoll(c.atPoll, ProgressCancel, c.subKind);
    tk_.Answers.push_back(c.answer);
    std::vector<std::string> lst;
    const int rc = RefineRun(fln_, lst, sum);
    EXPECT_EQ(tk_.ProgressOpen, 0);
    EXPECT_EQ(tk_.Count(progressmsg::AskCancel), c.subKind == 1 ? 0 : 1);
    EXPECT_FALSE(fs::exists(fln_ + ".l40"));
    EXPECT_FALSE(fs::exists(fln_ + ".l50"));
    if (c.cancelled) {
      EXPECT_NE(rc, 0);
      EXPECT_TRUE(Has(lst, progressmsg::Cancelled));
      EXPECT_EQ(Bytes(".m40"), m40);
      EXPECT_EQ(Bytes(".m50"), m50);
      EXPECT_FALSE(fs::exists(fln_ + ".s40"));
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_GE(sum.CyclesDone, 2);
      EXPECT_NE(Bytes(".m40"), m40);
      std::ofstream(fln_ + ".m40", std::ios::binary) << m40;
      fs::remove(fln_ + ".s40");
    }
  }
}

// "End after this cycle" during cycle 0 of 6: the shifts of cycle 0 are
// applied, one more pass gives the R factors, M40 is written normally.
// The same end comes from lowering the number of cycles in the options.
TEST_F(RefineCancel, EndAfterThisCycleAndFewerCyclesEndNormally) {
  RefineBlock("  cycles 6\n");
  const std::string m40 = Bytes(".m40");
  for (int variant = 0; variant < 2; ++variant) {
    SCOPED_TRACE(variant);
    std::ofstream(fln_ + ".m40", std::ios::binary) << m40;
    tk_ = FeScriptToolkit{};
    if (variant == 0) {
      tk_.PushPoll(2, ProgressEndCycle);
      tk_.Answers.push_back(true);
    } else {
      tk_.PushPoll(2, ProgressOptions);
      tk_.Forms.push_back({"1", "0.8", "0", "0"});
    }
    std::vector<std::string> lst;
    ASSERT_EQ(RefineRun(fln_, lst, sum), 0);
    EXPECT_EQ(sum.CyclesDone, 1);
    EXPECT_EQ(tk_.Count(progressmsg::AskEnd), variant == 0 ? 1 : 0);
    EXPECT_TRUE(Has(lst, "R-factors overview"));
    EXPECT_NE(Bytes(".m40"), m40);
    EXPECT_EQ(Bytes(".s40"), m40);
    EXPECT_FALSE(fs::exists(fln_ + ".l40"));
    if (variant == 1) {
      EXPECT_TRUE(Has(lst, "   0.800"));  // the damping of the overview
    }
  }
}

// callfour: without a Fourier tool the table's answer is shown and the run
// still succeeds; a registered tool runs once, after M40 and ".m80" are written.
TEST_F(RefineCancel, CallFourRunsTheFourierToolAfterTheFinalWriting) {
  RefineBlock("  cycles 1\n  callfour 1\n");
  RegisterRefineTools();  // connects callfour to the tool table
  std::vector<std::string> lst;
  ASSERT_EQ(RefineRun(fln_, lst, sum), 0);
  EXPECT_TRUE(tk_.Saw(msg::NotAvailable));

  const std::string m40 = Bytes(".m40");
  int calls = 0;
  std::string seen;
  TarnSetTool(50902, [&](TarnToolCall& c) {
    ++calls;
    seen = Bytes(".s40");
    c.Error = 1;
    return 0;
  });
  lst.clear();
  ASSERT_EQ(RefineRun(fln_, lst, sum), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, m40);  // the copy of the old M40 was already made
  EXPECT_TRUE(fs::exists(fln_ + ".m80"));
}

// stunstab: the u of the M90 header enters the sigmas (and so the GOF); a block
// without the estimate gets no u term at all, unlike the default unstab.
TEST_F(RefineCancel, StUnstabTakesTheBlockEstimateFromM90) {
  RefineBlock("  cycles 0\n  stunstab 1\n");
  std::vector<M90Block> b;
  std::vector<std::vector<M90Refl>> r;
  ASSERT_EQ(ReadM90File(fln_ + ".m90", b, r), 0);
  double gof[3] = {};
  const double us[3] = {kUnsetReal, 0.05, -0.05};
  for (int k = 0; k < 3; ++k) {
    b[0].InstabU = us[k];
    ASSERT_EQ(WriteM90File(fln_ + ".m90", b, r), 0);
    std::vector<std::string> lst;
    ASSERT_EQ(RefineRun(fln_, lst, sum), 0);
    gof[k] = sum.All.Gof;
    const char* want[3] = {"no instability term", "statistics: 0.05000", "statistics: -0.05000"};
    EXPECT_TRUE(Has(lst, want[k])) << k;
  }
  // A positive u enlarges every sigma: sum w D**2 and the GOF drop.
  EXPECT_LT(gof[1], gof[0]);
  // A negative u subtracts its term: the GOF rises.
  EXPECT_GT(gof[2], gof[0]);
}

// The terminal front-end: Ctrl-C counts only while a progress window is open;
// the first press ends after the cycle, the second cancels, each confirmed.
TEST(TerminalPoll, InterruptsBecomeProgressButtons) {
  std::istringstream in("51202\n");
  std::ostringstream out;
  FeTerminalToolkit t(in, out, false);
  EXPECT_EQ(t.PollEvent().Kind, EventNone);
  t.ProgressBegin("Refinement");
  EXPECT_EQ(t.PollEvent().Kind, EventNone);
  std::raise(SIGINT);
  FeEvent e = t.PollEvent();
  EXPECT_EQ(e.Kind, EventButton);
  EXPECT_EQ(e.Id, ProgressEndCycle);
  EXPECT_EQ(e.SubKind, 1);
  EXPECT_EQ(t.PollEvent().Kind, EventNone);
  std::raise(SIGINT);
  e = t.PollEvent();
  EXPECT_EQ(e.Id, ProgressCancel);
  t.ProgressEnd();
  EXPECT_EQ(t.PollEvent().Kind, EventNone);
  // The input was not touched: the next command is still there.
  EXPECT_EQ(t.NextEvent().Id, 51202);
}

}  // namespace
}  // namespace tarn
