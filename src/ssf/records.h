// SAP strings as C strings, and what the workers do to signer and recipient lists.
#pragma once

#include <cstddef>

#include "ssf/ssf_api.h"

namespace ssf {

// A new NUL-terminated copy from the crypto library's allocator (free with OPENSSL_free), or
// null. A length with its top bit set counts as empty.
char* get_sz_string_from_sap_string(const SAP_BYTE* str, SAP_UINT len);

// A new zeroed record, which delete_record() alone releases; null when memory runs out. Every
// record the library hands out is made here.
SigRcpSsfInfo* allocate_record();
// Puts copy, of size bytes from the crypto library's allocator, in the record's password field;
// the record owns it, and its release wipes those bytes whatever strSigRcpPasswordL says by then.
void own_password(SigRcpSsfInfo* rec, SAP_BYTE* copy, size_t size);

// Sets uResult in every record of the list; nodes without a record are passed over.
void set_list_results(SigRcpSsfInfoList list, SAP_UINT result);

// The record and list exports' work, with their lines and codes; the workers build their result
// lists with them too.
SAPRETURN new_record(SAP_BYTE* id, SAP_UINT idL, SAP_BYTE* reserved, SAP_UINT reservedL,
                     SAP_BYTE* profile, SAP_UINT profileL, SAP_BYTE* password, SAP_UINT passwordL,
                     SAP_UINT uResult, SigRcpSsfInfo** out);
SAPRETURN insert_record(SigRcpSsfInfo* rec, SigRcpSsfInfoList* list);
// Clears *rec, so that a second release is a clean 53 rather than a double free.
SAPRETURN delete_record(SigRcpSsfInfo** rec);
// Releases every node and record and clears *list; a node without a record gives -1.
SAPRETURN delete_list(SigRcpSsfInfoList* list);
SAPRETURN delete_octet_string(SAP_BYTE** ostr, SAP_UINT* ostrL);

}  // namespace ssf
