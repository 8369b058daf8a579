// "Run average" on an existing M90: the listing is written, M90 is not touched;
// without reflection files nothing is written.
#include "app/tools/average_tool.hpp"
#include "model/structure.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "util/files.hpp"
#include "model/session.hpp"
#include "model/basic.hpp"
#include "model/m95m90.hpp"
#include "support/small_structures.hpp"
#include "support/temp_dir.hpp"
#include "symmetry/symm.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

TEST(RunAverage, ListingFromM90UnderTheCurrentPhase) {
  const test::TempDir dir;
  const std::string base = dir / "x";
  // Without reflection files: a failure and no listing.
  Struct.Basic = BasicData{};
  PhaseBasic p;
  for (int i = 0; i < 3; ++i) p.Cell[i] = 7.;
  p.Symmetry = test::MakeGroup(3, {"-x -y z"});  // point group 2
  Struct.Basic.Phase.push_back(p);
  Sess.KPhase = 1;
  EXPECT_NE(EM9Average(base), 0);
  EXPECT_FALSE(fs::exists(base + ".ave"));
  // Pairs (h,k,l) and (-h,-k,l), equal within 1 %: 12 measurements -> 6 unique.
  std::vector<M90Block> b(1);
  SetBasicM90(b[0]);
  std::vector<std::vector<M90Refl>> r(1);
  for (int h = 1; h <= 6; ++h)
    for (const int s : {1, -1}) {
      M90Refl x;
      x.H[0] = s * h;
      x.H[1] = s * 2;
      x.H[2] = 3;
      x.I = 100. * h * (s > 0 ? 1.01 : 0.99);
      x.SigI = 2.;
      r[0].push_back(x);
    }
  ASSERT_EQ(WriteM90File(base + ".m90", b, r), 0);
  const std::string before = test::TempDir::Read(base + ".m90");
  ASSERT_EQ(EM9Average(base), 0);
  const std::string ave = test::TempDir::Read(base + ".ave");
  EXPECT_NE(ave.find("12 reflections averaged to 6"), std::string::npos) << ave;
  EXPECT_NE(ave.find("Rint = 0.0100"), std::string::npos) << ave;
  EXPECT_EQ(test::TempDir::Read(base + ".m90"), before);
}

}  // namespace
}  // namespace tarn
