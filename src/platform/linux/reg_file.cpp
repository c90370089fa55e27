#include "platform/linux/reg_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "runtime/text.h"

namespace varnholt::platform {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr std::string_view kUtf16Bom = "\xFF\xFE";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::uint32_t kStringType = 1;
constexpr std::uint32_t kBinaryType = 3;
constexpr std::uint32_t kDwordType = 4;

// Tests and copies a word of text at a time where the machine's byte order allows.
constexpr bool kWordAtATime = std::endian::native == std::endian::little;
constexpr std::uint64_t kEveryByte = 0x0101010101010101;

std::uint64_t LoadWord(const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// Where the first of the characters a and b at or after i is; the text's size when there is
// none.
std::size_t FindEither(std::string_view text, std::size_t i, char a, char b) {
    if constexpr (kWordAtATime) {
        for (; i + 8 <= text.size(); i += 8) {
            const std::uint64_t word = LoadWord(text.data() + i);
            const std::uint64_t is_a = word ^ (kEveryByte * static_cast<unsigned char>(a));
            const std::uint64_t is_b = word ^ (kEveryByte * static_cast<unsigned char>(b));
            // The high bit of each byte that became zero; a borrow can only mark bytes after one.
            const std::uint64_t zero =
                (((is_a - kEveryByte) & ~is_a) | ((is_b - kEveryByte) & ~is_b)) & (kEveryByte << 7);
            if (zero != 0)
                return i + static_cast<std::size_t>(std::countr_zero(zero)) / 8;
        }
    }
    while (i < text.size() && text[i] != a && text[i] != b)
        ++i;
    return i;
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

std::string Fold(std::string_view s) {
    std::string folded(s);
    for (char& c : folded)
        c = FoldAscii(c);
    return folded;
}

bool StartsWithFolded(std::string_view s, std::string_view lower_prefix) {
    return s.size() >= lower_prefix.size() &&
           std::equal(lower_prefix.begin(), lower_prefix.end(), s.begin(), [](char lower, char c) {
               return c == lower || (lower >= 'a' && lower <= 'z' && c == lower - 'a' + 'A');
           });
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

// Whether a key as written normalizes to normalized, with no copy made: a hive may hold a key
// for every few values.
bool IsKey(std::string_view written, std::string_view normalized) {
    for (std::size_t at = 0;;) {
        const std::size_t slash = std::min(written.find('\\', at), written.size());
        const std::string_view component = written.substr(at, slash - at);
        if (!component.empty()) {
            if (!FoldedEquals(component, normalized.substr(0, component.size())))
                return false;
            normalized.remove_prefix(component.size());
            if (!normalized.empty() && !normalized.starts_with('\\'))
                return false;
            normalized.remove_prefix(normalized.empty() ? 0 : 1);
        }
        if (slash == written.size())
            return normalized.empty();
        at = slash + 1;
    }
}

// Each character's value as a hex digit, -1 for any other.
constexpr auto kHexDigits = [] {
    std::array<std::int8_t, 256> digits{};
    for (int c = 0; c < 256; ++c) {
        digits[static_cast<std::size_t>(c)] =
            static_cast<std::int8_t>(c >= '0' && c <= '9'   ? c - '0'
                                     : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                     : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                            : -1);
    }
    return digits;
}();

int HexDigitValue(char c) {
    return kHexDigits[static_cast<unsigned char>(c)];
}

// Reads up to max_digits hex digits from the front of s; nullopt when there is none.
std::optional<std::uint32_t> TakeHex(std::string_view& s, std::size_t max_digits) {
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (int digit; digits < s.size() && (digit = HexDigitValue(s[digits])) >= 0; ++digits) {
        if (digits == max_digits)
            return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    if (digits == 0)
        return std::nullopt;
    s.remove_prefix(digits);
    return value;
}

// A quoted name or string starting at s[0] == '"', as written, escapes and all. On success, s
// is left after the closing quote. Only what is asked for is unescaped, by Unescape.
std::optional<std::string_view> TakeQuoted(std::string_view& s) {
    for (std::size_t i = FindEither(s, 1, '"', '\\'); i < s.size();
         i = FindEither(s, i + 2, '"', '\\')) {
        if (s[i] == '"') {
            const std::string_view raw = s.substr(1, i - 1);
            s.remove_prefix(i + 1);
            return raw;
        }
        // A backslash: whatever follows is escaped, a quote too.
    }
    return std::nullopt;
}

std::string Unescape(std::string_view raw) {
    std::string text;
    text.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        // Plain characters up to the next backslash go in as one run.
        const std::size_t run = std::min(raw.find('\\', i), raw.size());
        text.append(raw.substr(i, run - i));
        if ((i = run) + 1 >= raw.size()) {
            text.append(raw.substr(i));
            break;
        }
        const char escaped = raw[++i];
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
    }
    return text;
}

// Whether a name as written is wanted; most names have no escape to undo.
bool NameEquals(std::string_view raw, std::string_view wanted) {
    return raw.find('\\') == std::string_view::npos ? FoldedEquals(raw, wanted)
                                                    : FoldedEquals(Unescape(raw), wanted);
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
// list goes on. Returns whether it goes on. Without bytes, the list is only checked.
bool TakeHexBytes(std::string_view s, std::vector<std::uint8_t>* bytes, std::size_t line_number) {
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
        if (bytes != nullptr)
            bytes->push_back(static_cast<std::uint8_t>(*byte));
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

std::uint32_t UnitAt(std::string_view bytes, std::size_t k) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                      (static_cast<unsigned char>(bytes[2 * k + 1]) << 8));
}

// The units from k on that are ASCII, up to the first that is not.
std::size_t AsciiUnitsEnd(std::string_view bytes, std::size_t k, std::size_t units) {
    if constexpr (kWordAtATime) {
        while (k + 4 <= units && (LoadWord(bytes.data() + 2 * k) & 0xFF80FF80FF80FF80) == 0)
            k += 4;
    }
    while (k < units && UnitAt(bytes, k) < 0x80)
        ++k;
    return k;
}

// Copies the low bytes of count ASCII units to out.
void NarrowAscii(char* out, const char* units, std::size_t count) {
    std::size_t i = 0;
    if constexpr (kWordAtATime) {
        for (; i + 4 <= count; i += 4) {
            std::uint64_t word = LoadWord(units + 2 * i);  // a.b.c.d.
            word = (word | (word >> 8)) & 0x0000FFFF0000FFFF;
            const auto four = static_cast<std::uint32_t>(word | (word >> 16));  // abcd
            std::memcpy(out + i, &four, sizeof four);
        }
    }
    for (; i < count; ++i)
        out[i] = units[2 * i];
}

// Decodes whole UTF-16LE units onto text; returns how many bytes it took. Unless at_end, a
// high surrogate in the last unit waits for the next piece, which may hold its partner.
std::size_t DecodeUtf16LeOnto(std::string& text, std::string_view bytes, bool at_end) {
    const std::size_t units = bytes.size() / 2;
    std::size_t k = 0;
    for (; k < units; ++k) {
        // A run of ASCII, the bulk of any hive, goes in one step.
        const std::size_t run = AsciiUnitsEnd(bytes, k, units);
        const std::size_t start = text.size();
        text.resize(start + run - k);
        NarrowAscii(text.data() + start, bytes.data() + 2 * k, run - k);
        if ((k = run) == units)
            break;
        const std::uint32_t high = UnitAt(bytes, k);
        if (high >= 0xD800 && high <= 0xDBFF) {
            if (k + 1 == units && !at_end)
                break;
            if (k + 1 < units) {
                const std::uint32_t low = UnitAt(bytes, k + 1);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    AppendUtf8(text, 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
                    ++k;
                    continue;
                }
            }
        }
        AppendUtf8(text, high);
    }
    return 2 * k;
}

std::string DecodeUtf16Le(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() / 2);
    DecodeUtf16LeOnto(text, bytes, true);
    return text;
}

// As the scanner counts them: CR LF, CR and LF each end a line.
std::size_t CountLines(std::string_view text) {
    std::size_t lines = 1;
    for (std::size_t at = FindEither(text, 0, '\n', '\r'); at < text.size();
         at = FindEither(text, at, '\n', '\r')) {
        at += text.compare(at, 2, "\r\n") == 0 ? 2 : 1;
        ++lines;
    }
    return lines;
}

// One line of the text: its characters are [begin, end), the next line starts at next.
struct LineSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t next = 0;
};

LineSpan LineAt(std::string_view text, std::size_t begin) {
    LineSpan line{begin, FindEither(text, begin, '\n', '\r'), 0};
    line.next = line.end;
    if (line.next < text.size())
        line.next +=
            text[line.next] == '\r' && line.next + 1 < text.size() && text[line.next + 1] == '\n'
                ? 2
                : 1;
    return line;
}

bool IsHeader(std::string_view line) {
    const std::string_view header = TrimRight(SkipBlanks(line));
    return header == kHeader || header == kOldHeader;
}

[[noreturn]] void ThrowNoHeader(std::size_t line_number) {
    throw RegFileError(line_number,
                       "the file does not begin with \"" + std::string(kHeader) + "\"");
}

// Whether the start of a file shows its header line whole. Throws as soon as what is there
// can no longer become one, so that no more of a file that is no hive need be read.
bool HeaderComplete(std::string_view text) {
    std::size_t line_number = 1;
    for (std::size_t begin = 0; begin < text.size(); ++line_number) {
        const LineSpan line = LineAt(text, begin);
        const std::string_view s = SkipBlanks(text.substr(line.begin, line.end - line.begin));
        if (!s.empty()) {
            if (line.end < text.size()) {
                if (!IsHeader(s))
                    ThrowNoHeader(line_number);
                return true;
            }
            // An unfinished line: still a header's beginning, or a header and blanks.
            for (const std::string_view header : {kHeader, kOldHeader}) {
                if (header.starts_with(s) ||
                    (s.starts_with(header) && SkipBlanks(s.substr(header.size())).empty()))
                    return false;
            }
            ThrowNoHeader(line_number);
        }
        begin = line.next;
    }
    return false;
}

// One statement of a hive: a key line, or a value with all the lines its data spans. Only its
// place is kept: a value's data is made on request, for the one value asked for.
struct Statement {
    enum class Kind { kKey, kKeyDeletion, kValue, kValueDeletion };
    Kind kind = Kind::kKey;
    LineSpan first;               // its first line
    std::size_t line_number = 0;  // and that line's number
    std::size_t data_begin = 0;   // values: where the data starts
    std::size_t end = 0;          // the end of its last line's characters
    std::size_t next = 0;         // where the line after it begins
    std::string_view key;         // keys: the name as written, without the "-" of a deletion
    std::string_view name;        // values: the name as written, escapes and all; empty for "@"
};

// Reads a hive's text statement by statement, throwing RegFileError where it is damaged. The
// text may come in pieces: until told the last has come, a statement whose end is not yet
// there waits for the next piece, which Reseat gives.
class Scanner {
  public:
    explicit Scanner(std::string_view text, bool final = true) : text_(text), final_(final) {}

    // The text once more of it has come, the first Drop() characters gone from its front.
    void Reseat(std::string_view text, bool final) {
        text_ = text;
        final_ = final;
    }
    // How much of the front of the text has been read and is no longer needed.
    std::size_t Drop() { return std::exchange(pos_, 0); }
    std::size_t position() const noexcept { return pos_; }
    bool header_seen() const noexcept { return header_seen_; }
    std::size_t line_number() const noexcept { return line_number_; }

    // False at the end of the text, or of what has come of it.
    bool Next(Statement& statement);
    // The data of a value statement this scanner has just read.
    HiveValue ValueOf(const Statement& statement) const;

  private:
    std::string_view Characters(const LineSpan& line) const {
        return text_.substr(line.begin, line.end - line.begin);
    }
    // Whether the line's end has come (a last line ends with the text).
    bool Whole(const LineSpan& line) const { return final_ || line.end < text_.size(); }
    // Checks a value's data and, given out, makes it; false when its end has not come.
    bool ReadValue(std::string_view s, Statement& statement, HiveValue* out);

    std::string_view text_;
    bool final_;
    std::size_t pos_ = 0;
    std::size_t line_number_ = 1;  // of the line at pos_
    bool header_seen_ = false;
    bool key_seen_ = false;
};

bool Scanner::Next(Statement& statement) {
    while (pos_ < text_.size()) {
        const LineSpan line = LineAt(text_, pos_);
        if (!Whole(line))
            return false;
        const std::size_t line_number = line_number_;
        const std::string_view s = SkipBlanks(Characters(line));
        pos_ = line.next;
        ++line_number_;
        if (!header_seen_ && !s.empty()) {
            if (!IsHeader(s))
                ThrowNoHeader(line_number);
            header_seen_ = true;
            continue;
        }
        if (s.empty() || s.front() == ';' || s.front() == '#')
            continue;
        statement.first = line;
        statement.line_number = line_number;
        statement.end = line.end;
        statement.next = line.next;
        if (s.front() == '[') {
            const std::size_t close = s.rfind(']');
            if (close == std::string_view::npos)
                throw RegFileError(line_number, "a key name lacks its closing \"]\"");
            std::string_view name = s.substr(1, close - 1);
            const bool deletion = name.starts_with('-');
            if (deletion)
                name.remove_prefix(1);
            if (name.find_first_not_of('\\') == std::string_view::npos)
                throw RegFileError(line_number, "a key has no name");
            statement.kind = deletion ? Statement::Kind::kKeyDeletion : Statement::Kind::kKey;
            statement.key = name;
            key_seen_ = true;
            return true;
        }
        if (s.front() != '"' && s.front() != '@')
            throw RegFileError(line_number, "the line is neither a key, a value nor a comment");
        if (!key_seen_)
            throw RegFileError(line_number, "a value comes before any key");
        if (ReadValue(s, statement, nullptr))
            return true;
        pos_ = line.begin;  // read again once the rest has come
        line_number_ = line_number;
        return false;
    }
    return false;
}

HiveValue Scanner::ValueOf(const Statement& statement) const {
    Scanner again = *this;
    again.pos_ = statement.first.next;
    again.line_number_ = statement.line_number + 1;
    Statement same = statement;
    HiveValue value;
    again.ReadValue(SkipBlanks(Characters(statement.first)), same, &value);
    return value;
}

bool Scanner::ReadValue(std::string_view s, Statement& statement, HiveValue* out) {
    const std::size_t line_number = statement.line_number;
    std::string_view rest = s;
    statement.name = {};
    if (rest.front() == '@') {
        rest.remove_prefix(1);
    } else {
        const std::optional<std::string_view> quoted = TakeQuoted(rest);
        if (!quoted)
            throw RegFileError(line_number, "a value name lacks its closing quote");
        statement.name = *quoted;
    }
    rest = SkipBlanks(rest);
    if (!rest.starts_with('='))
        throw RegFileError(line_number, "a value name is not followed by \"=\"");
    rest = SkipBlanks(rest.substr(1));
    statement.data_begin = statement.first.end - rest.size();
    statement.kind = Statement::Kind::kValue;
    if (rest.starts_with('-')) {
        statement.kind = Statement::Kind::kValueDeletion;
        rest.remove_prefix(1);
    } else if (rest.starts_with('"')) {
        const std::optional<std::string_view> text = TakeQuoted(rest);
        if (!text)
            throw RegFileError(line_number, "a string value lacks its closing quote");
        if (out != nullptr)
            *out = HiveValue::String(Unescape(*text));
    } else if (StartsWithFolded(rest, "dword:")) {
        rest.remove_prefix(6);
        const std::optional<std::uint32_t> dword = TakeHex(rest, 8);
        if (!dword)
            throw RegFileError(line_number, "a dword value needs one to eight hex digits");
        if (out != nullptr)
            *out = HiveValue::Dword(*dword);
    } else if (StartsWithFolded(rest, "hex")) {
        rest.remove_prefix(3);
        std::uint32_t type = kBinaryType;
        if (rest.starts_with('(')) {
            rest.remove_prefix(1);
            const std::optional<std::uint32_t> number = TakeHex(rest, 8);
            if (!number || !rest.starts_with(')'))
                throw RegFileError(line_number, "a hex value type needs a hex number in brackets");
            type = *number;
            rest.remove_prefix(1);
        }
        if (!rest.starts_with(':'))
            throw RegFileError(line_number, "a hex value lacks its \":\"");
        std::vector<std::uint8_t> bytes;
        std::vector<std::uint8_t>* const sink = out != nullptr ? &bytes : nullptr;
        bool goes_on = TakeHexBytes(rest.substr(1), sink, line_number);
        std::size_t continued_line = line_number;
        while (goes_on && pos_ < text_.size()) {
            const LineSpan more = LineAt(text_, pos_);
            if (!Whole(more))
                return false;
            const std::string_view m = SkipBlanks(Characters(more));
            pos_ = more.next;
            statement.end = more.end;
            statement.next = more.next;
            if (!m.empty() && m.front() != ';') {
                continued_line = line_number_;
                goes_on = TakeHexBytes(m, sink, line_number_);
            }
            ++line_number_;
        }
        if (goes_on && !final_)
            return false;
        // Whatever a writer added after such a list would be read as more of it.
        if (goes_on)
            throw RegFileError(continued_line, "the file ends inside a continued hex list");
        if (out != nullptr)
            *out = HiveValue::Hex(type, std::move(bytes));
        rest = {};
    } else {
        throw RegFileError(line_number, "a value has a type this format does not know");
    }
    if (!IsEndOfStatement(rest))
        throw RegFileError(line_number, "text follows a value");
    return true;
}

bool Covers(std::string_view deleted_key, std::string_view key) {
    return key.starts_with(deleted_key) &&
           (key.size() == deleted_key.size() || key[deleted_key.size()] == '\\');
}

}  // namespace

// Where one value stands, from the statements of a file in order.
class RegFile::Locator {
  public:
    Locator(std::string_view key, std::string_view value_name)
        : key_(NormalizeKey(key)), value_name_(value_name) {}

    void Take(const Statement& statement, const Scanner& scanner) {
        switch (statement.kind) {
            case Statement::Kind::kKey:
                in_key_ = IsKey(statement.key, key_);
                site_.key_live = site_.key_live || in_key_;
                break;
            case Statement::Kind::kKeyDeletion:
                if (Covers(NormalizeKey(statement.key), key_)) {
                    site_.key_live = false;
                    site_.value.reset();
                }
                in_key_ = false;  // values under a deleted key change nothing
                return;
            case Statement::Kind::kValue:
            case Statement::Kind::kValueDeletion:
                if (in_key_ && NameEquals(statement.name, value_name_)) {
                    if (statement.kind == Statement::Kind::kValue) {
                        site_.value = scanner.ValueOf(statement);
                        site_.data_begin = statement.data_begin;
                        site_.data_end = statement.end;
                    } else {
                        site_.value.reset();
                    }
                }
                break;
        }
        if (in_key_) {
            site_.block_end = statement.end;
            site_.block_next = statement.next;
        }
    }
    const Site& site() const { return site_; }

  private:
    std::string key_;
    std::string_view value_name_;
    bool in_key_ = false;
    Site site_;
};

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

RegFile RegFile::New() {
    RegFile file;
    file.encoding_ = Encoding::kUtf16Le;
    file.text_ = std::string(kHeader) + "\r\n";
    return file;
}

RegFile RegFile::Parse(std::string_view bytes) {
    bool given = false;
    return Read([&] { return std::exchange(given, true) ? std::string_view() : bytes; },
                bytes.size());
}

RegFile RegFile::Read(const std::function<std::string_view()>& next_chunk,
                      std::size_t expected_size, const std::optional<ValueName>& wanted) {
    return Load(next_chunk, expected_size, wanted ? &*wanted : nullptr, true);
}

std::optional<HiveValue> RegFile::FindIn(const std::function<std::string_view()>& next_chunk,
                                         const ValueName& wanted) {
    return Load(next_chunk, 0, &wanted, false).Find(wanted.key, wanted.value_name);
}

RegFile RegFile::Load(const std::function<std::string_view()>& next_chunk,
                      std::size_t expected_size, const ValueName* wanted, bool keep_text) {
    RegFile file;
    // The first bytes say the encoding: enough of them for the longest byte-order mark.
    std::string pending;
    bool at_end = false;
    while (!at_end && pending.size() < kUtf8Bom.size()) {
        const std::string_view first = next_chunk();
        at_end = first.empty();
        pending += first;
    }
    file.encoding_ = Encoding::kUtf8;
    if (std::string_view(pending).starts_with(kUtf16Bom)) {
        file.encoding_ = Encoding::kUtf16Le;
        pending.erase(0, kUtf16Bom.size());
        file.text_.reserve(keep_text ? expected_size / 2 : 0);
    } else {
        if (std::string_view(pending).starts_with(kUtf8Bom)) {
            file.utf8_bom_ = true;
            pending.erase(0, kUtf8Bom.size());
        }
        file.text_.reserve(keep_text ? expected_size : 0);
    }
    // The header is looked for again each time the text has doubled, so that a long run of
    // blanks before it costs no more than reading it.
    bool header_complete = false;
    std::size_t next_header_check = 0;
    // Each piece is checked as it comes, statement by statement; unless the text is kept, what
    // has been checked goes, lines_gone lines of it.
    std::optional<Locator> locator;
    if (wanted != nullptr)
        locator.emplace(wanted->key, wanted->value_name);
    Scanner scanner({}, false);
    std::size_t next_scan = 0;
    std::size_t lines_gone = 0;
    for (std::string_view chunk;;) {
        if (file.encoding_ == Encoding::kUtf8) {
            file.text_ += pending;
            file.text_ += chunk;
            pending.clear();
        } else if (pending.empty()) {
            // Units and surrogate pairs may straddle two pieces: what is left waits for the next.
            pending.assign(chunk.substr(DecodeUtf16LeOnto(file.text_, chunk, at_end)));
        } else {
            pending += chunk;
            pending.erase(0, DecodeUtf16LeOnto(file.text_, pending, at_end));
        }
        if (!header_complete && (at_end || file.text_.size() >= next_header_check)) {
            header_complete = HeaderComplete(file.text_);
            next_header_check = 2 * file.text_.size();
        }
        std::string_view text = file.text_;
        if (!at_end && text.ends_with('\r'))
            text.remove_suffix(1);  // perhaps half of a CR LF
        // A statement still unfinished is read again once what has come of it has doubled, so
        // that a long one costs no more than reading it.
        if (at_end || text.size() >= next_scan) {
            scanner.Reseat(text, at_end);
            Statement statement;
            while (scanner.Next(statement)) {
                if (locator)
                    locator->Take(statement, scanner);
            }
            next_scan = text.size() + (text.size() - scanner.position());
        }
        header_complete = header_complete || scanner.header_seen();
        // Blanks before the header stay, for HeaderComplete's line numbers.
        if (!keep_text && !at_end && scanner.header_seen()) {
            lines_gone = scanner.line_number() - 1;
            const std::size_t gone = scanner.Drop();
            file.text_.erase(0, gone);
            next_scan -= gone;
        }
        if (at_end)
            break;
        chunk = next_chunk();
        at_end = chunk.empty();
    }
    if (!pending.empty()) {
        throw RegFileError(lines_gone + CountLines(file.text_),
                           "the UTF-16 text ends in half a character");
    }
    if (!scanner.header_seen()) {
        RegFile empty = New();  // blanks only: nothing to keep
        empty.text_.shrink_to_fit();
        return empty;
    }
    if (locator) {
        file.wanted_site_ = locator->site();
        file.wanted_key_ = wanted->key;
        file.wanted_value_name_ = wanted->value_name;
    }
    return file;
}

// Find and Set both ask this.
RegFile::Site RegFile::Locate(std::string_view key, std::string_view value_name) const {
    if (wanted_site_ && key == wanted_key_ && value_name == wanted_value_name_)
        return *wanted_site_;
    Locator locator(key, value_name);
    Scanner scanner(text_);
    Statement statement;
    while (scanner.Next(statement))
        locator.Take(statement, scanner);
    return locator.site();
}

std::optional<HiveValue> RegFile::Find(std::string_view key, std::string_view value_name) const {
    return Locate(key, value_name).value;
}

std::string RegFile::NewLineEnd() const {
    const std::size_t end = text_.find_first_of("\r\n");
    if (end == std::string::npos)
        return "\r\n";
    return text_.compare(end, 2, "\r\n") == 0 ? "\r\n" : std::string(1, text_[end]);
}

// A new key takes the spelling of the ancestors the file already has, as the registry keeps
// the case a key was first written in.
std::string RegFile::SpellNewKey(std::string_view key) const {
    std::map<std::string, std::string_view> spellings;  // live keys, by folded path
    Scanner scanner(text_);
    Statement statement;
    while (scanner.Next(statement)) {
        if (statement.kind == Statement::Kind::kKey) {
            spellings.try_emplace(NormalizeKey(statement.key), statement.key);
        } else if (statement.kind == Statement::Kind::kKeyDeletion) {
            // The key, then its subkeys: they sort from "key" + backslash up to "key]",
            // ']' being the next character. Erasing a range keeps many deletions cheap.
            const std::string deleted = NormalizeKey(statement.key);
            spellings.erase(deleted);
            spellings.erase(spellings.lower_bound(deleted + '\\'),
                            spellings.lower_bound(deleted + ']'));
        }
    }
    std::vector<std::string_view> components = KeyComponents(key);
    std::vector<std::string_view> best;
    for (const auto& entry : spellings) {
        const std::vector<std::string_view> known = KeyComponents(entry.second);
        std::size_t shared = 0;
        while (shared < known.size() && shared < components.size() &&
               FoldedEquals(known[shared], components[shared])) {
            ++shared;
        }
        if (shared > best.size())
            best.assign(known.begin(), known.begin() + static_cast<std::ptrdiff_t>(shared));
    }
    std::copy(best.begin(), best.end(), components.begin());
    return Join(components);
}

void RegFile::Set(std::string_view key, std::string_view value_name, const HiveValue& value) {
    const std::string line_end = NewLineEnd();
    const std::string data = FormatData(value);
    const Site site = Locate(key, value_name);
    wanted_site_.reset();  // the text is about to change

    const std::string line = FormatName(value_name) + "=" + data;
    if (site.key_live && site.value) {
        // Rewrite the value in place, keeping its name as first written.
        text_.replace(site.data_begin, site.data_end - site.data_begin, data);
    } else if (site.key_live) {
        // After the key's last value; a file that ended without a line break still does.
        if (site.block_next > site.block_end)
            text_.insert(site.block_next, line + line_end);
        else
            text_.insert(site.block_end, line_end + line);
    } else {
        const bool ends_in_break = text_.back() == '\n' || text_.back() == '\r';
        std::size_t last_end = text_.size();
        if (ends_in_break)
            last_end -= text_.ends_with("\r\n") ? 2 : 1;
        const std::size_t last_begin =
            last_end == 0 ? 0 : text_.find_last_of("\r\n", last_end - 1) + 1;
        std::string added = ends_in_break ? "" : line_end;
        if (!SkipBlanks(std::string_view(text_).substr(last_begin, last_end - last_begin)).empty())
            added += line_end;
        added += "[" + SpellNewKey(key) + "]" + line_end + line;
        if (ends_in_break)
            added += line_end;
        text_ += added;
    }
}

void RegFile::Write(const std::function<void(std::string_view)>& sink) const {
    if (encoding_ == Encoding::kUtf8) {
        if (utf8_bom_)
            sink(kUtf8Bom);
        sink(text_);
        return;
    }
    sink(kUtf16Bom);
    constexpr std::size_t kPiece = 1 << 16;
    std::string bytes;
    for (std::size_t begin = 0; begin < text_.size();) {
        std::size_t end = std::min(begin + kPiece, text_.size());
        // Not inside a UTF-8 sequence, which would then decode as two bad ones.
        for (int back = 0; back < 3 && end < text_.size() && end > begin + 1 &&
                           (static_cast<unsigned char>(text_[end]) & 0xC0) == 0x80;
             ++back) {
            --end;
        }
        bytes.clear();
        AppendUtf16Le(bytes, std::string_view(text_).substr(begin, end - begin));
        sink(bytes);
        begin = end;
    }
}

std::string RegFile::Serialize() const {
    std::string bytes;
    Write([&](std::string_view piece) { bytes += piece; });
    return bytes;
}

}  // namespace varnholt::platform
