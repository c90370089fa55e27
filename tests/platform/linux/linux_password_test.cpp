// The password digest against openssl over iconv's UTF-16LE, and the password's entry kept in
// a user hive file on disk.
#include <gtest/gtest.h>

#include <string>

#include "auth/password.h"
#include "auth/registry_settings_store.h"
#include "auth/settings_store.h"
#include "platform/linux/hive_registry.h"
#include "support/hive_files.h"
#include "support/openssl_cli.h"
#include "support/raised_error.h"

namespace varnholt {
namespace {

using testing::OpensslMd5Of;
using testing::ShellQuote;

TEST(LinuxPasswordDigestTest, MatchesOpensslOverTheUtf16LittleEndianBytesOfTheTextAsTyped) {
    const std::string passwords[] = {
        "",
        "mango",
        "Mango",                    // case is kept
        " mango\t",                 // nothing is trimmed
        "Grüße, Ærø",               // two-byte UTF-8
        "密码 пароль",              // three-byte and two-byte UTF-8
        "key\xF0\x9F\x94\x91lock",  // U+1F511, outside the BMP: a surrogate pair
    };
    for (const std::string& password : passwords) {
        EXPECT_EQ(PasswordDigest(password),
                  OpensslMd5Of("printf '%s' " + ShellQuote(password + "kqzwe") +
                               " | iconv -f UTF-8 -t UTF-16LE"))
            << password;
    }
}

class UserHiveSettingsTest : public ::testing::Test {
  protected:
    UserHiveSettingsTest() {
        SharedSettingsStore().SetFactory([this] {
            return std::make_unique<RegistrySettingsStore>(
                std::make_unique<platform::HiveRegistry>(machine_, user_));
        });
        PasswordHash().clear();
    }
    ~UserHiveSettingsTest() override {
        SharedSettingsStore().SetFactory([] { return platform::CreateSettingsStore(); });
        PasswordHash().clear();
    }

    testing::TempDir folder_;
    std::filesystem::path machine_ = folder_.path() / "machine.reg";
    std::filesystem::path user_ = folder_.path() / "user.reg";
};

TEST_F(UserHiveSettingsTest, SavedDigestSurvivesANewProcessInTheUserHiveOnly) {
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), PasswordDigest("mango"));
    SavePasswordHash(PasswordDigest("pear"));

    // A new process: nothing held in memory, the hive file read afresh.
    SharedSettingsStore().Reset();
    PasswordHash().clear();
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), PasswordDigest("pear"));
    EXPECT_EQ(platform::HiveRegistry(machine_, user_)
                  .RegRead("HKCU\\Software\\VB and VBA Program Settings\\Tarnwell\\t\\p"),
              RegValue(PasswordDigest("pear")));
    EXPECT_FALSE(std::filesystem::exists(machine_));
}

TEST_F(UserHiveSettingsTest, DamagedUserHiveIsAnErrorNotTheInitialPassword) {
    testing::WriteHive(user_,
                       "[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings]\n"
                       "\"p\"=dword:zz\n");
    EXPECT_EQ(testing::RaisedError([] { LoadPasswordHash(); }).number(), ErrorNumber(0x800703F1));
    EXPECT_EQ(PasswordHash(), "");
}

}  // namespace
}  // namespace varnholt
