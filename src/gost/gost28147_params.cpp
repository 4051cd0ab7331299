#include "gost/gost28147_params.h"

#include <cstring>

#include "gost/gost28147_core.h"

namespace {

using gost::g28147::expand;
using gost::g28147::parse_sbox;

// S-boxes K1..K8 as RFC 4357, RFC 5831 and RFC 7836 print them.
constexpr TZ kTest = expand(
    parse_sbox({"42f59108e3bcd7a6", "c9fe813a274d60b5", "d8ec739a15246f0b", "e9b25f710dc6a438",
                "3e59680dab7c21f4", "8f6b19c5d37a0e24", "9bc0367548ef1a2d", "c652b09d3e7af418"}));
constexpr TZ kCryptoProA = expand(
    parse_sbox({"96328b17a4efc0d5", "37e98af0526cb4d1", "e462b3d8cf5a0719", "e7acd13902b4f856",
                "b5198df0e423c7a6", "3adc120b75948fe6", "1d297a608c45f3be", "baf50ce8623917d4"}));
constexpr TZ kCryptoProB = expand(
    parse_sbox({"84b135092eacd67f", "012a4d5c973fb86e", "ec0a92db758f3614", "750db6123acf4e98",
                "27cf95ab140d68e3", "83264debc17fa095", "52ab91c374d06f8e", "04be8371a296fd5c"}));
constexpr TZ kCryptoProC = expand(
    parse_sbox({"1bc29d0f458ea763", "017db4528efc9a63", "825049fa37cd6e1b", "36015da8b297efc4",
                "8db0451293ce6fa7", "c9b18e247365a0fd", "a968de20f35b41c7", "7405a2fec61bd938"}));
constexpr TZ kCryptoProD = expand(
    parse_sbox({"fc2a645079ed1b83", "b634cfe27d805a91", "1cb0fe65ad489372", "15eca70d62b493f8",
                "0c89d2ab73654ef1", "80f325eb1a47c9d6", "306f1e92d8c4ba57", "1a68fb04c3597d2e"}));
constexpr TZ kTc26Z = expand(
    parse_sbox({"c462a5b9e8d703f1", "68239a5c1e47bd0f", "b3582fade174c960", "c821d4f670a53e9b",
                "7f5a816d093eb42c", "5df692cab78143e0", "8e25691cf4b0da37", "17ed05834fa69cb2"}));
constexpr TZ kHashTest = expand(
    parse_sbox({"4a92d80e6b1c7f53", "eb4c6dfa23810759", "581da342efc7609b", "7da1089fe46cb253",
                "6c715fd84a9e03b2", "4ba0721d36859cfe", "db413f590ae7682c", "1fd057a4923e6b8c"}));
constexpr TZ kHashCryptoPro = expand(
    parse_sbox({"a4568137dce092bf", "5f402db91763cea8", "7fce94103b526a8d", "4a7c0f28e165db93",
                "764b9c2a180efd35", "7624d9f0a15b8ec3", "de41705a3c8f629b", "13a95b4f867ed02c"}));

// Byte 0 goes through K1 (low nibble) and K2 (high nibble): 4 and c for the test set, c and 6
// for TC26 Z, rotated into place.
static_assert(kTest.k[0][0] == std::rotl(0xc4u, 11) && kTc26Z.k[0][0] == std::rotl(0x6cu, 11));

constexpr uint8_t kDer28147[10][9] = {
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x00},
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x01},
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x02},
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x03},
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x04},
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x05},
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x06},
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x07},
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x08},
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1f, 0x09},
};
constexpr uint8_t kDerZ[11] = {0x06, 0x09, 0x2a, 0x85, 0x03, 0x07, 0x01, 0x02, 0x05, 0x01, 0x01};
constexpr uint8_t kDerHash[2][9] = {
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1e, 0x00},
    {0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x1e, 0x01},
};

template <class Row>
int find(const Row* rows, size_t n, const uint8_t* der, uint32_t len, const Row** out) {
    if (out == nullptr) return -1;
    *out = nullptr;
    if (der == nullptr) return -1;
    for (size_t i = 0; i < n; ++i)
        if (rows[i].der_len == len && std::memcmp(rows[i].der, der, len) == 0) {
            *out = &rows[i];
            return 0;
        }
    return -1;
}

}  // namespace

const GOST28147_89_PARAMS kGost28147Params[11] = {
    {9, kDer28147[0], "1.2.643.2.2.31.0", "id-Gost28147-89-TestParamSet", &kTest, 3, 0},
    {9, kDer28147[1], "1.2.643.2.2.31.1", "id-Gost28147-89-CryptoPro-A-ParamSet", &kCryptoProA, 2,
     1},
    {9, kDer28147[2], "1.2.643.2.2.31.2", "id-Gost28147-89-CryptoPro-B-ParamSet", &kCryptoProB, 2,
     1},
    {9, kDer28147[3], "1.2.643.2.2.31.3", "id-Gost28147-89-CryptoPro-C-ParamSet", &kCryptoProC, 2,
     1},
    {9, kDer28147[4], "1.2.643.2.2.31.4", "id-Gost28147-89-CryptoPro-D-ParamSet", &kCryptoProD, 2,
     1},
    {9, kDer28147[5], "1.2.643.2.2.31.5", "id-Gost28147-89-CryptoPro-Oscar-1-1-ParamSet", &kTest, 3,
     0},
    {9, kDer28147[6], "1.2.643.2.2.31.6", "id-Gost28147-89-CryptoPro-Oscar-1-0-ParamSet",
     &kCryptoProA, 2, 0},
    {9, kDer28147[7], "1.2.643.2.2.31.7", "id-Gost28147-89-CryptoPro-RIC-1-ParamSet", &kCryptoProB,
     2, 0},
    {9, kDer28147[8], "1.2.643.2.2.31.8", "id-Gost28147-89-CryptoPro-Simple-C-ParamSet",
     &kCryptoProC, 2, 0},
    {9, kDer28147[9], "1.2.643.2.2.31.9", "id-Gost28147-89-CryptoPro-Simple-D-ParamSet",
     &kCryptoProD, 2, 0},
    {11, kDerZ, "1.2.643.7.1.2.5.1.1", "id-tc26-gost-28147-param-Z", &kTc26Z, 2, 1},
};

const GOSTR3411_94_PARAMS kGostR341194Params[2] = {
    {9, kDerHash[0], "1.2.643.2.2.30.0", "id-GostR3411-94-TestParamSet", &kHashTest},
    {9, kDerHash[1], "1.2.643.2.2.30.1", "id-GostR3411-94-CryptoProParamSet", &kHashCryptoPro},
};

int GOST28147_89_FindParByDerOid(const uint8_t* der, uint32_t len,
                                 const GOST28147_89_PARAMS** row) {
    return find(kGost28147Params, 11, der, len, row);
}

int GOSTR3411_94_FindParByDerOid(const uint8_t* der, uint32_t len,
                                 const GOSTR3411_94_PARAMS** row) {
    return find(kGostR341194Params, 2, der, len, row);
}

const GOST28147_89_PARAMS* GOST28147_89_DefaultPar() {
    return &kGost28147Params[10];
}
const GOSTR3411_94_PARAMS* GOSTR3411_94_DefaultPar() {
    return &kGostR341194Params[1];
}
