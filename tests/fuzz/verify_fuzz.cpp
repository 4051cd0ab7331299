// SsfVerify of any message. The first byte picks the format and whether the caller hands in the
// document (which a detached signature needs); the rest is the signed message.
#include "harness.h"

using fuzz::Bytes;

namespace {

const char* const kFormats[] = {"PKCS7",       "PKCS7_ANY",  "CADES_BES", "PKCS7_GET_SIGNERS",
                                "PKCS7_CADES", "CADES_XLT1", "BASE64",    "PKCS7"};
constexpr uint8_t kWithDocument = 8;
const Bytes kDocument = "a document to be signed\n";

// The call's code and the first record's result (-1 without a record).
std::pair<SAPRETURN, long> verify(const uint8_t* data, size_t size) {
    static const Bytes document = fuzz::data_message(kDocument);
    const Bytes format = kFormats[data[0] & 7], message = fuzz::bytes_of(data + 1, size - 1);
    const bool with_document = data[0] & kWithDocument;
    const Bytes& pab = fuzz::Harness::get().pab;
    SigRcpSsfInfoList results = nullptr;
    fuzz::Out out;
    const SAPRETURN rc =
        SsfVerify(fuzz::sap(format), fuzz::sap_len(format), data[0] >> 4 & 1, fuzz::sap(message),
                  fuzz::sap_len(message), with_document ? fuzz::sap(document) : nullptr,
                  with_document ? fuzz::sap_len(document) : 0, fuzz::sap(pab), fuzz::sap_len(pab),
                  nullptr, 0, &results, &out.data, &out.len);
    const long first = results && results->ptrSigRcp ? results->ptrSigRcp->uResult : -1;
    SsfDELSigRcpSsfInfoList(&results);
    return {rc, first};
}

std::pair<SAPRETURN, long> verify(const Bytes& input) {
    return verify(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Harness::get();
    for (uint8_t pick : {0, 2}) {  // PKCS7, CADES_BES
        const std::string format = kFormats[pick];
        fuzz::seed(
            format + "-attached",
            static_cast<char>(pick) + fuzz::signed_message(format.c_str(), kDocument, false));
        // A detached seed selects its document: it verifies with it, and only with it.
        const Bytes detached = fuzz::signed_message(format.c_str(), kDocument, true);
        const Bytes seed = static_cast<char>(pick | kWithDocument) + detached;
        fuzz::require(verify(seed) == std::pair<SAPRETURN, long>{0, 0} &&
                          verify(static_cast<char>(pick) + detached).second != 0,
                      "a detached seed verifies with its document alone");
        fuzz::seed(format + "-detached", seed);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 1) verify(data, size);
    return 0;
}
