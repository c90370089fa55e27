#include "auth/password.h"

#include <gtest/gtest.h>

#include <string>

#include "auth/registry_settings_store.h"
#include "auth/utf16le.h"
#include "openssl_cli.h"
#include "platform/linux/hive_registry.h"
#include "platform/platform.h"
#include "temp_dir.h"

namespace varnholt {
namespace {

using testing::OpensslMd5Of;
using testing::ShellQuote;
using testing::TempDir;

// The reference digest: the UTF-8 text re-encoded by iconv, hashed by openssl.
std::string ReferenceDigest(const std::string& password) {
    return OpensslMd5Of("printf '%s' " + ShellQuote(password + "kqzwe") +
                        " | iconv -f UTF-8 -t UTF-16LE");
}

TEST(PasswordDigestTest, HashesPasswordAndSaltAsUtf16LittleEndian) {
    const std::string passwords[] = {
        "",                         // the salt alone, ten bytes
        "mango",                    //
        "Grüße, Ærø",               // letters outside ASCII, two-byte UTF-8
        "密码 пароль",              // three-byte and two-byte UTF-8
        "key\xF0\x9F\x94\x91lock",  // U+1F511, outside the BMP: a surrogate pair
        "  spaced  ",               // kept as typed
    };
    for (const std::string& password : passwords) {
        EXPECT_EQ(PasswordDigest(password), ReferenceDigest(password)) << password;
    }
    EXPECT_EQ(PasswordDigest(""), "8B85AA609C0391B0382655E0EC4C8C64");  // fixed point
}

TEST(PasswordDigestTest, DiffersWithCaseAndWithSurroundingSpace) {
    const std::string right = PasswordDigest("Mango");
    for (const char* other : {"mango", "MANGO", " Mango", "Mango ", "Mango\t"}) {
        EXPECT_NE(PasswordDigest(other), right) << other;
    }
}

std::vector<std::uint8_t> Units(std::initializer_list<std::uint16_t> units) {
    std::vector<std::uint8_t> bytes;
    for (std::uint16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

TEST(Utf16LeBytesTest, EncodesEachLengthOfUtf8AndSurrogatePairs) {
    EXPECT_EQ(Utf16LeBytes("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"),
              Units({0x0041, 0x00E9, 0x20AC, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF}));
    EXPECT_EQ(Utf16LeBytes(std::string_view("a\0b", 3)), Units({'a', 0, 'b'}));
    EXPECT_TRUE(Utf16LeBytes("").empty());
}

TEST(Utf16LeBytesTest, ReplacesEachMaximalIllFormedSubsequenceWithOneReplacementCharacter) {
    constexpr std::uint16_t R = 0xFFFD;
    const std::pair<std::string_view, std::vector<std::uint8_t>> cases[] = {
        {"\x80", Units({R})},                          // stray continuation
        {"\xC0\xAF", Units({R, R})},                   // overlong lead, never valid
        {"\xE0\x80\xAF", Units({R, R, R})},            // overlong three-byte form
        {"\xED\xA0\x80", Units({R, R, R})},            // an encoded surrogate
        {"\xF4\x90\x80\x80", Units({R, R, R, R})},     // past U+10FFFF
        {"\xF5\x80", Units({R, R})},                   // lead byte out of range
        {"\xE2\x82", Units({R})},                      // truncated at the end: one subpart
        {"\xE2\x82x", Units({R, 'x'})},                // the breaking byte starts anew
        {"\xF0\x9F\x98", Units({R})},                  //
        {"\xF0\x9F\x98\xC3\xA9", Units({R, 0x00E9})},  //
        {"\xFF\xFE", Units({R, R})},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(Utf16LeBytes(input), expected);
    }
}

// Points the password scheme at a store over temporary hive files.
class PasswordStoreTest : public ::testing::Test {
  protected:
    PasswordStoreTest() {
        SharedSettingsStore().SetFactory([this] { return OpenStore(); });
        PasswordHash().clear();
    }
    ~PasswordStoreTest() override {
        SharedSettingsStore().SetFactory([] { return platform::CreateSettingsStore(); });
        PasswordHash().clear();
    }
    std::unique_ptr<SettingsStore> OpenStore() {
        return std::make_unique<RegistrySettingsStore>(std::make_unique<platform::HiveRegistry>(
            dir_.path() / "machine.reg", dir_.path() / "user.reg"));
    }
    // Drops the open store so the next use reads the hive file as a new process would.
    void Reopen() { SharedSettingsStore().Reset(); }

    TempDir dir_;
};

TEST_F(PasswordStoreTest, AbsentOrEmptyEntryMeansTheInitialPassword) {
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), ReferenceDigest("mango"));

    SavePasswordHash("");
    PasswordHash() = "stale";
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), ReferenceDigest("mango"));
    // Loading wrote nothing: the entry is still the empty one.
    EXPECT_EQ(OpenStore()->GetSetting("Tarnwell", "t", "p", "absent"), "");
}

TEST_F(PasswordStoreTest, SavedDigestSurvivesANewProcessAndLeavesPasswordHashAlone) {
    LoadPasswordHash();
    const std::string initial = PasswordHash();
    SavePasswordHash(PasswordDigest("pear"));
    EXPECT_EQ(PasswordHash(), initial);

    Reopen();
    LoadPasswordHash();
    EXPECT_EQ(PasswordHash(), PasswordDigest("pear"));
    EXPECT_NE(PasswordHash(), PasswordDigest("mango"));
}

TEST_F(PasswordStoreTest, HandEditedEntryIsTakenUnchanged) {
    std::string lower = PasswordDigest("mango");
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& edited : {lower, std::string(" not a digest ")}) {
        OpenStore()->SaveSetting("Tarnwell", "t", "p", edited);
        Reopen();
        LoadPasswordHash();
        EXPECT_EQ(PasswordHash(), edited);
        EXPECT_NE(PasswordHash(), PasswordDigest("mango"));
    }
}

}  // namespace
}  // namespace varnholt
