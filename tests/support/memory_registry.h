// A registry in memory, shared by the shells made over it. It logs each call by the value's last
// name part ("read Start", "write Start=3") and denies the writes a test asks it to.
// UseMemoryHive puts the program's registry and settings over one, no password read yet.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "auth/password.h"
#include "auth/registry_settings_store.h"
#include "policy/registry_shell.h"
#include "runtime/error.h"

namespace varnholt::testing {

struct MemoryHive {
    std::map<std::string, RegValue> values;
    std::map<std::string, std::string> types;  // as the writer gave them
    std::string refused;                       // writes to values of this last name are denied
    std::vector<std::string> log;
};

class MemoryRegistry final : public RegistryShell {
  public:
    explicit MemoryRegistry(std::shared_ptr<MemoryHive> hive) : hive_(std::move(hive)) {}

    RegValue RegRead(const std::string& name) override {
        Log("read ", name, "");
        const auto found = hive_->values.find(name);
        if (found == hive_->values.end())
            Raise(ErrorNumber(registry_error::kNotFound), "MemoryRegistry", "not found");
        return found->second;
    }
    void RegWrite(const std::string& name, const RegValue& value, std::string_view type) override {
        const auto* number = std::get_if<std::int32_t>(&value);
        if (Log("write ", name,
                "=" + (number ? std::to_string(*number) : std::get<std::string>(value))) ==
            hive_->refused)
            Raise(ErrorNumber(registry_error::kAccessDenied), "WshShell", "Access is denied.");
        hive_->values[name] = value;
        hive_->types[name] = std::string(type);
    }

  private:
    // Logs the call and gives the value's last name part.
    std::string Log(const char* verb, const std::string& name, const std::string& value) const {
        std::string last_part = name.substr(name.rfind('\\') + 1);
        hive_->log.push_back(verb + last_part + value);
        return last_part;
    }

    std::shared_ptr<MemoryHive> hive_;
};

inline void UseMemoryHive(const std::shared_ptr<MemoryHive>& hive) {
    SharedShell().SetFactory([hive] { return std::make_unique<MemoryRegistry>(hive); });
    SharedSettingsStore().SetFactory([hive] {
        return std::make_unique<RegistrySettingsStore>(std::make_unique<MemoryRegistry>(hive));
    });
    PasswordHash().clear();
}

}  // namespace varnholt::testing
