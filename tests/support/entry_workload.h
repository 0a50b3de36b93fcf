// Every compute entry of the library once, on float32 images shaped so that each launch has several blocks,
// each entry with buffers of its own: for tests that run the same work under different schedules (thread
// order, number of host threads, concurrent callers) and compare every byte written.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kivo_cuda.h"
#include "support/device_buffer.h"

namespace kivo_test {

class EntryWorkload {
public:
    static constexpr int kBatch = 2, kChannels = 2, kHeight = 75, kWidth = 45, kWin = 5;
    static constexpr int kPlanes = kBatch * kChannels;
    static constexpr int kOutHeight = kHeight - kWin + 1, kOutWidth = kWidth - kWin + 1;
    static constexpr std::size_t kPixels = std::size_t(kPlanes) * kHeight * kWidth;
    static constexpr std::size_t kWindows = std::size_t(kPlanes) * kOutHeight * kOutWidth;

    explicit EntryWorkload(unsigned seed) : x_(random_floats(seed)), y_(random_floats(seed + 1)) {
        EXPECT_EQ(kivo_cuda_ssim_workspace(kHeight, kWidth, kWin, &tiles_), 0);
        EXPECT_EQ(kivo_cuda_pixel_workspace(kPlanes, long(kHeight) * kWidth, -1, &blocks_), 0);
        EXPECT_EQ(kivo_cuda_gmsd_workspace(kHeight, kWidth, 0, &gmsd_tiles_), 0);
        pixel_ws_ = DeviceBuffer<double>(std::size_t(kPlanes) * blocks_);
        ssim_ws_ = DeviceBuffer<double>(std::size_t(kPlanes) * tiles_);
        cs_ws_ = DeviceBuffer<double>(std::size_t(kPlanes) * tiles_ * 2);
        gmsd_ws_ = DeviceBuffer<double>(std::size_t(kPlanes) * gmsd_tiles_ * 2);
    }

    // Every entry on `stream`, each status checked.
    void run(cudaStream_t stream = nullptr) {
        const float* x = x_.data();
        const float* y = y_.data();
        double* cs_ws = cs_ws_.data();
        double* gmsd_ws = gmsd_ws_.data();
        EXPECT_EQ(kivo_cuda_pixel_reduce(x, y, KIVO_CUDA_DTYPE_F32, kPlanes, long(kHeight) * kWidth, 3, 0.25, 0.0,
                                         pixel_ws_.data(), blocks_, pixel_out_.data(), pixel_out_.data() + kPlanes,
                                         nullptr, nullptr, -1, stream),
                  0);
        EXPECT_EQ(kivo_cuda_ssim(x, y, KIVO_CUDA_DTYPE_F32, kBatch, kChannels, kHeight, kWidth, 0.5, 1e-4, 9e-4,
                                 window_.data(), kWin, map_.data(), ssim_ws_.data(), tiles_, ssim_out_.data(),
                                 ssim_out_.data() + kBatch, -1, stream),
                  0);
        EXPECT_EQ(kivo_cuda_ssim_cs(x, y, KIVO_CUDA_DTYPE_F32, kBatch, kChannels, kHeight, kWidth, 0.5, 1e-4, 9e-4,
                                    window_.data(), kWin, cs_ws, cs_ws + kPlanes * tiles_, tiles_, cs_out_.data(),
                                    cs_out_.data() + kPlanes, -1, stream),
                  0);
        EXPECT_EQ(kivo_cuda_gmsd(x, y, KIVO_CUDA_DTYPE_F32, kBatch, kChannels, kHeight, kWidth, 0, 0.01, 0.0, gmsd_ws,
                                 gmsd_ws + kPlanes * gmsd_tiles_, gmsd_tiles_, gmsd_out_.data(),
                                 gmsd_out_.data() + kBatch, -1, stream),
                  0);
        EXPECT_EQ(kivo_cuda_ssim_backward(x, y, nullptr, grad_mean_.data(), window_.data(), kWin, kBatch, kChannels,
                                          kHeight, kWidth, 0.5, 1e-4, 9e-4, stats_.data(), grad_x_.data(),
                                          grad_y_.data(), -1, stream),
                  0);
        EXPECT_EQ(kivo_cuda_ssim_cs_backward(x, y, grad_planes_.data(), grad_planes_.data(), window_.data(), kWin,
                                             kBatch, kChannels, kHeight, kWidth, 0.5, 1e-4, 9e-4, cs_stats_.data(),
                                             cs_grad_x_.data(), nullptr, -1, stream),
                  0);
    }

    struct Output {
        std::string name;
        std::vector<unsigned char> bytes;
    };

    // What every entry wrote, workspaces and scratch included.
    std::vector<Output> outputs() const {
        return {bytes("pixel", pixel_out_),
                bytes("pixel workspace", pixel_ws_),
                bytes("ssim", ssim_out_),
                bytes("ssim map", map_),
                bytes("ssim workspace", ssim_ws_),
                bytes("ssim_cs", cs_out_),
                bytes("ssim_cs workspaces", cs_ws_),
                bytes("gmsd", gmsd_out_),
                bytes("gmsd workspaces", gmsd_ws_),
                bytes("backward stats", stats_),
                bytes("grad_x", grad_x_),
                bytes("grad_y", grad_y_),
                bytes("cs backward stats", cs_stats_),
                bytes("cs grad_x", cs_grad_x_)};
    }

    // NaN in every output, so that a result left unwritten shows.
    void poison() {
        for (auto* d : {&pixel_out_, &pixel_ws_, &ssim_out_, &ssim_ws_, &cs_out_, &cs_ws_, &gmsd_out_, &gmsd_ws_}) {
            d->poison();
        }
        for (auto* f : {&map_, &stats_, &grad_x_, &grad_y_, &cs_stats_, &cs_grad_x_}) f->poison();
    }

private:
    static std::vector<float> random_floats(unsigned seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(0.0f, 1.0f);
        std::vector<float> v(kPixels);
        for (float& f : v) f = u(rng);
        return v;
    }

    template <class T>
    static Output bytes(const char* name, const DeviceBuffer<T>& b) {
        const std::vector<T> v = b.download();
        Output o{name, std::vector<unsigned char>(v.size() * sizeof(T))};
        if (!v.empty()) std::memcpy(o.bytes.data(), v.data(), o.bytes.size());
        return o;
    }

    int tiles_ = 0, blocks_ = 0, gmsd_tiles_ = 0;
    DeviceBuffer<float> x_, y_;
    DeviceBuffer<float> window_{std::vector<float>{0.1f, 0.2f, 0.35f, 0.25f, 0.1f}};
    DeviceBuffer<float> grad_mean_{std::vector<float>{1.0f}};
    DeviceBuffer<float> grad_planes_{std::vector<float>{1, -2, 0.5f, 3}};
    DeviceBuffer<double> pixel_ws_, ssim_ws_, cs_ws_, gmsd_ws_;
    DeviceBuffer<double> pixel_out_{kPlanes + 1}, ssim_out_{kBatch + 1}, cs_out_{2 * kPlanes}, gmsd_out_{2 * kBatch};
    DeviceBuffer<float> map_{kWindows}, stats_{4 * kWindows}, cs_stats_{3 * kWindows};
    DeviceBuffer<float> grad_x_{kPixels}, grad_y_{kPixels}, cs_grad_x_{kPixels};
};

// Every output of `got` has the bytes of the same output of `expected`; a failure names the output and the
// first differing byte.
inline ::testing::AssertionResult same_outputs(const std::vector<EntryWorkload::Output>& expected,
                                               const std::vector<EntryWorkload::Output>& got) {
    if (expected.size() != got.size()) return ::testing::AssertionFailure() << "different numbers of outputs";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& e = expected[i].bytes;
        const auto& g = got[i].bytes;
        if (e == g) continue;
        std::size_t at = 0;
        while (at < e.size() && at < g.size() && e[at] == g[at]) ++at;
        return ::testing::AssertionFailure() << expected[i].name << " differs from byte " << at << " of " << e.size();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace kivo_test
