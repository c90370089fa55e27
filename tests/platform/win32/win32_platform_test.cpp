// The Windows platform code under Wine: the registry shell with Wine's reg tool as the witness
// (writes are where other tools look, failures leave nothing), file access and CryptoAPI.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "platform/win32/win32_text.h"
#include "policy/registry_shell.h"
#include "runtime/error.h"
#include "support/temp_dir.h"

namespace varnholt {
namespace {

namespace n = runtime_error_number;
const std::string kKey = "HKCU\\Software\\Varnholt Test";

std::uint32_t RaisedNumber(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        return static_cast<std::uint32_t>(error.number());
    }
    return 0;
}

// What `reg ARGUMENTS` prints, or "" when it fails.
std::string Reg(const std::string& arguments) {
    std::string output;
    FILE* pipe = _popen(("reg " + arguments + " 2>nul").c_str(), "r");
    char buffer[512];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    return pipe != nullptr && _pclose(pipe) == 0 ? output : "";
}

TEST(Win32RegistryTest, WritesAreWhereRegFindsThemAndReadBack) {
    Reg("delete \"" + kKey + "\" /f");
    const struct {
        std::string name;  // under kKey
        RegValue value;
        const char* type;
        std::string shown;  // as reg query lays it out, up to where the console's code page counts
    } rows[] = {
        // Past the end-to-end test's values: new keys, wide and negative numbers, any text.
        {"New\\Keys\\Wide", 70000, "REG_DWORD", "Wide    REG_DWORD    0x11170"},
        {"Negative", -1, "REG_DWORD", "Negative    REG_DWORD    0xffffffff"},
        {"Accented", std::string("m\xC3\xA1ng\xC3\xB3 \xE2\x82\xAC"), "REG_SZ",
         "Accented    REG_SZ    m"},
    };
    for (const auto& row : rows) {
        const std::string full = kKey + "\\" + row.name;
        platform::CreateRegistryShell()->RegWrite(full, row.value, row.type);
        const std::string listed = Reg("query \"" + full.substr(0, full.rfind('\\')) + "\"");
        EXPECT_NE(listed.find("    " + row.shown), std::string::npos) << listed;
        // Read back by a shell of its own: each shell has its own COM apartment.
        EXPECT_EQ(platform::CreateRegistryShell()->RegRead(full), row.value) << row.name;
    }
}

TEST(Win32RegistryTest, FailuresRaiseTheirNumberAndLeaveNothing) {
    Reg("delete \"" + kKey + "\" /f");
    const auto shell = platform::CreateRegistryShell();
    const auto invalid = static_cast<std::uint32_t>(E_INVALIDARG);
    const struct {
        std::function<void()> call;
        std::uint32_t number;
    } rows[] = {
        {[&] { shell->RegRead(kKey + "\\No\\Such\\Value"); }, registry_error::kNotFound},
        {[&] { shell->RegRead(kKey + "\\Binary"); },
         static_cast<std::uint32_t>(DISP_E_TYPEMISMATCH)},
        {[&] { shell->RegWrite(kKey + "\\Bad\xFF", 1, "REG_DWORD"); }, invalid},
        {[&] { shell->RegWrite(kKey + "\\Cut", std::string("AB\0CD", 5), "REG_SZ"); }, invalid},
    };
    Reg("add \"" + kKey + "\" /v Binary /t REG_BINARY /d 010203 /f");
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(RaisedNumber(rows[i].call), rows[i].number) << "row " << i;
    }
    const std::string left = Reg("query \"" + kKey + "\" /s");
    EXPECT_EQ(left.find("REG_"), left.rfind("REG_")) << left;  // only the binary value is there
}

// Writes the file and gives its UTF-8 name.
std::string Write(const testing::TempDir& folder, const std::string& name,
                  const std::string& content) {
    const std::filesystem::path path = folder.path() / *platform::Widen(name);
    std::ofstream(path, std::ios::binary) << content;
    return platform::Narrow(path.wstring());
}

std::uint32_t OpenError(const std::string& path) {
    return RaisedNumber([&] { platform::CreateFileAccess()->OpenReadOnly(path); });
}

TEST(Win32FilesTest, EachKindOfNameOpensOrGivesItsError) {
    const testing::TempDir folder;
    const std::string base = platform::Narrow(folder.path().wstring());
    const std::string kept = Write(folder, "\xC5\xBElu\xC5\xA5 \xE2\x82\xAC.bin", "content");
    const struct {
        std::string path;
        bool readable;
        std::uint32_t error;
    } rows[] = {
        {kept, true, 0},  // a name outside the code page, given as UTF-8
        {base + "\\no folder\\file.bin", false, n::kFileNotFound},
        {kept + std::string(1, '\0') + "tail", false, n::kFileNotFound},  // not cut short
        {base + "\\bad\xFF.bin", false, n::kFileNotFound},
        {base, true, n::kPathFileAccessError},   // a directory has no bytes to read
        {"NUL", true, n::kPathFileAccessError},  // nor has a device
    };
    for (const auto& row : rows) {
        EXPECT_EQ(platform::CreateFileAccess()->AttributesReadable(row.path), row.readable)
            << row.path;
        EXPECT_EQ(OpenError(row.path), row.error) << row.path;
    }
    // Held by an opener that shares nothing: denied, until it lets go.
    const HANDLE exclusive = CreateFileW(platform::Widen(kept)->c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(OpenError(kept), n::kPermissionDenied);
    CloseHandle(exclusive);
    EXPECT_EQ(OpenError(kept), 0);
}

TEST(Win32FilesTest, LengthsAndReadsAreWhole) {
    const testing::TempDir folder;
    const std::string large = Write(folder, "large.bin", "");
    std::filesystem::resize_file(*platform::Widen(large), 5ULL << 30);  // sparse
    EXPECT_EQ(platform::CreateFileAccess()->OpenReadOnly(large)->Length(), 5ULL << 30);
    std::uint8_t buffer[4];
    auto file = platform::CreateFileAccess()->OpenReadOnly(Write(folder, "short.bin", "abc"));
    EXPECT_EQ(RaisedNumber([&] { file->Read(buffer, sizeof buffer); }), n::kInputPastEndOfFile);
}

TEST(CryptoApiServiceTest, ARefusedCallLeavesTheSystemsCodeForIt) {
    const auto crypto = platform::CreateCryptoService();
    CryptoHandle hash = 0;
    EXPECT_FALSE(crypto->CreateMd5Hash(0, hash));  // no provider
    EXPECT_NE(crypto->LastErrorCode(), 0);
}

}  // namespace
}  // namespace varnholt
