// Certificates of any shape for the tests: keys of every kind the system signs with (RSA, EC,
// GOST R 34.10-2012 through our engine), chosen validity, and any extension spelled as the
// crypto library's configuration spells it, so revocation, OCSP and time-stamp tests can make
// the certificates they need (TSA, OCSP responder, ...; kit/crl.h adds distribution points).
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "kit/pki.h"

namespace test_pki {

enum class KeyType { rsa, ec, gost256, gost512 };
inline constexpr KeyType kAllKeyTypes[] = {KeyType::rsa, KeyType::ec, KeyType::gost256,
                                           KeyType::gost512};
const char* key_type_name(KeyType t);

// A fresh key (RSA 2048, P-256, GOST R 34.10-2012 256 or 512 bits with parameter set A).
ossl::PKey new_key(KeyType t);
// A new GOST key: "gost2001", "gost2012_256" or "gost2012_512", parameter set A.
ossl::PKey gost_key(const char* type);
// The digest that signs with key: the GOST digest of its kind, SHA-256 for any other key.
const EVP_MD* digest_for(EVP_PKEY* key);

// One extension: name (short or long name or dotted identifier) and value as in an openssl
// configuration file, "critical," prefix included. Examples: {"extendedKeyUsage",
// "critical,timeStamping"}, {"authorityInfoAccess", "OCSP;URI:http://127.0.0.1:8080/"},
// {"1.2.3.4", "DER:0500"} for any other identifier.
struct Ext {
    std::string name, value;
};
using Exts = std::vector<Ext>;

struct CertSpec {
    std::string cn;
    long serial = 1;
    time_t not_before = 0;       // 0: a year ago
    time_t not_after = 0;        // 0: in five years
    Exts exts;                   // beside subjectKeyIdentifier (unless no_key_id)
    const EVP_MD* md = nullptr;  // nullptr: digest_for(the signing key)
    bool no_key_id = false;      // leaves subjectKeyIdentifier out, as older CAs did
};

// "CN=<cn>, O=Selvanor Test, C=RU" holding key, signed by issuer (self-signed without one).
// Throws std::runtime_error when the crypto library refuses any part of it.
Entity issue(const CertSpec& spec, ossl::PKey key, const Entity* issuer);

// Extension sets for the roles.
Exts ca_exts();                        // critical CA:TRUE, keyCertSign and cRLSign
Exts tsa_exts();                       // critical EKU timeStamping
Exts ocsp_responder_exts();            // EKU OCSPSigning, id-pkix-ocsp-nocheck
Ext aia_ocsp(const std::string& url);  // authorityInfoAccess with one OCSP URL

// Service certificates below the kit's intermediate, made on first use (after get()): a TSA and
// an OCSP responder per key type (index: KeyType), valid now; and an EC TSA and responder whose
// certificates expired a year ago but were valid at `expired_valid_at`.
struct Services {
    Entity tsa[4], responder[4];
    Entity expired_tsa, expired_responder;
    time_t expired_valid_at;
};
const Services& services();
// The trust anchors of the kit (root and intermediate) in a new store.
ossl::X509StorePtr new_store();

// Now by the real clock: certificates and tokens carry absolute times.
inline time_t now() {
    return std::time(nullptr);
}

}  // namespace test_pki
