#include "auth/registry_settings_store.h"

#include <gtest/gtest.h>

#include <map>

#include "app/error.h"
#include "platform/linux/hive_registry.h"
#include "temp_dir.h"

namespace varnholt {
namespace {

using testing::TempDir;

constexpr char kEntry[] = "HKCU\\Software\\VB and VBA Program Settings\\App\\Section\\Key";

class RegistrySettingsStoreTest : public ::testing::Test {
  protected:
    std::unique_ptr<platform::HiveRegistry> OpenHives() {
        return std::make_unique<platform::HiveRegistry>(dir_.path() / "machine.reg",
                                                        dir_.path() / "user.reg");
    }
    std::unique_ptr<RegistrySettingsStore> OpenStore() {
        return std::make_unique<RegistrySettingsStore>(OpenHives());
    }

    TempDir dir_;
};

TEST_F(RegistrySettingsStoreTest, AbsentEntryGivesTheDefault) {
    EXPECT_EQ(OpenStore()->GetSetting("App", "Section", "Key", "fallback"), "fallback");
    OpenStore()->SaveSetting("App", "Section", "Other", "x");
    EXPECT_EQ(OpenStore()->GetSetting("App", "Section", "Key", ""), "");
}

TEST_F(RegistrySettingsStoreTest, SavedTextIsAStringValueUnderTheUsersProgramSettings) {
    OpenStore()->SaveSetting("App", "Section", "Key", "first");
    OpenStore()->SaveSetting("App", "Section", "Key", "Grüße \\ \"quoted\"");
    EXPECT_EQ(OpenHives()->RegRead(kEntry), RegValue(std::string("Grüße \\ \"quoted\"")));
    EXPECT_EQ(OpenStore()->GetSetting("App", "Section", "Key", "fallback"), "Grüße \\ \"quoted\"");
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "machine.reg"));
}

TEST_F(RegistrySettingsStoreTest, ValueOfAnotherTypeCountsAsAbsent) {
    OpenHives()->RegWrite(kEntry, RegValue(std::int32_t{7}), "REG_DWORD");
    EXPECT_EQ(OpenStore()->GetSetting("App", "Section", "Key", "fallback"), "fallback");
}

// A registry whose every read fails with one error.
class FailingRegistry final : public RegistryShell {
  public:
    explicit FailingRegistry(std::uint32_t number) : number_(number) {}
    RegValue RegRead(const std::string&) override {
        Raise(ErrorNumber(number_), "test", "refused");
    }
    void RegWrite(const std::string&, const RegValue&, std::string_view) override {
        Raise(ErrorNumber(number_), "test", "refused");
    }

  private:
    std::uint32_t number_;
};

TEST(RegistrySettingsStoreFailureTest, OnlyAMissingEntryFallsBackToTheDefault) {
    RegistrySettingsStore missing(std::make_unique<FailingRegistry>(registry_error::kNotFound));
    EXPECT_EQ(missing.GetSetting("App", "Section", "Key", "fallback"), "fallback");

    RegistrySettingsStore denied(std::make_unique<FailingRegistry>(registry_error::kAccessDenied));
    try {
        denied.GetSetting("App", "Section", "Key", "fallback");
        FAIL() << "an unreadable store passed for an empty one";
    } catch (const Error& error) {
        EXPECT_EQ(error.number(), ErrorNumber(registry_error::kAccessDenied));
    }
    EXPECT_THROW(denied.SaveSetting("App", "Section", "Key", "x"), Error);
}

}  // namespace
}  // namespace varnholt
