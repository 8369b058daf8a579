// Fuzzes the M90 reader. Invariant: a file that reads without error and is
// written again reads back, and writing that gives the same bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "model/basic.hpp"
#include "model/structure.hpp"
#include "model/m95m90.hpp"

namespace {

std::string TmpName(const char* tag) {
  const char* dir = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/tarn_fuzz_" + tag + "_" + std::to_string(::getpid()) + ".m90";
}

std::string ReadAll(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string in = TmpName("in"), a = TmpName("a"), b = TmpName("b");
  // The first byte chooses the superspace dimension of the basic data.
  if (size == 0) return 0;
  tarn::Struct.Basic.Phase.resize(1);
  tarn::Struct.Basic.Phase[0].NDim = 3 + data[0] % 4;
  ++data;
  --size;
  {
    std::ofstream f(in, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::vector<tarn::M90Block> blocks;
  std::vector<std::vector<tarn::M90Refl>> refl;
  (void)tarn::iom90(tarn::kIoRead, in);
  if (tarn::ReadM90File(in, blocks, refl) == 0 && tarn::WriteM90File(a, blocks, refl) == 0) {
    std::vector<tarn::M90Block> b2;
    std::vector<std::vector<tarn::M90Refl>> r2;
    if (tarn::ReadM90File(a, b2, r2) != 0) __builtin_trap();  // wrote what we cannot read
    if (tarn::WriteM90File(b, b2, r2) != 0) __builtin_trap();
    if (ReadAll(a) != ReadAll(b)) __builtin_trap();  // second write differs
  }
  std::remove(in.c_str());
  return 0;
}
