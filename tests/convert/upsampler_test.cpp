// The whole-factor upsampler: its response measured from outside (an impulse
// through a stream), the same bytes however a stream is cut, and the
// converter's choice of it.
#include "convert/upsampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

#include "convert/convert_stream.h"
#include "convert/upsample_kernel.h"

namespace {

using _Carovel::ConvertStream;
using _Carovel::PcmFormat;
using _Carovel::UpsampleKernel;
using _Carovel::Upsampler;

constexpr double kPi = 3.14159265358979323846;

std::vector<const UpsampleKernel*> Kernels() {
    std::vector<const UpsampleKernel*> kernels{&_Carovel::PortableUpsampleKernel()};
    if (&_Carovel::PlainUpsampleKernel() != kernels[0]) {
        kernels.push_back(&_Carovel::PlainUpsampleKernel());
    }
    if (const UpsampleKernel* avx2 = _Carovel::Avx2UpsampleKernel()) {
        kernels.push_back(avx2);
    }
    return kernels;
}

// Runs in through u in calls of the given sizes (cycled; input blocks
// offered, output room), then silence until total outputs are out.
std::vector<float> RunCut(Upsampler& u, const std::vector<float>& in, unsigned channels,
                          std::size_t total, const std::vector<std::size_t>& offers,
                          const std::vector<std::size_t>& rooms) {
    std::vector<float> out(total * channels);
    std::vector<float> silence(64 * channels, 0.0f);
    std::size_t used = 0;
    std::size_t made = 0;
    const std::size_t blocks = in.size() / channels;
    for (std::size_t call = 0; made < total; ++call) {
        const bool ending = used == blocks;
        std::size_t offer = ending ? 64 : std::min(offers[call % offers.size()], blocks - used);
        std::size_t room = std::min(rooms[call % rooms.size()], total - made);
        u.Process(ending ? silence.data() : in.data() + used * channels, &offer,
                  out.data() + made * channels, &room);
        if (!ending) {
            used += offer;
        }
        made += room;
        EXPECT_LT(call, 1000000u) << "no progress";
        if (call >= 1000000u) {
            break;
        }
    }
    return out;
}

// |H| in dB at hz of a response sampled at rate.
double ResponseDb(const std::vector<double>& h, double hz, double rate) {
    std::complex<double> sum = 0;
    std::complex<double> z = 1;
    const std::complex<double> step = std::polar(1.0, -2 * kPi * hz / rate);
    for (const double v : h) {
        sum += v * z;
        z *= step;
    }
    return 20 * std::log10(std::max(std::abs(sum), 1e-15));
}

// An impulse through a stream gives the filter as the stream sees it: centred
// on the impulse's own time (no delay, linear phase), the passband flat to
// within 0.25 dB up to 0.9 of the source's Nyquist frequency, everything from
// that frequency up (every image of the band) at least 92 dB down; on every
// kernel, at every factor.
TEST(Upsampler, AnImpulseComesOutAsAFlatLinearPhaseFilterWithImagesRejected) {
    for (const UpsampleKernel* kernel : Kernels()) {
        for (unsigned factor = 2; factor <= Upsampler::kMaxFactor; ++factor) {
            SCOPED_TRACE(factor);
            auto u = Upsampler::Create(1, factor, *kernel);
            ASSERT_NE(u, nullptr);
            constexpr std::size_t kAt = 200;
            std::vector<float> in(2 * kAt, 0.0f);
            in[kAt] = 1.0f;
            const std::vector<float> y = RunCut(*u, in, 1, in.size() * factor, {4096}, {4096});
            const std::size_t centre = kAt * factor;
            std::size_t peak = 0;
            for (std::size_t n = 0; n < y.size(); ++n) {
                peak = std::fabs(y[n]) > std::fabs(y[peak]) ? n : peak;
            }
            EXPECT_EQ(peak, centre);
            for (std::size_t d = 0; d < centre; ++d) {
                ASSERT_EQ(y[centre - d], y[centre + d]) << d;
            }
            // The filter spans about kTaps source blocks around the impulse.
            const std::size_t half = (Upsampler::kTaps / 2 + 2) * factor;
            for (std::size_t n = 0; n < y.size(); ++n) {
                if (n + half < centre || n > centre + half) {
                    ASSERT_EQ(y[n], 0.0f) << n;
                }
            }
            std::vector<double> h;
            for (std::size_t n = centre - half; n <= centre + half; ++n) {
                h.push_back(static_cast<double>(y[n]) / factor);
            }
            // Rates relative to a source rate of 1: Nyquist at 0.5.
            const double rate = factor;
            double flatMin = 1e9;
            double flatMax = -1e9;
            for (int i = 0; i <= 60; ++i) {
                const double db = ResponseDb(h, 0.45 * i / 60, rate);
                flatMin = std::min(flatMin, db);
                flatMax = std::max(flatMax, db);
            }
            EXPECT_GT(flatMin, -0.25);
            EXPECT_LT(flatMax, 0.25);
            double stopMax = -1e9;
            for (int i = 0; i <= 200 * static_cast<int>(factor); ++i) {
                const double hz = 0.5 + (rate / 2 - 0.5) * i / (200.0 * factor);
                stopMax = std::max(stopMax, ResponseDb(h, hz, rate));
            }
            EXPECT_LT(stopMax, -92.0);
        }
    }
}

// Every kernel gives the same bytes however a stream is cut into calls
// (offers and rooms of every size, down to one block: the group-by-group
// path, partial groups, the last lanes of a vector dropped), and the kernels
// agree with each other to within float rounding.
TEST(Upsampler, TheSameBytesHoweverTheStreamIsCutOnEveryKernel) {
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (const unsigned factor : {2u, 3u, 5u, 6u, 16u}) {
        for (const unsigned channels : {1u, 3u}) {
            SCOPED_TRACE(testing::Message() << factor << "x, " << channels << " channels");
            std::vector<float> in(1500 * channels);
            for (float& v : in) {
                v = static_cast<float>(static_cast<int>(next() % 60001) - 30000);
            }
            const std::size_t total = (in.size() / channels + 10) * factor;
            std::vector<std::vector<float>> whole;
            for (const UpsampleKernel* kernel : Kernels()) {
                auto one = Upsampler::Create(channels, factor, *kernel);
                whole.push_back(RunCut(*one, in, channels, total, {1u << 20}, {1u << 20}));
                auto cut = Upsampler::Create(channels, factor, *kernel);
                const std::vector<float> pieces =
                    RunCut(*cut, in, channels, total, {1, 7, 320, 2, 33, 5000, 3},
                           {1, 2, 3, 5, 17, 960, 61, 4096, 8});
                ASSERT_EQ(pieces.size(), whole.back().size());
                EXPECT_EQ(
                    std::memcmp(pieces.data(), whole.back().data(), pieces.size() * sizeof(float)),
                    0);
                // Started afresh, it gives the same again.
                cut->Reset();
                EXPECT_EQ(RunCut(*cut, in, channels, total, {320}, {960}), whole.back());
            }
            for (std::size_t k = 1; k < whole.size(); ++k) {
                for (std::size_t n = 0; n < whole[0].size(); ++n) {
                    ASSERT_NEAR(whole[k][n], whole[0][n], 0.02) << n;
                }
            }
        }
    }
}

// The default resampler raises rates by whole factors up to 16 on the
// upsampler, and other ratios on speexdsp; a trim before the first input
// moves the stream to speexdsp, after it the trim is refused.
TEST(Upsampler, TakesWholeFactorsOfTheDefaultResamplerAndGivesWayToATrim) {
    struct Pair {
        unsigned src, dst;
        bool upsampler;
    };
    for (const Pair p : {Pair{8000, 16000, true},
                         {16000, 48000, true},
                         {8000, 48000, true},
                         {3, 48, true},
                         {3000, 51000, false},
                         {44100, 48000, false},
                         {48000, 16000, false},
                         {16000, 16000, false}}) {
        const auto stream = ConvertStream::Create({2, p.src, 16}, {2, p.dst, 16});
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(stream->OnUpsampler(), p.upsampler) << p.src << " " << p.dst;
        const auto fast =
            ConvertStream::Create({2, p.src, 16}, {2, p.dst, 16}, _Carovel::Resampler::kFast);
        EXPECT_FALSE(fast->OnUpsampler());
    }
    const PcmFormat src{1, 16000, 16}, dst{1, 48000, 16};
    const auto before = ConvertStream::Create(src, dst);
    EXPECT_TRUE(before->SetTrim(0, nullptr, 0));
    EXPECT_TRUE(before->OnUpsampler());
    EXPECT_TRUE(before->SetTrim(300, nullptr, 0));
    EXPECT_FALSE(before->OnUpsampler());
    EXPECT_TRUE(before->Resampling());
    const auto after = ConvertStream::Create(src, dst);
    std::vector<unsigned char> in(640, 0), out(4000);
    EXPECT_EQ(after->Step(in.data(), in.size(), out.data(), out.size()).used, in.size());
    EXPECT_FALSE(after->SetTrim(300, nullptr, 0));
    EXPECT_TRUE(after->OnUpsampler());
}

}  // namespace
