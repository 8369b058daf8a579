#pragma once
// A file's whole text, for tests. CIF texts are read with the program's own
// readers (util/cif_syntax.hpp, ShelxEmbeddedFile of importers/shelx_model.hpp).
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tarn::test {

inline std::string ReadText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace tarn::test
