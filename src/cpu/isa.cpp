#include "cpu/isa.h"

#include <cstdlib>
#include <cstring>

namespace kivo::cpu {

// KIVO_CPU_ISA=baseline or v3 caps the level (to compare or test the copies); the same bits come from each.
Isa isa() {
    static const Isa chosen = [] {
        Isa best = Isa::baseline;
#if defined(__x86_64__)
        if (__builtin_cpu_supports("x86-64-v4")) {
            best = Isa::v4;
        } else if (__builtin_cpu_supports("x86-64-v3")) {
            best = Isa::v3;
        }
#endif
        if (const char* cap = std::getenv("KIVO_CPU_ISA")) {
            if (std::strcmp(cap, "baseline") == 0) best = Isa::baseline;
            if (std::strcmp(cap, "v3") == 0 && best == Isa::v4) best = Isa::v3;
        }
        return best;
    }();
    return chosen;
}

}  // namespace kivo::cpu
