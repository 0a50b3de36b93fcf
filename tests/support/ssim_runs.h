// Calls of the SSIM entries with every buffer allocated, poisoned first and read back afterwards.
#pragma once

#include <vector>

#include "kivo_cuda.h"
#include "support/device_buffer.h"

namespace kivo_test {

struct SsimCall {
    int batch = 1, channels = 1, height = 0, width = 0;
    double shift = 0.0, c1 = 0.0, c2 = 0.0;
    std::vector<float> window;
};

struct SsimResult {
    int status = 0;
    std::vector<float> map;
    std::vector<double> partials, image;
    double batch = 0.0;
};

struct CsResult {
    int status = 0;
    std::vector<double> partials, partials_cs, ssim, cs;
};

inline int ssim_tiles(const SsimCall& c) {
    int tiles = 0;
    EXPECT_EQ(kivo_cuda_ssim_workspace(c.height, c.width, int(c.window.size()), &tiles), 0);
    return tiles;
}

inline SsimResult run_ssim(const void* x, const void* y, int dtype, const SsimCall& c, bool with_map) {
    const int win = int(c.window.size());
    const int planes = c.batch * c.channels;
    const int tiles = ssim_tiles(c);
    DeviceBuffer<float> window(c.window);
    DeviceBuffer<float> map(with_map ? std::size_t(planes) * (c.height - win + 1) * (c.width - win + 1) : 0);
    DeviceBuffer<double> partials(std::size_t(planes) * tiles), image(c.batch), batch(1);
    map.poison();
    partials.poison();
    image.poison();
    batch.poison();
    SsimResult r;
    r.status = kivo_cuda_ssim(x, y, dtype, c.batch, c.channels, c.height, c.width, c.shift, c.c1, c.c2,
                              window.data(), win, with_map ? map.data() : nullptr, partials.data(), tiles,
                              image.data(), batch.data(), -1, nullptr);
    r.map = map.download();
    r.partials = partials.download();
    r.image = image.download();
    r.batch = batch.download()[0];
    return r;
}

inline CsResult run_ssim_cs(const void* x, const void* y, int dtype, const SsimCall& c) {
    const int win = int(c.window.size());
    const int planes = c.batch * c.channels;
    const int tiles = ssim_tiles(c);
    DeviceBuffer<float> window(c.window);
    DeviceBuffer<double> partials(std::size_t(planes) * tiles), partials_cs(std::size_t(planes) * tiles);
    DeviceBuffer<double> ssim(planes), cs(planes);
    partials.poison();
    partials_cs.poison();
    ssim.poison();
    cs.poison();
    CsResult r;
    r.status = kivo_cuda_ssim_cs(x, y, dtype, c.batch, c.channels, c.height, c.width, c.shift, c.c1, c.c2,
                                 window.data(), win, partials.data(), partials_cs.data(), tiles, ssim.data(),
                                 cs.data(), -1, nullptr);
    r.partials = partials.download();
    r.partials_cs = partials_cs.download();
    r.ssim = ssim.download();
    r.cs = cs.download();
    return r;
}

}  // namespace kivo_test
