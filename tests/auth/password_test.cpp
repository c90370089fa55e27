#include "auth/password.h"

#include <gtest/gtest.h>

namespace varnholt {
namespace {

// MD5 over the UTF-16LE bytes of the text as typed and the salt (references from openssl).
TEST(PasswordDigestTest, HashesTheTextAsTypedWithTheSaltInUtf16LittleEndian) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "8B85AA609C0391B0382655E0EC4C8C64"},
        {"mango", "63A55B3C48C3FF7AC23FA471A4B74249"},
        {" mango\t", "57F0A48D5D0650B065C6D973A2411DEC"},     // nothing is trimmed
        {"密码 пароль", "19DBF57B4BE2180DF547DEF6E64D05C7"},  // three- and two-byte UTF-8
    };
    for (const auto& [password, digest] : cases)
        EXPECT_EQ(PasswordDigest(password), digest) << password;
}

}  // namespace
}  // namespace varnholt
