// The CPU library's thread count: the pool that runs its tiles is the one the kernels' blocks run on.
#include "kivo_cpu.h"
#include "kivo_sim.h"

extern "C" {

int kivo_cpu_set_threads(int count) { return kivo_sim_set_threads(count); }

int kivo_cpu_threads(void) { return kivo_sim_threads(); }

}  // extern "C"
