// SAP strings as C strings, and what the workers do to signer and recipient lists.
#pragma once

#include "ssf/ssf_api.h"

namespace ssf {

// A new NUL-terminated copy from the crypto library's allocator (free with OPENSSL_free), or
// null. A length with its top bit set counts as empty.
char* get_sz_string_from_sap_string(const SAP_BYTE* str, SAP_UINT len);

// Sets uResult in every record of the list; nodes without a record are passed over.
void set_list_results(SigRcpSsfInfoList list, SAP_UINT result);

}  // namespace ssf
