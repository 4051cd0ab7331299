// Kuznyechik and Magma ECB and CTR beside libgcrypt's GOST 28147-89 with the param-Z S-box (Magma's
// cipher in another byte order), in one process. Every benchmark reports bytes per second and the
// ratio to libgcrypt's GOST 28147-89 ECB measured once in this process ("x_gcrypt_ecb").
#include <benchmark/benchmark.h>
#include <gcrypt.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "gost/gostr3413.h"

namespace {

constexpr size_t kBuf = 16 * 1024;
const uint8_t kKey[32] = {0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00, 0x11, 0x22,
                          0x33, 0x44, 0x55, 0x66, 0x77, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54,
                          0x32, 0x10, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const uint8_t kIv[16] = {0x12, 0x34, 0x56, 0x78, 0x90, 0xab, 0xce, 0xf0};

void check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "bench: %s failed\n", what);
        std::abort();
    }
}

struct Gcrypt {
    gcry_cipher_hd_t h{};
    explicit Gcrypt(int mode) {
        check(gcry_check_version(nullptr) != nullptr, "gcry_check_version");
        check(gcry_cipher_open(&h, GCRY_CIPHER_GOST28147, mode, 0) == 0, "gcry_cipher_open");
        check(gcry_cipher_setkey(h, kKey, 32) == 0, "gcry_cipher_setkey");
        check(
            gcry_cipher_ctl(h, GCRYCTL_SET_SBOX, const_cast<char*>("1.2.643.7.1.2.5.1.1"), 0) == 0,
            "param-Z S-box");
        if (mode == GCRY_CIPHER_MODE_CTR)
            check(gcry_cipher_setctr(h, kIv, 8) == 0, "gcry_cipher_setctr");
    }
    ~Gcrypt() { gcry_cipher_close(h); }
    void run(std::vector<uint8_t>& buf) {
        check(gcry_cipher_encrypt(h, buf.data(), buf.size(), nullptr, 0) == 0,
              "gcry_cipher_encrypt");
    }
};

// libgcrypt's ECB rate in bytes per second, measured once over about 0.3 s.
double gcrypt_ecb_rate() {
    static const double rate = [] {
        Gcrypt g(GCRY_CIPHER_MODE_ECB);
        std::vector<uint8_t> buf(kBuf);
        using clock = std::chrono::steady_clock;
        const auto start = clock::now();
        size_t bytes = 0;
        while (clock::now() - start < std::chrono::milliseconds(300)) {
            g.run(buf);
            bytes += buf.size();
        }
        return bytes / std::chrono::duration<double>(clock::now() - start).count();
    }();
    return rate;
}

template <class F>
void measure(benchmark::State& state, F&& step) {
    const double reference = gcrypt_ecb_rate();
    std::vector<uint8_t> buf(kBuf, 0x5a);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        step(buf);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double bytes = double(state.iterations()) * kBuf;
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["x_gcrypt_ecb"] = bytes / secs / reference;
}

void BM_Kuznyechik_ECB(benchmark::State& state) {
    tvk_kuznechik_ecb_ctx ctx;
    check(tvk_kuznechik_ecb_init(&ctx, GOSTR3413_ENCRYPT, kKey) == 0, "init");
    measure(state, [&](std::vector<uint8_t>& b) {
        check(tvk_kuznechik_ecb_update(&ctx, b.data(), b.data(), b.size()) == 0, "update");
    });
}

void BM_Kuznyechik_CTR(benchmark::State& state) {
    tvk_kuznechik_ctr_ctx ctx;
    check(tvk_kuznechik_ctr_init(&ctx, GOSTR3413_ENCRYPT, kKey, 16, kIv) == 0, "init");
    measure(state, [&](std::vector<uint8_t>& b) {
        check(tvk_kuznechik_ctr_update(&ctx, b.data(), b.data(), b.size()) == 0, "update");
    });
}

void BM_Magma_ECB(benchmark::State& state) {
    tvk_magma_ecb_ctx ctx;
    check(tvk_magma_ecb_init(&ctx, GOSTR3413_ENCRYPT, kKey) == 0, "init");
    measure(state, [&](std::vector<uint8_t>& b) {
        check(tvk_magma_ecb_update(&ctx, b.data(), b.data(), b.size()) == 0, "update");
    });
}

void BM_Magma_CTR(benchmark::State& state) {
    tvk_magma_ctr_ctx ctx;
    check(tvk_magma_ctr_init(&ctx, GOSTR3413_ENCRYPT, kKey, 8, kIv) == 0, "init");
    measure(state, [&](std::vector<uint8_t>& b) {
        check(tvk_magma_ctr_update(&ctx, b.data(), b.data(), b.size()) == 0, "update");
    });
}

void BM_Gcrypt_GOST28147_ParamZ_ECB(benchmark::State& state) {
    Gcrypt g(GCRY_CIPHER_MODE_ECB);
    measure(state, [&](std::vector<uint8_t>& b) { g.run(b); });
}

void BM_Gcrypt_GOST28147_ParamZ_CTR(benchmark::State& state) {
    Gcrypt g(GCRY_CIPHER_MODE_CTR);
    measure(state, [&](std::vector<uint8_t>& b) { g.run(b); });
}

}  // namespace

BENCHMARK(BM_Kuznyechik_ECB);
BENCHMARK(BM_Kuznyechik_CTR);
BENCHMARK(BM_Magma_ECB);
BENCHMARK(BM_Magma_CTR);
BENCHMARK(BM_Gcrypt_GOST28147_ParamZ_ECB);
BENCHMARK(BM_Gcrypt_GOST28147_ParamZ_CTR);
