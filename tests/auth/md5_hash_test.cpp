// The MD5 hasher over the platform's own cryptographic service and file access: digests,
// errors, and that no hash object outlives an operation, whatever failed.
#include "auth/md5_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "runtime/error.h"
#include "support/raised_error.h"
#include "support/temp_dir.h"

namespace varnholt {
namespace {

using testing::RaisedError;
constexpr std::size_t kBlock = MD5Hash::kBlockSize;

enum class Step { kAcquire, kCreate, kHashData, kGetSize, kGetValue };

struct Record {
    std::optional<Step> fail_at;
    std::int32_t fail_code = 0;
    int contexts_released = 0;
    std::vector<CryptoHandle> created;
    std::vector<CryptoHandle> destroyed;
    std::vector<std::size_t> blocks;  // lengths handed to HashData
    int LiveHashes() const { return static_cast<int>(created.size() - destroyed.size()); }
};

// Passes every call to the real service, records it, and fails the chosen step with its code.
class RecordingCryptoService final : public CryptoService {
  public:
    explicit RecordingCryptoService(std::shared_ptr<Record> record) : record_(std::move(record)) {}

    bool AcquireContext(CryptoHandle& provider) override {
        return Go(Step::kAcquire) && real_->AcquireContext(provider);
    }
    bool CreateMd5Hash(CryptoHandle provider, CryptoHandle& hash) override {
        if (!Go(Step::kCreate) || !real_->CreateMd5Hash(provider, hash))
            return false;
        record_->created.push_back(hash);
        return true;
    }
    bool HashData(CryptoHandle hash, const std::uint8_t* data, std::size_t length) override {
        ExpectLive(hash);
        record_->blocks.push_back(length);
        return Go(Step::kHashData) && real_->HashData(hash, data, length);
    }
    bool GetHashSize(CryptoHandle hash, std::uint32_t& size) override {
        return Go(Step::kGetSize) && real_->GetHashSize(hash, size);
    }
    bool GetHashValue(CryptoHandle hash, std::uint8_t* buffer, std::uint32_t& length) override {
        return Go(Step::kGetValue) && real_->GetHashValue(hash, buffer, length);
    }
    void DestroyHash(CryptoHandle hash) noexcept override {
        if (ExpectLive(hash)) {
            record_->destroyed.push_back(hash);
            real_->DestroyHash(hash);
        }
    }
    void ReleaseContext(CryptoHandle provider) noexcept override {
        ++record_->contexts_released;
        real_->ReleaseContext(provider);
    }
    std::int32_t LastErrorCode() const noexcept override { return last_error_; }

  private:
    bool Go(Step step) {
        if (record_->fail_at != step)
            return true;
        last_error_ = record_->fail_code;
        return false;
    }
    // Every handle the hasher passes must be one it created and has not destroyed.
    bool ExpectLive(CryptoHandle hash) const {
        const auto count = [&](const auto& handles) {
            return std::count(handles.begin(), handles.end(), hash);
        };
        const bool live = count(record_->created) - count(record_->destroyed) == 1;
        EXPECT_TRUE(live) << "handle " << hash << " is not a live hash object";
        return live;
    }

    std::shared_ptr<Record> record_;
    std::unique_ptr<CryptoService> real_ = platform::CreateCryptoService();
    std::int32_t last_error_ = 0;
};

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class MD5HashTest : public ::testing::Test {
  protected:
    std::shared_ptr<Record> record_ = std::make_shared<Record>();
    std::optional<MD5Hash> hasher_{std::in_place, std::make_unique<RecordingCryptoService>(record_),
                                   platform::CreateFileAccess()};
};

TEST_F(MD5HashTest, GivesTheReferenceDigestsInUpperCaseEachArrayInOneBlock) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"a", "0CC175B9C0F1B6A831C399E269772661"},  // first byte below 16: a leading zero
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& [input, digest] : cases)
        EXPECT_EQ(hasher_->HashBytes(Bytes(input)), digest) << input;
    EXPECT_EQ(record_->blocks, (std::vector<std::size_t>{1, 3, 14, 80}));
    EXPECT_EQ(record_->LiveHashes(), 0);
    hasher_.reset();  // the recorder fails the test if a finished hash is destroyed again
    EXPECT_EQ(record_->contexts_released, 1);
}

TEST_F(MD5HashTest, EmptyArrayRaisesSubscriptOutOfRangeWithoutCallingTheService) {
    const Error error = RaisedError([&] { hasher_->HashBytes({}); });
    EXPECT_EQ(error.number(), 9);
    EXPECT_EQ(error.description(), "Subscript out of range");
    EXPECT_TRUE(record_->created.empty());
}

TEST_F(MD5HashTest, NextOperationReleasesTheHashObjectOfAFailedOne) {
    record_->fail_at = Step::kHashData;
    EXPECT_THROW(hasher_->HashBytes(Bytes("lost")), Error);
    ASSERT_EQ(record_->LiveHashes(), 1);
    record_->fail_at.reset();
    EXPECT_EQ(hasher_->HashBytes(Bytes("abc")), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(record_->LiveHashes(), 0);
    EXPECT_EQ(record_->destroyed.front(), record_->created.front());
}

// Full blocks first, then one block of exactly the rest; the same digest as the bytes'.
TEST_F(MD5HashTest, FilesAreHashedInBlocksUpToTheirLength) {
    testing::TempDir dir;
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, kBlock - 1, kBlock, kBlock + 1, 3 * kBlock}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(i * 31 + i / 251);  // each block different
        std::ofstream(dir / "data", std::ios::binary) << bytes;
        record_->blocks.clear();
        const std::string digest = hasher_->HashFile(dir / "data");
        std::vector<std::size_t> expected_blocks(size / kBlock, kBlock);
        if (size % kBlock != 0)
            expected_blocks.push_back(size % kBlock);
        EXPECT_EQ(record_->blocks, expected_blocks) << size;
        EXPECT_EQ(digest,
                  size == 0 ? "D41D8CD98F00B204E9800998ECF8427E" : hasher_->HashBytes(Bytes(bytes)))
            << size;
    }
    EXPECT_EQ(record_->LiveHashes(), 0);
}

TEST_F(MD5HashTest, MissingNamesFailTheExistenceTestAndAFolderTheOpen) {
    testing::TempDir dir;
    for (const std::string& name : {dir / "missing", dir / "missing/below", std::string()}) {
        const Error error = RaisedError([&] { hasher_->HashFile(name); });
        EXPECT_EQ(error.number(), -2147171518) << name;
        EXPECT_EQ(error.source(), "MD5Hash.HashFile");
    }
    EXPECT_EQ(RaisedError([&] { hasher_->HashFile(dir.path().string()); }).number(), 75);
    EXPECT_TRUE(record_->created.empty());
}

struct ServiceFailure {
    const char* name;
    Step step;
    std::int32_t code;
    std::int32_t number;
    const char* source;
};

class MD5HashServiceFailureTest : public ::testing::TestWithParam<ServiceFailure> {};

TEST_P(MD5HashServiceFailureTest, RaisesItsNumberAndSourceWithTheCodeAndLeavesNothingHeld) {
    const ServiceFailure& failure = GetParam();
    auto record = std::make_shared<Record>();
    record->fail_at = failure.step;
    record->fail_code = failure.code;
    const Error error = RaisedError([&] {
        MD5Hash(std::make_unique<RecordingCryptoService>(record), platform::CreateFileAccess())
            .HashBytes(Bytes("abc"));
    });
    EXPECT_EQ(error.number(), failure.number);
    EXPECT_EQ(error.source(), failure.source);
    EXPECT_TRUE(error.description().ends_with(", system error " + std::to_string(failure.code)));
    EXPECT_EQ(record->LiveHashes(), 0);
    EXPECT_EQ(record->contexts_released, failure.step == Step::kAcquire ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, MD5HashServiceFailureTest,
    ::testing::Values(
        ServiceFailure{"Acquire", Step::kAcquire, 87, -2147171502, "MD5Hash.Class_Initialize"},
        ServiceFailure{"Create", Step::kCreate, -2146893816, -2147171534, "MD5Hash"},
        ServiceFailure{"HashData", Step::kHashData, 0, -2147171566, "MD5Hash"},
        ServiceFailure{"GetSize", Step::kGetSize, 6, -2147171550, "MD5Hash"},
        ServiceFailure{"GetValue", Step::kGetValue, -2147483647 - 1, -2147171548, "MD5Hash"}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace varnholt
