// PKCS#7 wrapping for transport: the first and last steps of every worker, and the PKCS#7
// formats of SsfEncode and SsfDecode.
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>

#include "ssf/workers.h"

namespace ssf {

namespace {

ossl::Pkcs7 read_pkcs7(Bytes input) {
    const unsigned char* p = input.data();
    return ossl::Pkcs7(d2i_PKCS7(nullptr, &p, static_cast<long>(input.size())));
}

bool signed_or_enveloped(const PKCS7* p7) {
    return PKCS7_type_is_signed(p7) || PKCS7_type_is_enveloped(p7);
}

int fail(const char* line) {
    log_error(line, "encode_data");
    log_crypto_errors();
    return SSF_RC_MEMORY;
}

}  // namespace

int encode_data(OutData& out, Bytes input) {
    out = OutData{};
    ossl::Pkcs7 parsed = read_pkcs7(input);
    ERR_clear_error();  // input that is not PKCS#7 is expected here, not an error
    if (parsed && signed_or_enveloped(parsed.get())) {
        if (alloc_copy(out, input)) return SSF_RC_OK;
        log_error("%s() 1 : OPENSSL_malloc( %zu ) failed", "encode_data", input.size());
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    // Anything else, PKCS#7 data included, is wrapped once more as data.
    ossl::Pkcs7 p7(PKCS7_new());
    if (!p7) return fail("%s() 2 : PKCS7_new() failed");
    if (!PKCS7_set_type(p7.get(), NID_pkcs7_data) ||
        !ASN1_STRING_set(p7->d.data, input.data(), static_cast<int>(input.size())))
        return fail("%s() 2 : PKCS7_new() failed");
    unsigned char* der = nullptr;
    int len = i2d_PKCS7(p7.get(), &der);
    if (len <= 0) {
        OPENSSL_free(der);
        return fail("%s() 3 : i2d_PKCS7() failed");
    }
    out.data.reset(der);
    out.size = static_cast<uint32_t>(len);
    return SSF_RC_OK;
}

const ASN1_OCTET_STRING* signed_content(const PKCS7* p7) {
    const PKCS7* inner = PKCS7_type_is_signed(p7) && p7->d.sign ? p7->d.sign->contents : nullptr;
    if (!inner || !inner->d.ptr) return nullptr;
    switch (OBJ_obj2nid(inner->type)) {
        case NID_pkcs7_data:
            return inner->d.data;
        case NID_pkcs7_signed:
        case NID_pkcs7_enveloped:
        case NID_pkcs7_signedAndEnveloped:
        case NID_pkcs7_digest:
        case NID_pkcs7_encrypted:
            return nullptr;
        default:  // any other type is held as it came
            return inner->d.other->type == V_ASN1_OCTET_STRING ? inner->d.other->value.octet_string
                                                               : nullptr;
    }
}

int decode_data(OutData& out, Bytes input) {
    static const char* fn = "decode_data";
    out = OutData{};
    ossl::Pkcs7 p7 = read_pkcs7(input);
    if (!p7) {
        log_error("%s() 1 : d2i_PKCS7() failed", fn);
        log_crypto_errors();
        return SSF_RC_NOT_PKCS7;
    }
    Bytes result;
    if (PKCS7_type_is_data(p7.get())) {
        // Data whose content is absent decodes like empty content.
        const ASN1_OCTET_STRING* content = p7->d.data;
        if (content)
            result = Bytes(ASN1_STRING_get0_data(content),
                           static_cast<size_t>(ASN1_STRING_length(content)));
    } else if (signed_or_enveloped(p7.get())) {
        result = input;
    } else {
        log_error("%s() 2 : PKCS7 type is not data", fn);
        return SSF_RC_NOT_PKCS7;
    }
    if (!alloc_copy(out, result)) {
        log_error("%s() 3 : OPENSSL_malloc( %zu ) failed", fn, result.size());
        log_crypto_errors();
        return SSF_RC_MEMORY;
    }
    return SSF_RC_OK;
}

}  // namespace ssf
