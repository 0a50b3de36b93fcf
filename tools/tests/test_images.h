// Test images: planar sample values, files of several formats written from them, and the pairs the tests
// compare.
#pragma once

#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace kivo_tool_test {

// `channels` planes of height x width sample values (integers in the file's range), plane after plane.
struct TestImage {
    int channels = 1, height = 0, width = 0;
    std::vector<double> v;

    double& at(int c, int r, int j) { return v[(std::size_t(c) * height + r) * width + j]; }
    double at(int c, int r, int j) const { return v[(std::size_t(c) * height + r) * width + j]; }
};

// Smooth structure with texture: integers in [16, 215] (room for offsets and noise below 255).
inline TestImage structured_image(int channels, int height, int width, unsigned seed) {
    std::mt19937 rng(seed);
    TestImage im{channels, height, width, std::vector<double>(std::size_t(channels) * height * width)};
    for (int c = 0; c < channels; ++c)
        for (int r = 0; r < height; ++r)
            for (int j = 0; j < width; ++j) {
                const double smooth = 115 + 60 * std::sin(r / (4.0 + c)) * std::cos(j / 6.0) + (j > width / 2 ? 15 : -15);
                im.at(c, r, j) = std::clamp(std::round(smooth + double(rng() % 41) - 20), 16.0, 215.0);
            }
    return im;
}

// `im` with independent integer noise in [-amplitude, amplitude], clamped to [0, 255].
inline TestImage with_noise(TestImage im, int amplitude, unsigned seed) {
    std::mt19937 rng(seed);
    for (double& s : im.v) s = std::clamp(s + double(int(rng() % (2 * amplitude + 1)) - amplitude), 0.0, 255.0);
    return im;
}

inline TestImage with_offset(TestImage im, const std::vector<double>& per_channel) {
    for (int c = 0; c < im.channels; ++c)
        for (int r = 0; r < im.height; ++r)
            for (int j = 0; j < im.width; ++j) im.at(c, r, j) += per_channel[c];
    return im;
}

inline TestImage scaled(TestImage im, double factor) {
    for (double& s : im.v) s *= factor;
    return im;
}

// Interleaved samples, with an extra constant alpha channel when asked.
inline std::vector<std::uint8_t> interleaved8(const TestImage& im, bool alpha = false) {
    std::vector<std::uint8_t> out;
    for (int r = 0; r < im.height; ++r)
        for (int j = 0; j < im.width; ++j) {
            for (int c = 0; c < im.channels; ++c) out.push_back(std::uint8_t(im.at(c, r, j)));
            if (alpha) out.push_back(200);
        }
    return out;
}

inline bool write_png(const std::string& path, const TestImage& im, bool alpha = false) {
    const int n = im.channels + (alpha ? 1 : 0);
    const std::vector<std::uint8_t> pixels = interleaved8(im, alpha);
    return stbi_write_png(path.c_str(), im.width, im.height, n, pixels.data(), im.width * n) != 0;
}

inline bool write_jpeg(const std::string& path, const TestImage& im) {
    const std::vector<std::uint8_t> pixels = interleaved8(im);
    return stbi_write_jpg(path.c_str(), im.width, im.height, im.channels, pixels.data(), 95) != 0;
}

// Binary PGM (one channel) or PPM (three), 8-bit for maxval 255 and 16-bit big-endian above it.
inline bool write_pnm(const std::string& path, const TestImage& im, int maxval) {
    std::ofstream out(path, std::ios::binary);
    out << (im.channels == 1 ? "P5" : "P6") << "\n" << im.width << " " << im.height << "\n" << maxval << "\n";
    for (int r = 0; r < im.height; ++r)
        for (int j = 0; j < im.width; ++j)
            for (int c = 0; c < im.channels; ++c) {
                const auto s = static_cast<unsigned>(im.at(c, r, j));
                if (maxval > 255) out.put(char(s >> 8));
                out.put(char(s & 0xFF));
            }
    return bool(out);
}

}  // namespace kivo_tool_test
