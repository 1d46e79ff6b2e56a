// Streaming PCM conversion in 20 ms blocks with each resampler (Convert/:
// the default Resampler::kLowLatency, speexdsp at quality 5; ConvertFast/:
// Resampler::kFast, libsoxr), beside the bare resamplers on samples decoded
// beforehand (BareResampler/: speexdsp at quality 5; BareSoxr/: libsoxr at
// medium quality, high quality for wider streams). The rtf counter is
// seconds of audio converted per second of run time.
#include <benchmark/benchmark.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "carovel/wave_convert.h"

namespace {

using _Carovel::CWaveConvert;

struct Case {
    unsigned short srcRate, dstRate, srcCh, dstCh, srcBits, dstBits;

    std::string Name() const {
        return std::to_string(srcRate) + "x" + std::to_string(srcCh) + "x" +
               std::to_string(srcBits) + "_to_" + std::to_string(dstRate) + "x" +
               std::to_string(dstCh) + "x" + std::to_string(dstBits);
    }
    unsigned SrcFrames() const { return srcRate / 50u; }
    unsigned DstFrames() const { return dstRate / 50u; }
    unsigned WorkChannels() const { return srcCh < dstCh ? srcCh : dstCh; }
};

constexpr Case kCases[] = {
    {8000, 16000, 1, 1, 16, 16},
    {8000, 16000, 2, 2, 16, 16},
    {16000, 8000, 1, 1, 16, 16},
    {16000, 8000, 2, 2, 16, 16},
    {16000, 48000, 1, 1, 16, 16},
    {44100, 48000, 1, 1, 16, 16},
    {44100, 48000, 2, 2, 16, 16},
    {48000, 8000, 1, 1, 16, 16},
    {48000, 8000, 2, 2, 16, 16},
    {48000, 8000, 2, 1, 24, 16},
    // Downmixes of multichannel layouts (5.1, 7.1) into stereo and mono.
    {48000, 8000, 2, 1, 16, 16},
    {48000, 8000, 6, 2, 16, 16},
    {48000, 8000, 6, 1, 16, 16},
    {44100, 48000, 6, 2, 16, 16},
    {48000, 16000, 8, 2, 24, 16},
};

constexpr double kBlockSeconds = 0.02;
constexpr unsigned kBlocks = 50;  // one second of source, replayed

// Two tones plus a little deterministic noise, at half scale, in [-1, 1).
double Signal(std::size_t n, unsigned rate) {
    const double t = static_cast<double>(n) / rate;
    const double pi = std::acos(-1.0);
    const double noise = static_cast<double>((n * 2654435761u) % 1000) / 1000.0 - 0.5;
    return 0.3 * std::sin(2 * pi * 440 * t) + 0.15 * std::sin(2 * pi * 2900 * t) + 0.02 * noise;
}

std::vector<unsigned char> SourceBytes(const Case& c) {
    std::vector<unsigned char> out;
    const unsigned bytes = c.srcBits / 8u;
    for (std::size_t n = 0; n < std::size_t{c.SrcFrames()} * kBlocks; ++n) {
        const auto v = static_cast<std::int64_t>(std::ldexp(Signal(n, c.srcRate), c.srcBits - 1));
        for (unsigned ch = 0; ch < c.srcCh; ++ch) {
            for (unsigned b = 0; b < bytes; ++b) {
                out.push_back(static_cast<unsigned char>(static_cast<std::uint64_t>(v) >> (8 * b)));
            }
        }
    }
    return out;
}

void SetRealTimeFactor(benchmark::State& state) {
    state.counters["rtf"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kBlockSeconds, benchmark::Counter::kIsRate);
}

void BM_Convert(benchmark::State& state, const Case& c, _Carovel::Resampler resampler) {
    CWaveConvert cv;
    if (!cv.Open(c.srcCh, c.srcRate, c.srcBits, c.dstCh, c.dstRate, c.dstBits, resampler)) {
        state.SkipWithError("Open failed");
        return;
    }
    const std::vector<unsigned char> src = SourceBytes(c);
    const std::size_t block = src.size() / kBlocks;
    std::vector<unsigned char> dst((c.DstFrames() + 2u) * c.dstCh * (c.dstBits / 8u));
    std::size_t pos = 0;
    for (auto _ : state) {
        unsigned long srcLen = block;
        unsigned long dstLen = dst.size();
        if (!cv.Convert(src.data() + pos, srcLen, dst.data(), dstLen) || srcLen != block) {
            state.SkipWithError("block not consumed");
            break;
        }
        benchmark::DoNotOptimize(dst.data());
        pos = (pos + block) % src.size();
    }
    SetRealTimeFactor(state);
}

struct ResamplerFree {
    void operator()(SpeexResamplerState* st) const { speex_resampler_destroy(st); }
};

// The resampler alone, on work samples prepared outside the loop: int16 for
// 16-bit streams, float in 16-bit units otherwise.
template <class T>
void BM_BareResampler(benchmark::State& state, const Case& c) {
    const unsigned k = c.WorkChannels();
    std::unique_ptr<SpeexResamplerState, ResamplerFree> st(
        speex_resampler_init(k, c.srcRate, c.dstRate, 5, nullptr));
    std::vector<T> in(std::size_t{c.SrcFrames()} * kBlocks * k);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<T>(32768 * Signal(i / k, c.srcRate));
    }
    std::vector<T> out((c.DstFrames() + 2u) * k);
    std::size_t pos = 0;
    for (auto _ : state) {
        spx_uint32_t inLen = c.SrcFrames();
        auto outLen = static_cast<spx_uint32_t>(out.size() / k);
        if constexpr (std::is_same_v<T, float>) {
            speex_resampler_process_interleaved_float(st.get(), in.data() + pos, &inLen, out.data(),
                                                      &outLen);
        } else {
            speex_resampler_process_interleaved_int(st.get(), in.data() + pos, &inLen, out.data(),
                                                    &outLen);
        }
        benchmark::DoNotOptimize(out.data());
        pos = (pos + std::size_t{c.SrcFrames()} * k) % in.size();
    }
    SetRealTimeFactor(state);
}

struct SoxrFree {
    void operator()(soxr* s) const { soxr_delete(s); }
};

// libsoxr alone, as the converter sets it up (one thread, no dither, medium
// quality on 16-bit work samples, high quality on float ones), on work
// samples prepared outside the loop.
template <class T>
void BM_BareSoxr(benchmark::State& state, const Case& c) {
    const unsigned k = c.WorkChannels();
    const soxr_datatype_t type = std::is_same_v<T, float> ? SOXR_FLOAT32_I : SOXR_INT16_I;
    soxr_io_spec_t io = soxr_io_spec(type, type);
    io.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality =
        soxr_quality_spec(std::is_same_v<T, float> ? SOXR_HQ : SOXR_MQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    std::unique_ptr<soxr, SoxrFree> s(
        soxr_create(c.srcRate, c.dstRate, k, nullptr, &io, &quality, &runtime));
    std::vector<T> in(std::size_t{c.SrcFrames()} * kBlocks * k);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<T>(32768 * Signal(i / k, c.srcRate));
    }
    std::vector<T> out((c.DstFrames() + 4096u) * k);
    std::size_t pos = 0;
    for (auto _ : state) {
        std::size_t inDone = 0;
        std::size_t outDone = 0;
        soxr_process(s.get(), in.data() + pos, c.SrcFrames(), &inDone, out.data(), out.size() / k,
                     &outDone);
        benchmark::DoNotOptimize(out.data());
        pos = (pos + std::size_t{c.SrcFrames()} * k) % in.size();
    }
    SetRealTimeFactor(state);
}

const bool kRegistered = [] {
    for (const Case& c : kCases) {
        benchmark::RegisterBenchmark(("Convert/" + c.Name()).c_str(), BM_Convert, c,
                                     _Carovel::Resampler::kLowLatency)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("ConvertFast/" + c.Name()).c_str(), BM_Convert, c,
                                     _Carovel::Resampler::kFast)
            ->Unit(benchmark::kMicrosecond);
        auto soxr = c.srcBits > 16 ? BM_BareSoxr<float> : BM_BareSoxr<std::int16_t>;
        benchmark::RegisterBenchmark(("BareSoxr/" + c.Name()).c_str(), soxr, c)
            ->Unit(benchmark::kMicrosecond);
        auto bare = c.srcBits > 16 ? BM_BareResampler<float> : BM_BareResampler<std::int16_t>;
        benchmark::RegisterBenchmark(("BareResampler/" + c.Name()).c_str(), bare, c)
            ->Unit(benchmark::kMicrosecond);
    }
    return true;
}();

}  // namespace
