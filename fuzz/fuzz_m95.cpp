// Fuzzes the M95 reader. Invariant: a file that reads without error and is
// written again reads back, and writing that gives the same bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "model/m95m90.hpp"

namespace {

std::string TmpName(const char* tag) {
  const char* dir = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/tarn_fuzz_" + tag + "_" + std::to_string(::getpid()) + ".m95";
}

std::string ReadAll(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string in = TmpName("in"), a = TmpName("a"), b = TmpName("b");
  {
    std::ofstream f(in, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::vector<tarn::M95Block> blocks;
  std::vector<std::vector<tarn::M95Refl>> refl;
  (void)tarn::iom95(tarn::kIoRead, in);
  if (tarn::ReadM95File(in, blocks, refl) == 0 && tarn::WriteM95File(a, blocks, refl) == 0) {
    std::vector<tarn::M95Block> b2;
    std::vector<std::vector<tarn::M95Refl>> r2;
    if (tarn::ReadM95File(a, b2, r2) != 0) __builtin_trap();  // wrote what we cannot read
    if (tarn::WriteM95File(b, b2, r2) != 0) __builtin_trap();
    if (ReadAll(a) != ReadAll(b)) __builtin_trap();  // second write differs
  }
  std::remove(in.c_str());
  return 0;
}
