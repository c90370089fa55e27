#include "auth/password.h"

#include <gtest/gtest.h>

#include <optional>

#include "auth/registry_settings_store.h"
#include "support/memory_registry.h"
#include "support/raised_error.h"

namespace varnholt {
namespace {

using testing::RaisedError;

// MD5 over the UTF-16LE bytes of the text as typed and the salt; references from openssl over
// iconv's UTF-16LE.
TEST(PasswordDigestTest, HashesTheTextAsTypedWithTheSaltInUtf16LittleEndian) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "8B85AA609C0391B0382655E0EC4C8C64"},
        {"mango", "63A55B3C48C3FF7AC23FA471A4B74249"},
        {"Mango", "7D299072EC299F1B6BD28739F215AAFC"},             // case is kept
        {" mango\t", "57F0A48D5D0650B065C6D973A2411DEC"},          // nothing is trimmed
        {"Grüße, Ærø", "F69C827172451624061C49239165E6E9"},        // two-byte UTF-8
        {"密码 пароль", "19DBF57B4BE2180DF547DEF6E64D05C7"},       // three-byte UTF-8
        {"\xEF\xBF\xBF", "7CFF8A70673DAF440EB7D242D30CC94B"},      // U+FFFF, one unit
        {"\xF0\x90\x80\x80", "4773215B703BE12F4D7162B67A8C4377"},  // U+10000, a pair
        {"key\xF0\x9F\x94\x91lock", "9199B08D807CF47E23950A776F17ED3B"},
    };
    for (const auto& [password, digest] : cases)
        EXPECT_EQ(PasswordDigest(password), digest) << password;
}

// The password's entry over the registry settings store, kept in memory; Reopen() drops what
// the process holds, as a restart would.
class PasswordStoreTest : public ::testing::Test {
  protected:
    PasswordStoreTest() {
        SharedSettingsStore().SetFactory([h = hive_] {
            return std::make_unique<RegistrySettingsStore>(
                std::make_unique<testing::MemoryRegistry>(h));
        });
        Reopen();
    }
    ~PasswordStoreTest() override { Reopen(); }
    void Reopen() {
        SharedSettingsStore().Reset();
        PasswordHash().clear();
    }
    std::string LoadedAfterRestart(const std::optional<RegValue>& entry) {
        if (entry)
            hive_->values[entry_] = *entry;
        Reopen();
        LoadPasswordHash();
        return PasswordHash();
    }

    const std::string entry_ = "HKCU\\Software\\VB and VBA Program Settings\\Tarnwell\\t\\p";
    std::shared_ptr<testing::MemoryHive> hive_ = std::make_shared<testing::MemoryHive>();
};

// Absent, empty or not text: the initial password, and loading writes nothing. Anything else,
// even hand-edited, is taken unchanged. A saved digest is a text entry, in force after a restart.
TEST_F(PasswordStoreTest, TheStoredEntryOrElseTheInitialPasswordIsInForce) {
    const std::string initial = PasswordDigest("mango");
    EXPECT_EQ(LoadedAfterRestart(std::nullopt), initial);
    EXPECT_TRUE(hive_->values.empty());
    EXPECT_EQ(LoadedAfterRestart(std::string()), initial);
    EXPECT_EQ(LoadedAfterRestart(std::int32_t{7}), initial);
    EXPECT_EQ(LoadedAfterRestart(std::string(" not a digest ")), " not a digest ");
    SavePasswordHash(PasswordDigest("pear"));
    EXPECT_EQ(PasswordHash(), " not a digest ");
    EXPECT_EQ(hive_->types[entry_], "REG_SZ");
    EXPECT_EQ(LoadedAfterRestart(std::nullopt), PasswordDigest("pear"));
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
