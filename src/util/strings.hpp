#pragma once
// String helpers shared by every subsystem: case-insensitive comparison,
// trimming, splitting and number conversion that reports failure instead of
// throwing.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// Upper/lower case copies (ASCII only; file contents are ASCII).
std::string ToUpper(std::string_view s);
std::string ToLower(std::string_view s);

// True when a and b are equal ignoring ASCII case.
bool EqIgnoreCase(std::string_view a, std::string_view b);

// True when s starts with prefix ignoring ASCII case.
bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix);

// Leading/trailing blanks (space, tab, CR, LF) removed.
std::string_view Trim(std::string_view s);
std::string_view TrimLeft(std::string_view s);
std::string_view TrimRight(std::string_view s);

// Splits on runs of blanks (space, tab); empty fields are not returned.
std::vector<std::string> SplitWords(std::string_view s);

// Splits on every occurrence of sep; empty fields are kept.
std::vector<std::string> SplitOn(std::string_view s, std::string_view sep);

// Whole-string conversions (surrounding blanks allowed); nullopt when the text
// is not a complete number or is out of range.
std::optional<long long> ToInt(std::string_view s);
std::optional<double> ToReal(std::string_view s);

// True when every byte is printable ASCII, tab, CR or LF.
bool IsPlainAscii(std::string_view s);

}  // namespace tarn
