// The dtypes the kernels run natively, declared once: the dispatch on an
// array's dtype, which function each serves and the type of its logarithms
// all derive from this list.
// Included by native_path.cpp only (internal linkage, one translation unit).
#pragma once

#include <cstdint>
#include <type_traits>

#include "numpy_api.hpp"

namespace logarithmic {
namespace {

// One native dtype: NumPy's kind character, the element type, and the type
// np.log computes in for it (void where that is float16, which the geometric
// mean leaves to the general path).
template <char Kind, class E, class Log>
struct DType {
    static constexpr char kind = Kind;
    using Elem = E;
    using LogType = Log;
    static constexpr bool has_geo_mean = !std::is_void_v<Log>;
};

template <class... D>
struct DTypeList {
    // f(D{}) for the entry that matches `dt`; false when none does.
    template <class F>
    static bool visit(const PyArray_Descr* dt, F&& f) {
        const auto elsize = static_cast<std::size_t>(PyDataType_ELSIZE(dt));
        return ((dt->kind == D::kind && elsize == sizeof(typename D::Elem) && (f(D{}), true)) || ...);
    }
};

using NativeDTypes =
    DTypeList<DType<'f', double, double>, DType<'f', float, float>,
              DType<'b', std::uint8_t, void>,  // a product of 0s and 1s, as np.prod's int64 gives
              DType<'i', std::int8_t, void>, DType<'i', std::int16_t, float>, DType<'i', std::int32_t, double>,
              DType<'i', std::int64_t, double>, DType<'u', std::uint8_t, void>, DType<'u', std::uint16_t, float>,
              DType<'u', std::uint32_t, double>, DType<'u', std::uint64_t, double>>;

// How the product treats an element type.
template <class E>
struct Elem {
    static constexpr bool is_float = std::is_floating_point_v<E>;
    // np.prod's accumulator: the float itself; 64-bit wrapping integers otherwise
    // (a negative value converts to its two's complement, as through int64)
    using Acc = std::conditional_t<is_float, E, std::uint64_t>;
    static double to_out(Acc p) {
        if constexpr (std::is_signed_v<E> && !is_float) return static_cast<double>(static_cast<std::int64_t>(p));
        else return static_cast<double>(p);
    }
};

}  // namespace
}  // namespace logarithmic
