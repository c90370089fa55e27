// The password digest against openssl over iconv's UTF-16LE, and the password's entry kept in
// a user hive file on disk.
#include <gtest/gtest.h>

#include <string>

#include "auth/password.h"
#include "auth/registry_settings_store.h"
#include "platform/linux/hive_registry.h"
#include "platform/platform.h"
#include "support/openssl_cli.h"
#include "support/temp_dir.h"

namespace varnholt {
namespace {

using testing::OpensslMd5Of;
using testing::ShellQuote;
using testing::TempDir;

std::string ReferenceDigest(const std::string& password) {
    return OpensslMd5Of("printf '%s' " + ShellQuote(password + "kqzwe") +
                        " | iconv -f UTF-8 -t UTF-16LE");
}

TEST(LinuxPasswordDigestTest, MatchesOpensslOverTheUtf16LittleEndianBytes) {
    const std::string passwords[] = {
        "",
        "mango",
        "Grüße, Ærø",               // two-byte UTF-8
        "密码 пароль",              // three-byte and two-byte UTF-8
        "key\xF0\x9F\x94\x91lock",  // U+1F511, outside the BMP: a surrogate pair
        "  spaced  ",
    };
    for (const std::string& password : passwords) {
        EXPECT_EQ(PasswordDigest(password), ReferenceDigest(password)) << password;
    }
}

class UserHiveSettingsTest : public ::testing::Test {
  protected:
    std::unique_ptr<SettingsStore> OpenStore() {
        return std::make_unique<RegistrySettingsStore>(std::make_unique<platform::HiveRegistry>(
            dir_.path() / "machine.reg", dir_.path() / "user.reg"));
    }
    TempDir dir_;
};

TEST_F(UserHiveSettingsTest, SavedDigestSurvivesANewProcessInTheUserHiveOnly) {
    SharedSettingsStore().SetFactory([this] { return OpenStore(); });
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), PasswordDigest("mango"));
    SavePasswordHash(PasswordDigest("pear"));

    // A new process: nothing held in memory, the hive file read afresh.
    SharedSettingsStore().Reset();
    PasswordHash().clear();
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), PasswordDigest("pear"));
    EXPECT_EQ(OpenStore()->GetSetting("Tarnwell", "t", "p", ""), PasswordDigest("pear"));
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "machine.reg"));

    SharedSettingsStore().SetFactory([] { return platform::CreateSettingsStore(); });
    PasswordHash().clear();
}

TEST_F(UserHiveSettingsTest, NumberUnderTheEntrysNameCountsAsAbsent) {
    platform::HiveRegistry(dir_.path() / "machine.reg", dir_.path() / "user.reg")
        .RegWrite("HKCU\\Software\\VB and VBA Program Settings\\Tarnwell\\t\\p",
                  RegValue(std::int32_t{1}), "REG_DWORD");
    EXPECT_EQ(OpenStore()->GetSetting("Tarnwell", "t", "p", "fallback"), "fallback");
}

}  // namespace
}  // namespace varnholt
