// Recovery of protected profile passwords with the "gost" engine's GOST 28147-89 cipher and MAC.
#include "ssf/pki/password.h"

#include <openssl/objects.h>

#include <cstring>
#include <string>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/gost/gost_ciphers.h"
#include "ssf/base64.h"
#include "ssf/log.h"

namespace ssf {

const unsigned char kProtectedPasswordKey[32] = {
    0x5b, 0x13, 0xc7, 0x92, 0x0e, 0x6a, 0xf4, 0x31, 0x88, 0x2d, 0x79, 0xb5, 0x46, 0xe0, 0x1c, 0xa3,
    0xd9, 0x67, 0x3f, 0x04, 0xbe, 0x58, 0x91, 0x2a, 0x7c, 0xe3, 0x15, 0x6f, 0xa0, 0x4b, 0xd2, 0x8e};

namespace {

constexpr const char* kFn = "DecryptPassword";
constexpr size_t kIvLen = 8, kMacLen = 4;

// The protected text is as good as the password (the key is in every copy of the library), so
// the log shows only its length.
std::string masked(const char* text) {
    return std::string(std::strlen(text), '*');
}

bool decrypt(const unsigned char* iv, const unsigned char* in, int n, unsigned char* out) {
    ossl::CipherCtx ctx(EVP_CIPHER_CTX_new());
    const int param_z = objmap::nid(objmap::Obj::gost_28147_param_Z);
    int len = 0, tail = 0;
    // The parameter set takes effect with the next keyed init.
    return ctx &&
           EVP_CipherInit(ctx.get(), tvk_cipher_gost89(), kProtectedPasswordKey, iv, 0) == 1 &&
           EVP_CIPHER_CTX_ctrl(ctx.get(), TVK_CTRL_SET_PARAM_NID, param_z, nullptr) == 1 &&
           EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, kProtectedPasswordKey, iv, 0) == 1 &&
           (n == 0 || EVP_CipherUpdate(ctx.get(), out, &len, in, n) == 1) && len == n &&
           EVP_CipherFinal_ex(ctx.get(), out + len, &tail) == 1 && tail == 0;
}

bool imito(const unsigned char* iv, const unsigned char* password, size_t n, unsigned char* mac) {
    ossl::MdCtx ctx(EVP_MD_CTX_new());
    const int param_z = objmap::nid(objmap::Obj::gost_28147_param_Z);
    unsigned char full[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!ctx || EVP_DigestInit(ctx.get(), tvk_imit_gost89()) != 1 ||
        EVP_MD_CTX_ctrl(ctx.get(), TVK_CTRL_SET_PARAM_NID, param_z, nullptr) != 1 ||
        EVP_MD_CTX_ctrl(ctx.get(), TVK_CTRL_SET_KEY, sizeof kProtectedPasswordKey,
                        const_cast<unsigned char*>(kProtectedPasswordKey)) != 1 ||
        EVP_DigestInit_ex(ctx.get(), tvk_imit_gost89(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), iv, kIvLen) != 1 ||
        EVP_DigestUpdate(ctx.get(), password, n) != 1 ||
        EVP_DigestFinal(ctx.get(), full, &len) != 1 || len < kMacLen)
        return false;
    std::memcpy(mac, full, kMacLen);
    return true;
}

}  // namespace

ossl::Text DecryptPassword(const char* protected_text) {
    const char* text = protected_text != nullptr ? protected_text : "";
    OutData blob;
    if (base64_enc_dec(0, blob,
                       Bytes(reinterpret_cast<const unsigned char*>(text), std::strlen(text)),
                       true) != 0) {
        log_error("%s() : base64_enc_dec( 0 ) failed", "base64_decode");
        log_error("%s() 1 : base64_decode() failed for '%s'", kFn, masked(text).c_str());
        return nullptr;
    }
    const int n = static_cast<int>(blob.size) - static_cast<int>(kIvLen + kMacLen);
    log_write("%s() : password len = %d", kFn, n);
    // A password that would not fit the buffer is refused like one that is too short.
    if (n < 0 || static_cast<size_t>(n) > kMaxProtectedPassword) {
        log_error("%s() 2 : wrong password len from '%s'", kFn, masked(text).c_str());
        OPENSSL_cleanse(blob.data.get(), blob.size);
        return nullptr;
    }
    const unsigned char* iv = blob.data.get();
    ossl::Wiped<unsigned char[kMaxProtectedPassword + 1]> plain;
    unsigned char mac[kMacLen] = {};
    const bool ok = decrypt(iv, iv + kIvLen, n, plain.v) &&
                    imito(iv, plain.v, std::strlen(reinterpret_cast<char*>(plain.v)), mac);
    const bool match = ok && CRYPTO_memcmp(mac, iv + kIvLen + n, kMacLen) == 0;
    OPENSSL_cleanse(blob.data.get(), blob.size);
    if (!ok) {
        log_error("%s() : GOST 28147-89 operation failed", kFn);
        log_crypto_errors();
        return nullptr;
    }
    if (!match) {
        log_error("%s() 3 : imito does not match", kFn);
        return nullptr;
    }
    return ossl::Text(OPENSSL_strdup(reinterpret_cast<char*>(plain.v)));
}

}  // namespace ssf
