#include "auth/registry_settings_store.h"

#include <gtest/gtest.h>

#include "support/memory_registry.h"
#include "support/raised_error.h"

namespace varnholt {
namespace {

using testing::MemoryHive;
using testing::MemoryRegistry;
using testing::RaisedError;

constexpr char kEntry[] = "HKCU\\Software\\VB and VBA Program Settings\\App\\Section\\Key";

class RegistrySettingsStoreTest : public ::testing::Test {
  protected:
    std::shared_ptr<MemoryHive> hive_ = std::make_shared<MemoryHive>();
    RegistrySettingsStore store_{std::make_unique<MemoryRegistry>(hive_)};
};

TEST_F(RegistrySettingsStoreTest, AbsentEntryGivesTheDefault) {
    EXPECT_EQ(store_.GetSetting("App", "Section", "Key", "fallback"), "fallback");
    store_.SaveSetting("App", "Section", "Other", "x");
    store_.SaveSetting("App", "Other", "Key", "x");
    EXPECT_EQ(store_.GetSetting("App", "Section", "Key", "fallback"), "fallback");
}

TEST_F(RegistrySettingsStoreTest, SavesATextValueUnderTheUsersProgramSettings) {
    store_.SaveSetting("App", "Section", "Key", "first");
    store_.SaveSetting("App", "Section", "Key", "");
    ASSERT_EQ(hive_->values.count(kEntry), 1u);
    EXPECT_EQ(hive_->types[kEntry], "REG_SZ");
    // A stored empty text is an entry, not an absent one.
    EXPECT_EQ(store_.GetSetting("App", "Section", "Key", "fallback"), "");
    store_.SaveSetting("App", "Section", "Key", "Grüße");
    EXPECT_EQ(store_.GetSetting("App", "Section", "Key", "fallback"), "Grüße");
}

TEST_F(RegistrySettingsStoreTest, ValueOfAnotherTypeCountsAsAbsent) {
    hive_->values[kEntry] = std::int32_t{7};
    EXPECT_EQ(store_.GetSetting("App", "Section", "Key", "fallback"), "fallback");
}

TEST_F(RegistrySettingsStoreTest, StoreThatCannotBeReadIsNotTakenForAnEmptyOne) {
    hive_->failure = registry_error::kAccessDenied;
    EXPECT_EQ(RaisedError([&] { store_.GetSetting("App", "Section", "Key", "fallback"); }).number(),
              ErrorNumber(registry_error::kAccessDenied));
    EXPECT_EQ(RaisedError([&] { store_.SaveSetting("App", "Section", "Key", "x"); }).number(),
              ErrorNumber(registry_error::kAccessDenied));
}

}  // namespace
}  // namespace varnholt
