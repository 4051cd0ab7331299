// Enveloping for recipients and developing with a recipient's key.
#include "ssf/workers.h"

namespace ssf {

int envelope_data(OutData&, Bytes, Bytes, Bytes, SigRcpSsfInfoList) {
    return worker_not_available("envelope_data");
}

int develope_data(OutData&, Bytes, SigRcpSsfInfo*) {
    return worker_not_available("develope_data");
}

}  // namespace ssf
