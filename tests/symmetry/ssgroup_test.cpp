// Superspace-group symbols: every group of the table round-trips symbol ->
// operators -> symbol; the operator counts agree with the published tables
// when ../shared/data/ssg is present.
#include "symmetry/ssgroup.hpp"

#include <gtest/gtest.h>

#include <map>

#include "support/report_script.hpp"
#include "util/files.hpp"
#include "util/strings.hpp"

namespace tarn {
namespace {

const SsgTable& Table() {
  static SsgTable t;
  static const int rc = SsgTableLoad("data/", t);
  EXPECT_EQ(rc, 0);
  return t;
}

// Operator counts per label of the published tables (empty when absent).
std::map<std::string, int> PublishedCounts() {
  std::map<std::string, int> out;
  for (const char* f : {"ssg_group1_tables.txt", "ssg_group2_tables.txt"}) {
    std::string text;
    if (FeReadFile(std::string("../shared/data/ssg/") + f, text) != 0) continue;
    std::string label;
    for (const std::string& l : SplitOn(text, "\n")) {
      if (!l.empty() && std::isdigit(static_cast<unsigned char>(l[0])) && l.find(' ') != std::string::npos &&
          std::count(l.begin(), l.begin() + static_cast<long>(l.find(' ')), '.') == 3) {
        label = l.substr(0, l.find(' '));
        out[label] = 0;
      } else if (!label.empty() && l[0] != '(' && l.find('X') != std::string::npos &&
                 l.find(':') == std::string::npos) {
        // The full list starts with the identity; generators may precede it.
        if (l.rfind("X,Y,Z,T", 0) == 0) out[label] = 0;
        for (const std::string& op : SplitOn(l, ";")) out[label] += Trim(op).empty() ? 0 : 1;
      }
    }
  }
  return out;
}

TEST(SsGroup, EveryGroupRoundTrips) {
  const SsgTable& tab = Table();
  ASSERT_EQ(tab.Entry.size(), 775u + 3338u);
  const auto published = PublishedCounts();
  if (published.empty()) std::cout << "../shared/data/ssg absent: operator counts not checked\n";
  for (size_t i = 0; i < tab.Entry.size(); ++i) {
    const SsgEntry& e = tab.Entry[i];
    PhaseSymmetry ps;
    SgFound f;
    ASSERT_EQ(EM50GenSymSSG(tab, e.Symbol, ps, &f), 0) << e.Symbol;
    EXPECT_EQ(ps.NDim, e.NDim);
    EXPECT_EQ(ps.NLattVec, static_cast<int>(e.Centr.size()) + 1) << e.Label;
    if (auto it = published.find(e.Label); it != published.end()) {
      EXPECT_EQ(ps.NSymm, it->second) << e.Label;
    }
    SgFound back;
    ASSERT_EQ(FindSmbSsgOps(tab, ps, back), 0) << e.Symbol;
    EXPECT_EQ(back.Symbol, e.Symbol);
  }
}

TEST(SsGroup, SpellingsAndFaults) {
  const SsgTable& tab = Table();
  test::ReportScript rs;
  for (const char* s : {"P21/b(alfa,beta,0)00", "P 21/b (0,0,g) 0 0", "Pnma(0,0,gamma)0s0"}) {
    PhaseSymmetry ps;
    EXPECT_EQ(EM50GenSymSSG(tab, s, ps), 0) << s;
  }
  for (auto [sym, msg] : std::initializer_list<std::pair<const char*, std::string>>{
           {"P2(0,0,g)x", std::string(sgmsg::AddSymbolHead) + " 1. " + std::string(sgmsg::AddSymbolTail)},
           {"P2(0,0,q)0", std::string(sgmsg::BadQ)},
           {"P2'(0,0,g)0", std::string(sgmsg::MagNonMag)},
           {"P2", std::string(sgmsg::NoColon)},
           {"P2(0,0,g)t", "The symbol \"P2(0,0,g)t\" isn't found on the list."}}) {
    PhaseSymmetry ps;
    ErrorRecord err;
    EXPECT_EQ(EM50GenSymSSG(tab, sym, ps, nullptr, &err), 1) << sym;
    EXPECT_EQ(err.Message, msg) << sym;
  }
}

}  // namespace
}  // namespace tarn
