// HashFile over the POSIX file access: special files, rights, a file shorter than its size,
// and a file past the 32-bit lengths.
#include <fcntl.h>

#include <gtest/gtest.h>

#include "auth/crypto_service.h"
#include "auth/md5_hash.h"
#include "support/hive_files.h"
#include "support/raised_error.h"

namespace varnholt {
namespace {

long OpenDescriptorCount() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// A NUL inside a name is not the shorter name the system would see; a folder opens on Linux
// but is no file; a pipe must not block waiting for a writer; permissions bind a user; a
// kernel attribute file claims a page but holds a few bytes, as a file shrinking while read.
TEST(PosixHashFileTest, FailuresGiveTheRuntimesNumberAndLeaveNoDescriptorOpen) {
    testing::TempDir dir;
    std::ofstream(dir / "data") << std::string(2 * MD5Hash::kBlockSize + 7, 'x');
    std::filesystem::copy_file(dir / "data", dir / "secret");
    ASSERT_EQ(::chmod((dir / "secret").c_str(), 0), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0666), 0);
    MD5Hash hasher(platform::CreateCryptoService(), platform::CreateFileAccess());
    const long descriptors = OpenDescriptorCount();
    const std::pair<std::string, std::int32_t> cases[] = {
        {dir / "missing", -2147171518}, {(dir / "data") + '\0' + "x", -2147171518},
        {dir.path().string(), 75},      {dir / "pipe", 75},
        {dir / "secret", 70},           {"/sys/devices/system/cpu/online", 62},
    };
    for (const auto& [name, number] : cases) {
        testing::AsOrdinaryUser as_user;  // permissions do not bind the superuser
        EXPECT_EQ(testing::RaisedError([&] { hasher.HashFile(name); }).number(), number) << name;
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST(PosixHashLargeFileTest, SparseFileBeyondFourGibIsHashedWhole) {
    testing::TempDir dir;
    const std::string path = dir / "sparse";
    const off_t length = (off_t{1} << 32) + 3 * MD5Hash::kBlockSize + 11;
    // Marks near the start, across the 2 GiB and 4 GiB lines and in the last block.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(::ftruncate(fd, length), 0);
    for (off_t offset : {off_t{5}, (off_t{1} << 31) - 2, (off_t{1} << 32) - 1, length - 4})
        ASSERT_EQ(::pwrite(fd, "mark", 4, offset), 4);
    ::close(fd);
    MD5Hash hasher(platform::CreateCryptoService(), platform::CreateFileAccess());
    // openssl md5's; the memory it takes: bench/hash_file.sh.
    EXPECT_EQ(hasher.HashFile(path), "DBF8B13B1A094DA4B130070C8C5268E9");
}

}  // namespace
}  // namespace varnholt
