// Protected profile passwords need the GOST 28147-89 cipher and MAC of the "gost" engine. Until
// they are built no protected password can be recovered, so every profile that asks for one
// fails as with a wrong password. Password decryption replaces this file.
#include "ssf/log.h"
#include "ssf/password.h"

namespace ssf {

ossl::CryptoChars DecryptPassword(const char* protected_text) {
    log_error("%s() : protected profile passwords cannot be decrypted in this build",
              "DecryptPassword");
    return nullptr;
}

}  // namespace ssf
