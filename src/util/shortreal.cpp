#include "util/shortreal.hpp"

#include <charconv>

namespace tarn {

// A fixed form longer than the scientific one by more than this many
// characters is replaced by the scientific form.
inline constexpr long kShortRealFixedExtra = 5;

std::string FormatShortReal(double x) {
  char fix[512], sci[64];
  // Without a precision, to_chars gives the shortest text that round-trips.
  auto f = std::to_chars(fix, fix + sizeof fix, x, std::chars_format::fixed);
  auto s = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  if (f.ec == std::errc() && (f.ptr - fix) <= (s.ptr - sci) + kShortRealFixedExtra)
    return std::string(fix, f.ptr);
  return std::string(sci, s.ptr);
}

}  // namespace tarn
