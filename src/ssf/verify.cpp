// Verification of signed data.
#include "ssf/workers.h"

namespace ssf {

int ssf_verify_data(OutData&, Bytes, Bytes, bool, Bytes, Bytes, SigRcpSsfInfoList*, int) {
    return worker_not_available("ssf_verify_data");
}

}  // namespace ssf
