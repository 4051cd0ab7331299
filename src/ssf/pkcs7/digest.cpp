// Digested data: the content and its hash in a PKCS#7 digested-data message.
#include <openssl/pkcs7.h>

#include "engines/gost/gost_digests.h"
#include "ssf/codes.h"
#include "ssf/encode.h"
#include "ssf/log.h"
#include "ssf/pkcs7/workers.h"

namespace ssf {

namespace {

const EVP_MD* digest_by_code(int hash_code) {
    switch (hash_code) {
        case HASH_GOSTR3411_94:
            return EVP_get_digestbyname("md_gost94");
        case HASH_MD5:
            return EVP_md5();
        case HASH_SHA1:
            return EVP_sha1();
        case HASH_GOSTR3411_12_256:
            return tvk_digest_256();
        case HASH_GOSTR3411_12_512:
            return tvk_digest_512();
        default:
            return nullptr;
    }
}

// A digested-data message whose inner data message is still without content.
ossl::Pkcs7 digested(const EVP_MD* md, const unsigned char* value, unsigned int value_len) {
    ossl::Pkcs7 p7(PKCS7_new());
    ossl::Pkcs7 inner(PKCS7_new());
    if (!p7 || !inner || !PKCS7_set_type(p7.get(), NID_pkcs7_digest) ||
        !PKCS7_set_digest(p7.get(), md) || !PKCS7_set_type(inner.get(), NID_pkcs7_data))
        return nullptr;
    ossl::replace<ossl::OctetString>(inner->d.data, nullptr);
    if (!PKCS7_set_content(p7.get(), inner.get())) return nullptr;
    inner.release();
    ossl::OctetString digest(ASN1_OCTET_STRING_new());
    if (!digest || !ASN1_OCTET_STRING_set(digest.get(), value, static_cast<int>(value_len)))
        return nullptr;
    ossl::replace<ossl::OctetString>(p7->d.digest->digest, digest.release());
    return p7;
}

}  // namespace

int digest_data(OutData& out, Bytes input, int hash_code, bool detached) {
    static const char* kFn = "digest_data";
    const EVP_MD* md = digest_by_code(hash_code);
    if (md == nullptr) {
        log_error("%s() 1 : md is NULL", kFn);
        return SSF_RC_INVALID_HASH;
    }
    ContentView content;
    const bool parsed = view_pkcs7(input, content, false);
    if (decode_view(content, parsed) != 0) {
        log_error("%s() 2: decoding failed", kFn);
        return SSF_RC_NOT_PKCS7;
    }
    const Bytes bytes = content.bytes;
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int value_len = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), value, &value_len, md, nullptr)) {
        log_error("%s() 3 : EVP_Digest() failed", kFn);
        log_crypto_errors();
        return SSF_RC_NO_OUTPUT;
    }
    ossl::Pkcs7 p7 = digested(md, value, value_len);
    // The message shows the caller's content (unless detached) instead of a copy; declared after
    // the message, it takes the content back before the message is freed.
    LentOctets lent;
    if (!p7 || (!detached && !lent.lend(p7->d.digest->contents->d.data, bytes))) {
        log_error("%s() 4 : PKCS7_new() failed", kFn);
        return SSF_RC_MEMORY;
    }
    if (!der_output(out, p7.get())) {
        log_error("%s() 5 : i2d_PKCS7() failed", kFn);
        return SSF_RC_MEMORY;
    }
    return SSF_RC_OK;
}

}  // namespace ssf
