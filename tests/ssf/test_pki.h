// A small PKI made at run time for the certificate and key tests: a root, an intermediate and
// leaves below it, with their keys written as PKCS#12 files and PEM pairs.
#pragma once

#include <string>

#include "ssf/ossl.h"

namespace test_pki {

inline constexpr const char* kPassword = "secret";

struct Entity {
    ossl::X509Ptr cert;
    ossl::EvpPkey key;
};

struct Pki {
    std::string dir;  // every file below lives here
    Entity root, inter;
    Entity leaf;            // EC, issued by inter, valid now
    Entity rsa_leaf;        // RSA, issued by inter, valid now
    Entity expired;         // ended a year ago
    Entity not_yet;         // begins in a year
    Entity pkup_ended;      // valid, but its private-key usage period ended yesterday
    Entity stranger;        // self-signed, in no trust path
    std::string ca_bundle;  // root and inter, PEM
};

// Built once per test program, after the library has started (engines first, then certificates).
const Pki& get();

std::string pem_of(X509* cert);
std::string der_of(X509* cert);
// The body of the PEM form: Base64 lines without the frame lines and without the final newline.
std::string bare_base64_of(X509* cert);
std::string key_pem(EVP_PKEY* key, const char* password);  // encrypted when password is given

// PKCS#12 file of the entity with the given password (a fresh file per call).
std::string write_p12(const std::string& name, const Entity& e, const char* password);
// The same made by the openssl command with its legacy algorithms (RC2 for the certificate,
// 3DES for the key).
std::string write_legacy_p12(const std::string& name, const Entity& e, const char* password);
void write_file(const std::string& path, const std::string& content);

// The subject text as identities give it: "CN=..., O=Selvanor Test, C=RU".
std::string subject_text(const std::string& cn);

}  // namespace test_pki
