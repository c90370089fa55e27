// The per-user settings store on Windows: the conventional registry place for such settings,
// reached through a shell object of its own, so it shares no state with the policy side.
#include <memory>

#include "auth/registry_settings_store.h"
#include "auth/settings_store.h"
#include "policy/registry_shell.h"

namespace varnholt::platform {

std::unique_ptr<SettingsStore> CreateSettingsStore() {
    return std::make_unique<RegistrySettingsStore>(CreateRegistryShell());
}

}  // namespace varnholt::platform
