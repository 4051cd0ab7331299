// CAdES enhancement of signatures.
#include "ssf/workers.h"

namespace ssf {

int ssf_enhance_signatures(SAP_BYTE*, SAP_UINT, SAP_BYTE*, SAP_UINT, SAP_BYTE*, SAP_UINT,
                           SigRcpSsfInfoList*, SAP_BYTE** ostrEnhancedSignData,
                           SAP_UINT* ostrEnhancedSignDataL) {
    clear_output(ostrEnhancedSignData, ostrEnhancedSignDataL);
    return worker_not_available("ssf_enhance_signatures");
}

}  // namespace ssf
