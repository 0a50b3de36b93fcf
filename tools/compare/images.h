// Image files: decoding a reference or distorted image into planar samples, and writing the SSIM map.
#pragma once

#include <string>
#include <vector>

#include "samples.h"

namespace kivo_compare {

struct Image {
    std::string path;
    int bits = 8;   // 8 or 16 bits per sample in the file
    Planes planes;  // 1 (grey) or 3 (RGB) channels of the file's sample values, 0..255 or 0..65535
};

// PNG, JPEG, PPM/PGM (and whatever else the decoder knows), 8 or 16 bits, grey or RGB; an alpha channel
// is ignored.
Image read_image(const std::string& path);

// "grey" or "RGB".
const char* colour_name(int channels);

// A map of values in [0, 1] (lower values clamp to 0) as an 8-bit PNG with the map's channels.
void write_map_png(const std::string& path, const Planes& map);

}  // namespace kivo_compare
