// Shared by the kit's sources: a step the crypto library refuses throws, so a test that needs
// the object fails at once with what could not be made.
#pragma once

#include <openssl/bio.h>

#include <stdexcept>
#include <string>

namespace test_pki {

inline void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error("test PKI: " + what);
}

// The bytes a memory stream holds.
inline std::string mem_text(BIO* b) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(b, &data);
    return std::string(data, static_cast<size_t>(n));
}

}  // namespace test_pki
