// The hive files against a registry implementation nobody here wrote: Wine's regedit imports
// what the store writes, and the store reads and edits what regedit exports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/hive_registry.h"
#include "platform/linux/reg_file.h"
#include "support/hive_files.h"

namespace varnholt::platform {
namespace {

using testing::ReadBytes;

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Output goes to a file, not a pipe: Wine's background processes keep inherited output open
// long after the command ends. Wine's programs now and then fail silently while a fresh
// prefix's services start; every command here is idempotent, so a second try tells that from
// a real failure.
void Wine(const std::filesystem::path& folder, const std::string& arguments) {
    const std::string output = (folder / "output.txt").string();
    const std::string command = "wine " + arguments + " >" + output + " 2>&1 </dev/null";
    if (std::system(command.c_str()) != 0 && (::sleep(1), std::system(command.c_str())) != 0)
        ADD_FAILURE() << arguments << "\n" << ReadBytes(output);
}

std::string WindowsPath(const std::filesystem::path& path) {
    std::string windows = "Z:" + path.string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return ShellQuote(windows);
}

std::string Utf16(std::string_view ascii) {
    std::string bytes;
    for (const char c : ascii)
        bytes += {c, '\0'};
    return bytes;
}

std::vector<std::uint8_t> Bytes(std::string_view bytes) {
    return {bytes.begin(), bytes.end()};
}

TEST(WineInteropTest, RegeditAndTheStoreReadAndEditEachOthersFiles) {
    if (std::system("command -v wine >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "wine is not installed";
    testing::TempDir folder;
    const auto path = [&](const char* name) { return folder.path() / name; };
    std::filesystem::create_directory(path("prefix"));
    ::setenv("WINEPREFIX", path("prefix").c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // One server for the whole run, gone by itself should the test die before "wineserver -k".
    ASSERT_EQ(std::system("wineserver -p30 && wineboot -i >/dev/null 2>&1"), 0);
    const std::string key = "HKCU\\Software\\Varnholt Interop";
    const std::string long_key = "HKEY_CURRENT_USER\\Software\\Varnholt Interop";
    const auto exported = [&](const char* name) {
        Wine(folder.path(), "regedit /e " + WindowsPath(path(name)) + " " + ShellQuote(long_key));
        return RegFile::Parse(ReadBytes(path(name)));
    };

    // What the store writes, regedit imports; then it adds the value types the store never writes.
    const std::string text = "C:\\d\\\"q\" \xC3\xA9 \xE2\x82\xAC \xF0\x90\x80\x80 \xF0\x9F\x94\x91";
    HiveRegistry store(path("machine.reg"), path("user.reg"));
    store.RegWrite(key + "\\Text", text, "REG_SZ");
    store.RegWrite(key + "\\Lock", 1, "REG_DWORD");
    store.RegWrite(key + "\\Lock", -2, "REG_DWORD");
    store.RegWrite(key + "\\Deeper\\Key\\", std::string("default"), "REG_SZ");
    Wine(folder.path(), "regedit /s " + WindowsPath(path("user.reg")));
    for (const std::string& add : std::vector<std::string>{
             "/v Expand /t REG_EXPAND_SZ /d %PATH%x", "/v Multi /t REG_MULTI_SZ /d 'a\\0bb'",
             "/v Binary /t REG_BINARY /d " + std::string(80, '7'),  // long enough to span lines
             "/v Qword /t REG_QWORD /d 0x1122334455667788"})
        Wine(folder.path(), "reg add " + ShellQuote(key) + " " + add + " /f");

    // What regedit exports, the store reads, and changes by the lines of the values it sets.
    const RegFile file = exported("export.reg");
    EXPECT_EQ(file.Find(long_key, "Text"), HiveValue::String(text));
    EXPECT_EQ(file.Find(long_key, "Lock"), HiveValue::Dword(0xfffffffe));
    EXPECT_EQ(file.Find(long_key + "\\Deeper\\Key", ""), HiveValue::String("default"));
    EXPECT_EQ(file.Find(long_key, "Expand"), HiveValue::Hex(2, Bytes(Utf16({"%PATH%x\0", 8}))));
    EXPECT_EQ(file.Find(long_key, "Multi"), HiveValue::Hex(7, Bytes(Utf16({"a\0bb\0\0", 6}))));
    EXPECT_EQ(file.Find(long_key, "Binary"),
              HiveValue::Hex(3, std::vector<std::uint8_t>(40, 0x77)));
    EXPECT_EQ(file.Find(long_key, "Qword"),
              HiveValue::Hex(0xb, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    std::string expected = ReadBytes(path("export.reg"));
    HiveRegistry editor(path("unused.reg"), path("export.reg"));
    editor.RegWrite(key + "\\Lock", 5, "REG_DWORD");
    editor.RegWrite(key + "\\Added", std::string("new"), "REG_SZ");
    expected.replace(expected.find(Utf16("\"Lock\"=dword:fffffffe")), 42,
                     Utf16("\"Lock\"=dword:00000005"));
    expected.insert(
        expected.find(Utf16("\r\n\r\n"), expected.find(Utf16("[" + long_key + "]"))) + 4,
        Utf16("\"Added\"=\"new\"\r\n"));
    EXPECT_EQ(ReadBytes(path("export.reg")), expected);

    std::system("wineserver -k");
}

}  // namespace
}  // namespace varnholt::platform
