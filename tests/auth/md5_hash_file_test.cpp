#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <vector>

#include "app/error.h"
#include "auth/md5_hash.h"
#include "openssl_cli.h"
#include "platform/platform.h"
#include "recording_crypto_service.h"
#include "temp_dir.h"

namespace varnholt {
namespace {

using testing::CryptoScript;
using testing::RecordingCryptoService;
using testing::TempDir;

constexpr std::size_t kBlock = MD5Hash::kBlockSize;

std::vector<std::uint8_t> PatternBytes(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return bytes;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

int OpenDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Runs a file operation on a hasher that records its service calls.
class MD5HashFileTest : public ::testing::Test {
  protected:
    MD5HashFileTest() : script_(std::make_shared<CryptoScript>()) {
        UseFileAccess(platform::CreateFileAccess());
    }
    void UseFileAccess(std::unique_ptr<FileAccess> files) {
        hasher_ = std::make_unique<MD5Hash>(std::make_unique<RecordingCryptoService>(script_),
                                            std::move(files));
    }
    Error HashFileError(const std::string& path) {
        try {
            hasher_->HashFile(path);
        } catch (const Error& error) {
            return error;
        }
        ADD_FAILURE() << "no error for " << path;
        return Error(0, "", "");
    }

    TempDir dir_;
    std::shared_ptr<CryptoScript> script_;
    std::unique_ptr<MD5Hash> hasher_;
};

TEST_F(MD5HashFileTest, EqualsHashBytesAtTheBlockEdges) {
    const std::size_t sizes[] = {1, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock};
    for (std::size_t size : sizes) {
        const auto bytes = PatternBytes(size);
        WriteFile(dir_ / "data", bytes);
        script_->blocks.clear();
        const std::string from_file = hasher_->HashFile(dir_ / "data");

        // Full blocks first, then one block of exactly the rest.
        std::vector<std::size_t> expected_blocks(size / kBlock, kBlock);
        if (size % kBlock != 0) {
            expected_blocks.push_back(size % kBlock);
        }
        EXPECT_EQ(script_->blocks, expected_blocks) << size;
        EXPECT_EQ(from_file, hasher_->HashBytes(bytes)) << size;
    }
    EXPECT_EQ(script_->LiveHashes(), 0);
}

TEST_F(MD5HashFileTest, EmptyFileGivesTheDigestOfEmptyInputWithoutHashingABlock) {
    WriteFile(dir_ / "empty", {});
    EXPECT_EQ(hasher_->HashFile(dir_ / "empty"), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_TRUE(script_->blocks.empty());
}

TEST_F(MD5HashFileTest, MissingNameRaisesFileDoesntExistAndOpensNothing) {
    const int descriptors = OpenDescriptorCount();
    for (const std::string& name : {dir_ / "missing", dir_ / "missing/below", std::string(),
                                    (dir_ / "data") + std::string(1, '\0') + "x"}) {
        WriteFile(dir_ / "data", PatternBytes(10));  // a real prefix of the last name
        const Error error = HashFileError(name);
        EXPECT_EQ(error.number(), -2147171518) << name;
        EXPECT_EQ(error.source(), "MD5Hash.HashFile");
        EXPECT_EQ(error.description(), "File doesn't exist");
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_TRUE(script_->created.empty());
}

TEST_F(MD5HashFileTest, NamesThatExistButAreNoRegularFileRaiseTheOpenError) {
    ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
    const int descriptors = OpenDescriptorCount();
    // A directory passes the existence test; a pipe must not block waiting for a writer.
    for (const std::string& name : {dir_.path().string(), dir_ / "pipe"}) {
        const Error error = HashFileError(name);
        EXPECT_EQ(error.number(), 75) << name;
        EXPECT_EQ(error.description(), "Path/File access error");
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    EXPECT_TRUE(script_->created.empty());
}

TEST_F(MD5HashFileTest, UnreadableFileRaisesPermissionDenied) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind the superuser";
    }
    WriteFile(dir_ / "secret", PatternBytes(10));
    ASSERT_EQ(::chmod((dir_ / "secret").c_str(), 0), 0);
    const Error error = HashFileError(dir_ / "secret");
    EXPECT_EQ(error.number(), 70);
    EXPECT_EQ(error.description(), "Permission denied");
}

// Opens through the real file access, then changes the file's length before the first read.
class ResizingFileAccess final : public FileAccess {
  public:
    ResizingFileAccess(std::uintmax_t new_length) : new_length_(new_length) {}
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

TEST_F(MD5HashFileTest, FileThatShrinksWhileReadRaisesInputPastEndAndClosesIt) {
    const auto bytes = PatternBytes(2 * kBlock + 7);
    WriteFile(dir_ / "data", bytes);
    UseFileAccess(std::make_unique<ResizingFileAccess>(kBlock + 3));
    const int descriptors = OpenDescriptorCount();

    const Error error = HashFileError(dir_ / "data");
    EXPECT_EQ(error.number(), 62);
    EXPECT_EQ(error.description(), "Input past end of file");
    EXPECT_EQ(OpenDescriptorCount(), descriptors);

    // The instance stays usable, and the failed operation's hash object is released.
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(hasher_->HashBytes(abc), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(script_->LiveHashes(), 0);
}

TEST_F(MD5HashFileTest, FileThatGrowsWhileReadIsHashedUpToItsLengthAtOpen) {
    const auto bytes = PatternBytes(kBlock + 100);
    WriteFile(dir_ / "data", bytes);
    UseFileAccess(std::make_unique<ResizingFileAccess>(5 * kBlock));
    EXPECT_EQ(hasher_->HashFile(dir_ / "data"), hasher_->HashBytes(bytes));
}

long PeakResidentKib() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST_F(MD5HashFileTest, SparseFileBeyondFourGibIsHashedWholeInFlatMemory) {
    const std::string path = dir_ / "sparse";
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
