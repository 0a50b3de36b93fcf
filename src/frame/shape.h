// Overflow-free shape arithmetic for the entries.
#pragma once

#include <climits>

namespace kivo {

// planes = batch x channels for positive factors; false when the product does not fit an int (the grid's
// plane extent and every plane count are 32-bit).
inline bool plane_count(int batch, int channels, int* planes) {
    const long long product = static_cast<long long>(batch) * channels;
    if (product > INT_MAX) return false;
    *planes = static_cast<int>(product);
    return true;
}

}  // namespace kivo
