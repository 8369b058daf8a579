// What users read and what pipelines read: the tools' summaries after an
// action (terminal front-end, batch listing) and the JSON run summary of a
// batch, checked against the published SH2185_Cu figures (3667 unique
// reflections, Rint 0.0317) and against its schema.
#include <nlohmann/json.hpp>

#include "app/summary.hpp"
#include "road.hpp"
#include "support/json_schema.hpp"

namespace tarn::test {
namespace {

using nlohmann::json;

// The JSON file rel of dir, parsed and checked against the shipped schema.
json ValidRunSummary(const ProgramDir& dir, const std::string& rel) {
  const std::string text = dir.Read(rel);
  EXPECT_FALSE(text.empty()) << rel << " was not written";
  json doc = json::parse(text, nullptr, false);
  EXPECT_FALSE(doc.is_discarded()) << text;
  JsonSchemaCheck check(json::parse(ReadText("docs/run-summary.schema.json")));
  for (const auto& e : check.Errors(doc)) ADD_FAILURE() << e;
  return doc;
}

// A powder-only run shows its Rietveld line and no empty single-crystal line.
TEST(RunSummaryLines, PowderRunWithoutSingleCrystalLine) {
  RefRunSummary r;
  r.NPowder = 1, r.NSingle = 0, r.CyclesDone = 3, r.Summary = "Rwp[1]=5.00 chi2=1.100";
  const auto lines = TarnRefineLines(r);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Rietveld refinement: 3 cycles, 1 pattern(s), Rwp[1]=5.00 chi2=1.100");
}

using RunSummary = Sh2185Test;

TEST_F(RunSummary, Sh2185RoadSummariesAndJson) {
  WriteEmbedded(2);
  ASSERT_EQ(Dir.Batch(kShelxRoad + ".run->refine\n.end\n"), 0) << Dir.Output;
  // The summaries printed after the merge and the refinement.
  EXPECT_TRUE(Printed("3667 unique, 3515 observed; Rint 0.0317")) << Dir.Output;
  EXPECT_TRUE(Printed("Refinement: 2 cycles, R(obs) ")) << Dir.Output;
  EXPECT_TRUE(Printed("  parameter ")) << "the table of what changed\n" << Dir.Output;

  const json doc = ValidRunSummary(Dir, "job.json");
  EXPECT_EQ(doc["exit_status"], 0);
  ASSERT_EQ(doc["structures"].size(), 1u);
  const json& s = doc["structures"][0];
  EXPECT_EQ(s["name"], "s");
  EXPECT_EQ(s["commands"].size(), 4u);
  EXPECT_EQ(s["space_group"]["operators"].size(), 4u);
  EXPECT_EQ(s["merge"]["n_unique"], 3667);
  EXPECT_NEAR(s["merge"]["R_int"].get<double>(), 0.0317, 5e-5);
  // R(obs) as a fraction, the listing's value in percent with two decimals.
  const RFactors r = LastRFactors(Dir.Read("s.ref"));
  EXPECT_NEAR(s["refine"]["R_obs"].get<double>(), r.R[0] / 100., 5e-5);
  EXPECT_EQ(s["refine"]["n_all"], r.NAll);
  EXPECT_EQ(s["refine"]["changes"].size(), s["refine"]["n_parameters"].get<size_t>());
}

// The terminal front-end: the main window at start and on "show" only; an
// action prints its summary and the prompt.
TEST_F(RunSummary, TerminalShowsTheWindowOnlyAtStartAndOnShow) {
  WriteEmbedded(0);
  ASSERT_EQ(Dir.Batch(kShelxRoad + ".end\n"), 0) << Dir.Output;
  Dir.Write("input", "50103\n50103\nshow\nquit\n");
  Dir.Run("s", "input");
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t at = Dir.Output.find(what); at != std::string::npos;
         at = Dir.Output.find(what, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("==== Tarnwork"), 2u) << Dir.Output;
  EXPECT_EQ(count("3667 unique"), 2u) << Dir.Output;
}

// Two batch runs started together on one structure: one refines, the other
// ends with status 1 before it touches the files, and says why in its
// listing and its run summary.
TEST_F(RunSummary, TwoBatchRunsAtOnceOnOneStructure) {
  WriteEmbedded(15);  // long enough that the runs overlap
  ASSERT_EQ(Dir.Batch(kShelxRoad + ".end\n"), 0) << Dir.Output;
  const std::string job = ".File->Structure->Open\ns\n.run->refine\n.end\n";
  Dir.Write("a.bat", job);
  Dir.Write("b.bat", job);
  const std::string both = "(" + Dir.Command("@a.bat", "/dev/null", "a.out") +
                           "; echo $? > a.rc) & (" + Dir.Command("@b.bat", "/dev/null", "b.out") +
                           "; echo $? > b.rc) & wait";
  ASSERT_EQ(std::system(both.c_str()), 0);
  const std::string rc = Dir.Read("a.rc") + Dir.Read("b.rc");
  ASSERT_TRUE(rc == "0\n1\n" || rc == "1\n0\n") << rc;
  const std::string refused = rc[0] == '1' ? "a" : "b";
  EXPECT_NE(Dir.Read(refused + ".out").find("the batch does not work on it"), std::string::npos);
  const json doc = ValidRunSummary(Dir, refused + ".json");
  EXPECT_EQ(doc["exit_status"], 1);
  EXPECT_TRUE(doc["structures"].empty());
  EXPECT_NE(doc["message"].get<std::string>().find("is open in process"), std::string::npos)
      << doc.dump(1);
  const json done = ValidRunSummary(Dir, (refused == "a" ? "b" : "a") + std::string(".json"));
  EXPECT_GT(done["structures"][0]["refine"]["cycles"].get<int>(), 0);
}

// A batch that fails still leaves its summary, at the place "-json" names,
// with the failing command and its message.
TEST_F(NaClExampleTest, FailedBatchWritesItsSummary) {
  Dir.Write("job.bat", ".File->Structure->Open\ns/nacl\n.run->nonsense\n.end\n");
  EXPECT_EQ(Dir.Run("-json out.json @job.bat", "/dev/null"), 1) << Dir.Output;
  EXPECT_FALSE(fs::exists(Dir / "job.json"));
  const json doc = ValidRunSummary(Dir, "out.json");
  EXPECT_EQ(doc["exit_status"], 1);
  EXPECT_NE(doc["message"].get<std::string>().find("nonsense"), std::string::npos);
  const json& cmds = doc["structures"][0]["commands"];
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[0]["status"], "ok");
  EXPECT_EQ(cmds[1]["status"], "error");
}

}  // namespace
}  // namespace tarn::test
