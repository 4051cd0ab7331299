// Byte helpers shared by the Kuznyechik, Magma and block-mode code. Kept local to these files so
// they do not depend on anything outside the C++ standard library (and glibc's explicit_bzero).
#pragma once

#include <string.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace gostr3412_bytes {

inline uint32_t load_be32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

inline void store_be32(uint8_t* p, uint32_t v) {
    v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline void store64(uint8_t* p, uint64_t v) {
    std::memcpy(p, &v, 8);
}

// out = a ^ b over n bytes; out may equal a or b.
inline void xor_bytes(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) store64(out + i, load64(a + i) ^ load64(b + i));
    for (; i < n; ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
}

// Clears key material; explicit_bzero is not removed as a dead store.
inline void wipe(void* p, size_t n) {
    explicit_bzero(p, n);
}

}  // namespace gostr3412_bytes
