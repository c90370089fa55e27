// A hive file in the registry's export format ("Windows Registry Editor Version 5.00").
// The file is kept as its own text, so a change rewrites only the one value it touches:
// every other byte (comments, blank lines, value types this program never uses, keys
// nobody asked for) comes back out exactly as it went in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace varnholt::platform {

// A value as a hive file holds it.
struct HiveValue {
    enum class Kind { kString, kDword, kHex };

    Kind kind = Kind::kString;
    std::string text;                 // kString, UTF-8
    std::uint32_t dword = 0;          // kDword
    std::uint32_t hex_type = 3;       // kHex: the registry type number; "hex:" is 3 (binary)
    std::vector<std::uint8_t> bytes;  // kHex

    static HiveValue String(std::string text);
    static HiveValue Dword(std::uint32_t dword);
    static HiveValue Hex(std::uint32_t type, std::vector<std::uint8_t> bytes);

    // The value as the registry types it: a DWORD (also in its hex(4) form), a string (also in
    // its hex(1) form); nullopt for every other type.
    std::optional<std::uint32_t> AsDword() const;
    std::optional<std::string> AsString() const;

    friend bool operator==(const HiveValue&, const HiveValue&) = default;
};

// Why a file could not be read as a hive; line is 1-based.
class RegFileError : public std::runtime_error {
  public:
    RegFileError(std::size_t line, const std::string& reason);
    std::size_t line() const noexcept { return line_; }

  private:
    std::size_t line_;
};

class RegFile {
  public:
    enum class Encoding { kUtf8, kUtf16Le };

    // A value by its key and name, as Find and Set take them.
    struct ValueName {
        std::string_view key;
        std::string_view value_name;
    };

    // Throws RegFileError when the bytes are not a hive file.
    static RegFile Parse(std::string_view bytes);
    // The same, the bytes coming in pieces from next_chunk until it returns an empty one, each
    // checked as it comes: bytes that are no hive are refused as soon as the first line shows
    // it, a damaged statement as soon as it has come, before the rest is read. Given the value a
    // caller is about to Find or Set, the pass that checks the file finds it too, so that a
    // large file is scanned once.
    static RegFile Read(const std::function<std::string_view()>& next_chunk,
                        std::size_t expected_size = 0,
                        const std::optional<ValueName>& wanted = std::nullopt);
    // One value of the file read as Read reads it, keeping no more of the text than a piece
    // at a time, so that reading one value of a large hive takes little memory. Throws
    // RegFileError as Read does: the whole file is checked.
    static std::optional<HiveValue> FindIn(const std::function<std::string_view()>& next_chunk,
                                           const ValueName& wanted);
    // An empty hive as a new file holds it: UTF-16LE with byte-order mark, CRLF line ends,
    // the form the registry editor itself exports and imports.
    static RegFile New();

    // key is the full key path, root first ("HKEY_LOCAL_MACHINE\SYSTEM\..."); an empty
    // value_name is the key's default value. Names compare without regard to ASCII case.
    std::optional<HiveValue> Find(std::string_view key, std::string_view value_name) const;
    // Sets one value, creating the key when the file has none; only that value's lines change.
    // Names and string values must be valid UTF-8, and key names free of line breaks.
    void Set(std::string_view key, std::string_view value_name, const HiveValue& value);

    // The file's bytes, handed to sink in pieces.
    void Write(const std::function<void(std::string_view)>& sink) const;
    std::string Serialize() const;
    Encoding encoding() const noexcept { return encoding_; }

  private:
    // Where one value stands once every statement has had its say.
    struct Site {
        bool key_live = false;
        std::optional<HiveValue> value;  // while the value stands
        std::size_t data_begin = 0;      // its data's characters
        std::size_t data_end = 0;
        std::size_t block_end = 0;   // the end of the key's last line, where new values go
        std::size_t block_next = 0;  // and where the line after it begins
    };

    class Locator;  // finds a value's Site, statement by statement

    RegFile() = default;
    static RegFile Load(const std::function<std::string_view()>& next_chunk,
                        std::size_t expected_size, const ValueName* wanted, bool keep_text);
    Site Locate(std::string_view key, std::string_view value_name) const;
    std::string NewLineEnd() const;
    std::string SpellNewKey(std::string_view key) const;

    // The whole file as UTF-8 text (lone UTF-16 surrogates kept in the generalised form).
    // Lookups scan it rather than keep an index, so a hive of a million values costs little
    // more memory than its text.
    Encoding encoding_ = Encoding::kUtf16Le;
    bool utf8_bom_ = false;
    std::string text_;
    // What Read found of the value it was told of, until the text changes.
    std::optional<Site> wanted_site_;
    std::string wanted_key_;
    std::string wanted_value_name_;
};

}  // namespace varnholt::platform
