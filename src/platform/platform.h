// What each platform provides. One implementation per folder under src/platform/.
#pragma once

#include <memory>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "auth/settings_store.h"
#include "policy/registry_shell.h"

namespace varnholt::platform {

std::unique_ptr<RegistryShell> CreateRegistryShell();
std::unique_ptr<CryptoService> CreateCryptoService();
std::unique_ptr<FileAccess> CreateFileAccess();
std::unique_ptr<SettingsStore> CreateSettingsStore();

}  // namespace varnholt::platform
