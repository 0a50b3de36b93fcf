// The results as a table for people or as JSON for programs.
#pragma once

#include <cstdio>

#include "backend.h"
#include "images.h"
#include "metrics.h"
#include "options.h"

namespace kivo_compare {

struct Report {
    const Options& options;
    const Image& reference;
    const Image& distorted;
    const Backend& backend;
    const Results& results;
};

void print_text(std::FILE* out, const Report& report);

// One JSON object; a value that is not a finite number (no value, or the PSNR of identical images) is null.
void print_json(std::FILE* out, const Report& report);

}  // namespace kivo_compare
