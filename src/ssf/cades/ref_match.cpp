#include "ssf/cades/ref_match.h"

#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "ssf/cades/verify_at_time.h"
#include "ssf/codes.h"
#include "ssf/log.h"

namespace ssf {

namespace {

// Only the first directoryName counts; other kinds of name before it are skipped.
const X509_NAME* first_directory_name(const GENERAL_NAMES* names) {
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* gn = sk_GENERAL_NAME_value(names, i);
        if (gn->type == GEN_DIRNAME) return gn->d.directoryName;
    }
    return nullptr;
}

bool same_bytes(const unsigned char* digest, unsigned int len, const ASN1_OCTET_STRING* stored) {
    return static_cast<int>(len) == ASN1_STRING_length(stored) &&
           std::memcmp(digest, ASN1_STRING_get0_data(stored), len) == 0;
}

bool md_complete(const MD* md) {
    return md && md->hashAlgorithm && md->hashAlgorithm->algorithm && md->hashValue;
}

int check_revocation_refs(PKCS7_SIGNER_INFO* si, const char* fn) {
    RevocationRefs refs(decode_value(unsigned_sequence(si, NID_id_smime_aa_ets_RevocationRefs),
                                     d2i_COMPLETE_REVOCATION_REFS));
    if (!refs) {
        log_error("%s() 1 : d2i_COMPLETE_REVOCATION_REFS() failed", fn);
        log_crypto_errors();
        return SSF_RESULT_ES_REFS_MISMATCH;
    }
    if (!PKCS7_get_attribute(si, NID_id_smime_aa_ets_revocationValues)) {
        log_error("%s() 2 : PKCS7_get_attribute( NID_id_smime_aa_ets_revocationValues ) failed",
                  fn);
        return SSF_RESULT_ES_REFS_MISMATCH;
    }
    RevocationValues vals(decode_value(unsigned_sequence(si, NID_id_smime_aa_ets_revocationValues),
                                       d2i_REVOCATION_VALUES));
    if (!vals) {
        log_error("%s() 3 : d2i_REVOCATION_VALUES() failed", fn);
        log_crypto_errors();
        return SSF_RESULT_ES_REFS_MISMATCH;
    }
    const CRL_OCSP_REF* ref = refs->crlOcspRefs;
    if (ref->crlids) {
        for (int i = 0; i < sk_CRL_VALIDATED_ID_num(ref->crlids->crls); ++i) {
            if (find_crl_in_list(sk_CRL_VALIDATED_ID_value(ref->crlids->crls, i), vals->crlVals) !=
                1) {
                log_error("%s() 4 : CRL not found for crlid #%d", fn, i);
                return SSF_RESULT_ES_REFS_MISMATCH;
            }
        }
    }
    if (ref->ocspids) {
        for (int i = 0; i < sk_OCSP_RESPONSES_ID_num(ref->ocspids->OcspRespIds); ++i) {
            if (find_ocsp_in_list(sk_OCSP_RESPONSES_ID_value(ref->ocspids->OcspRespIds, i),
                                  vals->ocspVals) != 1) {
                log_error("%s() 5 : OCSP response not found for ocspid #%d", fn, i);
                return SSF_RESULT_ES_REFS_MISMATCH;
            }
        }
    }
    return 0;
}

int check_certificate_refs(PKCS7_SIGNER_INFO* si, STACK_OF(X509) * certs, const char* fn) {
    const ASN1_STRING* refs_der = unsigned_sequence(si, NID_id_smime_aa_ets_CertificateRefs);
    CertRefs refs(
        refs_der ? unpack_cert_refs(ASN1_STRING_get0_data(refs_der), ASN1_STRING_length(refs_der))
                 : nullptr);
    if (!refs) {
        log_error("%s() 6 : failed to load certificate references", fn);
        log_crypto_errors();
        return SSF_RESULT_ES_REFS_MISMATCH;
    }
    if (!PKCS7_get_attribute(si, NID_id_smime_aa_ets_certValues)) {
        log_error("%s() 7 : PKCS7_get_attribute( NID_id_smime_aa_ets_certValues ) failed", fn);
        return SSF_RESULT_ES_REFS_MISMATCH;
    }
    if (!certs) {
        log_error("%s() 8 : failed to load certificates", fn);
        log_crypto_errors();
        return SSF_RESULT_ES_REFS_MISMATCH;
    }
    for (int i = 0; i < sk_OTHERCERTID_num(refs.get()); ++i) {
        if (find_cert_in_list(sk_OTHERCERTID_value(refs.get(), i), certs) != 1) {
            log_error("%s() 9 : certificate not found for certid #%d", fn, i);
            return SSF_RESULT_ES_REFS_MISMATCH;
        }
    }
    return 0;
}

}  // namespace

int ssf_ISSUER_SERIAL_cmp(const ISSUER_SERIAL* ias, const X509_NAME* issuer,
                          const ASN1_INTEGER* serial) {
    static const char* fn = "ssf_ISSUER_SERIAL_cmp";
    log_debug("%s() begin: ias = 0x%lx, issuer = 0x%lx, serial = 0x%lx", fn, ptr_bits(ias),
              ptr_bits(issuer), ptr_bits(serial));
    int rc = -1;
    const X509_NAME* dir_name = ias ? first_directory_name(ias->issuer) : nullptr;
    if (!ias || !issuer || !serial) {
        log_error("%s() 1 : bad args", fn);
    } else if (!dir_name) {
        log_error("%s() 2 : GEN_DIRNAME name not found in certid->issuerSerial->issuer", fn);
    } else if (X509_NAME_cmp(dir_name, issuer) != 0) {
        log_error("%s() 3 : issuer names in certificate and Cert-ID don't match", fn);
    } else if (!ias->serial || ASN1_INTEGER_cmp(ias->serial, serial) != 0) {
        log_error("%s() 4 : serial numbers in certificate and Cert-ID don't match", fn);
    } else {
        rc = 0;
    }
    log_debug("%s() end, return code = %d", fn, rc);
    return rc;
}

int certid_and_cert_match(const OTHERCERTID* certid, X509* cert) {
    static const char* fn = "certid_and_cert_match";
    log_debug("%s() begin: certid = 0x%lx, cert = 0x%lx", fn, ptr_bits(certid), ptr_bits(cert));
    int rc = 0;
    const EVP_MD* md = nullptr;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    if (!certid || !cert || !md_complete(certid->mD)) {
        log_error("%s() 1 : bad_args", fn);
    } else if (!(md = EVP_get_digestbyobj(certid->mD->hashAlgorithm->algorithm))) {
        log_error("%s() 2 : EVP_get_digestbyobj() failed", fn);
    } else if (!X509_digest(cert, md, digest, &digest_len)) {
        log_error("%s() 3 : X509_digest() failed", fn);
        log_crypto_errors();
    } else if (!same_bytes(digest, digest_len, certid->mD->hashValue)) {
        log_debug("%s() 4 : digest of certificate doesn't match Cert-ID", fn);
    } else if (certid->issuerSerial &&
               ssf_ISSUER_SERIAL_cmp(certid->issuerSerial, X509_get_issuer_name(cert),
                                     X509_get0_serialNumber(cert)) != 0) {
        log_error("%s() 5 : issuer and serial number in certificate and in CERT-ID don't match",
                  fn);
    } else {
        rc = 1;
    }
    log_debug("%s() end, return code = %d", fn, rc);
    return rc;
}

int find_cert_in_list(const OTHERCERTID* certid, STACK_OF(X509) * certs) {
    static const char* fn = "find_cert_in_list";
    log_debug("%s() begin: certid = 0x%lx, certs = 0x%lx", fn, ptr_bits(certid), ptr_bits(certs));
    int rc = 0;
    if (!certid || !certs) {
        log_error("%s() 1 : bad_args", fn);
    } else {
        for (int i = 0; i < sk_X509_num(certs) && rc == 0; ++i) {
            if (certid_and_cert_match(certid, sk_X509_value(certs, i)) == 1) {
                log_debug("%s() : cert[ %d ] found for certid!!!", fn, i);
                rc = 1;
            }
        }
    }
    log_debug("%s() end, return code = %d", fn, rc);
    return rc;
}

int crlid_and_crl_match(const CRL_VALIDATED_ID* crlid, X509_CRL* crl) {
    static const char* fn = "crlid_and_crl_match";
    log_debug("%s() begin: crlid = 0x%lx, crl = 0x%lx", fn, ptr_bits(crlid), ptr_bits(crl));
    int rc = 0;
    const EVP_MD* md = nullptr;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    const CRL_IDENTIFIER* id = crlid ? crlid->crlIdentifier : nullptr;
    int crit = -1;
    ossl::Asn1Integer number;
    // The issued time compares by the moment it names, not by its encoding: a UTCTime
    // reference stands for a GeneralizedTime thisUpdate of the same second, and the other way.
    if (!crlid || !crl || !md_complete(crlid->crlHash)) {
        log_error("%s() 1 : bad_args", fn);
    } else if (!(md = EVP_get_digestbyobj(crlid->crlHash->hashAlgorithm->algorithm))) {
        log_error("%s() 2 : EVP_get_digestbyobj() failed", fn);
    } else if (!X509_CRL_digest(crl, md, digest, &digest_len)) {
        log_error("%s() 3 : X509_CRL_digest() failed", fn);
        log_crypto_errors();
    } else if (!same_bytes(digest, digest_len, crlid->crlHash->hashValue)) {
        log_error("%s() 4 : CRL digest doesn't match CRL-ID", fn);
    } else if (!id) {
        rc = 1;
    } else if (X509_NAME_cmp(id->crlIssuer, X509_CRL_get_issuer(crl)) != 0) {
        log_error("%s() 5 : CRL issuer name doesn't match CRL-ID", fn);
    } else if (ASN1_TIME_compare(id->crlIssuedTime, X509_CRL_get0_lastUpdate(crl)) != 0) {
        log_error("%s() 6 : CRL issuedTime name doesn't match CRL-ID", fn);
    } else if (!id->crlNumber) {
        rc = 1;
    } else if (number.reset(static_cast<ASN1_INTEGER*>(
                   X509_CRL_get_ext_d2i(crl, NID_crl_number, &crit, nullptr))),
               crit == -1) {
        log_error("%s() 7 : CRL number not found in CRL but  CRL-ID", fn);
    } else if (!number) {
        log_error("%s() 8 : failed to parse CRL number in CRL", fn);
        log_crypto_errors();
    } else if (ASN1_INTEGER_cmp(number.get(), id->crlNumber) != 0) {
        log_error("%s() 9 : CRL number in CRL and in CRL-ID don't match", fn);
    } else {
        rc = 1;
    }
    log_debug("%s() end, return code = %d", fn, rc);
    return rc;
}

int find_crl_in_list(const CRL_VALIDATED_ID* crlid, STACK_OF(X509_CRL) * crls) {
    static const char* fn = "find_crl_in_list";
    for (int i = 0; crlid && i < sk_X509_CRL_num(crls); ++i) {
        if (crlid_and_crl_match(crlid, sk_X509_CRL_value(crls, i)) == 1) {
            log_debug("%s() : crl[ %d ] found for crlid!!!", fn, i);
            return 1;
        }
    }
    return 0;
}

int ssf_OCSP_RESPID_cmp(const RESPONDER_ID* a, const RESPONDER_ID* b) {
    static const char* fn = "ssf_OCSP_RESPID_cmp";
    log_debug("%s() begin: a = 0x%lx, b = 0x%lx", fn, ptr_bits(a), ptr_bits(b));
    int rc = 1;
    if (!a || !b) {
        log_error("%s() 1: bad args", fn);
    } else if (a->type != b->type) {
        log_error("%s() 2 : types of a and b don't match", fn);
    } else if (a->type == V_OCSP_RESPID_NAME) {
        if (X509_NAME_cmp(a->value.byName, b->value.byName) != 0)
            log_error("%s() 3 : 'byName' fields of a and b don't match", fn);
        else
            rc = 0;
    } else if (a->type == V_OCSP_RESPID_KEY) {
        if (!a->value.byKey || !b->value.byKey ||
            ASN1_STRING_cmp(a->value.byKey, b->value.byKey) != 0)
            log_error("%s() 4 : 'byKey' fields of a and b don't match", fn);
        else
            rc = 0;
    } else {
        log_error("%s() 5 : wrong type of a and b: %d", fn, a->type);
    }
    log_debug("%s() end, return code = %d", fn, rc);
    return rc;
}

int ocspid_and_ocsp_match(const OCSP_RESPONSES_ID* ocspid, OCSP_BASICRESP* bs) {
    static const char* fn = "ocspid_and_ocsp_match";
    log_debug("%s() begin: ocspid = 0x%lx, ocsp = 0x%lx", fn, ptr_bits(ocspid), ptr_bits(bs));
    int rc = 0;
    const OCSP_IDENTIFIER* id = ocspid ? ocspid->OcspIdentifier : nullptr;
    const MD* hash = ocspid ? ocspid->ocspRepHash : nullptr;
    RespId responder(bs ? responder_id_of(bs) : nullptr);
    const EVP_MD* md = nullptr;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    if (!id || !bs || (hash && !md_complete(hash))) {
        log_error("%s() 1 : bad_args", fn);
    } else if (ssf_OCSP_RESPID_cmp(id->responderId, responder.get()) != 0) {
        log_error("%s() 2 : responderId in ocspid and ocsp don't match", fn);
    } else if (ASN1_STRING_cmp(id->producedAt, OCSP_resp_get0_produced_at(bs)) != 0) {
        log_error("%s() 3 : producedAt in ocspid and ocsp don't match", fn);
    } else if (!hash) {
        rc = 1;
    } else if (!(md = EVP_get_digestbyobj(hash->hashAlgorithm->algorithm))) {
        log_error("%s() 4 : EVP_get_digestbyobj() failed", fn);
    } else if (!OCSP_BASICRESP_digest(bs, md, digest, &digest_len)) {
        log_error("%s() 5 : OCSP_BASICRESP_digest() failed", fn);
        log_crypto_errors();
    } else if (!same_bytes(digest, digest_len, hash->hashValue)) {
        log_error("%s() 6 : digest of OCSP doesn't match OCSP-ID", fn);
    } else {
        rc = 1;
    }
    log_debug("%s() end, return code %d", fn, rc);
    return rc;
}

int find_ocsp_in_list(const OCSP_RESPONSES_ID* ocspid, STACK_OF(OCSP_BASICRESP) * ocsps) {
    static const char* fn = "find_ocsp_in_list";
    log_debug("%s() begin: ocspid = 0x%lx, ocsps = 0x%lx", fn, ptr_bits(ocspid), ptr_bits(ocsps));
    int rc = 0;
    if (!ocspid || !ocsps) {
        log_error("%s() 1 : bad_args", fn);
    } else {
        for (int i = 0; i < sk_OCSP_BASICRESP_num(ocsps) && rc == 0; ++i) {
            if (ocspid_and_ocsp_match(ocspid, sk_OCSP_BASICRESP_value(ocsps, i)) == 1) {
                log_debug("%s() : ocsp[ %d ] found for ocspid!!!", fn, i);
                rc = 1;
            }
        }
    }
    log_debug("%s() end, return code = %d", fn, rc);
    return rc;
}

int check_rev_and_cert_refs_and_vals(PKCS7_SIGNER_INFO* si, STACK_OF(X509) * cert_values) {
    static const char* fn = "check_rev_and_cert_refs_and_vals";
    log_debug("%s() begin: si = 0x%lx", fn, ptr_bits(si));
    int rc = 0;
    if (si && PKCS7_get_attribute(si, NID_id_smime_aa_ets_RevocationRefs))
        rc = check_revocation_refs(si, fn);
    if (rc == 0 && si && PKCS7_get_attribute(si, NID_id_smime_aa_ets_CertificateRefs))
        rc = check_certificate_refs(si, cert_values, fn);
    log_debug("%s() end, return code = %d (%s)", fn, rc, result_text(rc));
    return rc;
}

}  // namespace ssf
