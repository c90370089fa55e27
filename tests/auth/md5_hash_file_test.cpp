#include <gtest/gtest.h>

#include <vector>

#include "auth/file_access.h"
#include "auth/md5_hash.h"
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

class MD5HashFileTest : public ::testing::Test {
  protected:
    TempDir dir_;
    std::shared_ptr<CryptoScript> script_ = std::make_shared<CryptoScript>();
    MD5Hash hasher_{std::make_unique<RecordingCryptoService>(script_),
                    platform::CreateFileAccess()};
};

TEST_F(MD5HashFileTest, EqualsHashBytesAtTheBlockEdges) {
    const std::size_t sizes[] = {1, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock};
    for (std::size_t size : sizes) {
        const auto bytes = PatternBytes(size);
        WriteFile(dir_ / "data", bytes);
        script_->blocks.clear();
        const std::string from_file = hasher_.HashFile(dir_ / "data");

        // Full blocks first, then one block of exactly the rest.
        std::vector<std::size_t> expected_blocks(size / kBlock, kBlock);
        if (size % kBlock != 0) {
            expected_blocks.push_back(size % kBlock);
        }
        EXPECT_EQ(script_->blocks, expected_blocks) << size;
        EXPECT_EQ(from_file, hasher_.HashBytes(bytes)) << size;
    }
    EXPECT_EQ(script_->LiveHashes(), 0);
}

TEST_F(MD5HashFileTest, EmptyFileGivesTheDigestOfEmptyInputWithoutHashingABlock) {
    WriteFile(dir_ / "empty", {});
    EXPECT_EQ(hasher_.HashFile(dir_ / "empty"), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_TRUE(script_->blocks.empty());
}

TEST_F(MD5HashFileTest, MissingNameFailsTheExistenceTestAndADirectoryTheOpen) {
    for (const std::string& name : {dir_ / "missing", dir_ / "missing/below", std::string()}) {
        const Error error = RaisedError([&] { hasher_.HashFile(name); });
        EXPECT_EQ(error.number(), -2147171518) << name;
        EXPECT_EQ(error.source(), "MD5Hash.HashFile");
        EXPECT_EQ(error.description(), "File doesn't exist");
    }
    const Error error = RaisedError([&] { hasher_.HashFile(dir_.path().string()); });
    EXPECT_EQ(error.number(), 75);
    EXPECT_EQ(error.description(), "Path/File access error");
    EXPECT_TRUE(script_->created.empty());
}

}  // namespace
}  // namespace varnholt
