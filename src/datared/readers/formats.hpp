#pragma once
// The one table of reflection-file formats, shared by the import wizard (its
// two lists: diffractometers, then other programs) and the batch import (by
// label). Each reader's header defines the entries of its format; formats.cpp
// puts them in the order the wizard lists them, which also gives the codes.
// Users type the labels (without "&") in batch files: they do not change.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "datared/readers/reader.hpp"

namespace tarn {

std::span<const ImpFormatEntry> ImpFormats();
// True for the entries of the second list (formats of other programs).
inline bool ImpIsProgramFormat(const ImpFormatEntry& e) {
  return e.Code > kImpProgramBase;
}
// The entry of a code; nullptr when none.
const ImpFormatEntry* ImpFormatOfCode(int code);
// The entry of a label, "&" ignored; an exact match first, then one ignoring
// case ("IPDS Stoe" and "IPDS STOE" are two entries); nullptr when none.
const ImpFormatEntry* ImpFormatOfLabel(std::string_view label);
// Label without "&".
std::string ImpPlainLabel(std::string_view label);
// The labels (without "&") of the entries that have a reader, in table order.
std::vector<std::string> ImpReadableLabels();

}  // namespace tarn
