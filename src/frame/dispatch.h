// From runtime codes to template instantiations, written once: the element type of a dtype code, and a
// compile-time constant (window size, mode, operation, flag) from a runtime value.
#pragma once

#include <type_traits>

#include "element.h"
#include "kivo_cuda.h"

namespace kivo {

template <class T>
struct type_tag {
    using type = T;
};

// Calls f(type_tag<T>{}) with T the element type of `dtype` and returns its status; an unknown code
// (negative ones included) returns "unsupported dtype".
template <class F>
int with_element_type(int dtype, F&& f) {
    switch (dtype) {
        case KIVO_CUDA_DTYPE_U8: return f(type_tag<unsigned char>{});
        case KIVO_CUDA_DTYPE_F16: return f(type_tag<half_t>{});
        case KIVO_CUDA_DTYPE_BF16: return f(type_tag<bf16_t>{});
        case KIVO_CUDA_DTYPE_F32: return f(type_tag<float>{});
        case KIVO_CUDA_DTYPE_F64: return f(type_tag<double>{});
        default: return KIVO_CUDA_UNSUPPORTED_DTYPE;
    }
}

// Calls f(std::integral_constant<int, V>{}) for the V among Values that equals `value` and returns its
// status, or `unknown` when none does.
template <int... Values, class F>
int with_value(int value, int unknown, F&& f) {
    int status = unknown;
    ((value == Values ? (status = f(std::integral_constant<int, Values>{}), true) : false) || ...);
    return status;
}

}  // namespace kivo
