// How the sample loops of the frame mixer are built for more than one CPU:
// functions marked CAROVEL_VECTOR_CLONES are compiled for AVX2 and for the
// baseline, and the loader picks one; helpers they call are marked
// CAROVEL_VECTOR_INLINE so that they are compiled into each variant.
//
// Not in sanitizer builds: the loader runs the variant chooser while
// relocating, before the sanitizer's runtime is set up, and a statically
// linked thread-sanitized program crashes there.
#ifndef CAROVEL_ENGINE_VECTOR_CLONES_H
#define CAROVEL_ENGINE_VECTOR_CLONES_H

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define CAROVEL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define CAROVEL_VECTOR_CLONES
#endif

#if defined(__GNUC__)
#define CAROVEL_VECTOR_INLINE inline __attribute__((always_inline))
#else
#define CAROVEL_VECTOR_INLINE inline
#endif

#endif  // CAROVEL_ENGINE_VECTOR_CLONES_H
