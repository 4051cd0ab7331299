// Profile passwords as given, and the recovery of protected ones with the "gost" engine's
// GOST 28147-89 cipher and MAC.
#include "ssf/pki/password.h"

#include <openssl/objects.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "cryptoext/objects.h"
#include "cryptoext/ossl.h"
#include "engines/gost/gost_ciphers.h"
#include "ssf/base64.h"
#include "ssf/log.h"

namespace ssf {

Password::Password(const void* bytes, size_t size) {
    bytes_ = static_cast<char*>(OPENSSL_malloc(size + 1));
    if (!bytes_) throw std::bad_alloc();
    if (size) std::memcpy(bytes_, bytes, size);
    bytes_[size] = '\0';
    size_ = size;
}

Password::Password(Password&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Password& Password::operator=(Password&& other) noexcept {
    if (this != &other) {
        Password old(std::move(*this));
        bytes_ = std::exchange(other.bytes_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

Password::~Password() {
    // Every byte, not just those before a NUL.
    if (bytes_) OPENSSL_clear_free(bytes_, size_ + 1);
}

bool Password::fits_c_string() const {
    return !bytes_ || std::memchr(bytes_, '\0', size_) == nullptr;
}

const unsigned char kProtectedPasswordKey[32] = {
    0x5b, 0x13, 0xc7, 0x92, 0x0e, 0x6a, 0xf4, 0x31, 0x88, 0x2d, 0x79, 0xb5, 0x46, 0xe0, 0x1c, 0xa3,
    0xd9, 0x67, 0x3f, 0x04, 0xbe, 0x58, 0x91, 0x2a, 0x7c, 0xe3, 0x15, 0x6f, 0xa0, 0x4b, 0xd2, 0x8e};

namespace {

constexpr const char* kFn = "DecryptPassword";
constexpr size_t kIvLen = 8, kMacLen = 4;

// The protected text is as good as the password (the key is in every copy of the library), so
// the log shows only its length.
std::string masked(std::string_view text) {
    return std::string(text.size(), '*');
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

Password DecryptPassword(std::string_view text) {
    OutData blob;
    // All of the text: a NUL byte inside is no Base64 and fails the decoding, never ends it.
    if (base64_enc_dec(0, blob,
                       Bytes(reinterpret_cast<const unsigned char*>(text.data()), text.size()),
                       true) != 0) {
        log_error("%s() : base64_enc_dec( 0 ) failed", "base64_decode");
        log_error("%s() 1 : base64_decode() failed for '%s'", kFn, masked(text).c_str());
        return {};
    }
    const int n = static_cast<int>(blob.size) - static_cast<int>(kIvLen + kMacLen);
    log_write("%s() : password len = %d", kFn, n);
    // A password that would not fit the buffer is refused like one that is too short.
    if (n < 0 || static_cast<size_t>(n) > kMaxProtectedPassword) {
        log_error("%s() 2 : wrong password len from '%s'", kFn, masked(text).c_str());
        OPENSSL_cleanse(blob.data.get(), blob.size);
        return {};
    }
    const unsigned char* iv = blob.data.get();
    ossl::Wiped<unsigned char[kMaxProtectedPassword + 1]> plain;
    unsigned char mac[kMacLen] = {};
    // The MAC covers every byte of the password, so that no byte after a NUL goes unchecked.
    const bool ok =
        decrypt(iv, iv + kIvLen, n, plain.v) && imito(iv, plain.v, static_cast<size_t>(n), mac);
    const bool match = ok && CRYPTO_memcmp(mac, iv + kIvLen + n, kMacLen) == 0;
    OPENSSL_cleanse(blob.data.get(), blob.size);
    if (!ok) {
        log_error("%s() : GOST 28147-89 operation failed", kFn);
        log_crypto_errors();
        return {};
    }
    if (!match) {
        log_error("%s() 3 : imito does not match", kFn);
        return {};
    }
    return Password(plain.v, static_cast<size_t>(n));
}

}  // namespace ssf
