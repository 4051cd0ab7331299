// One test PKI for every test of the provider, made at run time once the library has started
// (engines first): a root, an intermediate and leaves below it, their files, and PKCS#7 samples
// made by the crypto library itself so that the provider is checked against a peer.
// kit/certs.h makes certificates of any shape (key types, validity, extensions), kit/ocsp.h OCSP
// responses and kit/tsa.h time-stamp tokens.
#pragma once

#include <string>
#include <vector>

#include "cryptoext/ossl.h"

namespace test_pki {

inline constexpr const char* kPassword = "secret";
inline constexpr long kDay = 24 * 3600, kYear = 365 * kDay;
using Der = std::vector<unsigned char>;

struct Entity {
    ossl::X509Ptr cert;
    ossl::PKey key;
};

struct Pki {
    std::string dir;  // every file below lives here
    Entity root, inter;
    Entity leaf;            // EC, issued by inter, valid now, serial 56 78
    Entity rsa_leaf;        // RSA 2048, issued by inter, valid now, serial 12 34
    Entity expired;         // ended a year ago
    Entity not_yet;         // begins in a year
    Entity pkup_ended;      // valid, but its private-key usage period ended yesterday
    Entity stranger;        // self-signed, in no trust path
    std::string ca_bundle;  // root and inter, PEM
};
const Pki& get();

// A certificate "CN=cn, O=Selvanor Test, C=RU" for the key, valid [now + from, now + to],
// signed by the issuer (self-signed without one) with the digest given.
Entity make(const std::string& cn, long serial, ossl::PKey key, const Entity* issuer,
            long from = -kYear, long to = 5 * kYear, const EVP_MD* md = nullptr);
// The subject text as identities give it: "CN=..., O=Selvanor Test, C=RU".
std::string subject_text(const std::string& cn);
// The SHA-1 fingerprint in lower-case hex pairs joined by sep.
std::string sha1_hex(X509* cert, const char* sep);

std::string pem_of(X509* cert);
std::string der_of(X509* cert);
// The body of the PEM form: Base64 lines without the frame lines and without the final newline.
std::string bare_base64_of(X509* cert);
std::string key_pem(EVP_PKEY* key, const char* password);  // encrypted when password is given
void write_file(const std::string& path, const std::string& content);
// PKCS#12 file of the entity (a fresh file per call), and the same made by the openssl command
// with its legacy algorithms (RC2 for the certificate, 3DES for the key).
std::string write_p12(const std::string& name, const Entity& e, const char* password);
std::string write_legacy_p12(const std::string& name, const Entity& e, const char* password);

// DER of any crypto-library value through its i2d function; empty when encoding fails.
template <class T>
Der der_with(const T* v, int (*i2d)(const T*, unsigned char**)) {
    unsigned char* out = nullptr;
    const int n = v ? i2d(v, &out) : -1;
    ossl::Bytes owned(out);
    return n > 0 ? Der(out, out + n) : Der();
}
Der to_der(PKCS7* p7);
ossl::Pkcs7 from_der(const Der& der);
Der hex(const std::string& h);
Der signed_der(const std::string& content);     // by rsa_leaf, attached
Der enveloped_der(const std::string& content);  // for rsa_leaf, AES
// ContentInfo of type digestedData holding "a" and its SHA-1 value.
Der digested_der();
// A time-stamp token issued at `when` by a TSA below inter (kit/tsa.h makes tokens of any shape).
ossl::Pkcs7 timestamp_token(long when);

}  // namespace test_pki
