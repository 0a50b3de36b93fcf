// Kernel launches: configuration checks, the launch log, a pool of host threads that run the blocks of a
// grid, and on each of them a block scheduler that runs the threads of one block as fibers. A fiber runs
// until it reaches a barrier or a warp shuffle (or finishes); once no fiber can run, the scheduler completes
// every shuffle that all 32 lanes of a warp have reached, or else the barrier that every thread of the block
// has reached. Anything else can never complete on a GPU either, and is reported as a fault naming the call
// site instead of hanging.
//
// The launching thread claims blocks of its grid in grid order, as do the pool threads that join it; each
// block runs start to finish on the host thread that claimed it. Blocks own their outputs, so the results
// do not depend on which thread runs which block, nor on how many threads there are.
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <sstream>
#include <system_error>
#include <thread>

#include "fiber.h"
#include "machine.h"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

KIVO_SIM_API thread_local uint3 threadIdx;
KIVO_SIM_API thread_local uint3 blockIdx;
KIVO_SIM_API thread_local dim3 blockDim;
KIVO_SIM_API thread_local dim3 gridDim;

namespace kivo::sim {

namespace {

// ---- The sanitizers' view of the stack switches ----------------------------------------------------------

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

// ThreadSanitizer (a one-off check, not a preset) needs to know which fiber runs; a switch orders the
// fibers' accesses, as the single host thread running them does.
void* tsan_current_fiber() {
#if defined(__SANITIZE_THREAD__)
    return __tsan_get_current_fiber();
#else
    return nullptr;
#endif
}

void* tsan_create_fiber() {
#if defined(__SANITIZE_THREAD__)
    return __tsan_create_fiber(0);
#else
    return nullptr;
#endif
}

void tsan_destroy_fiber(void* fiber) {
#if defined(__SANITIZE_THREAD__)
    __tsan_destroy_fiber(fiber);
#else
    (void)fiber;
#endif
}

void tsan_switch_to(void* fiber) {
#if defined(__SANITIZE_THREAD__)
    __tsan_switch_to_fiber(fiber, 0);
#else
    (void)fiber;
#endif
}

// ---- Fiber stacks: mapped once per host thread and reused, with an inaccessible page below each ---------

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kStackSize = std::size_t(1) << 20;
#else
constexpr std::size_t kStackSize = std::size_t(256) << 10;
#endif

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

struct Stack {
    char* bottom = nullptr;  // lowest usable address
    std::size_t size = 0;
    void* tsan_fiber = nullptr;  // made afresh for each block: a fiber that never returns leaves frames behind
};

Stack map_stack() {
    const std::size_t page = page_size();
    void* base = mmap(nullptr, kStackSize + page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) {
        std::perror("simulation: cannot map a fiber stack");
        std::abort();
    }
    mprotect(base, page, PROT_NONE);
    return Stack{static_cast<char*>(base) + page, kStackSize, nullptr};
}

void renew_tsan_fiber(Stack& s) {
    if (s.tsan_fiber != nullptr) tsan_destroy_fiber(s.tsan_fiber);
    s.tsan_fiber = tsan_create_fiber();
}

// The stacks lie a whole number of pages apart, so their tops, where the fibers' frames are, would share
// the same few cache sets; fiber i's stack starts this many bytes lower, spreading them over 32 colours.
std::size_t stagger(unsigned i) { return (i % 32) * 128; }

void unmap_stack(const Stack& s) {
    if (s.tsan_fiber != nullptr) tsan_destroy_fiber(s.tsan_fiber);
    munmap(s.bottom - page_size(), s.size + page_size());
}

// ---- One launch ------------------------------------------------------------------------------------------

// What the host threads running the blocks of one launch share. The pool fields are guarded by the pool's
// mutex; the fault by its own.
struct Grid {
    dim3 grid, block;
    KernelBody body = nullptr;
    void* context = nullptr;
    bool reverse = false;
    unsigned long long blocks = 0;
    std::atomic<unsigned long long> next{0};  // the next block to claim, in grid order
    std::atomic<bool> stopped{false};         // a block faulted: start no more

    int helpers_wanted = 0;  // pool threads that may still join
    int helpers_inside = 0;  // pool threads running blocks of this grid now

    std::mutex fault_mutex;
    unsigned long long fault_block = ULLONG_MAX;  // the first faulting block in grid order
    std::string fault;

    uint3 block_index(unsigned long long i) const {
        return uint3{unsigned(i % grid.x), unsigned(i / grid.x % grid.y), unsigned(i / grid.x / grid.y)};
    }
};

enum class State : unsigned char { Runnable, AtBarrier, AtShuffle, Done };

struct Fiber {
    FiberContext context = nullptr;
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

}  // namespace

namespace detail {

KIVO_SIM_API thread_local Executor* running = nullptr;

// Runs blocks on the host thread that owns it (one per thread, see executor()).
class Executor {
public:
    Executor() : thread_index_(&threadIdx) {}
    ~Executor() {
        for (const Stack& s : stacks_) unmap_stack(s);
    }
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Runs block `index` of `grid` to completion. Returns an empty string, or the description of the fault
    // that stopped it.
    std::string run_block(const Grid& grid, uint3 index) {
        const dim3 block = grid.block;
        const unsigned threads = block.x * block.y * block.z;
        while (stacks_.size() < threads) stacks_.push_back(map_stack());
        fibers_.resize(threads);
        body_ = grid.body;
        context_ = grid.context;
        blockIdx = index;
        scheduler_tsan_ = tsan_current_fiber();
        for (unsigned i = 0; i < threads; ++i) {
            Fiber& f = fibers_[i];
            f = Fiber{};
            renew_tsan_fiber(stacks_[i]);
            f.context = make_fiber(stacks_[i].bottom, stacks_[i].size - stagger(i));
            f.state = State::Runnable;
            f.index = uint3{i % block.x, (i / block.x) % block.y, i / (block.x * block.y)};
        }
        at_barrier_ = at_shuffle_ = done_ = 0;
        barrier_sites_differ_ = false;
        detail::running = this;
        std::string fault;
        for (;;) {
            for (unsigned n = 0; n < threads; ++n) {
                const unsigned i = grid.reverse ? threads - 1 - n : n;
                if (fibers_[i].state == State::Runnable) resume(i);
            }
            if (at_shuffle_ > 0 && complete_shuffles(threads, &fault)) continue;
            if (fault.empty()) {
                if (done_ == threads) break;
                release_barrier(threads, &fault);
            }
            if (!fault.empty()) {
                abandon(threads);
                break;
            }
        }
        detail::running = nullptr;
        current_ = nullptr;
        return fault;
    }

    // Fiber side: park the running fiber at the barrier at file:line until every thread is there.
    void wait_at_barrier(const char* file, int line) {
        Fiber& f = *current_;
        f.state = State::AtBarrier;
        f.file = file;
        f.line = line;
        if (at_barrier_++ == 0) {
            barrier_file_ = file;
            barrier_line_ = line;
        } else if (file != barrier_file_ || line != barrier_line_) {
            barrier_sites_differ_ = true;
        }
        leave(false);
    }

    // Fiber side: park the running fiber at the shuffle at file:line until its warp is there; returns the
    // value of lane (own lane + delta), or its own beyond the warp.
    std::uint64_t wait_at_shuffle(std::uint64_t bits, unsigned delta, unsigned mask, const char* file, int line) {
        Fiber& f = *current_;
        f.state = State::AtShuffle;
        f.file = file;
        f.line = line;
        f.shuffle_value = bits;
        f.shuffle_delta = delta;
        f.shuffle_mask = mask;
        ++at_shuffle_;
        leave(false);
        return f.shuffle_value;
    }

    // A ping-pong between the scheduler and one fiber, timed.
    double measure_switch_ns(long switches) {
        if (stacks_.empty()) stacks_.push_back(map_stack());
        fibers_.resize(std::max<std::size_t>(fibers_.size(), 1));
        Fiber& f = fibers_[0];
        f = Fiber{};
        f.context = make_fiber(stacks_[0].bottom, stacks_[0].size);
        renew_tsan_fiber(stacks_[0]);
        const long rounds = std::max(1L, switches / 2);
        ping_pong_rounds_ = rounds;
        scheduler_tsan_ = tsan_current_fiber();
        current_ = &f;
        const auto start = std::chrono::steady_clock::now();
        for (long r = 0; r <= rounds; ++r) resume(0);
        const auto stop = std::chrono::steady_clock::now();
        current_ = nullptr;
        ping_pong_rounds_ = 0;
        return std::chrono::duration<double, std::nano>(stop - start).count() / double(2 * rounds);
    }

    // Fiber side: the whole life of a fiber (see fiber_main).
    [[noreturn]] void fiber_body() {
        arrived();
        if (ping_pong_rounds_ > 0) {
            for (long r = 0; r < ping_pong_rounds_; ++r) leave(false);
        } else {
            body_(context_);
            current_->state = State::Done;
            ++done_;
        }
        leave(true);
        __builtin_unreachable();
    }

private:
    // Fiber side: just switched in from the scheduler.
    void arrived() { asan_finish_switch(current_->fake_stack, &scheduler_bottom_, &scheduler_size_); }

    // Fiber side: back to the scheduler; `finished` when this fiber will never run again.
    void leave(bool finished) {
        Fiber& f = *current_;
        asan_start_switch(finished ? nullptr : &f.fake_stack, scheduler_bottom_, scheduler_size_);
        tsan_switch_to(scheduler_tsan_);
        switch_fiber(&f.context, scheduler_, nullptr);
        arrived();
    }

    // Scheduler side.
    void resume(unsigned i) {
        Fiber& f = fibers_[i];
        current_ = &f;
        *thread_index_ = f.index;
        void* fake_stack = nullptr;
        asan_start_switch(&fake_stack, stacks_[i].bottom, stacks_[i].size);
        tsan_switch_to(stacks_[i].tsan_fiber);
        switch_fiber(&scheduler_, f.context, this);
        asan_finish_switch(fake_stack, nullptr, nullptr);
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
            at_shuffle_ -= 32;
            completed = true;
        }
        return completed;
    }

    // Releases the block barrier when every thread waits at the same one; otherwise sets *fault.
    void release_barrier(unsigned threads, std::string* fault) {
        if (at_barrier_ == threads && !barrier_sites_differ_) {
            for (unsigned i = 0; i < threads; ++i) fibers_[i].state = State::Runnable;
            at_barrier_ = 0;
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

    uint3* const thread_index_;  // this host thread's threadIdx
    std::vector<Stack> stacks_;
    std::vector<Fiber> fibers_;
    Fiber* current_ = nullptr;
    // Fibers at the barrier (and where the first of them waits), at shuffles, and finished.
    unsigned at_barrier_ = 0, at_shuffle_ = 0, done_ = 0;
    const char* barrier_file_ = nullptr;
    int barrier_line_ = 0;
    bool barrier_sites_differ_ = false;
    FiberContext scheduler_ = nullptr;
    const void* scheduler_bottom_ = nullptr;
    std::size_t scheduler_size_ = 0;
    void* scheduler_tsan_ = nullptr;
    KernelBody body_ = nullptr;
    void* context_ = nullptr;
    long ping_pong_rounds_ = 0;
};

}  // namespace detail

using detail::Executor;

void fiber_main(void* arg) { static_cast<Executor*>(arg)->fiber_body(); }

namespace {

// This host thread's executor, made at its first block. It lives on the heap: members of a thread-local
// object would cost a thread-local address lookup after every fiber switch.
Executor& executor() {
    thread_local const std::unique_ptr<Executor> e = std::make_unique<Executor>();
    return *e;
}

// Sanitized builds keep `__shared__` arrays static (see cuda_runtime.h): one block at a time.
std::mutex g_one_block_mutex;

// Kernels compute under the default floating-point environment (round to nearest, subnormals kept, as on
// the GPU) whatever the launching thread has set: a caller that flushes subnormals to zero must neither
// change the results nor make its blocks differ from those of the pool threads.
class DefaultFloatingPoint {
public:
    DefaultFloatingPoint() {
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
#if defined(__x86_64__)
        _mm_setcsr(_mm_getcsr() & ~0x8040u);  // flush-to-zero and denormals-are-zero off
#endif
    }
    ~DefaultFloatingPoint() { std::fesetenv(&saved_); }
    DefaultFloatingPoint(const DefaultFloatingPoint&) = delete;
    DefaultFloatingPoint& operator=(const DefaultFloatingPoint&) = delete;

private:
    std::fenv_t saved_;
};

// Claims and runs blocks of `grid` on the calling host thread until none is left or one has faulted.
//
// The device sources are compiled with TLS descriptors (see sim/CMakeLists.txt), whose fast path keeps
// every register. Its slow path, taken while this library's thread-local block is not yet set up on the
// thread, need not keep vector registers on older C libraries; the accesses below, compiled the ordinary
// way, set it up before any kernel code runs on this thread.
void run_blocks(Grid& grid) {
    DefaultFloatingPoint environment;
    Executor& e = executor();
    gridDim = grid.grid;
    blockDim = grid.block;
    while (!grid.stopped.load(std::memory_order_relaxed)) {
        const unsigned long long i = grid.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= grid.blocks) break;
        std::unique_lock<std::mutex> one_block;
        if (KIVO_SIM_ONE_BLOCK_AT_A_TIME) one_block = std::unique_lock<std::mutex>(g_one_block_mutex);
        std::string fault = e.run_block(grid, grid.block_index(i));
        if (fault.empty()) continue;
        std::lock_guard<std::mutex> lock(grid.fault_mutex);
        if (i < grid.fault_block) {
            grid.fault_block = i;
            grid.fault = std::move(fault);
        }
        grid.stopped.store(true, std::memory_order_relaxed);
    }
}

// ---- The pool of host threads -----------------------------------------------------------------------------

// The variable that sets the default count; the CPU library, built from these sources, names its own.
#if !defined(KIVO_THREADS_VARIABLE)
#define KIVO_THREADS_VARIABLE "KIVO_SIM_THREADS"
#endif

int default_threads() {
    if (const char* text = std::getenv(KIVO_THREADS_VARIABLE)) {
        char* end = nullptr;
        const long n = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && n >= 1 && n <= 1024) return int(n);
        std::fprintf(stderr, "kivo: ignoring " KIVO_THREADS_VARIABLE "=%s (not a count from 1 to 1024)\n", text);
    }
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0) return CPU_COUNT(&cpus);
    return std::max(1, int(std::thread::hardware_concurrency()));
}

// Threads that help the launching threads run their grids. They start when a launch first wants them and
// then wait for work; they are never stopped (the process's exit ends them), and a forked child starts
// its own.
class Pool {
public:
    static Pool& instance() {
        static Pool* const pool = new Pool;  // never destroyed: its threads may outlive static destruction
        return *pool;
    }

    int threads() const { return threads_.load(std::memory_order_relaxed); }
    void set_threads(int count) { threads_.store(count, std::memory_order_relaxed); }
    int default_count() const { return default_count_; }

    // Runs every block of `grid` on the calling thread and on up to threads() - 1 pool threads.
    void run(Grid& grid) {
        unsigned long long helpers = std::min<unsigned long long>(threads() - 1, grid.blocks - 1);
        if (helpers > 0) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                try {
                    for (; started_ < helpers; ++started_) std::thread(&Pool::work, this).detach();
                } catch (const std::system_error&) {
                    helpers = started_;  // the system allows no more threads: fewer helpers
                }
                grid.helpers_wanted = int(helpers);
                if (helpers > 0) queue_.push_back(&grid);
            }
            for (unsigned long long h = 0; h < helpers; ++h) work_cv_.notify_one();
        }
        run_blocks(grid);
        if (helpers > 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto queued = std::find(queue_.begin(), queue_.end(), &grid);
            if (queued != queue_.end()) queue_.erase(queued);
            done_cv_.wait(lock, [&] { return grid.helpers_inside == 0; });
        }
    }

private:
    Pool() : default_count_(default_threads()), threads_(default_count_) {
        pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                       [] { instance().forget_threads(); });
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_cv_.wait(lock, [&] { return !queue_.empty(); });
            Grid& grid = *queue_.front();
            if (--grid.helpers_wanted == 0) queue_.pop_front();
            ++grid.helpers_inside;
            lock.unlock();
            run_blocks(grid);
            lock.lock();
            if (--grid.helpers_inside == 0) done_cv_.notify_all();
        }
    }

    // In a forked child: only the forking thread exists, so none of the pool threads, and nothing is queued
    // (grids of other threads' launches are gone with them). The synchronisation objects start afresh.
    void forget_threads() {
        new (&mutex_) std::mutex;
        new (&work_cv_) std::condition_variable;
        new (&done_cv_) std::condition_variable;
        new (&queue_) std::deque<Grid*>;  // the parent's queue is left behind, not freed
        started_ = 0;
    }

    const int default_count_;
    std::atomic<int> threads_;
    std::mutex mutex_;
    std::condition_variable work_cv_;  // a grid was queued
    std::condition_variable done_cv_;  // a pool thread left a grid
    std::deque<Grid*> queue_;           // grids that want more helpers, oldest first
    unsigned long long started_ = 0;
};

std::atomic<bool> g_reverse{false};

bool detect_hardware_fma() {
#if defined(__x86_64__) && defined(__SANITIZE_ADDRESS__)
    return false;  // the sanitized build has only the copy without it (see KernelCall)
#elif defined(__x86_64__)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("fma") || !__builtin_cpu_supports("avx2")) return false;
    const char* forced = std::getenv("KIVO_SIM_HARDWARE_FMA");
    return forced == nullptr || std::strcmp(forced, "0") != 0;
#else
    return true;  // one copy of each kernel, with the base instruction set's fused multiply-add
#endif
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

bool hardware_fma() {
    static const bool use = detect_hardware_fma();
    return use;
}

void launch(const char* kernel, int max_threads, dim3 grid, dim3 block, cudaStream_t stream, KernelBody body,
            KernelBody body_fma, void* context) {
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
    Grid g;
    g.grid = grid;
    g.block = block;
    g.body = hardware_fma() ? body_fma : body;
    g.context = context;
    g.reverse = g_reverse.load();
    g.blocks = (unsigned long long)grid.x * grid.y * grid.z;
    Pool::instance().run(g);
    if (!g.fault.empty()) {
        const uint3 b = g.block_index(g.fault_block);
        std::ostringstream message;
        message << kernel << ", block (" << b.x << ", " << b.y << ", " << b.z << "): " << g.fault;
        report_fault(message.str());
    }
}

void set_reverse_schedule(bool reverse) { g_reverse.store(reverse); }

void reset_threads() { Pool::instance().set_threads(Pool::instance().default_count()); }

double measure_switch_ns(long switches) { return executor().measure_switch_ns(switches); }

namespace detail {

namespace {

// The hooks run on the host thread that runs the fiber's block.
Executor& running_executor(Executor* e) {
    if (e == nullptr) {
        std::fprintf(stderr, "simulation: a barrier or shuffle was called outside a kernel\n");
        std::abort();
    }
    return *e;
}

}  // namespace

void block_barrier(Executor* executor, const char* file, int line) {
    running_executor(executor).wait_at_barrier(file, line);
}

std::uint64_t shuffle_down(Executor* executor, std::uint64_t bits, unsigned delta, unsigned mask, const char* file,
                           int line) {
    return running_executor(executor).wait_at_shuffle(bits, delta, mask, file, line);
}

}  // namespace detail

}  // namespace kivo::sim

extern "C" {

int kivo_sim_set_threads(int count) {
    if (count < 0 || count > 1024) return -1;
    kivo::sim::Pool& pool = kivo::sim::Pool::instance();
    pool.set_threads(count == 0 ? pool.default_count() : count);
    return pool.threads();
}

int kivo_sim_threads(void) { return kivo::sim::Pool::instance().threads(); }

}  // extern "C"
