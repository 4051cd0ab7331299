// Digested data.
#include "ssf/workers.h"

namespace ssf {

int digest_data(OutData&, Bytes, int, bool) {
    return worker_not_available("digest_data");
}

}  // namespace ssf
