// The password scheme: the password is never kept, only the digest of the password with a
// fixed salt appended, in the per-user settings store and, while the program runs, in
// PasswordHash.
#pragma once

#include <string>
#include <string_view>

#include "auth/md5_hash.h"
#include "auth/settings_store.h"
#include "runtime/shared_instance.h"

namespace varnholt {

inline constexpr std::string_view kPasswordSalt = "kqzwe";
inline constexpr std::string_view kInitialPassword = "mango";

// Where the digest is kept in the settings store.
inline constexpr std::string_view kPasswordApplication = "Tarnwell";
inline constexpr std::string_view kPasswordSection = "t";
inline constexpr std::string_view kPasswordKey = "p";

// The process's one hasher, over the platform's cryptographic service and file access.
SharedInstance<MD5Hash>& SharedHasher();
// The store the password scheme reads and writes; tests put a store of their own in.
SharedInstance<SettingsStore>& SharedSettingsStore();

// The digest text of the password: MD5 of the UTF-16LE code units of password and salt.
// text is UTF-8, taken unchanged: no trimming, no case folding.
std::string PasswordDigest(std::string_view text);

// The stored digest for this process; empty until LoadPasswordHash.
std::string& PasswordHash();

// Reads the stored digest into PasswordHash, unchanged; with none stored (absent or empty),
// the initial password's digest applies. Writes nothing.
void LoadPasswordHash();

// Stores the digest as the password's from now on. PasswordHash is left as it is.
void SavePasswordHash(std::string_view digest);

}  // namespace varnholt
