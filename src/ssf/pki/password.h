// Protected profile passwords: the form in which callers hand passwords over when
// "common:use_profile_password_encryption" is on. Base64 of an 8-byte IV, the GOST 28147-89
// (CFB, param-Z) ciphertext of the password's bytes, and the first 4 bytes of the GOST 28147-89
// MAC over the IV followed by the password.
#pragma once

#include <cstddef>

#include "cryptoext/ossl.h"

namespace ssf {

// The one key of protected passwords, shared with the tool that makes them.
extern const unsigned char kProtectedPasswordKey[32];
// Longest password a protected text may carry.
inline constexpr size_t kMaxProtectedPassword = 1023;

// The password behind a protected text, or none when it cannot be recovered or fails its check.
[[nodiscard]] ossl::Text DecryptPassword(const char* protected_text);

}  // namespace ssf
