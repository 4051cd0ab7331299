#include "ssf/revocation_refs.h"

#include <openssl/err.h>

#include <cstdlib>
#include <vector>

#include "platform/winstub.h"
#include "ssf/cert_verify.h"
#include "ssf/codes.h"
#include "ssf/list.h"
#include "ssf/log.h"

namespace ssf {

namespace {

const void* vp(const void* p) {
    return p;
}

// crlIssuedTime is always a UTCTime: a UTCTime thisUpdate is copied as it is, so the reference
// compares equal to it byte for byte.
bool set_issued_time(ASN1_UTCTIME*& out, const ASN1_TIME* this_update) {
    if (!this_update || (!out && !(out = ASN1_UTCTIME_new()))) return false;
    if (ASN1_STRING_type(this_update) == V_ASN1_UTCTIME) return ASN1_STRING_copy(out, this_update);
    struct tm t {};
    return ASN1_TIME_to_tm(this_update, &t) == 1 && ASN1_UTCTIME_set(out, timegm(&t)) != nullptr;
}

// Adds or replaces an unsigned attribute holding one DER SEQUENCE.
bool add_sequence_attribute(PKCS7_SIGNER_INFO* si, int nid, const std::string& der) {
    ossl::Asn1String value(ASN1_STRING_new());
    if (!value || !ASN1_STRING_set(value.get(), der.data(), static_cast<int>(der.size())))
        return false;
    if (!PKCS7_add_attribute(si, nid, V_ASN1_SEQUENCE, value.get())) return false;
    (void)value.release();
    return true;
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
        ossl::X509Crl crl, delta;
        if (!crl_ctx || X509_STORE_CTX_init(crl_ctx.get(), store, cert, nullptr) != 1 ||
            check_for_revocation(cert, crl_ctx.get(), protocols, &crl, &delta) != 1) {
            log_error("%s() 7 : check_for_revocation #%d failed", kFn, i);
            return SSF_RESULT_TSP_UNTRUSTED;
        }
        for (ossl::X509Crl* c : {&crl, &delta}) {
            if (!*c) continue;
            if (!sk_X509_CRL_push(values->crlVals, c->get())) return SSF_RC_MEMORY;
            (void)c->release();
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
    if (!add_sequence_attribute(si, NID_id_smime_aa_ets_revocationValues, values_der) ||
        !add_sequence_attribute(si, NID_id_smime_aa_ets_RevocationRefs, refs_der)) {
        log_error("%s() 14 : ASN1_STRING_new() failed", kFn);
        log_crypto_errors();
        return SSF_RESULT_TSP_BAD_RESPONSE;
    }
    return 0;
}

}  // namespace

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
    log_debug("%s() begin : token = 0x%p, tsp_cert = 0x%p, store = 0x%p", kFn, vp(token),
              vp(tsa_cert), vp(store));
    const int rc = add_timestamp_values(md, token, tsa_cert, store);
    log_debug("%s() end : return code = %d (%s)", kFn, rc,
              GetSignerErrorMessage(static_cast<SAP_UINT>(rc)));
    return rc;
}

}  // namespace ssf
