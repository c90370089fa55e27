// The hive files against a registry implementation nobody here wrote: Wine's regedit imports
// what the store writes, and the store reads and edits what regedit exports.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/hive_registry.h"
#include "platform/linux/reg_file.h"
#include "runtime/error.h"
#include "support/hive_files.h"
#include "support/openssl_cli.h"

namespace varnholt::platform {
namespace {

using testing::ReadBytes;
using testing::ShellQuote;
using testing::WriteHive;

struct Outcome {
    int status;
    std::string output;
};

// Output goes through a file, not a pipe: Wine's background processes keep their inherited
// output open long after the command ends.
Outcome RunShell(const std::string& command) {
    char output_name[] = "/tmp/varnholt-wine-output-XXXXXX";
    const int output = ::mkstemp(output_name);
    if (output < 0)
        return {-1, "mkstemp failed"};
    ::close(output);
    const int status =
        std::system(("(" + command + ") >" + output_name + " 2>&1 </dev/null").c_str());
    Outcome outcome{status, ReadBytes(output_name)};
    ::unlink(output_name);
    return outcome;
}

// The Windows name Wine gives a file of this machine.
std::string WindowsPath(const std::filesystem::path& path) {
    std::string windows = "Z:" + path.string();
    for (char& c : windows)
        c = c == '/' ? '\\' : c;
    return windows;
}

std::vector<std::uint8_t> Utf16Bytes(std::string_view ascii) {
    std::vector<std::uint8_t> bytes;
    for (const char c : ascii)
        bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c), 0});
    return bytes;
}

// The text of a UTF-16LE file that holds ASCII only.
std::string AsciiOfUtf16(const std::string& bytes) {
    EXPECT_TRUE(bytes.starts_with("\xFF\xFE"));
    std::string text;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        EXPECT_EQ(bytes[i + 1], '\0');
        text += bytes[i];
    }
    return text;
}

class WineInteropTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (std::system("command -v wine >/dev/null 2>&1") != 0)
            return;
        folder_ = new testing::TempDir();
        std::filesystem::create_directory(folder_->path() / "prefix");
        ::setenv("WINEPREFIX", (folder_->path() / "prefix").c_str(), 1);
        ::setenv("WINEDEBUG", "-all", 1);
        ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        // One server for the whole run, kept a while after its last program so that no command
        // waits for it to end; it goes by itself should the run die before "wineserver -k".
        const Outcome boot = RunShell("wineserver -p30 && wineboot -i");
        ASSERT_EQ(boot.status, 0) << boot.output;
        wine_ready_ = true;
    }
    static void TearDownTestSuite() {
        if (wine_ready_)
            RunShell("wineserver -k");
        delete folder_;
        folder_ = nullptr;
    }
    void SetUp() override {
        if (!wine_ready_)
            GTEST_SKIP() << "wine is not installed";
    }

    static std::filesystem::path Path(const std::string& name) { return folder_->path() / name; }

    // Wine's programs now and then fail, silently, while the fresh prefix's background services
    // are still starting. Every command here is idempotent, so a second try tells a real
    // failure from that.
    static Outcome RunWine(const std::string& arguments) {
        Outcome outcome = RunShell("wine " + arguments);
        if (outcome.status != 0)
            outcome = RunShell("sleep 1; wine " + arguments);
        return outcome;
    }
    static void Wine(const std::string& arguments) {
        const Outcome outcome = RunWine(arguments);
        ASSERT_EQ(outcome.status, 0) << arguments << "\n" << outcome.output;
    }
    static void Import(const std::filesystem::path& file) {
        Wine("regedit /s " + ShellQuote(WindowsPath(file)));
    }
    static RegFile Export(const std::string& key, const std::string& file_name) {
        Wine("regedit /e " + ShellQuote(WindowsPath(Path(file_name))) + " " + ShellQuote(key));
        return RegFile::Parse(ReadBytes(Path(file_name)));
    }
    // What "reg query" prints for one value: "NAME    TYPE    DATA".
    static void ExpectQuery(const std::string& key, const std::string& name,
                            const std::string& type_and_data) {
        const Outcome outcome = RunWine("reg query " + ShellQuote(key) + " /v " + ShellQuote(name));
        EXPECT_NE(outcome.output.find(name + "    " + type_and_data + "\r"), std::string::npos)
            << key << "\\" << name << ":\n"
            << outcome.output;
    }

    static inline testing::TempDir* folder_ = nullptr;
    static inline bool wine_ready_ = false;
};

TEST_F(WineInteropTest, RegeditImportsWhatTheStoreWrites) {
    const std::string key = "HKCU\\Software\\Varnholt Interop";
    const std::string text = "C:\\dir\\\"quoted\" \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91";
    HiveRegistry store(Path("machine.reg"), Path("user.reg"));
    store.RegWrite(key + "\\Text", text, "REG_SZ");
    store.RegWrite(key + "\\Lock", 1, "REG_DWORD");
    store.RegWrite(key + "\\Negative", -2, "REG_DWORD");
    store.RegWrite(key + "\\Deeper\\Key\\", std::string("default"), "REG_SZ");
    store.RegWrite(key + "\\Lock", 0, "REG_DWORD");
    store.RegWrite("HKLM\\SYSTEM\\CurrentControlSet\\Services\\UsbStor\\Start", 4, "REG_DWORD");
    // A hive someone wrote by hand in UTF-8, changed by the store.
    WriteHive(Path("hand.reg"),
              "; by hand\n[HKEY_CURRENT_USER\\Software\\Varnholt Hand]\n"
              "\"Keep\"=hex:01,02,03\n\"Start\"=dword:00000003\n");
    HiveRegistry(Path("unused.reg"), Path("hand.reg"))
        .RegWrite("HKCU\\Software\\Varnholt Hand\\Start", 4, "REG_DWORD");

    Import(Path("user.reg"));
    Import(Path("machine.reg"));
    Import(Path("hand.reg"));

    ExpectQuery(key, "Lock", "REG_DWORD    0x0");
    ExpectQuery(key, "Negative", "REG_DWORD    0xfffffffe");
    ExpectQuery("HKLM\\SYSTEM\\CurrentControlSet\\Services\\UsbStor", "Start", "REG_DWORD    0x4");
    ExpectQuery("HKCU\\Software\\Varnholt Hand", "Start", "REG_DWORD    0x4");
    ExpectQuery("HKCU\\Software\\Varnholt Hand", "Keep", "REG_BINARY    010203");
    const RegFile exported = Export("HKEY_CURRENT_USER\\Software\\Varnholt Interop", "interop.reg");
    EXPECT_EQ(exported.Find("HKEY_CURRENT_USER\\Software\\Varnholt Interop", "Text"),
              HiveValue::String(text));
    EXPECT_EQ(exported.Find("HKEY_CURRENT_USER\\Software\\Varnholt Interop\\Deeper\\Key", ""),
              HiveValue::String("default"));
}

TEST_F(WineInteropTest, StoreReadsAndEditsWhatRegeditExports) {
    const std::string key = "HKCU\\Software\\Varnholt Export";
    const std::string long_key = "HKEY_CURRENT_USER\\Software\\Varnholt Export";
    std::string binary_hex;
    std::vector<std::uint8_t> binary;
    for (int i = 0; i < 100; ++i) {
        binary.push_back(static_cast<std::uint8_t>(i * 7));
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", i * 7 & 0xFF);
        binary_hex += pair;
    }
    const std::vector<std::string> additions{"/v Text /t REG_SZ /d 'C:\\dir\\\"q\" x'",
                                             "/v Dword /t REG_DWORD /d 4294967295",
                                             "/v Expand /t REG_EXPAND_SZ /d %PATH%x",
                                             "/v Multi /t REG_MULTI_SZ /d 'a\\0bb'",
                                             "/v Binary /t REG_BINARY /d " + binary_hex,
                                             "/v Qword /t REG_QWORD /d 0x1122334455667788",
                                             "/ve /d def"};
    for (const std::string& add : additions) {
        Wine("reg add " + ShellQuote(key) + " " + add + " /f");
    }
    Wine("reg add " + ShellQuote(key + "\\Sub") + " /v Inner /t REG_DWORD /d 7 /f");
    const RegFile exported = Export(long_key, "export.reg");
    ASSERT_EQ(exported.encoding(), RegFile::Encoding::kUtf16Le);

    HiveRegistry store(Path("unused.reg"), Path("export.reg"));
    EXPECT_EQ(store.RegRead(key + "\\Text"), RegValue("C:\\dir\\\"q\" x"));
    EXPECT_EQ(store.RegRead(key + "\\Dword"), RegValue(-1));
    EXPECT_EQ(store.RegRead(key + "\\"), RegValue("def"));
    EXPECT_EQ(store.RegRead(key + "\\Sub\\Inner"), RegValue(7));
    EXPECT_THROW(store.RegRead(key + "\\Expand"), Error);
    const auto expect_others = [&](const RegFile& file) {
        EXPECT_EQ(file.Find(long_key, "Expand"),
                  HiveValue::Hex(2, Utf16Bytes(std::string("%PATH%x\0", 8))));
        EXPECT_EQ(file.Find(long_key, "Multi"),
                  HiveValue::Hex(7, Utf16Bytes(std::string("a\0bb\0\0", 6))));
        EXPECT_EQ(file.Find(long_key, "Binary"), HiveValue::Hex(3, binary));
        EXPECT_EQ(file.Find(long_key, "Qword"),
                  HiveValue::Hex(0xb, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    };
    expect_others(exported);

    // The store changes the exported file by those two lines alone and keeps it UTF-16.
    const std::string before = AsciiOfUtf16(ReadBytes(Path("export.reg")));
    store.RegWrite(key + "\\Dword", 5, "REG_DWORD");
    store.RegWrite(key + "\\Added", std::string("new"), "REG_SZ");
    std::string expected = before;
    expected.replace(expected.find("\"Dword\"=dword:ffffffff"), 22, "\"Dword\"=dword:00000005");
    const std::size_t block_end =
        expected.find("\r\n\r\n", expected.find("[" + long_key + "]")) + 2;
    expected.insert(block_end, "\"Added\"=\"new\"\r\n");
    EXPECT_EQ(AsciiOfUtf16(ReadBytes(Path("export.reg"))), expected);

    // And regedit takes the edited file back whole.
    Wine("reg delete " + ShellQuote(key) + " /f");
    Import(Path("export.reg"));
    ExpectQuery(key, "Dword", "REG_DWORD    0x5");
    ExpectQuery(key, "Added", "REG_SZ    new");
    const RegFile again = Export(long_key, "again.reg");
    expect_others(again);
    EXPECT_EQ(again.Find(long_key, "Text"), HiveValue::String("C:\\dir\\\"q\" x"));
    EXPECT_EQ(again.Find(long_key + "\\Sub", "Inner"), HiveValue::Dword(7));
}

}  // namespace
}  // namespace varnholt::platform
