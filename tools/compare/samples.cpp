#include "samples.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "kivo_cuda.h"

namespace kivo_compare {
namespace {

constexpr std::array<Dtype, 5> kDtypes{{{"u8", KIVO_CUDA_DTYPE_U8, 1},
                                        {"f16", KIVO_CUDA_DTYPE_F16, 2},
                                        {"bf16", KIVO_CUDA_DTYPE_BF16, 2},
                                        {"f32", KIVO_CUDA_DTYPE_F32, 4},
                                        {"f64", KIVO_CUDA_DTYPE_F64, 8}}};

// binary16: 11 significant bits, smallest normal 2^-14.
std::uint16_t half_bits(double v) {
    const double r = round_to_format(v, 11, -13);
    const std::uint16_t sign = std::signbit(r) ? 0x8000 : 0;
    const double a = std::fabs(r);
    if (std::isnan(a)) return 0x7E00;
    if (a > 65504.0) return sign | 0x7C00;
    if (a < 0x1p-14) return static_cast<std::uint16_t>(sign | static_cast<std::uint16_t>(a * 0x1p24));
    int e = 0;
    const double m = std::frexp(a, &e);  // a = m 2^e, m in [0.5, 1)
    const auto exponent = static_cast<std::uint16_t>(e - 1 + 15);
    const auto fraction = static_cast<std::uint16_t>((2.0 * m - 1.0) * 1024.0);
    return static_cast<std::uint16_t>(sign | exponent << 10 | fraction);
}

// bfloat16: the upper half of a float32, 8 significant bits.
std::uint16_t bf16_bits(double v) {
    const float f = static_cast<float>(round_to_format(v, 8, -125));  // exact
    std::uint32_t u = 0;
    std::memcpy(&u, &f, sizeof u);
    return static_cast<std::uint16_t>(u >> 16);
}

template <class T>
void store(std::vector<unsigned char>& bytes, std::size_t i, T value) {
    std::memcpy(bytes.data() + i * sizeof(T), &value, sizeof(T));
}

}  // namespace

const Dtype* dtype_by_name(const std::string& name) {
    for (const Dtype& d : kDtypes)
        if (name == d.name) return &d;
    return nullptr;
}

const Dtype& dtype_by_code(int code) {
    for (const Dtype& d : kDtypes)
        if (d.code == code) return d;
    return kDtypes[3];
}

std::string dtype_names() {
    std::string names;
    for (const Dtype& d : kDtypes) names += (names.empty() ? "" : ", ") + std::string(d.name);
    return names;
}

Planes downsample(const Planes& in) {
    Planes out{in.channels, in.height / 2, in.width / 2, {}};
    out.values.reserve(out.channels * out.plane_size());
    for (int c = 0; c < in.channels; ++c)
        for (int r = 0; r < out.height; ++r)
            for (int j = 0; j < out.width; ++j)
                out.values.push_back((in.at(c, 2 * r, 2 * j) + in.at(c, 2 * r, 2 * j + 1) +
                                      in.at(c, 2 * r + 1, 2 * j) + in.at(c, 2 * r + 1, 2 * j + 1)) /
                                     4.0);
    return out;
}

Planes luma(const Planes& in) {
    if (in.channels == 1) return in;
    Planes out{1, in.height, in.width, std::vector<double>(in.plane_size())};
    const std::size_t n = in.plane_size();
    for (std::size_t i = 0; i < n; ++i)
        out.values[i] = 0.299 * in.values[i] + 0.587 * in.values[n + i] + 0.114 * in.values[2 * n + i];
    return out;
}

double round_to_format(double v, int digits, int min_exponent) {
    if (v == 0.0 || !std::isfinite(v)) return v;
    int e = 0;
    std::frexp(v, &e);
    const int quantum = std::max(e, min_exponent) - digits;
    return std::ldexp(std::nearbyint(std::ldexp(v, -quantum)), quantum);
}

std::vector<unsigned char> encode(const std::vector<double>& values, int dtype) {
    const Dtype& type = dtype_by_code(dtype);
    std::vector<unsigned char> bytes(values.size() * type.size);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        switch (type.code) {
            case KIVO_CUDA_DTYPE_U8:
                store(bytes, i, static_cast<std::uint8_t>(std::clamp(std::nearbyint(v), 0.0, 255.0)));
                break;
            case KIVO_CUDA_DTYPE_F16: store(bytes, i, half_bits(v)); break;
            case KIVO_CUDA_DTYPE_BF16: store(bytes, i, bf16_bits(v)); break;
            case KIVO_CUDA_DTYPE_F32: store(bytes, i, static_cast<float>(v)); break;
            default: store(bytes, i, v); break;
        }
    }
    return bytes;
}

}  // namespace kivo_compare
