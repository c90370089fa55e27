// The MD5 hasher: digests, errors, and no hash object outliving an operation, whatever failed.
#include "auth/md5_hash.h"

#include <gtest/gtest.h>

#include <fstream>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "support/raised_error.h"
#include "support/temp_dir.h"

namespace varnholt {
namespace {

using testing::RaisedError;
enum class Step { kAcquire, kCreate, kHashData, kGetSize, kGetValue };

// Fails the chosen step with code, counting the hash objects held.
class FailingCryptoService final : public CryptoService {
  public:
    FailingCryptoService(Step fail_at, std::int32_t code, int& live)
        : fail_at_(fail_at), code_(code), live_(live) {}
    bool AcquireContext(CryptoHandle& provider) override { return Go(Step::kAcquire, provider); }
    bool CreateMd5Hash(CryptoHandle, CryptoHandle& hash) override {
        live_ += fail_at_ != Step::kCreate;
        return Go(Step::kCreate, hash);
    }
    bool HashData(CryptoHandle, const std::uint8_t*, std::size_t) override {
        return fail_at_ != Step::kHashData;
    }
    bool GetHashSize(CryptoHandle, std::uint32_t& size) override {
        size = 16;
        return fail_at_ != Step::kGetSize;
    }
    bool GetHashValue(CryptoHandle, std::uint8_t*, std::uint32_t&) override { return false; }
    void DestroyHash(CryptoHandle) noexcept override { --live_; }
    void ReleaseContext(CryptoHandle) noexcept override {}
    std::int32_t LastErrorCode() const noexcept override { return code_; }

  private:
    bool Go(Step step, CryptoHandle& handle) const {
        handle = fail_at_ == step ? 0 : 1;
        return handle != 0;
    }
    Step fail_at_;
    std::int32_t code_;
    int& live_;
};

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class MD5HashTest : public ::testing::Test {
  protected:
    MD5Hash hasher_{platform::CreateCryptoService(), platform::CreateFileAccess()};
};

TEST_F(MD5HashTest, BytesGiveTheReferenceDigestsInUpperCase) {
    EXPECT_EQ(hasher_.HashBytes(Bytes("a")), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(RaisedError([&] { hasher_.HashBytes({}); }).number(), 9);
}

TEST_F(MD5HashTest, FilesGiveTheDigestOfTheirBytes) {
    testing::TempDir dir;
    constexpr std::size_t kBlock = MD5Hash::kBlockSize;
    for (const std::size_t size : {std::size_t{1}, kBlock, kBlock + 1, 3 * kBlock - 1}) {
        std::string bytes(size, 'x');
        std::ofstream(dir / "data", std::ios::binary) << bytes;
        EXPECT_EQ(hasher_.HashFile(dir / "data"), hasher_.HashBytes(Bytes(bytes))) << size;
    }
    std::ofstream(dir / "empty", std::ios::binary).close();
    EXPECT_EQ(hasher_.HashFile(dir / "empty"), "D41D8CD98F00B204E9800998ECF8427E");
    for (const std::string& name : {dir / "missing", std::string()})
        EXPECT_EQ(RaisedError([&] { hasher_.HashFile(name); }).number(), -2147171518) << name;
    EXPECT_EQ(RaisedError([&] { hasher_.HashFile(dir.path().string()); }).number(), 75);
}

struct ServiceFailure {
    Step step;
    std::int32_t code;
    std::int32_t number;
    const char* source;
};

class MD5HashServiceFailureTest : public ::testing::TestWithParam<ServiceFailure> {};

TEST_P(MD5HashServiceFailureTest, RaisesItsNumberWithTheCodeAndLeavesNothingHeld) {
    const ServiceFailure& failure = GetParam();
    int live = 0;
    const Error error = RaisedError([&] {
        MD5Hash(std::make_unique<FailingCryptoService>(failure.step, failure.code, live),
                platform::CreateFileAccess())
            .HashBytes(Bytes("abc"));
    });
    EXPECT_EQ(error.number(), failure.number);
    EXPECT_EQ(error.source(), failure.source);
    EXPECT_TRUE(error.description().ends_with(", system error " + std::to_string(failure.code)));
    EXPECT_EQ(live, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, MD5HashServiceFailureTest,
    ::testing::Values(ServiceFailure{Step::kAcquire, 87, -2147171502, "MD5Hash.Class_Initialize"},
                      ServiceFailure{Step::kCreate, -2146893816, -2147171534, "MD5Hash"},
                      ServiceFailure{Step::kHashData, 0, -2147171566, "MD5Hash"},
                      ServiceFailure{Step::kGetSize, 6, -2147171550, "MD5Hash"},
                      ServiceFailure{Step::kGetValue, -2147483647 - 1, -2147171548, "MD5Hash"}));

}  // namespace
}  // namespace varnholt
