// Integer addition and multiplication that report overflow instead of wrapping or being undefined.
#pragma once

#include <concepts>
#include <limits>
#include <type_traits>

namespace korvex {

namespace portable {

// The same checks in plain C++, for compilers without the overflow builtins (MSVC).
template <std::integral T>
constexpr bool checkedAdd(T a, T b, T& sum) noexcept {
    if (b > 0 ? a > std::numeric_limits<T>::max() - b : a < std::numeric_limits<T>::min() - b) {
        return false;
    }
    sum = static_cast<T>(a + b);
    return true;
}

template <std::integral T>
constexpr bool checkedMul(T a, T b, T& product) noexcept {
    constexpr T max = std::numeric_limits<T>::max();
    constexpr T min = std::numeric_limits<T>::min();
    bool fits;
    if constexpr (std::is_signed_v<T>) {
        if (a > 0) {
            fits = b > 0 ? a <= max / b : b >= min / a;
        } else if (a < 0) {
            fits = b > 0 ? a >= min / b : b >= max / a;  // with b <= 0 the product is >= 0
        } else {
            fits = true;
        }
    } else {
        fits = a == 0 || b <= max / a;
    }
    if (!fits) {
        return false;
    }
    product = static_cast<T>(a * b);
    return true;
}

}  // namespace portable

// a + b into `sum` and true, or false (and `sum` untouched) where the exact sum does not fit in T.
template <std::integral T>
constexpr bool checkedAdd(T a, T b, T& sum) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    T result;
    if (__builtin_add_overflow(a, b, &result)) {
        return false;
    }
    sum = result;
    return true;
#else
    return portable::checkedAdd(a, b, sum);
#endif
}

// a * b into `product` and true, or false (and `product` untouched) where the exact product does
// not fit in T.
template <std::integral T>
constexpr bool checkedMul(T a, T b, T& product) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    T result;
    if (__builtin_mul_overflow(a, b, &result)) {
        return false;
    }
    product = result;
    return true;
#else
    return portable::checkedMul(a, b, product);
#endif
}

}  // namespace korvex
