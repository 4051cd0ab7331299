// CAdES enhancement of the signatures of an existing signed document.
#include <openssl/err.h>

#include <cstring>

#include "ssf/cades/cades_enhance.h"
#include "ssf/cades/cades_verify.h"
#include "ssf/cades/ess_check.h"
#include "ssf/cades/ts_check.h"
#include "ssf/codes.h"
#include "ssf/encode.h"
#include "ssf/log.h"
#include "ssf/pkcs7/verify.h"
#include "ssf/pkcs7/workers.h"
#include "ssf/pki/certs.h"
#include "ssf/records.h"
#include "ssf/utils.h"

namespace ssf {

namespace {

// The records of one call; freed unless handed to the caller.
struct RecordList {
    SigRcpSsfInfoList head = nullptr;
    ~RecordList() {
        if (head) delete_list(&head);
    }
};

// The certificate directory of one call, listed at most once, when a signer first needs it: a
// call whose signers all bring their certificates never reads it.
struct Directory {
    ossl::Text name;
    ossl::X509Stack list;

    // An empty list when there is nothing to read; none only when memory runs out.
    STACK_OF(X509) * certs() {
        if (list) return list.get();
        if (name) list = load_certs_from_pab_orbssl(name.get());
        if (!list) {
            log_write(
                "%s() : no certificates in directory '%s': the roots of enhanced signatures can "
                "be trusted only through the certificate web service",
                "ssf_enhance_signatures", name ? name.get() : "(null)");
            list.reset(sk_X509_new_null());
        }
        return list.get();
    }
};

// The result of one SignerInfo: 0 enhanced, 101 already enhanced and valid, or its code.
int enhance_one(PKCS7* p7, BIO* stream, PKCS7_SIGNER_INFO* si, int i, Directory& pab,
                ossl::X509Ptr& cert) {
    static const char* const kFn = "ssf_enhance_signatures";
    STACK_OF(X509)* included = p7->d.sign->cert;
    CertValues values{read_cert_values(si)};
    bool ambiguous = false;
    cert = ssf_find_signer_in_attrs(si, values.certs.get(), included, &ambiguous);
    if (is_enhanced_signature(si, 0) == 1) {
        if (!cert) {
            log_error("%s() 7 : signature is enhanced but signer's #%d certificate not found", kFn,
                      i);
            return SSF_RESULT_CERT_NOT_FOUND;
        }
        // Judged as SsfVerify judges it: its roots are trusted by the directory (or the
        // certificate web service), never because the signature carries them.
        STACK_OF(X509)* trusted = pab.certs();
        if (!trusted) return SSF_RC_MEMORY;
        if (ossl::contains(values.certs.get(), cert.get())) values.signer = cert.get();
        const int rc = VerifyEnhancedSignature(stream, p7, si, cert.get(), trusted, &values);
        return rc == 0 ? static_cast<int>(SSF_RESULT_ALREADY_ENHANCED) : rc;
    }
    // Without a directory there is nowhere else to look.
    if (!cert && !ambiguous && pab.name) {
        STACK_OF(X509)* listed = pab.certs();
        if (!listed) return SSF_RC_MEMORY;
        cert = ssf_find_cert_in_pab(si->issuer_and_serial, listed, pab.name.get());
    }
    if (!cert) return SSF_RESULT_CERT_NOT_FOUND;
    if (ssf_signature_verify(stream, p7, si, cert.get()) != 1) {
        log_error("%s() 8 : PKCS7_signatureVerify() failed for signer #%d", kFn, i);
        log_crypto_errors();
        return SSF_RESULT_INVALID_SIGNATURE;
    }
    ossl::X509StorePtr store(X509_STORE_new());
    if (!store) return SSF_RC_MEMORY;
    (void)AddCACertsToStore(store.get());
    return EnhanceSignature(p7, si, cert.get(), store.get());
}

int enhance_all(SAP_BYTE* strPab, SAP_UINT strPabL, SAP_BYTE* strSignedData,
                SAP_UINT strSignedDataL, SAP_BYTE* strInputData, SAP_UINT strInputDataL,
                SigRcpSsfInfoList* signerResultList, OutData& out) {
    static const char* const kFn = "ssf_enhance_signatures";
    const unsigned char* p = strSignedData;
    ossl::Pkcs7 p7(d2i_PKCS7(nullptr, &p, static_cast<long>(strSignedDataL)));
    if (!p7) {
        log_error("%s() 1 : d2i_X509() failed", kFn);
        log_crypto_errors();
        return SSF_RC_NOT_PKCS7;
    }
    if (!PKCS7_type_is_signed(p7.get()) || !p7->d.sign || !p7->d.sign->contents) {
        log_error("%s() 2 : it is not PKCS7-Signed", kFn);
        return SSF_RC_NOT_PKCS7;
    }
    const Bytes input = sap_bytes(strInputData, strInputDataL);
    const bool detached = PKCS7_get_detached(p7.get()) != 0;
    if (detached && input.empty()) {
        log_error("%s() 3 : original data not provided", kFn);
        return SSF_RC_NO_INPUT;
    }
    if (!detached && !input.empty()) {
        const ASN1_OCTET_STRING* own =
            PKCS7_type_is_data(p7->d.sign->contents) ? p7->d.sign->contents->d.data : nullptr;
        if (!own || static_cast<size_t>(ASN1_STRING_length(own)) != input.size() ||
            std::memcmp(ASN1_STRING_get0_data(own), input.data(), input.size()) != 0) {
            log_error("%s() 4 : provided and attached datasets are different", kFn);
            return SSF_RC_NO_INPUT;
        }
    }
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7.get());
    if (sk_PKCS7_SIGNER_INFO_num(infos) <= 0) {
        log_error("%s() 5 : no signer info found", kFn);
        return SSF_RC_NOT_PKCS7;
    }
    ossl::Bio source;
    if (detached) {
        source.reset(BIO_new_mem_buf(input.data(), static_cast<int>(input.size())));
        if (!source) {
            log_error("%s() 6 : BIO_new_mem_buf() failed", kFn);
            return SSF_RC_MEMORY;
        }
    }
    ossl::Bio stream = read_signed_content(kFn, p7.get(), source);

    Directory pab{ossl::Text(strPab ? get_sz_string_from_sap_string(strPab, strPabL) : nullptr),
                  nullptr};
    RecordList records;
    bool all_good = true;
    for (int i = 0; i < sk_PKCS7_SIGNER_INFO_num(infos); ++i) {
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(infos, i);
        ossl::X509Ptr cert;
        const int rc = enhance_one(p7.get(), stream.get(), si, i, pab, cert);
        if (rc != 0 && rc != static_cast<int>(SSF_RESULT_ALREADY_ENHANCED)) all_good = false;
        SigRcpSsfInfo* rec = nullptr;
        if (int r = set_profile_data(true, &rec, si, cert.get(), rc); r != 0) {
            log_error("%s() 9 : set_profile_data() failed for signer #%d", kFn, i);
            delete_record(&rec);
            return r;
        }
        if (int r = static_cast<int>(insert_record(rec, &records.head)); r != 0) {
            log_error("%s() 10 : SsfINSSigRcpSsfInfo() failed for signer #%d", kFn, i);
            delete_record(&rec);
            return r;
        }
    }
    SigRcpSsfInfoList* tail = signerResultList;
    while (*tail) tail = &(*tail)->next;
    *tail = records.head;
    records.head = nullptr;
    if (!all_good) return SSF_RC_SIGNER_FAILED;
    if (!der_output(out, p7.get())) {
        log_error("%s() 11 : i2d_PKCS7()", kFn);
        log_crypto_errors();
        return SSF_RC_ENCODE_FAILED;
    }
    return SSF_RC_OK;
}

}  // namespace

int ssf_enhance_signatures(SAP_BYTE* strPab, SAP_UINT strPabL, SAP_BYTE* strSignedData,
                           SAP_UINT strSignedDataL, SAP_BYTE* strInputData, SAP_UINT strInputDataL,
                           SigRcpSsfInfoList* signerResultList, SAP_BYTE** ostrEnhancedSignData,
                           SAP_UINT* ostrEnhancedSignDataL) {
    static const char* const kFn = "ssf_enhance_signatures";
    log_debug(
        "%s() begin: strPab = 0x%lx, strPabL = %d, strSignedData = 0x%lx, strSignedDataL = %d, "
        "signerResultList = 0x%lx, ostrEnhancedSignData = 0x%lx, ostrEnhancedSignDataL = 0x%lx",
        kFn, ptr_bits(strPab), static_cast<int>(strPabL), ptr_bits(strSignedData),
        static_cast<int>(strSignedDataL), ptr_bits(signerResultList),
        ptr_bits(ostrEnhancedSignData), ptr_bits(ostrEnhancedSignDataL));
    OutData out;
    const int rc = enhance_all(strPab, strPabL, strSignedData, strSignedDataL, strInputData,
                               strInputDataL, signerResultList, out);
    if (rc == 0)
        hand_over(out, ostrEnhancedSignData, ostrEnhancedSignDataL);
    else
        clear_output(ostrEnhancedSignData, ostrEnhancedSignDataL);
    log_debug("%s() end, return code = %d", kFn, rc);
    return rc;
}

}  // namespace ssf
