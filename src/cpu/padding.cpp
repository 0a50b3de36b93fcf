// Padding and folding by rows: the copied samples and the sums of copies are those of the kernels, which
// take one sample per thread; here a task walks a band of rows, and a row's samples with no copies outside
// the image (all but at most r + 1 at each end) in one vectorised loop.
#include "cpu/padding.h"

#include "cpu/isa.h"
#include "frame/launch.h"
#include "kernels/ssim_padding.cuh"

namespace kivo::cpu {
namespace {

constexpr int kBandRows = 16;

struct PaddingArgs {
    const float* in;
    float* out;
    int height, width, r, padding;
};

// Padded rows by * kBandRows .. of plane `plane`.
struct PadBand {
    __attribute__((always_inline)) static void run(const PaddingArgs& a, unsigned by, unsigned plane) {
        const int ph = a.height + 2 * a.r, pw = a.width + 2 * a.r;
        const int last = min(ph, (static_cast<int>(by) + 1) * kBandRows);
        for (int pr = static_cast<int>(by) * kBandRows; pr < last; ++pr) {
            float* dst = a.out + (static_cast<long long>(plane) * ph + pr) * pw;
            const int sr = pad_source(pr - a.r, a.height, a.padding);
            if (sr < 0) {
                for (int c = 0; c < pw; ++c) dst[c] = 0.0f;
                continue;
            }
            const float* src = a.in + (static_cast<long long>(plane) * a.height + sr) * a.width;
            for (int c = 0; c < a.width; ++c) dst[a.r + c] = src[c];
            for (int k = 0; k < a.r; ++k) {
                const int left = pad_source(k - a.r, a.width, a.padding);
                const int right = pad_source(a.width + k, a.width, a.padding);
                dst[k] = left < 0 ? 0.0f : src[left];
                dst[a.width + a.r + k] = right < 0 ? 0.0f : src[right];
            }
        }
    }
};

// Pixel rows by * kBandRows .. of plane `plane`: each pixel's copies added rows first, then columns, from 0.
struct FoldBand {
    __attribute__((always_inline)) static void run(const PaddingArgs& a, unsigned by, unsigned plane) {
        const int ph = a.height + 2 * a.r, pw = a.width + 2 * a.r;
        const float* padded = a.in + static_cast<long long>(plane) * ph * pw;
        const int last = min(a.height, (static_cast<int>(by) + 1) * kBandRows);
        for (int row = static_cast<int>(by) * kBandRows; row < last; ++row) {
            float* grad = a.out + (static_cast<long long>(plane) * a.height + row) * a.width;
            int rows[kMaxPaddedCopies], cols[kMaxPaddedCopies];
            const int nr = padded_copies(row, a.height, a.r, a.padding, rows);
            // Every column as if its pixel had no copies beside its own (padded column c + r) ...
            for (int c = 0; c < a.width; ++c) grad[c] = 0.0f;
            for (int i = 0; i < nr; ++i) {
                const float* p = padded + static_cast<long long>(rows[i]) * pw + a.r;
                for (int c = 0; c < a.width; ++c) grad[c] = __fadd_rn(grad[c], p[c]);
            }
            // ... then again, with all their copies, the columns that may have others.
            for (int c = 0; c < a.width; ++c) {
                if (!has_copies(c, a.width, a.padding, a.r)) continue;
                const int nc = padded_copies(c, a.width, a.r, a.padding, cols);
                float sum = 0.0f;
                for (int i = 0; i < nr; ++i) {
                    const float* p = padded + static_cast<long long>(rows[i]) * pw;
                    for (int j = 0; j < nc; ++j) sum = __fadd_rn(sum, p[cols[j]]);
                }
                grad[c] = sum;
            }
        }
    }
};

template <class Band>
void band_task(PaddingArgs a) {
    run_best<Band>(a, blockIdx.x, blockIdx.y);
}

template <class Band>
void launch_bands(int rows, int planes, const PaddingArgs& a, cudaStream_t stream) {
    const dim3 grid(static_cast<unsigned>((rows + kBandRows - 1) / kBandRows), static_cast<unsigned>(planes));
    launch<band_task<Band>, 1>(grid, dim3(1), stream, a);
}

}  // namespace

void pad_planes(const float* src, float* dst, int planes, int height, int width, int r, int padding,
                cudaStream_t stream) {
    launch_bands<PadBand>(height + 2 * r, planes, PaddingArgs{src, dst, height, width, r, padding}, stream);
}

void fold_padded(const float* padded, float* grad, int planes, int height, int width, int r, int padding,
                 cudaStream_t stream) {
    launch_bands<FoldBand>(height, planes, PaddingArgs{padded, grad, height, width, r, padding}, stream);
}

}  // namespace kivo::cpu
