#include "auth/password.h"

#include <gtest/gtest.h>

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
        {" mango\t", "57F0A48D5D0650B065C6D973A2411DEC"},          // nothing is trimmed
        {"密码 пароль", "19DBF57B4BE2180DF547DEF6E64D05C7"},       // three- and two-byte UTF-8
        {"\xF0\x90\x80\x80", "4773215B703BE12F4D7162B67A8C4377"},  // U+10000, a pair
    };
    for (const auto& [password, digest] : cases)
        EXPECT_EQ(PasswordDigest(password), digest) << password;
}

// Empty or not text: the initial password. Anything else, even hand-edited, is taken unchanged;
// a digest is saved as text. A store that cannot be read is not taken for an empty one.
TEST(PasswordStoreTest, TheStoredEntryOrElseTheInitialPasswordIsInForce) {
    auto hive = std::make_shared<testing::MemoryHive>();
    SharedSettingsStore().SetFactory([hive] {
        return std::make_unique<RegistrySettingsStore>(
            std::make_unique<testing::MemoryRegistry>(hive));
    });
    const std::string entry = "HKCU\\Software\\VB and VBA Program Settings\\Tarnwell\\t\\p";
    const auto loaded_after_restart = [&](const RegValue& value) {
        hive->values[entry] = value;
        SharedSettingsStore().Reset();
        PasswordHash().clear();
        LoadPasswordHash();
        return PasswordHash();
    };
    EXPECT_EQ(loaded_after_restart(std::string()), PasswordDigest("mango"));
    EXPECT_EQ(loaded_after_restart(std::int32_t{7}), PasswordDigest("mango"));
    EXPECT_EQ(loaded_after_restart(std::string(" not a digest ")), " not a digest ");
    SavePasswordHash(PasswordDigest("pear"));
    EXPECT_EQ(hive->values[entry], RegValue(PasswordDigest("pear")));
    EXPECT_EQ(hive->types[entry], "REG_SZ");
    hive->refused = "p";
    PasswordHash().clear();
    EXPECT_EQ(RaisedError([] { LoadPasswordHash(); }).number(),
              ErrorNumber(registry_error::kAccessDenied));
    EXPECT_EQ(PasswordHash(), "");
    SharedSettingsStore().Reset();
}

}  // namespace
}  // namespace varnholt
