// carovel-mix's requantiser (the headroom in and out of a headroom run)
// against a plain 64-bit model of the same rounding and clamping.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "pcm.h"

namespace {

// x * 2^exponent rounded half away from zero, clamped to `bits`, and
// left-justified again.
std::int32_t Model(std::int32_t x, int exponent, unsigned bits) {
    const int drop = 32 - static_cast<int>(bits) - exponent;
    const std::int64_t top = (std::int64_t{1} << (bits - 1)) - 1;
    std::int64_t q;
    if (drop > 0) {
        const std::int64_t magnitude = x < 0 ? -std::int64_t{x} : std::int64_t{x};
        const std::int64_t rounded =
            drop > 40 ? 0 : (magnitude + (std::int64_t{1} << (drop - 1))) >> drop;
        q = x < 0 ? -rounded : rounded;
    } else {
        q = std::int64_t{x} * (std::int64_t{1} << -drop);
    }
    q = std::clamp(q, -top - 1, top);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(q) << (32 - bits));
}

TEST(MixToolRequantise, MatchesTheModelAtEveryWidthAndShift) {
    std::vector<std::int32_t> values;
    for (std::int64_t x = INT32_MIN; x <= INT32_MAX; x += 999983) {
        values.push_back(static_cast<std::int32_t>(x));
    }
    // Around every power of two, where rounding and clamping turn.
    for (int k = 0; k < 31; ++k) {
        for (int d = -2; d <= 2; ++d) {
            values.push_back(static_cast<std::int32_t>((std::int64_t{1} << k) + d));
            values.push_back(static_cast<std::int32_t>(-(std::int64_t{1} << k) + d));
        }
    }
    values.insert(values.end(), {INT32_MIN, INT32_MIN + 1, INT32_MAX, 0});
    std::vector<std::int32_t> out(values.size());
    for (unsigned bits = 8; bits <= 32; ++bits) {
        // Down by up to 24 bits (a headroom run's way in) and up by up to 24
        // (its way out), and beyond 32 bits down, where all rounds to 0.
        for (int exponent = -40; exponent <= 24; ++exponent) {
            carovel_mix::Requantise(values.data(), values.size(), exponent, bits, out.data());
            for (std::size_t i = 0; i < values.size(); ++i) {
                ASSERT_EQ(out[i], Model(values[i], exponent, bits))
                    << values[i] << " times 2^" << exponent << " to " << bits << " bits";
            }
        }
    }
}

}  // namespace
