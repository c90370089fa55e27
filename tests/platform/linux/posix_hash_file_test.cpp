// HashFile over the POSIX file access: descriptors, special files, a file that shrinks while
// read, and files past the 32-bit lengths.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <iterator>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "auth/md5_hash.h"
#include "support/hive_files.h"
#include "support/openssl_cli.h"
#include "support/raised_error.h"
#include "support/recording_crypto_service.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

namespace varnholt {
namespace {

using testing::CryptoScript;
using testing::PatternBytes;
using testing::RaisedError;
using testing::RecordingCryptoService;
using testing::TempDir;
using testing::WriteFile;

constexpr std::size_t kBlock = MD5Hash::kBlockSize;

long OpenDescriptorCount() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
}

class PosixHashFileTest : public ::testing::Test {
  protected:
    PosixHashFileTest() { UseFileAccess(platform::CreateFileAccess()); }
    void UseFileAccess(std::unique_ptr<FileAccess> files) {
        hasher_ = std::make_unique<MD5Hash>(std::make_unique<RecordingCryptoService>(script_),
                                            std::move(files));
    }

    TempDir dir_;
    std::shared_ptr<CryptoScript> script_ = std::make_shared<CryptoScript>();
    std::unique_ptr<MD5Hash> hasher_;
};

TEST_F(PosixHashFileTest, FailuresBeforeHashingLeaveNoDescriptorOpen) {
    WriteFile(dir_ / "data", PatternBytes(10));
    ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
    const long descriptors = OpenDescriptorCount();

    // A name with a NUL inside is not the shorter name the system would see.
    for (const std::string& name : {dir_ / "missing", (dir_ / "data") + '\0' + "x"}) {
        EXPECT_EQ(RaisedError([&] { hasher_->HashFile(name); }).number(), -2147171518);
    }
    // A directory opens on Linux but is no file; a pipe must not block waiting for a writer.
    for (const std::string& name : {dir_.path().string(), dir_ / "pipe"}) {
        const Error error = RaisedError([&] { hasher_->HashFile(name); });
        EXPECT_EQ(error.number(), 75) << name;
        EXPECT_EQ(error.description(), "Path/File access error");
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_TRUE(script_->created.empty());
}

TEST_F(PosixHashFileTest, UnreadableFileRaisesPermissionDenied) {
    WriteFile(dir_ / "secret", PatternBytes(10));
    ASSERT_EQ(::chmod((dir_ / "secret").c_str(), 0), 0);
    const Error error = RaisedError([&] {
        testing::AsOrdinaryUser as_user;  // permissions do not bind the superuser
        hasher_->HashFile(dir_ / "secret");
    });
    EXPECT_EQ(error.number(), 70);
    EXPECT_EQ(error.description(), "Permission denied");
}

// Opens through the real file access, then changes the file's length before the first read.
class ResizingFileAccess final : public FileAccess {
  public:
    explicit ResizingFileAccess(std::uintmax_t new_length) : new_length_(new_length) {}
    bool AttributesReadable(const std::string& path) noexcept override {
        return real_->AttributesReadable(path);
    }
    std::unique_ptr<OpenFile> OpenReadOnly(const std::string& path) override {
        auto file = real_->OpenReadOnly(path);
        std::filesystem::resize_file(path, new_length_);
        return file;
    }

  private:
    std::uintmax_t new_length_;
    std::unique_ptr<FileAccess> real_ = platform::CreateFileAccess();
};

TEST_F(PosixHashFileTest, FileThatShrinksWhileReadRaisesInputPastEndAndIsClosed) {
    WriteFile(dir_ / "data", PatternBytes(2 * kBlock + 7));
    UseFileAccess(std::make_unique<ResizingFileAccess>(kBlock + 3));
    const long descriptors = OpenDescriptorCount();

    const Error error = RaisedError([&] { hasher_->HashFile(dir_ / "data"); });
    EXPECT_EQ(error.number(), 62);
    EXPECT_EQ(error.description(), "Input past end of file");
    EXPECT_EQ(OpenDescriptorCount(), descriptors);

    // The instance stays usable, and the failed operation's hash object is released.
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(hasher_->HashBytes(abc), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(script_->LiveHashes(), 0);
}

long PeakResidentKib() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(PosixHashLargeFileTest, SparseFileBeyondFourGibIsHashedWholeInFlatMemory) {
    TempDir dir;
    const std::string path = dir / "sparse";
    const std::uint64_t length = (std::uint64_t{1} << 32) + 3 * kBlock + 11;
    {
        // Marks near the start, across the 2 GiB and 4 GiB lines and in the last block.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(length)), 0);
        for (std::uint64_t offset : {std::uint64_t{5}, (std::uint64_t{1} << 31) - 2,
                                     (std::uint64_t{1} << 32) - 1, length - 4}) {
            ASSERT_EQ(::pwrite(fd, "mark", 4, static_cast<off_t>(offset)), 4);
        }
        ::close(fd);
    }
    // The reference runs on the other core meanwhile.
    auto reference =
        std::async(std::launch::async, testing::OpensslMd5Of, "cat " + testing::ShellQuote(path));
    MD5Hash hasher(platform::CreateCryptoService(), platform::CreateFileAccess());
    const long peak_before = PeakResidentKib();
    const std::string digest = hasher.HashFile(path);
    EXPECT_LT(PeakResidentKib() - peak_before, 1024);
    EXPECT_EQ(digest, reference.get());
}

}  // namespace
}  // namespace varnholt
