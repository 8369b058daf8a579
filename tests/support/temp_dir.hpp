#pragma once
// A scratch directory for one test: made fresh under the system's temporary
// folder, named after the test, removed at the end. Derive a fixture from
// TempDirTest, or hold a TempDir.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tarn::test {

class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "tarn_" + std::to_string(::getpid());
    if (info != nullptr) name += std::string("_") + info->test_suite_name() + "_" + info->name();
    for (char& c : name)
      if (c == '/') c = '_';
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // Path of name inside the directory, as a string.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // Writes text (bytes as given) into name; returns the path.
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string p = *this / name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  // Whole contents of a file ("" when absent).
  static std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

 private:
  std::filesystem::path path_;
};

class TempDirTest : public ::testing::Test {
 protected:
  TempDir Dir;
};

}  // namespace tarn::test
