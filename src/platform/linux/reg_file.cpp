#include "platform/linux/reg_file.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace varnholt::platform {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr std::string_view kUtf16Bom = "\xFF\xFE";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::uint32_t kStringType = 1;
constexpr std::uint32_t kBinaryType = 3;
constexpr std::uint32_t kDwordType = 4;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view SkipBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Nothing but blanks, or blanks and a comment.
bool IsEndOfStatement(std::string_view rest) {
    rest = SkipBlanks(rest);
    return rest.empty() || rest.front() == ';';
}

char FoldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Fold(std::string_view s) {
    std::string folded(s);
    for (char& c : folded)
        c = FoldAscii(c);
    return folded;
}

bool StartsWithFolded(std::string_view s, std::string_view lower_prefix) {
    return s.size() >= lower_prefix.size() &&
           Fold(s.substr(0, lower_prefix.size())) == lower_prefix;
}

std::vector<std::string_view> KeyComponents(std::string_view key) {
    std::vector<std::string_view> components;
    while (!key.empty()) {
        const std::size_t slash = key.find('\\');
        const std::string_view component = key.substr(0, slash);
        if (!component.empty())
            components.push_back(component);
        if (slash == std::string_view::npos)
            break;
        key.remove_prefix(slash + 1);
    }
    return components;
}

std::string Join(const std::vector<std::string_view>& components) {
    std::string joined;
    for (std::string_view component : components) {
        if (!joined.empty())
            joined += '\\';
        joined += component;
    }
    return joined;
}

// The form keys are compared in: no empty components, ASCII case folded.
std::string NormalizeKey(std::string_view key) {
    return Fold(Join(KeyComponents(key)));
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads up to max_digits hex digits from the front of s; nullopt when there is none.
std::optional<std::uint32_t> TakeHex(std::string_view& s, std::size_t max_digits) {
    std::uint32_t value = 0;
    std::size_t digits = 0;
    while (digits < s.size() && HexDigitValue(s[digits]) >= 0) {
        if (digits == max_digits)
            return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(HexDigitValue(s[digits]));
        ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    s.remove_prefix(digits);
    return value;
}

// A quoted name or string starting at s[0] == '"'. On success, s is left after the closing quote.
std::optional<std::string> TakeQuoted(std::string_view& s) {
    std::string text;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return text;
        }
        if (c == '\\' && i + 1 < s.size()) {
            const char escaped = s[++i];
            switch (escaped) {
                case '\\':
                    text += '\\';
                    break;
                case '"':
                    text += '"';
                    break;
                case 'n':
                    text += '\n';
                    break;
                case 'r':
                    text += '\r';
                    break;
                case '0':
                    text += '\0';
                    break;
                default:  // not an escape the format knows: kept as written
                    text += '\\';
                    text += escaped;
                    break;
            }
            continue;
        }
        text += c;
    }
    return std::nullopt;
}

std::string Quote(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '\\':
                quoted += "\\\\";
                break;
            case '"':
                quoted += "\\\"";
                break;
            case '\n':
                quoted += "\\n";
                break;  // a raw line break would end the line
            case '\r':
                quoted += "\\r";
                break;
            case '\0':
                quoted += "\\0";
                break;
            default:
                quoted += c;
                break;
        }
    }
    quoted += '"';
    return quoted;
}

std::string FormatName(std::string_view name) {
    return name.empty() ? "@" : Quote(name);
}

std::string FormatData(const HiveValue& value) {
    char buffer[32];
    switch (value.kind) {
        case HiveValue::Kind::kString:
            return Quote(value.text);
        case HiveValue::Kind::kDword:
            std::snprintf(buffer, sizeof buffer, "dword:%08x", static_cast<unsigned>(value.dword));
            return buffer;
        case HiveValue::Kind::kHex:
            break;
    }
    std::string data = "hex:";
    if (value.hex_type != kBinaryType) {
        std::snprintf(buffer, sizeof buffer, "hex(%x):", static_cast<unsigned>(value.hex_type));
        data = buffer;
    }
    for (std::size_t i = 0; i < value.bytes.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, i == 0 ? "%02x" : ",%02x", value.bytes[i]);
        data += buffer;
    }
    return data;
}

// One line's share of a hex list: bytes separated by commas, a trailing backslash when the
// list goes on. Returns whether it goes on.
bool TakeHexBytes(std::string_view s, std::vector<std::uint8_t>& bytes, std::size_t line_number) {
    for (;;) {
        s = SkipBlanks(s);
        if (s.empty() || s.front() == ';')
            return false;
        if (s.front() == '\\') {
            if (!IsEndOfStatement(s.substr(1))) {
                throw RegFileError(line_number, "text follows the line-continuation backslash");
            }
            return true;
        }
        const std::optional<std::uint32_t> byte = TakeHex(s, 2);
        if (!byte)
            throw RegFileError(line_number, "a hex list holds something other than hex bytes");
        bytes.push_back(static_cast<std::uint8_t>(*byte));
        s = SkipBlanks(s);
        if (!s.empty() && s.front() == ',') {
            s.remove_prefix(1);
        } else if (!s.empty() && s.front() != ';' && s.front() != '\\') {
            throw RegFileError(line_number, "hex bytes must be separated by commas");
        }
    }
}

void AppendUtf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

// Decodes one UTF-8 sequence at s[i]. With allow_surrogates, the three-byte form of a lone
// UTF-16 surrogate counts as well (that is how lone surrogates of a UTF-16 file are held).
std::optional<std::uint32_t> NextCodePoint(std::string_view s, std::size_t& i,
                                           bool allow_surrogates) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t code_point = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, code_point = lead & 0x1Fu, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code_point = lead & 0x0Fu, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code_point = lead & 0x07u, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (i + length > s.size())
        return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return std::nullopt;
        code_point = (code_point << 6) | (byte(i + k) & 0x3Fu);
    }
    const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    if (code_point < minimum || code_point > 0x10FFFF || (surrogate && !allow_surrogates)) {
        return std::nullopt;
    }
    i += length;
    return code_point;
}

std::string DecodeUtf16Le(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() / 2);
    const auto unit = [&](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                          (static_cast<unsigned char>(bytes[2 * k + 1]) << 8));
    };
    const std::size_t units = bytes.size() / 2;
    for (std::size_t k = 0; k < units; ++k) {
        const std::uint32_t high = unit(k);
        if (high >= 0xD800 && high <= 0xDBFF && k + 1 < units) {
            const std::uint32_t low = unit(k + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(text, 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
                ++k;
                continue;
            }
        }
        AppendUtf8(text, high);
    }
    return text;
}

std::string EncodeUtf16Le(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    const auto put = [&](std::uint32_t unit) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    };
    for (std::size_t i = 0; i < text.size();) {
        // A byte that does not decode becomes U+FFFD and is passed, so the loop always ends.
        const std::optional<std::uint32_t> decoded = NextCodePoint(text, i, true);
        if (!decoded)
            ++i;
        const std::uint32_t code_point = decoded.value_or(0xFFFD);
        if (code_point >= 0x10000) {
            put(0xD800 + ((code_point - 0x10000) >> 10));
            put(0xDC00 + ((code_point - 0x10000) & 0x3FF));
        } else {
            put(code_point);
        }
    }
    return bytes;
}

std::size_t CountLines(std::string_view text) {
    std::size_t lines = 1;
    for (const char c : text)
        lines += c == '\n';
    return lines;
}

}  // namespace

HiveValue HiveValue::String(std::string text) {
    HiveValue value;
    value.kind = Kind::kString;
    value.text = std::move(text);
    return value;
}

HiveValue HiveValue::Dword(std::uint32_t dword) {
    HiveValue value;
    value.kind = Kind::kDword;
    value.dword = dword;
    return value;
}

HiveValue HiveValue::Hex(std::uint32_t type, std::vector<std::uint8_t> bytes) {
    HiveValue value;
    value.kind = Kind::kHex;
    value.hex_type = type;
    value.bytes = std::move(bytes);
    return value;
}

std::optional<std::uint32_t> HiveValue::AsDword() const {
    if (kind == Kind::kDword)
        return dword;
    if (kind != Kind::kHex || hex_type != kDwordType || bytes.size() != 4)
        return std::nullopt;
    return static_cast<std::uint32_t>(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16)) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::optional<std::string> HiveValue::AsString() const {
    if (kind == Kind::kString)
        return text;
    if (kind != Kind::kHex || hex_type != kStringType || bytes.size() % 2 != 0)
        return std::nullopt;
    std::string decoded =
        DecodeUtf16Le({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    decoded.resize(std::min(decoded.size(), decoded.find('\0')));  // up to the terminating null
    return decoded;
}

RegFileError::RegFileError(std::size_t line, const std::string& reason)
    : std::runtime_error(reason), line_(line) {}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (!NextCodePoint(text, i, false))
            return false;
    }
    return true;
}

RegFile RegFile::New() {
    RegFile file;
    file.encoding_ = Encoding::kUtf16Le;
    file.lines_.push_back(Line{std::string(kHeader), "\r\n"});
    file.Index();
    return file;
}

RegFile RegFile::Parse(std::string_view bytes) {
    RegFile file;
    std::string text;
    if (bytes.starts_with(kUtf16Bom)) {
        file.encoding_ = Encoding::kUtf16Le;
        bytes.remove_prefix(kUtf16Bom.size());
        text = DecodeUtf16Le(bytes);
        if (bytes.size() % 2 != 0) {
            throw RegFileError(CountLines(text), "the UTF-16 text ends in half a character");
        }
    } else {
        file.encoding_ = Encoding::kUtf8;
        if (bytes.starts_with(kUtf8Bom)) {
            file.utf8_bom_ = kUtf8Bom;
            bytes.remove_prefix(kUtf8Bom.size());
        }
        text = bytes;
    }
    if (text.find_first_not_of(" \t\r\n") == std::string::npos)
        return New();  // nothing to keep

    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find_first_of("\r\n");
        Line line{std::string(rest.substr(0, end)), ""};
        if (end != std::string_view::npos) {
            const std::size_t length = rest.substr(end).starts_with("\r\n") ? 2 : 1;
            line.end = length == 2 ? "\r\n" : rest[end] == '\r' ? "\r" : "\n";
            rest.remove_prefix(end + length);
        } else {
            rest = {};
        }
        file.lines_.push_back(std::move(line));
    }
    file.Index();
    return file;
}

void RegFile::Index() {
    keys_.clear();
    bool header_seen = false;
    bool key_seen = false;
    KeyState* current = nullptr;  // null after a deleted key: its values change nothing
    for (std::size_t i = 0; i < lines_.size();) {
        const std::size_t line_number = i + 1;
        const std::string_view raw = lines_[i].text;
        const std::string_view s = SkipBlanks(raw);
        if (!header_seen) {
            if (!s.empty()) {
                const std::string_view header = TrimRight(s);
                if (header != kHeader && header != kOldHeader) {
                    throw RegFileError(line_number, "the file does not begin with \"" +
                                                        std::string(kHeader) + "\"");
                }
                header_seen = true;
            }
            ++i;
            continue;
        }
        if (s.empty() || s.front() == ';' || s.front() == '#') {
            ++i;
            continue;
        }

        if (s.front() == '[') {
            const std::size_t close = s.rfind(']');
            if (close == std::string_view::npos) {
                throw RegFileError(line_number, "a key name lacks its closing \"]\"");
            }
            std::string_view name = s.substr(1, close - 1);
            const bool deletion = name.starts_with('-');
            if (deletion)
                name.remove_prefix(1);
            const std::string normalized = NormalizeKey(name);
            if (normalized.empty())
                throw RegFileError(line_number, "a key has no name");
            if (deletion) {
                // The key, then its subkeys: they sort from "key" + backslash up to "key]",
                // ']' being the next character. Erasing a range keeps many deletions cheap.
                keys_.erase(normalized);
                keys_.erase(keys_.lower_bound(normalized + '\\'),
                            keys_.lower_bound(normalized + ']'));
                current = nullptr;
            } else {
                KeyState& key = keys_[normalized];
                if (key.spelling.empty())
                    key.spelling = name;
                key.last_line = i;
                current = &key;
            }
            key_seen = true;
            ++i;
            continue;
        }

        if (s.front() != '"' && s.front() != '@') {
            throw RegFileError(line_number, "the line is neither a key, a value nor a comment");
        }
        if (!key_seen)
            throw RegFileError(line_number, "a value comes before any key");
        std::string_view rest = s;
        std::string name;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            std::optional<std::string> quoted = TakeQuoted(rest);
            if (!quoted)
                throw RegFileError(line_number, "a value name lacks its closing quote");
            name = std::move(*quoted);
        }
        rest = SkipBlanks(rest);
        if (!rest.starts_with('='))
            throw RegFileError(line_number, "a value name is not followed by \"=\"");
        rest = SkipBlanks(rest.substr(1));

        ValueSite site;
        site.first_line = i;
        site.line_count = 1;
        site.data_offset = raw.size() - rest.size();
        bool deleted = false;
        if (rest.starts_with('-')) {
            deleted = true;
            rest.remove_prefix(1);
        } else if (rest.starts_with('"')) {
            std::optional<std::string> text = TakeQuoted(rest);
            if (!text)
                throw RegFileError(line_number, "a string value lacks its closing quote");
            site.value = HiveValue::String(std::move(*text));
        } else if (StartsWithFolded(rest, "dword:")) {
            rest.remove_prefix(6);
            const std::optional<std::uint32_t> dword = TakeHex(rest, 8);
            if (!dword)
                throw RegFileError(line_number, "a dword value needs one to eight hex digits");
            site.value = HiveValue::Dword(*dword);
        } else if (StartsWithFolded(rest, "hex")) {
            rest.remove_prefix(3);
            std::uint32_t type = kBinaryType;
            if (rest.starts_with('(')) {
                rest.remove_prefix(1);
                const std::optional<std::uint32_t> number = TakeHex(rest, 8);
                if (!number || !rest.starts_with(')')) {
                    throw RegFileError(line_number,
                                       "a hex value type needs a hex number in brackets");
                }
                type = *number;
                rest.remove_prefix(1);
            }
            if (!rest.starts_with(':'))
                throw RegFileError(line_number, "a hex value lacks its \":\"");
            std::vector<std::uint8_t> bytes;
            bool goes_on = TakeHexBytes(rest.substr(1), bytes, line_number);
            while (goes_on && site.first_line + site.line_count < lines_.size()) {
                const std::size_t next = site.first_line + site.line_count;
                const std::string_view more = SkipBlanks(lines_[next].text);
                ++site.line_count;
                if (more.empty() || more.front() == ';')
                    continue;
                goes_on = TakeHexBytes(more, bytes, next + 1);
            }
            site.value = HiveValue::Hex(type, std::move(bytes));
            rest = {};
        } else {
            throw RegFileError(line_number, "a value has a type this format does not know");
        }
        if (!IsEndOfStatement(rest))
            throw RegFileError(line_number, "text follows a value");

        const std::size_t line_count = site.line_count;
        if (current != nullptr) {
            const std::string folded = Fold(name);
            if (deleted) {
                current->values.erase(folded);
            } else {
                current->values[folded] = std::move(site);
            }
            current->last_line = i + line_count - 1;
        }
        i += line_count;
    }
    if (!header_seen) {
        throw RegFileError(lines_.size(),
                           "the file does not begin with \"" + std::string(kHeader) + "\"");
    }
}

std::optional<HiveValue> RegFile::Find(std::string_view key, std::string_view value_name) const {
    const auto key_entry = keys_.find(NormalizeKey(key));
    if (key_entry == keys_.end())
        return std::nullopt;
    const auto value_entry = key_entry->second.values.find(Fold(value_name));
    if (value_entry == key_entry->second.values.end())
        return std::nullopt;
    return value_entry->second.value;
}

std::string RegFile::NewLineEnd() const {
    for (const Line& line : lines_) {
        if (!line.end.empty())
            return line.end;
    }
    return "\r\n";
}

// A new key takes the spelling of the ancestors the file already has, as the registry keeps
// the case a key was first written in.
std::string RegFile::SpellNewKey(std::string_view key) const {
    std::vector<std::string_view> components = KeyComponents(key);
    std::vector<std::string_view> best;
    for (const auto& entry : keys_) {
        const std::vector<std::string_view> known = KeyComponents(entry.second.spelling);
        std::size_t shared = 0;
        while (shared < known.size() && shared < components.size() &&
               Fold(known[shared]) == Fold(components[shared])) {
            ++shared;
        }
        if (shared > best.size())
            best.assign(known.begin(), known.begin() + shared);
    }
    std::copy(best.begin(), best.end(), components.begin());
    return Join(components);
}

void RegFile::Set(std::string_view key, std::string_view value_name, const HiveValue& value) {
    const std::string line_end = NewLineEnd();
    const std::string data = FormatData(value);
    const auto key_entry = keys_.find(NormalizeKey(key));
    if (key_entry != keys_.end()) {
        KeyState& state = key_entry->second;
        const auto value_entry = state.values.find(Fold(value_name));
        if (value_entry != state.values.end()) {
            // Rewrite the value in place, keeping its name as first written.
            const ValueSite& site = value_entry->second;
            const auto first = lines_.begin() + static_cast<std::ptrdiff_t>(site.first_line);
            Line line{first->text.substr(0, site.data_offset) + data,
                      (first + static_cast<std::ptrdiff_t>(site.line_count) - 1)->end};
            lines_.erase(first + 1, first + static_cast<std::ptrdiff_t>(site.line_count));
            lines_[site.first_line] = std::move(line);
        } else {
            // After the key's last value; a file that ended without a line break still does.
            Line& last = lines_[state.last_line];
            std::string end = line_end;
            if (last.end.empty())
                std::swap(last.end, end);
            lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(state.last_line) + 1,
                          Line{FormatName(value_name) + "=" + data, end});
        }
    } else {
        std::string end = line_end;
        if (lines_.back().end.empty())
            std::swap(lines_.back().end, end);
        if (!SkipBlanks(lines_.back().text).empty())
            lines_.push_back(Line{"", line_end});
        lines_.push_back(Line{"[" + SpellNewKey(key) + "]", line_end});
        lines_.push_back(Line{FormatName(value_name) + "=" + data, end});
    }
    Index();
}

std::string RegFile::Serialize() const {
    std::string text;
    for (const Line& line : lines_) {
        text += line.text;
        text += line.end;
    }
    if (encoding_ == Encoding::kUtf16Le)
        return std::string(kUtf16Bom) + EncodeUtf16Le(text);
    return utf8_bom_ + text;
}

}  // namespace varnholt::platform
