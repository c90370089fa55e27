// A process-wide object created on first use and kept until the process ends.
// If creation fails, that use fails with the creation's error and the next use tries again.
#pragma once

#include <functional>
#include <memory>
#include <utility>

namespace varnholt {

template <typename T>
class SharedInstance {
  public:
    using Factory = std::function<std::unique_ptr<T>()>;

    explicit SharedInstance(Factory factory) : factory_(std::move(factory)) {}

    T& Get() {
        if (!instance_) {
            instance_ = factory_();  // may throw; instance_ stays empty so the next use retries
        }
        return *instance_;
    }

    bool Exists() const noexcept { return instance_ != nullptr; }

    // For tests and for the end of the process: drop the instance, optionally swap the factory.
    void Reset() noexcept { instance_.reset(); }
    void SetFactory(Factory factory) {
        instance_.reset();
        factory_ = std::move(factory);
    }

  private:
    Factory factory_;
    std::unique_ptr<T> instance_;
};

}  // namespace varnholt
