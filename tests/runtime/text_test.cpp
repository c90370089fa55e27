#include "runtime/text.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace varnholt {
namespace {

std::string Units(std::initializer_list<std::uint16_t> units) {
    std::string bytes;
    for (std::uint16_t unit : units) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

// Each length of UTF-8, and past U+FFFF surrogate pairs; a lone surrogate back to its unit;
// each other maximal ill-formed subsequence becomes one replacement character. Only
// well-formed text is valid.
TEST(TextTest, EncodesUtf8AsUtf16AndReplacesWhatIsIllFormed) {
    constexpr std::uint16_t R = 0xFFFD;
    const std::tuple<std::string_view, std::string, bool> cases[] = {
        {"A\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF", Units({0x0041, 0x00E9, 0x20AC, 0xFFFF}), true},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", Units({0xD800, 0xDC00, 0xDBFF, 0xDFFF}), true},
        {"\xED\xA0\x80\xED\xBF\xBF", Units({0xD800, 0xDFFF}), false},  // lone surrogates
        {"\x80", Units({R}), false},                                   // stray continuation
        {"\xC0\xAF", Units({R, R}), false},                            // overlong lead, never valid
        {"\xE0\x80\xAF", Units({R, R, R}), false},                     // overlong three-byte form
        {"\xF4\x90\x80\x80", Units({R, R, R, R}), false},              // past U+10FFFF
        {"\xE2\x82", Units({R}), false},        // truncated at the end: one subpart
        {"\xE2\x82x", Units({R, 'x'}), false},  // the breaking byte starts anew
    };
    for (const auto& [input, expected, valid] : cases) {
        std::string bytes = "\x01";  // appended to, not replaced
        AppendUtf16Le(bytes, input);
        EXPECT_EQ(bytes, "\x01" + expected) << input;
        EXPECT_EQ(IsValidUtf8(input), valid) << input;
    }
}

}  // namespace
}  // namespace varnholt
