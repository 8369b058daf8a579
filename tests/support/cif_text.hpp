#pragma once
// Small readers of CIF text for tests: a file's text, the embedded text
// field after a data name, and the rows of the loop that holds a data name.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace tarn::test {

inline std::string ReadText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The text field that follows a data name: the lines between the ";" lines.
inline std::string CifEmbedded(const std::string& cif, const std::string& name) {
  const size_t at = cif.find(name);
  if (at == std::string::npos) return {};
  const size_t open = cif.find("\n;", at);
  if (open == std::string::npos) return {};
  const size_t close = cif.find("\n;", open + 2);
  if (close == std::string::npos) return {};
  std::string text = cif.substr(open + 2, close - open - 2) + "\n";
  if (!text.empty() && text[0] == '\n') text.erase(0, 1);
  return text;
}

// Rows (words) of the loop whose header holds `name`: the lines after the
// header up to the next "loop_", data name or empty line. Values are plain
// words (no quoted strings with blanks).
inline std::vector<std::vector<std::string>> CifLoopRows(const std::string& cif,
                                                         const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(cif);
  std::string line;
  bool header = false, body = false;
  while (std::getline(in, line)) {
    std::istringstream w(line);
    std::vector<std::string> words;
    for (std::string s; w >> s;) words.push_back(s);
    if (!body) {
      if (!words.empty() && words[0] == name) header = true;
      if (header && !words.empty() && words[0][0] != '_') body = true;
      if (!body) continue;
    }
    if (words.empty() || words[0] == "loop_" || words[0][0] == '_') break;
    rows.push_back(words);
  }
  return rows;
}

}  // namespace tarn::test
