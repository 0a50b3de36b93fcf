// The fiber switch. On x86-64 and arm64 it is our own: it saves the registers that a call preserves and
// nothing else. Boost.Context's switch also saves and restores the floating-point control words, and on
// x86-64 those instructions were three quarters of its cost; every fiber of the simulation runs under the
// floating-point environment the scheduler sets for its host thread (see run_blocks), so there is nothing
// to keep apart. Elsewhere, or built with KIVO_SIM_BOOST_FIBERS, Boost.Context's switch serves.
#include "fiber.h"

#if !defined(KIVO_SIM_BOOST_FIBERS) && (defined(__x86_64__) || defined(__aarch64__))

#include <cstdint>

extern "C" {
void* kivo_sim_switch_fiber(void** save, void* to, void* arg);
void kivo_sim_fiber_start();
}

#if defined(__x86_64__)

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

}  // namespace kivo::sim

#else  // __aarch64__

// kivo_sim_switch_fiber: store x19-x28, fp, lr and d8-d15 in a 160-byte frame below the stack pointer, store
// the stack pointer in *save, load `to`, load its frame and return to its lr with `arg` in x0.
// kivo_sim_fiber_start: where a new context's first switch returns to; it calls the function in x19
// (fiber_main) with the handed-over value.
asm(R"(
    .text
    .p2align 4
    .globl kivo_sim_switch_fiber
    .hidden kivo_sim_switch_fiber
    .type kivo_sim_switch_fiber, %function
kivo_sim_switch_fiber:
    sub sp, sp, #160
    stp x19, x20, [sp, #0]
    stp x21, x22, [sp, #16]
    stp x23, x24, [sp, #32]
    stp x25, x26, [sp, #48]
    stp x27, x28, [sp, #64]
    stp x29, x30, [sp, #80]
    stp d8, d9, [sp, #96]
    stp d10, d11, [sp, #112]
    stp d12, d13, [sp, #128]
    stp d14, d15, [sp, #144]
    mov x9, sp
    str x9, [x0]
    mov sp, x1
    ldp x19, x20, [sp, #0]
    ldp x21, x22, [sp, #16]
    ldp x23, x24, [sp, #32]
    ldp x25, x26, [sp, #48]
    ldp x27, x28, [sp, #64]
    ldp x29, x30, [sp, #80]
    ldp d8, d9, [sp, #96]
    ldp d10, d11, [sp, #112]
    ldp d12, d13, [sp, #128]
    ldp d14, d15, [sp, #144]
    add sp, sp, #160
    mov x0, x2
    ret
    .size kivo_sim_switch_fiber, .-kivo_sim_switch_fiber

    .p2align 4
    .globl kivo_sim_fiber_start
    .hidden kivo_sim_fiber_start
    .type kivo_sim_fiber_start, %function
kivo_sim_fiber_start:
    blr x19
    brk #0
    .size kivo_sim_fiber_start, .-kivo_sim_fiber_start
)");

namespace kivo::sim {

FiberContext make_fiber(char* bottom, std::size_t size) {
    // The frame the first switch loads: x19 = fiber_main, fp = 0 (the end of the frame chain), lr =
    // kivo_sim_fiber_start, everything else 0. Loading it leaves the stack pointer at the 16-byte aligned top.
    auto top = reinterpret_cast<std::uintptr_t>(bottom + size) & ~std::uintptr_t(15);
    auto* frame = reinterpret_cast<void**>(top - 160);
    for (int i = 0; i < 20; ++i) frame[i] = nullptr;
    frame[0] = reinterpret_cast<void*>(&fiber_main);
    frame[11] = reinterpret_cast<void*>(&kivo_sim_fiber_start);
    return frame;
}

}  // namespace kivo::sim

#endif

namespace kivo::sim {

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
