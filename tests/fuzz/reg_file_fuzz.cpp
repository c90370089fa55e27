// Arbitrary bytes as a hive file. For every input: parsing never crashes; a file that parses
// serialises to its own bytes; setting a value gives a file that parses, holds that value and
// keeps every other line and value.
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

// The lines of a file in either encoding, characters beyond ASCII as '?', for comparing. CR,
// LF and CRLF each end a line, as they do for the parser.
std::vector<std::string> Lines(std::string_view bytes) {
    const std::size_t step = bytes.starts_with("\xFF\xFE") ? 2 : 1;
    std::string text;
    for (std::size_t i = step == 2                           ? 2
                         : bytes.starts_with("\xEF\xBB\xBF") ? 3
                                                             : 0;
         i < bytes.size(); i += step)
        text += step == 2 && i + 1 < bytes.size() && bytes[i + 1] != '\0' ? '?' : bytes[i];
    std::vector<std::string> lines(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && text.compare(i, 2, "\r\n") != 0))
            lines.emplace_back();
        else if (text[i] != '\r')
            lines.back() += text[i];
    }
    return lines;
}

// Names the seeds use, so that a set lands on existing values and keys as well as new ones.
const std::pair<const char*, const char*> kNames[] = {
    {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt", "Count"},
    {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt", "Binary"},
    {"HKEY_CURRENT_USER\\S", "a"},
    {"HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Varnholt\\Settings", ""},
    {"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UsbStor", "Start"},
    {"HKEY_LOCAL_MACHINE\\New\\Key", "v"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::optional<RegFile> file;
    try {
        file = RegFile::Parse(bytes);
    } catch (const varnholt::platform::RegFileError&) {
        return 0;
    }
    // A blank file reads as a new empty hive; every other comes back byte for byte.
    const std::vector<std::string> lines = Lines(bytes);
    const bool blank = std::all_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find_first_not_of(" \t") == std::string::npos;
    });
    const std::string original = file->Serialize();
    Require(original == (blank ? RegFile::New().Serialize() : bytes));

    const std::size_t chosen = size % std::size(kNames);
    const auto [key, name] = kNames[chosen];
    const HiveValue value = size % 3 == 0   ? HiveValue::Dword(static_cast<std::uint32_t>(size))
                            : size % 3 == 1 ? HiveValue::String("q\"\\\r\n\xF0\x90\x80\x80")
                                            : HiveValue::Hex(size % 12, {1, 2, 3});
    std::vector<std::optional<HiveValue>> before;
    for (const auto& [k, n] : kNames)
        before.push_back(file->Find(k, n));
    file->Set(key, name, value);
    const std::string changed = file->Serialize();
    const RegFile again = RegFile::Parse(changed);  // a throw ends the run as a finding
    for (std::size_t i = 0; i < std::size(kNames); ++i)
        Require(again.Find(kNames[i].first, kNames[i].second) == (i == chosen ? value : before[i]));

    // Lines differ in one run only: the value's own lines become one, or a line, or a blank
    // line, its key and itself are added. No key line goes.
    const std::vector<std::string> old_lines = Lines(original), new_lines = Lines(changed);
    std::size_t prefix = 0, suffix = 0;
    while (prefix < std::min(old_lines.size(), new_lines.size()) &&
           old_lines[prefix] == new_lines[prefix])
        ++prefix;
    while (suffix + prefix < std::min(old_lines.size(), new_lines.size()) &&
           old_lines.rbegin()[suffix] == new_lines.rbegin()[suffix])
        ++suffix;
    Require(new_lines.size() - prefix - suffix <= (before[chosen] ? 1 : 3));
    for (std::size_t i = prefix; i + suffix < old_lines.size(); ++i)
        Require(old_lines[i].find_first_not_of(" \t") == old_lines[i].find_first_not_of(" \t["));
    return 0;
}
