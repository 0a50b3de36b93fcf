// Host-side sample handling: the element types of the library, the conversion of working values into them,
// 2 x 2 average downsampling and luma.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kivo_compare {

struct Dtype {
    const char* name;  // as on the command line: u8, f16, bf16, f32, f64
    int code;          // KIVO_CUDA_DTYPE_*
    std::size_t size;  // bytes per sample
};

// Null when `name` is none of the five.
const Dtype* dtype_by_name(const std::string& name);
const Dtype& dtype_by_code(int code);  // `code` is one of the five
std::string dtype_names();  // "u8, f16, bf16, f32, f64"

// `channels` planes of height x width working values, plane after plane, rows contiguous.
struct Planes {
    int channels = 0, height = 0, width = 0;
    std::vector<double> values;

    std::size_t plane_size() const { return std::size_t(height) * std::size_t(width); }
    double at(int c, int r, int j) const { return values[(std::size_t(c) * height + r) * width + j]; }
};

// Each value is the mean of a 2 x 2 block; an odd last row or column is dropped.
Planes downsample(const Planes& planes);

// One plane: BT.601 luma of a three-channel image (0.299 R + 0.587 G + 0.114 B); a grey image itself.
Planes luma(const Planes& planes);

// The values as samples of `dtype`, rounded to nearest (ties to even); u8 saturates at 0 and 255.
std::vector<unsigned char> encode(const std::vector<double>& values, int dtype);

// v rounded to nearest (ties to even) in a binary format with `digits` significant bits whose smallest
// normal number is 2^(min_exponent - 1); below it the spacing stays that of the smallest binade.
double round_to_format(double v, int digits, int min_exponent);

}  // namespace kivo_compare
