#include "platform/linux/reg_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/hive_files.h"

namespace varnholt::platform {
namespace {

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt";

// Every form a hive may hold: blanks after the header, comments of both kinds, loose spacing,
// the default value, each hex type, a list over three lines, deletions, a key in two blocks.
// The fuzzer's seed too.
const std::string kRichHive = testing::ReadBytes(VARNHOLT_FUZZ_CORPUS "/rich.reg");

std::string Utf16(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text)
        bytes += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
    return bytes;
}

TEST(RegFileTest, ReadsEveryValueTypeAndWritesTheFileBackUnchanged) {
    const RegFile file = RegFile::Parse(kRichHive);
    EXPECT_EQ(file.Serialize(), kRichHive);
    const std::string old_key = std::string(kKey) + "\\Old", older = std::string(kKey) + "\\Older";
    for (const auto& [key, name, value] :
         std::vector<std::tuple<std::string, const char*, std::optional<HiveValue>>>{
             {kKey, "", HiveValue::String("default \"quoted\" C:\\path")},
             {kKey, "count", HiveValue::Dword(42)},
             {kKey, "Multi", HiveValue::Hex(7, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0})},
             {kKey, "Binary", HiveValue::Hex(3, {0, 1, 2, 3, 4, 5})},
             {kKey, "Qword", HiveValue::Hex(0xb, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11})},
             {kKey, "None", HiveValue::Hex(0, {})},
             {kKey, "SPACED", HiveValue::Dword(1)},
             {kKey, "Gone", std::nullopt},
             {old_key, "Left", std::nullopt},
             {older, "Kept", HiveValue::Dword(2)},
             {"hkey_local_machine\\Software\\\\Varnholt\\", "later",
              HiveValue::String("second block")},
             {"HKEY_USERS\\.DEFAULT\\Elsewhere", "Kept", HiveValue::Dword(7)}}) {
        EXPECT_EQ(file.Find(key, name), value) << key << " " << name;
    }
    EXPECT_EQ(file.Find(kKey, "Number")->AsDword(), 0x105u);
    EXPECT_EQ(file.Find(kKey, "Text")->AsString(), "AB");
    EXPECT_EQ(file.Find(kKey, "Expand")->AsString(), std::nullopt);
    EXPECT_EQ(file.Find(kKey, "Binary")->AsDword(), std::nullopt);
    EXPECT_EQ(
        RegFile::Parse(testing::ReadBytes(VARNHOLT_FUZZ_CORPUS "/regedit4.reg"))
            .Find("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\UsbStor", "Start"),
        HiveValue::Dword(3));
}

TEST(RegFileTest, ChangingOneValueRewritesOnlyItsOwnLines) {
    struct Case {
        std::string key, name;
        HiveValue value;
        std::string from, to;
    };
    const std::string old_key = std::string(kKey) + "\\Old";
    for (const Case& c : std::vector<Case>{
             // In place, keeping the name as first written and the spacing; the comment goes.
             {kKey, "COUNT", HiveValue::Dword(0xfffffffe), "\"Count\"=dword:0000002a",
              "\"Count\"=dword:fffffffe"},
             {kKey, "spaced", HiveValue::Dword(3), "=  dword:1   ; short form, trailing comment",
              "=  dword:00000003"},
             {kKey, "Binary", HiveValue::Dword(9), "hex:00,01,02,\\\r\n  03,04,\\\r\n  05",
              "dword:00000009"},
             // A deleted value comes back after the key's last value; a deleted key at the end.
             {kKey, "Gone", HiveValue::String("back"), "\"Later\"=\"second block\"\r\n",
              "\"Later\"=\"second block\"\r\n\"Gone\"=\"back\"\r\n"},
             {old_key, "Left", HiveValue::Dword(1), "07\r\n",
              "07\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\Old]\r\n\"Left\"=dword:"
              "00000001\r\n"},
             // A new key takes the spelling its ancestors have in the file.
             {"HKEY_LOCAL_MACHINE\\SOFTWARE\\VARNHOLT\\new", "v", HiveValue::Hex(0xb, {1, 2}),
              "07\r\n",
              "07\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\new]\r\n\"v\"=hex(b):01,"
              "02\r\n"}}) {
        RegFile file = RegFile::Parse(kRichHive);
        file.Set(c.key, c.name, c.value);
        std::string expected = kRichHive;
        expected.replace(expected.rfind(c.from), c.from.size(), c.to);
        EXPECT_EQ(file.Serialize(), expected) << c.name;
        EXPECT_EQ(RegFile::Parse(expected).Find(c.key, c.name), c.value);
    }
}

TEST(RegFileTest, NewFilesAreUtf16WithByteOrderMarkAndCrLf) {
    RegFile file = RegFile::New();
    file.Set(kKey, "Start", HiveValue::Dword(4));
    // Bytes that are no UTF-8 become U+FFFD; U+10000 is the first character of two units.
    file.Set(kKey, "na\"me\\",
             HiveValue::String("\xC3x\xFF \xF0\x90\x80\x80\xEF\xBF\xBF \"\\\r\n"));
    EXPECT_EQ(file.Serialize(),
              Utf16(u"Windows Registry Editor Version 5.00\r\n\r\n"
                    u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt]\r\n\"Start\"=dword:00000004\r\n"
                    u"\"na\\\"me\\\\\"=\"\uFFFDx\uFFFD \U00010000\uFFFF \\\"\\\\\\r\\n\"\r\n"));
    EXPECT_EQ(RegFile::Parse(file.Serialize()).Find(kKey, "NA\"ME\\"),
              HiveValue::String("\xEF\xBF\xBDx\xEF\xBF\xBD \xF0\x90\x80\x80\xEF\xBF\xBF \"\\\r\n"));
}

TEST(RegFileTest, DamagedFilesAreRefusedNamingTheLine) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string key = header + "[HKEY_CURRENT_USER\\S]\n";
    std::vector<std::pair<std::string, std::size_t>> cases{
        {"[HKEY_CURRENT_USER\\S]\n\"a\"=dword:1\n", 1},
        {"Windows Registry Editor Version 4.00\n", 1},
        {header + "\"a\"=dword:00000001\n", 3},
        {header + "[HKEY_CURRENT_USER\\S\n", 3},
        {header + "[]\n", 3},
        {key + "\"a\"=hex:00,\\\n 01,\\\n zz\n", 6},
        // A value added after a list left continued would be read as more of the list.
        {key + "\"a\"=hex:01,\\\n02,\\\n\n; the end\n", 5},
        {std::string("\xFF\xFEW\0", 4), 1},
        {std::string("\xFF\xFEW\0i", 5), 1}};
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
}

TEST(RegFileTest, BytesThatAreNoHiveAreRefusedAtTheirFirstLine) {
    int pieces = 0;
    const auto large = [&] {
        return ++pieces > 1000 ? std::string_view() : std::string_view("MZ\x90\0 a program\n", 15);
    };
    EXPECT_THROW(RegFile::Read(large), RegFileError);
    EXPECT_EQ(pieces, 1);
}

}  // namespace
}  // namespace varnholt::platform
