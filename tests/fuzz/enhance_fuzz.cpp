// SsfEnhanceSignatures of any message. The first byte says whether the caller hands in the
// document; the rest is the signed message. No time-stamp server is configured, so a signature
// that verifies stops at the time stamp; messages that claim to be enhanced go through the whole
// CAdES verification (archive stamps, values, references).
#include <openssl/pkcs7.h>

#include "cryptoext/ossl.h"
#include "harness.h"

using fuzz::Bytes;

namespace {

const Bytes kDocument = "a document to be enhanced\n";

// The message with every CAdES attribute and an archive stamp present (each an empty SEQUENCE),
// so that mutations start inside the verification of enhanced signatures.
Bytes claiming_enhanced(const Bytes& message) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(message.data());
    ossl::Pkcs7 p7(d2i_PKCS7(nullptr, &p, static_cast<long>(message.size())));
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    for (int nid : {NID_id_smime_aa_timeStampToken, NID_id_smime_aa_ets_revocationValues,
                    NID_id_smime_aa_ets_RevocationRefs, NID_id_smime_aa_ets_certValues,
                    NID_id_smime_aa_ets_CertificateRefs, NID_id_smime_aa_ets_escTimeStamp,
                    OBJ_txt2nid("1.2.840.113549.1.9.16.2.48")}) {
        ossl::Asn1String value(ASN1_STRING_new());
        ASN1_STRING_set(value.get(), "\x30\x00", 2);
        if (PKCS7_add_attribute(si, nid, V_ASN1_SEQUENCE, value.get())) (void)value.release();
    }
    unsigned char* der = nullptr;
    const int n = i2d_PKCS7(p7.get(), &der);
    ossl::Bytes owned(der);
    return n > 0 ? Bytes(reinterpret_cast<char*>(der), static_cast<size_t>(n)) : Bytes();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Harness::get();
    fuzz::seed("attached", '\0' + fuzz::signed_message("CADES_BES", kDocument, false));
    fuzz::seed("detached", '\1' + fuzz::signed_message("CADES_BES", kDocument, true));
    fuzz::seed("claiming-enhanced",
               '\0' + claiming_enhanced(fuzz::signed_message("CADES_BES", kDocument, false)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool with_document = data[0] & 1;
    const Bytes message = fuzz::bytes_of(data + 1, size - 1);
    const Bytes& pab = fuzz::Harness::get().pab;
    SigRcpSsfInfoList results = nullptr;
    fuzz::Out out;
    SsfEnhanceSignatures(fuzz::sap(pab), fuzz::sap_len(pab), fuzz::sap(message),
                         fuzz::sap_len(message), with_document ? fuzz::sap(kDocument) : nullptr,
                         with_document ? fuzz::sap_len(kDocument) : 0, &results, &out.data,
                         &out.len);
    SsfDELSigRcpSsfInfoList(&results);
    return 0;
}
