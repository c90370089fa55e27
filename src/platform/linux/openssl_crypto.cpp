// The cryptographic service over OpenSSL's EVP interface. A provider handle is the fetched
// MD5 algorithm; a hash handle is a digest context that keeps its value once finished, so the
// value can be asked for after its length.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "auth/crypto_service.h"

namespace varnholt::platform {
namespace {

struct Md5Hash {
    EVP_MD_CTX* context = nullptr;
    bool finished = false;
    unsigned int length = 0;
    unsigned char value[EVP_MAX_MD_SIZE] = {};

    ~Md5Hash() { EVP_MD_CTX_free(context); }
};

class OpenSslCryptoService final : public CryptoService {
  public:
    bool AcquireContext(CryptoHandle& provider) override {
        ERR_clear_error();
        EVP_MD* md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
        if (md5 == nullptr) {
            return Fail();
        }
        provider = reinterpret_cast<CryptoHandle>(md5);
        return true;
    }

    bool CreateMd5Hash(CryptoHandle provider, CryptoHandle& hash) override {
        ERR_clear_error();
        auto created = std::make_unique<Md5Hash>();
        created->context = EVP_MD_CTX_new();
        if (created->context == nullptr ||
            EVP_DigestInit_ex2(created->context, AsMd(provider), nullptr) != 1) {
            return Fail();
        }
        hash = reinterpret_cast<CryptoHandle>(created.release());
        return true;
    }

    bool HashData(CryptoHandle hash, const std::uint8_t* data, std::size_t length) override {
        ERR_clear_error();
        Md5Hash& target = AsHash(hash);
        if (target.finished) {
            return Fail();
        }
        if (EVP_DigestUpdate(target.context, data, length) != 1) {
            return Fail();
        }
        return true;
    }

    bool GetHashSize(CryptoHandle hash, std::uint32_t& size) override {
        ERR_clear_error();
        const int md_size = EVP_MD_CTX_get_size(AsHash(hash).context);
        if (md_size <= 0) {
            return Fail();
        }
        size = static_cast<std::uint32_t>(md_size);
        return true;
    }

    bool GetHashValue(CryptoHandle hash, std::uint8_t* buffer, std::uint32_t& length) override {
        ERR_clear_error();
        Md5Hash& target = AsHash(hash);
        if (!target.finished) {
            if (EVP_DigestFinal_ex(target.context, target.value, &target.length) != 1) {
                return Fail();
            }
            target.finished = true;
        }
        if (length < target.length) {
            return Fail();
        }
        std::memcpy(buffer, target.value, target.length);
        length = target.length;
        return true;
    }

    void DestroyHash(CryptoHandle hash) noexcept override {
        delete reinterpret_cast<Md5Hash*>(hash);
    }

    void ReleaseContext(CryptoHandle provider) noexcept override { EVP_MD_free(AsMd(provider)); }

    std::int32_t LastErrorCode() const noexcept override { return last_error_; }

  private:
    static EVP_MD* AsMd(CryptoHandle provider) { return reinterpret_cast<EVP_MD*>(provider); }
    static Md5Hash& AsHash(CryptoHandle hash) { return *reinterpret_cast<Md5Hash*>(hash); }

    // Keeps the first queued OpenSSL error of the failed call (0 when it queued none).
    bool Fail() noexcept {
        last_error_ = static_cast<std::int32_t>(ERR_get_error());
        ERR_clear_error();
        return false;
    }

    std::int32_t last_error_ = 0;
};

}  // namespace

std::unique_ptr<CryptoService> CreateCryptoService() {
    return std::make_unique<OpenSslCryptoService>();
}

}  // namespace varnholt::platform
