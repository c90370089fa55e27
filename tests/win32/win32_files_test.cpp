// File access and the hasher's crypto service over the Win32 API, under Wine: each kind of name
// gives its own runtime error, and each refused CryptoAPI call its own code.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "platform/win32/win32_text.h"
#include "runtime/error.h"

namespace varnholt {
namespace {

namespace n = runtime_error_number;

std::int32_t RaisedNumber(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        return error.number();
    }
    return 0;
}

std::int32_t OpenError(const std::string& path) {
    return RaisedNumber([&] { platform::CreateFileAccess()->OpenReadOnly(path); });
}

class Win32FilesTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directory(folder_); }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    // Writes the file and gives its UTF-8 name.
    std::string Write(const std::string& name, const std::string& content) {
        const std::filesystem::path path = folder_ / *platform::Widen(name);
        std::ofstream(path, std::ios::binary) << content;
        return platform::Narrow(path.wstring());
    }

    std::filesystem::path folder_ = std::filesystem::temp_directory_path() /
                                    ("varnholt-" + std::to_string(GetCurrentProcessId()));
    std::string base_ = platform::Narrow(folder_.wstring());
};

TEST_F(Win32FilesTest, EachKindOfNameOpensOrGivesItsError) {
    const std::string kept = Write("\xC5\xBElu\xC5\xA5 \xE2\x82\xAC.bin", "content");
    const struct {
        std::string path;
        bool readable;
        std::int32_t error;
    } rows[] = {
        {kept, true, 0},  // a name outside the code page, given as UTF-8
        {base_ + "\\missing.bin", false, n::kFileNotFound},
        {base_ + "\\no folder\\file.bin", false, n::kFileNotFound},
        {kept + std::string(1, '\0') + "tail", false, n::kFileNotFound},  // not cut short
        {base_ + "\\bad\xFF.bin", false, n::kFileNotFound},
        {base_, true, n::kPathFileAccessError},  // a directory has no bytes to read
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

TEST_F(Win32FilesTest, LengthsAndReadsAreWhole) {
    const std::string large = Write("large.bin", "");
    std::filesystem::resize_file(*platform::Widen(large), 5ULL << 30);  // sparse
    EXPECT_EQ(platform::CreateFileAccess()->OpenReadOnly(large)->Length(), 5ULL << 30);

    std::uint8_t buffer[4];
    auto file = platform::CreateFileAccess()->OpenReadOnly(Write("short.bin", "abc"));
    EXPECT_EQ(RaisedNumber([&] { file->Read(buffer, sizeof buffer); }), n::kInputPastEndOfFile);
}

TEST(CryptoApiServiceTest, ARefusedCallLeavesTheSystemsCodeForIt) {
    const auto crypto = platform::CreateCryptoService();
    CryptoHandle provider = 0;
    CryptoHandle hash = 0;
    ASSERT_TRUE(crypto->AcquireContext(provider));
    EXPECT_FALSE(crypto->CreateMd5Hash(0, hash));
    // Windows names the bad handle, Wine the bad parameter; either way the call's own code.
    const auto code = static_cast<std::uint32_t>(crypto->LastErrorCode());
    EXPECT_TRUE(code == static_cast<std::uint32_t>(NTE_BAD_UID) || code == ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(crypto->CreateMd5Hash(provider, hash));
    std::uint8_t value[16] = {};
    std::uint32_t length = 8;  // too small for the digest
    EXPECT_FALSE(crypto->GetHashValue(hash, value, length));
    EXPECT_EQ(crypto->LastErrorCode(), ERROR_MORE_DATA);
    length = sizeof value;
    ASSERT_TRUE(crypto->GetHashValue(hash, value, length));
    EXPECT_FALSE(crypto->HashData(hash, value, 1));  // a finished hash takes no more
    EXPECT_EQ(static_cast<std::uint32_t>(crypto->LastErrorCode()),
              static_cast<std::uint32_t>(NTE_BAD_HASH_STATE));
    crypto->DestroyHash(hash);
    crypto->ReleaseContext(provider);
}

}  // namespace
}  // namespace varnholt
