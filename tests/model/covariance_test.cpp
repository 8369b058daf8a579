// The covariance file of a refinement: reading, its faults, and the identity
// that ties it to one M40.
#include "model/covariance.hpp"

#include <gtest/gtest.h>

namespace tarn {
namespace {

const std::string kText =
    "# Tarnwork covariance 1\nm40 00000000000000ff\nnpar 3\npar 1 cell a\npar 2 atom C1 x\npar 3 atom C2 x\n"
    "matrix\n1e-06\n0 1e-06\n0 5e-07 1e-06\nend\n";

TEST(Covariance, ReadsAndWritesTheSameText) {
  CovMatrix c;
  ErrorRecord err;
  ASSERT_EQ(ReadCovariance(kText, "s.cov", c, err), 0) << err.Text();
  EXPECT_EQ(c.Names, (std::vector<std::string>{"cell a", "C1 x", "C2 x"}));
  EXPECT_DOUBLE_EQ(c.V(1, 2), 5e-7);
  EXPECT_DOUBLE_EQ(c.V(2, 1), 5e-7);
  EXPECT_EQ(CovarianceText(c), kText);
  // Angles and translations of molecule positions.
  const std::string mol =
      "# Tarnwork covariance 1\nm40 00000000000000ff\nnpar 1\npar 1 molpos M1A phi\nmatrix\n1\nend\n";
  ASSERT_EQ(ReadCovariance(mol, "s.cov", c, err), 0) << err.Text();
  EXPECT_EQ(c.Names, (std::vector<std::string>{"molpos M1A phi"}));
  EXPECT_EQ(CovarianceText(c), mol);
}

TEST(Covariance, FaultsNameTheLine) {
  struct Case {
    std::string from, to;
    int line;
  } cases[] = {{"# Tarnwork covariance 1", "# covariance", 1},
               {"m40 00000000000000ff", "m40 ff", 2},
               {"npar 3", "npar x", 3},
               {"par 2 atom C1 x", "par 2 atom C1 u", 5},
               {"par 3 atom", "par 4 atom", 6},
               {"0 5e-07 1e-06\n", "0 5e-07\n", 11},
               {"0 5e-07 1e-06", "0 5e-07 -1e-06", 10},
               {"\nend\n", "\n", 10}};
  for (const auto& k : cases) {
    std::string t = kText;
    t.replace(t.find(k.from), k.from.size(), k.to);
    CovMatrix c;
    c.Names = {"kept"};
    ErrorRecord err;
    EXPECT_EQ(ReadCovariance(t, "s.cov", c, err), 1) << k.to;
    EXPECT_EQ(err.File, "s.cov");
    EXPECT_EQ(err.Line, k.line) << k.to;
    EXPECT_FALSE(err.Message.empty());
    EXPECT_EQ(c.Names, (std::vector<std::string>{"kept"})) << "unchanged on failure";
  }
}

TEST(Covariance, IdentityLeavesOutTheHeadCommandsBlock) {
  const std::string model = "    1    1   0   0 0.000000   0.000000 0.000000   0.000000\n";
  const std::string id = M40Identity(model);
  EXPECT_EQ(id.size(), 16u);
  EXPECT_EQ(M40Identity("commands\nFourier maxima\nmax1 1 0 0 0 0 0\nend\n" + model), id);
  EXPECT_NE(M40Identity(model + " "), id);
  EXPECT_NE(M40Identity(""), id);
}

}  // namespace
}  // namespace tarn
