#include "ssf/codes.h"

#include <cstring>

namespace ssf {

namespace {

constexpr ResultText kResultTexts[] = {
    {0, "Signature is valid"},
    {22, "Unknown signer"},
    {23, "Security profile not found"},
    {24, "Security profile not usable"},
    {25, "Invalid password"},
    {26, "Certificate not found"},
    {27, "Signature is invalid"},
    {28, "Initial value on input"},
    {100, "Signer's certificate expired"},
    {101, "Signature already enhanced"},
    {102, "OCSP service URL not specified"},
    {103, "Invalid OCSP service URL"},
    {104, "OCSP service unreachable"},
    {105, "Bad OCSP response"},
    {106, "Signer's certificate revoked"},
    {107, "Signer's certificate unknown"},
    {108, "OCSP service certificate untrusted"},
    {109, "Too big difference between TSP and OCSP clocks"},
    {110, "Enhanced signature signer's certificate invalid"},
    {111, "TSP service URL not specified"},
    {112, "Invalid TSP service URL"},
    {113, "TSP service unreachable"},
    {114, "Bad TSP response"},
    {115, "TSP service certificate untrusted"},
    {116, "Invalid ES references and values"},
    {117, "ES signer's certificate not found"},
    {118, "No valid signature timestamp found"},
    {119, "ES references and values don't match"},
    {120, "Failed to build certificate chain"},
    {121, "Signer's certificate revocation error"},
    {122, "Certificate chain revocation error"},
    {123, "No valid ES-C timestamp found"},
    {124, "Cancelled by user"},
    {125, "No valid archival timestamp found"},
    {126, "An archival timestamp to be added is older than one of existing archival timestamps"},
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
