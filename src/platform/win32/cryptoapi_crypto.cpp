// The cryptographic service over CryptoAPI in advapi32. Handles are the API's own
// HCRYPTPROV and HCRYPTHASH; the last-error code is taken right after each failed call.
#include <windows.h>
// after windows.h, which it builds on
#include <wincrypt.h>

#include <algorithm>
#include <memory>

#include "auth/crypto_service.h"

namespace varnholt::platform {
namespace {

class CryptoApiService final : public CryptoService {
  public:
    bool AcquireContext(CryptoHandle& provider) override {
        HCRYPTPROV acquired = 0;
        // The narrow entry point, with the provider name as narrow text.
        if (!CryptAcquireContextA(&acquired, nullptr, "Microsoft Base Cryptographic Provider v1.0",
                                  PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
            return Fail();
        }
        provider = acquired;
        return true;
    }

    bool CreateMd5Hash(CryptoHandle provider, CryptoHandle& hash) override {
        HCRYPTHASH created = 0;
        if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &created)) {
            return Fail();
        }
        hash = created;
        return true;
    }

    bool HashData(CryptoHandle hash, const std::uint8_t* data, std::size_t length) override {
        // CryptHashData takes a DWORD length; larger blocks go in consecutive pieces.
        do {
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(length, MAXDWORD));
            if (!CryptHashData(hash, data, piece, 0)) {
                return Fail();
            }
            data += piece;
            length -= piece;
        } while (length > 0);
        return true;
    }

    bool GetHashSize(CryptoHandle hash, std::uint32_t& size) override {
        DWORD value = 0;
        DWORD value_length = sizeof value;
        if (!CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &value_length,
                               0)) {
            return Fail();
        }
        size = value;
        return true;
    }

    bool GetHashValue(CryptoHandle hash, std::uint8_t* buffer, std::uint32_t& length) override {
        DWORD delivered = length;
        if (!CryptGetHashParam(hash, HP_HASHVAL, buffer, &delivered, 0)) {
            return Fail();
        }
        length = delivered;
        return true;
    }

    void DestroyHash(CryptoHandle hash) noexcept override { CryptDestroyHash(hash); }

    void ReleaseContext(CryptoHandle provider) noexcept override {
        CryptReleaseContext(provider, 0);
    }

    std::int32_t LastErrorCode() const noexcept override { return last_error_; }

  private:
    bool Fail() noexcept {
        last_error_ = static_cast<std::int32_t>(GetLastError());
        return false;
    }

    std::int32_t last_error_ = 0;
};

}  // namespace

std::unique_ptr<CryptoService> CreateCryptoService() {
    return std::make_unique<CryptoApiService>();
}

}  // namespace varnholt::platform
