// The crypto library calls our engine callbacks through C function pointers: no exception may
// leave them. Each callback runs its body inside this guard, which turns any exception into the
// callback's failure result and a line on the standard error stream.
#pragma once

#include <cstdio>
#include <exception>
#include <new>

namespace engines {

template <class R, class F>
R guarded(const char* function, R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", function);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", function, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected failure\n", function);
    }
    return failure;
}

}  // namespace engines
