// The password's entry kept in the user hive file, as the program's settings store keeps it.
#include <gtest/gtest.h>

#include "auth/password.h"
#include "auth/registry_settings_store.h"
#include "auth/settings_store.h"
#include "platform/linux/hive_registry.h"
#include "support/hive_files.h"
#include "support/raised_error.h"

namespace varnholt {
namespace {

TEST(UserHiveSettingsTest, SavedDigestSurvivesANewProcessInTheUserHiveOnlyAndDamageIsAnError) {
    testing::TempDir folder;
    const auto machine = folder.path() / "machine.reg";
    const auto user = folder.path() / "user.reg";
    SharedSettingsStore().SetFactory([&] {
        return std::make_unique<RegistrySettingsStore>(
            std::make_unique<platform::HiveRegistry>(machine, user));
    });
    PasswordHash().clear();
    SavePasswordHash(PasswordDigest("pear"));
    SharedSettingsStore().Reset();  // a new process: the hive file read afresh
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), PasswordDigest("pear"));
    EXPECT_EQ(platform::HiveRegistry(machine, user)
                  .RegRead("HKCU\\Software\\VB and VBA Program Settings\\Tarnwell\\t\\p"),
              RegValue(PasswordDigest("pear")));
    EXPECT_FALSE(std::filesystem::exists(machine));

    testing::WriteHive(user,
                       "[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings]\n"
                       "\"p\"=dword:zz\n");
    SharedSettingsStore().Reset();
    PasswordHash().clear();
    EXPECT_EQ(testing::RaisedError([] { LoadPasswordHash(); }).number(), ErrorNumber(0x800703F1));
    EXPECT_EQ(PasswordHash(), "");
    SharedSettingsStore().SetFactory([] { return platform::CreateSettingsStore(); });
}

}  // namespace
}  // namespace varnholt
