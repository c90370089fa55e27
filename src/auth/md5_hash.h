// MD5 digests of byte arrays and of whole files, as 32 upper-case hex characters.
// The arithmetic is the platform's cryptographic service's; this class drives it and turns
// each refusal into its own numbered error.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "auth/crypto_service.h"
#include "auth/file_access.h"

namespace varnholt {

class MD5Hash {
  public:
    // Class_Initialize: acquires the provider context, or raises and holds nothing.
    MD5Hash(std::unique_ptr<CryptoService> crypto, std::unique_ptr<FileAccess> files);
    // Class_Terminate: destroys a hash object still held, then releases the context.
    ~MD5Hash();

    MD5Hash(const MD5Hash&) = delete;
    MD5Hash& operator=(const MD5Hash&) = delete;

    // The digest of every byte, first to last; an empty array raises error 9.
    std::string HashBytes(std::span<const std::uint8_t> bytes);
    // The digest of the file's whole content, read in blocks of kBlockSize bytes.
    std::string HashFile(std::string path);

    static constexpr std::size_t kBlockSize = 16384;

  private:
    void BeginHash();
    void HashBlock(std::span<const std::uint8_t> block);
    std::string EndHash();

    std::unique_ptr<CryptoService> crypto_;
    std::unique_ptr<FileAccess> files_;
    CryptoHandle HashHandle = 0;      // the running operation's hash object; 0 when none
    CryptoHandle ProviderHandle = 0;  // held for the instance's whole life
};

}  // namespace varnholt
