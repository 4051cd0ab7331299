// "token=" profiles name a key on a PKCS#11 token. Until the token key source is built they are
// refused as unusable profiles. The token key source replaces this file.
#include "ssf/codes.h"
#include "ssf/keys.h"
#include "ssf/log.h"

namespace ssf {

int ssf_load_cert_and_key_token(const char* module, const char* pin, const char* identity,
                                SigRcpSsfInfo* info, int is_signer, ossl::X509Ptr& cert_out,
                                ossl::PKey& key_out) {
    cert_out.reset();
    key_out.reset();
    log_error("%s() : PKCS#11 token profiles are not supported in this build: 'token=%s'",
              "ssf_load_cert_and_key_token", module ? module : "");
    if (info) info->uResult = SSF_RESULT_PROFILE_UNUSABLE;
    return is_signer ? SSF_RC_SIGNER_FAILED : SSF_RC_RECIPIENT_FAILED;
}

}  // namespace ssf
