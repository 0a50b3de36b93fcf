// Plain double-precision reference of the pixel errors: whole-array loops over the sample values.
#pragma once

#include <cmath>
#include <vector>

namespace kivo_test {

inline double pixel_term_reference(int op, double d, double p) {
    const double a = std::fabs(d);
    switch (op) {
        case 0: return d * d;
        case 1: return a;
        case 2: return std::sqrt(d * d + p);
        default: return a < p ? 0.5 * d * d : p * (a - 0.5 * p);
    }
}

struct PixelReference {
    std::vector<double> plane_means;
    double overall_mean;
};

inline PixelReference pixel_reference(const std::vector<double>& x, const std::vector<double>& y, long planes,
                                      long plane_size, int op, double p) {
    PixelReference r{std::vector<double>(planes), 0.0};
    double total = 0.0;
    for (long q = 0; q < planes; ++q) {
        double sum = 0.0;
        for (long i = q * plane_size; i < (q + 1) * plane_size; ++i) sum += pixel_term_reference(op, x[i] - y[i], p);
        r.plane_means[q] = sum / plane_size;
        total += sum;
    }
    r.overall_mean = total / (double(planes) * plane_size);
    return r;
}

}  // namespace kivo_test
