// Plain double-precision reference of GMSD: the working image (optionally 2 x 2 averaged), Prewitt gradients
// on every interior 3 x 3 neighbourhood, the similarity map, and per image the mean and the population
// deviation of the maps of its planes.
#pragma once

#include <cmath>
#include <vector>

namespace kivo_test {

// One plane's GMS map, out_height x out_width values, row-major.
struct GmsMap {
    int out_height = 0, out_width = 0;
    std::vector<double> values;
    double at(int r, int col) const { return values[std::size_t(r) * out_width + col]; }
};

inline GmsMap gms_map(const double* x, const double* y, int height, int width, bool downsample, double c,
                      double eps) {
    const int wh = downsample ? height / 2 : height, ww = downsample ? width / 2 : width;
    auto working = [&](const double* plane, int r, int col) {
        if (!downsample) return plane[std::size_t(r) * width + col];
        const double* p = plane + std::size_t(2 * r) * width + 2 * col;
        return (p[0] + p[1] + p[width] + p[width + 1]) / 4.0;
    };
    auto magnitude = [&](const double* plane, int r, int col) {
        double gx = 0.0, gy = 0.0;
        for (int i = 0; i < 3; ++i) {
            gx += working(plane, r + i, col) - working(plane, r + i, col + 2);
            gy += working(plane, r, col + i) - working(plane, r + 2, col + i);
        }
        return std::sqrt((gx / 3) * (gx / 3) + (gy / 3) * (gy / 3) + eps);
    };
    GmsMap m{wh - 2, ww - 2, {}};
    for (int r = 0; r < m.out_height; ++r) {
        for (int col = 0; col < m.out_width; ++col) {
            const double mx = magnitude(x, r, col), my = magnitude(y, r, col);
            m.values.push_back((2.0 * mx * my + c) / (mx * mx + my * my + c));
        }
    }
    return m;
}

struct GmsdReference {
    std::vector<GmsMap> maps;        // one per plane
    std::vector<double> mean, gmsd;  // one per image
};

// x and y hold batch x channels planes of height x width sample values.
inline GmsdReference gmsd_reference(const std::vector<double>& x, const std::vector<double>& y, int batch,
                                    int channels, int height, int width, bool downsample, double c, double eps) {
    GmsdReference ref;
    const std::size_t plane_size = std::size_t(height) * width;
    for (int p = 0; p < batch * channels; ++p) {
        ref.maps.push_back(gms_map(&x[p * plane_size], &y[p * plane_size], height, width, downsample, c, eps));
    }
    for (int b = 0; b < batch; ++b) {
        const auto first = ref.maps.begin() + b * channels, last = first + channels;
        double sum = 0.0, n = 0.0, squares = 0.0;
        for (auto m = first; m != last; ++m) {
            for (double g : m->values) sum += g;
            n += double(m->values.size());
        }
        const double mean = sum / n;
        for (auto m = first; m != last; ++m) {
            for (double g : m->values) squares += (g - mean) * (g - mean);
        }
        ref.mean.push_back(mean);
        ref.gmsd.push_back(std::sqrt(squares / n));
    }
    return ref;
}

}  // namespace kivo_test
