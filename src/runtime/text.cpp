#include "runtime/text.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

namespace varnholt {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one character at `at` and passes it; when the bytes there are ill-formed, passes
// the maximal ill-formed subsequence and gives nothing. The allowed range of the second byte
// depends on the first, which rules out overlong forms, values past U+10FFFF and, unless
// allowed, surrogates.
std::optional<char32_t> DecodeOne(std::string_view text, std::size_t& at, bool surrogates) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at++);
    if (lead < 0x80) {
        return lead;
    }
    int continuations;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuations = 3;
    } else {
        return std::nullopt;
    }
    char32_t value = lead & (0x7F >> (continuations + 1));
    // Bounds of the second byte.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED && !surrogates ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (int i = 0; i < continuations; ++i) {
        if (at >= text.size() || byte(at) < low || byte(at) > high) {
            return std::nullopt;  // the offending byte starts the next character
        }
        value = (value << 6) | (byte(at++) & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return value;
}

void AppendUnit(std::string& bytes, char32_t unit) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
}

// Widens count ASCII bytes to UTF-16LE units at out, a word at a time where the byte order
// allows.
void WidenAscii(char* out, const char* ascii, std::size_t count) {
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 4 <= count; i += 4) {
            std::uint32_t four;
            std::memcpy(&four, ascii + i, sizeof four);  // abcd
            std::uint64_t word = (four | (std::uint64_t{four} << 16)) & 0x0000FFFF0000FFFF;
            word = (word | (word << 8)) & 0x00FF00FF00FF00FF;  // a.b.c.d.
            std::memcpy(out + 2 * i, &word, sizeof word);
        }
    }
    for (; i < count; ++i) {
        out[2 * i] = ascii[i];
        out[2 * i + 1] = '\0';
    }
}

}  // namespace

char FoldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool FoldedEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return FoldAscii(x) == FoldAscii(y);
           });
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        if (!DecodeOne(text, at, false)) {
            return false;
        }
    }
    return true;
}

void AppendUtf16Le(std::string& bytes, std::string_view utf8) {
    for (std::size_t at = 0; at < utf8.size();) {
        // A run of ASCII, the bulk of any hive, goes in one step.
        std::size_t run = at;
        for (std::uint64_t word = 0; run + 8 <= utf8.size(); run += 8) {
            std::memcpy(&word, utf8.data() + run, sizeof word);
            if ((word & 0x8080808080808080) != 0) {
                break;
            }
        }
        while (run < utf8.size() && static_cast<unsigned char>(utf8[run]) < 0x80) {
            ++run;
        }
        const std::size_t start = bytes.size();
        bytes.resize(start + 2 * (run - at));
        WidenAscii(bytes.data() + start, utf8.data() + at, run - at);
        if ((at = run) == utf8.size()) {
            break;
        }
        const char32_t code_point = DecodeOne(utf8, at, true).value_or(kReplacement);
        if (code_point < 0x10000) {
            AppendUnit(bytes, code_point);
        } else {
            AppendUnit(bytes, 0xD800 + ((code_point - 0x10000) >> 10));
            AppendUnit(bytes, 0xDC00 + ((code_point - 0x10000) & 0x3FF));
        }
    }
}

}  // namespace varnholt
