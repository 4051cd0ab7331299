// Helpers shared by the hash and cipher tests: random inputs, numbered vector fields, and the one
// streaming driver every hash goes through.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/vectors.h"

namespace gost_test {

using testing_support::Bytes;

inline Bytes random_bytes(std::mt19937& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

// Hex of any object's bytes (round keys, context words).
inline std::string hex_of(const void* p, size_t n) {
    return testing_support::to_hex(static_cast<const uint8_t*>(p), n);
}

// "K" and 3 -> "K3"; built by append (GCC 12 misreports chained string + at -O3).
inline std::string field(const char* prefix, int i) {
    std::string s(prefix);
    s += std::to_string(i);
    return s;
}

inline std::string describe(const testing_support::VectorBlock& b) {
    std::string d = b.text("name");
    d.append(" (").append(b.text("source")).append("; ").append(b.text("confirmed")).append(")");
    return d;
}

inline const testing_support::VectorFile& block_cipher_vectors() {
    static const testing_support::VectorFile f("kuznyechik-magma.txt");
    return f;
}

// The hash contract: for every length up to max_len and every cut, a context fed in two pieces
// and a copy taken at the cut that continues on its own both give the one-shot digest. H has
// init(ctx), update(ctx, p, n), final(ctx) -> Bytes and oneshot(msg) -> Bytes.
template <class Ctx, class H>
void check_streaming(const H& h, size_t max_len, uint32_t seed) {
    std::mt19937 rng(seed);
    for (size_t len = 0; len <= max_len; ++len) {
        const Bytes msg = random_bytes(rng, len), want = h.oneshot(msg);
        for (size_t cut = 0; cut <= len; ++cut) {
            Ctx ctx;
            h.init(ctx);
            h.update(ctx, msg.data(), cut);
            Ctx copy = ctx;
            h.update(ctx, msg.data() + cut, len - cut);
            h.update(copy, msg.data() + cut, len - cut);
            ASSERT_EQ(h.final(ctx), want) << "len " << len << " cut " << cut;
            ASSERT_EQ(h.final(copy), want) << "copy, len " << len << " cut " << cut;
        }
    }
}

}  // namespace gost_test
