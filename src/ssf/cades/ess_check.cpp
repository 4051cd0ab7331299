#include "ssf/cades/ess_check.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <cstring>
#include <optional>

#include "cryptoext/ess_types.h"
#include "cryptoext/ossl.h"
#include "ssf/cades/cades_oids.h"
#include "ssf/cades/ref_match.h"
#include "ssf/log.h"

namespace ssf {

namespace {

using ossl::EssCertIdV2;
using ossl::OtherSigCert;

// A signed attribute's value: absent (nothing), present (its DER bytes when it is a SEQUENCE,
// null otherwise, which then fails to decode as a broken value should).
std::optional<const ASN1_STRING*> signed_sequence(PKCS7_SIGNER_INFO* si, int nid) {
    if (nid == NID_undef) return std::nullopt;
    ASN1_TYPE* t = PKCS7_get_signed_attribute(si, nid);
    if (!t) return std::nullopt;
    return t->type == V_ASN1_SEQUENCE ? t->value.sequence : nullptr;
}

bool has_signed(PKCS7_SIGNER_INFO* si, int nid) {
    return PKCS7_get_signed_attribute(si, nid) != nullptr;
}
bool has_unsigned(PKCS7_SIGNER_INFO* si, int nid) {
    return PKCS7_get_attribute(si, nid) != nullptr;
}

template <class T>
T* decode(const ASN1_STRING* s, T* (*d2i)(T**, const unsigned char**, long)) {
    if (!s) return nullptr;
    const unsigned char* p = ASN1_STRING_get0_data(s);
    return d2i(nullptr, &p, ASN1_STRING_length(s));
}

int check_other_sig_cert(const ASN1_STRING* value, X509* cert) {
    static const char* fn = "check_ess_signing_cert";
    OtherSigCert osc(decode(value, d2i_OTHERSIGCERT));
    if (!osc) {
        log_error("%s() 3 : d2i_OTHERSIGCERT() failed", fn);
        log_crypto_errors();
        return 0;
    }
    if (sk_OTHERCERTID_num(osc->Certs) <= 0) {
        log_error("%s() 4 : OtherSigningCertificate attribute is empty", fn);
        return 0;
    }
    const OTHERCERTID* id = sk_OTHERCERTID_value(osc->Certs, 0);
    if (!id) {
        log_error("%s() 5 : no OTHERCERTID found in OtherSigningCertificate attribute", fn);
        return 0;
    }
    if (certid_and_cert_match(id, cert) != 1) {
        log_error(
            "%s() 6 : OTHERCERTID in OtherSigningCertificate attribute and signer's certificate "
            "don't match",
            fn);
        return 0;
    }
    return 1;
}

int check_signing_cert_v2(const ASN1_STRING* value, X509* cert) {
    static const char* fn = "check_ess_signing_cert";
    EssCertIdV2 ids(decode(value, d2i_ESSCERTIDV2));
    if (!ids) {
        log_error("%s() 7 : d2i_ESSCERTIDV2() failed", fn);
        log_crypto_errors();
        return 0;
    }
    if (sk_CERTIDV2_num(ids->Certs) <= 0) {
        log_error("%s() 8 : SigningCertificateV2 attribute is empty", fn);
        return 0;
    }
    const CERTIDV2* id = sk_CERTIDV2_value(ids->Certs, 0);
    if (!id) {
        log_error("%s() 9 : no CERTIDV2 found in SigningCertificateV2 attribute", fn);
        return 0;
    }
    const EVP_MD* md =
        id->hashAlgorithm ? EVP_get_digestbyobj(id->hashAlgorithm->algorithm) : EVP_sha256();
    if (!md) {
        log_error("%s() 10 : EVP_get_digestbyobj() failed", fn);
        return 0;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    if (!X509_digest(cert, md, digest, &digest_len)) {
        log_error("%s() 11 : X509_digest() failed", fn);
        log_crypto_errors();
        return 0;
    }
    if (static_cast<int>(digest_len) != ASN1_STRING_length(id->hashValue) ||
        std::memcmp(digest, ASN1_STRING_get0_data(id->hashValue), digest_len) != 0) {
        log_error("%s() 12 : digest of certificate and digest in CERTIDV2 don't match", fn);
        return 0;
    }
    if (id->issuerSerial && ssf_ISSUER_SERIAL_cmp(id->issuerSerial, X509_get_issuer_name(cert),
                                                  X509_get0_serialNumber(cert)) != 0) {
        log_error("%s() 13 : issuer and serial number in certificate and in CERTIDV2 don't match",
                  fn);
        return 0;
    }
    return 1;
}

}  // namespace

int signing_cert_v2_nid() {
    if (g_nNID_id_smime_aa_ets_SigCertV2 != NID_undef) return g_nNID_id_smime_aa_ets_SigCertV2;
    // Before start-up registered it: the crypto library may know it already.
    return OBJ_txt2nid(kSigningCertificateV2Oid);
}

int has_signing_cert_v2(PKCS7_SIGNER_INFO* si) {
    int nid = signing_cert_v2_nid();
    return si && nid != NID_undef && has_signed(si, nid) ? 1 : 0;
}

int check_ess_signing_cert(PKCS7_SIGNER_INFO* si, X509* cert) {
    static const char* fn = "check_ess_signing_cert";
    log_debug("%s() begin: si = 0x%lx, cert = 0x%lx", fn, ptr_bits(si), ptr_bits(cert));
    int rc = 0;
    if (!si || !cert) {
        log_error("%s() 1 : bad args", fn);
    } else {
        auto other = signed_sequence(si, NID_id_smime_aa_ets_otherSigCert);
        auto v2 = signed_sequence(si, signing_cert_v2_nid());
        if (!other && !v2) {
            log_error(
                "%s() 2 : neither OtherSigningCertificate nor SigningCertificateV2 attribute found",
                fn);
        } else {
            rc = 1;
            if (other) rc = check_other_sig_cert(*other, cert);
            if (rc == 1 && v2) rc = check_signing_cert_v2(*v2, cert);
        }
    }
    log_debug("%s() end, return code = %d", fn, rc);
    return rc;
}

int is_enhanced_signature(PKCS7_SIGNER_INFO* si, int without_timestamps) {
    if (!si) return 0;
    if (!has_signed(si, NID_id_smime_aa_ets_otherSigCert) && !has_signing_cert_v2(si)) return 0;
    for (int nid : {NID_id_smime_aa_ets_RevocationRefs, NID_id_smime_aa_ets_revocationValues,
                    NID_id_smime_aa_ets_CertificateRefs, NID_id_smime_aa_ets_certValues})
        if (!has_unsigned(si, nid)) return 0;
    if (without_timestamps == 1) return 1;
    return has_unsigned(si, NID_id_smime_aa_timeStampToken) &&
                   has_unsigned(si, NID_id_smime_aa_ets_escTimeStamp)
               ? 1
               : 0;
}

}  // namespace ssf
