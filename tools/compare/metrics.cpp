#include "metrics.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace kivo_compare {
namespace {

// Weights of the five MS-SSIM scales, finest first.
constexpr double kMsSsimWeights[] = {0.0448, 0.2856, 0.3001, 0.2363, 0.1333};
constexpr int kMsSsimScales = 5;

std::string size_text(int width, int height) { return std::to_string(width) + " x " + std::to_string(height); }

// Both images of one scale, converted to the element type, in device memory.
struct DevicePair {
    DevicePair(const Backend& backend, const Planes& x, const Planes& y, int dtype)
        : shape{x.channels, x.height, x.width, {}},
          bytes(x.values.size() * dtype_by_code(dtype).size),
          x_buffer(backend, bytes),
          y_buffer(backend, bytes) {
        x_buffer.upload(encode(x.values, dtype).data(), bytes);
        y_buffer.upload(encode(y.values, dtype).data(), bytes);
    }
    const void* x() const { return x_buffer.as<void>(); }
    const void* y() const { return y_buffer.as<void>(); }

    Planes shape;  // no values
    std::size_t bytes;
    DeviceBuffer x_buffer, y_buffer;
};

struct SsimParameters {
    int dtype;
    int taps;
    double shift, c1, c2;
    const DeviceBuffer* window;
    kivo_cuda_ssim_options options;
};

// Mean SSIM and mean contrast-structure term of each channel of one scale.
struct PlaneMeans {
    std::vector<double> ssim, cs;
};

PlaneMeans ssim_cs(const Backend& backend, const DevicePair& pair, const SsimParameters& p) {
    const Planes& s = pair.shape;
    int tiles = 0;
    backend.ssim_workspace_ex(s.height, s.width, p.taps, &p.options, &tiles);
    const std::size_t slots = std::size_t(s.channels) * std::size_t(tiles);
    DeviceBuffer partials(backend, slots * sizeof(double)), partials_cs(backend, slots * sizeof(double));
    DeviceBuffer out_ssim(backend, s.channels * sizeof(double)), out_cs(backend, s.channels * sizeof(double));
    backend.ssim_cs_ex(pair.x(), pair.y(), p.dtype, 1, s.channels, s.height, s.width, p.shift, p.c1, p.c2,
                    p.window->as<float>(), p.taps, &p.options, partials.as<double>(), partials_cs.as<double>(), tiles,
                    out_ssim.as<double>(), out_cs.as<double>(), -1, nullptr);
    backend.synchronize("kivo_cuda_ssim_cs");
    return {out_ssim.download<double>(s.channels), out_cs.download<double>(s.channels)};
}

Planes ssim_map(const Backend& backend, const DevicePair& pair, const SsimParameters& p) {
    const Planes& s = pair.shape;
    int tiles = 0;
    backend.ssim_workspace_ex(s.height, s.width, p.taps, &p.options, &tiles);
    const int shrink = p.options.padding == KIVO_CUDA_PAD_VALID ? p.taps - 1 : 0;
    Planes map{s.channels, s.height - shrink, s.width - shrink, {}};
    const std::size_t count = map.channels * map.plane_size();
    DeviceBuffer partials(backend, std::size_t(s.channels) * tiles * sizeof(double));
    DeviceBuffer values(backend, count * sizeof(float));
    backend.ssim_ex(pair.x(), pair.y(), p.dtype, 1, s.channels, s.height, s.width, p.shift, p.c1, p.c2,
                 p.window->as<float>(), p.taps, &p.options, values.as<float>(), partials.as<double>(), tiles, nullptr, nullptr,
                 -1, nullptr);
    backend.synchronize("kivo_cuda_ssim");
    const std::vector<float> floats = values.download<float>(count);
    map.values.assign(floats.begin(), floats.end());
    return map;
}

// Mean error of each plane and of all planes for one pixel op, and with decibels the PSNR-style values.
struct PixelMeans {
    std::vector<double> plane, log_plane;
    double all = 0, log_all = 0;
};

PixelMeans pixel_reduce(const Backend& backend, const DevicePair& pair, int dtype, int op, double log_offset) {
    const Planes& s = pair.shape;
    const long planes = s.channels, plane_size = long(s.plane_size());
    int blocks = 0;
    backend.pixel_workspace(planes, plane_size, -1, &blocks);
    DeviceBuffer partials(backend, std::size_t(planes) * blocks * sizeof(double));
    DeviceBuffer out_plane(backend, planes * sizeof(double)), out_log_plane(backend, planes * sizeof(double));
    DeviceBuffer out_all(backend, sizeof(double)), out_log_all(backend, sizeof(double));
    backend.pixel_reduce(pair.x(), pair.y(), dtype, planes, plane_size, op, 0.0, log_offset, partials.as<double>(),
                         blocks, out_plane.as<double>(), out_all.as<double>(), out_log_plane.as<double>(),
                         out_log_all.as<double>(), -1, nullptr);
    backend.synchronize("kivo_cuda_pixel_reduce");
    PixelMeans m{out_plane.download<double>(planes), {}, out_all.download<double>(1)[0], 0};
    if (log_offset != KIVO_CUDA_NO_DECIBELS) {
        m.log_plane = out_log_plane.download<double>(planes);
        m.log_all = out_log_all.download<double>(1)[0];
    }
    return m;
}

Planes scaled(const Planes& planes, double factor) {
    Planes out = planes;
    for (double& v : out.values) v *= factor;
    return out;
}

double mean(const std::vector<Values>& rows, std::optional<double> Values::*metric) {
    double sum = 0;
    for (const Values& row : rows) sum += *(row.*metric);
    return sum / double(rows.size());
}

bool wants_ssim(const Settings& s) { return (s.metrics & (kSsim | kMsSsim)) != 0 || s.map; }

// The working units of one comparison: 16-bit samples work in [0, 1] so that every element type holds
// them, and `unit` converts errors back to the file's units.
struct Units {
    double unit;   // file units per working unit
    double range;  // the data range in working units
};

void add_pixel_errors(const Backend& backend, const DevicePair& pair, const Settings& settings, Units u, Results& r) {
    const unsigned metrics = settings.metrics;
    const int channels = pair.shape.channels;
    if (metrics & (kPsnr | kMse)) {
        const PixelMeans m = pixel_reduce(backend, pair, settings.dtype, KIVO_CUDA_PIXEL_SQUARED,
                                          10 * std::log10(u.range * u.range));
        for (int c = 0; c < channels; ++c) {
            if (metrics & kMse) r.channels[c].mse = m.plane[c] * u.unit * u.unit;
            if (metrics & kPsnr) r.channels[c].psnr = m.log_plane[c];
        }
        if (metrics & kMse) r.image.mse = m.all * u.unit * u.unit;
        if (metrics & kPsnr) r.image.psnr = m.log_all;
    }
    if (metrics & kMae) {
        const PixelMeans m =
            pixel_reduce(backend, pair, settings.dtype, KIVO_CUDA_PIXEL_ABSOLUTE, KIVO_CUDA_NO_DECIBELS);
        for (int c = 0; c < channels; ++c) r.channels[c].mae = m.plane[c] * u.unit;
        r.image.mae = m.all * u.unit;
    }
}

// SSIM, MS-SSIM and the map; `x` and `y` are the working values that `pair` holds.
void add_structure(const Backend& backend, const DevicePair& pair, const Planes& x, const Planes& y,
                   const Settings& settings, Units u, Results& r) {
    const std::vector<float> weights = gaussian_window(settings.window, settings.sigma);
    DeviceBuffer window(backend, weights.size() * sizeof(float));
    window.upload(weights.data(), weights.size() * sizeof(float));
    const double k1 = 0.01 * u.range, k2 = 0.03 * u.range;
    const double taps = double(settings.window) * settings.window;
    const double factor = settings.sample_covariance ? taps / (taps - 1) : 1.0;
    const SsimParameters p{settings.dtype, settings.window, u.range / 2, k1 * k1, k2 * k2, &window,
                           kivo_cuda_ssim_options{settings.padding, factor}};
    const unsigned metrics = settings.metrics;
    const int channels = x.channels;

    const int least = settings.window << (kMsSsimScales - 1);
    const bool ms_ssim = (metrics & kMsSsim) && x.width >= least && x.height >= least;
    if ((metrics & kMsSsim) && !ms_ssim)
        r.notes.push_back("no MS-SSIM: its five scales need at least " + size_text(least, least) +
                          " pixels with a window of " + std::to_string(settings.window) + " taps; the images are " +
                          size_text(x.width, x.height));
    if (metrics & (kSsim | kMsSsim)) {
        std::vector<double> product(channels, 1.0);
        Planes xs = x, ys = y;
        std::unique_ptr<DevicePair> coarser;
        for (int scale = 0; scale < (ms_ssim ? kMsSsimScales : 1); ++scale) {
            if (scale > 0) {
                xs = downsample(xs);
                ys = downsample(ys);
                coarser = std::make_unique<DevicePair>(backend, xs, ys, settings.dtype);
            }
            const PlaneMeans m = ssim_cs(backend, scale == 0 ? pair : *coarser, p);
            for (int c = 0; c < channels; ++c) {
                if (scale == 0 && (metrics & kSsim)) r.channels[c].ssim = m.ssim[c];
                // Contrast-structure at the finer scales, SSIM at the coarsest; negative values count as 0.
                const double term = scale == kMsSsimScales - 1 ? m.ssim[c] : m.cs[c];
                product[c] *= std::pow(std::max(term, 0.0), kMsSsimWeights[scale]);
            }
        }
        for (int c = 0; c < channels && ms_ssim; ++c) r.channels[c].ms_ssim = product[c];
        if (metrics & kSsim) r.image.ssim = mean(r.channels, &Values::ssim);
        if (ms_ssim) r.image.ms_ssim = mean(r.channels, &Values::ms_ssim);
    }
    if (settings.map) r.map = ssim_map(backend, pair, p);
}

void add_gmsd(const Backend& backend, const Planes& x, const Planes& y, const Settings& settings, Units u,
              Results& r) {
    if (x.width / 2 < 3 || x.height / 2 < 3) {
        r.notes.push_back("no GMSD: it needs at least 6 x 6 pixels; the images are " + size_text(x.width, x.height));
        return;
    }
    const DevicePair grey(backend, luma(x), luma(y), settings.dtype);
    int tiles = 0;
    backend.gmsd_workspace(x.height, x.width, 1, &tiles);
    DeviceBuffer partials(backend, tiles * sizeof(double)), partials_sq(backend, tiles * sizeof(double));
    DeviceBuffer out_mean(backend, sizeof(double)), out_gmsd(backend, sizeof(double));
    const double c = 170.0 * (u.range / 255.0) * (u.range / 255.0);  // 170 for samples of 0..255
    backend.gmsd(grey.x(), grey.y(), settings.dtype, 1, 1, x.height, x.width, 1, c, 0.0, partials.as<double>(),
                 partials_sq.as<double>(), tiles, out_mean.as<double>(), out_gmsd.as<double>(), -1, nullptr);
    backend.synchronize("kivo_cuda_gmsd");
    r.image.gmsd = out_gmsd.download<double>(1)[0];
}

}  // namespace

std::vector<float> gaussian_window(int taps, double sigma) {
    std::vector<double> w(taps);
    double sum = 0;
    for (int i = 0; i < taps; ++i) {
        const double d = i - (taps - 1) / 2.0;
        w[i] = std::exp(-d * d / (2 * sigma * sigma));
        sum += w[i];
    }
    std::vector<float> weights(taps);
    for (int i = 0; i < taps; ++i) weights[i] = static_cast<float>(w[i] / sum);
    return weights;
}

void check_pair(const Image& a, const Image& b, const Settings& settings) {
    const Planes &pa = a.planes, &pb = b.planes;
    if (pa.width != pb.width || pa.height != pb.height)
        throw Failure("the images differ in size: '" + a.path + "' is " + size_text(pa.width, pa.height) + ", '" +
                      b.path + "' is " + size_text(pb.width, pb.height));
    if (pa.channels != pb.channels)
        throw Failure("the images differ in colour: '" + a.path + "' is " + colour_name(pa.channels) + ", '" +
                      b.path + "' is " + colour_name(pb.channels));
    if (a.bits != b.bits)
        throw Failure("the images differ in bit depth: '" + a.path + "' has " + std::to_string(a.bits) +
                      " bits per sample, '" + b.path + "' has " + std::to_string(b.bits));
    if (settings.dtype == KIVO_CUDA_DTYPE_U8 && a.bits == 16)
        throw Failure("--dtype u8 cannot hold the 16-bit samples of '" + a.path + "'; use f16, bf16, f32 or f64");
    // The same-size paddings check their smaller least sizes in the library.
    if (wants_ssim(settings) && settings.padding == KIVO_CUDA_PAD_VALID &&
        (pa.width < settings.window || pa.height < settings.window))
        throw Failure("the images (" + size_text(pa.width, pa.height) + ") are smaller than the " +
                      size_text(settings.window, settings.window) + " SSIM window");
}

Results compare(const Backend& backend, const Image& reference, const Image& distorted, const Settings& settings) {
    Results r;
    r.data_range = settings.data_range.value_or(reference.bits == 16 ? 65535.0 : 255.0);
    const double unit = reference.bits == 16 ? 65535.0 : 1.0;
    const Units u{unit, r.data_range / unit};
    const Planes x = scaled(reference.planes, 1 / unit), y = scaled(distorted.planes, 1 / unit);
    r.channels.resize(x.channels);
    const DevicePair pair(backend, x, y, settings.dtype);

    add_pixel_errors(backend, pair, settings, u, r);
    if (wants_ssim(settings)) add_structure(backend, pair, x, y, settings, u, r);
    if (settings.metrics & kGmsd) add_gmsd(backend, x, y, settings, u, r);
    return r;
}

}  // namespace kivo_compare
