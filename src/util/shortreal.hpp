#pragma once
// The shortest text of a real that reads back to the same double: fixed
// notation without trailing zeros ("5.4307", "90", "-0.25", "-0"), scientific
// where the fixed form would be more than 5 characters longer ("1e-12",
// "1e+20"). Non-finite values give "nan"/"inf", which the readers reject.
#include <string>

namespace tarn {

std::string FormatShortReal(double x);

}  // namespace tarn
