// Numbers read from configuration and map texts.
//
// Both rules take the longest leading part of the text that forms a number
// and ignore the rest, so "12px" is 12 and "abc" is 0. They are the same in
// every locale: "." is the only decimal point, so "0,999" reads as 0 even
// under a German LC_NUMERIC. Hexadecimal, "inf" and "nan" are not numbers
// here.
#pragma once

#include <cstdint>
#include <string_view>

namespace speckmend {

// Leading white space, an optional sign, then decimal digits up to the first
// other character; no digits give 0. Values beyond the 32-bit range
// saturate at its ends.
std::int32_t leadingInt(std::string_view text);

// Leading white space, an optional sign, digits with an optional fraction
// after ".", an optional exponent ("e" or "E", optional sign, digits); no
// number gives 0. Values beyond the double range saturate at the largest
// finite magnitude, so a value read never is infinite.
double leadingReal(std::string_view text);

}  // namespace speckmend
