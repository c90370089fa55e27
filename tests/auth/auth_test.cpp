// The MD5 hasher: digests, errors, and no hash object outliving an operation, whatever failed;
// and the password digest made with it.
#include "auth/md5_hash.h"

#include <gtest/gtest.h>

#include <fstream>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "auth/password.h"
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

// Bytes' digests against references: PasswordDigestTest. No bytes are an error, an empty file not.
TEST_F(MD5HashTest, FilesGiveTheDigestOfTheirBytes) {
    EXPECT_EQ(RaisedError([&] { hasher_.HashBytes({}); }).number(), 9);
    testing::TempDir dir;
    constexpr std::size_t kBlock = MD5Hash::kBlockSize;
    for (const std::size_t size : {std::size_t{1}, kBlock, kBlock + 1, 3 * kBlock - 1}) {
        std::string bytes(size, 'x');
        std::ofstream(dir / "data", std::ios::binary) << bytes;
        EXPECT_EQ(hasher_.HashFile(dir / "data"), hasher_.HashBytes(Bytes(bytes))) << size;
    }
    std::ofstream(dir / "empty", std::ios::binary).close();
    EXPECT_EQ(hasher_.HashFile(dir / "empty"), "D41D8CD98F00B204E9800998ECF8427E");
}  // what fails to open: PosixHashFileTest and Win32FilesTest

TEST(MD5HashServiceFailureTest, EachStepRaisesItsNumberWithTheCodeAndLeavesNothingHeld) {
    const struct {
        Step step;
        std::int32_t code, number;
        const char* source;
    } failures[] = {{Step::kAcquire, 87, -2147171502, "MD5Hash.Class_Initialize"},
                    {Step::kCreate, -2146893816, -2147171534, "MD5Hash"},
                    {Step::kHashData, 0, -2147171566, "MD5Hash"},
                    {Step::kGetSize, 6, -2147171550, "MD5Hash"},
                    {Step::kGetValue, -2147483647 - 1, -2147171548, "MD5Hash"}};
    for (const auto& failure : failures) {
        int live = 0;
        const Error error = RaisedError([&] {
            MD5Hash(std::make_unique<FailingCryptoService>(failure.step, failure.code, live),
                    platform::CreateFileAccess())
                .HashBytes(Bytes("abc"));
        });
        EXPECT_EQ(error.number(), failure.number);
        EXPECT_EQ(error.source(), failure.source);
        EXPECT_TRUE(
            error.description().ends_with(", system error " + std::to_string(failure.code)));
        EXPECT_EQ(live, 0) << failure.number;
    }
}

// MD5 over the UTF-16LE bytes of the text as typed and the salt (references from openssl).
TEST(PasswordDigestTest, HashesTheTextAsTypedWithTheSaltInUtf16LittleEndian) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "8B85AA609C0391B0382655E0EC4C8C64"},
        {"mango", "63A55B3C48C3FF7AC23FA471A4B74249"},
        {" mango\t", "57F0A48D5D0650B065C6D973A2411DEC"},     // nothing is trimmed
        {"密码 пароль", "19DBF57B4BE2180DF547DEF6E64D05C7"},  // three- and two-byte UTF-8
    };
    for (const auto& [password, digest] : cases)
        EXPECT_EQ(PasswordDigest(password), digest) << password;
}

}  // namespace
}  // namespace varnholt
