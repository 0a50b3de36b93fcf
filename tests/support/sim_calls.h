// What the simulation-only tests ask of the simulated runtime.
#pragma once

#include "kivo_sim.h"

namespace kivo_test {

// Runtime calls of every kind since the last reset.
inline long runtime_calls() {
    long total = 0;
    for (int c = 0; c < static_cast<int>(kivo::sim::Call::Count); ++c) {
        total += kivo::sim::call_count(static_cast<kivo::sim::Call>(c));
    }
    return total;
}

inline int current_device() {
    int d = -1;
    cudaGetDevice(&d);
    return d;
}

}  // namespace kivo_test
