// Helpers of the converter tests: sample packing, whole-stream conversion and
// tone analysis.
#ifndef CAROVEL_TESTS_CONVERT_FIXTURES_H
#define CAROVEL_TESTS_CONVERT_FIXTURES_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "carovel/carovel.h"

namespace convert_test {

using Bytes = std::vector<unsigned char>;
using Samples = std::vector<std::int64_t>;

// Packs signed values as little-endian samples of `bits`; 8-bit values are
// given as the signed offset from 128.
inline Bytes Pack(const Samples& values, unsigned bits) {
    Bytes out;
    for (const std::int64_t v : values) {
        const auto u = static_cast<std::uint64_t>(bits == 8 ? v + 128 : v);
        for (unsigned b = 0; b < bits / 8; ++b) {
            out.push_back(static_cast<unsigned char>(u >> (8 * b)));
        }
    }
    return out;
}

// Inverse of Pack.
inline Samples Unpack(const Bytes& bytes, unsigned bits) {
    const unsigned width = bits / 8;
    Samples out;
    for (std::size_t i = 0; i + width <= bytes.size(); i += width) {
        std::uint64_t u = 0;
        for (unsigned b = 0; b < width; ++b) {
            u |= std::uint64_t{bytes[i + b]} << (8 * b);
        }
        const std::int64_t v = bits == 8
                                   ? static_cast<std::int64_t>(u) - 128
                                   : static_cast<std::int64_t>(u << (64 - bits)) >> (64 - bits);
        out.push_back(v);
    }
    return out;
}

// Converts src in one step with `room` bytes of room, then flushes what the
// converter held back into the rest; the step must use all whole blocks of
// the source.
inline Bytes ConvertOnce(_Carovel::CWaveConvert& cv, const Bytes& src, std::size_t room,
                         std::size_t srcBlock) {
    Bytes dst(room);
    unsigned long srcLen = src.size();
    unsigned long dstLen = room;
    EXPECT_TRUE(cv.Convert(src.data(), srcLen, dst.data(), dstLen));
    EXPECT_EQ(srcLen, src.size() / srcBlock * srcBlock);
    // What the resampler held back completes the stream.
    unsigned long tailLen = room - dstLen;
    EXPECT_TRUE(cv.Flush(dst.data() + dstLen, tailLen));
    EXPECT_EQ(cv.PendingBytes(), 0u);
    dst.resize(dstLen + tailLen);
    return dst;
}

// A tone of `amplitude` (fraction of full scale) at hz, `frames` long, the
// same in every channel.
inline Samples Tone(double hz, unsigned rate, std::size_t frames, unsigned channels, unsigned bits,
                    double amplitude) {
    const double full = std::ldexp(1.0, static_cast<int>(bits) - 1);
    const double pi = std::acos(-1.0);
    Samples out;
    for (std::size_t n = 0; n < frames; ++n) {
        const auto v = std::llround(amplitude * full * std::sin(2 * pi * hz * n / rate));
        out.insert(out.end(), channels, v);
    }
    return out;
}

struct ToneFit {
    double amplitude;  // fraction of full scale
    double snrDb;      // fitted tone against everything else
};

// Fits a tone of hz to channel `channel` of the interleaved samples from frame
// `first` on, by least squares over sine and cosine.
inline ToneFit FitTone(const Samples& s, unsigned channels, unsigned channel, std::size_t first,
                       double hz, unsigned rate, unsigned bits) {
    const double w = 2 * std::acos(-1.0) * hz / rate;
    double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
    for (std::size_t n = first; n < s.size() / channels; ++n) {
        const double sn = std::sin(w * n), cn = std::cos(w * n);
        const auto y = static_cast<double>(s[n * channels + channel]);
        ss += sn * sn, cc += cn * cn, sc += sn * cn, ys += y * sn, yc += y * cn;
    }
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double signal = 0, noise = 0;
    for (std::size_t n = first; n < s.size() / channels; ++n) {
        const double fit = a * std::sin(w * n) + b * std::cos(w * n);
        signal += fit * fit;
        const double e = static_cast<double>(s[n * channels + channel]) - fit;
        noise += e * e;
    }
    return {std::hypot(a, b) / std::ldexp(1.0, static_cast<int>(bits) - 1),
            10 * std::log10(signal / noise)};
}

}  // namespace convert_test

#endif  // CAROVEL_TESTS_CONVERT_FIXTURES_H
