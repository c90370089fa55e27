#include "auth/md5_hash.h"

#include <gtest/gtest.h>

#include <string_view>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "runtime/error.h"
#include "support/raised_error.h"
#include "support/recording_crypto_service.h"

namespace varnholt {
namespace {

using testing::CryptoScript;
using testing::CryptoStep;
using testing::RaisedError;
using testing::RecordingCryptoService;

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::unique_ptr<MD5Hash> MakeHasher(const std::shared_ptr<CryptoScript>& script) {
    return std::make_unique<MD5Hash>(std::make_unique<RecordingCryptoService>(script),
                                     platform::CreateFileAccess());
}

TEST(MD5HashTest, GivesTheReferenceDigestsInUpperCase) {
    MD5Hash hasher(platform::CreateCryptoService(), platform::CreateFileAccess());
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"a", "0CC175B9C0F1B6A831C399E269772661"},  // first byte below 16: a leading zero
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& [input, digest] : cases) {
        EXPECT_EQ(hasher.HashBytes(Bytes(input)), digest) << input;
    }
    // The empty input is only reachable through a file: see the file tests.
}

TEST(MD5HashTest, OperationsInARowAreIndependentAndLeaveNoHashObject) {
    auto script = std::make_shared<CryptoScript>();
    {
        auto hasher = MakeHasher(script);
        const std::string_view xyz = "xyz";
        EXPECT_EQ(hasher->HashBytes(Bytes(xyz)), "D16FB36F0911F878998C136191AF705E");
        EXPECT_EQ(hasher->HashBytes(Bytes("abc")), "900150983CD24FB0D6963F7D28E17F72");
        // Each array goes to the service whole, in one call, without a copy.
        EXPECT_EQ(script->blocks, (std::vector<std::size_t>{3, 3}));
        EXPECT_EQ(script->block_starts.front(), Bytes(xyz).data());
        EXPECT_EQ(script->LiveHashes(), 0);
    }
    // The recorder fails the test if the destructor destroys a finished hash again.
    EXPECT_EQ(script->destroyed.size(), 2u);
    EXPECT_EQ(script->contexts_released, 1);
}

TEST(MD5HashTest, EmptyArrayRaisesSubscriptOutOfRangeWithoutCallingTheService) {
    auto script = std::make_shared<CryptoScript>();
    auto hasher = MakeHasher(script);
    const Error error = RaisedError([&] { hasher->HashBytes({}); });
    EXPECT_EQ(error.number(), 9);
    EXPECT_EQ(error.description(), "Subscript out of range");
    EXPECT_TRUE(script->created.empty());
    EXPECT_TRUE(script->blocks.empty());
}

struct ServiceFailure {
    CryptoStep step;
    std::int32_t code;
    std::int32_t number;
    const char* source;
    const char* description;
};

class MD5HashServiceFailureTest : public ::testing::TestWithParam<ServiceFailure> {};

TEST_P(MD5HashServiceFailureTest, RaisesItsNumberSourceAndDescriptionWithTheCode) {
    const ServiceFailure& failure = GetParam();
    auto script = std::make_shared<CryptoScript>();
    script->fail_at = failure.step;
    script->fail_code = failure.code;
    const Error error = RaisedError([&] { MakeHasher(script)->HashBytes(Bytes("abc")); });
    EXPECT_EQ(error.number(), failure.number);
    EXPECT_EQ(error.source(), failure.source);
    EXPECT_EQ(error.description(), failure.description);
    // Whatever failed, nothing the service handed out outlives the hasher.
    EXPECT_EQ(script->LiveHashes(), 0);
    EXPECT_EQ(script->contexts_released, failure.step == CryptoStep::kAcquire ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, MD5HashServiceFailureTest,
    ::testing::Values(
        ServiceFailure{CryptoStep::kAcquire, 87, -2147171502, "MD5Hash.Class_Initialize",
                       "Failed to obtain access to CryptoAPI, system error 87"},
        ServiceFailure{CryptoStep::kCreate, -2146893816, -2147171534, "MD5Hash",
                       "Failed to create CryptoAPI Hash object, system error -2146893816"},
        ServiceFailure{CryptoStep::kHashData, 0, -2147171566, "MD5Hash",
                       "Failed to hash data block, system error 0"},
        ServiceFailure{CryptoStep::kGetSize, 6, -2147171550, "MD5Hash",
                       "Failed to obtain hash value length, system error 6"},
        ServiceFailure{CryptoStep::kGetValue, -2147483647 - 1, -2147171548, "MD5Hash",
                       "Failed to obtain hash value, system error -2147483648"}));

TEST(MD5HashTest, NextOperationReleasesTheHashObjectOfAFailedOne) {
    auto script = std::make_shared<CryptoScript>();
    auto hasher = MakeHasher(script);
    script->fail_at = CryptoStep::kHashData;
    EXPECT_THROW(hasher->HashBytes(Bytes("lost")), Error);
    ASSERT_EQ(script->LiveHashes(), 1);
    const CryptoHandle stale = script->created.back();

    script->fail_at.reset();
    EXPECT_EQ(hasher->HashBytes(Bytes("abc")), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(script->LiveHashes(), 0);
    ASSERT_FALSE(script->destroyed.empty());
    EXPECT_EQ(script->destroyed.front(), stale);
}

}  // namespace
}  // namespace varnholt
