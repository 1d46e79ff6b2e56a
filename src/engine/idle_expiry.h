// When an idle source is forgotten.
#ifndef CAROVEL_ENGINE_IDLE_EXPIRY_H
#define CAROVEL_ENGINE_IDLE_EXPIRY_H

#include <cstdint>

namespace _Carovel {

// A source that has sent nothing for longer than this is dropped: its queue
// in the frame mixer once the queue is empty, and its intake state in the
// mixer.
constexpr std::uint32_t kIdleExpirySeconds = 10;

// True when a source last fed at lastSeconds is idle at nowSeconds (both of
// the monotonic seconds clock, so stepping the wall clock changes nothing; the difference is taken
// modulo 2^32). A source fed exactly kIdleExpirySeconds ago is not yet idle.
constexpr bool IsIdleExpired(std::uint32_t nowSeconds, std::uint32_t lastSeconds) {
    return static_cast<std::uint32_t>(nowSeconds - lastSeconds) > kIdleExpirySeconds;
}

}  // namespace _Carovel

#endif  // CAROVEL_ENGINE_IDLE_EXPIRY_H
