// Attribute identifiers the CAdES code needs that the crypto library may not know.
#pragma once

#include <openssl/x509.h>

namespace ssf {

inline constexpr const char* kSigningCertificateV2Oid = "1.2.840.113549.1.9.16.2.47";
inline constexpr const char* kArchiveTimestampV2Oid = "1.2.840.113549.1.9.16.2.48";

// Crypto-library numbers of the two attributes, set by SSF_register_additional_OIDS.
extern int g_nNID_id_smime_aa_ets_SigCertV2;
extern int g_nNID_id_smime_aa_ets_ArchTsV2;

// 0 when both identifiers are known afterwards, -1 when creating one of them failed.
int SSF_register_additional_OIDS();

// The first attribute of the list whose type is the object numbered nid; null when there is
// none, for a null list and for an unknown number.
X509_ATTRIBUTE* find_attribute_by_nid(const STACK_OF(X509_ATTRIBUTE) * attrs, int nid);

}  // namespace ssf
