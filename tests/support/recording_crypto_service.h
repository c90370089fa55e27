// A cryptographic service for tests: passes every call to the real one, records what the
// hasher asked for, and fails a chosen step with a chosen code.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "auth/crypto_service.h"

namespace varnholt::testing {

enum class CryptoStep { kAcquire, kCreate, kHashData, kGetSize, kGetValue };

struct CryptoScript {
    std::optional<CryptoStep> fail_at;
    std::int32_t fail_code = 0;

    int contexts_released = 0;
    std::vector<CryptoHandle> created;
    std::vector<CryptoHandle> destroyed;
    std::vector<std::size_t> blocks;                // lengths handed to HashData
    std::vector<const std::uint8_t*> block_starts;  // and where each block began

    int LiveHashes() const { return static_cast<int>(created.size() - destroyed.size()); }
};

class RecordingCryptoService final : public CryptoService {
  public:
    explicit RecordingCryptoService(std::shared_ptr<CryptoScript> script)
        : script_(std::move(script)), real_(platform::CreateCryptoService()) {}

    bool AcquireContext(CryptoHandle& provider) override {
        return Step(CryptoStep::kAcquire) && real_->AcquireContext(provider);
    }
    bool CreateMd5Hash(CryptoHandle provider, CryptoHandle& hash) override {
        if (!Step(CryptoStep::kCreate) || !real_->CreateMd5Hash(provider, hash)) {
            return false;
        }
        script_->created.push_back(hash);
        return true;
    }
    bool HashData(CryptoHandle hash, const std::uint8_t* data, std::size_t length) override {
        ExpectLive(hash);
        script_->blocks.push_back(length);
        script_->block_starts.push_back(data);
        return Step(CryptoStep::kHashData) && real_->HashData(hash, data, length);
    }
    bool GetHashSize(CryptoHandle hash, std::uint32_t& size) override {
        ExpectLive(hash);
        return Step(CryptoStep::kGetSize) && real_->GetHashSize(hash, size);
    }
    bool GetHashValue(CryptoHandle hash, std::uint8_t* buffer, std::uint32_t& length) override {
        ExpectLive(hash);
        return Step(CryptoStep::kGetValue) && real_->GetHashValue(hash, buffer, length);
    }
    void DestroyHash(CryptoHandle hash) noexcept override {
        if (ExpectLive(hash)) {
            script_->destroyed.push_back(hash);
            real_->DestroyHash(hash);
        }
    }
    void ReleaseContext(CryptoHandle provider) noexcept override {
        ++script_->contexts_released;
        real_->ReleaseContext(provider);
    }
    std::int32_t LastErrorCode() const noexcept override { return last_error_; }

  private:
    bool Step(CryptoStep step) {
        if (script_->fail_at != step) {
            return true;
        }
        last_error_ = script_->fail_code;
        return false;
    }
    // Every handle the hasher passes must be one it created and has not destroyed.
    bool ExpectLive(CryptoHandle hash) const {
        const auto count = [&](const std::vector<CryptoHandle>& handles) {
            return std::count(handles.begin(), handles.end(), hash);
        };
        const bool live = count(script_->created) - count(script_->destroyed) == 1;
        EXPECT_TRUE(live) << "handle " << hash << " is not a live hash object";
        return live;
    }

    std::shared_ptr<CryptoScript> script_;
    std::unique_ptr<CryptoService> real_;
    std::int32_t last_error_ = 0;
};

}  // namespace varnholt::testing
