#pragma once
// Shared set-up of the application-frame tests: a fresh frame state, a
// scripted toolkit, a private scratch directory with a home directory that
// carries the current version file, and the working directory restored after
// each test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "app/actions.hpp"
#include "app/toolkit_script.hpp"
#include "model/session.hpp"
#include "support/cif_text.hpp"

namespace tarn::testing {

namespace fs = std::filesystem;

inline void WriteText(const fs::path& p, const std::string& text) {
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

using test::ReadText;

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    startDir_ = fs::current_path();
    char tmpl[] = "/tmp/tarn_app_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    home_ = root_ / "home";
    WriteText(home_ / "version.dat", "# data files\n" + Session{}.Version + "\n");
    Sess = Session{};
    TarnClearTools();
    for (int k = 0; k < NReaders; ++k) TarnSetReader(k, nullptr);
    unsetenv("TARNWORKDIR");
    // Settings, history and temporaries of this test only.
    for (const char* v : kUserDirVars) {
      const char* old = std::getenv(v);
      savedEnv_.emplace_back(v, old ? old : "");
      setenv(v, (root_ / "user" / v).c_str(), 1);
    }
    FeSetToolkit(&tk_);
  }
  void TearDown() override {
    FeSetToolkit(nullptr);
    TarnClearTools();
    fs::current_path(startDir_);
    std::error_code ec;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
    Sess = Session{};
    for (const auto& [v, old] : savedEnv_) setenv(v.c_str(), old.c_str(), 1);
  }
  // The folders of the per-user state that TarnInic chooses in this test.
  fs::path ConfigDir() const { return root_ / "user/XDG_CONFIG_HOME/tarnwork"; }
  fs::path StateDir() const { return root_ / "user/XDG_STATE_HOME/tarnwork"; }
  // A structure directory with the given files (extension -> contents).
  fs::path MakeStructure(const std::string& rel, std::initializer_list<const char*> exts) {
    fs::path base = root_ / rel;
    for (const char* e : exts) WriteText(base.string() + e, std::string("data of ") + e + "\n");
    return base;
  }
  // The home directory as a string ending in "/".
  std::string Home() const { return home_.string() + "/"; }

  static constexpr const char* kUserDirVars[] = {"XDG_CONFIG_HOME", "XDG_STATE_HOME",
                                                 "XDG_RUNTIME_DIR"};
  fs::path startDir_, root_, home_;
  FeScriptToolkit tk_;
  std::vector<std::pair<std::string, std::string>> savedEnv_;
};

}  // namespace tarn::testing
