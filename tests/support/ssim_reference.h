// Double-precision reference of SSIM and its contrast-structure term: direct weighted sums over every valid
// window of every plane, from the samples as the kernels read them (widened to float32) and the constants
// as they reach the kernels (narrowed to float32).
#pragma once

#include <algorithm>
#include <cmath>
#include <utility>
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

// SSIM and cs of single windows of planar images, in double precision, from the samples as the kernels
// read them (widened to float32) and the constants as they reach the kernels (narrowed to float32).
struct SsimFunction {
    const std::vector<double>* x;
    const std::vector<double>* y;
    int height, width;
    std::vector<float> window;
    double shift, c1, c2;

    int win() const { return int(window.size()); }
    int out_height() const { return height - win() + 1; }
    int out_width() const { return width - win() + 1; }

    // {SSIM, cs} of the window with top-left sample (r, c) of plane p.
    std::pair<double, double> at(int p, int r, int c) const {
        const double s = float(shift), k1 = float(c1), k2 = float(c2);
        double mx = 0, my = 0, exy = 0, edd = 0;
        for (int a = 0; a < win(); ++a) {
            for (int b = 0; b < win(); ++b) {
                const std::size_t k = (std::size_t(p) * height + r + a) * width + c + b;
                const double w = double(window[a]) * window[b];
                const double xs = double(float((*x)[k])) - s, ys = double(float((*y)[k])) - s;
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
        return {a1 * a2 / (b1 * b2), a2 / b2};
    }
};

inline SsimReference ssim_reference(const std::vector<double>& x, const std::vector<double>& y, int planes,
                                    int height, int width, const std::vector<float>& window, double shift,
                                    double c1, double c2) {
    const SsimFunction f{&x, &y, height, width, window, shift, c1, c2};
    SsimReference r;
    r.out_height = f.out_height();
    r.out_width = f.out_width();
    for (int p = 0; p < planes; ++p) {
        for (int i = 0; i < r.out_height; ++i) {
            for (int j = 0; j < r.out_width; ++j) {
                const auto [ssim, cs] = f.at(p, i, j);
                r.ssim.push_back(ssim);
                r.cs.push_back(cs);
            }
        }
    }
    return r;
}

// Gradient of L = sum over planes p and windows (r, c) of ws(p, r, c) SSIM + wc(p) cs with respect to every
// sample of x (or y), by central differences over the windows that hold the sample.
template <class SsimWeight, class CsWeight>
std::vector<double> ssim_loss_gradient(std::vector<double> x, std::vector<double> y, int planes, const SsimFunction& f0,
                                       bool of_x, SsimWeight ws, CsWeight wc) {
    SsimFunction f = f0;
    f.x = &x;
    f.y = &y;
    std::vector<double>& v = of_x ? x : y;
    std::vector<double> grad(v.size());
    const int win = f.win();
    const double h = 1.0 / 65536;  // samples are multiples of 1/256: x +- h stays exact in float32
    for (int p = 0; p < planes; ++p) {
        for (int i = 0; i < f.height; ++i) {
            for (int j = 0; j < f.width; ++j) {
                const std::size_t k = (std::size_t(p) * f.height + i) * f.width + j;
                auto loss = [&] {
                    double sum = 0;
                    for (int r = std::max(0, i - win + 1); r <= std::min(i, f.out_height() - 1); ++r) {
                        for (int c = std::max(0, j - win + 1); c <= std::min(j, f.out_width() - 1); ++c) {
                            const auto [ssim, cs] = f.at(p, r, c);
                            sum += ws(p, r, c) * ssim + wc(p) * cs;
                        }
                    }
                    return sum;
                };
                const double keep = v[k];
                v[k] = keep + h;
                const double up = loss();
                v[k] = keep - h;
                const double down = loss();
                v[k] = keep;
                grad[k] = (up - down) / (2 * h);
            }
        }
    }
    return grad;
}

// Largest difference from the reference, relative to the reference's largest magnitude.
inline double relative_max_error(const std::vector<float>& got, const std::vector<double>& want) {
    double scale = 0, worst = 0;
    for (double w : want) scale = std::max(scale, std::fabs(w));
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (!std::isfinite(got[i])) return INFINITY;
        worst = std::max(worst, std::fabs(got[i] - want[i]));
    }
    return worst / scale;
}

}  // namespace kivo_test
