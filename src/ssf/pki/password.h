// Profile passwords. A password is every byte the caller gave, NUL bytes included: the record's
// password comes with its length, and nothing is cut from it on the way to a key source.
//
// Protected passwords are the form in which callers hand passwords over when
// "common:use_profile_password_encryption" is on. Base64 of an 8-byte IV, the GOST 28147-89
// (CFB, param-Z) ciphertext of the password's bytes, and the first 4 bytes of the GOST 28147-89
// MAC over the IV followed by the password.
#pragma once

#include <cstddef>
#include <string_view>

#include "cryptoext/ossl.h"

namespace ssf {

// A password's bytes, with a NUL after them for the crypto library's C-string interfaces; none
// (no password at all) differs from the empty one. Wiped when released.
class Password {
  public:
    Password() = default;
    // A copy of the bytes.
    Password(const void* bytes, size_t size);
    Password(Password&& other) noexcept;
    Password& operator=(Password&& other) noexcept;
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;
    ~Password();

    bool given() const { return bytes_ != nullptr; }
    // Null when there is none.
    const char* data() const { return bytes_; }
    size_t size() const { return size_; }
    // False when a NUL byte lies within the password: handed over as a C string it would be cut
    // there, to a password nobody gave.
    bool fits_c_string() const;

  private:
    char* bytes_ = nullptr;
    size_t size_ = 0;
};

// The one key of protected passwords, shared with the tool that makes them.
extern const unsigned char kProtectedPasswordKey[32];
// Longest password a protected text may carry.
inline constexpr size_t kMaxProtectedPassword = 1023;

// The password behind a protected text (every byte the MAC covers), or none when it cannot be
// recovered or fails its check.
[[nodiscard]] Password DecryptPassword(std::string_view protected_text);

}  // namespace ssf
