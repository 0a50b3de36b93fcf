// Run-time choice of machine code for the CPU drivers: a driver's body, written once as an always-inlined
// static `run`, is compiled for each x86-64 level (v4: AVX-512; v3: AVX2 and FMA; the baseline) and the
// copy for the processor at hand is called. Elsewhere (arm64, whose baseline has NEON and the fused
// multiply-add) and in sanitized builds there is one copy.
#pragma once

namespace kivo::cpu {

enum class Isa { baseline, v3, v4 };

// The best level this processor supports, decided once.
Isa isa();

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
template <class Body, class... Args>
__attribute__((target("arch=x86-64-v4"))) void run_v4(Args... args) {
    Body::run(args...);
}
template <class Body, class... Args>
__attribute__((target("arch=x86-64-v3"))) void run_v3(Args... args) {
    Body::run(args...);
}
#endif

template <class Body, class... Args>
void run_best(Args... args) {
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
    switch (isa()) {
        case Isa::v4: return run_v4<Body>(args...);
        case Isa::v3: return run_v3<Body>(args...);
        default: break;
    }
#endif
    Body::run(args...);
}

}  // namespace kivo::cpu
