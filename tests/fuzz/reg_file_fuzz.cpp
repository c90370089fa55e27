// Arbitrary bytes as a hive file: parsing never crashes, a file that parses serialises to its
// own bytes, and setting a value gives a file that parses, holds it and keeps every other line.
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

// Lines as bytes, in either encoding: a UTF-16 line starts with the high byte of the line feed.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;
         text.remove_prefix(end + 1))
        lines.push_back(text.substr(0, end));
    lines.push_back(text);
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
    std::optional<RegFile> file;
    try {
        file = RegFile::Parse(bytes);
    } catch (const varnholt::platform::RegFileError&) {
        return 0;
    }
    // A blank file (after any byte-order mark) reads as a new hive; any other comes back whole.
    const bool blank =
        bytes.find_first_not_of(kBlanks, bytes.find_first_not_of("\xFF\xFE\xEF\xBB\xBF")) ==
        std::string::npos;
    const std::string original = file->Serialize();
    Require(original == (blank ? RegFile::New().Serialize() : bytes));

    const auto [key, name] = kNames[size % std::size(kNames)];
    const HiveValue value = size % 3 == 0   ? HiveValue::Dword(static_cast<std::uint32_t>(size))
                            : size % 3 == 1 ? HiveValue::String("q\"\\\r\n\xF0\x90\x80\x80")
                                            : HiveValue::Hex(size % 12, {1, 2, 3});
    const bool existed = file->Find(key, name).has_value();
    file->Set(key, name, value);
    const std::string changed = file->Serialize();
    Require(RegFile::Parse(changed).Find(key, name) == value);  // a throw is a finding too

    // Lines differ in one run only: the value's own lines become one, or a blank line, its key
    // and itself are added. No key line goes.
    const std::vector<std::string_view> old_lines = Lines(original), new_lines = Lines(changed);
    const auto [old_begin, new_begin] =
        std::mismatch(old_lines.begin(), old_lines.end(), new_lines.begin(), new_lines.end());
    const auto [old_end, new_end] =
        std::mismatch(old_lines.rbegin(), std::make_reverse_iterator(old_begin), new_lines.rbegin(),
                      std::make_reverse_iterator(new_begin));
    Require(new_end.base() - new_begin <= (existed ? 1 : 3));
    Require(std::none_of(old_begin, old_end.base(), [](std::string_view line) {
        const std::size_t first = line.find_first_not_of(kBlanks);
        return first != std::string_view::npos && line[first] == '[';
    }));
    return 0;
}
