#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "auth/settings_store.h"
#include "runtime/error.h"

namespace varnholt {
namespace {

constexpr wchar_t kApplicationKey[] =
    L"Software\\VB and VBA Program Settings\\Varnholt Settings Test";

class RegistrySettingsStoreTest : public ::testing::Test {
  protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kApplicationKey); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kApplicationKey); }

    static void Store(const wchar_t* value, DWORD type, const void* data, DWORD size) {
        const std::wstring key = std::wstring(kApplicationKey) + L"\\t";
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), value, type, data, size),
                  ERROR_SUCCESS);
    }

    std::unique_ptr<SettingsStore> store_ = platform::CreateSettingsStore();
};

TEST_F(RegistrySettingsStoreTest, AnAbsentEntryGivesTheDefault) {
    EXPECT_EQ(store_->GetSetting("Varnholt Settings Test", "t", "p", "fallback"), "fallback");
    const wchar_t other[] = L"x";
    Store(L"other", REG_SZ, other, sizeof other);  // the key exists, the value does not
    EXPECT_EQ(store_->GetSetting("Varnholt Settings Test", "t", "p", ""), "");
}

TEST_F(RegistrySettingsStoreTest, SavedTextIsStoredAsAStringUnderTheFullName) {
    store_->SaveSetting("Varnholt Settings Test", "t", "p", "0123456789ABCDEF");
    wchar_t stored[64] = {};
    DWORD size = sizeof stored;
    const std::wstring key = std::wstring(kApplicationKey) + L"\\t";
    ASSERT_EQ(
        RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"p", RRF_RT_REG_SZ, nullptr, stored, &size),
        ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(stored), L"0123456789ABCDEF");
    store_->SaveSetting("Varnholt Settings Test", "t", "p", "");  // replaced, also by nothing
    EXPECT_EQ(store_->GetSetting("Varnholt Settings Test", "t", "p", "default"), "");
}

TEST_F(RegistrySettingsStoreTest, LongAndNonAsciiTextsComeBackWhole) {
    const std::string long_text(5000, 'Q');
    store_->SaveSetting("Varnholt Settings Test", "t", "long", long_text);
    EXPECT_EQ(store_->GetSetting("Varnholt Settings Test", "t", "long", ""), long_text);
    const std::string accented = "m\xC3\xA1ng\xC3\xB3 \xE2\x82\xAC";
    store_->SaveSetting("Varnholt Settings Test", "t", "accented", accented);
    EXPECT_EQ(store_->GetSetting("Varnholt Settings Test", "t", "accented", ""), accented);
}

TEST_F(RegistrySettingsStoreTest, AValueThatIsNoTextCountsAsNoEntry) {
    const DWORD number = 5;
    Store(L"p", REG_DWORD, &number, sizeof number);
    EXPECT_EQ(store_->GetSetting("Varnholt Settings Test", "t", "p", "initial"), "initial");
}

TEST_F(RegistrySettingsStoreTest, TextTheRegistryWouldCutShortIsRefusedAndNothingWritten) {
    store_->SaveSetting("Varnholt Settings Test", "t", "p", "OLD");
    EXPECT_THROW(store_->SaveSetting("Varnholt Settings Test", "t", "p", std::string("NE\0W", 4)),
                 Error);
    EXPECT_THROW(store_->SaveSetting("Varnholt Settings Test", "t", "p", "bad\xFF"), Error);
    EXPECT_EQ(store_->GetSetting("Varnholt Settings Test", "t", "p", ""), "OLD");
}

}  // namespace
}  // namespace varnholt
