#include "cif/cif_dict.hpp"

#include <fmt/format.h>

#include "util/files.hpp"
#include "util/report.hpp"
#include "util/strings.hpp"

namespace tarn {

const std::string& CifDict::Name(int key) const {
  static const std::string none;
  auto it = Entry.find(key);
  return it == Entry.end() ? none : it->second.Name;
}

std::string CifDictPath(const std::string& homeDir) {
  const std::string home = WithSlash(homeDir);
  if (!FeFileExists(home + "cif.dat") && FeFileExists(home + "cif/cif.dat"))
    return home + "cif/cif.dat";
  return home + "cif.dat";
}

int CifReadDict(std::string_view text, const std::string& fileName, CifDict& d, ErrorRecord& err) {
  CifDict out;
  int lineNo = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNo;
    if (line.empty() || (lineNo == 1 && line[0] == '#')) continue;
    const auto w = SplitWords(line);
    const auto key = w.size() == 3 ? ToInt(w[0]) : std::nullopt;
    const auto flag = w.size() == 3 ? ToInt(w[1]) : std::nullopt;
    if (!key || !flag || w[2].size() < 2 || w[2][0] != '_') {
      err = {fileName, lineNo, 0, std::string(line),
             "A key number, a flag and a data name were expected."};
      return 1;
    }
    if (out.Entry.count(static_cast<int>(*key))) {
      err = {fileName, lineNo, 0, std::string(line), fmt::format("Key {} is used twice.", *key)};
      return 1;
    }
    out.Entry[static_cast<int>(*key)] = {static_cast<int>(*flag), std::string(w[2])};
  }
  d = std::move(out);
  return 0;
}

int CifLoadDict(const std::string& homeDir, CifDict& d) {
  const std::string path = CifDictPath(homeDir);
  std::string text;
  if (!FeFileExists(path) || FeReadFile(path, text)) {
    ReportError(fmt::format("the dictionary file \"{}\" does not exist.", path));
    return 1;
  }
  ErrorRecord err;
  if (CifReadDict(text, path, d, err)) {
    ReportError("The CIF dictionary could not be read.", err.Lines());
    return 1;
  }
  return 0;
}

}  // namespace tarn
