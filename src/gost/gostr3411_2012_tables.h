// Constants of the GOST R 34.11-2012 compression: the substitution pi, the linear map A and the
// twelve round constants as printed in the standard, and the combined LPS lookup tables derived
// from pi and A at compile time. Internal to the library and its tests.
#pragma once

#include <array>
#include <cstdint>

#include "gost/gost_pi.h"

namespace gost::streebog {

using gost::kPi;

// Row i multiplies bit 63-i of a 64-bit word (the most significant bit goes with row 0).
inline constexpr std::array<uint64_t, 64> kA = {
    0x8e20faa72ba0b470, 0x47107ddd9b505a38, 0xad08b0e0c3282d1c, 0xd8045870ef14980e,
    0x6c022c38f90a4c07, 0x3601161cf205268d, 0x1b8e0b0e798c13c8, 0x83478b07b2468764,
    0xa011d380818e8f40, 0x5086e740ce47c920, 0x2843fd2067adea10, 0x14aff010bdd87508,
    0x0ad97808d06cb404, 0x05e23c0468365a02, 0x8c711e02341b2d01, 0x46b60f011a83988e,
    0x90dab52a387ae76f, 0x486dd4151c3dfdb9, 0x24b86a840e90f0d2, 0x125c354207487869,
    0x092e94218d243cba, 0x8a174a9ec8121e5d, 0x4585254f64090fa0, 0xaccc9ca9328a8950,
    0x9d4df05d5f661451, 0xc0a878a0a1330aa6, 0x60543c50de970553, 0x302a1e286fc58ca7,
    0x18150f14b9ec46dd, 0x0c84890ad27623e0, 0x0642ca05693b9f70, 0x0321658cba93c138,
    0x86275df09ce8aaa8, 0x439da0784e745554, 0xafc0503c273aa42a, 0xd960281e9d1d5215,
    0xe230140fc0802984, 0x71180a8960409a42, 0xb60c05ca30204d21, 0x5b068c651810a89e,
    0x456c34887a3805b9, 0xac361a443d1c8cd2, 0x561b0d22900e4669, 0x2b838811480723ba,
    0x9bcf4486248d9f5d, 0xc3e9224312c8c1a0, 0xeffa11af0964ee50, 0xf97d86d98a327728,
    0xe4fa2054a80b329c, 0x727d102a548b194e, 0x39b008152acb8227, 0x9258048415eb419d,
    0x492c024284fbaec0, 0xaa16012142f35760, 0x550b8e9e21f7a530, 0xa48b474f9ef5dc18,
    0x70a6a56e2440598e, 0x3853dc371220a247, 0x1ca76e95091051ad, 0x0edd37c48a08a6d8,
    0x07e095624504536c, 0x8d70c431ac02a736, 0xc83862965601dd1b, 0x641c314b2b8ee083};

// Round constants C1..C12, most significant hex digit first as the standard prints them.
inline constexpr const char* kRoundConstantText[12] = {
    "b1085bda1ecadae9ebcb2f81c0657c1f2f6a76432e45d016714eb88d7585c4fc"
    "4b7ce09192676901a2422a08a460d31505767436cc744d23dd806559f2a64507",
    "6fa3b58aa99d2f1a4fe39d460f70b5d7f3feea720a232b9861d55e0f16b50131"
    "9ab5176b12d699585cb561c2db0aa7ca55dda21bd7cbcd56e679047021b19bb7",
    "f574dcac2bce2fc70a39fc286a3d843506f15e5f529c1f8bf2ea7514b1297b7b"
    "d3e20fe490359eb1c1c93a376062db09c2b6f443867adb31991e96f50aba0ab2",
    "ef1fdfb3e81566d2f948e1a05d71e4dd488e857e335c3c7d9d721cad685e353f"
    "a9d72c82ed03d675d8b71333935203be3453eaa193e837f1220cbebc84e3d12e",
    "4bea6bacad4747999a3f410c6ca923637f151c1f1686104a359e35d7800fffbd"
    "bfcd1747253af5a3dfff00b723271a167a56a27ea9ea63f5601758fd7c6cfe57",
    "ae4faeae1d3ad3d96fa4c33b7a3039c02d66c4f95142a46c187f9ab49af08ec6"
    "cffaa6b71c9ab7b40af21f66c2bec6b6bf71c57236904f35fa68407a46647d6e",
    "f4c70e16eeaac5ec51ac86febf240954399ec6c7e6bf87c9d3473e33197a93c9"
    "0992abc52d822c3706476983284a05043517454ca23c4af38886564d3a14d493",
    "9b1f5b424d93c9a703e7aa020c6e41414eb7f8719c36de1e89b4443b4ddbc49a"
    "f4892bcb929b069069d18d2bd1a5c42f36acc2355951a8d9a47f0dd4bf02e71e",
    "378f5a541631229b944c9ad8ec165fde3a7d3a1b258942243cd955b7e00d0984"
    "800a440bdbb2ceb17b2b8a9aa6079c540e38dc92cb1f2a607261445183235adb",
    "abbedea680056f52382ae548b2e4f3f38941e71cff8a78db1fffe18a1b336103"
    "9fe76702af69334b7a1e6c303b7652f43698fad1153bb6c374b4c7fb98459ced",
    "7bcd9ed0efc889fb3002c6cd635afe94d8fa6bbbebab07612001802114846679"
    "8a1d71efea48b9caefbacd1d7d476e98dea2594ac06fd85d6bcaa4cd81f32d1b",
    "378ee767f11631bad21380b00449b17acda43c32bcdf1d77f82012d430219f9b"
    "5d80ef9d1891cc86e71da4aa88e12852faf417d5d9b21b9948bc924af11bd720",
};

using Block = std::array<uint64_t, 8>;  // word i = bytes 8i..8i+7, least significant word first

constexpr unsigned hex_digit(char c) {
    return c <= '9' ? unsigned(c - '0') : unsigned(c - 'a' + 10);
}

// The printed text is the 512-bit number most significant digit first; word 7 comes first.
constexpr Block parse_constant(const char* text) {
    Block b{};
    for (int w = 0; w < 8; ++w) {
        uint64_t v = 0;
        for (int d = 0; d < 16; ++d) v = v << 4 | hex_digit(text[16 * w + d]);
        b[7 - w] = v;
    }
    return b;
}

constexpr bool well_formed(const char* text) {
    int n = 0;
    for (; text[n] != 0; ++n)
        if (!((text[n] >= '0' && text[n] <= '9') || (text[n] >= 'a' && text[n] <= 'f')))
            return false;
    return n == 128;
}

constexpr std::array<Block, 12> make_round_constants() {
    std::array<Block, 12> c{};
    for (int i = 0; i < 12; ++i) {
        if (!well_formed(kRoundConstantText[i])) throw "malformed round constant";
        c[i] = parse_constant(kRoundConstantText[i]);
    }
    return c;
}

// 64-byte aligned: the x86-64 form reads the constants as aligned 16-byte pairs.
alignas(64) inline constexpr std::array<Block, 12> kC = make_round_constants();

constexpr uint64_t linear_map(uint64_t v) {
    uint64_t r = 0;
    for (int i = 0; i < 64; ++i)
        if (v >> (63 - i) & 1) r ^= kA[i];
    return r;
}

// Table j maps byte value b found at byte j of some input word to the contribution of
// L(pi(b) placed at byte j): after the byte transposition P, byte i of input word j lands in
// byte j of output word i, so output word i = XOR over j of T[j][byte i of input word j].
using LpsTable = std::array<std::array<uint64_t, 256>, 8>;

constexpr LpsTable make_lps_table() {
    if (!gost::is_permutation(kPi)) throw "pi is not a permutation";
    LpsTable t{};
    for (int j = 0; j < 8; ++j)
        for (int b = 0; b < 256; ++b) t[j][b] = linear_map(uint64_t(kPi[b]) << (8 * j));
    return t;
}

alignas(64) inline constexpr LpsTable kLps = make_lps_table();

static_assert(kC[0][0] == 0xdd806559f2a64507 && kC[11][7] == 0x378ee767f11631ba);
static_assert(kLps[0][0] == linear_map(252) && kLps[7][255] == linear_map(uint64_t(182) << 56));

// Forms of the compression, fastest last. The fastest the processor offers is chosen at the
// first use; the tests force each form the processor has.
enum class Form {
    portable,  // C++ alone
    x86_64,    // any x86-64 processor (gostr3411_2012_x86_64.S)
    avx512,    // AVX-512 VBMI and GFNI (gostr3411_2012_avx512.cpp)
};
inline constexpr Form kForms[] = {Form::portable, Form::x86_64, Form::avx512};

bool form_available(Form f);
// Chooses f when the processor has it; returns whether f is now in use.
bool use_form(Form f);
Form form_in_use();

using CompressFn = void (*)(uint64_t* h, const uint64_t* N, const uint64_t* m);
// The AVX-512 form, or null where it is not built or the processor lacks it.
CompressFn avx512_compress();

}  // namespace gost::streebog
