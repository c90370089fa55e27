#include "auth/password.h"

#include <cstdint>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "auth/registry_settings_store.h"
#include "runtime/text.h"

namespace varnholt {

SharedInstance<MD5Hash>& SharedHasher() {
    static SharedInstance<MD5Hash> hasher([] {
        return std::make_unique<MD5Hash>(platform::CreateCryptoService(),
                                         platform::CreateFileAccess());
    });
    return hasher;
}

SharedInstance<SettingsStore>& SharedSettingsStore() {
    static SharedInstance<SettingsStore> store([] { return CreateSettingsStore(); });
    return store;
}

std::string PasswordDigest(std::string_view text) {
    std::string salted(text);
    salted += kPasswordSalt;
    std::string bytes;
    AppendUtf16Le(bytes, salted);
    return SharedHasher().Get().HashBytes(
        {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

std::string& PasswordHash() {
    static std::string hash;
    return hash;
}

void LoadPasswordHash() {
    PasswordHash() = SharedSettingsStore().Get().GetSetting(kPasswordApplication, kPasswordSection,
                                                            kPasswordKey, "");
    if (PasswordHash().empty()) {
        PasswordHash() = PasswordDigest(kInitialPassword);
    }
}

void SavePasswordHash(std::string_view digest) {
    SharedSettingsStore().Get().SaveSetting(kPasswordApplication, kPasswordSection, kPasswordKey,
                                            digest);
}

}  // namespace varnholt
