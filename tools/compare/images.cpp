#include "images.h"

#include <stb_image.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "failure.h"

namespace kivo_compare {
namespace {

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
struct FreeImage {
    void operator()(void* p) const { stbi_image_free(p); }
};

template <class Sample>
void deinterleave(const Sample* samples, Planes& planes) {
    const std::size_t n = planes.plane_size();
    planes.values.resize(n * planes.channels);
    for (std::size_t i = 0; i < n; ++i)
        for (int c = 0; c < planes.channels; ++c) planes.values[c * n + i] = samples[i * planes.channels + c];
}

// Whether the decoder returns the samples of 16-bit PGM/PPM files, which are big-endian, in the host's byte
// order instead: some of its versions do. A one-sample file tells.
bool decoder_swaps_16_bit_pnm() {
    static const bool swaps = [] {
        static const char pgm[] = "P5 1 1 65535 \x01\x02";
        int w = 0, h = 0, n = 0;
        stbi_us* sample = stbi_load_16_from_memory(reinterpret_cast<const stbi_uc*>(pgm), int(sizeof pgm - 1), &w, &h, &n, 1);
        const bool swapped = sample != nullptr && *sample == 0x0201;
        stbi_image_free(sample);
        return swapped;
    }();
    return swaps;
}

// Whether the file starts like a binary PGM or PPM; the file position is kept.
bool is_pnm(std::FILE* file) {
    char magic[2] = {};
    const long position = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    const bool pnm = std::fread(magic, 1, 2, file) == 2 && magic[0] == 'P' && (magic[1] == '5' || magic[1] == '6');
    std::fseek(file, position, SEEK_SET);
    return pnm;
}

}  // namespace

Image read_image(const std::string& path) {
    errno = 0;
    const std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path.c_str(), "rb"));
    if (!file) throw Failure("cannot open '" + path + "': " + std::strerror(errno));
    int width = 0, height = 0, components = 0;
    if (!stbi_info_from_file(file.get(), &width, &height, &components))
        throw Failure("cannot decode '" + path + "': " + stbi_failure_reason());

    Image image;
    image.path = path;
    image.bits = stbi_is_16_bit_from_file(file.get()) ? 16 : 8;
    const bool swap_bytes = image.bits == 16 && is_pnm(file.get()) && decoder_swaps_16_bit_pnm();
    const int channels = components <= 2 ? 1 : 3;  // grey(+alpha) or RGB(+alpha): the alpha is dropped
    const std::unique_ptr<void, FreeImage> data(
        image.bits == 16 ? static_cast<void*>(stbi_load_from_file_16(file.get(), &width, &height, &components, channels))
                         : static_cast<void*>(stbi_load_from_file(file.get(), &width, &height, &components, channels)));
    if (!data) throw Failure("cannot decode '" + path + "': " + stbi_failure_reason());

    image.planes = Planes{channels, height, width, {}};
    if (swap_bytes) {
        auto* samples = static_cast<std::uint16_t*>(data.get());
        for (std::size_t i = 0; i < std::size_t(width) * height * channels; ++i)
            samples[i] = static_cast<std::uint16_t>(samples[i] << 8 | samples[i] >> 8);
    }
    if (image.bits == 16)
        deinterleave(static_cast<const std::uint16_t*>(data.get()), image.planes);
    else
        deinterleave(static_cast<const std::uint8_t*>(data.get()), image.planes);
    return image;
}

const char* colour_name(int channels) { return channels == 1 ? "grey" : "RGB"; }

void write_map_png(const std::string& path, const Planes& map) {
    const std::size_t n = map.plane_size();
    std::vector<std::uint8_t> pixels(n * map.channels);
    for (std::size_t i = 0; i < n; ++i)
        for (int c = 0; c < map.channels; ++c)
            pixels[i * map.channels + c] =
                static_cast<std::uint8_t>(std::lround(std::clamp(map.values[c * n + i], 0.0, 1.0) * 255.0));
    errno = 0;
    if (!stbi_write_png(path.c_str(), map.width, map.height, map.channels, pixels.data(),
                        map.width * map.channels)) {
        const std::string reason = errno != 0 ? std::string(": ") + std::strerror(errno) : std::string();
        throw Failure("cannot write the SSIM map to '" + path + "'" + reason);
    }
}

}  // namespace kivo_compare
