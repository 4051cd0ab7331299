// SsfDevelope of any message with the party's key: GOST key transport, its BER decoder and the
// content decryption all read the fuzzer's bytes.
#include "harness.h"

using fuzz::Bytes;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Harness::get();
    fuzz::seed("short", fuzz::enveloped_message("x"));
    fuzz::seed("document", fuzz::enveloped_message(Bytes(300, 'd')));
    fuzz::seed("signed", fuzz::enveloped_message(fuzz::signed_message("PKCS7", "s", false)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Bytes format = "PKCS7";
    const Bytes message = fuzz::bytes_of(data, size);
    SigRcpSsfInfo* recipient = fuzz::party_record();
    fuzz::Out out;
    SsfDevelope(fuzz::sap(format), fuzz::sap_len(format), fuzz::sap(message),
                fuzz::sap_len(message), recipient, &out.data, &out.len);
    SsfDELSigRcpSsfInfo(&recipient);
    return 0;
}
