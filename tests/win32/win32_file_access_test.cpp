#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "auth/md5_hash.h"
#include "platform/win32/win32_text.h"
#include "runtime/error.h"
#include "temporary_folder.h"

namespace varnholt {
namespace {

namespace n = runtime_error_number;
using testing::TemporaryFolder;

std::int32_t OpenErrorNumber(FileAccess& files, const std::string& path) {
    try {
        files.OpenReadOnly(path);
    } catch (const Error& error) {
        return error.number();
    }
    ADD_FAILURE() << "opened " << path;
    return 0;
}

class Win32FileAccessTest : public ::testing::Test {
  protected:
    TemporaryFolder folder_;
    std::unique_ptr<FileAccess> files_ = platform::CreateFileAccess();
};

TEST_F(Win32FileAccessTest, MissingNamesAreNotFound) {
    const std::string missing = folder_.Path("missing.bin");
    EXPECT_FALSE(files_->AttributesReadable(missing));
    EXPECT_EQ(OpenErrorNumber(*files_, missing), n::kFileNotFound);
    EXPECT_EQ(OpenErrorNumber(*files_, folder_.Path("no folder\\file.bin")), n::kFileNotFound);
}

TEST_F(Win32FileAccessTest, NamesTheSystemWouldReadOtherwiseAreNotFound) {
    const std::string existing = folder_.Write("kept.bin", "data");
    // Cut short by a NUL, the name would open the existing file.
    const std::string with_nul = existing + std::string(1, '\0') + "tail";
    EXPECT_FALSE(files_->AttributesReadable(with_nul));
    EXPECT_EQ(OpenErrorNumber(*files_, with_nul), n::kFileNotFound);
    const std::string not_utf8 = folder_.Path("bad\xFF.bin");
    EXPECT_FALSE(files_->AttributesReadable(not_utf8));
    EXPECT_EQ(OpenErrorNumber(*files_, not_utf8), n::kFileNotFound);
}

TEST_F(Win32FileAccessTest, OpensANameOutsideTheCodePageGivenAsUtf8) {
    const std::string path = folder_.Write("\xC5\xBElu\xC5\xA5 \xE2\x82\xAC.bin", "content");
    ASSERT_TRUE(files_->AttributesReadable(path));
    auto file = files_->OpenReadOnly(path);
    ASSERT_EQ(file->Length(), 7u);
    char buffer[7];
    file->Read(reinterpret_cast<std::uint8_t*>(buffer), sizeof buffer);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "content");
}

TEST_F(Win32FileAccessTest, ADirectoryPassesTheTestButCannotBeOpened) {
    EXPECT_TRUE(files_->AttributesReadable(folder_.path()));
    EXPECT_EQ(OpenErrorNumber(*files_, folder_.path()), n::kPathFileAccessError);
}

TEST_F(Win32FileAccessTest, ADeviceIsNoFileToRead) {
    EXPECT_EQ(OpenErrorNumber(*files_, "NUL"), n::kPathFileAccessError);
}

TEST_F(Win32FileAccessTest, AFileLockedByAnotherOpenerIsDenied) {
    const std::string path = folder_.Write("locked.bin", "secret");
    const std::wstring wide = *platform::Widen(path);
    const HANDLE exclusive = CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenErrorNumber(*files_, path), n::kPermissionDenied);
    CloseHandle(exclusive);
    EXPECT_NO_THROW(files_->OpenReadOnly(path));
}

TEST_F(Win32FileAccessTest, LengthsBeyond32BitsAreWhole) {
    // A sparse 5 GiB file: the length is all that is asked of it.
    const std::string path = folder_.Path("large.bin");
    const HANDLE handle = CreateFileW(platform::Widen(path)->c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size{};
    size.QuadPart = 5LL << 30;
    ASSERT_TRUE(SetFilePointerEx(handle, size, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(handle));
    CloseHandle(handle);
    EXPECT_EQ(files_->OpenReadOnly(path)->Length(), 5ULL << 30);
}

TEST_F(Win32FileAccessTest, ReadingPastTheEndIsAnError) {
    auto file = files_->OpenReadOnly(folder_.Write("short.bin", "abc"));
    std::uint8_t buffer[4];
    try {
        file->Read(buffer, sizeof buffer);
        FAIL() << "read past the end";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), n::kInputPastEndOfFile);
    }
}

// The hasher over the Windows services: a file digest equals the digest of its bytes at
// every block edge, so blocks are neither lost, repeated nor cut.
TEST_F(Win32FileAccessTest, FileDigestsEqualByteDigestsAtEveryBlockEdge) {
    MD5Hash hasher(platform::CreateCryptoService(), platform::CreateFileAccess());
    constexpr std::size_t kBlock = MD5Hash::kBlockSize;
    for (const std::size_t length :
         {std::size_t{1}, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, 3 * kBlock + 7}) {
        std::string content(length, '\0');
        for (std::size_t i = 0; i < length; ++i) {
            content[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
        }
        const std::string path = folder_.Write("edge" + std::to_string(length) + ".bin", content);
        const std::span bytes(reinterpret_cast<const std::uint8_t*>(content.data()),
                              content.size());
        EXPECT_EQ(hasher.HashFile(path), hasher.HashBytes(bytes)) << length << " bytes";
    }
    EXPECT_EQ(hasher.HashFile(folder_.Write("empty.bin", "")), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST_F(Win32FileAccessTest, HashFileOfAMissingNameRaisesFileDoesntExist) {
    MD5Hash hasher(platform::CreateCryptoService(), platform::CreateFileAccess());
    try {
        hasher.HashFile(folder_.Path("missing.bin"));
        FAIL() << "hashed a missing file";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), ErrorNumber(0x8004C342));
        EXPECT_EQ(error.source(), "MD5Hash.HashFile");
        EXPECT_EQ(error.description(), "File doesn't exist");
    }
}

}  // namespace
}  // namespace varnholt
