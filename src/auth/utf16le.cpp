#include "auth/utf16le.h"

namespace varnholt {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUnit(std::vector<std::uint8_t>& out, char32_t unit) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
}

void AppendCodePoint(std::vector<std::uint8_t>& out, char32_t code_point) {
    if (code_point < 0x10000) {
        AppendUnit(out, code_point);
        return;
    }
    code_point -= 0x10000;
    AppendUnit(out, 0xD800 + (code_point >> 10));
    AppendUnit(out, 0xDC00 + (code_point & 0x3FF));
}

// Decodes one character at `at`, advancing past it. The allowed range of the second byte
// depends on the first, which rules out overlong forms, surrogates and values past U+10FFFF.
char32_t DecodeOne(std::string_view text, std::size_t& at) {
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
        return kReplacement;
    }
    char32_t value = lead & (0x7F >> (continuations + 1));
    // Bounds of the second byte.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (int i = 0; i < continuations; ++i) {
        if (at >= text.size() || byte(at) < low || byte(at) > high) {
            return kReplacement;  // the offending byte starts the next character
        }
        value = (value << 6) | (byte(at++) & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return value;
}

}  // namespace

std::vector<std::uint8_t> Utf16LeBytes(std::string_view utf8) {
    std::vector<std::uint8_t> out;
    out.reserve(2 * utf8.size());
    for (std::size_t at = 0; at < utf8.size();) {
        AppendCodePoint(out, DecodeOne(utf8, at));
    }
    return out;
}

}  // namespace varnholt
