// Signing and adding signatures.
#include "ssf/workers.h"

namespace ssf {

int ssf_sign_data(OutData&, Bytes, bool, bool, SigRcpSsfInfoList, int) { return worker_not_available("ssf_sign_data"); }

int add_sign_data(OutData&, Bytes, Bytes, bool, SigRcpSsfInfo*, int) { return worker_not_available("add_sign_data"); }

}  // namespace ssf
