// The fiber switch on its own (sim/src/fiber.cpp, without the scheduler): the main context and two fibers
// hand a value around a ring many times, each fiber keeping more integer and floating-point values live
// across every switch than the argument registers hold, so that they sit in the registers a call preserves.
// A switch that loses one of them, misaligns a stack or hands over the wrong value changes a total.
// Built for the host and, with a cross compiler, for arm64 under an emulator.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fiber.h"

namespace {

using kivo::sim::FiberContext;

constexpr int kRounds = 1000;
FiberContext g_main, g_fiber[2];
int g_started = 0;

struct Totals { std::uint64_t ints; double reals; };
Totals g_totals[2];

// Each hop of the ring hands over the value received plus one, so every participant receives 3 more each round.
// With `ring` false the same arithmetic runs without switches: the reference.
__attribute__((noinline)) Totals run(int self, std::uintptr_t v, bool ring) {
    std::uint64_t a = v, b = v * 3, c = v * 5, d = v * 7, e = v * 11, f = v * 13, g = v * 17, h = v * 19;
    double p = 0.5 * double(v), q = 1.5, r = 2.5, s = 3.5, t = 4.5, u = 5.5, w = 6.5, x = 7.5;
    FiberContext* next = self == 0 ? &g_fiber[1] : &g_main;
    for (int i = 0; i < kRounds; ++i) {
        if (ring) {
            alignas(16) volatile double aligned = p;  // the stack must be 16-byte aligned at every call
            if (reinterpret_cast<std::uintptr_t>(&aligned) % 16 != 0) std::abort();
            v = reinterpret_cast<std::uintptr_t>(
                kivo::sim::switch_fiber(&g_fiber[self], *next, reinterpret_cast<void*>(v + 1)));
        } else {
            v += 3;
        }
        a += v; b ^= a; c += b; d ^= c; e += d; f ^= e; g += f; h ^= g;
        p += double(v & 7); q *= 1.0001; r += p; s -= q; t += r * 0.5; u += s; w -= t; x += u;
    }
    if (ring) {
        g_totals[self] = {a + b + c + d + e + f + g + h, p + q + r + s + t + u + w + x};
        kivo::sim::switch_fiber(&g_fiber[self], *next, reinterpret_cast<void*>(v + 1));
        std::abort();  // never resumed
    }
    return {a + b + c + d + e + f + g + h, p + q + r + s + t + u + w + x};
}

}  // namespace

namespace kivo::sim {
void fiber_main(void* arg) {
    run(g_started++, reinterpret_cast<std::uintptr_t>(arg), true);
    std::abort();
}
}  // namespace kivo::sim

int main() {
    std::vector<char> stacks[2] = {std::vector<char>(1 << 16), std::vector<char>(1 << 16)};
    // An unaligned bottom end: make_fiber aligns the frame itself.
    g_fiber[0] = kivo::sim::make_fiber(stacks[0].data() + 1, stacks[0].size() - 9);
    g_fiber[1] = kivo::sim::make_fiber(stacks[1].data(), stacks[1].size());

    const std::uintptr_t start = 1001;
    auto v = reinterpret_cast<std::uintptr_t>(kivo::sim::switch_fiber(&g_main, g_fiber[0], reinterpret_cast<void*>(start)));
    for (int i = 0; i < kRounds; ++i)
        v = reinterpret_cast<std::uintptr_t>(kivo::sim::switch_fiber(&g_main, g_fiber[0], reinterpret_cast<void*>(v + 1)));

    Totals want[2] = {run(0, start, false), run(1, start + 1, false)};
    bool ok = v == start + 2 + 3 * kRounds;
    for (int self = 0; self < 2; ++self)
        ok = ok && g_totals[self].ints == want[self].ints && g_totals[self].reals == want[self].reals;
    std::printf("fiber switch: %s\n", ok ? "ok" : "FAILED (a register, the stack or a handed-over value was lost)");
    return ok ? 0 : 1;
}
