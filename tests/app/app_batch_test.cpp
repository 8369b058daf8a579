// Batch mode, run through the whole start-up sequence as the program runs it.
#include <gtest/gtest.h>

#include "app/batch.hpp"
#include "app/fileset.hpp"
#include "app/startup.hpp"
#include "app_fixture.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using testing::AppTest;
using testing::ReadText;
using testing::WriteText;

class AppBatch : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    MakeStructure("s/x", {".m50", ".m40"});
    fs::current_path(root_);
  }
  // Runs the program afresh on a batch file with this text (or on the file
  // named by `arg`); returns its exit status.
  int Run(const std::string& text, const std::string& arg = "@job.bat") {
    tk_.ListingLines.clear();
    tk_.Log.clear();
    Sess = Session{};
    fs::current_path(root_);
    WriteText(root_ / "job.bat", text);
    return TarnMain({"tarnwork", "-HomeDir", home_.string(), arg});
  }
  bool Listed(const std::string& line) const {
    for (const auto& l : tk_.ListingLines)
      if (l == line) return true;
    return false;
  }
  // A tool that records its calls.
  void Record(int code, int error = 0, std::string bad = {}) {
    TarnSetTool(code, [this, error, bad](TarnToolCall& c) {
      calls_.push_back(c);
      c.Error = error;
      c.Bad = bad;
      return 0;
    });
  }
  std::vector<TarnToolCall> calls_;
};

TEST_F(AppBatch, CommandWords) {
  using W = std::vector<std::string>;
  EXPECT_EQ(TarnBatchWords(".File->Structure->Open"), (W{"File", "Structure", "Open"}));
  EXPECT_EQ(TarnBatchWords("  . run -> refine "), (W{"run", "refine"}));
  EXPECT_EQ(TarnBatchWords(".Tools->Graphic->Create graphic output file"),
            (W{"Tools", "Graphic", "Create graphic output file"}));
  EXPECT_EQ(TarnBatchWords(".a->b->c->d"), (W{"a", "b", "c"}));
  EXPECT_TRUE(TarnBatchWords("run->refine").empty());
  EXPECT_TRUE(TarnBatchWords("").empty());
}

TEST_F(AppBatch, EndsNormally) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"no commands", "this is not a command\n  neither is this\n\n"},
      {"empty file", ""},
      {"end", ".end\n.run->refine\n"},  // nothing after ".end" runs
      {"end close", ".END close\n.bogus\n"},
      {"end->close", ".end->close\n.bogus\n"},
      {"open and refine", ".File->Structure->Open\ns/x\n.run->refine\n.end\n"},
      {"case ignored", ".FILE->structure->OPEN\ns/x.m50\n.RUN->Refine\n"},
      {"open only", ".File->Structure->Open\ns/x\n"},
  };
  Record(51202);
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.text), ExitOk) << c.name;
    ASSERT_FALSE(tk_.ListingLines.empty()) << c.name;
    EXPECT_EQ(tk_.ListingLines.back(), "End of batch file has been reached.") << c.name;
    EXPECT_FALSE(tk_.Saw("Unknown batch command")) << c.name;
  }
  EXPECT_TRUE(Listed("Structure: x"));
  EXPECT_EQ(calls_.size(), 2u);
  // The structure is left closed.
  EXPECT_FALSE(StructureOpened((root_ / "s/x").string()));
}

TEST_F(AppBatch, EndsOnError) {
  fs::create_directories(root_ / "emptydir");
  struct Case {
    const char* name;
    std::string text;
    std::string message;  // empty: any message
  };
  const Case cases[] = {
      {"no path", ".File->Structure->Open\n", "end of file read from the batch file."},
      {"no cif", ".import->CIF\n", "end of file read from the batch file."},
      {"missing directory", ".File->Structure->Open\nnowhere/x\n.end\n", ""},
      {"missing structure", ".File->Structure->Open\nemptydir/x\n.end\n",
       "The structure \"" + (root_ / "emptydir/x").string() + "\" does not exist."},
      {"unknown command", ".File->Structure->Opne\ns/x\n", "Unknown batch command: "},
      {"no structure", ".run->refine\n", "No structure is open for the command: .run->refine"},
      {"syntax", ".File->Structure->Open\ns/x\n.Edit->Parameters\nx1 0.5\n",
       "Syntax error for the parameter: x1 0.5"},
      {"not a number", ".File->Structure->Open\ns/x\n.Edit->Parameters\nx1 = half\n",
       "Syntax error for the parameter: x1 = half"},
      {"unknown keyword", ".File->Structure->Open\ns/x\n.Edit->Radiation\nlambada 1.5\n",
       "unknown or inapplicable parameter lambada"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.text), ExitBatchError) << c.name;
    if (!c.message.empty()) {
      EXPECT_TRUE(tk_.Saw(c.message)) << c.name;
    }
    EXPECT_FALSE(Listed("End of batch file has been reached.")) << c.name;
  }
  EXPECT_FALSE(fs::exists(root_ / "nowhere")) << "nothing is created";
  EXPECT_FALSE(fs::exists(root_ / "emptydir/x.m50"));
}

TEST_F(AppBatch, UnreadableBatchFile) {
  fs::create_directories(root_ / "dir.bat");
  const std::pair<std::string, const char*> cases[] = {
      {"", "@absent.bat"},
      {"", "@dir.bat"},
      {std::string(".File->Structure->Open\ns/x\n.run->\0refine\n", 38), "@job.bat"}};
  for (const auto& [text, arg] : cases) {
    EXPECT_EQ(Run(text, arg), ExitBatchError) << arg;
    EXPECT_TRUE(Listed("reading error occured on the batch file.")) << arg;
  }
}

TEST_F(AppBatch, RunCommandsReachTheirTools) {
  Record(51202);
  Record(50902);
  Record(51302);
  ASSERT_EQ(Run(".File->Structure->Open\ns/x\n.run->refine\n.run->fourier\n.run->dist\n"), 0);
  ASSERT_EQ(calls_.size(), 3u);
  EXPECT_EQ(calls_[0].Code, 51202);
  EXPECT_EQ(calls_[1].Code, 50902);
  EXPECT_EQ(calls_[2].Code, 51302);
  EXPECT_TRUE(calls_[0].Batch);
  EXPECT_TRUE(Listed("Fourier"));
  EXPECT_TRUE(Listed("Dist"));
  EXPECT_EQ(Sess.fln, "x");

  // A tool that fails ends the batch with an error; what follows does not run.
  calls_.clear();
  Record(51202, 1);
  EXPECT_EQ(Run(".File->Structure->Open\ns/x\n.run->refine\n.run->dist\n"), ExitBatchError);
  EXPECT_EQ(calls_.size(), 1u);
}

TEST_F(AppBatch, EditBlocks) {
  Record(HookBatchEditParameters);
  Record(HookBatchEditRadiation);
  Record(HookBatchEditPwdKeys);
  ASSERT_EQ(Run(".File->Structure->Open\ns/x\n"
                ".Edit->Parameters\n# a comment\nx[Na1] = 0.25\n\n  ai[Cl1]=1\n"
                ".Edit->Radiation\nlambda 1.5406\nnalpha 2\nPERFMONO 0.5\n"
                ".Edit->PwdKeys\nshift 0.01 1\nbackg\n"),
            0);
  ASSERT_EQ(calls_.size(), 3u);
  const auto& p = calls_[0].Items;
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].Name, "x[Na1]");
  EXPECT_DOUBLE_EQ(p[0].Value, 0.25);
  EXPECT_EQ(p[1].Name, "ai[Cl1]");
  EXPECT_DOUBLE_EQ(p[1].Value, 1.0);
  // nalpha is ignored.
  const auto& r = calls_[1].Items;
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].Name, "lambda");
  EXPECT_DOUBLE_EQ(r[0].Value, 1.5406);
  EXPECT_EQ(r[1].Name, "PERFMONO");
  const auto& k = calls_[2].Items;
  ASSERT_EQ(k.size(), 2u);
  EXPECT_EQ(k[0].Name, "shift");
  EXPECT_EQ(k[0].Text, "0.01 1");
  EXPECT_EQ(k[1].Text, "");

  // The tool names the parameter it does not know.
  calls_.clear();
  Record(HookBatchEditParameters, 0, "q[Xx9]");
  EXPECT_EQ(Run(".File->Structure->Open\ns/x\n.Edit->Parameters\nq[Xx9] = 1\n.run->refine\n"),
            ExitBatchError);
  EXPECT_TRUE(Listed("unknown or inapplicable parameter q[Xx9]"));
  EXPECT_FALSE(Listed("This tool is not available yet.")) << "run->refine did not run";
}

// A command whose tool is not built ends the batch with an error: it did not
// do what the batch asked for.
TEST_F(AppBatch, ToolsThatAreNotBuiltEndTheBatch) {
  for (const char* cmd :
       {".Edit->Parameters\nx[Na1] = 0.1\n", ".Tools->Graphic->Create graphic output file\n",
        ".run->dist\n", ".run->fourier\n"}) {
    EXPECT_EQ(Run(std::string(".File->Structure->Open\ns/x\n") + cmd + ".run->refine\n"),
              ExitBatchError)
        << cmd;
    EXPECT_EQ(tk_.Count("This tool is not available yet."), 1) << cmd;
    EXPECT_FALSE(Listed("End of batch file has been reached.")) << cmd;
  }
}

TEST_F(AppBatch, GraphicAndCifImport) {
  Record(HookBatchGraphic);
  TarnSetTool(51103, [this](TarnToolCall& c) {
    calls_.push_back(c);
    // The import writes the new structure beside the CIF.
    WriteText(fs::current_path() / (Sess.fln + ".m50"), "Version Tarnwork\nend\n");
    return 0;
  });
  WriteText(root_ / "c/nacl.cif", "data_nacl\n");
  ASSERT_EQ(Run(".import->CIF\nc/nacl.cif\n.Tools->Graphic->Create graphic output file\n"), 0);
  ASSERT_EQ(calls_.size(), 2u);
  EXPECT_EQ(calls_[0].Path, "nacl.cif");
  EXPECT_EQ(calls_[1].Path, "nacl_tmp");
  EXPECT_EQ(Sess.fln, "nacl");
  EXPECT_TRUE(fs::exists(root_ / "c/nacl.m50"));
  EXPECT_TRUE(Listed("Structure: nacl"));
}

// Readers of the structure's files run when the batch opens a structure and
// after a tool, for the files that changed.
TEST_F(AppBatch, FilesAreReadOnOpenAndAfterTools) {
  std::vector<std::string> read;
  for (int k : {ReaderM50, ReaderM40, ReaderM90Header, ReaderM95Header})
    TarnSetReader(k, [&read](const std::string& p) {
      read.push_back(fs::path(p).extension().string());
      return 0;
    });
  MakeStructure("s/x", {".m50", ".m40", ".m90"});
  TarnSetTool(51202, [](TarnToolCall&) {
    WriteText(Sess.fln + ".m40", "refined\n");
    return 0;
  });
  ASSERT_EQ(Run(".File->Structure->Open\ns/x\n.run->refine\n"), 0);
  const std::vector<std::string> want = {".m90", ".m50", ".m40",  // opening
                                         ".m90", ".m40"};         // after the refinement
  EXPECT_EQ(read, want);
}

}  // namespace
}  // namespace tarn
