// The per-user settings store kept in the current user's registry, where such settings
// conventionally live: HKCU\Software\VB and VBA Program Settings\<application>\<section>,
// one REG_SZ value per key.
#pragma once

#include <memory>
#include <string>

#include "auth/settings_store.h"
#include "policy/registry_shell.h"

namespace varnholt {

class RegistrySettingsStore final : public SettingsStore {
  public:
    explicit RegistrySettingsStore(std::unique_ptr<RegistryShell> registry);

    // An entry that is absent, or that holds no text (a value of another type), gives the
    // default. Any other failure to read is raised: a store that cannot be read must not
    // pass for an empty one.
    std::string GetSetting(std::string_view application, std::string_view section,
                           std::string_view key, std::string_view default_value) override;
    void SaveSetting(std::string_view application, std::string_view section, std::string_view key,
                     std::string_view value) override;

    static std::string ValueName(std::string_view application, std::string_view section,
                                 std::string_view key);

  private:
    std::unique_ptr<RegistryShell> registry_;
};

// The program's store, over a shell of its own from the platform's factory, so that it shares
// no state with the policy side.
std::unique_ptr<SettingsStore> CreateSettingsStore();

}  // namespace varnholt
