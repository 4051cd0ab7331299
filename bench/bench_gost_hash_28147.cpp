// GOST R 34.11-2012, GOST R 34.11-94 and GOST 28147-89: our code beside libgcrypt and nettle,
// on the same buffers in one process. After the run a table gives each case's throughput and
// the ratio of ours to the fastest peer.
#include <benchmark/benchmark.h>
#include <gcrypt.h>
#include <nettle/gosthash94.h>
#include <nettle/streebog.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "gost/gost28147_89.h"
#include "gost/gost28147_params.h"
#include "gost/gostr3411_2012.h"
#include "gost/gostr3411_2012_tables.h"
#include "gost/gostr3411_94.h"
#include "take_turns.h"

namespace {

const std::vector<uint8_t>& input() {
    static const std::vector<uint8_t> buf = [] {
        std::vector<uint8_t> b(1 << 20);
        uint32_t x = 0x12345678;
        for (auto& v : b) v = uint8_t((x = x * 1664525 + 1013904223) >> 24);
        return b;
    }();
    return buf;
}

std::vector<uint8_t>& output() {
    static std::vector<uint8_t> buf(1 << 20);
    return buf;
}

const uint8_t kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const uint8_t kIv[8] = {1, 2, 3, 4, 5, 6, 7, 8};

// case -> implementation -> bytes per second of the last (longest) run
std::map<std::string, std::map<std::string, double>>& results() {
    static std::map<std::string, std::map<std::string, double>> r;
    return r;
}

// short case -> message length, for the time per hash
std::map<std::string, size_t>& short_cases() {
    static std::map<std::string, size_t> r;
    return r;
}

struct Summary {
    // Touch the tables first so that they outlive this object.
    Summary() { results(), short_cases(); }
    ~Summary() {
        if (results().empty()) return;
        std::printf("\n%-28s %10s %10s %10s %8s\n", "case (MB/s)", "ours", "libgcrypt", "nettle",
                    "ratio");
        for (const auto& [name, impls] : results()) {
            auto cell = [&](const char* k) {
                auto it = impls.find(k);
                char buf[32] = "-";
                if (it != impls.end()) std::snprintf(buf, sizeof buf, "%.1f", it->second / 1e6);
                return std::string(buf);
            };
            double ours = 0, best = 0;
            for (const auto& [impl, rate] : impls) {
                if (impl == "ours") {
                    ours = rate;
                } else if (rate > best) {
                    best = rate;
                }
            }
            // ratio: our throughput over the fastest peer's
            std::printf("%-28s %10s %10s %10s %8.2f\n", name.c_str(), cell("ours").c_str(),
                        cell("libgcrypt").c_str(), cell("nettle").c_str(),
                        best > 0 ? ours / best : 0.0);
        }
        if (short_cases().empty()) return;
        std::printf("\n%-28s %10s %10s %10s\n", "short message (us/hash)", "ours", "libgcrypt",
                    "nettle");
        for (const auto& [name, len] : short_cases()) {
            const auto& impls = results()[name];
            auto us = [&](const char* k) {
                auto it = impls.find(k);
                return it == impls.end() || it->second <= 0 ? 0.0 : double(len) / it->second * 1e6;
            };
            std::printf("%-28s %10.3f %10.3f %10.3f\n", name.c_str(), us("ours"), us("libgcrypt"),
                        us("nettle"));
        }
    }
} summary;

template <class F>
void run(benchmark::State& state, const std::string& name, const char* impl, size_t len, F f) {
    const auto start = std::chrono::steady_clock::now();
    int64_t n = 0;
    for (auto _ : state) {
        f(input().data(), len, output().data());
        benchmark::ClobberMemory();
        ++n;
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetBytesProcessed(n * int64_t(len));
    if (secs > 0) results()[name][impl] = double(n) * double(len) / secs;
}

std::string size_name(size_t len) {
    if (len >= (1 << 20)) return "1MiB";
    return len >= 1024 ? std::to_string(len / 1024) + "KiB" : std::to_string(len) + "B";
}

using HashFn = void (*)(int bits, const uint8_t* in, size_t n, uint8_t* out);

void streebog_ours(int bits, const uint8_t* in, size_t n, uint8_t* out) {
    GOSTR3411_2012_Transform(uint32_t(bits / 8), in, uint32_t(n), out);
}

void streebog_gcrypt(int bits, const uint8_t* in, size_t n, uint8_t* out) {
    gcry_md_hash_buffer(bits == 256 ? GCRY_MD_STRIBOG256 : GCRY_MD_STRIBOG512, out, in, n);
}

void streebog_nettle(int bits, const uint8_t* in, size_t n, uint8_t* out) {
    streebog512_ctx c;
    if (bits == 256) {
        streebog256_init(&c);
        streebog256_update(&c, n, in);
        streebog256_digest(&c, 32, out);
    } else {
        streebog512_init(&c);
        streebog512_update(&c, n, in);
        streebog512_digest(&c, 64, out);
    }
}

using gost::streebog::Form;

// form: the compression the run uses; a form other than the one the processor would choose
// is named in the case, so machines with AVX-512 also show what every other x86-64 gets.
void streebog(benchmark::State& state, int bits, Form form) {
    const size_t len = size_t(state.range(0));
    const Form chosen = gost::streebog::form_in_use();
    std::string name = "streebog" + std::to_string(bits) + " " + size_name(len);
    if (form != chosen) name += form == Form::x86_64 ? " x86-64" : " portable";
    if (!gost::streebog::use_form(form)) {
        state.SkipWithError("the processor lacks this form");
        return;
    }
    const std::pair<const char*, HashFn> impls[] = {
        {"ours", streebog_ours}, {"libgcrypt", streebog_gcrypt}, {"nettle", streebog_nettle}};
    const int reps = len < 4096 ? 64 : 1;  // keeps the clock reads out of the short cases
    double secs[3] = {};
    const int64_t n = take_turns(state, 3, secs, [&](size_t i) {
        for (int r = 0; r < reps; ++r) {
            impls[i].second(bits, input().data(), len, output().data());
            benchmark::ClobberMemory();
        }
        return true;
    });
    gost::streebog::use_form(chosen);
    if (len < 4096) short_cases()[name] = len;
    state.SetBytesProcessed(n * reps * 3 * int64_t(len));
    for (int i = 0; i < 3; ++i)
        if (secs[i] > 0) results()[name][impls[i].first] = double(n * reps) * double(len) / secs[i];
}

void gost94_ours(const uint8_t* in, size_t n, uint8_t* out) {
    const GOSTR3411_94_PARAMS* cp = GOSTR3411_94_DefaultPar();
    GOSTR3411_94_Transform(cp->der, cp->der_len, in, uint32_t(n), out);
}

void gost94_gcrypt(const uint8_t* in, size_t n, uint8_t* out) {
    gcry_md_hash_buffer(GCRY_MD_GOSTR3411_CP, out, in, n);
}

void gost94_nettle(const uint8_t* in, size_t n, uint8_t* out) {
    gosthash94cp_ctx c;
    gosthash94cp_init(&c);
    gosthash94cp_update(&c, n, in);
    gosthash94cp_digest(&c, 32, out);
}

// In turns, as Streebog: a short message is where the per-call work (context set-up and
// wiping) shows beside the compression, and each HMAC step of PBKDF2 hashes one or two blocks.
void gost94(benchmark::State& state) {
    const size_t len = size_t(state.range(0));
    const std::string name = "gostr3411-94-cp " + size_name(len);
    using Fn = void (*)(const uint8_t*, size_t, uint8_t*);
    const std::pair<const char*, Fn> impls[] = {
        {"ours", gost94_ours}, {"libgcrypt", gost94_gcrypt}, {"nettle", gost94_nettle}};
    const int reps = len < 4096 ? 64 : 1;
    double secs[3] = {};
    const int64_t n = take_turns(state, 3, secs, [&](size_t i) {
        for (int r = 0; r < reps; ++r) {
            impls[i].second(input().data(), len, output().data());
            benchmark::ClobberMemory();
        }
        return true;
    });
    if (len < 4096) short_cases()[name] = len;
    state.SetBytesProcessed(n * reps * 3 * int64_t(len));
    for (int i = 0; i < 3; ++i)
        if (secs[i] > 0) results()[name][impls[i].first] = double(n * reps) * double(len) / secs[i];
}

enum Cipher { kEcb, kCnt, kCfb, kCfbMesh };

const char* cipher_name(Cipher c) {
    switch (c) {
        case kEcb:
            return "gost28147 ecb";
        case kCnt:
            return "gost28147 cnt";
        case kCfb:
            return "gost28147 cfb";
        default:
            return "gost28147 cfb+meshing";
    }
}

void gost28147(benchmark::State& state, Cipher c, int impl) {
    const size_t len = size_t(state.range(0));
    const std::string name = std::string(cipher_name(c)) + " " + size_name(len);
    const GOST28147_89_PARAMS* a = &kGost28147Params[1];  // CryptoPro-A
    if (impl == 0) {
        static const uint32_t modes[] = {GOST28147_89_MODE_ECB, GOST28147_89_MODE_CNT,
                                         GOST28147_89_MODE_CFB, GOST28147_89_MODE_CFB};
        run(state, name, "ours", len, [&](const uint8_t* in, size_t n, uint8_t* out) {
            GOST28147_89_CTX ctx;
            GOST28147_89_Init(&ctx, 1, a->tz, modes[c], c == kCfbMesh ? 1 : 0,
                              c == kEcb ? nullptr : kIv, kKey);
            GOST_BLOB i{uint32_t(n), const_cast<uint8_t*>(in)}, o{uint32_t(n), out};
            GOST28147_89_Update(&ctx, &i, &o);
            GOST28147_89_Final(&ctx);
        });
        return;
    }
    // libgcrypt has no GOST counter mode; its generic CTR mode over the same block cipher does
    // the same work per block.
    const int algo = c == kCfbMesh ? GCRY_CIPHER_GOST28147_MESH : GCRY_CIPHER_GOST28147;
    const int mode = c == kEcb   ? GCRY_CIPHER_MODE_ECB
                     : c == kCnt ? GCRY_CIPHER_MODE_CTR
                                 : GCRY_CIPHER_MODE_CFB;
    gcry_cipher_hd_t h;
    gcry_cipher_open(&h, algo, mode, 0);
    gcry_cipher_set_sbox(h, a->oid);
    gcry_cipher_setkey(h, kKey, 32);
    run(state, name, "libgcrypt", len, [&](const uint8_t* in, size_t n, uint8_t* out) {
        if (c == kCnt) {
            gcry_cipher_setctr(h, kIv, 8);
        } else if (c != kEcb) {
            gcry_cipher_setiv(h, kIv, 8);
        }
        gcry_cipher_encrypt(h, out, n, in, n);
    });
    gcry_cipher_close(h);
}

const int64_t kSizes[] = {8 << 10, 1 << 20};
// A short message costs a few compressions (for Streebog its block, the padding block, N and
// Sigma) and the per-call work around them.
const int64_t kHashSizes[] = {32, 64, 8 << 10, 1 << 20};

int register_all() {
    gcry_check_version(nullptr);
    const char* impls[] = {"ours", "libgcrypt", "nettle"};
    const Form chosen = gost::streebog::form_in_use();
    for (int bits : {256, 512})
        for (int64_t size : kHashSizes) {
            benchmark::RegisterBenchmark(
                ("streebog" + std::to_string(bits) + "/interleaved").c_str(),
                [=](benchmark::State& s) { streebog(s, bits, chosen); })
                ->Arg(size);
            if (chosen == Form::avx512 && size <= 64)
                benchmark::RegisterBenchmark(
                    ("streebog" + std::to_string(bits) + "/interleaved_x86_64").c_str(),
                    [=](benchmark::State& s) { streebog(s, bits, Form::x86_64); })
                    ->Arg(size);
        }
    for (int64_t size : kHashSizes)
        benchmark::RegisterBenchmark("gostr3411_94_cp/interleaved", gost94)->Arg(size);
    for (Cipher c : {kEcb, kCnt, kCfb, kCfbMesh})
        for (int impl = 0; impl < 2; ++impl)
            for (int64_t size : kSizes)
                benchmark::RegisterBenchmark(
                    (std::string(cipher_name(c)) + "/" + impls[impl]).c_str(),
                    [=](benchmark::State& s) { gost28147(s, c, impl); })
                    ->Arg(size);
    return 0;
}

const int registered = register_all();

}  // namespace
