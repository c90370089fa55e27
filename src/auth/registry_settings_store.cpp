#include "auth/registry_settings_store.h"

#include <utility>

#include "runtime/error.h"

namespace varnholt {

RegistrySettingsStore::RegistrySettingsStore(std::unique_ptr<RegistryShell> registry)
    : registry_(std::move(registry)) {}

std::string RegistrySettingsStore::ValueName(std::string_view application, std::string_view section,
                                             std::string_view key) {
    std::string name = "HKCU\\Software\\VB and VBA Program Settings\\";
    name.append(application).append("\\").append(section).append("\\").append(key);
    return name;
}

std::string RegistrySettingsStore::GetSetting(std::string_view application,
                                              std::string_view section, std::string_view key,
                                              std::string_view default_value) {
    RegValue value;
    try {
        value = registry_->RegRead(ValueName(application, section, key));
    } catch (const Error& error) {
        if (error.number() != ErrorNumber(registry_error::kNotFound)) {
            throw;
        }
        return std::string(default_value);
    }
    if (const std::string* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    return std::string(default_value);
}

void RegistrySettingsStore::SaveSetting(std::string_view application, std::string_view section,
                                        std::string_view key, std::string_view value) {
    registry_->RegWrite(ValueName(application, section, key), std::string(value), "REG_SZ");
}

std::unique_ptr<SettingsStore> CreateSettingsStore() {
    return std::make_unique<RegistrySettingsStore>(platform::CreateRegistryShell());
}

}  // namespace varnholt
