// The interface's return codes, the per-signer result codes with their texts, and the format,
// hash and cipher names the exports accept.
#pragma once

#include <cstdint>
#include <span>

#include "ssf/ssf_api.h"

namespace ssf {

enum : SAPRETURN {
    SSF_RC_OK = 0,
    SSF_RC_NOT_STARTED = 1,  // start-up has not succeeded: the call was refused, nothing done
    SSF_RC_INVALID_FORMAT = 2,
    SSF_RC_NO_INPUT = 3,
    SSF_RC_MEMORY = 4,
    SSF_RC_SIGNER_FAILED = 5,
    SSF_RC_RECORD_FAILED = 6,  // a verification result record could not be built
    SSF_RC_NO_PAB_CERTS = 7,
    SSF_RC_RECIPIENT_FAILED = 9,
    SSF_RC_INVALID_HASH = 10,
    SSF_RC_ENCODE_FAILED = 11,  // developed content could not be wrapped as PKCS#7 data
    SSF_RC_NOT_PKCS7 = 12,
    SSF_RC_NO_OUTPUT = 13,
    SSF_RC_INVALID_CIPHER = 14,
    SSF_RC_RECORD_MEMORY = 51,
    SSF_RC_NO_IDENTITY = 52,
    SSF_RC_NO_RECORD = 53,
    SSF_RC_NO_LIST = 54,
    SSF_RC_NODE_WITHOUT_RECORD = 0xFFFFFFFFu,
};

// Signer and recipient result codes kept in SigRcpSsfInfo::uResult.
enum : SAP_UINT {
    SSF_RESULT_VALID = 0,
    SSF_RESULT_UNKNOWN_SIGNER = 22,
    SSF_RESULT_PROFILE_NOT_FOUND = 23,
    SSF_RESULT_PROFILE_UNUSABLE = 24,
    SSF_RESULT_INVALID_PASSWORD = 25,
    SSF_RESULT_CERT_NOT_FOUND = 26,
    SSF_RESULT_INVALID_SIGNATURE = 27,
    SSF_RESULT_INITIAL = 28,
    // CAdES, OCSP and time-stamp outcomes.
    SSF_RESULT_CERT_EXPIRED = 100,
    SSF_RESULT_ALREADY_ENHANCED = 101,
    SSF_RESULT_OCSP_URL_MISSING = 102,
    SSF_RESULT_OCSP_URL_INVALID = 103,
    SSF_RESULT_OCSP_UNREACHABLE = 104,
    SSF_RESULT_OCSP_BAD_RESPONSE = 105,
    SSF_RESULT_CERT_REVOKED = 106,
    SSF_RESULT_CERT_UNKNOWN = 107,
    SSF_RESULT_OCSP_UNTRUSTED = 108,
    SSF_RESULT_TSP_OCSP_CLOCKS = 109,
    SSF_RESULT_ES_SIGNER_CERT_INVALID = 110,
    SSF_RESULT_TSP_URL_MISSING = 111,
    SSF_RESULT_TSP_URL_INVALID = 112,
    SSF_RESULT_TSP_UNREACHABLE = 113,
    SSF_RESULT_TSP_BAD_RESPONSE = 114,
    SSF_RESULT_TSP_UNTRUSTED = 115,
    SSF_RESULT_ES_REFS_INVALID = 116,
    SSF_RESULT_ES_SIGNER_CERT_NOT_FOUND = 117,
    SSF_RESULT_NO_SIGNATURE_TIMESTAMP = 118,
    SSF_RESULT_ES_REFS_MISMATCH = 119,
    SSF_RESULT_CHAIN_FAILED = 120,
    SSF_RESULT_SIGNER_REVOCATION_ERROR = 121,
    SSF_RESULT_CHAIN_REVOCATION_ERROR = 122,
    SSF_RESULT_NO_ESC_TIMESTAMP = 123,
    SSF_RESULT_CANCELLED = 124,
    SSF_RESULT_NO_ARCHIVE_TIMESTAMP = 125,
    SSF_RESULT_ARCHIVE_TIMESTAMP_OLDER = 126,
};

struct ResultText {
    SAP_UINT code;
    const char* text;
};
std::span<const ResultText> result_texts();
inline constexpr const char* kUnknownResultText = "<Unknown error code>";
// What a profile load that fails returns: the signer's or the recipient's failure code.
inline int failure_code(int is_signer) {
    return is_signer ? SSF_RC_SIGNER_FAILED : SSF_RC_RECIPIENT_FAILED;
}
// The text of a result or return code for a log line.
inline const char* result_text(int rc) {
    return GetSignerErrorMessage(static_cast<SAP_UINT>(rc));
}

// Signature type codes the sign and verify workers act on.
enum SignatureType : int {
    SIG_TYPE_NONE = 0,
    SIG_TYPE_PKCS7_ANY = 1,
    SIG_TYPE_PKCS7 = 2,
    SIG_TYPE_CADES_BES = 3,
    SIG_TYPE_CADES = 4,  // "PKCS7_CADES" and "CADES_XLT1"
    SIG_TYPE_GET_SIGNERS = 8,
};

enum HashAlg : int {
    HASH_INVALID = 0,
    HASH_GOSTR3411_94 = 4,
    HASH_MD5 = 5,
    HASH_SHA1 = 6,
    HASH_GOSTR3411_12_256 = 7,
    HASH_GOSTR3411_12_512 = 8,
};

struct NameCode {
    const char* name;
    int code;
};
std::span<const NameCode> format_names();  // code: the signature type
std::span<const NameCode> hash_names();

// Names are SAP strings: compared by exact length and bytes, never NUL-terminated.
[[nodiscard]] bool check_format_name(const SAP_BYTE* name, SAP_UINT len);
[[nodiscard]] int get_signature_type_code(const SAP_BYTE* name, SAP_UINT len);
[[nodiscard]] int get_hash_alg_code(const SAP_BYTE* name, SAP_UINT len);
[[nodiscard]] bool check_sym_encr_name(const SAP_BYTE* name, SAP_UINT len);

}  // namespace ssf
