#pragma once
// Helpers of the datared tests: the shared data folder, a fixture with a
// scratch directory, an M95 path and the import's error record, and a phase
// built from operator texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "datared/import.hpp"
#include "model/basic.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "support/temp_dir.hpp"
#include "symmetry/symm.hpp"

namespace tarn::test {

inline const std::string kData = "../shared/data/";
inline bool HaveData(const std::string& f) {
  return std::filesystem::exists(kData + f);
}

// A fresh structure (no basic data, no reflections) and a scratch M95.
class ImportTest : public TempDirTest {
 protected:
  void SetUp() override {
    Struct.Refl = ReflData{};
    Struct.Basic = BasicData{};
    Sess.KPhase = 1;
  }
  int Import(int code, const std::string& file, const ImpOptions& opt = {}) {
    return EM9ImportFile(code, file, opt, m95, rep, err);
  }
  std::string Msg() const { return ImpErrorText(err); }
  const std::string m95 = Dir / "s.m95";
  ImpReport rep;
  ErrorRecord err;
};

// The symmetry of a phase from operator texts ("-x y+1/2 -z") and centring vectors.
inline PhaseSymmetry MakePhase(const std::vector<std::string>& ops,
                               const std::vector<std::vector<double>>& centr = {}) {
  PhaseSymmetry ps = CrlPrimitivePhase(3);
  for (const std::string& t : ops) {
    SymmOp op;
    EXPECT_EQ(ReadSymm(t, 3, false, op), 0) << t;
    CrlAddOp(ps, op.RM6.data(), op.S6.data(), 1.);
  }
  for (const auto& v : centr) CrlAddCentr(ps, v.data());
  EXPECT_EQ(CompleteSymm(ps), 0);
  return ps;
}
inline const std::vector<std::string> kP212121 = {"-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2",
                                                  "x+1/2 -y+1/2 -z"};

}  // namespace tarn::test
