// SsfAddSign of the party to any message. The first byte picks the format and whether the
// caller hands in the document; the rest is the signed message.
#include "harness.h"

using fuzz::Bytes;

namespace {

const Bytes kDocument = "a document to be signed twice\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Harness::get();
    fuzz::seed("attached", '\0' + fuzz::signed_message("PKCS7", kDocument, false));
    fuzz::seed("detached", '\2' + fuzz::signed_message("CADES_BES", kDocument, true));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const Bytes pkcs7 = "PKCS7", cades = "CADES_BES", hash = "GOST-R-34.11-12-256",
                       document = fuzz::data_message(kDocument);
    const Bytes& format = data[0] & 1 ? cades : pkcs7;
    const bool with_document = data[0] & 2;
    const Bytes message = fuzz::bytes_of(data + 1, size - 1);
    SigRcpSsfInfo* signer = fuzz::party_record();
    fuzz::Out out;
    SsfAddSign(fuzz::sap(format), fuzz::sap_len(format), fuzz::sap(hash), fuzz::sap_len(hash),
               data[0] >> 2 & 1, fuzz::sap(message), fuzz::sap_len(message),
               with_document ? fuzz::sap(document) : nullptr,
               with_document ? fuzz::sap_len(document) : 0, signer, &out.data, &out.len);
    SsfDELSigRcpSsfInfo(&signer);
    return 0;
}
