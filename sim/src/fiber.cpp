// Fiber contexts on Boost.Context's switch.
#include "fiber.h"

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
