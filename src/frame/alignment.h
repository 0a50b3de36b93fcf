// Alignment checks for the entries: a buffer whose address is not a multiple of its element size would
// make the kernels fault on a misaligned load, poisoning the caller's whole context.
#pragma once

#include <cstdint>

namespace kivo {

template <class T>
inline bool is_aligned(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0;
}

// True when every pointer is aligned for T; null pointers (absent optional outputs) pass.
template <class T, class... P>
inline bool all_aligned(const P*... p) {
    return (is_aligned<T>(p) && ...);
}

}  // namespace kivo
