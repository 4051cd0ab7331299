#include "ssf/cades/verify_at_time.h"

#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/sha.h>

#include <array>
#include <cstring>
#include <string>

#include "platform/winstub.h"

namespace ssf {

namespace {

// Where a context made by ChainAtTime finds its way back to it, for the verification callback.
int chain_index() {
    static const int index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

}  // namespace

ChainAtTime::ChainAtTime() : ctx_(X509_STORE_CTX_new()) {}

bool ChainAtTime::init(X509_STORE* store, time_t when, X509* target, STACK_OF(X509) * untrusted,
                       STACK_OF(X509) * own) {
    if (!ctx_ || !store || chain_index() < 0) return false;
    untrusted_.reset(sk_X509_new_null());
    if (!untrusted_ || !ossl::append_borrowed(untrusted_.get(), untrusted) ||
        !ossl::append_borrowed(untrusted_.get(), own))
        return false;
    if (X509_STORE_CTX_init(ctx_.get(), store, target, untrusted_.get()) != 1) return false;
    // The moment lives in the context's own copy of the caller's verification parameters.
    X509_STORE_CTX_set_time(ctx_.get(), 0, when == -1 ? platform::now() : when);
    if (sk_X509_num(own) <= 0) return true;
    own_ = own;
    callers_cb_ = X509_STORE_CTX_get_verify_cb(ctx_.get());
    if (X509_STORE_CTX_set_ex_data(ctx_.get(), chain_index(), this) != 1) return false;
    X509_STORE_CTX_set_verify_cb(ctx_.get(), verify_cb);
    return true;
}

// A chain that ends in a self-signed certificate of the call's own ends at a root it trusts for
// this call, as though the store held it; every other event goes to the caller's callback as it
// would without the call's certificates.
int ChainAtTime::verify_cb(int ok, X509_STORE_CTX* ctx) {
    const auto* self =
        static_cast<const ChainAtTime*>(X509_STORE_CTX_get_ex_data(ctx, chain_index()));
    if (!self) return ok;
    if (!ok) {
        const int err = X509_STORE_CTX_get_error(ctx);
        if ((err == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
             err == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT) &&
            ossl::contains(self->own_, X509_STORE_CTX_get_current_cert(ctx))) {
            X509_STORE_CTX_set_error(ctx, X509_V_OK);
            return 1;
        }
    }
    return self->callers_cb_ ? self->callers_cb_(ok, ctx) : ok;
}

namespace {

// A signed attribute decoded into *out; none when it is absent. False when it is there but does
// not decode.
template <class T>
bool signed_attribute(PKCS7_SIGNER_INFO* si, int nid, T* (*d2i)(T**, const unsigned char**, long),
                      T** out) {
    *out = nullptr;
    const ASN1_TYPE* a = PKCS7_get_signed_attribute(si, nid);
    if (!a) return true;
    if (a->type != V_ASN1_SEQUENCE || !a->value.sequence) return false;
    const unsigned char* p = ASN1_STRING_get0_data(a->value.sequence);
    *out = d2i(nullptr, &p, ASN1_STRING_length(a->value.sequence));
    return *out != nullptr;
}

// The ESS signing-certificate attributes (version 1, version 2, or both, each checked on its own)
// name the TSA's certificate first and, when they list more, only certificates of its chain.
bool signing_certs_match(PKCS7_SIGNER_INFO* si, STACK_OF(X509) * chain) {
    ESS_SIGNING_CERT* v1 = nullptr;
    ESS_SIGNING_CERT_V2* v2 = nullptr;
    const bool decoded =
        signed_attribute(si, NID_id_smime_aa_signingCertificate, d2i_ESS_SIGNING_CERT, &v1) &&
        signed_attribute(si, NID_id_smime_aa_signingCertificateV2, d2i_ESS_SIGNING_CERT_V2, &v2);
    const ossl::EssSigningCert own_v1(v1);
    const ossl::EssSigningCertV2 own_v2(v2);
    if (!decoded) {
        ERR_raise(ERR_LIB_TS, TS_R_ESS_SIGNING_CERTIFICATE_ERROR);
        return false;
    }
    return OSSL_ESS_check_signing_certs(v1, v2, chain, 1) > 0;
}

// The token's one SignerInfo, over content the token carries; none with the reason queued.
PKCS7_SIGNER_INFO* sole_signer_info(PKCS7* token) {
    if (!token) {
        ERR_raise(ERR_LIB_TS, ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    if (!PKCS7_type_is_signed(token)) {
        ERR_raise(ERR_LIB_TS, TS_R_WRONG_CONTENT_TYPE);
        return nullptr;
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(token);
    if (sk_PKCS7_SIGNER_INFO_num(infos) != 1) {
        ERR_raise(ERR_LIB_TS, TS_R_THERE_MUST_BE_ONE_SIGNER);
        return nullptr;
    }
    if (PKCS7_get_detached(token)) {
        ERR_raise(ERR_LIB_TS, TS_R_NO_CONTENT);
        return nullptr;
    }
    return sk_PKCS7_SIGNER_INFO_value(infos, 0);
}

// The ESS attribute over the chain that was checked for signer, and the signature with signer's
// key: both steps use the one certificate whose chain was checked.
bool signed_by(PKCS7* token, PKCS7_SIGNER_INFO* si, X509* signer, STACK_OF(X509) * chain) {
    if (sk_X509_num(chain) <= 0 || X509_cmp(sk_X509_value(chain, 0), signer) != 0) {
        ERR_raise(ERR_LIB_TS, TS_R_CERTIFICATE_VERIFY_ERROR);
        return false;
    }
    if (!signing_certs_match(si, chain)) return false;
    ossl::Bio content(PKCS7_dataInit(token, nullptr));
    if (!content) return false;
    std::array<char, 4096> buf;
    while (BIO_read(content.get(), buf.data(), static_cast<int>(buf.size())) > 0) {
    }
    if (PKCS7_signatureVerify(content.get(), token, si, signer) <= 0) {
        ERR_raise(ERR_LIB_TS, TS_R_SIGNATURE_FAILURE);
        return false;
    }
    return true;
}

// The signature step: exactly one signer certificate among certs and the token's own, its chain
// at `when` for time-stamp signing, then signed_by over that chain. The signer (borrowed from
// certs or the token), or none with the reason queued.
X509* verify_token_signature(time_t when, PKCS7* token, STACK_OF(X509) * certs, X509_STORE* store,
                             STACK_OF(X509) * own) {
    PKCS7_SIGNER_INFO* si = sole_signer_info(token);
    if (!si) return nullptr;
    if (!store) {
        ERR_raise(ERR_LIB_TS, ERR_R_PASSED_NULL_PARAMETER);
        return nullptr;
    }
    const ossl::X509View signers(PKCS7_get0_signers(token, certs, 0));
    if (sk_X509_num(signers.get()) != 1) return nullptr;
    X509* signer = sk_X509_value(signers.get(), 0);

    ossl::X509View untrusted(sk_X509_new_null());
    ChainAtTime chain;
    if (!untrusted || !chain || !ossl::append_borrowed(untrusted.get(), certs) ||
        !ossl::append_borrowed(untrusted.get(), token->d.sign->cert)) {
        ERR_raise(ERR_LIB_TS, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    if (!chain.init(store, when, signer, untrusted.get(), own)) return nullptr;
    X509_STORE_CTX_set_purpose(chain.get(), X509_PURPOSE_TIMESTAMP_SIGN);
    if (X509_verify_cert(chain.get()) <= 0) {
        ERR_raise_data(ERR_LIB_TS, TS_R_CERTIFICATE_VERIFY_ERROR, "Verify error:%s",
                       X509_verify_cert_error_string(X509_STORE_CTX_get_error(chain.get())));
        return nullptr;
    }
    return signed_by(token, si, signer, X509_STORE_CTX_get0_chain(chain.get())) ? signer : nullptr;
}

// The TSTInfo's TSA name designates the certificate: a directory name equal to its subject, or a
// name one of its subjectAltName extensions lists.
bool names_certificate(GENERAL_NAME* name, X509* cert) {
    if (name->type == GEN_DIRNAME &&
        X509_NAME_cmp(name->d.directoryName, X509_get_subject_name(cert)) == 0)
        return true;
    int at = -1;
    while (true) {
        const ossl::GeneralNames alt(static_cast<GENERAL_NAMES*>(
            X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, &at)));
        if (!alt) return false;
        for (int i = 0; i < sk_GENERAL_NAME_num(alt.get()); ++i)
            if (GENERAL_NAME_cmp(sk_GENERAL_NAME_value(alt.get(), i), name) == 0) return true;
    }
}

}  // namespace

namespace {

// The checks after the signature step, which read nothing of the chain: the crypto library's
// own, in its order, then the TSA name against the signer that step verified with.
int verify_token_content(TS_VERIFY_CTX* ctx, PKCS7* token, int flags, GENERAL_NAME* tsa_name,
                         X509* signer) {
    constexpr int kContent =
        TS_VFY_VERSION | TS_VFY_POLICY | TS_VFY_IMPRINT | TS_VFY_DATA | TS_VFY_NONCE;
    if (flags & kContent) {
        TS_VERIFY_CTX_set_flags(ctx, flags & kContent);
        const int rc = TS_RESP_verify_token(ctx, token);
        TS_VERIFY_CTX_set_flags(ctx, flags);
        if (rc != 1) return 0;
    }
    if ((flags & TS_VFY_SIGNER) && tsa_name && !names_certificate(tsa_name, signer)) {
        ERR_raise(ERR_LIB_TS, TS_R_TSA_NAME_MISMATCH);
        return 0;
    }
    return 1;
}

// The flags of ctx, when they can be honoured.
bool usable_flags(TS_VERIFY_CTX* ctx, PKCS7* token, int* flags) {
    if (!ctx || !token) {
        ERR_raise(ERR_LIB_TS, ERR_R_PASSED_NULL_PARAMETER);
        return false;
    }
    *flags = TS_VERIFY_CTX_add_flags(ctx, 0);
    if (*flags & TS_VFY_TSA_NAME) {
        ERR_raise(ERR_LIB_TS, ERR_R_PASSED_INVALID_ARGUMENT);
        return false;
    }
    return true;
}

}  // namespace

int SSF_TS_RESP_verify_token(time_t when, TS_VERIFY_CTX* ctx, X509_STORE* store, PKCS7* token,
                             STACK_OF(X509) * untrusted, STACK_OF(X509) * own) {
    int flags = 0;
    if (!usable_flags(ctx, token, &flags)) return 0;
    const ossl::TsTstInfo tst(PKCS7_to_TS_TST_INFO(token));
    if (!tst) return 0;
    GENERAL_NAME* tsa_name = TS_TST_INFO_get_tsa(tst.get());
    // A TSA name can only be compared with a signer whose signature was checked.
    X509* signer = nullptr;
    if (((flags & TS_VFY_SIGNATURE) || ((flags & TS_VFY_SIGNER) && tsa_name)) &&
        !(signer = verify_token_signature(when, token, untrusted, store, own)))
        return 0;
    return verify_token_content(ctx, token, flags, tsa_name, signer);
}

int SSF_TS_RESP_verify_token_by(TS_VERIFY_CTX* ctx, PKCS7* token, TS_TST_INFO* tst, X509* tsa,
                                STACK_OF(X509) * chain) {
    int flags = 0;
    if (!usable_flags(ctx, token, &flags)) return 0;
    PKCS7_SIGNER_INFO* si = sole_signer_info(token);
    if (!si || !tst || !tsa) {
        if (si) ERR_raise(ERR_LIB_TS, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    if (!signed_by(token, si, tsa, chain)) return 0;
    return verify_token_content(ctx, token, flags, TS_TST_INFO_get_tsa(tst), tsa);
}

int SSF_TS_RESP_verify_signature(time_t when, PKCS7* token, STACK_OF(X509) * certs,
                                 X509_STORE* store, X509** signer, STACK_OF(X509) * own) {
    if (signer) *signer = nullptr;
    X509* found = verify_token_signature(when, token, certs, store, own);
    if (!found) return 0;
    if (signer) *signer = ossl::up_ref(found).release();
    return 1;
}

namespace {

std::string joined_texts(const STACK_OF(ASN1_UTF8STRING) * texts) {
    std::string out;
    for (int i = 0; i < sk_ASN1_UTF8STRING_num(texts); ++i) {
        const ASN1_UTF8STRING* t = sk_ASN1_UTF8STRING_value(texts, i);
        if (i) out += '/';
        out.append(reinterpret_cast<const char*>(ASN1_STRING_get0_data(t)),
                   static_cast<size_t>(ASN1_STRING_length(t)));
    }
    return out;
}

std::string failure_names(const ASN1_BIT_STRING* info) {
    struct Bit {
        int bit;
        const char* name;
    };
    static constexpr std::array<Bit, 8> kBits{
        {{TS_INFO_BAD_ALG, "badAlg"},
         {TS_INFO_BAD_REQUEST, "badRequest"},
         {TS_INFO_BAD_DATA_FORMAT, "badDataFormat"},
         {TS_INFO_TIME_NOT_AVAILABLE, "timeNotAvailable"},
         {TS_INFO_UNACCEPTED_POLICY, "unacceptedPolicy"},
         {TS_INFO_UNACCEPTED_EXTENSION, "unacceptedExtension"},
         {TS_INFO_ADD_INFO_NOT_AVAILABLE, "addInfoNotAvailable"},
         {TS_INFO_SYSTEM_FAILURE, "systemFailure"}}};
    std::string out;
    for (const Bit& b : kBits) {
        if (!info || !ASN1_BIT_STRING_get_bit(info, b.bit)) continue;
        if (!out.empty()) out += ',';
        out += b.name;
    }
    return out.empty() ? "unspecified" : out;
}

const char* status_name(long status) {
    static constexpr std::array<const char*, 6> kNames{
        "granted", "grantedWithMods",   "rejection",
        "waiting", "revocationWarning", "revocationNotification"};
    return status >= 0 && status < static_cast<long>(kNames.size()) ? kNames[status]
                                                                    : "unknown code";
}

}  // namespace

int SSF_TS_check_status_info(TS_RESP* response) {
    const TS_STATUS_INFO* info = response ? TS_RESP_get_status_info(response) : nullptr;
    const ASN1_INTEGER* status = info ? TS_STATUS_INFO_get0_status(info) : nullptr;
    if (!status) {
        ERR_raise(ERR_LIB_TS, ERR_R_PASSED_NULL_PARAMETER);
        return 0;
    }
    const long code = ASN1_INTEGER_get(status);
    if (code == TS_STATUS_GRANTED || code == TS_STATUS_GRANTED_WITH_MODS) return 1;
    const std::string texts = joined_texts(TS_STATUS_INFO_get0_text(info));
    const std::string failures = failure_names(TS_STATUS_INFO_get0_failure_info(info));
    ERR_raise_data(ERR_LIB_TS, TS_R_NO_TIME_STAMP_TOKEN,
                   "status code: %s, status text: %s, failure codes: %s", status_name(code),
                   texts.empty() ? "unspecified" : texts.c_str(), failures.c_str());
    return 0;
}

namespace {

// The responder's certificate among certs by the response's responder id: by subject name, or
// by the SHA-1 of its public key (an id of another length names none).
X509* responder_among(const STACK_OF(X509) * certs, const ASN1_OCTET_STRING* key,
                      const X509_NAME* name) {
    if (name) return X509_find_by_subject(const_cast<STACK_OF(X509)*>(certs), name);
    if (!key || ASN1_STRING_length(key) != SHA_DIGEST_LENGTH) return nullptr;
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* c = sk_X509_value(certs, i);
        std::array<unsigned char, SHA_DIGEST_LENGTH> md;
        if (X509_pubkey_digest(c, EVP_sha1(), md.data(), nullptr) != 1) return nullptr;
        if (std::memcmp(md.data(), ASN1_STRING_get0_data(key), md.size()) == 0) return c;
    }
    return nullptr;
}

// Searched as the crypto library searches for the signature check: the given certificates
// first (*given), then, unless OCSP_NOINTERN, the response's own.
X509* find_responder(const OCSP_BASICRESP* bs, STACK_OF(X509) * certs, unsigned long flags,
                     bool* given) {
    const ASN1_OCTET_STRING* key = nullptr;
    const X509_NAME* name = nullptr;
    *given = false;
    if (OCSP_resp_get0_id(bs, &key, &name) != 1) return nullptr;
    if (X509* found = responder_among(certs, key, name)) {
        *given = true;
        return found;
    }
    return flags & OCSP_NOINTERN ? nullptr : responder_among(OCSP_resp_get0_certs(bs), key, name);
}

const ASN1_OBJECT* id_digest(const OCSP_CERTID* id) {
    ASN1_OBJECT* md = nullptr;
    return OCSP_id_get0_info(nullptr, &md, nullptr, nullptr, const_cast<OCSP_CERTID*>(id)) == 1
               ? md
               : nullptr;
}

// 1 when cert is the issuer the CertID names (its name and key hashed with the id's digest), 0
// when not, -1 for a digest the crypto library does not know.
int names_issuer(X509* cert, const OCSP_CERTID* id) {
    ASN1_OCTET_STRING *name_hash = nullptr, *key_hash = nullptr;
    ASN1_OBJECT* md_id = nullptr;
    if (OCSP_id_get0_info(&name_hash, &md_id, &key_hash, nullptr, const_cast<OCSP_CERTID*>(id)) !=
        1)
        return -1;
    const EVP_MD* md = EVP_get_digestbyobj(md_id);
    if (!md) {
        ERR_raise(ERR_LIB_OCSP, OCSP_R_UNKNOWN_MESSAGE_DIGEST);
        return -1;
    }
    const int len = EVP_MD_get_size(md);
    if (len <= 0) return -1;
    if (ASN1_STRING_length(name_hash) != len || ASN1_STRING_length(key_hash) != len) return 0;
    std::array<unsigned char, EVP_MAX_MD_SIZE> hash;
    if (X509_NAME_digest(X509_get_subject_name(cert), md, hash.data(), nullptr) != 1) return -1;
    if (std::memcmp(hash.data(), ASN1_STRING_get0_data(name_hash), len) != 0) return 0;
    if (X509_pubkey_digest(cert, md, hash.data(), nullptr) != 1) return -1;
    return std::memcmp(hash.data(), ASN1_STRING_get0_data(key_hash), len) == 0 ? 1 : 0;
}

// With one issuer id for all single responses (id), that one; without, each response's own.
int names_issuer_of_all(X509* cert, const OCSP_CERTID* id, OCSP_BASICRESP* bs) {
    if (id) return names_issuer(cert, id);
    for (int i = 0; i < OCSP_resp_count(bs); ++i) {
        const int r = names_issuer(cert, OCSP_SINGLERESP_get0_id(OCSP_resp_get0(bs, i)));
        if (r <= 0) return r;
    }
    return 1;
}

// The responder may answer for the issuer of the certificates its responses are about: it is
// that issuer, or that issuer issued it for OCSPSigning. 1, 0, or -1 on error.
int responder_may_answer(OCSP_BASICRESP* bs, STACK_OF(X509) * chain) {
    if (sk_X509_num(chain) <= 0) {
        ERR_raise(ERR_LIB_OCSP, OCSP_R_NO_CERTIFICATES_IN_CHAIN);
        return -1;
    }
    const int n = OCSP_resp_count(bs);
    if (n <= 0) {
        ERR_raise(ERR_LIB_OCSP, OCSP_R_RESPONSE_CONTAINS_NO_REVOCATION_DATA);
        return -1;
    }
    const OCSP_CERTID* id = OCSP_SINGLERESP_get0_id(OCSP_resp_get0(bs, 0));
    for (int i = 1; i < n && id; ++i) {
        const OCSP_CERTID* other = OCSP_SINGLERESP_get0_id(OCSP_resp_get0(bs, i));
        if (OCSP_id_issuer_cmp(id, other) == 0) continue;
        // The same issuer hashes differently under another digest: each id is matched alone.
        if (OBJ_cmp(id_digest(id), id_digest(other)) == 0) return 0;
        id = nullptr;
    }
    X509* signer = sk_X509_value(chain, 0);
    if (sk_X509_num(chain) > 1) {
        const int r = names_issuer_of_all(sk_X509_value(chain, 1), id, bs);
        if (r < 0) return r;
        if (r > 0) {
            if ((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) &&
                (X509_get_extended_key_usage(signer) & XKU_OCSP_SIGN))
                return 1;
            ERR_raise(ERR_LIB_OCSP, OCSP_R_MISSING_OCSPSIGNING_USAGE);
            return 0;
        }
    }
    return names_issuer_of_all(signer, id, bs);
}

}  // namespace

namespace {

int verify_responder(const time_t* when, OCSP_BASICRESP* bs, STACK_OF(X509) * certs,
                     X509_STORE* store, unsigned long flags, X509** responder,
                     ossl::X509Ptr* root) {
    // The responder is searched for once, as the crypto library searches; its signature is then
    // the crypto library's own step, handed that one certificate alone, and without its chain
    // check, which could only check at now.
    bool given = false;
    X509* signer = find_responder(bs, certs, flags, &given);
    if (!signer) {
        ERR_raise(ERR_LIB_OCSP, OCSP_R_SIGNER_CERTIFICATE_NOT_FOUND);
        return 0;
    }
    ossl::X509View only(sk_X509_new_null());
    if (!only || !sk_X509_push(only.get(), signer)) {
        ERR_raise(ERR_LIB_OCSP, ERR_R_MALLOC_FAILURE);
        return -1;
    }
    int signed_rc = OCSP_basic_verify(bs, only.get(), store,
                                      (flags | OCSP_NOVERIFY | OCSP_NOINTERN) & ~OCSP_TRUSTOTHER);
    if (signed_rc <= 0) return signed_rc;
    // Without a signature check the crypto library answers where it found the signer: 2 among
    // the given certificates.
    if (signed_rc == 2 && !given) signed_rc = 1;
    *responder = signer;
    if ((flags & OCSP_NOVERIFY) || (given && (flags & OCSP_TRUSTOTHER))) return signed_rc;

    ossl::X509View untrusted(sk_X509_new_null());
    if (!untrusted || (!(flags & OCSP_NOCHAIN) &&
                       (!ossl::append_borrowed(untrusted.get(), OCSP_resp_get0_certs(bs)) ||
                        !ossl::append_borrowed(untrusted.get(), certs)))) {
        ERR_raise(ERR_LIB_OCSP, ERR_R_MALLOC_FAILURE);
        return -1;
    }
    ChainAtTime chain;
    if (!chain || !chain.init(store, when ? *when : -1, signer, untrusted.get(), nullptr)) {
        ERR_raise(ERR_LIB_OCSP, ERR_R_X509_LIB);
        return -1;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(chain.get());
    if (flags & OCSP_PARTIAL_CHAIN) X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    // A responder marked id-pkix-ocsp-nocheck is exempt from revocation checks.
    if (X509_get_ext_by_NID(signer, NID_id_pkix_OCSP_noCheck, -1) >= 0)
        X509_VERIFY_PARAM_clear_flags(param, X509_V_FLAG_CRL_CHECK);
    X509_STORE_CTX_set_purpose(chain.get(), X509_PURPOSE_OCSP_HELPER);
    const int verified = X509_verify_cert(chain.get());
    if (verified <= 0) {
        ERR_raise_data(ERR_LIB_OCSP, OCSP_R_CERTIFICATE_VERIFY_ERROR, "Verify error:%s",
                       X509_verify_cert_error_string(X509_STORE_CTX_get_error(chain.get())));
        return verified;
    }
    STACK_OF(X509)* path = X509_STORE_CTX_get0_chain(chain.get());
    *root = ossl::up_ref(sk_X509_value(path, sk_X509_num(path) - 1));
    if (flags & OCSP_NOCHECKS) return 1;
    const int may = responder_may_answer(bs, path);
    if (may != 0 || (flags & OCSP_NOEXPLICIT)) return may;
    // Otherwise only a root trusted for OCSP signing itself vouches for the responder.
    if (X509_check_trust(sk_X509_value(path, sk_X509_num(path) - 1), X509_TRUST_OCSP_SIGN, 0) !=
        X509_TRUST_TRUSTED) {
        ERR_raise(ERR_LIB_OCSP, OCSP_R_ROOT_CA_NOT_TRUSTED);
        return 0;
    }
    return 1;
}

}  // namespace

int OCSP_basic_verify_time(const time_t* when, OCSP_BASICRESP* bs, STACK_OF(X509) * certs,
                           X509_STORE* store, unsigned long flags, X509** responder,
                           ossl::X509Ptr* root) {
    if (responder) *responder = nullptr;
    if (root) root->reset();
    if (!bs || !store) {
        ERR_raise(ERR_LIB_OCSP, ERR_R_PASSED_NULL_PARAMETER);
        return -1;
    }
    X509* signer = nullptr;
    ossl::X509Ptr top;
    const int rc = verify_responder(when, bs, certs, store, flags, &signer, &top);
    if (rc > 0 && responder) *responder = signer;
    if (rc > 0 && root) *root = std::move(top);
    return rc;
}

int OCSP_BASICRESP_digest(const OCSP_BASICRESP* bs, const EVP_MD* md, unsigned char* out,
                          unsigned int* out_len) {
    if (!bs || !md || !out || !out_len) return 0;
    return ASN1_item_digest(ASN1_ITEM_rptr(OCSP_BASICRESP), md, const_cast<OCSP_BASICRESP*>(bs),
                            out, out_len) == 1
               ? 1
               : 0;
}

}  // namespace ssf
