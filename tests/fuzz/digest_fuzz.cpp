// SsfDigest of any message. The first byte picks the hash and whether the digest is detached.
#include "harness.h"

using fuzz::Bytes;

namespace {

const char* const kHashes[] = {"GOST-R-34.11-12-256", "GOST-R-34.11-12-512", "GOST-R-34.11-94",
                               "SHA1", "MD5"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::Harness::get();
    fuzz::seed("data", '\0' + fuzz::data_message("digested content"));
    fuzz::seed("signed", '\1' + fuzz::signed_message("PKCS7", "digested content", false));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const Bytes format = "PKCS7";
    const Bytes hash = kHashes[(data[0] >> 1) % 5], input = fuzz::bytes_of(data + 1, size - 1);
    fuzz::Out out;
    SsfDigest(fuzz::sap(format), fuzz::sap_len(format), data[0] & 1, fuzz::sap(input),
              fuzz::sap_len(input), fuzz::sap(hash), fuzz::sap_len(hash), &out.data, &out.len);
    return 0;
}
