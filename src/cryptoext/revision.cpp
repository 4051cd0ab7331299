#include "cryptoext/revision.h"

// Constant texts: no shared buffer is rewritten, so concurrent callers are safe.
const char* get_orbssl_svn_info() {
    return "Revision number: 1241 Repository URL: orbssl/branches/1.0.2h";
}

const char* get_iconv_svn_info() {
    return "Revision number: 30, Repository URL: libiconv_cmake/trunk";
}
