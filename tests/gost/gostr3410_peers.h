// Independent GOST R 34.10 implementations driven through their public interfaces: nettle
// (gostdsa on its two GOST curves) and libgcrypt (every GOST curve it knows). Numbers cross the
// boundary as big-endian hex; digests as the byte strings the hash outputs.
#pragma once

#include <string>

#include "common/vectors.h"

namespace gost_peers {

using testing_support::Bytes;

struct Sig {
    std::string r, s;  // big-endian hex
};

// nettle curve names: "gc256b" (CryptoPro-A) and "gc512a" (tc26 512 paramSetA).
Sig nettle_sign(const std::string& curve, const std::string& d_hex, const Bytes& digest);
bool nettle_verify(const std::string& curve, const std::string& x_hex, const std::string& y_hex,
                   const Bytes& digest, const Sig& sig);
// x || y, little-endian, of the VKO point.
Bytes nettle_vko(const std::string& curve, const std::string& d_hex, const std::string& x_hex,
                 const std::string& y_hex, const Bytes& ukm);

// libgcrypt curve names such as "GOST2001-CryptoPro-A"; e is the number signed (big-endian hex).
void gcrypt_init();
Sig gcrypt_sign(const std::string& curve, const std::string& d_hex, const std::string& e_hex);
bool gcrypt_verify(const std::string& curve, const std::string& x_hex, const std::string& y_hex,
                   const std::string& e_hex, const Sig& sig);
// Curve parameters p, a, b, n, h, gx, gy as big-endian hex (no leading zeros).
struct CurveParams {
    std::string p, a, b, n, h, gx, gy;
};
CurveParams gcrypt_curve(const std::string& curve);
// k * (x, y), affine, big-endian hex; empty strings for infinity.
std::pair<std::string, std::string> gcrypt_mul(const std::string& curve, const std::string& k_hex,
                                               const std::string& x_hex, const std::string& y_hex);

// Normalises hex (lowercase, no leading zeros; "0" for zero).
std::string canon(const std::string& hex);

}  // namespace gost_peers
