// SsfVerify of any message. The first byte picks the format and whether the caller hands in the
// document (which a detached signature needs); the rest is the signed message.
#include "harness.h"

using fuzz::Bytes;

namespace {

const char* const kFormats[] = {"PKCS7",       "PKCS7_ANY",  "CADES_BES", "PKCS7_GET_SIGNERS",
                                "PKCS7_CADES", "CADES_XLT1", "BASE64",    "PKCS7"};
const Bytes kDocument = "a document to be signed\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Harness::get();
    for (const char* format : {"PKCS7", "CADES_BES"}) {
        fuzz::seed(std::string(format) + "-attached",
                   '\0' + fuzz::signed_message(format, kDocument, false));
        fuzz::seed(std::string(format) + "-detached",
                   '\4' + fuzz::signed_message(format, kDocument, true));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const Bytes document = fuzz::data_message(kDocument);
    const Bytes format = kFormats[data[0] & 7], message = fuzz::bytes_of(data + 1, size - 1);
    const bool with_document = data[0] & 8;
    const Bytes& pab = fuzz::Harness::get().pab;
    SigRcpSsfInfoList results = nullptr;
    fuzz::Out out;
    SsfVerify(fuzz::sap(format), fuzz::sap_len(format), data[0] >> 4 & 1, fuzz::sap(message),
              fuzz::sap_len(message), with_document ? fuzz::sap(document) : nullptr,
              with_document ? fuzz::sap_len(document) : 0, fuzz::sap(pab), fuzz::sap_len(pab),
              nullptr, 0, &results, &out.data, &out.len);
    SsfDELSigRcpSsfInfoList(&results);
    return 0;
}
