// Kernels whose issued instructions are known from their source, for the sass-profile test: per warp, the
// float32 operations written as intrinsics, the global loads and the stores happen a known number of times
// whatever the compiler unrolls or schedules. Compiled for sm_90 by the test build.

// Blocks of 128 threads (4 warps): every warp issues n loads and n fused multiply-adds; k products run in
// lanes 0 .. 7 of each warp only (the warp issues them k times, its other lanes idle); m additions run in
// warps 2 and 3 only; one store.
extern "C" __global__ void counted_loops(const float* __restrict__ in, float* __restrict__ out, int n, int stride,
                                         int k, int m) {
    const int t = threadIdx.x;
    float acc = 0.0f;
    for (int i = 0; i < n; ++i) acc = __fmaf_rn(acc, 1.5f, __ldg(in + i * stride + t));
    const int products = t % 32 < 8 ? k : 0;
    for (int i = 0; i < products; ++i) acc = __fmul_rn(acc, 1.25f);
    const int sums = t >= 64 ? m : 0;
    for (int i = 0; i < sums; ++i) acc = __fadd_rn(acc, 2.0f);
    out[t] = acc;
}

// One correctly rounded division per thread: one FCHK per warp, and a slow path that is never counted.
extern "C" __global__ void counted_division(const float* __restrict__ in, float* __restrict__ out) {
    const int t = threadIdx.x;
    out[t] = __fdiv_rn(__ldg(in + t), __ldg(in + t + 32));
}

// A loop whose exit depends on the loaded data: the count depends on the data, so the script must refuse.
extern "C" __global__ void data_dependent(const float* __restrict__ in, float* __restrict__ out, int n) {
    float acc = 0.0f;
    for (int i = 0; i < n && __ldg(in + i) > 0.0f; ++i) acc = __fadd_rn(acc, 1.0f);
    out[threadIdx.x] = acc;
}
