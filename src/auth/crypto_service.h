// The platform's cryptographic service as the MD5 hasher uses it: a provider context, and
// MD5 hash objects created from it. Each call returns true on success; after a failure,
// LastErrorCode() gives the service's own code for that call (0 where it has none).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace varnholt {

using CryptoHandle = std::uintptr_t;  // 0 means "none held"

class CryptoService {
  public:
    virtual ~CryptoService() = default;

    virtual bool AcquireContext(CryptoHandle& provider) = 0;
    virtual bool CreateMd5Hash(CryptoHandle provider, CryptoHandle& hash) = 0;
    virtual bool HashData(CryptoHandle hash, const std::uint8_t* data, std::size_t length) = 0;
    virtual bool GetHashSize(CryptoHandle hash, std::uint32_t& size) = 0;
    // length: in, the buffer's size; out, the number of digest bytes delivered.
    virtual bool GetHashValue(CryptoHandle hash, std::uint8_t* buffer, std::uint32_t& length) = 0;
    virtual void DestroyHash(CryptoHandle hash) noexcept = 0;
    virtual void ReleaseContext(CryptoHandle provider) noexcept = 0;

    virtual std::int32_t LastErrorCode() const noexcept = 0;
};

// The platform's service, defined by each platform under src/platform/.
namespace platform {
std::unique_ptr<CryptoService> CreateCryptoService();
}  // namespace platform

}  // namespace varnholt
