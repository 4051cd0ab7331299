// Implementations measured side by side: within each benchmark iteration they run in turn and
// each is credited with its own time. On a machine whose load varies they all meet the same
// conditions, so the ratios hold while the absolute figures move.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

// call(i) runs implementation i once and returns false when it failed; secs[i] accumulates its
// time. Returns the number of iterations.
template <class F>
int64_t take_turns(benchmark::State& state, size_t count, double* secs, F&& call) {
    int64_t n = 0;
    for (auto _ : state) {
        for (size_t k = 0; k < count; ++k) {
            const size_t i = (static_cast<size_t>(n) + k) % count;
            const auto t0 = std::chrono::steady_clock::now();
            const bool ok = call(i);
            secs[i] += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (!ok) state.SkipWithError("an implementation failed");
        }
        ++n;
    }
    return n;
}
