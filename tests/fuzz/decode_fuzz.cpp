// SsfDecode of any bytes: the first byte picks Base64 (odd) or PKCS#7 (even).
#include "harness.h"

using fuzz::Bytes;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Harness::get();
    const Bytes data = fuzz::data_message("decoded content"),
                signed_data = fuzz::signed_message("PKCS7", "signed content", false);
    fuzz::seed("data", '\0' + data);
    fuzz::seed("signed", '\0' + signed_data);
    static const Bytes base64 = "BASE64";
    fuzz::Out out;
    SsfEncode(fuzz::sap(base64), fuzz::sap_len(base64), fuzz::sap(signed_data),
              fuzz::sap_len(signed_data), &out.data, &out.len);
    fuzz::seed("base64", '\1' + out.str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const Bytes base64 = "BASE64", pkcs7 = "PKCS7";
    const Bytes& format = data[0] & 1 ? base64 : pkcs7;
    const Bytes input = fuzz::bytes_of(data + 1, size - 1);
    fuzz::Out out;
    SsfDecode(fuzz::sap(format), fuzz::sap_len(format), fuzz::sap(input), fuzz::sap_len(input),
              &out.data, &out.len);
    return 0;
}
