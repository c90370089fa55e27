// A registry held in memory: values by full name, shared between the shells made over it,
// so a store opened again sees what an earlier one saved.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "policy/registry_shell.h"
#include "runtime/error.h"

namespace varnholt::testing {

struct MemoryHive {
    std::map<std::string, RegValue> values;
    std::map<std::string, std::string> types;  // as the writer gave them
    std::optional<std::uint32_t> failure;      // when set, every call raises this number
};

class MemoryRegistry final : public RegistryShell {
  public:
    explicit MemoryRegistry(std::shared_ptr<MemoryHive> hive) : hive_(std::move(hive)) {}

    RegValue RegRead(const std::string& name) override {
        RaiseIfFailing();
        const auto found = hive_->values.find(name);
        if (found == hive_->values.end()) {
            Raise(ErrorNumber(registry_error::kNotFound), "MemoryRegistry", "not found");
        }
        return found->second;
    }
    void RegWrite(const std::string& name, const RegValue& value, std::string_view type) override {
        RaiseIfFailing();
        hive_->values[name] = value;
        hive_->types[name] = std::string(type);
    }

  private:
    void RaiseIfFailing() const {
        if (hive_->failure) {
            Raise(ErrorNumber(*hive_->failure), "MemoryRegistry", "refused");
        }
    }

    std::shared_ptr<MemoryHive> hive_;
};

}  // namespace varnholt::testing
