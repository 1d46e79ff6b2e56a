// Unrolling a loop over a count known only at run time, for the counts that
// matter: the sample loops of the converter take a channel or tap count as a
// template argument (0 for "any"), and this picks the instantiation.
#ifndef CAROVEL_CONVERT_FIXED_COUNT_H
#define CAROVEL_CONVERT_FIXED_COUNT_H

#include <type_traits>

namespace _Carovel {

// Calls f(std::integral_constant<unsigned, N>{}) with the N of Ns equal to
// n, or with N = 0 when none is.
template <unsigned... Ns, class F>
void WithFixedCount(unsigned n, F&& f) {
    const bool fixed =
        ((n == Ns ? (f(std::integral_constant<unsigned, Ns>{}), true) : false) || ...);
    if (!fixed) {
        f(std::integral_constant<unsigned, 0>{});
    }
}

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_FIXED_COUNT_H
