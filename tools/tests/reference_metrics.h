// The metrics in plain double precision, straight from their definitions, to check kivo-compare against:
// SSIM by direct sums over every valid Gaussian window, MS-SSIM over five 2 x 2-averaged scales, GMSD with
// Prewitt gradients on 2 x 2-averaged luma, and the pixel errors.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "test_images.h"

namespace kivo_tool_test {

struct Plane {
    int height = 0, width = 0;
    std::vector<double> v;
    double at(int r, int j) const { return v[std::size_t(r) * width + j]; }
};

inline Plane plane_of(const TestImage& im, int c) {
    const std::size_t n = std::size_t(im.height) * im.width;
    return Plane{im.height, im.width, std::vector<double>(im.v.begin() + c * n, im.v.begin() + (c + 1) * n)};
}

inline Plane half_size(const Plane& p) {
    Plane out{p.height / 2, p.width / 2, {}};
    for (int r = 0; r < out.height; ++r)
        for (int j = 0; j < out.width; ++j)
            out.v.push_back(0.25 * (p.at(2 * r, 2 * j) + p.at(2 * r, 2 * j + 1) + p.at(2 * r + 1, 2 * j) +
                                    p.at(2 * r + 1, 2 * j + 1)));
    return out;
}

struct SsimReference {
    double ssim = 0, cs = 0;  // means over the valid windows
    Plane map;                // SSIM of each window
};

inline SsimReference ssim_reference(const Plane& x, const Plane& y, int taps, double sigma, double range) {
    std::vector<double> w(taps);
    double total = 0;
    for (int i = 0; i < taps; ++i) total += w[i] = std::exp(-std::pow(i - (taps - 1) / 2.0, 2) / (2 * sigma * sigma));
    for (double& v : w) v /= total;
    const double c1 = std::pow(0.01 * range, 2), c2 = std::pow(0.03 * range, 2);
    SsimReference out;
    out.map = Plane{x.height - taps + 1, x.width - taps + 1, {}};
    for (int r = 0; r < out.map.height; ++r)
        for (int j = 0; j < out.map.width; ++j) {
            double mx = 0, my = 0, xx = 0, yy = 0, xy = 0;
            for (int a = 0; a < taps; ++a)
                for (int b = 0; b < taps; ++b) {
                    const double k = w[a] * w[b], p = x.at(r + a, j + b), q = y.at(r + a, j + b);
                    mx += k * p;
                    my += k * q;
                    xx += k * p * p;
                    yy += k * q * q;
                    xy += k * p * q;
                }
            const double vx = xx - mx * mx, vy = yy - my * my, cov = xy - mx * my;
            const double cs = (2 * cov + c2) / (vx + vy + c2);
            const double ssim = (2 * mx * my + c1) / (mx * mx + my * my + c1) * cs;
            out.map.v.push_back(ssim);
            out.ssim += ssim;
            out.cs += cs;
        }
    out.ssim /= double(out.map.v.size());
    out.cs /= double(out.map.v.size());
    return out;
}

// `store` maps each value of the coarser scales to what the element type they are kept in holds; the
// averages themselves are taken from the exact values of the scale above.
inline double ms_ssim_reference(Plane x, Plane y, int taps, double sigma, double range,
                                double (*store)(double) = nullptr) {
    const double weights[5] = {0.0448, 0.2856, 0.3001, 0.2363, 0.1333};
    double product = 1;
    for (int scale = 0; scale < 5; ++scale) {
        if (scale > 0) {
            x = half_size(x);
            y = half_size(y);
        }
        Plane xs = x, ys = y;
        if (store != nullptr && scale > 0)
            for (Plane* p : {&xs, &ys})
                for (double& v : p->v) v = store(v);
        const SsimReference s = ssim_reference(xs, ys, taps, sigma, range);
        product *= std::pow(std::max(scale == 4 ? s.ssim : s.cs, 0.0), weights[scale]);
    }
    return product;
}

inline Plane luma_of(const TestImage& im) {
    if (im.channels == 1) return plane_of(im, 0);
    const Plane r = plane_of(im, 0), g = plane_of(im, 1), b = plane_of(im, 2);
    Plane y{im.height, im.width, {}};
    for (std::size_t i = 0; i < r.v.size(); ++i) y.v.push_back(0.299 * r.v[i] + 0.587 * g.v[i] + 0.114 * b.v[i]);
    return y;
}

inline double gmsd_reference(const TestImage& a, const TestImage& b, double range) {
    const Plane x = half_size(luma_of(a)), y = half_size(luma_of(b));
    const double c = 170 * std::pow(range / 255, 2);
    auto magnitude = [](const Plane& p, int r, int j) {
        double gx = 0, gy = 0;
        for (int k = 0; k < 3; ++k) {
            gx += (p.at(r + k, j) - p.at(r + k, j + 2)) / 3;
            gy += (p.at(r, j + k) - p.at(r + 2, j + k)) / 3;
        }
        return std::sqrt(gx * gx + gy * gy);
    };
    std::vector<double> gms;
    for (int r = 0; r + 2 < x.height; ++r)
        for (int j = 0; j + 2 < x.width; ++j) {
            const double mx = magnitude(x, r, j), my = magnitude(y, r, j);
            gms.push_back((2 * mx * my + c) / (mx * mx + my * my + c));
        }
    double mean = 0, deviation = 0;
    for (double g : gms) mean += g;
    mean /= double(gms.size());
    for (double g : gms) deviation += (g - mean) * (g - mean);
    return std::sqrt(deviation / double(gms.size()));
}

struct PixelReference {
    double mse = 0, mae = 0;
};

inline PixelReference pixel_reference(const Plane& x, const Plane& y) {
    PixelReference p;
    for (std::size_t i = 0; i < x.v.size(); ++i) {
        p.mse += (x.v[i] - y.v[i]) * (x.v[i] - y.v[i]);
        p.mae += std::fabs(x.v[i] - y.v[i]);
    }
    p.mse /= double(x.v.size());
    p.mae /= double(x.v.size());
    return p;
}

inline double psnr(double mse, double range) { return 10 * std::log10(range * range / mse); }

}  // namespace kivo_tool_test
