// The 16-bit downmix: its vector path against a plain reference on random
// samples and weights, and full-scale blocks through the converter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "convert/channel_matrix.h"
#include "convert/convert_fixtures.h"
#include "convert/downmix_24.h"
#include "convert/downmix_q15.h"
#include "convert/encode_float.h"
#include "convert/work_sample.h"

namespace {

using _Carovel::DownmixQ15;
using _Carovel::DownmixQ15Scalar;
using convert_test::Bytes;
using convert_test::Pack;
using convert_test::Samples;

// The documented formula, in 64 bits.
std::vector<std::int16_t> Reference(const Samples& s, unsigned n, unsigned k,
                                    const std::vector<std::int32_t>& q) {
    std::vector<std::int16_t> out;
    for (std::size_t b = 0; b * n < s.size(); ++b) {
        for (unsigned r = 0; r < k; ++r) {
            std::int64_t acc = 16384;
            for (unsigned c = 0; c < n; ++c) {
                acc += std::int64_t{q[r * n + c]} * s[b * n + c];
            }
            out.push_back(static_cast<std::int16_t>(std::clamp<std::int64_t>(
                acc >= 0 ? acc / 32768 : -((-acc + 32767) / 32768), -32768, 32767)));
        }
    }
    return out;
}

// Q15 weights of the converter's matrix from n channels to k.
std::vector<std::int32_t> MatrixWeights(unsigned n, unsigned k) {
    std::vector<std::int32_t> q;
    for (const double w : _Carovel::DownmixMatrix(n, k).weights) {
        q.push_back(static_cast<std::int32_t>(std::lround(w * 32768)));
    }
    return q;
}

TEST(DownmixQ15, EveryPathMatchesTheFormulaAtAnyLengthAndAlignment) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    for (unsigned k = 1; k <= 3; ++k) {
        for (unsigned n = k + 1; n <= 9; ++n) {
            // The converter's matrix where there is one, random weights (small,
            // large and out of 16-bit range, which the vector path must leave
            // to the plain loop), and full-scale samples at the extremes.
            std::vector<std::vector<std::int32_t>> weightSets;
            if (k <= 2 && !_Carovel::DownmixMatrix(n, k).weights.empty()) {
                weightSets.push_back(MatrixWeights(n, k));
            }
            if (n == 2 && k == 1) {
                weightSets.push_back({16384, 16384});  // the converter's stereo average
            }
            for (const int range : {9000, 32767, 70000}) {
                std::uniform_int_distribution<int> weight(-range, range);
                std::vector<std::int32_t> q(std::size_t{n} * k);
                for (auto& w : q) {
                    w = weight(rng);
                }
                weightSets.push_back(q);
            }
            for (const auto& q : weightSets) {
                for (std::size_t blocks = 0; blocks <= 19; ++blocks) {
                    Samples s(blocks * n);
                    for (std::size_t i = 0; i < s.size(); ++i) {
                        s[i] = i % 5 == 0 ? (i % 2 == 0 ? 32767 : -32768) : sample(rng);
                    }
                    const std::vector<std::int16_t> expected = Reference(s, n, k, q);
                    // One byte of offset: the vector loads must not need alignment.
                    Bytes bytes(1);
                    const Bytes packed = Pack(s, 16);
                    bytes.insert(bytes.end(), packed.begin(), packed.end());
                    std::vector<std::int16_t> fast(blocks * k, 1234);
                    std::vector<std::int16_t> plain(blocks * k, 1234);
                    DownmixQ15(bytes.data() + 1, blocks, 2, n, k, q.data(), fast.data());
                    DownmixQ15Scalar(bytes.data() + 1, blocks, 2, n, k, q.data(), plain.data());
                    ASSERT_EQ(fast, expected) << "n=" << n << " k=" << k << " blocks=" << blocks;
                    ASSERT_EQ(plain, expected) << "n=" << n << " k=" << k << " blocks=" << blocks;
                }
            }
        }
    }
}

TEST(DownmixQ15, StereoIntoMonoIsTheRoundedAverageResampled) {
    // 48 kHz stereo into 8 kHz mono gives the same bytes as the rounded
    // average (L + R + 1) >> 1 resampled as a mono stream.
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    Samples stereo(2 * 4803);
    Samples mono;
    for (std::size_t b = 0; b < stereo.size() / 2; ++b) {
        stereo[2 * b] = sample(rng);
        stereo[2 * b + 1] = b % 7 == 0 ? 32767 : sample(rng);
        mono.push_back((stereo[2 * b] + stereo[2 * b + 1] + 1) >> 1);
    }
    _Carovel::CWaveConvert fromStereo;
    _Carovel::CWaveConvert fromMono;
    ASSERT_TRUE(fromStereo.Open(2, 48000, 16, 1, 8000, 16));
    ASSERT_TRUE(fromMono.Open(1, 48000, 16, 1, 8000, 16));
    const Bytes a = convert_test::ConvertOnce(fromStereo, Pack(stereo, 16), 4000, 4);
    const Bytes b = convert_test::ConvertOnce(fromMono, Pack(mono, 16), 4000, 2);
    ASSERT_EQ(a.size(), 2u * 801);
    EXPECT_EQ(a, b);
}

TEST(DownmixQ15, FullScaleMultichannelStaysAtFullScaleInMonoAndStereo) {
    // The rounded weights of a row may sum to a step above one: a block at
    // full scale in every channel must come out at full scale, not wrap.
    for (const unsigned channels : {3u, 4u, 5u, 6u, 8u}) {
        for (const unsigned dstChannels : {1u, 2u}) {
            for (const std::int64_t level : {std::int64_t{32767}, std::int64_t{-32768}}) {
                _Carovel::CWaveConvert cv;
                ASSERT_TRUE(cv.Open(channels, 48000, 16, dstChannels, 16000, 16));
                const Bytes src = Pack(Samples(std::size_t{4800} * channels, level), 16);
                const Samples out = convert_test::Unpack(
                    convert_test::ConvertOnce(cv, src, 4000 * dstChannels, 2 * channels), 16);
                ASSERT_EQ(out.size(), std::size_t{1600} * dstChannels);
                // Past the resampler's start, a constant stays that constant.
                for (std::size_t i = 200 * dstChannels; i < 1400 * dstChannels; ++i) {
                    ASSERT_NEAR(out[i], level, 40)
                        << channels << " -> " << dstChannels << " at " << i;
                }
            }
        }
    }
}

// Channel counts of no standard layout are averaged into mono: channel c
// holds 100 * (c + 1), so the average is 50 * (n + 1), at the same rate
// (exact) and resampled (within the filter's ripple), whatever the count's
// factors of two.
TEST(AverageIntoMono, IsTheAverageOfAnyNumberOfChannels) {
    for (const unsigned channels : {2u, 7u, 10u, 12u, 16u, 20u, 24u, 28u}) {
        const std::int64_t average = 50 * (std::int64_t{channels} + 1);
        Samples block;
        for (unsigned c = 0; c < channels; ++c) {
            block.push_back(100 * (std::int64_t{c} + 1));
        }
        Samples input;
        for (int b = 0; b < 4800; ++b) {
            input.insert(input.end(), block.begin(), block.end());
        }
        for (const unsigned rate : {48000u, 16000u}) {
            _Carovel::CWaveConvert cv;
            ASSERT_TRUE(cv.Open(channels, 48000, 16, 1, rate, 16)) << channels;
            const Samples out = convert_test::Unpack(
                convert_test::ConvertOnce(cv, Pack(input, 16), 2 * 4800, 2 * channels), 16);
            const std::size_t frames = rate == 48000 ? 4800 : 1600;
            ASSERT_EQ(out.size(), frames) << channels;
            for (std::size_t i = frames / 8; i < frames * 7 / 8; ++i) {
                ASSERT_NEAR(out[i], average, rate == 48000 ? 0 : 2)
                    << channels << " channels into " << rate << " at " << i;
            }
        }
    }
}

TEST(Downmix24, IsTheWeightedSumToFloatPrecisionWhateverThePieces) {
    if (!_Carovel::Downmix24Fits(8, 2)) {
        GTEST_SKIP() << "no vector path on this CPU";
    }
    std::mt19937 rng(13);
    std::uniform_int_distribution<int> sample(-8388608, 8388607);
    std::uniform_real_distribution<float> weight(-0.01f, 0.01f);
    for (unsigned n = 6; n <= 8; ++n) {
        for (unsigned k = 1; k <= 2; ++k) {
            ASSERT_TRUE(_Carovel::Downmix24Fits(n, k));
            const std::size_t blocks = 301;
            Samples s(blocks * n);
            for (std::size_t i = 0; i < s.size(); ++i) {
                s[i] = i % 9 == 0 ? (i % 2 == 0 ? 8388607 : -8388608) : sample(rng);
            }
            std::vector<float> w(std::size_t{n} * k);
            for (float& x : w) {
                x = weight(rng);
            }
            const Bytes bytes = Pack(s, 24);
            std::vector<float> whole(blocks * k);
            _Carovel::Downmix24(bytes.data(), blocks, n, k, w.data(), whole.data());
            for (std::size_t b = 0; b < blocks; ++b) {
                for (unsigned r = 0; r < k; ++r) {
                    double exact = 0;
                    double magnitude = 0;
                    for (unsigned c = 0; c < n; ++c) {
                        exact += double{w[r * n + c]} * static_cast<double>(s[b * n + c]);
                        magnitude +=
                            std::abs(double{w[r * n + c]} * static_cast<double>(s[b * n + c]));
                    }
                    ASSERT_NEAR(whole[b * k + r], exact, 4e-7 * magnitude)
                        << "n=" << n << " k=" << k << " block " << b;
                }
            }
            // Pieces of any size, each starting on a block, give the same floats.
            std::vector<float> pieces(blocks * k);
            for (std::size_t b = 0; b < blocks;) {
                const std::size_t count = std::min<std::size_t>(blocks - b, 1 + rng() % 5);
                _Carovel::Downmix24(bytes.data() + b * 3 * n, count, n, k, w.data(),
                                    pieces.data() + b * k);
                b += count;
            }
            ASSERT_EQ(pieces, whole) << "n=" << n << " k=" << k;
        }
    }
}

// Encodes the values with `encode` into samples of `bytes`, from each of
// the first four positions (so that the vector loop and its tail see every
// value), and expects each as WorkSample<float>::ToWidth gives it.
void ExpectEncodedAsTheWorkSample(const std::vector<float>& values, unsigned bytes,
                                  void (*encode)(const float*, std::size_t, unsigned char*)) {
    for (std::size_t skip = 0; skip < 4; ++skip) {
        const std::size_t count = values.size() - skip;
        Bytes out(bytes * count);
        encode(values.data() + skip, count, out.data());
        const Samples got = convert_test::Unpack(out, 8 * bytes);
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(got[i], _Carovel::WorkSample<float>::ToWidth(values[skip + i], bytes))
                << values[skip + i];
        }
    }
}

TEST(EncodeFloatTo32, RoundsEveryValueAsTheWorkSampleDoes) {
    // In 16-bit steps: halves at 32-bit scale and the floats either side of
    // them, below and above 2^23 (where floats become whole), the range's
    // ends (2^31 - 1 is no float) and beyond, and noise.
    std::vector<float> values;
    const auto around = [&values](float x) {
        values.insert(values.end(), {x, std::nextafter(x, -1e9f), std::nextafter(x, 1e9f)});
    };
    for (const double n : {0.0, 1.0, 2.0, 1000.0, 8388606.0, 8388607.0, 8388608.0, 16777217.0}) {
        for (const double s : {1.0, -1.0}) {
            around(static_cast<float>(s * (n + 0.5) / 65536.0));
            around(static_cast<float>(s * n / 65536.0));
        }
    }
    for (const float v : {32768.0f, -32768.0f, 32767.998f, 40000.0f, -40000.0f, 1e9f, -1e9f}) {
        around(v);
    }
    std::mt19937 rng(23);
    std::uniform_real_distribution<float> any(-40000.0f, 40000.0f);
    std::uniform_real_distribution<float> small(-2.0f, 2.0f);
    for (int i = 0; i < 1000; ++i) {
        values.insert(values.end(), {any(rng), small(rng)});
    }
    ExpectEncodedAsTheWorkSample(values, 4, _Carovel::EncodeFloatTo32);
}

TEST(EncodeFloatTo16, RoundsEveryValueAsTheWorkSampleDoes) {
    // Halves, values a float step either side of them (0.49999997 plus a half
    // is 1 in float, not in double), the range's ends and beyond, and noise;
    // in runs of every length so that both paths see each value.
    std::vector<float> values;
    for (const float v :
         {0.5f, 1.5f, 2.5f, 32766.5f, 32767.5f, -32768.5f, 40000.0f, 1e9f, 0.0f, -0.0f}) {
        for (const float x : {v, -v}) {
            values.push_back(x);
            values.push_back(std::nextafter(x, 0.0f));
            values.push_back(std::nextafter(x, 2 * x + 1));
        }
    }
    // Every half in the range and the floats either side of it.
    for (int n = -32770; n <= 32770; ++n) {
        const float h = static_cast<float>(n) + 0.5f;
        values.insert(values.end(), {h, std::nextafter(h, -1e9f), std::nextafter(h, 1e9f)});
    }
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> any(-40000.0f, 40000.0f);
    for (int i = 0; i < 1000; ++i) {
        values.push_back(any(rng));
    }
    ExpectEncodedAsTheWorkSample(values, 2, _Carovel::EncodeFloatTo16);
    // Spread over two channels: each sample twice, in runs of every length.
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{8},
                              std::size_t{13}, values.size()}) {
        std::vector<unsigned char> once(2 * count), twice(4 * count + 1, 0xA5);
        _Carovel::EncodeFloatTo16(values.data(), count, once.data());
        _Carovel::EncodeFloatTo16Twice(values.data(), count, twice.data());
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(std::memcmp(&twice[4 * i], &once[2 * i], 2), 0) << i;
            ASSERT_EQ(std::memcmp(&twice[4 * i + 2], &once[2 * i], 2), 0) << i;
        }
        EXPECT_EQ(twice.back(), 0xA5) << "wrote past the end";
    }
}

}  // namespace
