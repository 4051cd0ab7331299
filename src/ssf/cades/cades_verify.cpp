#include "ssf/cades/cades_verify.h"

#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/x509v3.h>

#include <optional>
#include <string>

#include "platform/winstub.h"
#include "ssf/cades/archive_ts.h"
#include "ssf/cades/cades_enhance.h"
#include "ssf/cades/ess_check.h"
#include "ssf/cades/ocsp_client.h"
#include "ssf/cades/ref_match.h"
#include "ssf/cades/ts_check.h"
#include "ssf/cades/verify_at_time.h"
#include "ssf/codes.h"
#include "ssf/config.h"
#include "ssf/log.h"
#include "ssf/net/crl.h"
#include "ssf/pki/certs.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

constexpr const char kTwoSigners[] =
    "two different certificates in 'certValues' answer to the signer's issuer and serial number";

ossl::Asn1Time time_or_now(const ASN1_GENERALIZEDTIME* t) {
    return ossl::Asn1Time(t ? ASN1_STRING_dup(t)
                            : ASN1_GENERALIZEDTIME_set(nullptr, platform::now()));
}

bool names_ocsp_responder(X509* cert) {
    ossl::InfoAccess aia(static_cast<AUTHORITY_INFO_ACCESS*>(
        X509_get_ext_d2i(cert, NID_info_access, nullptr, nullptr)));
    if (!aia) {
        log_write("%s() : X509_get_ext_d2i( NID_info_access ) failed", "get_cert_status");
        return false;
    }
    for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(aia.get()); ++i) {
        const ACCESS_DESCRIPTION* ad = sk_ACCESS_DESCRIPTION_value(aia.get(), i);
        if (OBJ_obj2nid(ad->method) == NID_ad_OCSP && ad->location && ad->location->type == GEN_URI)
            return true;
    }
    return false;
}

int status_by_ocsp(X509* cert, X509* issuer, STACK_OF(X509) * certs,
                   const ASN1_GENERALIZEDTIME* time, X509_STORE* store, REVOCATION_VALUES* vals,
                   STACK_OF(X509) * pab_certs) {
    static const char* const kFn = "get_cert_status";
    const std::string name = one_line_subject(cert);
    for (int n = 0; n < sk_OCSP_BASICRESP_num(vals->ocspVals); ++n) {
        OCSP_BASICRESP* bs = sk_OCSP_BASICRESP_value(vals->ocspVals, n);
        if (!bs) {
            log_error("%s() 4 : OCSP_BASICRESP #%d is NULL", kFn, n);
            return SSF_RESULT_INVALID_SIGNATURE;
        }
        OCSP_SINGLERESP* first = OCSP_resp_get0(bs, 0);
        if (!first) {
            log_error("%s() 4.1 : OCSP_resp_get0() returned NULL", kFn);
            return SSF_RESULT_INVALID_SIGNATURE;
        }
        ASN1_OBJECT* alg = nullptr;
        OCSP_id_get0_info(nullptr, &alg, nullptr, nullptr,
                          const_cast<OCSP_CERTID*>(OCSP_SINGLERESP_get0_id(first)));
        const EVP_MD* md = alg ? EVP_get_digestbyobj(alg) : nullptr;
        if (!md) {
            log_error("%s() 4.2 : EVP_get_digestbyobj() returned NULL", kFn);
            return SSF_RESULT_INVALID_SIGNATURE;
        }
        ossl::OcspCertId id(OCSP_cert_id_new(md, X509_get_subject_name(issuer),
                                             X509_get0_pubkey_bitstr(issuer),
                                             X509_get0_serialNumber(cert)));
        if (!id) {
            log_error("%s() 3 : OCSP_cert_id_new() failed", kFn);
            log_crypto_errors();
            return SSF_RESULT_INVALID_SIGNATURE;
        }
        int status = -1, reason = -1;
        ASN1_GENERALIZEDTIME *revoked_at = nullptr, *this_upd = nullptr, *next_upd = nullptr;
        if (OCSP_resp_find_status(bs, id.get(), &status, &reason, &revoked_at, &this_upd,
                                  &next_upd) != 1) {
            log_write("%s() 5 : no status found in OCSP_BASICRESP #%d", kFn, n);
            continue;
        }
        const unsigned long flags = config().disable_ocsp_issuer_check ? OCSP_NOCHECKS : 0;
        X509* responder = nullptr;
        if (SSF_OCSP_basic_verify(time, bs, certs, store, flags, &responder, pab_certs) <= 0) {
            log_error("%s() 6 : SSF_OCSP_basic_verify( #%d ) failed", kFn, n);
            return SSF_RESULT_INVALID_SIGNATURE;
        }
        log_write("%s() : certificate '%s' status: '%s'", kFn, name.c_str(),
                  OCSP_cert_status_str(status));
        if (status == V_OCSP_CERTSTATUS_REVOKED) {
            log_error("%s() 7 : certificate '%s' revoked", kFn, name.c_str());
            return SSF_RESULT_CERT_REVOKED;
        }
        if (status == V_OCSP_CERTSTATUS_UNKNOWN) {
            log_error("%s() 8 : certificate '%s' status unknown", kFn, name.c_str());
            return SSF_RESULT_CERT_UNKNOWN;
        }
        if (status != V_OCSP_CERTSTATUS_GOOD) {
            log_error("%s() 9 : certificate '%s' status = %d", kFn, name.c_str(), status);
            return SSF_RESULT_CERT_UNKNOWN;
        }
        if (ocsp_resp_is_good(generalizedtime_to_time_t(time),
                              generalizedtime_to_time_t(OCSP_resp_get0_produced_at(bs)),
                              generalizedtime_to_time_t(this_upd), next_upd, nullptr) != 1) {
            log_error("%s() 10 : OCSP_BASICRESP has wrong 'producedAt' time, it is too old", kFn);
            return SSF_RESULT_ES_SIGNER_CERT_INVALID;
        }
        // The responder is the certificate the signature check verified with: the others a
        // response carries are unsigned and their chains unchecked, so a nocheck extension on
        // one of them vouches for nothing. Responders may leave their own certificate out
        // (RFC 6960); it then came from the certValues.
        X509* inside = nullptr;
        if (OCSP_resp_get0_signer(bs, &inside, nullptr) != 1)
            log_write(
                "%s() 11 : OCSP certificate not found in response, trying to find in signature "
                "attributes",
                kFn);
        if (!responder) {
            log_error("%s() 12 : OCSP certificate not found in signature attributes", kFn);
            return SSF_RESULT_OCSP_BAD_RESPONSE;
        }
        if (X509_get_ext_by_NID(responder, NID_id_pkix_OCSP_noCheck, -1) < 0) {
            log_error("%s() 13 : id-pkix-ocsp-nocheck extension not found in response", kFn);
            return SSF_RESULT_OCSP_BAD_RESPONSE;
        }
        return 0;
    }
    log_error("%s() 15 : certificate '%s' status not found in revocation values", kFn,
              name.c_str());
    return SSF_RESULT_CERT_UNKNOWN;
}

int status_by_crl(X509* cert, X509* issuer, const ASN1_GENERALIZEDTIME* time,
                  REVOCATION_VALUES* vals) {
    static const char* const kFn = "get_cert_status";
    switch (status_from_crls(cert, issuer, vals->crlVals, generalizedtime_to_time_t(time), kFn)) {
        case StoredCrls::Cleared:
            return 0;
        case StoredCrls::Invalid:
            log_error("%s() 16 : verify_crl() failed", kFn);
            return SSF_RESULT_CERT_UNKNOWN;
        case StoredCrls::Listed:
            log_error("%s() 17 : certificate found in CRL, certificate is invalid", kFn);
            return SSF_RESULT_CERT_UNKNOWN;
        case StoredCrls::None:
            break;
    }
    log_error("%s() 18 : revocation info not found for certificate '%s'", kFn,
              one_line_subject(cert).c_str());
    return SSF_RESULT_CERT_UNKNOWN;
}

int verify_cert(X509_STORE* store, X509* cert, STACK_OF(X509) * certs, STACK_OF(X509) * pab_certs,
                PKCS7_SIGNER_INFO* si, const ASN1_GENERALIZEDTIME* time) {
    static const char* const kFn = "ssf_verify_cert";
    ossl::X509StoreCtx ctx(X509_STORE_CTX_new());
    if (!ctx) {
        log_error("%s() 1 : X509_STORE_CTX_new() failed", kFn);
        return SSF_RC_MEMORY;
    }
    if (!store || !cert || X509_STORE_CTX_init(ctx.get(), store, cert, certs) != 1) {
        log_error("%s() 2 : X509_STORE_CTX_init() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_INVALID_SIGNATURE;
    }
    const ossl::Asn1Time at = time_or_now(time);
    X509_STORE_CTX_set_time(ctx.get(), 0, generalizedtime_to_time_t(at.get()));
    if (X509_verify_cert(ctx.get()) <= 0) {
        log_error("%s() 3 : signer's certificate is invalid, reason:  '%s'", kFn,
                  X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
        ERR_clear_error();
        return SSF_RESULT_INVALID_SIGNATURE;
    }
    if (!PKCS7_get_attribute(si, NID_id_smime_aa_ets_revocationValues)) {
        log_error("%s() 4 : attribute 'id_smime_aa_ets_revocationValues'not found", kFn);
        return SSF_RESULT_ES_REFS_INVALID;
    }
    RevocationValues values(decode_value(
        unsigned_sequence(si, NID_id_smime_aa_ets_revocationValues), d2i_REVOCATION_VALUES));
    if (!values) {
        log_error("%s() 6 : failed to parse 'NID_id_smime_aa_ets_RevocationRefs' extension", kFn);
        log_crypto_errors();
        return SSF_RESULT_ES_REFS_INVALID;
    }
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    const int n = sk_X509_num(chain);
    if (n <= 0) {
        log_error("%s() 7 : X509_STORE_CTX_get_chain() failed", kFn);
        return SSF_RESULT_ES_REFS_INVALID;
    }
    for (int i = 0; i + 1 < n; ++i) {
        X509* cur = sk_X509_value(chain, i);
        X509* issuer = sk_X509_value(chain, i + 1);
        if (!cur) {
            log_error("%s() 8 : cur_cert[ %d ] is NULL", kFn, i);
            return SSF_RESULT_ES_REFS_INVALID;
        }
        if (!issuer) {
            log_error("%s() 9 : issuer_cert[ %d ] is NULL", kFn, i);
            return SSF_RESULT_ES_REFS_INVALID;
        }
        const int status =
            get_cert_status(cur, issuer, certs, at.get(), store, values.get(), pab_certs);
        if (status != 0) {
            log_error("%s() 10 : certificate for '%s' has status %d", kFn,
                      one_line_subject(cur).c_str(), status);
            return status;
        }
    }
    if (find_certificate_in_trusted_root(sk_X509_value(chain, n - 1), store, pab_certs) != 1) {
        log_error("%s() 11 : signer's root CA certificate not found in trusted roots", kFn);
        return SSF_RESULT_CHAIN_FAILED;
    }
    return 0;
}

// A new store trusting every certValues certificate.
ossl::X509StorePtr store_of(STACK_OF(X509) * certs) {
    ossl::X509StorePtr store(X509_STORE_new());
    for (int i = 0; store && i < sk_X509_num(certs); ++i)
        if (X509_STORE_add_cert(store.get(), sk_X509_value(certs, i)) != 1) store.reset();
    return store;
}

// The CAdES attributes of si for its signer's certificate cert (none: the one its certValues
// name), read its certValues as the caller read them (none: read here). The chains are built from
// the certValues; with directory certificates a chain may end at one of them and the directory
// decides the root's trust; without any, anchors (when given) alone are trusted.
int verify_attributes(PKCS7_SIGNER_INFO* si, bool with_ts, X509* cert, const ossl::X509Stack* read,
                      X509_STORE* anchors, STACK_OF(X509) * pab_certs,
                      const ASN1_GENERALIZEDTIME* when) {
    static const char* const kFn = "VerifyEnhancedSignatureAttributes";
    if (is_enhanced_signature(si, with_ts ? 0 : 1) != 1) {
        log_error("%s() 0.2 : it is not enhanced signature, skipping CAdES verification", kFn);
        return SSF_RESULT_NO_SIGNATURE_TIMESTAMP;
    }
    ossl::X509Stack loaded;
    if (!read) read = &(loaded = read_cert_values(si, "LoadCertificates"));
    STACK_OF(X509)* certs = read->get();
    if (!certs) {
        log_error("%s() 1 : failed to load certificates", kFn);
        return SSF_RESULT_ES_REFS_INVALID;
    }
    ossl::X509StorePtr own;
    X509_STORE* store = anchors;
    if (pab_certs || !anchors) {
        own = store_of(certs);
        store = own.get();
    }
    if (!store) {
        log_error("%s() 1.1 : X509_STORE_new() failed", kFn);
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    bool ambiguous = false;
    if (!cert) cert = sole_signer({certs}, si->issuer_and_serial, &ambiguous);
    if (ambiguous) {
        log_error("%s() 1.2 : %s", kFn, kTwoSigners);
        return SSF_RESULT_INVALID_SIGNATURE;
    }
    if (check_ess_signing_cert(si, cert) != 1) {
        log_error("%s() 2 : check_ess_signing_cert() failed", kFn);
        return SSF_RESULT_ES_SIGNER_CERT_INVALID;
    }
    ossl::Asn1Time sig_time;
    if (with_ts) {
        if (int rc = ssf_verify_timeStampToken(si, store, &sig_time, pab_certs, when); rc != 0) {
            log_error("%s() 3 : timeStampToken is not valid", kFn);
            return rc;
        }
    }
    if (int rc =
            ssf_verify_cert(store, cert, certs, pab_certs, si, with_ts ? sig_time.get() : when);
        rc != 0) {
        log_error("%s() 4 : signer's certificate is invalid", kFn);
        return rc;
    }
    ossl::Asn1Time esc_time;
    if (with_ts) {
        if (int rc = ssf_verify_escTimeStamp(si, store, &esc_time, pab_certs, when); rc != 0) {
            log_error("%s() 5 : ES-C timestamp is not valid", kFn);
            return rc;
        }
    }
    if (int rc = check_rev_and_cert_refs_and_vals(si, certs); rc != 0) {
        log_error("%s() 6 : check_rev_and_cert_refs_and_vals() failed", kFn);
        return rc;
    }
    const ossl::Asn1Time valid_at = time_or_now(with_ts ? esc_time.get() : when);
    if (check_certs_validity(certs, valid_at.get()) != 1) {
        log_error("%s() 7 : not all certificates are valid at ES-C timestamp time", kFn);
        return SSF_RC_MEMORY;
    }
    return 0;
}

int attributes_logged(PKCS7_SIGNER_INFO* si, bool with_ts, X509* cert, const ossl::X509Stack* read,
                      X509_STORE* anchors, STACK_OF(X509) * pab_certs,
                      const ASN1_GENERALIZEDTIME* when) {
    static const char* const kFn = "VerifyEnhancedSignatureAttributes";
    log_debug("%s() begin: si = 0x%lx, without_timestamps = %d, pab_certs = 0x%lx, when = 0x%lx",
              kFn, ptr_bits(si), with_ts ? 0 : 1, ptr_bits(pab_certs), ptr_bits(when));
    const int rc = verify_attributes(si, with_ts, cert, read, anchors, pab_certs, when);
    log_debug("%s() end, return code = %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

}  // namespace

int VerifyEnhancedSignature(BIO* data, PKCS7* p7, PKCS7_SIGNER_INFO* si, X509* signer,
                            STACK_OF(X509) * pab_certs, const CertValues* values) {
    static const char* const kFn = "VerifyEnhancedSignature";
    log_debug("%s() begin: data = 0x%lx, p7 = 0x%lx, si = 0x%lx, pab_certs = 0x%lx", kFn,
              ptr_bits(data), ptr_bits(p7), ptr_bits(si), ptr_bits(pab_certs));
    const int rc = [&]() -> int {
        ossl::Asn1Time oldest;
        if (int r = VerifyAllArchiveTimestamps(p7, data, si, pab_certs, &oldest); r != 0) {
            log_error("%s() 1 : VerifyAllArchiveTimestamps() failed", kFn);
            return r;
        }
        CertValues read;
        if (!values) {
            read.certs = read_cert_values(si, "LoadCertificates");
            read.signer = sole_signer({read.certs.get()}, si->issuer_and_serial, &read.ambiguous);
            values = &read;
        }
        if (!values->certs) {
            log_error("%s() 1 : failed to load certificates", kFn);
            return SSF_RESULT_ES_REFS_INVALID;
        }
        if (values->ambiguous) {
            log_error("%s() 2.1 : %s", kFn, kTwoSigners);
            return SSF_RESULT_INVALID_SIGNATURE;
        }
        // The certificate the caller reports must be the one every step below checks.
        X509* cert = values->signer;
        if (!cert || (signer && signer != cert && X509_cmp(signer, cert) != 0)) {
            log_error("%s() 2 : signer's certificate not found", kFn);
            return SSF_RESULT_ES_SIGNER_CERT_NOT_FOUND;
        }
        if (!data || ssf_signature_verify(data, p7, si, cert) <= 0) {
            log_error("%s() 3 : signature is not valid", kFn);
            log_crypto_errors();
            return SSF_RESULT_INVALID_SIGNATURE;
        }
        return attributes_logged(si, true, cert, &values->certs, nullptr, pab_certs, oldest.get());
    }();
    log_debug("%s() end, return code = %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

int VerifyEnhancedSignatureAttributes(PKCS7_SIGNER_INFO* si, int without_timestamps,
                                      STACK_OF(X509) * pab_certs,
                                      const ASN1_GENERALIZEDTIME* when) {
    return attributes_logged(si, without_timestamps != 1, nullptr, nullptr, nullptr, pab_certs,
                             when);
}

int verify_signer_attributes(PKCS7_SIGNER_INFO* si, X509* signer, const ossl::X509Stack& certs,
                             X509_STORE* anchors, STACK_OF(X509) * pab_certs,
                             const ASN1_GENERALIZEDTIME* when) {
    return attributes_logged(si, false, signer, &certs, anchors, pab_certs, when);
}

ossl::X509Stack read_cert_values(PKCS7_SIGNER_INFO* si, const char* fn) {
    const ASN1_STRING* seq = unsigned_sequence(si, NID_id_smime_aa_ets_certValues);
    if (!seq) {
        if (fn) log_error("%s() 1 : attribute 'id_smime_aa_ets_certValues' not found", fn);
        return nullptr;
    }
    ossl::X509Stack certs(unpack_certs(ASN1_STRING_get0_data(seq), ASN1_STRING_length(seq)));
    if (!certs && fn) {
        log_error("%s() 2 : ASN1_seq_unpack() failed", fn);
        log_crypto_errors();
    }
    ERR_clear_error();
    return certs;
}

CertValues ssf_GetSubjectCertificateFromAttrs(PKCS7_SIGNER_INFO* si) {
    static const char* const kFn = "ssf_GetSubjectCertificateFromAttrs";
    log_debug("%s() begin: si = 0x%lx", kFn, ptr_bits(si));
    CertValues out;
    if (!si || !si->issuer_and_serial) {
        log_error("%s() 0 : bag args", kFn);
        return out;
    }
    out.certs = read_cert_values(si, kFn);
    if (!out.certs) return out;
    out.signer = sole_signer({out.certs.get()}, si->issuer_and_serial, &out.ambiguous);
    if (out.ambiguous)
        log_error("%s() 3.1 : %s", kFn, kTwoSigners);
    else if (!out.signer)
        log_error("%s() 3 : signer's certificate not found", kFn);
    log_debug("%s() end, return 0x%lx", kFn, ptr_bits(out.signer));
    return out;
}

int ssf_verify_timeStampToken(PKCS7_SIGNER_INFO* si, X509_STORE* store, ossl::Asn1Time* gen_time,
                              STACK_OF(X509) * pab_certs, const ASN1_GENERALIZEDTIME* when) {
    static const char* const kFn = "ssf_verify_timeStampToken";
    log_debug("%s() begin: si = 0x%lx, store = 0x%lx, gen_time = 0x%lxpab_certs = 0x%lx", kFn,
              ptr_bits(si), ptr_bits(store), ptr_bits(gen_time), ptr_bits(pab_certs));
    const int rc = [&]() -> int {
        const ASN1_STRING* token = unsigned_sequence(si, NID_id_smime_aa_timeStampToken);
        if (!token) {
            log_error("%s() 1 : timeStampToken not found", kFn);
            return SSF_RESULT_NO_SIGNATURE_TIMESTAMP;
        }
        const int r = ssf_verify_TS(token, si->enc_digest, store, kSignatureTimestamp, gen_time,
                                    pab_certs, when);
        if (r != 0) log_error("%s() 2 : timeStampToken is not valid", kFn);
        return r;
    }();
    log_debug("%s() end, return code = %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

int ssf_verify_escTimeStamp(PKCS7_SIGNER_INFO* si, X509_STORE* store, ossl::Asn1Time* gen_time,
                            STACK_OF(X509) * pab_certs, const ASN1_GENERALIZEDTIME* when) {
    static const char* const kFn = "ssf_verify_escTimeStamp";
    log_debug("%s() begin: si = 0x%lx, store = 0x%lx, gen_time = 0x%lxpab_certs = 0x%lx", kFn,
              ptr_bits(si), ptr_bits(store), ptr_bits(gen_time), ptr_bits(pab_certs));
    const int rc = [&]() -> int {
        const ASN1_STRING* token = unsigned_sequence(si, NID_id_smime_aa_ets_escTimeStamp);
        if (!token) {
            log_error("%s() 1 : escTimeStamp not found", kFn);
            return SSF_RESULT_NO_ESC_TIMESTAMP;
        }
        // Stored signatures carry stamps over either form of the data.
        for (bool with_tags : {true, false}) {
            const std::optional<std::string> data = make_esc_timestamp_data(si, with_tags);
            ossl::OctetString os(ASN1_OCTET_STRING_new());
            if (data && os &&
                ASN1_OCTET_STRING_set(os.get(),
                                      reinterpret_cast<const unsigned char*>(data->data()),
                                      static_cast<int>(data->size())) &&
                ssf_verify_TS(token, os.get(), store, kEscTimestamp, gen_time, pab_certs, when) ==
                    0)
                return 0;
            if (with_tags)
                log_write(
                    "%s() 2 : escTimeStamp with headers is not valid, trying to verify "
                    "escTimeStamp w/o headers",
                    kFn);
        }
        log_error("%s() 3 : escTimeStamp w/o headers is not valid", kFn);
        if (gen_time) gen_time->reset();
        return SSF_RESULT_NO_ESC_TIMESTAMP;
    }();
    log_debug("%s() end, return code = %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

int ssf_verify_cert(X509_STORE* store, X509* cert, STACK_OF(X509) * certs,
                    STACK_OF(X509) * pab_certs, PKCS7_SIGNER_INFO* si,
                    const ASN1_GENERALIZEDTIME* time) {
    static const char* const kFn = "ssf_verify_cert";
    log_debug(
        "%s() begin: store = 0x%lx, cert = 0x%lx, certs = 0x%lx, pab_certs = 0x%lx, si = 0x%lx, "
        "sig_time = 0x%lx",
        kFn, ptr_bits(store), ptr_bits(cert), ptr_bits(certs), ptr_bits(pab_certs), ptr_bits(si),
        ptr_bits(time));
    const int rc = verify_cert(store, cert, certs, pab_certs, si, time);
    log_debug("%s() end, return code = %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

int get_cert_status(X509* cert, X509* issuer, STACK_OF(X509) * certs,
                    const ASN1_GENERALIZEDTIME* time, X509_STORE* store,
                    REVOCATION_VALUES* rev_vals, STACK_OF(X509) * pab_certs) {
    static const char* const kFn = "get_cert_status";
    log_debug(
        "%s() begin: cert = 0x%lx, issuer = 0x%lx, sig_time = 0x%lx, store = 0x%lx, rev_vals = "
        "0x%lx",
        kFn, ptr_bits(cert), ptr_bits(issuer), ptr_bits(time), ptr_bits(store), ptr_bits(rev_vals));
    const int rc = [&]() -> int {
        if (!cert || !issuer || !certs || !time || !store || !rev_vals) {
            log_error("%s() 1: bad args", kFn);
            return -1;
        }
        if (names_ocsp_responder(cert)) {
            log_write("%s() : OCSP URL found in certificate", kFn);
            return status_by_ocsp(cert, issuer, certs, time, store, rev_vals, pab_certs);
        }
        log_write("%s() : OCSP URL NOT found in certificate", kFn);
        return status_by_crl(cert, issuer, time, rev_vals);
    }();
    log_debug("%s() end, return code = %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

int SSF_OCSP_basic_verify(const ASN1_GENERALIZEDTIME* time, OCSP_BASICRESP* bs,
                          STACK_OF(X509) * certs, X509_STORE* store, unsigned long flags,
                          X509** signer, STACK_OF(X509) * pab_certs) {
    if (signer) *signer = nullptr;
    ossl::X509Stack untrusted = ossl::new_x509_stack();
    const STACK_OF(X509)* inside = bs ? OCSP_resp_get0_certs(bs) : nullptr;
    if (!untrusted ||
        (sk_X509_num(inside) > 0 &&
         !sk_X509_push(untrusted.get(), ossl::up_ref(sk_X509_value(inside, 0)).release())))
        return -1;
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        ossl::X509Ptr copy = ossl::up_ref(sk_X509_value(certs, i));
        if (!sk_X509_push(untrusted.get(), copy.get())) return -1;
        (void)copy.release();
    }
    const time_t at = time ? generalizedtime_to_time_t(time) : platform::now();
    // The certificates of untrusted are those of certs and bs themselves, so the responder
    // outlives the list.
    ossl::X509Ptr root;
    const int rc = OCSP_basic_verify_time(&at, bs, untrusted.get(), store, flags, signer, &root);
    if (rc < 1) {
        log_error("%s() 1 : OCSP_basic_verify_time() failed", "SSF_OCSP_basic_verify");
        log_crypto_errors();
        return rc;
    }
    // The store trusts every certValues certificate, so that chains can be built from them: the
    // responder's root is trusted as the signer's is, whether or not the responder must be tied
    // to the certificate's issuer.
    if (!root || find_certificate_in_trusted_root(root.get(), store, pab_certs) != 1) {
        log_error("%s() 2 : the responder's chain ends at '%s', which is not a trusted root",
                  "SSF_OCSP_basic_verify", root ? one_line_subject(root.get()).c_str() : "");
        if (signer) *signer = nullptr;
        return 0;
    }
    return rc;
}

int check_certs_validity(STACK_OF(X509) * certs, const ASN1_GENERALIZEDTIME* time) {
    static const char* const kFn = "check_certs_validity";
    if (!certs || !time) {
        log_error("%s() 1 : bad args", kFn);
        return 0;
    }
    const time_t at = generalizedtime_to_time_t(time);
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* c = sk_X509_value(certs, i);
        if (asn1_time_to_time_t(X509_get0_notBefore(c)) > at ||
            asn1_time_to_time_t(X509_get0_notAfter(c)) < at) {
            log_error("%s() 2 : certificate for '%s' is not valid yet or is expired", kFn,
                      one_line_subject(c).c_str());
            return 0;
        }
    }
    return 1;
}

}  // namespace ssf
