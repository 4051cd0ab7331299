#include "ssf/ref_match.h"

#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <cstring>

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
    if (!certid || !cert || !certid->mD || !certid->mD->hashAlgorithm || !certid->mD->hashValue) {
        log_error("%s() 1 : bad_args", fn);
    } else if (!(md = EVP_get_digestbyobj(certid->mD->hashAlgorithm->algorithm))) {
        log_error("%s() 2 : EVP_get_digestbyobj() failed", fn);
    } else if (!X509_digest(cert, md, digest, &digest_len)) {
        log_error("%s() 3 : X509_digest() failed", fn);
        log_crypto_errors();
    } else if (static_cast<int>(digest_len) != ASN1_STRING_length(certid->mD->hashValue) ||
               std::memcmp(digest, ASN1_STRING_get0_data(certid->mD->hashValue), digest_len) != 0) {
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

}  // namespace ssf
