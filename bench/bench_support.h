// Timing for the benchmarks: host clock around a synchronised region, median of repeated runs, and the
// device-to-device copy that serves as the bandwidth yardstick of the same run.
#pragma once

#include <cuda_runtime_api.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace kivo_bench {

// The simulation build runs every benchmark at a tiny size, to show that it runs.
#if defined(KIVO_BENCH_SIM)
constexpr bool kTiny = true;
#else
constexpr bool kTiny = false;
#endif

inline void check(cudaError_t e, const char* what) {
    if (e != cudaSuccess) {
        std::fprintf(stderr, "%s: %s\n", what, cudaGetErrorString(e));
        std::exit(1);
    }
}

inline void check_status(int status, const char* what) {
    if (status != 0) {
        std::fprintf(stderr, "%s: status %d\n", what, status);
        std::exit(1);
    }
}

// Median wall time of `run` in milliseconds, after warm-up runs.
inline double median_ms(const std::function<void()>& run, int repeats = kTiny ? 2 : 20) {
    for (int i = 0; i < (kTiny ? 1 : 3); ++i) run();
    check(cudaDeviceSynchronize(), "warm-up");
    std::vector<double> ms;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        check(cudaDeviceSynchronize(), "timed run");
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

class DeviceBytes {
public:
    explicit DeviceBytes(std::size_t bytes) : bytes_(bytes) {
        check(cudaMalloc(&data_, bytes), "cudaMalloc");
    }
    ~DeviceBytes() { cudaFree(data_); }
    DeviceBytes(const DeviceBytes&) = delete;
    DeviceBytes& operator=(const DeviceBytes&) = delete;
    template <class T = void>
    T* as() const { return static_cast<T*>(data_); }
    std::size_t size() const { return bytes_; }
    // Random bytes (never zeros: they can hide wrong indexing and run faster than real data).
    void randomise(unsigned seed) {
        std::vector<unsigned char> host(bytes_);
        unsigned s = seed * 2654435761u + 1;
        for (unsigned char& b : host) {
            s = s * 1664525u + 1013904223u;
            b = static_cast<unsigned char>(s >> 24);
        }
        check(cudaMemcpy(data_, host.data(), bytes_, cudaMemcpyHostToDevice), "upload");
    }
    // Random floats in [0, 1) stored as the given 4-, 2- or 1-byte element type by the caller's encoder.
    template <class T, class Encode>
    void fill(Encode encode, unsigned seed) {
        std::vector<T> host(bytes_ / sizeof(T));
        unsigned s = seed * 2654435761u + 7;
        for (T& v : host) {
            s = s * 1664525u + 1013904223u;
            v = encode(float(s >> 8) / 16777216.0f);
        }
        check(cudaMemcpy(data_, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice), "upload");
    }

private:
    void* data_ = nullptr;
    std::size_t bytes_;
};

// Time of a device-to-device copy of `bytes` (reads `bytes`, writes `bytes`).
inline double copy_ms(std::size_t bytes) {
    DeviceBytes src(bytes), dst(bytes);
    src.randomise(1);
    return median_ms([&] { check(cudaMemcpyAsync(dst.as(), src.as(), bytes, cudaMemcpyDeviceToDevice, nullptr), "copy"); });
}

// The Gaussian window of `taps` taps and deviation `sigma`, normalised to sum 1, in device memory.
inline void upload_gaussian(DeviceBytes& window, int taps, double sigma = 1.5) {
    std::vector<float> weights(taps);
    double total = 0;
    for (int i = 0; i < taps; ++i) {
        total += weights[i] = float(std::exp(-0.5 * std::pow((i - (taps - 1) / 2.0) / sigma, 2)));
    }
    for (float& w : weights) w = float(w / total);
    check(cudaMemcpy(window.as(), weights.data(), taps * sizeof(float), cudaMemcpyHostToDevice), "window");
}

inline unsigned short bf16_of(float f) {
    unsigned u;
    std::memcpy(&u, &f, sizeof u);
    return static_cast<unsigned short>(u >> 16);
}

inline const char* backend() {
#if defined(KIVO_BENCH_SIM)
    return "simulation (CPU)";
#else
    static std::string name = [] {
        cudaDeviceProp p{};
        return cudaGetDeviceProperties(&p, 0) == cudaSuccess ? std::string(p.name) : std::string("unknown GPU");
    }();
    return name.c_str();
#endif
}

}  // namespace kivo_bench
