// A check for the fuzz targets: a failed condition prints where and why, then
// aborts, which the fuzzer reports as a crash and saves the input.
#ifndef CAROVEL_FUZZ_FUZZ_CHECK_H
#define CAROVEL_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, what)                                                                \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #cond, \
                         what);                                                               \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

#endif  // CAROVEL_FUZZ_FUZZ_CHECK_H
