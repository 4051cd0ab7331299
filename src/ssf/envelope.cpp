// Enveloping for recipients and developing with a recipient's key.
#include "ssf/envelope.h"

#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engines/gost/gost_ciphers.h"
#include "ssf/certs.h"
#include "ssf/codes.h"
#include "ssf/keys.h"
#include "ssf/log.h"
#include "ssf/records.h"
#include "ssf/token.h"
#include "ssf/workers.h"

namespace ssf {

namespace {

constexpr size_t kContentKeyLen = 32;
// The develope of a message whose content cannot be wrapped again.
constexpr int kEncodeFailed = 11;

ossl::Pkcs7 read_pkcs7(const char* fn, Bytes input, int& rc, bool dump_on_memory) {
    ossl::Bio in(BIO_new_mem_buf(input.data(), static_cast<int>(input.size())));
    if (!in) {
        log_error("%s() 1 : BIO_new_mem_buf() failed", fn);
        if (dump_on_memory) log_crypto_errors();
        rc = SSF_RC_MEMORY;
        return nullptr;
    }
    ossl::Pkcs7 p7(d2i_PKCS7_bio(in.get(), nullptr));
    if (!p7) {
        log_error("%s() 2 : d2i_PKCS7_bio() failed", fn);
        // Not dumped here, but never left queued for the host's next crypto-library call.
        if (dump_on_memory)
            log_crypto_errors();
        else
            ERR_clear_error();
        rc = SSF_RC_NOT_PKCS7;
    }
    return p7;
}

std::string identity_of(const SigRcpSsfInfo* r) {
    ossl::Text id(get_sz_string_from_sap_string(r->strSigRcpId, r->strSigRcpIdL));
    std::string text = id ? id.get() : "";
    if (text.size() > 1023) text.resize(1023);
    return text;
}

// Output of a DER encoding into a buffer from the crypto library's allocator.
bool der_out(OutData& out, PKCS7* p7) {
    const int len = i2d_PKCS7(p7, nullptr);
    if (len <= 0) return false;
    ossl::Bytes buf(static_cast<unsigned char*>(OPENSSL_malloc(static_cast<size_t>(len))));
    if (!buf) return false;
    unsigned char* p = buf.get();
    if (i2d_PKCS7(p7, &p) != len) return false;
    out.data = std::move(buf);
    out.size = static_cast<uint32_t>(len);
    return true;
}

}  // namespace

int SSF_EVP_PKEY_decrypt(unsigned char* dec_key, size_t dec_key_room, const unsigned char* enc_key,
                         int enc_key_len, EVP_PKEY* private_key) {
    static const char* kFn = "SSF_EVP_PKEY_decrypt";
    log_debug("%s() begin, dec_key = 0x%p, enc_key = 0x%p, enc_key_len = %d, private_key = 0x%p",
              kFn, static_cast<void*>(dec_key), static_cast<const void*>(enc_key), enc_key_len,
              static_cast<void*>(private_key));
    int rc = -1;
    [&] {
        ossl::PKeyCtx ctx(EVP_PKEY_CTX_new(private_key, nullptr));
        if (!ctx) {
            log_error("%s() 1 : EVP_PKEY_CTX_new() failed", kFn);
            log_crypto_errors();
            return;
        }
        if (EVP_PKEY_decrypt_init(ctx.get()) <= 0) {
            log_error("%s() 2 : EVP_PKEY_decrypt_init() failed", kFn);
            log_crypto_errors();
            return;
        }
        size_t room = 0;
        if (enc_key_len < 0 || EVP_PKEY_decrypt(ctx.get(), nullptr, &room, enc_key,
                                                static_cast<size_t>(enc_key_len)) <= 0) {
            log_error("%s() 3 : EVP_PKEY_decrypt() failed", kFn);
            return;
        }
        // The length query answers with the most the key can give (an RSA key: its modulus
        // size); only the decrypted key must be 32 bytes.
        if (room > dec_key_room) {
            log_error("%s() 4 : dec_key_size is %d, not %d", kFn, static_cast<int>(room),
                      static_cast<int>(kContentKeyLen));
            return;
        }
        size_t got = room;
        if (EVP_PKEY_decrypt(ctx.get(), dec_key, &got, enc_key, static_cast<size_t>(enc_key_len)) <=
            0) {
            log_error("%s() 5 : EVP_PKEY_decrypt() failed", kFn);
            return;
        }
        if (got != kContentKeyLen) {
            OPENSSL_cleanse(dec_key, dec_key_room);
            log_error("%s() 4 : dec_key_size is %d, not %d", kFn, static_cast<int>(got),
                      static_cast<int>(kContentKeyLen));
            return;
        }
        rc = static_cast<int>(kContentKeyLen);
    }();
    log_debug("%s() end, return code = %d", kFn, rc);
    return rc;
}

ossl::Bio ssf_PKCS7_dataDecode(PKCS7* p7, EVP_PKEY* key, X509* cert) {
    PKCS7_ENVELOPE* env = p7->d.enveloped;
    X509_ALGOR* enc_alg = env->enc_data->algorithm;
    const EVP_CIPHER* cipher = EVP_get_cipherbyname(OBJ_nid2sn(OBJ_obj2nid(enc_alg->algorithm)));
    if (cipher == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_UNSUPPORTED_CIPHER_TYPE);
        return nullptr;
    }
    ossl::Bio cipher_bio(BIO_new(BIO_f_cipher()));
    if (!cipher_bio) {
        ERR_raise(ERR_LIB_PKCS7, ERR_R_BIO_LIB);
        return nullptr;
    }
    // Only the RecipientInfo issued to this certificate is tried.
    PKCS7_RECIP_INFO* ri = nullptr;
    for (int i = 0; i < sk_PKCS7_RECIP_INFO_num(env->recipientinfo); ++i) {
        PKCS7_RECIP_INFO* r = sk_PKCS7_RECIP_INFO_value(env->recipientinfo, i);
        if (X509_NAME_cmp(r->issuer_and_serial->issuer, X509_get_issuer_name(cert)) == 0 &&
            ASN1_STRING_cmp(r->issuer_and_serial->serial, X509_get0_serialNumber(cert)) == 0) {
            ri = r;
            break;
        }
    }
    if (ri == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_RECIPIENT_MATCHES_CERTIFICATE);
        return nullptr;
    }
    const int max = EVP_PKEY_get_size(key);
    std::vector<unsigned char> content_key(static_cast<size_t>(std::max(max, 0)) + 10);
    // A token key's transport is opened with the token; every other key's by the crypto library.
    ssf_token_key* token = token_record(key);
    const int key_len = token ? TOKEN_PKEY_decrypt(content_key.data(), content_key.size(),
                                                   ri->enc_key->data, ri->enc_key->length, token)
                              : SSF_EVP_PKEY_decrypt(content_key.data(), content_key.size(),
                                                     ri->enc_key->data, ri->enc_key->length, key);
    if (key_len <= 0) {
        ERR_raise(ERR_LIB_PKCS7, ERR_R_EVP_LIB);
        return nullptr;
    }
    EVP_CIPHER_CTX* ctx = nullptr;
    BIO_get_cipher_ctx(cipher_bio.get(), &ctx);
    bool keyed = ctx != nullptr &&
                 EVP_CipherInit_ex(ctx, cipher, nullptr, nullptr, nullptr, 0) > 0 &&
                 EVP_CIPHER_asn1_to_param(ctx, enc_alg->parameter) > 0;
    if (keyed && key_len != EVP_CIPHER_CTX_get_key_length(ctx) &&
        !EVP_CIPHER_CTX_set_key_length(ctx, key_len)) {
        ERR_raise_data(ERR_LIB_PKCS7, PKCS7_R_DECRYPT_ERROR, "decrypted key is wrong length");
        keyed = false;
    }
    keyed = keyed && EVP_CipherInit_ex(ctx, nullptr, nullptr, content_key.data(), nullptr, 0) > 0;
    OPENSSL_cleanse(content_key.data(), content_key.size());
    if (!keyed) return nullptr;

    // Absent encrypted content (carried elsewhere) is not empty content: with a stream cipher
    // it would "decrypt" to nothing with success.
    const ASN1_OCTET_STRING* data = env->enc_data->enc_data;
    if (data == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_CONTENT);
        return nullptr;
    }
    ossl::Bio source(data->length > 0 ? BIO_new_mem_buf(data->data, data->length)
                                      : BIO_new(BIO_s_mem()));
    if (!source) {
        ERR_raise(ERR_LIB_PKCS7, ERR_R_BIO_LIB);
        return nullptr;
    }
    BIO_push(cipher_bio.get(), source.release());
    return cipher_bio;
}

int my_PKCS7_decrypt(PKCS7* p7, EVP_PKEY* key, X509* cert, BIO* data, int flags) {
    if (p7 == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if (!PKCS7_type_is_enveloped(p7) || p7->d.enveloped == nullptr ||
        p7->d.enveloped->enc_data == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_WRONG_CONTENT_TYPE);
        return 0;
    }
    ossl::Bio chain = ssf_PKCS7_dataDecode(p7, key, cert);
    if (!chain) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_DECRYPT_ERROR);
        return 0;
    }
    if (flags & PKCS7_TEXT) {
        ossl::Bio buffered(BIO_new(BIO_f_buffer()));
        if (!buffered) return 0;
        BIO_push(buffered.get(), chain.release());
        return SMIME_text(buffered.get(), data);
    }
    unsigned char piece[4096];
    for (;;) {
        const int n = BIO_read(chain.get(), piece, sizeof piece);
        if (n <= 0) break;
        if (BIO_write(data, piece, n) != n) {
            OPENSSL_cleanse(piece, sizeof piece);
            return 0;
        }
    }
    OPENSSL_cleanse(piece, sizeof piece);
    // A cipher stream that could not finish says so only here.
    return BIO_get_cipher_status(chain.get()) == 1 ? 1 : 0;
}

int envelope_data(OutData& out, Bytes input, Bytes pab, Bytes, SigRcpSsfInfoList recipients) {
    static const char* kFn = "envelope_data";
    int rc = SSF_RC_OK;
    ossl::Pkcs7 p7 = read_pkcs7(kFn, input, rc, true);
    if (!p7) return rc;
    OutData content;
    if (decode_data(content, input) != 0) {
        log_error("%s() 3: decoding failed", kFn);
        return SSF_RC_NOT_PKCS7;
    }
    static const unsigned char kNothing = 0;
    ossl::Bio content_bio(BIO_new_mem_buf(content.data ? content.data.get() : &kNothing,
                                          static_cast<int>(content.size)));
    if (!content_bio) {
        log_error("%s() 4: BIO_new_mem_buf() failed", kFn);
        return SSF_RC_MEMORY;
    }
    ossl::Text dir(get_sz_string_from_sap_string(pab.data(), static_cast<SAP_UINT>(pab.size())));
    if (!dir) {
        log_error("%s() 5 : get_sz_string_from_sap_string() failed", kFn);
        return SSF_RC_NO_PAB_CERTS;
    }
    ossl::X509Stack pab_certs = load_certs_from_pab(dir.get());
    if (!pab_certs) {
        log_error("%s() 6 : load_certs_from_pab( '%s' ) failed", kFn, dir.get());
        return SSF_RC_NO_PAB_CERTS;
    }
    log_write("%s() 6.1 : found %d certificates in PAB '%s'", kFn, sk_X509_num(pab_certs.get()),
              dir.get());

    ossl::X509Stack certs = ossl::new_x509_stack();
    if (!certs) return SSF_RC_MEMORY;
    bool failed = false;
    for (SigRcpSsfInfoList node = recipients; node != nullptr; node = node->next) {
        SigRcpSsfInfo* r = node->ptrSigRcp;
        if (r == nullptr) continue;
        ossl::X509Ptr cert;
        const int found = get_cert_from_pab(pab_certs.get(), r, cert);
        r->uResult = static_cast<SAP_UINT>(found);
        if (found != 0 || !cert) {
            log_error("%s() 7 : no certificate found for: '%s'", kFn, identity_of(r).c_str());
            failed = true;
            continue;
        }
        if (!sk_X509_push(certs.get(), cert.get())) return SSF_RC_MEMORY;
        cert.release();
    }
    if (failed) return SSF_RC_RECIPIENT_FAILED;
    // An envelope for nobody would lock the content away for good, reported as success.
    if (sk_X509_num(certs.get()) == 0) {
        log_error("%s() 7 : no recipients", kFn);
        return SSF_RC_RECIPIENT_FAILED;
    }

    ossl::Pkcs7 enveloped(
        PKCS7_encrypt(certs.get(), content_bio.get(), tvk_cipher_gost89(), PKCS7_BINARY));
    if (!enveloped) {
        log_error("%s() 8 : PKCS7_encrypt() failed", kFn);
        log_crypto_errors();
        return SSF_RC_NO_OUTPUT;
    }
    if (!der_out(out, enveloped.get())) {
        log_error("%s() 9 : i2d_PKCS7() failed", kFn);
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    return SSF_RC_OK;
}

int develope_data(OutData& out, Bytes enveloped, SigRcpSsfInfo* recipient) {
    static const char* kFn = "develope_data";
    int rc = SSF_RC_OK;
    ossl::Pkcs7 p7 = read_pkcs7(kFn, enveloped, rc, false);
    if (!p7) return rc;
    if (!PKCS7_type_is_enveloped(p7.get())) {
        log_error("%s() 3 : PKCS7 has wrong format", kFn);
        return SSF_RC_INVALID_FORMAT;
    }
    ossl::X509Ptr cert;
    ossl::PKey key;
    if (const int loaded = ssf_load_cert_and_key(recipient, cert, key, 0, nullptr); loaded != 0) {
        log_error("%s() 6 : ssf_load_cert_and_key() failed", kFn);
        return loaded;
    }
    ossl::Bio plain(BIO_new(BIO_s_mem()));
    if (!plain) {
        log_error("%s() 7 : BIO_new( BIO_s_mem() ) failed", kFn);
        return SSF_RC_MEMORY;
    }
    const int decrypted = my_PKCS7_decrypt(p7.get(), key.get(), cert.get(), plain.get(), 0);
    // A token key's session is not needed past this point.
    ssf_free_key(key);
    if (decrypted < 1) {
        log_error("%s() 8 : my_PKCS7_decrypt() failed", kFn);
        log_crypto_errors();
        recipient->uResult = SSF_RESULT_INVALID_SIGNATURE;
        return SSF_RC_RECIPIENT_FAILED;
    }
    BUF_MEM* content = nullptr;
    BIO_get_mem_ptr(plain.get(), &content);
    if (content == nullptr) {
        log_error("%s() 9 : realloc( %d ) failed", kFn, 0);
        return SSF_RC_MEMORY;
    }
    const int encoded =
        encode_data(out, Bytes(reinterpret_cast<unsigned char*>(content->data), content->length));
    OPENSSL_cleanse(content->data, content->max);
    if (encoded != 0) {
        log_error("%s() 10 : encode_data() failed", kFn);
        return kEncodeFailed;
    }
    recipient->uResult = SSF_RESULT_VALID;
    return SSF_RC_OK;
}

}  // namespace ssf
