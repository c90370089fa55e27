// Text rules every layer shares: the blanks the registry's text forms allow, names compared
// as the registry compares them, and UTF-8 against the UTF-16 that Windows keeps.
#pragma once

#include <string>
#include <string_view>

namespace varnholt {

// A space or a tab.
constexpr bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Registry names compare without regard to case. Only ASCII folds: a locale's tolower would
// fold single bytes of UTF-8 characters under a single-byte locale.
char FoldAscii(char c);
bool FoldedEquals(std::string_view a, std::string_view b);

// True when text is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// Appends the text's UTF-16 code units, low byte first, with no terminator or mark; past
// U+FFFF as surrogate pairs. A lone surrogate in its generalised three-byte form becomes its
// own unit again, so text that came from UTF-16 (a hive file's, a typed password as Windows
// holds and hashes it) goes back to the same units. Each other maximal ill-formed
// subsequence becomes one U+FFFD.
void AppendUtf16Le(std::string& bytes, std::string_view utf8);

}  // namespace varnholt
