#include "platform/linux/reg_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varnholt::platform {
namespace {

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt";

// Every form a hive may hold: comments of both kinds, blank lines, loose spacing, the default
// value, each hex type, a hex list over three lines, deletions, a key given in two blocks.
const std::string kRichHive =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; exported for the test\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt]\r\n"
    "@=\"default \\\"quoted\\\" C:\\\\path\"\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\"Expand\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\r\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
    "\"Binary\"=hex:00,01,02,\\\r\n"
    "  03,04,\\\r\n"
    "  05\r\n"
    "\"Qword\"=hex(b):88,77,66,55,44,33,22,11\r\n"
    "\"None\"=hex(0):\r\n"
    "\"Number\"=hex(4):05,01,00,00\r\n"
    "\"Text\"=hex(1):41,00,42,00,00,00\r\n"
    "  \"Spaced\"  =  dword:1   ; short form, trailing comment\r\n"
    "\"Gone\"=dword:00000001\r\n"
    "\"Gone\"=-\r\n"
    "# another comment style\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\Old]\r\n"
    "\"Left\"=\"behind\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\Older]\r\n"
    "\"Kept\"=dword:00000002\r\n"
    "\r\n"
    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\Old]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\software\\VARNHOLT]\r\n"
    "\"Later\"=\"second block\"\r\n"
    "\r\n"
    "[HKEY_USERS\\.DEFAULT\\Elsewhere]\r\n"
    "\"Kept\"=dword:00000007\r\n";

TEST(RegFileTest, ReadsEveryValueTypeAndWritesTheFileBackUnchanged) {
    const RegFile file = RegFile::Parse(kRichHive);
    EXPECT_EQ(file.Serialize(), kRichHive);
    EXPECT_EQ(file.encoding(), RegFile::Encoding::kUtf8);

    EXPECT_EQ(file.Find(kKey, ""), HiveValue::String("default \"quoted\" C:\\path"));
    EXPECT_EQ(file.Find(kKey, "count"), HiveValue::Dword(42));
    EXPECT_EQ(file.Find(kKey, "Expand"),
              HiveValue::Hex(2, {0x25, 0, 0x50, 0, 0x41, 0, 0x54, 0, 0x48, 0, 0x25, 0, 0, 0}));
    EXPECT_EQ(file.Find(kKey, "Multi"), HiveValue::Hex(7, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}));
    EXPECT_EQ(file.Find(kKey, "Binary"), HiveValue::Hex(3, {0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(file.Find(kKey, "Qword"),
              HiveValue::Hex(0xb, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(file.Find(kKey, "None"), HiveValue::Hex(0, {}));
    EXPECT_EQ(file.Find(kKey, "Number")->AsDword(), 0x105u);
    EXPECT_EQ(file.Find(kKey, "Text")->AsString(), "AB");
    EXPECT_EQ(file.Find(kKey, "Expand")->AsString(), std::nullopt);
    EXPECT_EQ(file.Find(kKey, "Binary")->AsDword(), std::nullopt);
    EXPECT_EQ(file.Find(kKey, "SPACED"), HiveValue::Dword(1));
    EXPECT_EQ(file.Find(kKey, "Gone"), std::nullopt);
    EXPECT_EQ(file.Find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\Old", "Left"), std::nullopt);
    EXPECT_EQ(file.Find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\Older", "Kept"),
              HiveValue::Dword(2));
    EXPECT_EQ(file.Find("hkey_local_machine\\Software\\\\Varnholt\\", "later"),
              HiveValue::String("second block"));
    EXPECT_EQ(file.Find("HKEY_USERS\\.DEFAULT\\Elsewhere", "Kept"), HiveValue::Dword(7));
}

TEST(RegFileTest, ChangingOneValueRewritesOnlyItsOwnLines) {
    const auto with = [](const std::string& name, const HiveValue& value) {
        RegFile file = RegFile::Parse(kRichHive);
        file.Set(kKey, name, value);
        return file.Serialize();
    };
    const auto replaced = [](std::string text, const std::string& from, const std::string& to) {
        text.replace(text.find(from), from.size(), to);
        return text;
    };

    // In place, keeping the name as first written and the line's own spacing and comment-free tail.
    EXPECT_EQ(with("COUNT", HiveValue::Dword(0xfffffffe)),
              replaced(kRichHive, "\"Count\"=dword:0000002a", "\"Count\"=dword:fffffffe"));
    EXPECT_EQ(
        with("spaced", HiveValue::Dword(3)),
        replaced(kRichHive, "=  dword:1   ; short form, trailing comment", "=  dword:00000003"));
    // A value over three lines becomes one.
    EXPECT_EQ(with("Binary", HiveValue::Dword(9)),
              replaced(kRichHive, "hex:00,01,02,\\\r\n  03,04,\\\r\n  05", "dword:00000009"));
    // A deleted value comes back after the key's last value; a deleted key comes back at the end.
    EXPECT_EQ(with("Gone", HiveValue::String("back")),
              replaced(kRichHive, "\"Later\"=\"second block\"\r\n",
                       "\"Later\"=\"second block\"\r\n\"Gone\"=\"back\"\r\n"));
    EXPECT_EQ(with("", HiveValue::String("x")),
              replaced(kRichHive, "@=\"default \\\"quoted\\\" C:\\\\path\"", "@=\"x\""));
    RegFile file = RegFile::Parse(kRichHive);
    file.Set("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\Old", "Left", HiveValue::Dword(1));
    file.Set("HKEY_LOCAL_MACHINE\\SOFTWARE\\VARNHOLT\\new\\deeper", "v",
             HiveValue::Hex(0xb, {1, 2}));
    EXPECT_EQ(
        file.Serialize(),
        kRichHive +
            "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\Old]\r\n\"Left\"=dword:00000001\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt\\new\\deeper]\r\n\"v\"=hex(b):01,02\r\n");
    EXPECT_EQ(RegFile::Parse(file.Serialize()).Find(kKey + std::string("\\NEW\\Deeper"), "V"),
              HiveValue::Hex(0xb, {1, 2}));
}

TEST(RegFileTest, StringsSurviveEscapingBothWays) {
    const std::string awkward = "C:\\dir\\\"name\"\r\nsecond line\ttab \xC3\xA9 \xF0\x9F\x94\x91";
    RegFile file = RegFile::New();
    file.Set(kKey, "na\"me\\", HiveValue::String(awkward));
    const RegFile again = RegFile::Parse(file.Serialize());
    EXPECT_EQ(again.Find(kKey, "na\"me\\"), HiveValue::String(awkward));
    EXPECT_EQ(again.Serialize(), file.Serialize());
}

std::string Utf16(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

TEST(RegFileTest, NewFilesAreUtf16WithByteOrderMarkAndCrLf) {
    RegFile file = RegFile::New();
    file.Set(kKey, "Start", HiveValue::Dword(4));
    // Bytes that are no UTF-8 become U+FFFD rather than stalling the encoder.
    file.Set(kKey, "Bad", HiveValue::String("\xC3x\xFF"));
    EXPECT_EQ(file.Serialize(),
              Utf16(u"Windows Registry Editor Version 5.00\r\n\r\n"
                    u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnholt]\r\n\"Start\"=dword:00000004\r\n"
                    u"\"Bad\"=\"\uFFFDx\uFFFD\"\r\n"));
}

TEST(RegFileTest, Utf16FilesStayUtf16ByteForByteEvenWithLoneSurrogates) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\S]\r\n"
        u"\"k\"=\"\u00e9\U0001F511\"\r\n\"odd\"=\"\xD800 x\"\r\n\"n\"=dword:00000001";
    RegFile file = RegFile::Parse(Utf16(text));
    EXPECT_EQ(file.encoding(), RegFile::Encoding::kUtf16Le);
    EXPECT_EQ(file.Serialize(), Utf16(text));
    EXPECT_EQ(file.Find("HKEY_CURRENT_USER\\S", "k"),
              HiveValue::String("\xC3\xA9\xF0\x9F\x94\x91"));
    file.Set("HKEY_CURRENT_USER\\S", "n", HiveValue::Dword(2));
    file.Set("HKEY_CURRENT_USER\\S", "m", HiveValue::String("\xE2\x82\xAC"));
    std::u16string expected = text;
    expected.replace(expected.find(u"dword:00000001"), 14, u"dword:00000002\r\n\"m\"=\"\u20ac\"");
    EXPECT_EQ(file.Serialize(), Utf16(expected));
}

TEST(RegFileTest, EmptyOrBlankFilesAreEmptyHives) {
    for (const char* bytes : {"", " \r\n\n", "\xFF\xFE"}) {
        RegFile file = RegFile::Parse(bytes);
        EXPECT_EQ(file.Find(kKey, "x"), std::nullopt);
        file.Set(kKey, "x", HiveValue::Dword(1));
        EXPECT_EQ(RegFile::Parse(file.Serialize()).Find(kKey, "x"), HiveValue::Dword(1));
    }
}

TEST(RegFileTest, DamagedFilesAreRefusedNamingTheLine) {
    struct Case {
        std::string text;
        std::size_t line;
    };
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    for (const Case& c : std::vector<Case>{
             {"[HKEY_CURRENT_USER\\S]\n\"a\"=dword:1\n", 1},
             {"Windows Registry Editor Version 4.00\n", 1},
             {header + "\"a\"=dword:00000001\n", 3},
             {header + "[HKEY_CURRENT_USER\\S\n", 3},
             {header + "[]\n", 3},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=dword:000000001\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=dword:\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=\"open\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a=\"x\"\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\" \"x\"\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=\"x\" y\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=qword:1\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=hex(xy):00\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=hex:0g\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=hex:001\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=hex:00 01\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=hex:00,\\\n 01,\\\n zz\n", 6},
             {header + "[HKEY_CURRENT_USER\\S]\n\"a\"=hex:00,\\ 01\n", 4},
             {header + "[HKEY_CURRENT_USER\\S]\nStart=dword:00000001\n", 4},
             {std::string("\xFF\xFEW\0", 4), 1},
             {std::string("\xFF\xFEW\0i", 5), 1},
         }) {
        SCOPED_TRACE(c.text);
        try {
            RegFile::Parse(c.text);
            ADD_FAILURE() << "parsed";
        } catch (const RegFileError& error) {
            EXPECT_EQ(error.line(), c.line) << error.what();
        }
    }
}

}  // namespace
}  // namespace varnholt::platform
