#include "symm_test_util.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "util/fract.hpp"
#include "util/strings.hpp"

namespace tarn::test {

const std::vector<SpaceGroupEntry>& SpaceGroups() {
  static const std::vector<SpaceGroupEntry> table = [] {
    std::vector<SpaceGroupEntry> out;
    std::string path = "tests/symmetry/data/spacegroups.txt";
    if (const char* src = std::getenv("TARN_SOURCE_DIR")) path = std::string(src) + "/" + path;
    std::ifstream in(path);
    std::string line;
    SpaceGroupEntry cur;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      const auto w = SplitWords(line);
      const std::string rest = line.substr(line.find(' ') + 1);
      if (w[0] == "group") {
        cur = SpaceGroupEntry{};
        cur.Number = static_cast<int>(*ToInt(w[1]));
        cur.Symbol = w[2];
        cur.Order = static_cast<int>(*ToInt(w[4]));
      } else if (w[0] == "centr") {
        std::vector<double> v;
        for (size_t k = 1; k < w.size(); ++k) v.push_back(*ReadFract(w[k]));
        cur.Centr.push_back(v);
      } else if (w[0] == "gen") {
        cur.Gen.push_back(rest);
      } else if (w[0] == "op") {
        cur.Ops.push_back(rest);
      } else if (w[0] == "end") {
        out.push_back(cur);
      }
    }
    return out;
  }();
  return table;
}

}  // namespace tarn::test
