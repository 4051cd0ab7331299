// GOST key-transport, key-parameter and cipher-parameter structures as crypto-library ASN.1
// types (RFC 4490 / RFC 4357 layouts).
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

struct TVK_KEY_INFO {
    ASN1_OCTET_STRING* encrypted_key;  // the wrapped 32-byte key
    ASN1_OCTET_STRING* imit;           // its 4-byte MAC
};

struct TVK_KEY_AGREEMENT_INFO {
    ASN1_OBJECT* cipher;        // GOST 28147-89 parameter set
    X509_PUBKEY* ephem_key;     // the sender's ephemeral key, [0] IMPLICIT, optional
    ASN1_OCTET_STRING* eph_iv;  // UKM
};

struct TVK_KEY_TRANSPORT {
    TVK_KEY_INFO* key_info;
    TVK_KEY_AGREEMENT_INFO* key_agreement_info;  // [0] IMPLICIT
};

struct TVK_GOST2012_KEY_PARAMS {
    ASN1_OBJECT* key_params;     // curve parameter set
    ASN1_OBJECT* hash_params;    // digest; published 512-bit and TC26 keys omit it
    ASN1_OBJECT* cipher_params;  // optional, never written
};

struct TVK_CIPHER_PARAMS {
    ASN1_OCTET_STRING* iv;
    ASN1_OBJECT* enc_param_set;
};

DECLARE_ASN1_FUNCTIONS(TVK_KEY_TRANSPORT)
DECLARE_ASN1_ITEM(TVK_KEY_INFO)
DECLARE_ASN1_ITEM(TVK_KEY_AGREEMENT_INFO)
DECLARE_ASN1_FUNCTIONS(TVK_GOST2012_KEY_PARAMS)
DECLARE_ASN1_FUNCTIONS(TVK_CIPHER_PARAMS)
