// The per-sample and per-window arithmetic of the fused SSIM kernel, shared with the CPU library's driver:
// both compute every value with these functions, so both round alike. They are device functions under nvcc
// (the rounding-explicit intrinsics exist only there); the host compiler, which the CPU library and the
// simulation are built with, compiles them as host code.
#pragma once

#include <cuda_runtime.h>

#include "kernels/ssim_fused.h"

namespace kivo {

// The four values a staged sample contributes to the horizontal pass: x', y', x'y' and (x' - y')^2, the last
// two rounded products.
__device__ __forceinline__ void sample_moments(float a, float b, float (&f)[4]) {
    const float d = __fsub_rn(a, b);
    f[0] = a;
    f[1] = b;
    f[2] = __fmul_rn(a, b);
    f[3] = __fmul_rn(d, d);
}

// The windowed statistics of one window in the kernel's arithmetic (all float32), from the four windowed
// moments of the shifted samples x' = x - shift, y' = y - shift. Both variances and the covariance are
// multiplied by cov_factor (1: population; a factor of 1 changes no bit).
struct WindowTerms {
    float mx, my;  // windowed means of x' and y'
    float mu_x, mu_y;  // the true local means
    float A1, A2, B1, B2;  // SSIM = (A1 A2) / (B1 B2); A2 / B2 is the contrast-structure term
};

__device__ __forceinline__ WindowTerms window_terms(float mx, float my, float exy, float edd, float shift, float c1,
                                                    float c2, float cov_factor) {
    WindowTerms w;
    w.mx = mx;
    w.my = my;
    w.mu_x = __fadd_rn(mx, shift);
    w.mu_y = __fadd_rn(my, shift);
    const float cov = __fsub_rn(exy, __fmul_rn(mx, my));
    // E[(x' - y')^2] = var_x + var_y - 2 cov + (mx - my)^2, so this is var_x + var_y, left unclamped.
    const float dm = __fsub_rn(mx, my);
    const float var_sum = __fmul_rn(__fsub_rn(__fmaf_rn(2.0f, cov, edd), __fmul_rn(dm, dm)), cov_factor);
    const float sxy = __fmul_rn(cov, cov_factor);
    w.A1 = __fmaf_rn(__fadd_rn(w.mu_x, w.mu_x), w.mu_y, c1);
    w.A2 = __fmaf_rn(2.0f, sxy, c2);
    w.B1 = __fadd_rn(__fmaf_rn(w.mu_x, w.mu_x, __fmul_rn(w.mu_y, w.mu_y)), c1);
    w.B2 = __fadd_rn(var_sum, c2);
    return w;
}

// SSIM of one window, as the summing modes compute it.
__device__ __forceinline__ float window_ssim(const WindowTerms& w) {
    return __fdiv_rn(__fmul_rn(w.A1, w.A2), __fmul_rn(w.B1, w.B2));
}

// SSIM of one window and the reciprocal R = 1 / (B1 B2) that its derivatives need: the correctly rounded
// quotient of window_ssim, since one remainder step from the correctly rounded reciprocal rounds correctly.
__device__ __forceinline__ float window_ssim_and_reciprocal(const WindowTerms& w, float& R) {
    const float num = __fmul_rn(w.A1, w.A2), den = __fmul_rn(w.B1, w.B2);
    R = __frcp_rn(den);
    const float q = __fmul_rn(num, R);
    return __fmaf_rn(__fmaf_rn(-den, q, num), R, q);
}

// The derivatives of one window's SSIM = (A1 A2) / (B1 B2) with respect to its shifted means and moments, as
// the loss's backward pass gathers them: the pair (coef_var, coef_cov) at `pairs`, then bias_x and, when
// wanted, bias_y. With R = 1 / (B1 B2): dSSIM/dB2 = -SSIM B1 R, dSSIM/dA2 = A1 R, and the luminance factor's
// derivatives from A1 / B1 = A1 B2 R; the variances and the covariance carry the covariance factor.
__device__ __forceinline__ void store_ssim_derivatives(const WindowTerms& w, float ssim, float R, float cov_factor,
                                                       long long index, float2* pairs, float* bias_x,
                                                       float* bias_y) {
    const float Rc2 = __fmul_rn(__fmul_rn(2.0f, cov_factor), R);
    const float t2 = __fmul_rn(ssim, __fmul_rn(w.B1, Rc2));  // 2 SSIM / B2: twice the variances' weight
    const float cov = __fmul_rn(w.A1, Rc2);                  // 2 A1 / (B1 B2)
    pairs[index] = float2{__fmul_rn(-0.5f, t2), cov};
    const float luminance = __fmul_rn(__fmul_rn(w.A1, w.B2), R);  // A1 / B1
    const float cs_factor = __fmul_rn(__fmul_rn(2.0f, w.A2), R);  // 2 A2 / (B1 B2)
    // bias = dSSIM/dm + 2 m t - m' cov, t the variances' weight
    const float d_x = __fmul_rn(__fsub_rn(w.mu_y, __fmul_rn(w.mu_x, luminance)), cs_factor);
    bias_x[index] = __fmaf_rn(-w.my, cov, __fmaf_rn(w.mx, t2, d_x));
    if (bias_y != nullptr) {
        const float d_y = __fmul_rn(__fsub_rn(w.mu_x, __fmul_rn(w.mu_y, luminance)), cs_factor);
        bias_y[index] = __fmaf_rn(-w.mx, cov, __fmaf_rn(w.my, t2, d_y));
    }
}

// What the SSIM-and-cs mode adds per window: SSIM = num_ssim x recip and cs = num_cs x recip, each added to
// its running sum with one fused multiply-add.
struct SsimCsTerms {
    float num_ssim, num_cs, recip;
};

__device__ __forceinline__ SsimCsTerms window_ssim_cs(const WindowTerms& w) {
    return SsimCsTerms{__fmul_rn(w.A1, w.A2), __fmul_rn(w.A2, w.B1), __frcp_rn(__fmul_rn(w.B1, w.B2))};
}

// Coefficient maps of one window for a loss gS x SSIM + gC x cs: the derivatives with respect to the
// shifted means and moments that the backward scatter kernel gathers onto the pixels. The single-gradient
// mode (gS = g, no cs term) groups its products differently. The derivatives with respect to the variances
// and the covariance carry the covariance factor into the moments.
struct Coefficients {
    float var, cov, bias_x, bias_y;
};

template <int MODE>
__device__ __forceinline__ Coefficients window_coefficients(const WindowTerms& w, float gS, float gC,
                                                            float cov_factor) {
    const float r1 = __frcp_rn(w.B1);
    const float r2 = __frcp_rn(w.B2);
    const float ssim = __fmul_rn(__fmul_rn(__fmul_rn(w.A1, w.A2), r1), r2);
    // dSSIM / dmu: the luminance factor's derivative times the contrast-structure factor.
    const float cs_factor = __fmul_rn(__fmul_rn(__fmul_rn(2.0f, w.A2), r1), r2);
    const float d_x = __fmul_rn(__fsub_rn(w.mu_y, __fmul_rn(__fmul_rn(w.mu_x, w.A1), r1)), cs_factor);
    const float d_y = __fmul_rn(__fsub_rn(w.mu_x, __fmul_rn(__fmul_rn(w.mu_y, w.A1), r1)), cs_factor);
    float t, cov;
    if constexpr (MODE == kSsimGradient) {
        t = __fmul_rn(__fmul_rn(r2, ssim), gS);
        cov = __fmul_rn(__fmul_rn(__fmul_rn(__fmul_rn(2.0f, w.A1), r1), r2), gS);
    } else {
        const float cs = __fmul_rn(w.A2, r2);
        t = __fmul_rn(r2, __fmaf_rn(gS, ssim, __fmul_rn(gC, cs)));
        cov = __fmul_rn(r2, __fmul_rn(2.0f, __fmaf_rn(__fmul_rn(w.A1, gS), r1, gC)));
    }
    t = __fmul_rn(t, cov_factor);
    cov = __fmul_rn(cov, cov_factor);
    Coefficients c;
    c.var = -t;
    c.cov = cov;
    c.bias_x = __fsub_rn(__fadd_rn(__fmul_rn(gS, d_x), __fmul_rn(__fmul_rn(2.0f, w.mx), t)), __fmul_rn(w.my, cov));
    c.bias_y = __fsub_rn(__fadd_rn(__fmul_rn(gS, d_y), __fmul_rn(__fmul_rn(2.0f, w.my), t)), __fmul_rn(w.mx, cov));
    return c;
}

// What the backward scatter kernel writes for a pixel with shifted samples own (of the image differentiated) and
// other, from the filtered coefficient maps var, cov and bias at it.
__device__ __forceinline__ float gathered_gradient(float own, float other, float var, float cov, float bias) {
    return __fadd_rn(__fadd_rn(__fmul_rn(__fmul_rn(2.0f, own), var), __fmul_rn(other, cov)), bias);
}

}  // namespace kivo
