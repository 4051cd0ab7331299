#include "cryptoext/crl_issuer.h"

#include <openssl/x509v3.h>

#include "cryptoext/ossl.h"

// The authority key identifier is held to the certificate as the crypto library's own check
// (X509_check_akid) holds it: key identifiers compared only when the certificate has one (an
// older CA certificate may have none, and its CRL's signature still has to verify under its key),
// and of the issuer names only the first directoryName.
int X509_check_crl_issuer(X509* cert, X509_CRL* crl) {
    if (!cert || !crl) return 0;
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_subject_name(cert)) != 0) return 0;
    ossl::AuthorityKeyId akid(static_cast<AUTHORITY_KEYID*>(
        X509_CRL_get_ext_d2i(crl, NID_authority_key_identifier, nullptr, nullptr)));
    if (!akid) return 1;
    for (int i = 0; akid->issuer && i < sk_GENERAL_NAME_num(akid->issuer); ++i) {
        const GENERAL_NAME* gn = sk_GENERAL_NAME_value(akid->issuer, i);
        if (gn->type != GEN_DIRNAME) continue;
        if (X509_NAME_cmp(gn->d.directoryName, X509_get_issuer_name(cert)) != 0) return 0;
        break;
    }
    const ASN1_OCTET_STRING* skid = X509_get0_subject_key_id(cert);
    if (akid->keyid && skid && ASN1_OCTET_STRING_cmp(skid, akid->keyid) != 0) return 0;
    if (akid->serial && ASN1_INTEGER_cmp(akid->serial, X509_get0_serialNumber(cert)) != 0) return 0;
    return 1;
}

namespace {

bool names_key(X509_CRL* crl) {
    ossl::AuthorityKeyId akid(static_cast<AUTHORITY_KEYID*>(
        X509_CRL_get_ext_d2i(crl, NID_authority_key_identifier, nullptr, nullptr)));
    return akid && akid->keyid;
}

}  // namespace

int X509_STORE_CTX_get_crl_issuer(X509_STORE_CTX* ctx, X509_CRL* crl, X509_OBJECT** out) {
    if (!ctx || !crl || !out) return -1;
    X509_STORE* store = X509_STORE_CTX_get0_store(ctx);
    if (!store) return -1;
    // Only what the store already holds is scanned; the look-up methods are not asked for more.
    // Other threads may add to a shared store meanwhile: the list is walked under its lock, and
    // the certificate found leaves with a reference of its own.
    // A certificate whose key identifier the CRL names is taken before a namesake that has none.
    const bool by_key = names_key(crl);
    if (!X509_STORE_lock(store)) return -1;
    ossl::X509Ptr issuer, without_id;
    STACK_OF(X509_OBJECT)* objs = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objs) && !issuer; ++i) {
        X509* cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objs, i));
        if (cert == nullptr || X509_check_crl_issuer(cert, crl) != 1) continue;
        if (X509_get0_subject_key_id(cert) || !by_key)
            issuer = ossl::up_ref(cert);
        else if (!without_id)
            without_id = ossl::up_ref(cert);
    }
    X509_STORE_unlock(store);
    if (!issuer) issuer = std::move(without_id);
    if (!issuer) return -1;
    ossl::X509Object obj(X509_OBJECT_new());
    if (!obj || !X509_OBJECT_set1_X509(obj.get(), issuer.get())) return -1;
    *out = obj.release();
    return 1;
}
