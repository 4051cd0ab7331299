// GOST R 34.11-2012 compression with AVX-512 VBMI and GFNI. S is two 128-byte permutes, P
// and L together are eight affine byte transforms: with word j of S(x) broadcast to every lane,
// lane k applies the 8x8 bit matrix that maps byte j of a word to byte k of its L image. The
// sum comes out transposed and one byte permute puts it back.
#include <array>
#include <cstdint>

#include "gost/gostr3411_2012_tables.h"

#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12's AVX-512 headers start some intrinsics from an undefined register value.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

namespace gost::streebog {
namespace {

// Row byte 7-i of a matrix selects the input bits whose images set output bit i.
constexpr std::array<std::array<uint64_t, 8>, 8> make_matrices() {
    std::array<std::array<uint64_t, 8>, 8> m{};
    for (int j = 0; j < 8; ++j)
        for (int k = 0; k < 8; ++k) {
            uint64_t q = 0;
            for (int i = 0; i < 8; ++i) {
                uint64_t row = 0;
                for (int t = 0; t < 8; ++t)
                    if (kA[63 - 8 * j - t] >> (8 * k + i) & 1) row |= uint64_t(1) << t;
                q |= row << (8 * (7 - i));
            }
            m[j][k] = q;
        }
    return m;
}

constexpr std::array<uint8_t, 64> make_transpose() {
    std::array<uint8_t, 64> t{};
    for (int w = 0; w < 8; ++w)
        for (int k = 0; k < 8; ++k) t[8 * w + k] = uint8_t(8 * k + w);
    return t;
}

alignas(64) constexpr auto kMatrices = make_matrices();
alignas(64) constexpr auto kTranspose = make_transpose();
alignas(64) constexpr auto kPiTable = kPi;

#define GOST_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi,gfni")))

struct Consts {
    __m512i pi[4], m[8], transpose;
};

GOST_AVX512 inline __m512i lps(__m512i x, const Consts& c) {
    const __m512i lo = _mm512_permutex2var_epi8(c.pi[0], x, c.pi[1]);
    const __m512i hi = _mm512_permutex2var_epi8(c.pi[2], x, c.pi[3]);
    const __m512i s = _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), lo, hi);
    __m512i acc[2];
    for (int j = 0; j < 8; ++j) {
        const __m512i b = _mm512_permutexvar_epi64(_mm512_set1_epi64(j), s);
        const __m512i v = _mm512_gf2p8affine_epi64_epi8(b, c.m[j], 0);
        acc[j & 1] = j < 2 ? v : _mm512_xor_si512(acc[j & 1], v);
    }
    return _mm512_permutexvar_epi8(c.transpose, _mm512_xor_si512(acc[0], acc[1]));
}

GOST_AVX512 void compress_avx512(uint64_t* h, const uint64_t* N, const uint64_t* m) {
    Consts c;
    for (int i = 0; i < 4; ++i) c.pi[i] = _mm512_load_si512(kPiTable.data() + 64 * i);
    for (int j = 0; j < 8; ++j) c.m[j] = _mm512_load_si512(kMatrices[j].data());
    c.transpose = _mm512_load_si512(kTranspose.data());
    const __m512i H = _mm512_loadu_si512(h), M = _mm512_loadu_si512(m);
    __m512i K = lps(_mm512_xor_si512(H, _mm512_loadu_si512(N)), c);
    __m512i T = lps(_mm512_xor_si512(M, K), c);
    for (int r = 0; r < 11; ++r) {
        K = lps(_mm512_xor_si512(K, _mm512_loadu_si512(kC[r].data())), c);
        T = lps(_mm512_xor_si512(T, K), c);
    }
    K = lps(_mm512_xor_si512(K, _mm512_loadu_si512(kC[11].data())), c);
    _mm512_storeu_si512(h, _mm512_xor_si512(_mm512_xor_si512(H, M), _mm512_xor_si512(T, K)));
}

bool cpu_has_vector_form() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("gfni");
}

}  // namespace

CompressFn avx512_compress() {
    return cpu_has_vector_form() ? compress_avx512 : nullptr;
}

}  // namespace gost::streebog

#else

namespace gost::streebog {
CompressFn avx512_compress() {
    return nullptr;
}
}  // namespace gost::streebog

#endif
