#include "auth/password.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>

#include "auth/registry_settings_store.h"
#include "auth/settings_store.h"
#include "support/memory_registry.h"
#include "support/raised_error.h"

namespace varnholt {
namespace {

using testing::MemoryHive;
using testing::MemoryRegistry;
using testing::RaisedError;

constexpr char kEntry[] = "HKCU\\Software\\VB and VBA Program Settings\\Tarnwell\\t\\p";

TEST(PasswordDigestTest, EmptyPasswordHashesTheSaltAloneAsTenBytes) {
    const std::uint8_t salt[] = {'k', 0, 'q', 0, 'z', 0, 'w', 0, 'e', 0};
    EXPECT_EQ(PasswordDigest(""), SharedHasher().Get().HashBytes(salt));
    EXPECT_EQ(PasswordDigest(""), "8B85AA609C0391B0382655E0EC4C8C64");
}

// The password scheme over the registry settings store, kept in memory; Reopen() drops the
// store as a restart would.
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
    void Reopen() {
        SharedSettingsStore().Reset();
        PasswordHash().clear();
    }
    // The initial password's digest, after a restart with the entry as given.
    void ExpectInitialPasswordWith(const std::optional<RegValue>& entry) {
        if (entry)
            hive_->values[kEntry] = *entry;
        Reopen();
        LoadPasswordHash();
        EXPECT_EQ(PasswordHash(), PasswordDigest("mango"));
        EXPECT_EQ(hive_->values.count(kEntry), entry ? 1u : 0u);  // loading writes nothing
    }

    std::shared_ptr<MemoryHive> hive_ = std::make_shared<MemoryHive>();
};

TEST_F(PasswordStoreTest, AbsentEmptyOrNonTextEntryMeansTheInitialPassword) {
    ExpectInitialPasswordWith(std::nullopt);
    ExpectInitialPasswordWith(std::string());
    ExpectInitialPasswordWith(std::int32_t{7});
}

TEST_F(PasswordStoreTest, SavedDigestIsATextEntryLoadedAfterARestartButLeavesPasswordHashAlone) {
    LoadPasswordHash();
    const std::string initial = PasswordHash();
    SavePasswordHash(PasswordDigest("pear"));
    EXPECT_EQ(PasswordHash(), initial);
    EXPECT_EQ(hive_->values[kEntry], RegValue(PasswordDigest("pear")));
    EXPECT_EQ(hive_->types[kEntry], "REG_SZ");

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
        hive_->values[kEntry] = edited;
        Reopen();
        LoadPasswordHash();
        EXPECT_EQ(PasswordHash(), edited);
    }
}

TEST_F(PasswordStoreTest, StoreThatCannotBeReadIsNotTakenForAnEmptyOne) {
    hive_->failure = registry_error::kAccessDenied;
    EXPECT_EQ(RaisedError([] { LoadPasswordHash(); }).number(),
              ErrorNumber(registry_error::kAccessDenied));
    EXPECT_EQ(PasswordHash(), "");
    EXPECT_EQ(RaisedError([] { SavePasswordHash("x"); }).number(),
              ErrorNumber(registry_error::kAccessDenied));
}

}  // namespace
}  // namespace varnholt
