// Arbitrary bytes as a hive file: parsing never crashes, a file that parses serialises to its
// own bytes however they come in pieces (a damaged one is refused at the same line), and setting a
// value gives a file that parses, holds it and keeps every other line.
#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/reg_file.h"

namespace {

using varnholt::platform::HiveValue;
using varnholt::platform::RegFile;

void Require(bool holds) {
    if (!holds)
        std::abort();
}

// A file's lines as the parser ends them; UTF-16 units beyond ASCII, bytes and all, as '?'.
std::vector<std::string> Lines(std::string_view bytes) {
    const std::size_t step = bytes.starts_with("\xFF\xFE") ? 2 : 1;
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < bytes.size(); i += step) {
        const char c =
            step == 2 && (i + 1 == bytes.size() || bytes[i + 1] != '\0') ? '?' : bytes[i];
        if (c == '\n' || (c == '\r' && bytes.substr(i + step, 1) != "\n"))
            lines.emplace_back();
        else if (c != '\r')
            lines.back() += c;
    }
    return lines;
}

constexpr std::string_view kBlanks(" \t\r\n\0", 5);

// Names the seeds use, so that a set lands on existing values and keys as well as new ones.
const std::pair<const char*, const char*> kNames[] = {
    {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt", "Binary"},
    {"HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Varnholt\\Settings", ""},
    {"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UsbStor", "Start"},
    {"HKEY_LOCAL_MACHINE\\New\\Key", "v"}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const auto [key, name] = kNames[size % std::size(kNames)];
    std::optional<RegFile> file;
    std::optional<std::size_t> damaged_line;
    try {
        file = RegFile::Parse(bytes);
    } catch (const varnholt::platform::RegFileError& error) {
        damaged_line = error.line();
    }
    // In small pieces, the text kept or only a value looked for, the file reads as it does whole.
    std::size_t at = 0;
    const auto next_piece = [&] {
        const std::string_view next = std::string_view(bytes).substr(at, 1 + size % 5);
        at += next.size();
        return next;
    };
    for (const bool keep : {true, false}) {
        at = 0;
        try {
            if (keep) {
                const RegFile pieces = RegFile::Read(next_piece, 0, RegFile::ValueName{key, name});
                Require(file && pieces.Serialize() == file->Serialize() &&
                        pieces.Find(key, name) == file->Find(key, name));
            } else {
                const std::optional<HiveValue> found = RegFile::FindIn(next_piece, {key, name});
                Require(file && found == file->Find(key, name));
            }
        } catch (const varnholt::platform::RegFileError& error) {
            Require(damaged_line == error.line());
        }
    }
    if (!file)
        return 0;
    // A blank file (after any byte-order mark) reads as a new hive; any other comes back whole.
    const bool blank =
        bytes.find_first_not_of(kBlanks, bytes.find_first_not_of("\xFF\xFE\xEF\xBB\xBF")) ==
        std::string::npos;
    const std::string original = file->Serialize();
    Require(original == (blank ? RegFile::New().Serialize() : bytes));

    const HiveValue value = size % 3 == 0   ? HiveValue::Dword(static_cast<std::uint32_t>(size))
                            : size % 3 == 1 ? HiveValue::String("q\"\\\r\n\xF0\x90\x80\x80")
                                            : HiveValue::Hex(size % 12, {1, 2, 3});
    const bool existed = file->Find(key, name).has_value();
    file->Set(key, name, value);
    const std::string changed = file->Serialize();
    Require(RegFile::Parse(changed).Find(key, name) == value);  // a throw is a finding too

    // Lines differ in one run only: the value's own lines become one, or a blank line, its key
    // and itself are added. No key line goes.
    const std::vector<std::string> old_lines = Lines(original), new_lines = Lines(changed);
    const auto [old_begin, new_begin] =
        std::mismatch(old_lines.begin(), old_lines.end(), new_lines.begin(), new_lines.end());
    const auto [old_end, new_end] =
        std::mismatch(old_lines.rbegin(), std::make_reverse_iterator(old_begin), new_lines.rbegin(),
                      std::make_reverse_iterator(new_begin));
    Require(new_end.base() - new_begin <= (existed ? 1 : 3));
    Require(std::none_of(old_begin, old_end.base(), [](const std::string& line) {
        const std::size_t first = line.find_first_not_of(kBlanks);
        return first != std::string_view::npos && line[first] == '[';
    }));
    return 0;
}
