// The fiber switch. On x86-64 it is our own: it saves the callee-saved integer registers and nothing else.
// Boost.Context's switch also saves and restores the x87 and SSE control words, and those instructions
// were three quarters of its cost; every fiber of the simulation runs under the floating-point
// environment the scheduler sets for its host thread (see run_blocks), so there is nothing to keep apart.
// Elsewhere (arm64, whose switch has no such cost) Boost.Context's switch serves.
#include "fiber.h"

#if defined(__x86_64__) && !defined(KIVO_SIM_BOOST_FIBERS)

#include <cstdint>

extern "C" {
void* kivo_sim_switch_fiber(void** save, void* to, void* arg);
void kivo_sim_fiber_start();
}

// kivo_sim_switch_fiber: push the six callee-saved registers, store the stack pointer in *save, load `to`,
// pop its registers and return into it with `arg` in rax. kivo_sim_fiber_start: where a new context's
// first switch returns to; it calls the function in r12 (fiber_main) with the handed-over value.
asm(R"(
    .text
    .p2align 4
    .globl kivo_sim_switch_fiber
    .hidden kivo_sim_switch_fiber
    .type kivo_sim_switch_fiber, @function
kivo_sim_switch_fiber:
    pushq %rbp
    pushq %rbx
    pushq %r15
    pushq %r14
    pushq %r13
    pushq %r12
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r12
    popq %r13
    popq %r14
    popq %r15
    popq %rbx
    popq %rbp
    popq %rcx
    movq %rdx, %rax
    jmpq *%rcx
    .size kivo_sim_switch_fiber, .-kivo_sim_switch_fiber

    .p2align 4
    .globl kivo_sim_fiber_start
    .hidden kivo_sim_fiber_start
    .type kivo_sim_fiber_start, @function
kivo_sim_fiber_start:
    movq %rax, %rdi
    callq *%r12
    ud2
    .size kivo_sim_fiber_start, .-kivo_sim_fiber_start
)");

namespace kivo::sim {

FiberContext make_fiber(char* bottom, std::size_t size) {
    // The frame the first switch pops: r12 = fiber_main, r13, r14, r15, rbx, rbp = 0, then the return
    // address kivo_sim_fiber_start. The frame starts 8 bytes below a 16-byte boundary, so that the stack
    // is aligned at the call in kivo_sim_fiber_start, as a call requires.
    auto top = reinterpret_cast<std::uintptr_t>(bottom + size) & ~std::uintptr_t(15);
    auto* frame = reinterpret_cast<void**>(top - 72);
    for (int i = 0; i < 6; ++i) frame[i] = nullptr;
    frame[0] = reinterpret_cast<void*>(&fiber_main);
    frame[6] = reinterpret_cast<void*>(&kivo_sim_fiber_start);
    return frame;
}

void* switch_fiber(FiberContext* save, FiberContext to, void* arg) { return kivo_sim_switch_fiber(save, to, arg); }

}  // namespace kivo::sim

#else

#include <boost/context/detail/fcontext.hpp>

namespace kivo::sim {

namespace {

namespace fctx = boost::context::detail;

// What a switch hands over: where the resumed side stores the suspended context, and the value.
struct Handoff {
    FiberContext* save;
    void* arg;
};

void* arrive(fctx::transfer_t t) {
    const Handoff* h = static_cast<const Handoff*>(t.data);
    *h->save = t.fctx;
    return h->arg;
}

void start(fctx::transfer_t t) { fiber_main(arrive(t)); }

}  // namespace

FiberContext make_fiber(char* bottom, std::size_t size) { return fctx::make_fcontext(bottom + size, size, &start); }

void* switch_fiber(FiberContext* save, FiberContext to, void* arg) {
    Handoff h{save, arg};
    return arrive(fctx::jump_fcontext(to, &h));
}

}  // namespace kivo::sim

#endif
