// The main tab, the menus and the label paths of the terminal front-end.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "app/actions.hpp"
#include "app/toolkit_term.hpp"

namespace tarn {
namespace {

TEST(AppTab, CodesPositionsAndLabels) {
  struct Case {
    int code, g, i;
    const char* label;
  };
  const Case cases[] = {
      {51202, 12, 3, "Run refinement"},  // group 12, entry 3
      {50101, 1, 2, "Import/modify reflection file"},
      {50300, 3, 1, "Phases"},
      {50402, 4, 3, "Edit basic parameters (cell, symmetry, e"},
      {50409, 4, 10, "Edit f' and f\""},
      {51000, 10, 1, "Run Contour"},
      {52602, 26, 3, "Procedure#1"},
  };
  for (const auto& c : cases) {
    int g = 0, i = 0;
    ASSERT_TRUE(TarnTabPosition(c.code, g, i)) << c.code;
    EXPECT_EQ(g, c.g) << c.code;
    EXPECT_EQ(i, c.i) << c.code;
    EXPECT_EQ(TarnTabCode(g, i), c.code);
    EXPECT_EQ(TarnTabLabel(g, i), c.label);
    EXPECT_TRUE(TarnTabIsAction(g, i)) << c.code;
  }
  // Every position of the 30 x 16 table maps back to itself; labels fit 40 characters.
  int actions = 0;
  for (int g = 1; g <= NTabGroups; ++g)
    for (int i = 1; i <= NTabEntries; ++i) {
      int gg = 0, ii = 0;
      ASSERT_TRUE(TarnTabPosition(TarnTabCode(g, i), gg, ii));
      EXPECT_EQ(gg * 100 + ii, g * 100 + i);
      EXPECT_LE(TarnTabLabel(g, i).size(), 40u);
      actions += TarnTabIsAction(g, i);
    }
  // 80 items in 26 groups, and the six one-action groups through their heading.
  EXPECT_EQ(actions, 86);
  int g = 0, i = 0;
  EXPECT_FALSE(TarnTabPosition(49999, g, i));
  EXPECT_FALSE(TarnTabPosition(50000, g, i));
  EXPECT_FALSE(TarnTabPosition(51217, g, i)) << "entry 18 does not exist";
  EXPECT_FALSE(TarnTabIsAction(12, 1)) << "a heading with items is not an action";
  EXPECT_FALSE(TarnTabIsAction(27, 1)) << "unused group";
}

TEST(AppTab, LabelPaths) {
  const std::pair<const char*, int> cases[] = {
      {"Refinement/Run refinement", 51202},
      {"refinement/RUN REFINEMENT", 51202},
      {"  Distance calculation/Calculate distances ", 51302},
      {"Edit structure parameters/Edit twin/phase volume fractions", 50407},
      {"Run Contour", 51000},
      {"Recover files", 52300},
      {"Refinement", 0},  // a heading with items
      {"Run refinement", 0},
      {"Refinement/Run", 0},
      {"", 0},
  };
  for (const auto& [path, code] : cases) EXPECT_EQ(TarnTabFindPath(path), code) << path;
}

TEST(AppTab, MenuCodesAreUniqueAndDistinctFromTheTab) {
  std::set<int> codes;
  auto items = TarnMenuItems();
  for (const auto& m : items) {
    EXPECT_TRUE(codes.insert(m.Code).second) << m.Code;
    int g = 0, i = 0;
    EXPECT_FALSE(TarnTabPosition(m.Code, g, i));
  }
  EXPECT_EQ(items.size(), 28u);
  auto find = [&](int code) {
    for (const auto& m : items)
      if (m.Code == code) return m;
    return FeMenuItem{};
  };
  EXPECT_EQ(find(MenuQuit).Menu, "&Structure");
  EXPECT_EQ(find(MenuQuit).Label, "&Quit");
  EXPECT_EQ(find(MenuOpen).Label, "&Open\tCtrl+O");
  EXPECT_EQ(find(MenuPrograms).Menu, "&Settings");
  EXPECT_EQ(find(MenuAbout).Label, "&About Tarnwork");
}

// The terminal front-end turns input lines into events against the view it
// was shown last.
TEST(AppTab, TerminalLinesToEvents) {
  Sess = Session{};
  FeFillMainTab(0);
  std::istringstream in;
  std::ostringstream out;
  FeTerminalToolkit tk(in, out, false);
  tk.ShowMain(TarnMainView());
  struct Case {
    const char* line;
    int kind, id;
  };
  const Case cases[] = {
      {"51202", EventButton, 51202},
      {"  51202  ", EventButton, 51202},
      {"menu 40033", EventMenu, 40033},
      {"MENU 40045", EventMenu, 40045},
      {"menu x", EventMenu, 0},
      {"dialog 51202", EventToolDlg, 51202},
      {"Refinement/Run refinement", EventButton, 51202},
      {"CIF utilities/CIF fcfcode=3", EventButton, 51604},
      {"Run Contour", EventButton, 51000},
      {"Structure/Open", EventMenu, MenuOpen},
      {"&Structure/&Quit", EventMenu, MenuQuit},
      {"Tools/Connect to/ISODISTORT", EventMenu, MenuIsodistort},
      {"quit", EventClose, 0},
      {"Exit", EventClose, 0},
      {"", EventIgnore, 0},
      {"Refinement/No such thing", EventButton, 0},
  };
  for (const auto& c : cases) {
    FeEvent e = tk.ParseLine(c.line);
    EXPECT_EQ(e.Kind, c.kind) << c.line;
    EXPECT_EQ(e.Id, c.id) << c.line;
  }
  // The window shows codes, labels, disabled items and the menu.
  std::string shown = out.str();
  EXPECT_NE(shown.find("51202  Run refinement  (disabled)"), std::string::npos);
  EXPECT_NE(shown.find("menu 40033  Open"), std::string::npos);
  EXPECT_NE(shown.find("Structure: none"), std::string::npos);
}

}  // namespace
}  // namespace tarn
