#include "app/tools/importers_tools.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/actions.hpp"
#include "util/files.hpp"
#include "model/session.hpp"
#include "app/toolkit.hpp"
#include "support/temp_dir.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;

// Batch run of "model from CIF" as ".import->CIF" calls it: the structure is
// written under the current fln; a bad file fails and writes nothing.
TEST(ImportersTools, BatchModelFromCif) {
  const fs::path cif = fs::absolute("../shared/data/nacl/NaCl.cif");
  if (!fs::exists(cif)) GTEST_SKIP() << "NaCl.cif not available";
  FeSilentToolkit tk;
  FeSetToolkit(&tk);
  const fs::path cwd = fs::current_path();
  const test::TempDir tmp;
  const fs::path dir = tmp.Path();
  ASSERT_EQ(FeWriteFileAtomic((dir / "bad.cif").string(), "data_x\n_cell_length_a 5\n"), 0);
  RegisterImportersTools();
  const bool batch = Sess.BatchMode;
  Sess.BatchMode = true;  // interactive runs would place the structure beside the file
  struct Case {
    fs::path File;
    int Error;
  } cases[] = {{dir / "bad.cif", 1}, {cif, 0}};
  for (const auto& c : cases) {
    ASSERT_EQ(TarnSwitchFln((dir / "nacl").string()), 0);
    TarnToolCall call;
    call.Batch = true;
    call.Path = c.File.string();
    (void)TarnRunTool(51103, call);
    EXPECT_EQ(call.Error, c.Error) << c.File;
    EXPECT_EQ(fs::exists(dir / "nacl.m50"), c.Error == 0);
    EXPECT_EQ(fs::exists(dir / "nacl.m40"), c.Error == 0);
  }
  Sess.BatchMode = batch;
  fs::current_path(cwd);
  FeSetToolkit(nullptr);
}

}  // namespace
}  // namespace tarn
