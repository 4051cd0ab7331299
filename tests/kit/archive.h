// A producer of archive time stamps, since the provider verifies them but never adds one: the
// archive data of a SignerInfo computed here on its own, a token over it from a kit TSA whose
// SignerInfo is completed with the CAdES values of the TSA's path (its CRLs, their references,
// the path's certificates and their references), appended as a further
// "id-smime-aa-ets-archiveTimestampV2" attribute.
#pragma once

#include <string>

#include "kit/certs.h"

namespace test_pki {

struct ArchiveSpec {
    const Entity* tsa = nullptr;  // below the kit's intermediate: TSA, inter, root
    time_t gen_time = 0;          // 0: now
    std::string content;          // the content of a detached signature
    bool wrong_data = false;      // the token covers other data than the archive data
    long gen_usec = 0;            // microseconds of genTime
};

// The archive data: the encapsulated ContentInfo, the detached content, the certificates as one
// SEQUENCE OF, the CRLs as one SEQUENCE OF, the SignerInfo.
Der archive_data(PKCS7* p7, PKCS7_SIGNER_INFO* si, const std::string& content);

// Appends one archive stamp to si (a SignerInfo of p7); throws when the kit cannot make it.
void add_archive_stamp(PKCS7* p7, PKCS7_SIGNER_INFO* si, const ArchiveSpec& spec);

}  // namespace test_pki
