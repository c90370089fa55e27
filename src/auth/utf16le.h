// Text as the bytes of its UTF-16 code units, low byte first, with no terminator or mark.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace varnholt {

// Characters outside the Basic Multilingual Plane become surrogate pairs. Input that is not
// well-formed UTF-8 never fails: each maximal ill-formed subsequence becomes one U+FFFD.
std::vector<std::uint8_t> Utf16LeBytes(std::string_view utf8);

}  // namespace varnholt
