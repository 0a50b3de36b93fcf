// Kernel launches: configuration checks, the launch log, and a block scheduler that runs the threads of
// one block as fibers on the calling host thread. A fiber runs until it reaches a barrier or a warp
// shuffle (or finishes); once no fiber can run, the scheduler completes every shuffle that all 32 lanes of
// a warp have reached, or else the barrier that every thread of the block has reached. Anything else can
// never complete on a GPU either, and is reported as a fault naming the call site instead of hanging.
#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/detail/fcontext.hpp>
#include <chrono>
#include <climits>
#include <map>
#include <sstream>

#include "machine.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

KIVO_SIM_API uint3 threadIdx;
KIVO_SIM_API uint3 blockIdx;
KIVO_SIM_API dim3 blockDim;
KIVO_SIM_API dim3 gridDim;

namespace kivo::sim {

namespace {

namespace fctx = boost::context::detail;

// ---- AddressSanitizer's view of the stack switches ------------------------------------------------------

void asan_start_switch(void** fake_stack_save, const void* bottom, std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_start_switch_fiber(fake_stack_save, bottom, size);
#else
    (void)fake_stack_save, (void)bottom, (void)size;
#endif
}

void asan_finish_switch(void* fake_stack, const void** bottom_old, std::size_t* size_old) {
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_finish_switch_fiber(fake_stack, bottom_old, size_old);
#else
    (void)fake_stack, (void)bottom_old, (void)size_old;
#endif
}

// ---- Fiber stacks: mapped once and reused, with an inaccessible page below each -------------------------

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStackSize = std::size_t(1) << 20;
#else
constexpr std::size_t kStackSize = std::size_t(256) << 10;
#endif

struct Stack {
    char* bottom = nullptr;  // lowest usable address
    std::size_t size = 0;
};

Stack map_stack() {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* base = mmap(nullptr, kStackSize + page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) {
        std::perror("simulation: cannot map a fiber stack");
        std::abort();
    }
    mprotect(base, page, PROT_NONE);
    return Stack{static_cast<char*>(base) + page, kStackSize};
}

enum class State : unsigned char { Runnable, AtBarrier, AtShuffle, Done };

struct Fiber {
    fctx::fcontext_t context = nullptr;
    State state = State::Done;
    const char* file = nullptr;
    int line = 0;
    std::uint64_t shuffle_value = 0;
    unsigned shuffle_delta = 0;
    unsigned shuffle_mask = 0;
    uint3 index{};
    void* fake_stack = nullptr;
};

std::string site(const char* file, int line) {
    std::ostringstream s;
    s << file << ':' << line;
    return s.str();
}

// Runs blocks; only ever used under g_launch_mutex, so one block runs at a time in the whole process.
class Executor {
public:
    // Runs one block to completion. Returns an empty string, or the description of the fault that stopped it.
    std::string run_block(dim3 block, KernelBody body, void* context) {
        const unsigned threads = block.x * block.y * block.z;
        while (stacks_.size() < threads) stacks_.push_back(map_stack());
        fibers_.resize(threads);
        body_ = body;
        context_ = context;
        for (unsigned i = 0; i < threads; ++i) {
            Fiber& f = fibers_[i];
            f = Fiber{};
            f.context = fctx::make_fcontext(stacks_[i].bottom + stacks_[i].size, stacks_[i].size, &entry);
            f.state = State::Runnable;
            f.index = uint3{i % block.x, (i / block.x) % block.y, i / (block.x * block.y)};
        }
        std::string fault;
        for (;;) {
            for (unsigned n = 0; n < threads; ++n) {
                const unsigned i = reverse_ ? threads - 1 - n : n;
                if (fibers_[i].state == State::Runnable) resume(i);
            }
            if (!complete_shuffles(threads, &fault) && fault.empty()) {
                if (all_done(threads)) break;
                release_barrier(threads, &fault);
            }
            if (!fault.empty()) {
                abandon(threads);
                break;
            }
        }
        current_ = nullptr;
        return fault;
    }

    void set_reverse(bool reverse) { reverse_ = reverse; }

    // Called on a fiber: park it at a barrier or shuffle and run the scheduler until it is released.
    Fiber& running() {
        if (current_ == nullptr) {
            std::fprintf(stderr, "simulation: a barrier or shuffle was called outside a kernel\n");
            std::abort();
        }
        return *current_;
    }

    void suspend() { leave(false); }

    // A ping-pong between the scheduler and one fiber, timed.
    double measure_switch_ns(long switches) {
        if (stacks_.empty()) stacks_.push_back(map_stack());
        fibers_.resize(std::max<std::size_t>(fibers_.size(), 1));
        Fiber& f = fibers_[0];
        f = Fiber{};
        f.context = fctx::make_fcontext(stacks_[0].bottom + stacks_[0].size, stacks_[0].size, &ping_pong);
        const long rounds = std::max(1L, switches / 2);
        ping_pong_rounds_ = rounds;
        current_ = &f;
        const auto start = std::chrono::steady_clock::now();
        for (long r = 0; r <= rounds; ++r) resume(0);
        const auto stop = std::chrono::steady_clock::now();
        current_ = nullptr;
        return std::chrono::duration<double, std::nano>(stop - start).count() / double(2 * rounds);
    }

private:
    static void entry(fctx::transfer_t t) {
        Executor& self = *static_cast<Executor*>(t.data);
        self.arrived(t);
        self.body_(self.context_);
        self.current_->state = State::Done;
        self.leave(true);
        __builtin_unreachable();
    }

    static void ping_pong(fctx::transfer_t t) {
        Executor& self = *static_cast<Executor*>(t.data);
        self.arrived(t);
        for (long r = 0; r < self.ping_pong_rounds_; ++r) self.leave(false);
        self.leave(true);
        __builtin_unreachable();
    }

    // Fiber side: just switched in from the scheduler.
    void arrived(fctx::transfer_t t) {
        scheduler_ = t.fctx;
        asan_finish_switch(current_->fake_stack, &scheduler_bottom_, &scheduler_size_);
    }

    // Fiber side: back to the scheduler; `finished` when this fiber will never run again.
    void leave(bool finished) {
        Fiber& f = *current_;
        asan_start_switch(finished ? nullptr : &f.fake_stack, scheduler_bottom_, scheduler_size_);
        fctx::transfer_t t = fctx::jump_fcontext(scheduler_, nullptr);
        arrived(t);
    }

    // Scheduler side.
    void resume(unsigned i) {
        Fiber& f = fibers_[i];
        current_ = &f;
        threadIdx = f.index;
        void* fake_stack = nullptr;
        asan_start_switch(&fake_stack, stacks_[i].bottom, stacks_[i].size);
        fctx::transfer_t t = fctx::jump_fcontext(f.context, this);
        asan_finish_switch(fake_stack, nullptr, nullptr);
        f.context = t.fctx;
    }

    bool all_done(unsigned threads) const {
        for (unsigned i = 0; i < threads; ++i) {
            if (fibers_[i].state != State::Done) return false;
        }
        return true;
    }

    // Completes the shuffle of every warp whose 32 lanes all wait at the same shuffle. Returns whether any
    // did; sets *fault when a warp has lanes at a shuffle that the others can never reach.
    bool complete_shuffles(unsigned threads, std::string* fault) {
        bool completed = false;
        for (unsigned w = 0; w * 32 < threads; ++w) {
            Fiber* lanes = &fibers_[w * 32];
            const unsigned count = std::min(32u, threads - w * 32);
            unsigned waiting = 0;
            const Fiber* first = nullptr;
            for (unsigned l = 0; l < count; ++l) {
                if (lanes[l].state == State::AtShuffle) {
                    ++waiting;
                    if (first == nullptr) first = &lanes[l];
                }
            }
            if (waiting == 0) continue;
            bool same_site = true;
            bool full_mask = true;
            for (unsigned l = 0; l < count; ++l) {
                if (lanes[l].state != State::AtShuffle) continue;
                same_site = same_site && lanes[l].file == first->file && lanes[l].line == first->line;
                full_mask = full_mask && lanes[l].shuffle_mask == 0xFFFFFFFFu;
            }
            if (!full_mask || count < 32 || waiting < 32 || !same_site) {
                std::ostringstream why;
                if (!full_mask) {
                    why << "__shfl_down_sync at " << site(first->file, first->line)
                        << " with a partial mask (only full-warp shuffles are modelled)";
                } else {
                    why << "__shfl_down_sync at " << site(first->file, first->line) << " reached by " << waiting
                        << " of 32 lanes of warp " << w;
                    if (count < 32) why << " (the block has only " << count << " threads in that warp)";
                    if (!same_site) why << " (lanes wait at different shuffles)";
                }
                *fault = why.str();
                return false;
            }
            std::uint64_t values[32];
            for (unsigned l = 0; l < 32; ++l) values[l] = lanes[l].shuffle_value;
            for (unsigned l = 0; l < 32; ++l) {
                const unsigned source = l + lanes[l].shuffle_delta;
                lanes[l].shuffle_value = source < 32 ? values[source] : values[l];
                lanes[l].state = State::Runnable;
            }
            completed = true;
        }
        return completed;
    }

    // Releases the block barrier when every thread waits at the same one; otherwise sets *fault.
    void release_barrier(unsigned threads, std::string* fault) {
        const Fiber& first = fibers_[0];
        bool all_here = true;
        for (unsigned i = 0; i < threads && all_here; ++i) {
            const Fiber& f = fibers_[i];
            all_here = f.state == State::AtBarrier && f.file == first.file && f.line == first.line;
        }
        if (all_here) {
            for (unsigned i = 0; i < threads; ++i) fibers_[i].state = State::Runnable;
            return;
        }
        unsigned waiting = 0, done = 0;
        std::map<std::string, unsigned> sites;
        for (unsigned i = 0; i < threads; ++i) {
            if (fibers_[i].state == State::AtBarrier) {
                ++waiting;
                ++sites[site(fibers_[i].file, fibers_[i].line)];
            } else if (fibers_[i].state == State::Done) {
                ++done;
            }
        }
        std::ostringstream why;
        if (sites.size() == 1) {
            why << "__syncthreads at " << sites.begin()->first << " reached by " << waiting << " of " << threads
                << " threads (" << done << " exited without it)";
        } else {
            why << "threads wait at different __syncthreads:";
            for (const auto& [where, n] : sites) why << ' ' << where << " (" << n << " threads)";
            if (done) why << "; " << done << " exited";
        }
        *fault = why.str();
    }

    // Drops the fibers of a block that broke the model; their stacks are reused as they are.
    void abandon(unsigned threads) {
        for (unsigned i = 0; i < threads; ++i) {
            if (fibers_[i].state == State::Done) continue;
            fibers_[i].state = State::Done;
#if defined(__SANITIZE_ADDRESS__)
            ASAN_UNPOISON_MEMORY_REGION(stacks_[i].bottom, stacks_[i].size);
#endif
        }
    }

    std::vector<Stack> stacks_;
    std::vector<Fiber> fibers_;
    Fiber* current_ = nullptr;
    fctx::fcontext_t scheduler_ = nullptr;
    const void* scheduler_bottom_ = nullptr;
    std::size_t scheduler_size_ = 0;
    KernelBody body_ = nullptr;
    void* context_ = nullptr;
    long ping_pong_rounds_ = 0;
    bool reverse_ = false;
};

std::mutex g_launch_mutex;

Executor& executor() {
    static Executor e;
    return e;
}

bool valid_configuration(dim3 grid, dim3 block, int max_threads) {
    if (grid.x == 0 || grid.x > unsigned(INT_MAX) || grid.y == 0 || grid.y > 65535 || grid.z == 0 ||
        grid.z > 65535) {
        return false;
    }
    if (block.x == 0 || block.y == 0 || block.z == 0 || block.x > 1024 || block.y > 1024 || block.z > 64) {
        return false;
    }
    const unsigned long threads = (unsigned long)block.x * block.y * block.z;
    return threads <= 1024 && threads <= (unsigned long)max_threads;
}

}  // namespace

void launch(const char* kernel, int max_threads, dim3 grid, dim3 block, cudaStream_t stream, KernelBody body,
            void* context) {
    const cudaError_t injected = enter(Call::Launch);
    const bool accepted = injected == cudaSuccess && valid_configuration(grid, block, max_threads);
    {
        Machine& m = machine();
        std::lock_guard<std::mutex> lock(m.mutex);
        m.launches.push_back(LaunchRecord{kernel, grid, block, stream, accepted});
    }
    if (!accepted) {
        fail(injected != cudaSuccess ? injected : cudaErrorInvalidConfiguration);
        return;
    }
    std::string fault;
    dim3 faulting_block;
    {
        std::lock_guard<std::mutex> lock(g_launch_mutex);
        gridDim = grid;
        blockDim = block;
        for (unsigned z = 0; z < grid.z && fault.empty(); ++z) {
            for (unsigned y = 0; y < grid.y && fault.empty(); ++y) {
                for (unsigned x = 0; x < grid.x && fault.empty(); ++x) {
                    blockIdx = uint3{x, y, z};
                    fault = executor().run_block(block, body, context);
                    faulting_block = dim3(x, y, z);
                }
            }
        }
    }
    if (!fault.empty()) {
        std::ostringstream message;
        message << kernel << ", block (" << faulting_block.x << ", " << faulting_block.y << ", "
                << faulting_block.z << "): " << fault;
        report_fault(message.str());
    }
}

void set_reverse_schedule(bool reverse) {
    std::lock_guard<std::mutex> lock(g_launch_mutex);
    executor().set_reverse(reverse);
}

double measure_switch_ns(long switches) {
    std::lock_guard<std::mutex> lock(g_launch_mutex);
    return executor().measure_switch_ns(switches);
}

namespace detail {

void block_barrier(const char* file, int line) {
    Executor& e = executor();
    Fiber& f = e.running();
    f.state = State::AtBarrier;
    f.file = file;
    f.line = line;
    e.suspend();
}

std::uint64_t shuffle_down(std::uint64_t bits, unsigned delta, unsigned mask, const char* file, int line) {
    Executor& e = executor();
    Fiber& f = e.running();
    f.state = State::AtShuffle;
    f.file = file;
    f.line = line;
    f.shuffle_value = bits;
    f.shuffle_delta = delta;
    f.shuffle_mask = mask;
    e.suspend();
    return f.shuffle_value;
}

}  // namespace detail

}  // namespace kivo::sim
