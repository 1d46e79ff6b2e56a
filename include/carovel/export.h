// Symbol export for the carovel library.
//
// The library is built with hidden symbol visibility; only classes marked
// CAROVEL_API are part of its binary interface.
#ifndef CAROVEL_EXPORT_H
#define CAROVEL_EXPORT_H

#if defined(CAROVEL_STATIC)
#define CAROVEL_API
#elif defined(_WIN32)
#if defined(CAROVEL_BUILDING)
#define CAROVEL_API __declspec(dllexport)
#else
#define CAROVEL_API __declspec(dllimport)
#endif
#else
#define CAROVEL_API __attribute__((visibility("default")))
#endif

#endif  // CAROVEL_EXPORT_H
