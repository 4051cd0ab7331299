// Making protected profile passwords for tests, as the tool that hands them out does.
#pragma once

#include <openssl/evp.h>

#include <string>

#include "cryptoext/ossl.h"
#include "engines/gost/gost_ciphers.h"
#include "ssf/pki/password.h"

namespace protected_password {

inline std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// IV, ciphertext of `password` and the MAC over IV and `macced`, raw.
inline std::string make_blob(const std::string& password, const std::string& macced) {
    const unsigned char iv[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};
    std::string ct(password.size(), '\0');
    ossl::CipherCtx c(EVP_CIPHER_CTX_new());
    int n = 0;
    // The engine's default set is param-Z, the set of protected passwords.
    EVP_EncryptInit_ex(c.get(), tvk_cipher_gost89(), nullptr, ssf::kProtectedPasswordKey, iv);
    if (!password.empty())
        EVP_EncryptUpdate(c.get(), reinterpret_cast<unsigned char*>(ct.data()), &n,
                          reinterpret_cast<const unsigned char*>(password.data()),
                          static_cast<int>(password.size()));
    ossl::MdCtx m(EVP_MD_CTX_new());
    unsigned char mac[4] = {};
    unsigned int len = 0;
    EVP_DigestInit(m.get(), tvk_imit_gost89());
    EVP_MD_CTX_ctrl(m.get(), TVK_CTRL_SET_KEY, 32,
                    const_cast<unsigned char*>(ssf::kProtectedPasswordKey));
    EVP_DigestUpdate(m.get(), iv, 8);
    EVP_DigestUpdate(m.get(), macced.data(), macced.size());
    EVP_DigestFinal(m.get(), mac, &len);
    return std::string(reinterpret_cast<const char*>(iv), 8) + ct +
           std::string(reinterpret_cast<char*>(mac), 4);
}

inline std::string protect(const std::string& password) {
    return base64(make_blob(password, password));
}

}  // namespace protected_password
