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

// Steps written by hand for AVX2, where the compiler's own vectorisation
// falls short: functions marked CAROVEL_AVX2 are compiled for AVX2 whatever
// the rest of the build, and called only when the CPU has it (CpuHasAvx2 in
// the kernel). On x86-64 with GCC or Clang, sanitizer builds included; not
// on Windows, where GCC does not align the stack for 32-byte vectors.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define CAROVEL_AVX2 __attribute__((target("avx2")))
#endif

// Put before a sample loop whose stores overlap none of its loads from
// other arrays (sums or output against the frames' samples): GCC vectorises
// it without a check for overlap at run time, and without the unvectorised
// copy of the loop that the check would need.
#if defined(__GNUC__) && !defined(__clang__)
#define CAROVEL_NO_OVERLAP _Pragma("GCC ivdep")
#else
#define CAROVEL_NO_OVERLAP
#endif

#if defined(__GNUC__)
#define CAROVEL_VECTOR_INLINE inline __attribute__((always_inline))
#else
#define CAROVEL_VECTOR_INLINE inline
#endif

#endif  // CAROVEL_ENGINE_VECTOR_CLONES_H
