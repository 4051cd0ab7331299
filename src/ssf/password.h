// Protected profile passwords: the form in which callers hand passwords over when
// "common:use_profile_password_encryption" is on.
#pragma once

#include "ssf/ossl.h"

namespace ssf {

// The password behind a protected text, or none when it cannot be recovered or fails its check.
[[nodiscard]] ossl::CryptoChars DecryptPassword(const char* protected_text);

}  // namespace ssf
