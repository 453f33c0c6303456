// A broken promise of the code under test ends the run, so that the fuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzzcheck {

inline void require(bool holds, const char* promise) {
    if (!holds) {
        std::fprintf(stderr, "fuzz check failed: %s\n", promise);
        std::abort();
    }
}

}  // namespace fuzzcheck
