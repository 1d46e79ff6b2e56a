// Clang thread-safety attributes behind short macros, so that the analysis
// (-Wthread-safety) checks which lock guards which state. Other compilers see
// nothing.
#ifndef CAROVEL_PLATFORM_THREAD_ANNOTATIONS_H
#define CAROVEL_PLATFORM_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define CAROVEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CAROVEL_THREAD_ANNOTATION(x)
#endif

// A type that is a lock ("mutex").
#define CAROVEL_CAPABILITY(x) CAROVEL_THREAD_ANNOTATION(capability(x))
// An RAII holder of a lock.
#define CAROVEL_SCOPED_CAPABILITY CAROVEL_THREAD_ANNOTATION(scoped_lockable)
// Data that may be read or written only while holding the lock.
#define CAROVEL_GUARDED_BY(x) CAROVEL_THREAD_ANNOTATION(guarded_by(x))
// Data behind a pointer that may be touched only while holding the lock.
#define CAROVEL_PT_GUARDED_BY(x) CAROVEL_THREAD_ANNOTATION(pt_guarded_by(x))
// The caller must hold the lock.
#define CAROVEL_REQUIRES(...) CAROVEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the lock (the function takes it).
#define CAROVEL_EXCLUDES(...) CAROVEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define CAROVEL_ACQUIRE(...) CAROVEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define CAROVEL_RELEASE(...) CAROVEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// Turns the analysis off for one function; say why where it is used.
#define CAROVEL_NO_THREAD_SAFETY_ANALYSIS CAROVEL_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // CAROVEL_PLATFORM_THREAD_ANNOTATIONS_H
