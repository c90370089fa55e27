#include "runtime/text.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace varnholt {
namespace {

// Each length of UTF-8, and past U+FFFF surrogate pairs; a lone surrogate back to its unit;
// each other maximal ill-formed subsequence becomes one U+FFFD. Only well-formed text is valid.
TEST(TextTest, EncodesUtf8AsUtf16AndReplacesWhatIsIllFormed) {
    const std::tuple<std::string_view, std::u16string_view, bool> cases[] = {
        {"A\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF", u"A\u00E9\u20AC\uFFFF", true},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\U00010000\U0010FFFF", true},
        {"\xED\xA0\x80\xED\xBF\xBF", u"\xD800\xDFFF", false},      // lone surrogates
        {"\x80", u"\uFFFD", false},                                // stray continuation
        {"\xC0\xAF", u"\uFFFD\uFFFD", false},                      // overlong lead, never valid
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD", false},            // overlong three-byte form
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},  // past U+10FFFF
        {"\xE2\x82", u"\uFFFD", false},    // truncated at the end: one subpart
        {"\xE2\x82x", u"\uFFFDx", false},  // the breaking byte starts anew
    };
    for (const auto& [input, units, valid] : cases) {
        std::string bytes = "\x01";  // appended to, not replaced
        AppendUtf16Le(bytes, input);
        EXPECT_EQ(bytes, "\x01" + std::string(reinterpret_cast<const char*>(units.data()),
                                              2 * units.size()))
            << input;
        EXPECT_EQ(IsValidUtf8(input), valid) << input;
    }
}

}  // namespace
}  // namespace varnholt
