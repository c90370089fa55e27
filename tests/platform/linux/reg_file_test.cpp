#include "platform/linux/reg_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/hive_files.h"

namespace varnholt::platform {
namespace {

const std::string kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt";

// Blanks after the header, comments, loose spacing, hex types, a list, deletions, a split key.
const std::string kRichHive = testing::ReadBytes(VARNHOLT_FUZZ_CORPUS "/rich.reg");

TEST(RegFileTest, ReadsEveryValueTypeAndWritesTheFileBackUnchanged) {
    const RegFile file = RegFile::Parse(kRichHive);
    EXPECT_EQ(file.Serialize(), kRichHive);
    for (const auto& [key, name, value] :
         std::vector<std::tuple<std::string, const char*, std::optional<HiveValue>>>{
             {kKey, "", HiveValue::String("default \"quoted\" C:\\path")},
             {kKey, "Binary", HiveValue::Hex(3, {0, 1, 2, 3, 4, 5})},
             {kKey, "Gone", std::nullopt},
             {kKey + "\\Old", "Left", std::nullopt},
             {kKey + "\\Older", "Kept", HiveValue::Dword(2)},
             {"hkey_local_machine\\Software\\\\Varnholt\\", "later",
              HiveValue::String("second block")}}) {
        EXPECT_EQ(file.Find(key, name), value) << key << " " << name;
    }
    EXPECT_EQ(file.Find(kKey, "Number")->AsDword(), 0x105u);
    EXPECT_EQ(file.Find(kKey, "Text")->AsString(), "AB");
    EXPECT_EQ(
        RegFile::Parse(testing::ReadBytes(VARNHOLT_FUZZ_CORPUS "/regedit4.reg"))
            .Find("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UsbStor", "Start"),
        HiveValue::Dword(3));
}

TEST(RegFileTest, ChangingOneValueRewritesOnlyItsOwnLines) {
    const std::string added_key = "block\"\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\";
    for (const auto& [key, name, value, from, to] :
         std::vector<std::tuple<std::string, const char*, HiveValue, std::string, std::string>>{
             // In place, keeping the name as first written, or over the lines of a list.
             {kKey, "COUNT", HiveValue::Dword(0xfffffffe), "\"Count\"=dword:0000002a",
              "\"Count\"=dword:fffffffe"},
             {kKey, "Binary", HiveValue::Dword(9), "hex:00,01,02,\\\r\n  03,04,\\\r\n  05",
              "dword:00000009"},
             // A deleted value comes back after its key's last; a new key spelled as its parent.
             {kKey, "Gone", HiveValue::String("back"), "\"Later\"=\"second block\"\r\n",
              "\"Later\"=\"second block\"\r\n\"Gone\"=\"back\"\r\n"},
             {"HKEY_LOCAL_MACHINE\\SOFTWARE\\VARNHOLT\\new", "v", HiveValue::Hex(0xb, {1, 2}),
              "block\"\r\n", added_key + "new]\r\n\"v\"=hex(b):01,02\r\n"}}) {
        RegFile file = RegFile::Parse(kRichHive);
        file.Set(key, name, value);
        std::string expected = kRichHive;
        expected.replace(expected.rfind(from), from.size(), to);
        EXPECT_EQ(file.Serialize(), expected) << name;
        EXPECT_EQ(RegFile::Parse(expected).Find(key, name), value);
    }
}

TEST(RegFileTest, NewFilesAreUtf16WithByteOrderMarkAndCrLf) {
    RegFile file = RegFile::New();
    file.Set(kKey, "Start", HiveValue::Dword(4));
    // U+10000 is the first character of two units.
    file.Set(kKey, "na\"me\\", HiveValue::String("x \xF0\x90\x80\x80\xEF\xBF\xBF \"\\\r\n"));
    const std::u16string text =
        u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt]\r\n\"Start\"=dword:00000004\r\n"
        u"\"na\\\"me\\\\\"=\"x \U00010000\uFFFF \\\"\\\\\\r\\n\"\r\n";
    EXPECT_EQ(file.Serialize(),
              std::string(reinterpret_cast<const char*>(text.data()), 2 * text.size()));
}

TEST(RegFileTest, DamagedFilesAreRefusedNamingTheLine) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string key = header + "[HKEY_CURRENT_USER\\S]\n";
    const std::u16string utf16 = u"\uFEFFWindows Registry Editor Version 5.00\r\n";  // and half
    std::vector<std::pair<std::string, std::size_t>> cases{
        {"[HKEY_CURRENT_USER\\S]\n\"a\"=dword:1\n", 1},
        {header + "\"a\"=dword:00000001\n", 3},
        {header + "[HKEY_CURRENT_USER\\S\n", 3},
        {key + "\"a\"=hex:00,\\\n 01,\\\n zz\n", 6},
        // A value added after a list left continued would be read as more of the list.
        {key + "\"a\"=hex:01,\\\n02,\\\n\n; the end\n", 5},
        {std::string(reinterpret_cast<const char*>(utf16.data()), 2 * utf16.size()) + "\n", 2}};
    for (const char* value :
         {"\"a\"=dword:000000001", "\"a\"=dword:", "\"a\"=\"open", "\"a=\"x\"", "\"a\" \"x\"",
          "\"a\"=\"x\" y", "\"a\"=qword:1", "\"a\"=hex(xy):00", "\"a\"=hex:0g", "\"a\"=hex:001",
          "\"a\"=hex:00 01", "\"a\"=hex:00,\\ 01", "Start=dword:00000001", "\"a\"=hex:01,02,\\"})
        cases.emplace_back(key + value, 4);
    for (const auto& [text, line] : cases) {
        try {
            RegFile::Parse(text);
            ADD_FAILURE() << text << ": parsed";
        } catch (const RegFileError& error) {
            EXPECT_EQ(error.line(), line) << text << ": " << error.what();
        }
    }
    // Bytes that are no hive are refused at their first line, before the rest is read.
    int pieces = 0;
    try {
        RegFile::Read([&] { return ++pieces > 1000 ? "" : std::string_view("MZ\x90\0 exe\n", 9); });
        ADD_FAILURE() << "read";
    } catch (const RegFileError& error) {
        EXPECT_EQ(error.line(), 1u);
    }
    EXPECT_EQ(pieces, 1);
}

}  // namespace
}  // namespace varnholt::platform
