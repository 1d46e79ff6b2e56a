// The Windows API as the platform layer includes it: lean, and without the
// min and max macros that break std::min and std::max.
#ifndef CAROVEL_PLATFORM_WINDOWS_API_H
#define CAROVEL_PLATFORM_WINDOWS_API_H

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#endif  // CAROVEL_PLATFORM_WINDOWS_API_H
