#include "ssf/codes.h"

#include <cstring>

namespace ssf {

namespace {

constexpr ResultText kResultTexts[] = {
    {SSF_RESULT_VALID, "Signature is valid"},
    {SSF_RESULT_UNKNOWN_SIGNER, "Unknown signer"},
    {SSF_RESULT_PROFILE_NOT_FOUND, "Security profile not found"},
    {SSF_RESULT_PROFILE_UNUSABLE, "Security profile not usable"},
    {SSF_RESULT_INVALID_PASSWORD, "Invalid password"},
    {SSF_RESULT_CERT_NOT_FOUND, "Certificate not found"},
    {SSF_RESULT_INVALID_SIGNATURE, "Signature is invalid"},
    {SSF_RESULT_INITIAL, "Initial value on input"},
    {SSF_RESULT_CERT_EXPIRED, "Signer's certificate expired"},
    {SSF_RESULT_ALREADY_ENHANCED, "Signature already enhanced"},
    {SSF_RESULT_OCSP_URL_MISSING, "OCSP service URL not specified"},
    {SSF_RESULT_OCSP_URL_INVALID, "Invalid OCSP service URL"},
    {SSF_RESULT_OCSP_UNREACHABLE, "OCSP service unreachable"},
    {SSF_RESULT_OCSP_BAD_RESPONSE, "Bad OCSP response"},
    {SSF_RESULT_CERT_REVOKED, "Signer's certificate revoked"},
    {SSF_RESULT_CERT_UNKNOWN, "Signer's certificate unknown"},
    {SSF_RESULT_OCSP_UNTRUSTED, "OCSP service certificate untrusted"},
    {SSF_RESULT_TSP_OCSP_CLOCKS, "Too big difference between TSP and OCSP clocks"},
    {SSF_RESULT_ES_SIGNER_CERT_INVALID, "Enhanced signature signer's certificate invalid"},
    {SSF_RESULT_TSP_URL_MISSING, "TSP service URL not specified"},
    {SSF_RESULT_TSP_URL_INVALID, "Invalid TSP service URL"},
    {SSF_RESULT_TSP_UNREACHABLE, "TSP service unreachable"},
    {SSF_RESULT_TSP_BAD_RESPONSE, "Bad TSP response"},
    {SSF_RESULT_TSP_UNTRUSTED, "TSP service certificate untrusted"},
    {SSF_RESULT_ES_REFS_INVALID, "Invalid ES references and values"},
    {SSF_RESULT_ES_SIGNER_CERT_NOT_FOUND, "ES signer's certificate not found"},
    {SSF_RESULT_NO_SIGNATURE_TIMESTAMP, "No valid signature timestamp found"},
    {SSF_RESULT_ES_REFS_MISMATCH, "ES references and values don't match"},
    {SSF_RESULT_CHAIN_FAILED, "Failed to build certificate chain"},
    {SSF_RESULT_SIGNER_REVOCATION_ERROR, "Signer's certificate revocation error"},
    {SSF_RESULT_CHAIN_REVOCATION_ERROR, "Certificate chain revocation error"},
    {SSF_RESULT_NO_ESC_TIMESTAMP, "No valid ES-C timestamp found"},
    {SSF_RESULT_CANCELLED, "Cancelled by user"},
    {SSF_RESULT_NO_ARCHIVE_TIMESTAMP, "No valid archival timestamp found"},
    {SSF_RESULT_ARCHIVE_TIMESTAMP_OLDER,
     "An archival timestamp to be added is older than one of existing archival timestamps"},
};

// "PKCS7_GET_SIGNERS" is a valid name without being a format that the host can ask for.
constexpr NameCode kFormats[] = {
    {"PKCS7_ANY", SIG_TYPE_PKCS7_ANY}, {"PKCS7", SIG_TYPE_PKCS7},
    {"CADES_BES", SIG_TYPE_CADES_BES}, {"PKCS7_CADES", SIG_TYPE_CADES},
    {"CADES_XLT1", SIG_TYPE_CADES},    {"PKCS7_GET_SIGNERS", SIG_TYPE_GET_SIGNERS},
    {"BASE64", SIG_TYPE_NONE},
};

constexpr NameCode kHashes[] = {
    {"GOST-R-34.11-94", HASH_GOSTR3411_94},
    {"MD5", HASH_MD5},
    {"SHA1", HASH_SHA1},
    {"GOST-R-34.11-12-256", HASH_GOSTR3411_12_256},
    {"GOST-R-34.11-12-512", HASH_GOSTR3411_12_512},
};

constexpr const char* kCipherName = "GOST-28147-89";

bool same_name(const SAP_BYTE* name, SAP_UINT len, const char* wanted) {
    return name && len == std::strlen(wanted) && std::memcmp(name, wanted, len) == 0;
}

const NameCode* find(std::span<const NameCode> table, const SAP_BYTE* name, SAP_UINT len) {
    for (const auto& row : table)
        if (same_name(name, len, row.name)) return &row;
    return nullptr;
}

}  // namespace

std::span<const ResultText> result_texts() {
    return kResultTexts;
}
std::span<const NameCode> format_names() {
    return kFormats;
}
std::span<const NameCode> hash_names() {
    return kHashes;
}

bool check_format_name(const SAP_BYTE* name, SAP_UINT len) {
    return find(kFormats, name, len) != nullptr;
}

int get_signature_type_code(const SAP_BYTE* name, SAP_UINT len) {
    const NameCode* row = find(kFormats, name, len);
    return row ? row->code : SIG_TYPE_NONE;
}

int get_hash_alg_code(const SAP_BYTE* name, SAP_UINT len) {
    const NameCode* row = find(kHashes, name, len);
    return row ? row->code : HASH_INVALID;
}

bool check_sym_encr_name(const SAP_BYTE* name, SAP_UINT len) {
    return same_name(name, len, kCipherName);
}

}  // namespace ssf

const char* GetSignerErrorMessage(SAP_UINT code) {
    for (const auto& row : ssf::result_texts())
        if (row.code == code) return row.text;
    return ssf::kUnknownResultText;
}
