// Helpers shared by the GOST R 34.10 tests: number conversions, parameter lookup by dotted
// identifier, and scripted random sources.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "common/vectors.h"
#include "gost/gost_ec256.h"
#include "gost/gost_ec512.h"
#include "gost/gost_ecc_field.h"
#include "gost/gost_mp.h"
#include "gost/gostr3410.h"

namespace gost_test {

using testing_support::Bytes;

// Big-endian bytes into nd digits.
inline std::vector<DIGIT_T> num(const Bytes& be, size_t nd) {
    std::vector<DIGIT_T> d(nd);
    mpConvFromOctets(d.data(), nd, be.data(), be.size());
    return d;
}

inline std::vector<DIGIT_T> num(const std::string& hex, size_t nd) {
    return num(testing_support::from_hex(hex.size() % 2 ? "0" + hex : hex), nd);
}

inline Bytes be(const DIGIT_T* d, size_t nd, size_t len) {
    Bytes out(len);
    mpConvToOctets(d, nd, out.data(), len);
    return out;
}

inline Bytes der_of(const std::string& dotted) {
    std::vector<unsigned long long> arcs;
    size_t pos = 0;
    while (pos <= dotted.size()) {
        size_t dot = dotted.find('.', pos);
        if (dot == std::string::npos) dot = dotted.size();
        arcs.push_back(std::stoull(dotted.substr(pos, dot - pos)));
        pos = dot + 1;
    }
    Bytes body;
    auto put = [&](unsigned long long v) {
        Bytes t;
        do {
            t.insert(t.begin(), static_cast<uint8_t>((v & 0x7f) | (t.empty() ? 0 : 0x80)));
            v >>= 7;
        } while (v);
        body.insert(body.end(), t.begin(), t.end());
    };
    put(arcs[0] * 40 + arcs[1]);
    for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
    Bytes der = {0x06, static_cast<uint8_t>(body.size())};
    der.insert(der.end(), body.begin(), body.end());
    return der;
}

inline const gostr3410_256_params* find256(const std::string& dotted) {
    Bytes der = der_of(dotted);
    const gostr3410_256_params* p = nullptr;
    return GOSTR3410_2012_256_FindParByDerOid(der.data(), der.size(), &p) == 0 ? p : nullptr;
}

inline const gostr3410_512_params* find512(const std::string& dotted) {
    Bytes der = der_of(dotted);
    const gostr3410_512_params* p = nullptr;
    return GOSTR3410_2012_512_FindParByDerOid(der.data(), der.size(), &p) == 0 ? p : nullptr;
}

// A random source that hands out scripted byte strings, one per call, then fails.
struct ScriptedRandom {
    static std::deque<Bytes>& queue() {
        thread_local std::deque<Bytes> q;
        return q;
    }
    static int call(unsigned char* buf, size_t len) {
        auto& q = queue();
        if (q.empty()) return -1;
        Bytes b = q.front();
        q.pop_front();
        if (b.size() != len) return -1;
        memcpy(buf, b.data(), len);
        return 0;
    }
    // The bytes that make the signer draw k: 4 zero bytes, then k big-endian.
    static void push_scalar(const Bytes& k_be, size_t digits) {
        Bytes b(4 * digits - k_be.size(), 0);
        b.insert(b.end(), k_be.begin(), k_be.end());
        queue().push_back(b);
    }
    static void clear() { queue().clear(); }
};

inline int failing_random(unsigned char*, size_t) {
    return 1;
}

inline std::string hex_of(const DIGIT_T* d, size_t nd) {  // big-endian, no leading zeros
    std::string h = testing_support::to_hex(be(d, nd, 4 * nd));
    size_t i = h.find_first_not_of('0');
    return i == std::string::npos ? "0" : h.substr(i);
}

// Each size's types and functions under one set of names, so one test body covers both.
struct Size256 {
    using Params = gostr3410_256_params;
    using Point = ep_point;
    using Proj = ep_point_proj;
    static constexpr size_t ND = EC256_DIGITS, L = 32, kCount = GOSTR3410_2012_256_PARAMS_COUNT;
    static constexpr const Params* kTable = GOSTR3410_2012_256_PARAMS;
    static constexpr const char* kMultMessage = "epMult: bad arguments\n";
    static constexpr int kKeygenRandomFailure = -2;
    static constexpr const char* kGcrypt[] = {"GOST2001-test",           "GOST2001-CryptoPro-A",
                                              "GOST2001-CryptoPro-B",    "GOST2001-CryptoPro-C",
                                              "GOST2001-CryptoPro-XchA", "GOST2001-CryptoPro-XchB",
                                              "GOST2012-256-A"};
    static constexpr auto add = epAdd, mult = epMult, mult_proj = epMultProj;
    static constexpr auto mult_pp = epMultPP, dbl = epProjDouble, add_mixed = epProjAddMixed;
    static constexpr auto add_proj = epProjAdd, affine = epProjToAffine, is_zero = epIsZero;
    static constexpr auto keygen = GOSTR3410_2012_256_GenerateKeyPair;
    static constexpr auto sign = GOSTR3410_2012_256_Sign, verify = GOSTR3410_2012_256_Verify;
    static constexpr auto check = GOSTR3410_2012_256_CheckPublicKey;
    static constexpr auto vko = GOSTR3410_2012_256_VKO_256;
    static constexpr auto load_sig = GOSTR3410_2012_256_LoadSignatureValue;
    static constexpr auto unload_sig = GOSTR3410_2012_256_UnloadSignatureValue;
    static constexpr auto load_digest = GOSTR3410_2012_256_LoadDigestValue;
};

struct Size512 {
    using Params = gostr3410_512_params;
    using Point = dep_point;
    using Proj = dep_point_proj;
    static constexpr size_t ND = EC512_DIGITS, L = 64, kCount = GOSTR3410_2012_512_PARAMS_COUNT;
    static constexpr const Params* kTable = GOSTR3410_2012_512_PARAMS;
    static constexpr const char* kMultMessage = "depMult: bad arguments\n";
    static constexpr int kKeygenRandomFailure = -3;
    static constexpr const char* kGcrypt[] = {"GOST2012-512-test", "GOST2012-512-tc26-A",
                                              "GOST2012-512-tc26-B", "GOST2012-512-tc26-C"};
    static constexpr auto add = depAdd, mult = depMult, mult_proj = depMultProj;
    static constexpr auto mult_pp = depMultPP, dbl = depProjDouble, add_mixed = depProjAddMixed;
    static constexpr auto add_proj = depProjAdd, affine = depProjToAffine, is_zero = depIsZero;
    static constexpr auto keygen = GOSTR3410_2012_512_GenerateKeyPair;
    static constexpr auto sign = GOSTR3410_2012_512_Sign, verify = GOSTR3410_2012_512_Verify;
    static constexpr auto check = GOSTR3410_2012_512_CheckPublicKey;
    static constexpr auto vko = GOSTR3410_2012_512_VKO_256;
    static constexpr auto load_sig = GOSTR3410_2012_512_LoadSignatureValue;
    static constexpr auto unload_sig = GOSTR3410_2012_512_UnloadSignatureValue;
    static constexpr auto load_digest = GOSTR3410_2012_512_LoadDigestValue;
};

// Runs f once for each form of the 512-bit products the processor offers (portable, and
// mulx/adcx/adox), then goes back to the default.
template <class F>
void each_product_form(F&& f) {
    for (bool adx : {false, true}) {
        if (gost_ecc::use_adx(adx) != adx) continue;
        SCOPED_TRACE(adx ? "mulx/adcx/adox products" : "portable products");
        f();
    }
    gost_ecc::use_adx(true);
}

// A fresh draw from the system's generator (good enough for tests).
int system_random(unsigned char* buf, size_t len);

}  // namespace gost_test
