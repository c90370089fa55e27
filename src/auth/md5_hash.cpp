#include "auth/md5_hash.h"

#include <utility>
#include <vector>

#include "runtime/error.h"

namespace varnholt {
namespace {

constexpr char kSource[] = "MD5Hash";

[[noreturn]] void RaiseServiceError(std::uint32_t number, const char* source, const char* what,
                                    std::int32_t code) {
    Raise(ErrorNumber(number), source,
          std::string(what) + ", system error " + std::to_string(code));
}

}  // namespace

MD5Hash::MD5Hash(std::unique_ptr<CryptoService> crypto, std::unique_ptr<FileAccess> files)
    : crypto_(std::move(crypto)), files_(std::move(files)) {
    if (!crypto_->AcquireContext(ProviderHandle)) {
        ProviderHandle = 0;
        RaiseServiceError(0x8004C352, "MD5Hash.Class_Initialize",
                          "Failed to obtain access to CryptoAPI", crypto_->LastErrorCode());
    }
}

MD5Hash::~MD5Hash() {
    if (HashHandle != 0) {
        crypto_->DestroyHash(HashHandle);
    }
    crypto_->ReleaseContext(ProviderHandle);
}

std::string MD5Hash::HashBytes(std::span<const std::uint8_t> bytes) {
    // Checked before BeginHash so an empty array leaves no hash object behind.
    if (bytes.empty()) {
        RaiseRuntimeError(runtime_error_number::kSubscriptOutOfRange);
    }
    BeginHash();
    HashBlock(bytes);
    return EndHash();
}

std::string MD5Hash::HashFile(std::string path) {
    if (!files_->AttributesReadable(path)) {
        Raise(ErrorNumber(0x8004C342), "MD5Hash.HashFile", "File doesn't exist");
    }
    {
        const std::unique_ptr<OpenFile> file = files_->OpenReadOnly(path);
        // Exactly the length measured at open is read: a file that grows meanwhile is hashed
        // up to it, one that shrinks fails with the read's error.
        const std::uint64_t length = file->Length();
        const std::uint64_t full_blocks = length / kBlockSize;
        const std::size_t rest = static_cast<std::size_t>(length % kBlockSize);

        BeginHash();
        std::vector<std::uint8_t> buffer(kBlockSize);
        for (std::uint64_t block = 0; block < full_blocks; ++block) {
            file->Read(buffer.data(), buffer.size());
            HashBlock(buffer);
        }
        if (rest > 0) {
            buffer.resize(rest);
            file->Read(buffer.data(), buffer.size());
            HashBlock(buffer);
        }
    }  // the file closes here, before the digest is read
    return EndHash();
}

void MD5Hash::BeginHash() {
    // A hash object left by a failed operation is of no further use.
    if (HashHandle != 0) {
        crypto_->DestroyHash(std::exchange(HashHandle, 0));
    }
    CryptoHandle hash = 0;
    if (!crypto_->CreateMd5Hash(ProviderHandle, hash)) {
        RaiseServiceError(0x8004C332, kSource, "Failed to create CryptoAPI Hash object",
                          crypto_->LastErrorCode());
    }
    HashHandle = hash;
}

// Every caller passes at least one byte.
void MD5Hash::HashBlock(std::span<const std::uint8_t> block) {
    if (!crypto_->HashData(HashHandle, block.data(), block.size())) {
        RaiseServiceError(0x8004C312, kSource, "Failed to hash data block",
                          crypto_->LastErrorCode());
    }
}

std::string MD5Hash::EndHash() {
    std::uint32_t size = 0;
    if (!crypto_->GetHashSize(HashHandle, size)) {
        RaiseServiceError(0x8004C322, kSource, "Failed to obtain hash value length",
                          crypto_->LastErrorCode());
    }
    std::vector<std::uint8_t> value(size);
    std::uint32_t delivered = size;
    if (!crypto_->GetHashValue(HashHandle, value.data(), delivered)) {
        RaiseServiceError(0x8004C324, kSource, "Failed to obtain hash value",
                          crypto_->LastErrorCode());
    }
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * size);
    for (std::uint32_t i = 0; i < delivered && i < size; ++i) {
        text += kHexDigits[value[i] >> 4];
        text += kHexDigits[value[i] & 0x0F];
    }
    crypto_->DestroyHash(std::exchange(HashHandle, 0));
    return text;
}

}  // namespace varnholt
