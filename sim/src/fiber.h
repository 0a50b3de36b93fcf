// Execution contexts for the fibers that run a block's threads: a stack of its own and the registers that a
// function call preserves.
#pragma once

#include <cstddef>

namespace kivo::sim {

// A suspended context: where switch_fiber resumes it.
using FiberContext = void*;

// The body of every fiber, defined by the scheduler: called with the value that the first switch to the
// fiber hands over. It never returns; a finished fiber switches away for good.
[[noreturn]] void fiber_main(void* arg);

// A context that runs fiber_main on the stack [bottom, bottom + size) when it is first switched to.
FiberContext make_fiber(char* bottom, std::size_t size);

// Suspends the calling context into *save and resumes `to`, handing it `arg`. Returns the value handed over
// by the switch that later resumes *save.
void* switch_fiber(FiberContext* save, FiberContext to, void* arg);

}  // namespace kivo::sim
