// kivo-make-examples [DIR]: renders the sample pair in DIR (default examples/): reference.png, a synthetic
// scene of gradients, hard-edged shapes, a ring pattern, rows of text-like glyphs and a little grain, and
// distorted.png, the same scene with a different distortion in each third: Gaussian blur on the left,
// noise in the middle, JPEG-like 8 x 8 block quantisation on the right. 256 x 192 RGB, so that MS-SSIM's
// five scales fit an 11-tap window. Deterministic: the output depends only on this file.
#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 256, kHeight = 192, kChannels = 3;
constexpr int kBlurEnd = 88, kNoiseEnd = 176;  // band edges, multiples of 8
const double kPi = std::acos(-1.0);

struct Scene {
    std::vector<double> v = std::vector<double>(std::size_t(kWidth) * kHeight * kChannels);  // interleaved
    double& at(int x, int y, int c) { return v[(std::size_t(y) * kWidth + x) * kChannels + c]; }
    double at(int x, int y, int c) const { return v[(std::size_t(y) * kWidth + x) * kChannels + c]; }
};

// Uniform in (0, 1) and standard normal values from the fully specified mt19937 sequence.
class Random {
public:
    explicit Random(unsigned seed) : engine_(seed) {}
    double uniform() { return (double(engine_()) + 0.5) / 4294967296.0; }
    double normal() { return std::sqrt(-2 * std::log(uniform())) * std::cos(2 * kPi * uniform()); }

private:
    std::mt19937 engine_;
};

void fill_rect(Scene& s, int x0, int y0, int x1, int y1, const double (&rgb)[3]) {
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            for (int c = 0; c < kChannels; ++c) s.at(x, y, c) = rgb[c];
}

Scene render_reference() {
    Scene s;
    Random random(2024);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const double fx = double(x) / kWidth, fy = double(y) / kHeight;
            const double glow = 70 * std::exp(-((fx - 0.78) * (fx - 0.78) + (fy - 0.22) * (fy - 0.22)) / 0.02);
            s.at(x, y, 0) = 40 + 150 * fx + glow;
            s.at(x, y, 1) = 60 + 110 * fy + 0.6 * glow;
            s.at(x, y, 2) = 190 - 90 * (fx + fy) / 2;
        }
    // Hard edges: a bar, a disc, a triangle.
    fill_rect(s, 12, 14, 76, 40, {30, 40, 110});
    const double orange[3] = {235, 140, 40}, green[3] = {50, 160, 70};
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            if ((x - 128) * (x - 128) + (y - 42) * (y - 42) < 26 * 26)
                for (int c = 0; c < kChannels; ++c) s.at(x, y, c) = orange[c];
            if (y >= 120 && y < 180 && std::abs(x - 216) * 2 < (y - 120) * 1.2)
                for (int c = 0; c < kChannels; ++c) s.at(x, y, c) = green[c];
        }
    // Rings whose frequency rises outwards.
    for (int y = 60; y < 116; ++y)
        for (int x = 184; x < 248; ++x) {
            const double r2 = (x - 216) * (x - 216) + (y - 88) * (y - 88);
            const double ring = 127.5 + 110 * std::cos(r2 / 60.0);
            for (int c = 0; c < kChannels; ++c) s.at(x, y, c) = ring;
        }
    // Three lines of text-like glyphs, 5 x 7 cells of 2 x 2 pixels, dark on a light panel.
    fill_rect(s, 8, 70, 172, 176, {225, 222, 210});
    for (int line = 0; line < 3; ++line)
        for (int glyph = 0; glyph < 13; ++glyph) {
            const int gx = 14 + glyph * 12, gy = 80 + line * 32;
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col) {
                    // Vertical strokes at the glyph's sides and horizontal ones at its top, middle or base,
                    // chosen at random, so that the shapes read like letters.
                    const bool stroke = (col == 0 || col == 4) ? random.uniform() < 0.8
                                        : (row == 0 || row == 3 || row == 6) ? random.uniform() < 0.6
                                                                           : random.uniform() < 0.1;
                    if (stroke) fill_rect(s, gx + 2 * col, gy + 2 * row, gx + 2 * col + 2, gy + 2 * row + 2, {25, 25, 35});
                }
        }
    for (double& v : s.v) v += 1.5 * random.normal();  // grain
    return s;
}

void blur_band(const Scene& in, Scene& out, int x_end, double sigma) {
    const int radius = int(std::ceil(3 * sigma));
    std::vector<double> w(2 * radius + 1);
    double sum = 0;
    for (int i = -radius; i <= radius; ++i) sum += w[i + radius] = std::exp(-i * i / (2 * sigma * sigma));
    for (double& v : w) v /= sum;
    Scene rows = in;  // horizontal pass, clamped at the image border
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < x_end; ++x)
            for (int c = 0; c < kChannels; ++c) {
                double acc = 0;
                for (int i = -radius; i <= radius; ++i)
                    acc += w[i + radius] * in.at(std::clamp(x + i, 0, kWidth - 1), y, c);
                rows.at(x, y, c) = acc;
            }
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < x_end; ++x)
            for (int c = 0; c < kChannels; ++c) {
                double acc = 0;
                for (int i = -radius; i <= radius; ++i) acc += w[i + radius] * rows.at(x, std::clamp(y + i, 0, kHeight - 1), c);
                out.at(x, y, c) = acc;
            }
}

// Orthonormal 8 x 8 DCT of each block, coefficients quantised with steps that grow with frequency.
void quantise_band(Scene& s, int x_begin) {
    double basis[8][8];
    for (int u = 0; u < 8; ++u)
        for (int x = 0; x < 8; ++x)
            basis[u][x] = (u == 0 ? std::sqrt(1.0 / 8) : std::sqrt(2.0 / 8)) * std::cos((2 * x + 1) * u * kPi / 16);
    for (int by = 0; by < kHeight; by += 8)
        for (int bx = x_begin; bx < kWidth; bx += 8)
            for (int c = 0; c < kChannels; ++c) {
                double f[8][8], g[8][8] = {};
                for (int v = 0; v < 8; ++v)
                    for (int u = 0; u < 8; ++u) {
                        double acc = 0;
                        for (int y = 0; y < 8; ++y)
                            for (int x = 0; x < 8; ++x) acc += basis[v][y] * basis[u][x] * (s.at(bx + x, by + y, c) - 128);
                        const double step = 10 + 7 * (u + v);
                        f[v][u] = std::nearbyint(acc / step) * step;
                    }
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        for (int v = 0; v < 8; ++v)
                            for (int u = 0; u < 8; ++u) g[y][x] += basis[v][y] * basis[u][x] * f[v][u];
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x) s.at(bx + x, by + y, c) = g[y][x] + 128;
            }
}

Scene distort(const Scene& reference) {
    Scene s = reference;
    blur_band(reference, s, kBlurEnd, 1.2);
    Random random(7);
    for (int y = 0; y < kHeight; ++y)
        for (int x = kBlurEnd; x < kNoiseEnd; ++x)
            for (int c = 0; c < kChannels; ++c) s.at(x, y, c) += 9 * random.normal();
    quantise_band(s, kNoiseEnd);
    return s;
}

bool write_png(const std::string& path, const Scene& s) {
    std::vector<std::uint8_t> pixels(s.v.size());
    for (std::size_t i = 0; i < s.v.size(); ++i) pixels[i] = std::uint8_t(std::clamp(std::lround(s.v[i]), 0L, 255L));
    if (stbi_write_png(path.c_str(), kWidth, kHeight, kChannels, pixels.data(), kWidth * kChannels)) return true;
    std::fprintf(stderr, "kivo-make-examples: cannot write %s\n", path.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "examples";
    const Scene reference = render_reference();
    const bool ok = write_png(dir + "/reference.png", reference) && write_png(dir + "/distorted.png", distort(reference));
    return ok ? 0 : 1;
}
