// Arbitrary bytes as a hive file. For every input: parsing never crashes; a file that parses
// serialises to its own bytes; setting a value gives a file that parses, holds that value and
// keeps every other line and value.
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/reg_file.h"

namespace {

using varnholt::platform::HiveValue;
using varnholt::platform::RegFile;
using varnholt::platform::RegFileError;

void Require(bool holds) {
    if (!holds)
        std::abort();
}

// The lines of a file in either encoding, for comparing: characters beyond ASCII as '?', CR
// left out so that a line given a line end still compares equal.
std::vector<std::string> Lines(const std::string& bytes) {
    const bool utf16 = bytes.starts_with("\xFF\xFE");
    std::vector<std::string> lines(1);
    for (std::size_t i = utf16 ? 2 : 0; i < bytes.size(); i += utf16 ? 2 : 1) {
        const char c = utf16 && bytes[i + 1] != '\0' ? '?' : bytes[i];
        if (c == '\n')
            lines.emplace_back();
        else if (c != '\r')
            lines.back().push_back(c);
    }
    return lines;
}

bool IsBlank(const std::string& bytes) {
    for (const std::string& line : Lines(bytes.substr(bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0))) {
        if (line.find_first_not_of(" \t") != std::string::npos)
            return false;
    }
    return true;
}

// The value names the corpus uses, so that sets land on existing values and keys as well.
const std::pair<const char*, const char*> kProbes[] = {
    {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt", "Count"},
    {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt", "Binary"},
    {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt", ""},
    {"HKEY_CURRENT_USER\\S", "a"},
    {"HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Varnholt\\Settings", "Lock"},
    {"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UsbStor", "Start"},
    {"HKEY_LOCAL_MACHINE\\New\\Key", "v"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::optional<RegFile> file;
    try {
        file = RegFile::Parse(bytes);
    } catch (const RegFileError&) {
        return 0;
    }
    // A blank file reads as the new empty hive; every other one comes back byte for byte.
    const std::string serialized = file->Serialize();
    Require(serialized == (IsBlank(bytes) ? RegFile::New().Serialize() : bytes));

    const std::size_t chosen = size % std::size(kProbes);
    const auto [key, name] = kProbes[chosen];
    const HiveValue value = size % 3 == 0   ? HiveValue::Dword(static_cast<std::uint32_t>(size))
                            : size % 3 == 1 ? HiveValue::String("q\"\\\r\n\xF0\x90\x80\x80")
                                            : HiveValue::Hex(size % 12, {1, 2, 3});
    const bool existed = file->Find(key, name).has_value();
    std::vector<std::optional<HiveValue>> before;
    for (const auto& [k, n] : kProbes)
        before.push_back(file->Find(k, n));
    file->Set(key, name, value);
    const std::string changed = file->Serialize();
    RegFile again = RegFile::New();
    try {
        again = RegFile::Parse(changed);
    } catch (const RegFileError&) {
        std::abort();
    }
    Require(again.Find(key, name) == value);
    for (std::size_t i = 0; i < std::size(kProbes); ++i)
        Require(i == chosen || again.Find(kProbes[i].first, kProbes[i].second) == before[i]);

    // Lines differ in one run only: the value's own (in place), or up to a blank line, its key
    // and itself added. No key line goes.
    const std::vector<std::string> old_lines = Lines(serialized), new_lines = Lines(changed);
    std::size_t prefix = 0, suffix = 0;
    while (prefix < old_lines.size() && prefix < new_lines.size() &&
           old_lines[prefix] == new_lines[prefix])
        ++prefix;
    while (suffix + prefix < old_lines.size() && suffix + prefix < new_lines.size() &&
           old_lines[old_lines.size() - 1 - suffix] == new_lines[new_lines.size() - 1 - suffix])
        ++suffix;
    Require(new_lines.size() - prefix - suffix <= (existed ? 1 : 3));
    for (std::size_t i = prefix; i + suffix < old_lines.size(); ++i)
        Require(old_lines[i].find_first_not_of(" \t") == std::string::npos ||
                old_lines[i][old_lines[i].find_first_not_of(" \t")] != '[');
    return 0;
}
