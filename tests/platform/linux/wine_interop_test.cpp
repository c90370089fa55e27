// The hive files against a registry implementation nobody here wrote: Wine's regedit imports
// what the store writes, and the store reads what regedit exports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/linux/hive_registry.h"
#include "platform/linux/reg_file.h"
#include "support/hive_files.h"

namespace varnholt::platform {
namespace {

TEST(WineInteropTest, RegeditImportsWhatTheStoreWritesAndTheStoreReadsItsExport) {
    if (std::system("command -v wine >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "wine is not installed";
    testing::TempDir folder;
    std::filesystem::create_directory(folder / "prefix");
    ::setenv("WINEPREFIX", (folder / "prefix").c_str(), 1);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // One server for the run, gone by itself should the test die before "wineserver -k".
    ASSERT_EQ(std::system("wineserver -p30 && wineboot -i >/dev/null 2>&1"), 0);
    // Output to a file, not a pipe: Wine's background processes keep it open. A fresh prefix's
    // programs now and then fail silently while it starts; every command here may run twice.
    const auto wine = [&](const std::string& arguments) {
        const std::string command = "cd " + folder.path().string() + " && wine " + arguments +
                                    " >output.txt 2>&1 </dev/null";
        if (std::system(command.c_str()) != 0 && (::sleep(1), std::system(command.c_str())) != 0)
            ADD_FAILURE() << arguments << "\n" << testing::ReadBytes(folder / "output.txt");
    };
    const std::string key = "HKEY_CURRENT_USER\\Software\\Varnholt Interop";
    const std::string text = "C:\\d\\\"q\" \xC3\xA9 \xE2\x82\xAC \xF0\x90\x80\x80 \xF0\x9F\x94\x91";
    HiveRegistry store(folder / "machine.reg", folder / "user.reg");
    store.RegWrite(key + "\\Text", text, "REG_SZ");
    store.RegWrite(key + "\\Lock", -2, "REG_DWORD");
    store.RegWrite(key + "\\Deeper\\Key\\", std::string("default"), "REG_SZ");
    wine("regedit /s user.reg");
    wine("regedit /e export.reg '" + key + "'");

    const RegFile file = RegFile::Parse(testing::ReadBytes(folder / "export.reg"));
    EXPECT_EQ(file.Find(key, "Text"), HiveValue::String(text));
    EXPECT_EQ(file.Find(key, "Lock"), HiveValue::Dword(0xfffffffe));
    EXPECT_EQ(file.Find(key + "\\Deeper\\Key", ""), HiveValue::String("default"));
    std::system("wineserver -k");
}

}  // namespace
}  // namespace varnholt::platform
