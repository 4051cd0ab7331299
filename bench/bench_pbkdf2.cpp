// PBKDF2 as a PKCS#12 profile is opened: OpenSSL's PKCS5_PBKDF2_HMAC over the "gost" engine's
// digests beside nettle's PBKDF2 over its own HMACs, in turns within one process. Both must
// derive the same key, or the run fails. At exit a table gives the time per iteration and
// nettle's time over ours.
#include <benchmark/benchmark.h>
#include <nettle/hmac.h>
#include <nettle/pbkdf2.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "engines/gost/gost_digests.h"
#include "engines/loader.h"
#include "gost/gostr3411_2012_tables.h"
#include "take_turns.h"

namespace {

constexpr unsigned kIterations = 20000;
constexpr size_t kKeyLen = 32;  // a GOST 28147-89 key, as PBES2 derives it for a profile
const char kPassword[] = "profile password";
const uint8_t kSalt[8] = {0x5a, 0x17, 0xc3, 0x09, 0xe2, 0x44, 0x8b, 0x6d};

struct Figures {
    double ours = 0, nettle = 0;  // seconds per PBKDF2 iteration
    bool same_key = false;
};

std::map<std::string, Figures>& figures() {
    static std::map<std::string, Figures> f;
    return f;
}

struct Summary {
    Summary() { figures(); }
    ~Summary() {
        if (figures().empty()) return;
        std::printf("\n%-34s %12s %12s %10s %10s %6s\n", "PBKDF2, 20,000 iterations", "ours us/it",
                    "nettle us/it", "x nettle", "same key", "target");
        for (const auto& [name, f] : figures())
            std::printf("%-34s %12.3f %12.3f %10.2f %10s %6.1f\n", name.c_str(), f.ours * 1e6,
                        f.nettle * 1e6, f.ours > 0 ? f.nettle / f.ours : 0.0,
                        f.same_key ? "yes" : "NO", 1.2);
    }
} summary;

// The engines come up as the provider's start-up brings them: no system configuration first.
// The digest is found as the crypto library finds it for a profile, and must be the engine's.
const EVP_MD* engine_digest(const char* name, const EVP_MD* engines) {
    static const bool loaded = [] {
        OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
        tvk_ENGINE_load_builtin_engines();
        return true;
    }();
    (void)loaded;
    const EVP_MD* md = EVP_get_digestbyname(name);
    return md == engines ? md : nullptr;
}

bool ours(const EVP_MD* md, uint8_t* out) {
    return PKCS5_PBKDF2_HMAC(kPassword, int(std::strlen(kPassword)), kSalt, int(sizeof kSalt),
                             int(kIterations), md, int(kKeyLen), out) == 1;
}

void nettle_gost94(uint8_t* out) {
    pbkdf2_hmac_gosthash94cp(std::strlen(kPassword), reinterpret_cast<const uint8_t*>(kPassword),
                             kIterations, sizeof kSalt, kSalt, kKeyLen, out);
}

void nettle_streebog512(uint8_t* out) {
    hmac_streebog512_ctx ctx;
    hmac_streebog512_set_key(&ctx, std::strlen(kPassword),
                             reinterpret_cast<const uint8_t*>(kPassword));
    PBKDF2(&ctx, hmac_streebog512_update, hmac_streebog512_digest, STREEBOG512_DIGEST_SIZE,
           kIterations, sizeof kSalt, kSalt, kKeyLen, out);
}

void pbkdf2(benchmark::State& state, const std::string& name, const char* md_name,
            const EVP_MD* (*engines)(), void (*peer)(uint8_t*)) {
    const EVP_MD* md = engine_digest(md_name, engines());
    if (md == nullptr) {
        state.SkipWithError("the engine's digest is missing");
        return;
    }
    uint8_t a[kKeyLen] = {}, b[kKeyLen] = {};
    Figures& f = figures()[name];
    f.same_key = ours(md, a) && (peer(b), std::memcmp(a, b, kKeyLen) == 0);
    if (!f.same_key) {
        state.SkipWithError("the derived keys differ");
        return;
    }
    double secs[2] = {};
    const int64_t n = take_turns(state, 2, secs, [&](size_t i) {
        if (i == 0) return ours(md, a);
        peer(b);
        return true;
    });
    state.counters["us/iteration"] = secs[0] * 1e6 / double(n * kIterations);
    f.ours = secs[0] / double(n * kIterations);
    f.nettle = secs[1] / double(n * kIterations);
}

using gost::streebog::Form;

// Streebog runs in each form the processor has: the AVX-512 one is what such a machine
// chooses, the x86-64 one what every other x86-64 gets.
void streebog512(benchmark::State& state, Form form, const char* name) {
    const Form chosen = gost::streebog::form_in_use();
    if (!gost::streebog::use_form(form)) {
        state.SkipWithError("the processor lacks this form");
        return;
    }
    pbkdf2(state, std::string("HMAC-Streebog-512, ") + name, "md_gost12_512", tvk_digest_512,
           nettle_streebog512);
    gost::streebog::use_form(chosen);
}

const int registered = [] {
    benchmark::RegisterBenchmark("pbkdf2/hmac_gost94_cp/interleaved",
                                 [](benchmark::State& s) {
                                     pbkdf2(s, "HMAC-GOST R 34.11-94 CryptoPro", "md_gost94",
                                            tvk_digest_94, nettle_gost94);
                                 })
        ->MinTime(2.0)
        ->Unit(benchmark::kMillisecond);
    const std::pair<Form, const char*> forms[] = {{Form::x86_64, "x86-64 form"},
                                                  {Form::avx512, "AVX-512 form"}};
    for (const auto& [form, name] : forms) {
        if (!gost::streebog::form_available(form)) continue;
        benchmark::RegisterBenchmark(
            (std::string("pbkdf2/hmac_streebog512/") + (form == Form::avx512 ? "avx512" : "x86_64"))
                .c_str(),
            [form, name](benchmark::State& s) { streebog512(s, form, name); })
            ->MinTime(2.0)
            ->Unit(benchmark::kMillisecond);
    }
    return 0;
}();

}  // namespace
