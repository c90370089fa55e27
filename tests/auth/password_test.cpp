#include "auth/password.h"

#include <gtest/gtest.h>

#include <cctype>

#include "auth/registry_settings_store.h"
#include "platform/platform.h"
#include "support/memory_registry.h"

namespace varnholt {
namespace {

using testing::MemoryHive;
using testing::MemoryRegistry;

TEST(PasswordDigestTest, EmptyPasswordHashesTheSaltAloneAsTenBytes) {
    const std::uint8_t salt[] = {'k', 0, 'q', 0, 'z', 0, 'w', 0, 'e', 0};
    EXPECT_EQ(PasswordDigest(""), SharedHasher().Get().HashBytes(salt));
    EXPECT_EQ(PasswordDigest(""), "8B85AA609C0391B0382655E0EC4C8C64");
}

// The password scheme over a store in memory; Reopen() drops the store as a restart would.
class PasswordStoreTest : public ::testing::Test {
  protected:
    PasswordStoreTest() {
        SharedSettingsStore().SetFactory([hive = hive_] {
            return std::make_unique<RegistrySettingsStore>(std::make_unique<MemoryRegistry>(hive));
        });
        PasswordHash().clear();
    }
    ~PasswordStoreTest() override {
        SharedSettingsStore().SetFactory([] { return platform::CreateSettingsStore(); });
        PasswordHash().clear();
    }
    void Reopen() { SharedSettingsStore().Reset(); }
    std::string Stored() {
        return SharedSettingsStore().Get().GetSetting("Tarnwell", "t", "p", "<absent>");
    }

    std::shared_ptr<MemoryHive> hive_ = std::make_shared<MemoryHive>();
};

TEST_F(PasswordStoreTest, AbsentOrEmptyEntryMeansTheInitialPasswordAndLoadingWritesNothing) {
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), PasswordDigest("mango"));
    EXPECT_EQ(Stored(), "<absent>");

    SavePasswordHash("");
    PasswordHash() = "stale";
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), PasswordDigest("mango"));
    EXPECT_EQ(Stored(), "");
}

TEST_F(PasswordStoreTest, SavedDigestIsLoadedAfterARestartButLeavesPasswordHashAlone) {
    LoadPasswordHash();
    const std::string initial = PasswordHash();
    SavePasswordHash(PasswordDigest("pear"));
    EXPECT_EQ(PasswordHash(), initial);

    Reopen();
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), PasswordDigest("pear"));
}

TEST_F(PasswordStoreTest, HandEditedEntryIsTakenUnchangedAndMatchesNoPassword) {
    std::string lower = PasswordDigest("mango");
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const std::string& edited : {lower, std::string(" not a digest ")}) {
        SavePasswordHash(edited);
        Reopen();
        LoadPasswordHash();
        EXPECT_EQ(PasswordHash(), edited);
        EXPECT_NE(PasswordHash(), PasswordDigest("mango"));
    }
}

}  // namespace
}  // namespace varnholt
