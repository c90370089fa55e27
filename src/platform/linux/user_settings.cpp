// The per-user settings store on Linux: the registry layout of the Windows build, kept in the
// user hive file. It has a hive reader of its own, so it shares no state with the policy side.
#include <memory>

#include "auth/registry_settings_store.h"
#include "auth/settings_store.h"
#include "platform/linux/hive_registry.h"

namespace varnholt::platform {

std::unique_ptr<SettingsStore> CreateSettingsStore() {
    return std::make_unique<RegistrySettingsStore>(
        std::make_unique<HiveRegistry>(DefaultMachineHivePath(), DefaultUserHivePath()));
}

}  // namespace varnholt::platform
