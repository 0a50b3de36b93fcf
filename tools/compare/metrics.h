// The comparison itself: every metric of a reference and a distorted image, through the library's entries.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "backend.h"
#include "images.h"

namespace kivo_compare {

struct Settings {
    int dtype;                         // KIVO_CUDA_DTYPE_*
    std::optional<double> data_range;  // in the file's units; else the full range of its bits
    int window;                        // SSIM window taps
    double sigma;                      // SSIM window standard deviation
    unsigned metrics;                  // Metric bits
    bool map;                          // also compute the SSIM map
    int padding;                       // kivo_cuda_padding of the SSIM windows
    bool sample_covariance;            // variances and covariance times N / (N - 1)
};

// One row of results. A metric that was asked for but has no value is explained in Results::notes.
struct Values {
    std::optional<double> ssim, ms_ssim, gmsd, psnr, mse, mae;
};

struct Results {
    double data_range = 0;        // as used, in the file's units
    std::vector<Values> channels; // per channel; GMSD is an image value only (it works on luma)
    Values image;                 // over all channels
    Planes map;                   // the SSIM map, when asked for
    std::vector<std::string> notes;
};

// Throws a Failure when the pair cannot be compared with these settings (sizes, colours, bit depths, the
// window, the element type).
void check_pair(const Image& reference, const Image& distorted, const Settings& settings);

// Runs the metrics of a pair that passed check_pair.
Results compare(const Backend& backend, const Image& reference, const Image& distorted, const Settings& settings);

// The normalised Gaussian window: taps weights exp(-d^2 / (2 sigma^2)), d the distance from the centre.
std::vector<float> gaussian_window(int taps, double sigma);

}  // namespace kivo_compare
