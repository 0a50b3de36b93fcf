// The command line of kivo-compare.
#pragma once

#include <optional>
#include <string>

#include "kivo_cuda.h"

namespace kivo_compare {

// The metrics a run computes, as a bit set.
enum Metric : unsigned {
    kSsim = 1u << 0,
    kMsSsim = 1u << 1,
    kGmsd = 1u << 2,
    kPsnr = 1u << 3,
    kMse = 1u << 4,
    kMae = 1u << 5,
    kAllMetrics = (1u << 6) - 1
};

enum class BackendChoice { automatic, gpu, cpu, simulation };

struct Options {
    std::string reference, distorted;
    int dtype = KIVO_CUDA_DTYPE_F32;    // --dtype
    std::optional<double> data_range;   // in the file's sample units; else 255 or 65535
    int window = 11;
    int padding = KIVO_CUDA_PAD_VALID;  // --padding, a kivo_cuda_padding
    bool sample_covariance = false;     // --sample-covariance
    double sigma = 1.5;
    std::string map_path;               // empty: no map
    unsigned metrics = kAllMetrics;
    BackendChoice backend = BackendChoice::automatic;
    bool json = false;
    bool help = false;
};

// Throws a Failure with the usage exit status for anything it cannot accept.
Options parse_options(int argc, const char* const* argv);

const char* usage_text();

// The --padding names, indexed by kivo_cuda_padding.
extern const char* const kPaddingNames[5];

}  // namespace kivo_compare
