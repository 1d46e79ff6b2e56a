// Asking for memory ahead of its use, where the compiler can.
#ifndef CAROVEL_PLATFORM_PREFETCH_H
#define CAROVEL_PLATFORM_PREFETCH_H

#include <cstddef>

namespace _Carovel {

// Starts loading the cache lines of [p, p + bytes) without waiting for them;
// a hint, which does nothing where the compiler has no way to give it.
inline void Prefetch(const void* p, std::size_t bytes = 1) {
#if defined(__GNUC__)
    const char* const at = static_cast<const char*>(p);
    for (std::size_t offset = 0; offset < bytes; offset += 64) {
        __builtin_prefetch(at + offset);
    }
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace _Carovel

#endif  // CAROVEL_PLATFORM_PREFETCH_H
