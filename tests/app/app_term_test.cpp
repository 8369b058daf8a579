// The terminal front-end: questions, choosers and forms read from a stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/toolkit_term.hpp"
#include "model/session.hpp"

namespace tarn {
namespace {

struct Term {
  explicit Term(const std::string& input) : in(input), tk(in, out, false) {}
  std::istringstream in;
  std::ostringstream out;
  FeTerminalToolkit tk;
};

TEST(AppTerminal, YesNoAnswers) {
  Sess = Session{};
  struct Case {
    const char* input;
    bool dflt, want;
  };
  const Case cases[] =
      {
          {"y\n", false, true}, {"YES\n", false, true}, {"n\n", true, false},
          {"\n", true, true},   {"\n", false, false},   {"maybe\nno\n", true, false},
          {"", true, true},  // end of input: the default
          {"", false, false},
      };
  for (const auto& c : cases) {
    Term t(c.input);
    EXPECT_EQ(t.tk.YesNo("Continue?", {"line"}, c.dflt), c.want) << c.input;
  }
  Term all("x\na\n");
  EXPECT_EQ(all.tk.YesNoAll("Delete?"), FeAnswer::All);
  // In batch mode nothing is read.
  Sess.BatchMode = true;
  Term batch("n\n");
  EXPECT_TRUE(batch.tk.YesNo("Continue?", {}, true));
  EXPECT_FALSE(batch.tk.ChooseFile("Open : ", "", "*.m50").has_value());
  std::string rest;
  std::getline(batch.in, rest);
  EXPECT_EQ(rest, "n");
  Sess = Session{};
}

TEST(AppTerminal, ChoosersAndForms) {
  Term list("7\nx\n2\n");
  EXPECT_EQ(list.tk.ChooseFromList("History", {"a", "b", "c"}), 1);
  Term cancel("\n");
  EXPECT_FALSE(cancel.tk.ChooseFromList("History", {"a"}).has_value());

  // A relative path is taken from the directory the program was started in
  // (where the user typed it), whatever the current directory is now; the
  // prompt is kept apart from the answer.
  Sess.StartDir = "/home/u/work/";
  struct Case {
    const char *Prompt, *Answer, *Path, *Shown;
  } const cases[] = {
      {"Open : ", "  dir/x.m50  ", "/home/u/work/dir/x.m50", "Open : "},
      {"Select the reflection file", "/abs/y.hkl", "/abs/y.hkl", "Select the reflection file : "},
      {"Define file:", "z.hkl", "/home/u/work/z.hkl", "Define file: "}};
  for (const auto& c : cases) {
    Term file(std::string(c.Answer) + "\n");
    EXPECT_EQ(file.tk.ChooseFile(c.Prompt, "hint", "*.m50"), c.Path);
    EXPECT_NE(
        file.out.str().find(std::string("hint\n(files *.m50; empty line cancels)\n") + c.Shown),
        std::string::npos)
        << file.out.str();
  }
  Sess = Session{};
  Term nofile("");
  EXPECT_FALSE(nofile.tk.ChooseFile("Open : ", "", "").has_value());

  std::vector<FeFormField> fields = {{"Editor", "vi"}, {"Shell", "sh"}, {"Viewer", "v"}};
  Term form("nano\n\n.\n");
  ASSERT_TRUE(form.tk.EditForm("Programs", fields));
  EXPECT_EQ(fields[0].Value, "nano");
  EXPECT_EQ(fields[1].Value, "sh");
  EXPECT_EQ(fields[2].Value, "");
  // Input ending inside the form cancels it and changes nothing.
  Term cut("emacs\n");
  EXPECT_FALSE(cut.tk.EditForm("Programs", fields));
  EXPECT_EQ(fields[0].Value, "nano");
}

TEST(AppTerminal, EventsAndListings) {
  Term t("show\nhelp\n51202\n");
  FeMainView v;
  v.Title = "Tarnwork test";
  t.tk.ShowMain(v);
  // After an action (which changed what is enabled) only the prompt.
  v.Tree.push_back({51202, 1, "Run refinement", true, true});
  t.tk.ShowMain(v);
  FeEvent e = t.tk.NextEvent();
  EXPECT_EQ(e.Kind, EventButton);
  EXPECT_EQ(e.Id, 51202);
  EXPECT_EQ(t.tk.NextEvent().Kind, EventClose);  // end of input
  v.Structure = "other";  // another structure opened: the window again
  t.tk.ShowMain(v);
  std::string out = t.out.str();
  std::vector<size_t> at;
  for (size_t p = out.find("==== Tarnwork test"); p != std::string::npos;
       p = out.find("==== Tarnwork test", p + 1))
    at.push_back(p);
  ASSERT_EQ(at.size(), 3u) << out;  // at start, on "show", after the new structure
  // Not printed after the action, but by "show".
  EXPECT_GT(out.find("51202  Run refinement"), at[1]);

  // The progress bar: drawn on a terminal after its delay, never into a pipe.
  for (const bool tty : {true, false}) {
    Term bar("");
    bar.tk.SetProgressBar(tty, 0.);
    bar.tk.ProgressBegin("Refinement");
    bar.tk.ProgressFraction(0.5);
    bar.tk.ListingLine("Cycle 1");
    bar.tk.ProgressEnd();
    EXPECT_EQ(bar.out.str().find("] ") != std::string::npos, tty) << bar.out.str();
    EXPECT_EQ(bar.out.str().find(" 50%") != std::string::npos, tty);
  }

  char name[] = "/tmp/tarn_listing_XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(name) << "R = 0.0312\n";
  Term l("");
  l.tk.ShowListingFile(name);
  EXPECT_NE(l.out.str().find("R = 0.0312\n"), std::string::npos);
  std::remove(name);
}

}  // namespace
}  // namespace tarn
