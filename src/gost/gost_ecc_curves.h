// Internal: how the 256- and 512-bit record and point types plug into the shared point code.
#pragma once

#include <string.h>

#include "gost/gost_ec256.h"
#include "gost/gost_ec512.h"
#include "gost/gost_ecc_api.h"

namespace gost_ecc {

// The table's own records get a cached context with a fixed-base table; any other record is
// built into local.
const Curve<4>& ec256_context(const gostr3410_256_params* prm, Curve<4>& local);
const Curve<8>& ec512_context(const gostr3410_512_params* prm, Curve<8>& local);

struct Traits256 {
    static constexpr size_t N = 4;
    using Params = gostr3410_256_params;
    using Point = ep_point;
    using Proj = ep_point_proj;
    static const Curve<N>& context(const Params* prm, Curve<N>& local) {
        return ec256_context(prm, local);
    }
    static bool has_der(const Params& p, const unsigned char* der, size_t len) {
        return (len == p.der_len && memcmp(der, p.der, len) == 0) ||
               (len == p.der_len2 && memcmp(der, p.der2, len) == 0);
    }
};

struct Traits512 {
    static constexpr size_t N = 8;
    using Params = gostr3410_512_params;
    using Point = dep_point;
    using Proj = dep_point_proj;
    static const Curve<N>& context(const Params* prm, Curve<N>& local) {
        return ec512_context(prm, local);
    }
    static bool has_der(const Params& p, const unsigned char* der, size_t len) {
        return len == p.der_len && memcmp(der, p.der, len) == 0;
    }
};

}  // namespace gost_ecc
