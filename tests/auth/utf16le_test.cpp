#include "auth/utf16le.h"

#include <gtest/gtest.h>

namespace varnholt {
namespace {

std::vector<std::uint8_t> Units(std::initializer_list<std::uint16_t> units) {
    std::vector<std::uint8_t> bytes;
    for (std::uint16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

// Each length of UTF-8, and past U+FFFF surrogate pairs; each maximal ill-formed subsequence
// becomes one replacement character.
TEST(Utf16LeBytesTest, EncodesUtf8AndReplacesWhatIsIllFormed) {
    constexpr std::uint16_t R = 0xFFFD;
    const std::pair<std::string_view, std::vector<std::uint8_t>> cases[] = {
        {"A\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF", Units({0x0041, 0x00E9, 0x20AC, 0xFFFF})},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", Units({0xD800, 0xDC00, 0xDBFF, 0xDFFF})},
        {"\x80", Units({R})},                       // stray continuation
        {"\xC0\xAF", Units({R, R})},                // overlong lead, never valid
        {"\xE0\x80\xAF", Units({R, R, R})},         // overlong three-byte form
        {"\xED\xA0\x80", Units({R, R, R})},         // an encoded surrogate
        {"\xF4\x90\x80\x80", Units({R, R, R, R})},  // past U+10FFFF
        {"\xE2\x82", Units({R})},                   // truncated at the end: one subpart
        {"\xE2\x82x", Units({R, 'x'})},             // the breaking byte starts anew
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(Utf16LeBytes(input), expected);
}

}  // namespace
}  // namespace varnholt
