// A small test PKI made in memory: a CA, signer certificates with RSA or EC keys, and the files
// the provider reads them from.
#pragma once

#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace signing_pki {

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using P7 = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;

using Bytes = std::vector<unsigned char>;

enum class KeyKind { rsa, ec };
Key make_key(KeyKind kind);

struct Identity {
    Key key;
    Cert cert;
};

// Validity is [not_before, not_after] in seconds from now.
Identity make_ca(const std::string& cn);
Identity issue(const Identity& ca, const std::string& cn, KeyKind kind, long serial,
               long not_before = -3600, long not_after = 86400 * 30);

std::string to_pem(X509* cert);
std::string key_to_pem(EVP_PKEY* key);
Bytes to_der(X509* cert);
Bytes to_der(PKCS7* p7);
P7 p7_from_der(const Bytes& der);
Bytes str_bytes(const std::string& s);

// The certificate's SHA-1 fingerprint as 20 lower-case hex pairs separated by blanks.
std::string sha1_spaced(X509* cert);
// The provider's subject text form: reverse order, ", " separated, short names.
std::string subject_text(X509* cert);

}  // namespace signing_pki
