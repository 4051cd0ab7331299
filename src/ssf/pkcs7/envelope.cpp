// Enveloping for recipients and developing with a recipient's key.
#include "ssf/pkcs7/envelope.h"

#include <openssl/buffer.h>
#include <openssl/err.h>
#include <openssl/pkcs7.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "engines/gost/gost_ciphers.h"
#include "ssf/codes.h"
#include "ssf/encode.h"
#include "ssf/log.h"
#include "ssf/pkcs7/workers.h"
#include "ssf/pki/certs.h"
#include "ssf/pki/keys.h"
#include "ssf/pki/token.h"
#include "ssf/records.h"

namespace ssf {

namespace {

constexpr size_t kContentKeyLen = 32;

// DER of the object identifier of PKCS#7 enveloped data, 1.2.840.113549.1.7.3.
constexpr unsigned char kEnvelopedOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                           0xf7, 0x0d, 0x01, 0x07, 0x03};

// The last element inside [p, end) when it has the tag, every element before it walked over:
// its header's position, or null.
const unsigned char* last_element(const unsigned char* p, const unsigned char* end,
                                  unsigned char tag) {
    while (p < end) {
        const unsigned char* at = p;
        size_t len = 0;
        if ((*p & 0x1f) == 0x1f || !der_header(p, end, *p, len)) return nullptr;
        p += len;
        if (p == end) return *at == tag ? at : nullptr;
    }
    return nullptr;
}

// An enveloped message as the develope reads it; the content lent into the message goes back
// before the message is freed.
struct EnvelopedMessage {
    ossl::Pkcs7 p7;
    LentOctets content;
};

}  // namespace

bool enveloped_layout(Bytes der, EnvelopedLayout& layout) {
    Bytes body, enveloped;
    if (!content_info_body(der, kEnvelopedOid, body) || !only_element(body, 0x30, enveloped))
        return false;
    const unsigned char* p = enveloped.data();
    const unsigned char* const message_end = p + enveloped.size();
    size_t len = 0;
    const unsigned char* const enveloped_start = p;
    const unsigned char* info = last_element(p, message_end, 0x30);
    if (!info) return false;
    p = info;
    if (!der_header(p, message_end, 0x30, len)) return false;
    const unsigned char* const info_start = p;
    const unsigned char* content = last_element(p, message_end, 0x80);
    if (!content) return false;
    p = content;
    if (!der_header(p, message_end, 0x80, len)) return false;
    layout.before_info = Bytes(enveloped_start, static_cast<size_t>(info - enveloped_start));
    layout.before_content = Bytes(info_start, static_cast<size_t>(content - info_start));
    layout.content = Bytes(p, len);
    return true;
}

std::vector<unsigned char> enveloped_prefix(const EnvelopedLayout& layout, size_t content_len) {
    const size_t l3 = layout.before_content.size() + 1 + der_length_size(content_len) + content_len;
    const size_t l2 = layout.before_info.size() + 1 + der_length_size(l3) + l3;
    const size_t l1 = 1 + der_length_size(l2) + l2;
    const size_t l0 = sizeof kEnvelopedOid + 1 + der_length_size(l1) + l1;
    std::vector<unsigned char> prefix(1 + der_length_size(l0) + l0 - content_len);
    unsigned char* w = prefix.data();
    auto put = [&](unsigned char tag, size_t n) {
        *w++ = tag;
        w = put_der_length(w, n);
    };
    auto copy = [&](Bytes b) {
        if (!b.empty()) std::memcpy(w, b.data(), b.size());
        w += b.size();
    };
    put(0x30, l0);
    copy(Bytes(kEnvelopedOid, sizeof kEnvelopedOid));
    put(0xa0, l1);
    put(0x30, l2);
    copy(layout.before_info);
    put(0x30, l3);
    copy(layout.before_content);
    put(0x80, content_len);
    return prefix;
}

namespace {

// The plain DER layout is read in place: the decoder gets the message without its encrypted
// content (a copy of the rest, which is small), and the content is lent back in.
bool read_enveloped_in_place(Bytes input, EnvelopedMessage& m) {
    EnvelopedLayout layout;
    if (!enveloped_layout(input, layout)) return false;
    const std::vector<unsigned char> shell = enveloped_prefix(layout, 0);
    const unsigned char* q = shell.data();
    m.p7.reset(d2i_PKCS7(nullptr, &q, static_cast<long>(shell.size())));
    PKCS7_ENC_CONTENT* enc = m.p7 && PKCS7_type_is_enveloped(m.p7.get()) && m.p7->d.enveloped
                                 ? m.p7->d.enveloped->enc_data
                                 : nullptr;
    if (!enc || !enc->enc_data || ASN1_STRING_length(enc->enc_data) != 0) {
        m.p7.reset();
        ERR_clear_error();
        return false;
    }
    ossl::replace<ossl::OctetString>(enc->enc_data, nullptr);
    return m.content.lend(enc->enc_data, layout.content);
}

// The develope's reading of its input: no error dump, so the crypto library's queue is only
// cleared, whichever way the input was read.
bool read_enveloped(const char* fn, Bytes input, EnvelopedMessage& m, int& rc) {
    if (read_enveloped_in_place(input, m)) return true;
    const unsigned char* p = input.data();
    m.p7.reset(d2i_PKCS7(nullptr, &p, static_cast<long>(input.size())));
    if (m.p7) return true;
    log_error("%s() 2 : d2i_PKCS7_bio() failed", fn);
    // Not dumped here, but never left queued for the host's next crypto-library call.
    ERR_clear_error();
    rc = SSF_RC_NOT_PKCS7;
    return false;
}

// The decrypted content, read straight into the buffer the caller gets, behind room for the DER
// header of the data message that wraps it: the output is made without copying the content.
// Whatever is not handed over is wiped.
struct Plaintext {
    ossl::Bytes buf;
    size_t room = 0, header = 0, size = 0;

    ~Plaintext() {
        if (buf) OPENSSL_cleanse(buf.get(), room);
    }
    // Room for the content of a message whose ciphertext has cipher_len bytes.
    bool reserve(int cipher_len) {
        // Decryption never adds bytes: the header for the ciphertext's length is the one used
        // unless padding is taken off.
        const size_t most = static_cast<size_t>(std::max(cipher_len, 0));
        unsigned char scratch[kDataHeaderMax];
        header = data_message_header(most, scratch);
        room = header + most + EVP_MAX_BLOCK_LENGTH;
        buf = alloc_output(room);
        return buf != nullptr;
    }
    // Decrypts the whole stream; false when it cannot be finished.
    // Decrypts the whole content with the cipher of the decrypting stream, in one pass from the
    // message into the buffer; false when the cipher cannot finish (bad padding, say).
    bool decrypt(BIO* chain, const ASN1_OCTET_STRING* encrypted) {
        EVP_CIPHER_CTX* ctx = nullptr;
        if (BIO_get_cipher_ctx(chain, &ctx) <= 0 || !ctx) return false;
        unsigned char* out = buf.get() + header;
        int n = 0, last = 0;
        if (EVP_CipherUpdate(ctx, out, &n, ASN1_STRING_get0_data(encrypted),
                             ASN1_STRING_length(encrypted)) != 1 ||
            EVP_CipherFinal_ex(ctx, out + n, &last) != 1)
            return false;
        size = static_cast<size_t>(n) + static_cast<size_t>(last);
        return size <= room - header;
    }
    // The output as encode_data makes it: a signed or enveloped message as it is, anything else
    // wrapped as data. Only a header shorter than the room kept for it moves the content.
    void hand_over(OutData& out) {
        unsigned char* content = buf.get() + header;
        if (encodes_as_itself(Bytes(content, size))) {
            std::memmove(buf.get(), content, size);
            out.size = static_cast<uint32_t>(size);
        } else {
            unsigned char wrap[kDataHeaderMax];
            const size_t used = data_message_header(size, wrap);
            if (used != header) std::memmove(buf.get() + used, content, size);
            std::memcpy(buf.get(), wrap, used);
            out.size = static_cast<uint32_t>(used + size);
        }
        out.data = std::move(buf);
        room = 0;
    }
};

// The recipient whose key takes no key transport, or -1 when every one does. The transports are
// made inside the stream set-up, which does not say whose failed, so after a failed envelope each
// key is asked; the error queue stays as the envelope left it.
int refusing_recipient(STACK_OF(X509) * certs) {
    ERR_set_mark();
    int refused = -1;
    for (int i = 0; i < sk_X509_num(certs) && refused < 0; ++i) {
        ossl::PKeyCtx ctx(EVP_PKEY_CTX_new(X509_get0_pubkey(sk_X509_value(certs, i)), nullptr));
        if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0) refused = i;
    }
    ERR_pop_to_mark();
    return refused;
}

// PKCS7_encrypt with the binary flag, then its DER encoding into the output, with the content
// encrypted in one pass straight into its place in the output. 0, or the step that failed (8
// encryption, 9 encoding) with the reason on the crypto library's error queue; `refused` is the
// index of the certificate that could not be added as a recipient, when one could not.
int envelope_into(OutData& out, STACK_OF(X509) * certs, Bytes content, const EVP_CIPHER* cipher,
                  int& refused) {
    refused = -1;
    ossl::Pkcs7 p7(PKCS7_new());
    if (!p7 || !PKCS7_set_type(p7.get(), NID_pkcs7_enveloped)) return 8;
    if (!PKCS7_set_cipher(p7.get(), cipher)) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_ERROR_SETTING_CIPHER);
        return 8;
    }
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        if (!PKCS7_add_recipient(p7.get(), sk_X509_value(certs, i))) {
            ERR_raise(ERR_LIB_PKCS7, PKCS7_R_ERROR_ADDING_RECIPIENT);
            refused = i;
            return 8;
        }
    }
    // The stream sets up the content key, its transport to every recipient and the cipher; the
    // content is then encrypted with that cipher, not through the stream and a growing buffer.
    ossl::Bio chain(PKCS7_dataInit(p7.get(), nullptr));
    BIO* cipher_bio = chain ? BIO_find_type(chain.get(), BIO_TYPE_CIPHER) : nullptr;
    EVP_CIPHER_CTX* ctx = nullptr;
    if (!cipher_bio || BIO_get_cipher_ctx(cipher_bio, &ctx) <= 0 || !ctx ||
        content.size() > static_cast<size_t>(INT_MAX) - EVP_MAX_BLOCK_LENGTH) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_PKCS7_ADD_SIGNATURE_ERROR);
        return 8;
    }
    const size_t block = static_cast<size_t>(std::max(EVP_CIPHER_CTX_get_block_size(ctx), 1));
    const size_t cipher_len =
        block == 1 ? content.size() : content.size() + block - content.size() % block;

    // The message encoded without its content gives every byte in front of the content.
    PKCS7_ENC_CONTENT* enc = p7->d.enveloped->enc_data;
    ossl::replace<ossl::OctetString>(enc->enc_data, ASN1_OCTET_STRING_new());
    OutData shell;
    EnvelopedLayout layout;
    if (!enc->enc_data || !der_output(shell, p7.get()) ||
        !enveloped_layout(Bytes(shell.data.get(), shell.size), layout))
        return 9;
    const std::vector<unsigned char> prefix = enveloped_prefix(layout, cipher_len);
    ossl::Bytes buf = alloc_output(prefix.size() + cipher_len + EVP_MAX_BLOCK_LENGTH);
    if (!buf) return 9;
    std::memcpy(buf.get(), prefix.data(), prefix.size());
    unsigned char* const place = buf.get() + prefix.size();
    int n = 0, last = 0;
    if (EVP_CipherUpdate(ctx, place, &n, content.data(), static_cast<int>(content.size())) != 1 ||
        EVP_CipherFinal_ex(ctx, place + n, &last) != 1 ||
        static_cast<size_t>(n) + static_cast<size_t>(last) != cipher_len) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_PKCS7_DATASIGN);
        return 8;
    }
    out.data = std::move(buf);
    out.size = static_cast<uint32_t>(prefix.size() + cipher_len);
    return 0;
}

std::string identity_of(const SigRcpSsfInfo* r) {
    ossl::Text id(get_sz_string_from_sap_string(r->strSigRcpId, r->strSigRcpIdL));
    std::string text = id ? id.get() : "";
    if (text.size() > 1023) text.resize(1023);
    return text;
}

}  // namespace

int SSF_EVP_PKEY_decrypt(unsigned char* dec_key, size_t dec_key_room, const unsigned char* enc_key,
                         int enc_key_len, EVP_PKEY* private_key) {
    static const char* kFn = "SSF_EVP_PKEY_decrypt";
    log_debug("%s() begin, dec_key = 0x%lx, enc_key = 0x%lx, enc_key_len = %d, private_key = 0x%lx",
              kFn, ptr_bits(dec_key), ptr_bits(enc_key), enc_key_len, ptr_bits(private_key));
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

    // Absent encrypted content (carried elsewhere) or empty encrypted content is no content:
    // with a stream cipher it would "decrypt" to nothing with success. Enveloping refuses empty
    // content, so no envelope of ours is empty.
    const ASN1_OCTET_STRING* data = env->enc_data->enc_data;
    if (data == nullptr || data->length <= 0) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_NO_CONTENT);
        return nullptr;
    }
    ossl::Bio source(BIO_new_mem_buf(data->data, data->length));
    if (!source) {
        ERR_raise(ERR_LIB_PKCS7, ERR_R_BIO_LIB);
        return nullptr;
    }
    BIO_push(cipher_bio.get(), source.release());
    return cipher_bio;
}

ossl::Bio open_decryption(PKCS7* p7, EVP_PKEY* key, X509* cert) {
    if (p7 == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    if (!PKCS7_type_is_enveloped(p7) || p7->d.enveloped == nullptr ||
        p7->d.enveloped->enc_data == nullptr) {
        ERR_raise(ERR_LIB_PKCS7, PKCS7_R_WRONG_CONTENT_TYPE);
        return nullptr;
    }
    ossl::Bio chain = ssf_PKCS7_dataDecode(p7, key, cert);
    if (!chain) ERR_raise(ERR_LIB_PKCS7, PKCS7_R_DECRYPT_ERROR);
    return chain;
}

int my_PKCS7_decrypt(PKCS7* p7, EVP_PKEY* key, X509* cert, BIO* data, int flags) {
    ossl::Bio chain = open_decryption(p7, key, cert);
    if (!chain) return 0;
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
    ContentView content;
    if (!view_pkcs7(input, content, true)) {
        log_error("%s() 2 : d2i_PKCS7_bio() failed", kFn);
        log_crypto_errors();
        return SSF_RC_NOT_PKCS7;
    }
    if (decode_view(content, true) != 0) {
        log_error("%s() 3: decoding failed", kFn);
        return SSF_RC_NOT_PKCS7;
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
    std::vector<SigRcpSsfInfo*> holders;  // the record of each certificate
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
        holders.push_back(r);
    }
    if (failed) return SSF_RC_RECIPIENT_FAILED;
    // An envelope for nobody would lock the content away for good, reported as success.
    if (sk_X509_num(certs.get()) == 0) {
        log_error("%s() 7 : no recipients", kFn);
        return SSF_RC_RECIPIENT_FAILED;
    }

    int refused = -1;
    if (const int failed =
            envelope_into(out, certs.get(), content.bytes, tvk_cipher_gost89(), refused)) {
        out = OutData{};
        // No record reads "valid" for an envelope that was not made: the recipient whose key
        // refused is named; when none can be, none of them is valid.
        if (refused < 0 && failed == 8) refused = refusing_recipient(certs.get());
        for (size_t i = 0; i < holders.size(); ++i)
            if (refused < 0 || static_cast<size_t>(refused) == i)
                holders[i]->uResult = SSF_RESULT_INVALID_SIGNATURE;
        if (failed == 8) {
            log_error("%s() 8 : PKCS7_encrypt() failed", kFn);
            log_crypto_errors();
            return SSF_RC_NO_OUTPUT;
        }
        log_error("%s() 9 : i2d_PKCS7() failed", kFn);
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    return SSF_RC_OK;
}

int develope_data(OutData& out, Bytes enveloped, SigRcpSsfInfo* recipient) {
    static const char* kFn = "develope_data";
    int rc = SSF_RC_OK;
    EnvelopedMessage message;
    if (!read_enveloped(kFn, enveloped, message, rc)) return rc;
    PKCS7* const p7 = message.p7.get();
    if (!PKCS7_type_is_enveloped(p7)) {
        log_error("%s() 3 : PKCS7 has wrong format", kFn);
        return SSF_RC_INVALID_FORMAT;
    }
    ossl::X509Ptr cert;
    ossl::PKey key;
    if (const int loaded = ssf_load_cert_and_key(recipient, cert, key, 0, nullptr); loaded != 0) {
        log_error("%s() 6 : ssf_load_cert_and_key() failed", kFn);
        return loaded;
    }
    ossl::Bio chain = open_decryption(p7, key.get(), cert.get());
    Plaintext plain;
    if (chain && !plain.reserve(p7->d.enveloped->enc_data->enc_data->length)) {
        log_error("%s() 9 : realloc( %d ) failed", kFn, static_cast<int>(plain.room));
        return SSF_RC_MEMORY;
    }
    const bool decrypted = chain && plain.decrypt(chain.get(), p7->d.enveloped->enc_data->enc_data);
    // A token key's session is not needed past this point.
    ssf_free_key(key);
    if (!decrypted) {
        log_error("%s() 8 : my_PKCS7_decrypt() failed", kFn);
        log_crypto_errors();
        recipient->uResult = SSF_RESULT_INVALID_SIGNATURE;
        return SSF_RC_RECIPIENT_FAILED;
    }
    plain.hand_over(out);
    recipient->uResult = SSF_RESULT_VALID;
    return SSF_RC_OK;
}

}  // namespace ssf
