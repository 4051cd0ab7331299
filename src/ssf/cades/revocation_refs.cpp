#include "ssf/cades/revocation_refs.h"

#include <openssl/err.h>

#include <cstdlib>
#include <vector>

#include "platform/winstub.h"
#include "ssf/cades/ocsp_client.h"
#include "ssf/cades/ts_check.h"
#include "ssf/cades/verify_at_time.h"
#include "ssf/codes.h"
#include "ssf/list.h"
#include "ssf/log.h"
#include "ssf/net/crl.h"
#include "ssf/pki/cert_verify.h"
#include "ssf/pki/certs.h"

namespace ssf {

namespace {

// crlIssuedTime is a UTCTime wherever one can hold the date, as stored signatures have it (a
// UTCTime thisUpdate is copied as it is); from 2050 on it can only be a GeneralizedTime.
bool set_issued_time(ASN1_TIME*& out, const ASN1_TIME* this_update) {
    if (!this_update || (!out && !(out = ASN1_TIME_new()))) return false;
    if (!ASN1_STRING_copy(out, this_update)) return false;
    return ASN1_STRING_type(out) == V_ASN1_UTCTIME || ASN1_TIME_normalize(out) == 1;
}

int add_timestamp_values(const EVP_MD* md, PKCS7* token, X509* tsa_cert, X509_STORE* store) {
    static const char* const kFn = "AddTimestampRevocationValues";
    if (!md || !token || !tsa_cert || !store) {
        log_error("%s() 1 : bad args", kFn);
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    ossl::X509StoreCtx ctx(X509_STORE_CTX_new());
    if (!ctx || X509_STORE_CTX_init(ctx.get(), store, tsa_cert, nullptr) != 1) {
        log_error("%s() 2 : X509_STORE_CTX_init() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    X509_STORE_CTX_set_time(ctx.get(), 0, platform::now());
    if (X509_verify_cert(ctx.get()) <= 0) {
        log_error("%s() 3 : X509_verify_cert() failed, reason: '%s'", kFn,
                  X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
        ERR_clear_error();
        return SSF_RESULT_TSP_UNTRUSTED;
    }
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    const int n = sk_X509_num(chain);
    if (n <= 0) {
        log_error("%s() 4 : X509_STORE_CTX_get_chain() failed", kFn);
        return SSF_RESULT_TSP_UNTRUSTED;
    }
    if (n == 2) {
        log_write("%s(): no intermediate CA found in TSA certificate chain", kFn);
        return 0;
    }

    RevocationValues values(REVOCATION_VALUES_new());
    if (!values || !(values->crlVals = sk_X509_CRL_new_null()) ||
        !(values->ocspVals = sk_OCSP_BASICRESP_new_null()))
        return SSF_RC_MEMORY;
    list* protocols = list_create();
    if (!protocols || parse_protocol_list(protocols, "http ldap") < 0) {
        if (protocols) list_free(protocols, std::free);
        return SSF_RC_MEMORY;
    }
    struct ListOwner {
        list* l;
        ~ListOwner() { list_free(l, std::free); }
    } protocols_owner{protocols};
    for (int i = 1; i < n - 1; ++i) {
        X509* cert = sk_X509_value(chain, i);
        X509* issuer = sk_X509_value(chain, i + 1);
        if (!cert || !issuer) {
            log_error("%s() 6 : cert or issuer #%d is NULL", kFn, i);
            return SSF_RESULT_TSP_UNTRUSTED;
        }
        ossl::X509StoreCtx crl_ctx(X509_STORE_CTX_new());
        std::vector<ossl::X509Crl> used;
        if (!crl_ctx || X509_STORE_CTX_init(crl_ctx.get(), store, cert, nullptr) != 1 ||
            check_for_revocation(cert, crl_ctx.get(), protocols, &used) != 1) {
            log_error("%s() 7 : check_for_revocation #%d failed", kFn, i);
            return SSF_RESULT_TSP_UNTRUSTED;
        }
        for (ossl::X509Crl& c : used) {
            if (!sk_X509_CRL_push(values->crlVals, c.get())) return SSF_RC_MEMORY;
            (void)c.release();
        }
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(token);
    PKCS7_SIGNER_INFO* si =
        sk_PKCS7_SIGNER_INFO_num(infos) > 0 ? sk_PKCS7_SIGNER_INFO_value(infos, 0) : nullptr;
    if (!si || !si->issuer_and_serial) {
        log_error("%s() 8 : signer_info in timestamp not found", kFn);
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    if (X509_NAME_cmp(si->issuer_and_serial->issuer, X509_get_issuer_name(tsa_cert)) != 0 ||
        ASN1_INTEGER_cmp(si->issuer_and_serial->serial, X509_get0_serialNumber(tsa_cert)) != 0) {
        log_error("%s() 9 : signer_info and certificate don't match", kFn);
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }

    RevocationRefs refs(COMPLETE_REVOCATION_REFS_new());
    if (!refs) return SSF_RC_MEMORY;
    CRL_OCSP_REF* ref = refs->crlOcspRefs;
    if (!(ref->crlids = CRL_LIST_ID_new()) || !(ref->ocspids = OCSP_LIST_ID_new()))
        return SSF_RC_MEMORY;
    for (int i = 0; i < sk_X509_CRL_num(values->crlVals); ++i) {
        CrlValidatedId id = make_crl_id(sk_X509_CRL_value(values->crlVals, i), md);
        if (!id || !sk_CRL_VALIDATED_ID_push(ref->crlids->crls, id.get())) {
            log_error("%s() 11 : make_crl_id( #%d ) failed", kFn, i);
            return SSF_RESULT_TSP_BAD_RESPONSE;
        }
        (void)id.release();
    }

    const std::string refs_der = der_of(refs.get(), i2d_COMPLETE_REVOCATION_REFS);
    if (refs_der.empty()) {
        log_error("%s() 13 : i2d_COMPLETE_REVOCATION_REFS() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    const std::string values_der = der_of(values.get(), i2d_REVOCATION_VALUES);
    if (values_der.empty()) {
        log_error("%s() 15 : i2d_REVOCATION_VALUES() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    if (!set_sequence_attributes(si, {{NID_id_smime_aa_ets_revocationValues, values_der},
                                      {NID_id_smime_aa_ets_RevocationRefs, refs_der}})) {
        log_error("%s() 14 : ASN1_STRING_new() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    return 0;
}

}  // namespace

bool set_sequence_attributes(PKCS7_SIGNER_INFO* si, const std::vector<SequenceAttribute>& attrs) {
    // Everything that can fail comes first: the new attributes and room in the list. The
    // crypto library's own setter frees the attribute it replaces before it makes the new one.
    std::vector<ossl::Attribute> made;
    for (const SequenceAttribute& a : attrs) {
        ossl::Asn1String value(ASN1_STRING_new());
        if (!value || !ASN1_STRING_set(value.get(), a.der.data(), static_cast<int>(a.der.size())))
            return false;
        ossl::Attribute attr(X509_ATTRIBUTE_create(a.nid, V_ASN1_SEQUENCE, value.get()));
        if (!attr) return false;
        (void)value.release();  // the attribute owns it now
        made.push_back(std::move(attr));
    }
    if (!si || (!si->unauth_attr && !(si->unauth_attr = sk_X509_ATTRIBUTE_new_null())) ||
        !sk_X509_ATTRIBUTE_reserve(si->unauth_attr, sk_X509_ATTRIBUTE_num(si->unauth_attr) +
                                                        static_cast<int>(made.size())))
        return false;
    for (ossl::Attribute& attr : made) {
        const ASN1_OBJECT* type = X509_ATTRIBUTE_get0_object(attr.get());
        int at = -1;
        for (int i = 0; at < 0 && i < sk_X509_ATTRIBUTE_num(si->unauth_attr); ++i)
            if (OBJ_cmp(X509_ATTRIBUTE_get0_object(sk_X509_ATTRIBUTE_value(si->unauth_attr, i)),
                        type) == 0)
                at = i;
        if (at >= 0) {
            ossl::Attribute gone(sk_X509_ATTRIBUTE_value(si->unauth_attr, at));
            (void)sk_X509_ATTRIBUTE_set(si->unauth_attr, at, attr.release());
        } else {
            (void)sk_X509_ATTRIBUTE_push(si->unauth_attr, attr.release());  // room reserved
        }
    }
    return true;
}

CrlValidatedId make_crl_id(X509_CRL* crl, const EVP_MD* md) {
    static const char* const kFn = "make_crl_id";
    if (!crl || !md) {
        log_error("%s() 1 : bad_args", kFn);
        return nullptr;
    }
    CrlValidatedId id(CRL_VALIDATED_ID_new());
    if (!id) {
        log_error("%s() 2 : CRL_VALIDATED_ID_new() failed", kFn);
        return nullptr;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (X509_CRL_digest(crl, md, digest, &len) != 1 ||
        !set_hash_algorithm(id->crlHash->hashAlgorithm, md) ||
        !ASN1_OCTET_STRING_set(id->crlHash->hashValue, digest, static_cast<int>(len))) {
        log_error("%s() 3 : X509_CRL_digest() failed", kFn);
        log_crypto_errors();
        return nullptr;
    }
    CRL_IDENTIFIER* ident = CRL_IDENTIFIER_new();
    id->crlIdentifier = ident;
    if (!ident || !X509_NAME_set(&ident->crlIssuer, X509_CRL_get_issuer(crl)) ||
        !set_issued_time(ident->crlIssuedTime, X509_CRL_get0_lastUpdate(crl))) {
        log_error("%s() 4 : crlIdentifier cannot be made", kFn);
        log_crypto_errors();
        return nullptr;
    }
    ident->crlNumber =
        static_cast<ASN1_INTEGER*>(X509_CRL_get_ext_d2i(crl, NID_crl_number, nullptr, nullptr));
    return id;
}

int AddTimestampRevocationValues(const EVP_MD* md, PKCS7* token, X509* tsa_cert,
                                 X509_STORE* store) {
    static const char* const kFn = "AddTimestampRevocationValues";
    log_debug("%s() begin : token = 0x%lx, tsp_cert = 0x%lx, store = 0x%lx", kFn, ptr_bits(token),
              ptr_bits(tsa_cert), ptr_bits(store));
    const int rc = add_timestamp_values(md, token, tsa_cert, store);
    log_debug("%s() end : return code = %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

}  // namespace ssf

namespace ssf {

namespace {

// The values and references of one chain, collected before either attribute is set.
struct PathRevocation {
    RevocationValues values{REVOCATION_VALUES_new()};
    RevocationRefs refs{COMPLETE_REVOCATION_REFS_new()};

    bool ready() {
        if (!values || !refs) return false;
        CRL_OCSP_REF* ref = refs->crlOcspRefs;
        return (values->crlVals || (values->crlVals = sk_X509_CRL_new_null())) &&
               (values->ocspVals || (values->ocspVals = sk_OCSP_BASICRESP_new_null())) &&
               (ref->crlids || (ref->crlids = CRL_LIST_ID_new())) &&
               (ref->ocspids || (ref->ocspids = OCSP_LIST_ID_new()));
    }
    bool add_ocsp(ossl::OcspBasicResp& bs, OcspResponsesId& id) {
        if (!sk_OCSP_BASICRESP_push(values->ocspVals, bs.get())) return false;
        (void)bs.release();
        if (!sk_OCSP_RESPONSES_ID_push(refs->crlOcspRefs->ocspids->OcspRespIds, id.get()))
            return false;
        (void)id.release();
        return true;
    }
    bool add_crl(ossl::X509Crl& crl, CrlValidatedId& id) {
        if (!sk_X509_CRL_push(values->crlVals, crl.get())) return false;
        (void)crl.release();
        if (!sk_CRL_VALIDATED_ID_push(refs->crlOcspRefs->crlids->crls, id.get())) return false;
        (void)id.release();
        return true;
    }
};

int path_revocation(PKCS7_SIGNER_INFO* si, X509* cert, X509_STORE* store, const EVP_MD* md,
                    const ASN1_GENERALIZEDTIME* ts_time, STACK_OF(X509) * certs_to_add) {
    static const char* const kFn = "add_revValues_attribute";
    ossl::X509StoreCtx ctx(X509_STORE_CTX_new());
    if (!ctx || !cert || !store || X509_STORE_CTX_init(ctx.get(), store, cert, nullptr) != 1) {
        log_error("%s() 1 : X509_STORE_CTX_init() failed", kFn);
        log_crypto_errors();
        return SSF_RC_NO_OUTPUT;
    }
    X509_STORE_CTX_set_time(ctx.get(), 0, platform::now());
    if (X509_verify_cert(ctx.get()) <= 0) {
        log_error("%s() 2 : X509_verify_cert() failed, reason: '%s'", kFn,
                  X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
        ERR_clear_error();
        return SSF_RESULT_CHAIN_FAILED;
    }
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get());
    const int n = sk_X509_num(chain);
    if (n <= 0) {
        log_error("%s() 3 : X509_STORE_CTX_get_chain() failed", kFn);
        return SSF_RESULT_CHAIN_FAILED;
    }
    PathRevocation path;
    if (!path.ready()) return SSF_RC_MEMORY;
    for (int i = 0; i + 1 < n; ++i) {
        X509* c = sk_X509_value(chain, i);
        X509* issuer = sk_X509_value(chain, i + 1);
        if (!c) {
            log_error("%s() 6 : certificate #%d in chain is NULL", kFn, i);
            return SSF_RESULT_CHAIN_FAILED;
        }
        if (!issuer) {
            log_error("%s() 7 : issuer for certificate #%d in chain is NULL", kFn, i);
            return SSF_RESULT_CHAIN_FAILED;
        }
        ossl::X509Ptr responder;
        ossl::OcspBasicResp bs;
        std::vector<ossl::X509Crl> crls;
        if (int rc = get_revValue(c, issuer, store, md, ts_time, &responder, &bs, &crls); rc != 0) {
            log_error("%s() 8 : get_revValue() failed for certificate #%d (subject DN = '%s')", kFn,
                      i, one_line_subject(c).c_str());
            return rc;
        }
        if (bs) {
            OcspResponsesId id = make_ocsp_resp_id(bs.get(), md);
            if (!id) {
                log_error(
                    "%s() 9 : make_ocsp_resp_id() failed for certificate #%d (subject DN = '%s')",
                    kFn, i, one_line_subject(c).c_str());
                return SSF_RESULT_ES_REFS_INVALID;
            }
            if ((responder && !add_cert_if_absent(certs_to_add, responder.get())) ||
                !path.add_ocsp(bs, id))
                return SSF_RC_MEMORY;
        } else if (!crls.empty()) {
            for (ossl::X509Crl& one : crls) {
                CrlValidatedId id = make_crl_id(one.get(), md);
                if (!id) {
                    log_error("%s() 9.1 : make_crl_id() failed for certificate #%d", kFn, i);
                    return SSF_RESULT_ES_REFS_INVALID;
                }
                if (!path.add_crl(one, id)) return SSF_RC_MEMORY;
            }
        } else {
            // Success without a value would leave the certificate unproven in the signature.
            log_error("%s() 9.2 : no revocation value for certificate #%d (subject DN = '%s')", kFn,
                      i, one_line_subject(c).c_str());
            return SSF_RESULT_ES_REFS_INVALID;
        }
        if (!add_cert_if_absent(certs_to_add, issuer) || !add_cert_if_absent(certs_to_add, c))
            return SSF_RC_MEMORY;
    }
    X509* root = sk_X509_value(chain, n - 1);
    if (find_certificate_in_trusted_root(root, store, nullptr) != 1) {
        log_error("%s() 10 : signer's root CA certificate not found in Trusted Root Store", kFn);
        return SSF_RESULT_CHAIN_FAILED;
    }
    // A signer that is its own root is listed too: otherwise certValues would lack the
    // certificate that verification looks for first.
    if (n == 1 && !add_cert_if_absent(certs_to_add, root)) return SSF_RC_MEMORY;

    const std::string values_der = der_of(path.values.get(), i2d_REVOCATION_VALUES);
    if (values_der.empty()) {
        log_error("%s() 12 : i2d_REVOCATION_VALUES() failed", kFn);
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    const std::string refs_der = der_of(path.refs.get(), i2d_COMPLETE_REVOCATION_REFS);
    if (refs_der.empty()) {
        log_error("%s() 15 : i2d_COMPLETEREVOCATIONREFS() failed", kFn);
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    // Both values are made before either is set: a failure leaves the SignerInfo as it was.
    if (!set_sequence_attributes(si, {{NID_id_smime_aa_ets_revocationValues, values_der},
                                      {NID_id_smime_aa_ets_RevocationRefs, refs_der}})) {
        log_error("%s() 16 : ASN1_STRING_set() failed", kFn);
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    return 0;
}

}  // namespace

OcspResponsesId make_ocsp_resp_id(OCSP_BASICRESP* bs, const EVP_MD* md) {
    static const char* const kFn = "make_ocsp_resp_id";
    if (!bs || !md) {
        log_error("%s() 1 : bad args", kFn);
        return nullptr;
    }
    OcspResponsesId id(OCSP_RESPONSES_ID_new());
    ossl::Md hash(MD_new());
    if (!id || !hash) {
        log_error("%s() 2 : OCSP_RESPONSES_ID_new() failed", kFn);
        return nullptr;
    }
    RespId responder(responder_id_of(bs));
    if (!responder) {
        log_error("%s() 3 : responder id cannot be copied", kFn);
        return nullptr;
    }
    RespId replaced(id->OcspIdentifier->responderId);
    id->OcspIdentifier->responderId = responder.release();
    MD* h = hash.get();
    id->ocspRepHash = hash.release();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!ASN1_STRING_copy(id->OcspIdentifier->producedAt, OCSP_resp_get0_produced_at(bs)) ||
        OCSP_BASICRESP_digest(bs, md, digest, &len) != 1 ||
        !set_hash_algorithm(h->hashAlgorithm, md) ||
        !ASN1_OCTET_STRING_set(h->hashValue, digest, static_cast<int>(len))) {
        log_error("%s() 4 : OCSP_BASICRESP_digest() failed", kFn);
        log_crypto_errors();
        return nullptr;
    }
    return id;
}

int add_cert_if_absent(STACK_OF(X509) * certs, X509* cert) {
    if (!certs || !cert) return 0;
    if (ossl::contains(certs, cert)) return 1;
    ossl::X509Ptr ref = ossl::up_ref(cert);
    if (!sk_X509_push(certs, ref.get())) return 0;
    (void)ref.release();
    return 1;
}

int add_certs_if_absent(STACK_OF(X509) * certs, STACK_OF(X509) * more) {
    for (int i = 0; i < sk_X509_num(more); ++i)
        if (!add_cert_if_absent(certs, sk_X509_value(more, i))) return 0;
    return 1;
}

int add_revValues_attribute(PKCS7_SIGNER_INFO* si, X509* cert, X509_STORE* store, const EVP_MD* md,
                            const ASN1_GENERALIZEDTIME* ts_time, STACK_OF(X509) * certs_to_add) {
    static const char* const kFn = "add_revValues_attribute";
    log_debug(
        "%s() begin: si = 0x%lx, cert = 0x%lx, store = 0x%lx, md = 0x%lx, ts_time = 0x%lx, "
        "certs_to_add = 0x%lx",
        kFn, ptr_bits(si), ptr_bits(cert), ptr_bits(store), ptr_bits(md), ptr_bits(ts_time),
        ptr_bits(certs_to_add));
    const int rc = path_revocation(si, cert, store, md, ts_time, certs_to_add);
    log_debug("%s() end, return code = %d (%s)", kFn, rc, result_text(rc));
    return rc;
}

}  // namespace ssf
