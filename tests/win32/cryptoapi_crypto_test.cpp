#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "auth/crypto_service.h"

namespace varnholt {
namespace {

// The service as the hasher drives it, with each refusal's code as CryptoAPI reports it.
class CryptoApiServiceTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(crypto_->AcquireContext(provider_)); }
    void TearDown() override {
        if (provider_ != 0) {
            crypto_->ReleaseContext(provider_);
        }
    }

    std::unique_ptr<CryptoService> crypto_ = platform::CreateCryptoService();
    CryptoHandle provider_ = 0;
};

TEST_F(CryptoApiServiceTest, HashesMd5AndReportsItsSizeThenItsValue) {
    CryptoHandle hash = 0;
    ASSERT_TRUE(crypto_->CreateMd5Hash(provider_, hash));
    const std::string_view pieces[] = {"mess", "age digest"};
    for (std::string_view piece : pieces) {
        ASSERT_TRUE(crypto_->HashData(hash, reinterpret_cast<const std::uint8_t*>(piece.data()),
                                      piece.size()));
    }
    std::uint32_t size = 0;
    ASSERT_TRUE(crypto_->GetHashSize(hash, size));
    EXPECT_EQ(size, 16u);
    std::uint8_t value[16] = {};
    std::uint32_t length = sizeof value;
    ASSERT_TRUE(crypto_->GetHashValue(hash, value, length));
    EXPECT_EQ(length, 16u);
    const std::uint8_t expected[16] = {0xF9, 0x6B, 0x69, 0x7D, 0x7C, 0xB7, 0x93, 0x8D,
                                       0x52, 0x5A, 0x2F, 0x31, 0xAA, 0xF1, 0x61, 0xD0};
    EXPECT_EQ(std::basic_string_view<std::uint8_t>(value, 16),
              std::basic_string_view<std::uint8_t>(expected, 16));
    crypto_->DestroyHash(hash);
}

TEST_F(CryptoApiServiceTest, AFailedCallLeavesTheSystemsCodeForIt) {
    CryptoHandle hash = 0;
    EXPECT_FALSE(crypto_->CreateMd5Hash(0, hash));
    EXPECT_EQ(hash, 0u);
    // Windows names the bad handle, Wine the bad parameter; either way the call's own code.
    const auto code = static_cast<std::uint32_t>(crypto_->LastErrorCode());
    EXPECT_TRUE(code == static_cast<std::uint32_t>(NTE_BAD_UID) || code == ERROR_INVALID_PARAMETER)
        << code;

    ASSERT_TRUE(crypto_->CreateMd5Hash(provider_, hash));
    std::uint8_t value[16] = {};
    std::uint32_t length = 8;  // too small for the digest
    EXPECT_FALSE(crypto_->GetHashValue(hash, value, length));
    EXPECT_EQ(crypto_->LastErrorCode(), ERROR_MORE_DATA);

    length = sizeof value;
    ASSERT_TRUE(crypto_->GetHashValue(hash, value, length));
    // A finished hash takes no more data, and the code says why.
    const std::uint8_t more = 1;
    EXPECT_FALSE(crypto_->HashData(hash, &more, 1));
    EXPECT_EQ(static_cast<std::uint32_t>(crypto_->LastErrorCode()),
              static_cast<std::uint32_t>(NTE_BAD_HASH_STATE));
    crypto_->DestroyHash(hash);
}

}  // namespace
}  // namespace varnholt
