#pragma once
// Helpers of the datared tests: the shared data folder, a fixture with a
// scratch directory, an M95 path and the import's error record, and the
// operators of P2(1)2(1)2(1).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "datared/import.hpp"
#include "model/basic.hpp"
#include "model/session.hpp"
#include "model/structure.hpp"
#include "support/small_structures.hpp"
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

// The operators of P2(1)2(1)2(1) besides the identity (phases: test::MakeGroup).
inline const std::vector<std::string> kP212121 = {"-x+1/2 -y z+1/2", "-x y+1/2 -z+1/2",
                                                  "x+1/2 -y+1/2 -z"};

}  // namespace tarn::test
