// Double-precision reference of SSIM and its contrast-structure term: direct weighted sums over every valid
// window of every plane, from the samples as the kernels read them (widened to float32) and the constants
// as they reach the kernels (narrowed to float32).
#pragma once

#include <cmath>
#include <vector>

namespace kivo_test {

struct SsimReference {
    std::vector<double> ssim, cs;  // per window, planes x Ho x Wo
    int out_height = 0, out_width = 0;

    double plane_mean(const std::vector<double>& map, int plane) const {
        const std::size_t n = std::size_t(out_height) * out_width;
        double sum = 0.0;
        for (std::size_t i = plane * n; i < (plane + 1) * n; ++i) sum += map[i];
        return sum / double(n);
    }
};

inline std::vector<float> gaussian_window(int win, double sigma) {
    std::vector<float> w(win);
    double total = 0.0;
    for (int i = 0; i < win; ++i) total += std::exp(-0.5 * std::pow((i - (win - 1) / 2.0) / sigma, 2));
    for (int i = 0; i < win; ++i) w[i] = float(std::exp(-0.5 * std::pow((i - (win - 1) / 2.0) / sigma, 2)) / total);
    return w;
}

inline SsimReference ssim_reference(const std::vector<double>& x, const std::vector<double>& y, int planes,
                                    int height, int width, const std::vector<float>& window, double shift,
                                    double c1, double c2) {
    const int win = int(window.size());
    SsimReference r;
    r.out_height = height - win + 1;
    r.out_width = width - win + 1;
    const double s = float(shift), k1 = float(c1), k2 = float(c2);
    for (int p = 0; p < planes; ++p) {
        for (int i = 0; i < r.out_height; ++i) {
            for (int j = 0; j < r.out_width; ++j) {
                double mx = 0, my = 0, exy = 0, edd = 0;
                for (int a = 0; a < win; ++a) {
                    for (int b = 0; b < win; ++b) {
                        const std::size_t k = (std::size_t(p) * height + i + a) * width + j + b;
                        const double w = double(window[a]) * window[b];
                        const double xs = float(x[k]) - s, ys = float(y[k]) - s;
                        mx += w * xs;
                        my += w * ys;
                        exy += w * xs * ys;
                        edd += w * (xs - ys) * (xs - ys);
                    }
                }
                const double mux = mx + s, muy = my + s;
                const double sxy = exy - mx * my;
                const double var_sum = 2 * sxy + edd - (mx - my) * (mx - my);
                const double a1 = 2 * mux * muy + k1, a2 = 2 * sxy + k2;
                const double b1 = mux * mux + muy * muy + k1, b2 = var_sum + k2;
                r.ssim.push_back(a1 * a2 / (b1 * b2));
                r.cs.push_back(a2 / b2);
            }
        }
    }
    return r;
}

}  // namespace kivo_test
