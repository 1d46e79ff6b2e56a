// Live mode's trim of a conversion stream: a resampler started mid-stream
// without a seam, the trimmed rate, and ratio changes that never move the
// resampler's position.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "convert/convert_fixtures.h"
#include "convert/convert_stream.h"

namespace {

using _Carovel::ConvertStream;
using _Carovel::PcmFormat;
using convert_test::Bytes;
using convert_test::Pack;
using convert_test::Samples;
using convert_test::Unpack;

constexpr double kPi = 3.14159265358979323846;

Samples Sine(double hz, unsigned rate, std::size_t from, std::size_t count, double amplitude) {
    Samples out;
    for (std::size_t n = from; n < from + count; ++n) {
        out.push_back(std::llround(amplitude * std::sin(2 * kPi * hz * n / rate)));
    }
    return out;
}

// Steps all of src through the stream (16-bit mono), appending to out.
void StepAll(ConvertStream& stream, const Bytes& src, Samples& out) {
    Bytes room(src.size() * 4 + 4096);
    std::size_t used = 0;
    while (used + 2 <= src.size()) {
        const _Carovel::StepResult r =
            stream.Step(src.data() + used, src.size() - used, room.data(), room.size());
        used += r.used;
        const Samples got = Unpack(Bytes(room.begin(), room.begin() + r.produced), 16);
        out.insert(out.end(), got.begin(), got.end());
        if (r.used == 0 && r.produced == 0) {
            break;
        }
    }
}

// Residual of the best fit a sin(phase) + b cos(phase) + c over y, against
// the fitted sine's energy, in dB (lower is better).
double FitResidualDb(const std::vector<double>& y, const std::vector<double>& phase) {
    double xx[3][3] = {}, xy[3] = {}, yy = 0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const double x[3] = {std::sin(phase[i]), std::cos(phase[i]), 1.0};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                xx[r][c] += x[r] * x[c];
            }
            xy[r] += x[r] * y[i];
        }
        yy += y[i] * y[i];
    }
    // Gaussian elimination of the 3x3 normal equations.
    double a[3][4];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            a[r][c] = xx[r][c];
        }
        a[r][3] = xy[r];
    }
    for (int col = 0; col < 3; ++col) {
        for (int r = 0; r < 3; ++r) {
            if (r != col) {
                const double f = a[r][col] / a[col][col];
                for (int k = col; k < 4; ++k) {
                    a[r][k] -= f * a[col][k];
                }
            }
        }
    }
    double explained = 0, coef[3];
    for (int r = 0; r < 3; ++r) {
        coef[r] = a[r][3] / a[r][r];
        explained += coef[r] * xy[r];
    }
    const double signal = (coef[0] * coef[0] + coef[1] * coef[1]) / 2 * y.size();
    return 10 * std::log10(std::max(yy - explained, 1e-9) / signal);
}

// Half a second of a 1 kHz sine goes straight through a stream between equal
// rates; then a trim starts its resampler. Around the switch the output is
// the sine, without a seam, when the resampler takes the stream's history.
double SeamDb(bool withHistory) {
    const PcmFormat mono{1, 48000, 16};
    auto stream = ConvertStream::Create(mono, mono);
    EXPECT_NE(stream, nullptr);
    const Bytes first = Pack(Sine(1000, 48000, 0, 24000, 16000), 16);
    const Bytes second = Pack(Sine(1000, 48000, 24000, 24000, 16000), 16);
    Samples out;
    StepAll(*stream, first, out);
    EXPECT_EQ(out.size(), 24000u);  // no resampler yet: exact and complete
    EXPECT_FALSE(stream->Resampling());
    const std::size_t history = ConvertStream::kTrimHistoryBlocks;
    EXPECT_TRUE(stream->SetTrim(2000,
                                withHistory ? first.data() + first.size() - 2 * history : nullptr,
                                withHistory ? history : 0));
    EXPECT_TRUE(stream->Resampling());
    StepAll(*stream, second, out);
    // 2 ms each side of the switch; 2000 ppm moves the phase by 2.5e-5 rad
    // in that time, which the fit at 1 kHz can ignore.
    std::vector<double> y, phase;
    for (std::size_t n = 24000 - 96; n < 24000 + 96; ++n) {
        y.push_back(static_cast<double>(out[n]));
        phase.push_back(2 * kPi * 1000.0 * static_cast<double>(n) / 48000);
    }
    return FitResidualDb(y, phase);
}

TEST(Trim, StartingTheResamplerLeavesNoSeam) {
    const double withHistory = SeamDb(true);
    const double fromSilence = SeamDb(false);
    // Measured: -93.7 dB (the 16-bit floor) and -41.8 dB.
    EXPECT_LT(withHistory, -80.0) << "from silence: " << fromSilence;
    // The check sees a seam where there is one: a filter started from
    // silence halves the first samples.
    EXPECT_GT(fromSilence, -60.0) << "with history: " << withHistory;
}

TEST(Trim, ATrimmedStreamRunsAtTheTrimmedRate) {
    const PcmFormat mono{1, 48000, 16};
    auto stream = ConvertStream::Create(mono, mono);
    ASSERT_TRUE(stream->SetTrim(5000, nullptr, 0));
    const Bytes tone = Pack(Sine(1000, 48000, 0, 480000, 16000), 16);
    Samples out;
    StepAll(*stream, tone, out);
    Bytes tail(4096);
    for (;;) {
        const std::size_t n = stream->Drain(tail.data(), tail.size()).produced;
        if (n == 0) {
            break;
        }
        const Samples got = Unpack(Bytes(tail.begin(), tail.begin() + n), 16);
        out.insert(out.end(), got.begin(), got.end());
    }
    // Ten seconds come out 0.5% shorter (to within a block), and the tone
    // 0.5% higher.
    const double ratio = stream->SourcePerOutput();
    EXPECT_NEAR(ratio, 1.005, 1.0 / 65521);
    EXPECT_NEAR(static_cast<double>(out.size()), 480000 / ratio, 1.0);
    std::vector<double> y, phase;
    for (std::size_t n = 48000; n < 48000 * 9; ++n) {
        y.push_back(static_cast<double>(out[n]));
        phase.push_back(2 * kPi * 1000.0 * ratio * static_cast<double>(n) / 48000);
    }
    EXPECT_LT(FitResidualDb(y, phase), -85.0);
}

TEST(Trim, ChangingTheTrimNeverMovesTheResamplersPosition) {
    // 16 kHz into 48 kHz; the trim changes before every 20 ms block, so
    // the ratio changes 250 times. The ideal sine advances, output sample
    // by output sample, by the ratio in effect when the sample was made.
    const PcmFormat from{1, 16000, 16};
    const PcmFormat to{1, 48000, 16};
    auto stream = ConvertStream::Create(from, to);
    ASSERT_TRUE(stream->Resampling());
    Samples out;
    std::vector<double> perSample;  // source samples per output sample
    for (int block = 0; block < 250; ++block) {
        ASSERT_TRUE(stream->SetTrim(block % 2 == 0 ? 1000 : 1400, nullptr, 0));
        const std::size_t before = out.size();
        StepAll(*stream, Pack(Sine(440, 16000, 320u * block, 320, 16000), 16), out);
        perSample.insert(perSample.end(), out.size() - before, stream->SourcePerOutput());
    }
    double p = 0;
    std::vector<double> y, phase;
    for (std::size_t n = 0; n < out.size(); ++n) {
        p += perSample[n];
        if (n >= 4800) {  // after the first 100 ms
            y.push_back(static_cast<double>(out[n]));
            phase.push_back(2 * kPi * 440.0 * p / 16000);
        }
    }
    EXPECT_GT(y.size(), 200000u);
    EXPECT_LT(FitResidualDb(y, phase), -80.0);
}

}  // namespace
