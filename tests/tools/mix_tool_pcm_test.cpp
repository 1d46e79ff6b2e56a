// carovel-mix's requantiser (the headroom in and out of a headroom run)
// against a plain 64-bit model of the same rounding and clamping, and its
// shortcut for 16-bit sources against the requantiser.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
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

TEST(MixToolWiden16To32, GivesWhatRequantiseGivesForEvery16BitSampleAndHeadroom) {
    // Every 16-bit value, packed; at an odd offset in the middle of a run,
    // so that the vector loops and their tails both see every value.
    std::vector<char> packed;
    std::vector<std::int32_t> atScale;
    for (std::int32_t v = -32768; v <= 32767; ++v) {
        const auto s = static_cast<std::int16_t>(v);
        char bytes[2];
        std::memcpy(bytes, &s, 2);  // the tests run on little-endian machines
        packed.insert(packed.end(), bytes, bytes + 2);
        atScale.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(v) << 16));
    }
    std::vector<std::int32_t> want(atScale.size());
    std::vector<char> got(4 * atScale.size() + 8, '\x5a');
    for (unsigned headroom = 0; headroom <= 16; ++headroom) {
        carovel_mix::Requantise(atScale.data(), atScale.size(), -static_cast<int>(headroom), 32,
                                want.data());
        carovel_mix::Widen16To32(packed.data(), atScale.size(), 16 - headroom, got.data() + 3);
        for (std::size_t i = 0; i < want.size(); ++i) {
            std::int32_t w;
            std::memcpy(&w, got.data() + 3 + 4 * i, 4);
            ASSERT_EQ(w, want[i]) << "sample " << atScale[i] / 65536 << ", headroom " << headroom;
        }
        // Nothing written beyond the samples.
        for (std::size_t i = 3 + 4 * want.size(); i < got.size(); ++i) {
            ASSERT_EQ(got[i], '\x5a');
        }
    }
}

}  // namespace
