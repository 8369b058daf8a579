#pragma once
// The CIF dictionary of the report: key number -> data name, read from
// cif.dat of the program's home directory (or its "cif" subdirectory).
//
// File: an optional first line beginning with "#", then one item a line:
// key number, integer flag (0 single item, 1 loop column), data name.
#include <map>
#include <string>
#include <string_view>

#include "util/error.hpp"

namespace tarn {

struct CifDictEntry {
  int Flag = 0;
  std::string Name;
};

struct CifDict {
  std::map<int, CifDictEntry> Entry;
  // The data name of a key, "" when the dictionary lacks it.
  const std::string& Name(int key) const;
};

// Path of the dictionary: home + "cif.dat", else home + "cif/cif.dat"; the
// first one when neither exists.
std::string CifDictPath(const std::string& homeDir);
// Reads the dictionary text. Returns 1 with err filled (line, what was
// expected) on a malformed line; d is then unchanged.
[[nodiscard]] int CifReadDict(std::string_view text, const std::string& fileName, CifDict& d,
                              ErrorRecord& err);
// Reads the dictionary of the home directory. A missing file reports
// "the dictionary file "<path>" does not exist."; both faults return 1.
[[nodiscard]] int CifLoadDict(const std::string& homeDir, CifDict& d);

}  // namespace tarn
