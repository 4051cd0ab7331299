#include "ssf/cades/cades_oids.h"

#include <openssl/objects.h>

#include "ssf/log.h"

namespace ssf {

int g_nNID_id_smime_aa_ets_SigCertV2 = NID_undef;
int g_nNID_id_smime_aa_ets_ArchTsV2 = NID_undef;

namespace {

// Returns the identifier's number, creating the object when the crypto library lacks it.
// The long name repeats the short one: objects with an empty long name print badly and
// cannot be found by long name.
int known_or_created(const char* oid, const char* short_name, const char* what) {
    static const char* fn = "SSF_register_additional_OIDS";
    int nid = OBJ_txt2nid(oid);
    if (nid != NID_undef) return nid;
    log_write("%s() registering OID %s ...", fn, oid);
    nid = OBJ_create(oid, short_name, short_name);
    if (nid == NID_undef) {
        log_write("%s() : OBJ_create( %s ) failed", fn, what);
        log_crypto_errors();
        return NID_undef;
    }
    log_write("%s() : OK", fn);
    return nid;
}

}  // namespace

int SSF_register_additional_OIDS() {
    static const char* fn = "SSF_register_additional_OIDS";
    g_nNID_id_smime_aa_ets_SigCertV2 =
        known_or_created(kSigningCertificateV2Oid, "id-smime-aa-ets-SigningCertificateV2",
                         "SigningCertificateV2OID");
    if (g_nNID_id_smime_aa_ets_SigCertV2 == NID_undef) return -1;
    log_write("%s() : g_nNID_id_smime_aa_ets_SigCertV2 = %d", fn, g_nNID_id_smime_aa_ets_SigCertV2);
    g_nNID_id_smime_aa_ets_ArchTsV2 = known_or_created(
        kArchiveTimestampV2Oid, "id-smime-aa-ets-archiveTimestampV2", "ArchiveTimestampV2OID");
    if (g_nNID_id_smime_aa_ets_ArchTsV2 == NID_undef) return -1;
    log_write("%s() : g_nNID_id_smime_aa_ets_ArchTsV2 = %d", fn, g_nNID_id_smime_aa_ets_ArchTsV2);
    return 0;
}

X509_ATTRIBUTE* find_attribute_by_nid(const STACK_OF(X509_ATTRIBUTE) * attrs, int nid) {
    const ASN1_OBJECT* want = nid == NID_undef ? nullptr : OBJ_nid2obj(nid);
    if (!attrs || !want) return nullptr;
    for (int i = 0; i < sk_X509_ATTRIBUTE_num(attrs); ++i) {
        X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(attrs, i);
        if (OBJ_cmp(X509_ATTRIBUTE_get0_object(a), want) == 0) return a;
    }
    return nullptr;
}

}  // namespace ssf
