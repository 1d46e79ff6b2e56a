#include "convert/convert_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

#include "convert/downmix_24.h"
#include "convert/downmix_q15.h"
#include "convert/encode_float.h"
#include "convert/fixed_count.h"
#include "convert/work_sample.h"

namespace _Carovel {
namespace {

// Work samples per scratch buffer; one pass of a step handles at most this
// many, so the buffers are sized once when the stream opens.
constexpr std::size_t kScratchSamples = 4096;

void Resample(SpeexResamplerState* st, const std::int16_t* in, spx_uint32_t& inLen,
              std::int16_t* out, spx_uint32_t& outLen) {
    speex_resampler_process_interleaved_int(st, in, &inLen, out, &outLen);
}

void Resample(SpeexResamplerState* st, const float* in, spx_uint32_t& inLen, float* out,
              spx_uint32_t& outLen) {
    speex_resampler_process_interleaved_float(st, in, &inLen, out, &outLen);
}

// Averages the n channels of each block into one work sample; a non-zero
// Channels fixes n at compile time so the common stereo case unrolls.
template <unsigned Bytes, unsigned Channels, class T>
void AverageChannels(const unsigned char* src, std::size_t blocks, unsigned n,
                     const WorkSample<T>& average, T* out) {
    using Sum = typename WorkSample<T>::Sum;
    const unsigned channels = Channels != 0 ? Channels : n;
    for (std::size_t b = 0; b < blocks; ++b, src += channels * Bytes) {
        Sum sum = 0;
        for (unsigned c = 0; c < channels; ++c) {
            sum += static_cast<Sum>(ReadAt32BitScale<Bytes>(src + c * Bytes));
        }
        out[b] = average.FromSum(sum);
    }
}

// Reads a sample of a block that is not the stream's last: 24-bit samples
// take one 32-bit load, which may read the first byte of the next block.
template <unsigned Bytes>
std::int32_t ReadInside(const unsigned char* p) {
    if constexpr (Bytes == 3 && kLittleEndianMachine) {
        std::uint32_t u;
        std::memcpy(&u, p, sizeof u);
        return static_cast<std::int32_t>(u << 8) >> 8;
    }
    return Codec<Bytes>::Read(p);
}

// Folds one block into K float work samples through the taps (K rows of
// Taps), adding in channel order as a full row would (zero weights add
// nothing), so the result does not depend on the taps dropped.
// Taps fixed at compile time unrolls the row; 0 takes it from tapsPerRow.
template <unsigned Bytes, unsigned Taps, unsigned K, bool Inside>
void FoldBlock(const unsigned char* src, const DownmixTap* taps, unsigned tapsPerRow, float* out) {
    const unsigned count = Taps != 0 ? Taps : tapsPerRow;
    for (unsigned r = 0; r < K; ++r) {
        float acc = 0;
        for (unsigned t = 0; t < count; ++t) {
            const DownmixTap& tap = taps[r * count + t];
            const std::int32_t v =
                Inside ? ReadInside<Bytes>(src + tap.offset) : Codec<Bytes>::Read(src + tap.offset);
            acc += tap.weight * static_cast<float>(v);
        }
        out[r] = acc;
    }
}

template <unsigned Bytes, unsigned Taps, unsigned K>
void FoldBlocks(const unsigned char* src, std::size_t blocks, std::size_t blockAlign,
                const DownmixTap* taps, unsigned tapsPerRow, float* out) {
    if (blocks == 0) {
        return;
    }
    for (std::size_t b = 0; b + 1 < blocks; ++b, src += blockAlign, out += K) {
        FoldBlock<Bytes, Taps, K, true>(src, taps, tapsPerRow, out);
    }
    FoldBlock<Bytes, Taps, K, false>(src, taps, tapsPerRow, out);
}

// Float work samples through the taps, into one or two rows.
template <unsigned Bytes, unsigned K>
void FoldTaps(const unsigned char* src, std::size_t blocks, std::size_t blockAlign,
              const DownmixTap* taps, unsigned tapsPerRow, float* out) {
    WithFixedCount<1, 2, 3, 4, 5, 6, 7, 8>(tapsPerRow, [&](auto fixed) {
        FoldBlocks<Bytes, decltype(fixed)::value, K>(src, blocks, blockAlign, taps, tapsPerRow,
                                                     out);
    });
}

}  // namespace

ConvertStream::Engine ConvertStream::EngineFor(Resampler resampler, unsigned srcRate,
                                               unsigned dstRate) {
    if (resampler == Resampler::kFast) {
        return Engine::kSoxr;
    }
    if (Upsampler::FactorFor(srcRate, dstRate) != 0) {
        return Engine::kUpsampler;
    }
    // speexdsp's filter grows with the ratio (and its cost per output with
    // it); libsoxr's multi-stage filters do not.
    const std::uint64_t lo = std::min(srcRate, dstRate);
    const std::uint64_t hi = std::max(srcRate, dstRate);
    return hi > lo * kFastAboveRatio ? Engine::kSoxr : Engine::kSpeex;
}

std::shared_ptr<ConvertStream> ConvertStream::Create(const PcmFormat& src, const PcmFormat& dst,
                                                     Resampler resampler) {
    if (!src.IsSupported() || !dst.IsSupported() ||
        (resampler != Resampler::kLowLatency && resampler != Resampler::kFast)) {
        return nullptr;
    }
    auto stream = std::make_shared<ConvertStream>(
        Token{}, src, dst, EngineFor(resampler, src.samplesPerSec, dst.samplesPerSec));
    if (src.samplesPerSec != dst.samplesPerSec && !stream->Resampling()) {
        return nullptr;
    }
    return stream;
}

ConvertStream::ConvertStream(Token, const PcmFormat& src, const PcmFormat& dst, Engine engine)
    : src_(src),
      dst_(dst),
      workChannels_(std::min(src.channels, dst.channels)),
      chunkBlocks_(std::max<std::size_t>(1, kScratchSamples / workChannels_)),
      matrix_(DownmixMatrix(src.channels, dst.channels)) {
    const float toSteps = std::ldexp(1.0f, 16 - 8 * static_cast<int>(src.BytesPerSample()));
    for (const double w : matrix_.weights) {
        stepWeights_.push_back(static_cast<float>(w) * toSteps);
        // 16-bit work samples come only from sources of 16 bits or less.
        q15Weights_.push_back(static_cast<std::int32_t>(
            std::lround(static_cast<double>(stepWeights_.back()) * 32768)));
    }
    BuildTaps();
    if (src.samplesPerSec == dst.samplesPerSec) {
        scratch_.emplace<Scratch<std::int32_t>>().in.resize(chunkBlocks_ * workChannels_);
        return;
    }
    StartResampler(engine);
}

bool ConvertStream::StartResampler(Engine engine) {
    // 16-bit work samples lose nothing when neither side is wider than that.
    const bool narrow = src_.bitsPerSample <= 16 && dst_.bitsPerSample <= 16;
    std::unique_ptr<SpeexResamplerState, ResamplerFree> resampler;
    std::unique_ptr<SoxrStage> stage;
    std::unique_ptr<Upsampler> upsampler;
    if (engine == Engine::kUpsampler) {
        upsampler = Upsampler::Create(workChannels_,
                                      Upsampler::FactorFor(src_.samplesPerSec, dst_.samplesPerSec));
        if (!upsampler) {
            return false;
        }
    } else if (engine == Engine::kSoxr) {
        stage = SoxrStage::Create(workChannels_, src_.samplesPerSec, dst_.samplesPerSec,
                                  narrow ? SoxrStage::Sample::kInt16 : SoxrStage::Sample::kFloat);
        if (!stage) {
            return false;
        }
    } else {
        int err = RESAMPLER_ERR_SUCCESS;
        resampler.reset(speex_resampler_init(workChannels_, src_.samplesPerSec, dst_.samplesPerSec,
                                             kResamplerQuality, &err));
        if (!resampler) {
            return false;
        }
        speex_resampler_skip_zeros(resampler.get());
    }
    const std::size_t chunkBlocks = std::max<std::size_t>(
        1, (upsampler ? kStackScratchSamples : kScratchSamples) / workChannels_);
    const std::size_t samples = chunkBlocks * workChannels_;
    // The scratch is made before anything of the stream changes, so that a
    // failed allocation leaves the stream as it was.
    decltype(scratch_) scratch;
    if (narrow && !upsampler) {
        auto& work = scratch.emplace<Scratch<std::int16_t>>();
        work.in.resize(samples);
        work.out.resize(samples);
    } else {
        // The upsampler filters floats. A stream whose steps use the stack's
        // scratch needs none of its own.
        auto& work = scratch.emplace<Scratch<float>>();
        if (!UsesStackScratch(upsampler.get(), samples)) {
            work.in.resize(samples);
            work.out.resize(samples);
        }
    }
    chunkBlocks_ = chunkBlocks;
    scratch_ = std::move(scratch);
    resampler_ = std::move(resampler);
    soxr_ = std::move(stage);
    upsampler_ = std::move(upsampler);
    blocksPerOut_ = static_cast<double>(src_.samplesPerSec) / dst_.samplesPerSec;
    return true;
}

template <class Use>
StepResult ConvertStream::WithScratch(Use&& use) {
    if (UsesStackScratch(upsampler_.get(), chunkBlocks_ * workChannels_)) {
        StackScratch scratch;
        return use(scratch);
    }
    return std::visit(use, scratch_);
}

StepResult ConvertStream::Step(const unsigned char* src, std::size_t srcLen, unsigned char* dst,
                               std::size_t dstLen) {
    const std::size_t inBlocks = srcLen / src_.BlockAlign();
    const std::size_t outBlocks = dstLen / dst_.BlockAlign();
    if (inBlocks == 0 || outBlocks == 0) {
        return {0, 0};
    }
    if (soxr_) {
        return std::visit(
            [&](auto& scratch) { return RunFixed(scratch, src, inBlocks, dst, outBlocks); },
            scratch_);
    }
    return WithScratch([&](auto& scratch) { return Run(scratch, src, inBlocks, dst, outBlocks); });
}

StepResult ConvertStream::Drain(unsigned char* dst, std::size_t dstLen) {
    const std::size_t outBlocks = dstLen / dst_.BlockAlign();
    if (outBlocks == 0) {
        return {0, 0};
    }
    if (soxr_) {
        return std::visit([&](auto& scratch) { return DrainFixed(scratch, dst, outBlocks); },
                          scratch_);
    }
    return WithScratch([&](auto& scratch) { return DrainWith(scratch, dst, outBlocks); });
}

std::size_t ConvertStream::HeldBackBlocks() const {
    if (!Resampling()) {
        return 0;
    }
    if (trimmed_) {
        const double owed = dueOut_ - static_cast<double>(blocksOut_);
        return owed > 1e-6 ? static_cast<std::size_t>(std::ceil(owed - 1e-6)) : 0;
    }
    const std::uint64_t due =
        (blocksIn_ * dst_.samplesPerSec + src_.samplesPerSec - 1) / src_.samplesPerSec;
    return static_cast<std::size_t>(due > blocksOut_ ? due - blocksOut_ : 0);
}

void ConvertStream::Restart() {
    if (soxr_) {
        soxr_->Clear();
    } else if (upsampler_) {
        upsampler_->Reset();
    } else {
        speex_resampler_reset_mem(resampler_.get());
        speex_resampler_skip_zeros(resampler_.get());
    }
    blocksIn_ = 0;
    blocksOut_ = 0;
    pendingDiscard_ = 0;
    // The ratio stays as it was set; a trimmed one counts from here.
    trimmed_ = trimPpm_ != 0;
    dueOut_ = 0.0;
}

bool ConvertStream::SetTrim(std::int32_t ppm, const unsigned char* history,
                            std::size_t historyBlocks) {
    if (soxr_ || upsampler_) {
        if (ppm == 0) {
            return true;
        }
        // Before any input the stream changes to the trimmable resampler;
        // afterwards the filter state cannot be handed over.
        if (blocksIn_ != 0) {
            return false;
        }
        try {
            if (!StartResampler(Engine::kSpeex)) {
                return false;
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    if (!resampler_) {
        if (ppm == 0) {
            return true;
        }
        try {
            if (!StartResampler(Engine::kSpeex)) {
                return false;
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        // The history's own outputs are already written out: they are fed
        // only for the filter's sake and dropped, at the plain ratio, so that
        // the first kept output is exactly the next source block's.
        const std::size_t fed = std::min(historyBlocks, kTrimHistoryBlocks);
        history += (historyBlocks - fed) * src_.BlockAlign();
        pendingDiscard_ = fed;
        trimPpm_ = ppm;
        std::visit(
            [&](auto& scratch) {
                using T = typename std::decay_t<decltype(scratch)>::value_type;
                if constexpr (!std::is_same_v<T, std::int32_t>) {
                    std::size_t done = 0;
                    while (done < fed) {
                        const std::size_t n = std::min(fed - done, chunkBlocks_);
                        Decode(history + done * src_.BlockAlign(), n, scratch.in.data());
                        auto inLen = static_cast<spx_uint32_t>(n);
                        auto outLen = static_cast<spx_uint32_t>(chunkBlocks_);
                        ResampleKept(scratch, inLen, outLen);
                        done += inLen;
                        if (inLen == 0) {
                            break;
                        }
                    }
                }
            },
            scratch_);
        if (pendingDiscard_ == 0) {
            ApplyRatio();
        }
        return true;
    }
    trimPpm_ = ppm;
    if (pendingDiscard_ == 0) {
        ApplyRatio();
    }
    return true;
}

namespace {

// The fraction num/den nearest to x with den at most maxDen (continued
// fractions, with the last semiconvergent).
void NearestFraction(double x, std::uint32_t maxDen, std::uint32_t& num, std::uint32_t& den) {
    std::uint64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    double rest = x;
    for (int i = 0; i < 64; ++i) {
        const double a = std::floor(rest);
        const auto ai = static_cast<std::uint64_t>(a);
        const std::uint64_t p2 = ai * p1 + p0;
        const std::uint64_t q2 = ai * q1 + q0;
        if (q2 > maxDen) {
            const std::uint64_t k = (maxDen - q0) / q1;
            const std::uint64_t ps = p0 + k * p1;
            const std::uint64_t qs = q0 + k * q1;
            if (qs > 0 && std::fabs(static_cast<double>(ps) / static_cast<double>(qs) - x) <
                              std::fabs(static_cast<double>(p1) / static_cast<double>(q1) - x)) {
                p1 = ps;
                q1 = qs;
            }
            break;
        }
        p0 = p1;
        q0 = q1;
        p1 = p2;
        q1 = q2;
        if (rest - a < 1e-12) {
            break;
        }
        rest = 1.0 / (rest - a);
    }
    num = static_cast<std::uint32_t>(p1);
    den = static_cast<std::uint32_t>(q1);
}

}  // namespace

// The resampler keeps its fractional position in units of its ratio's
// denominator (reduced to lowest terms), and rescales it, rounding down, when
// the denominator changes: a jump of up to one unit. So a trimmed stream keeps
// one denominator, a prime, which no numerator shares unless the ratio is a
// whole number; the numerator moves in steps of 1/kTrimDen of the ratio
// (15 ppm at equal rates). The position is rescaled in 32 bits (old times new
// denominator) and the filter's set-up multiplies the numerator by its
// length, which limits the denominator to 16 bits and the numerator to 5e7.
void ConvertStream::ApplyRatio() {
    constexpr std::uint32_t kTrimDen = 65521;
    const std::uint32_t src = src_.samplesPerSec;
    const std::uint32_t dst = dst_.samplesPerSec;
    std::uint32_t num = src;
    std::uint32_t den = dst;
    if (trimPpm_ != 0 || trimmed_) {
        if (!trimmed_) {
            dueOut_ = static_cast<double>(blocksIn_) * dst / src;
            trimmed_ = true;
        }
        const double x = static_cast<double>(src) / dst * (1.0 + trimPpm_ * 1e-6);
        if (x * kTrimDen <= 5e7) {
            // A trim within a step of the one in effect keeps it: the
            // control's small wobbles then cost no filter set-ups.
            if (appliedDen_ == kTrimDen &&
                std::fabs(x * kTrimDen - static_cast<double>(appliedNum_)) < 1.0) {
                return;
            }
            auto p = static_cast<std::uint32_t>(std::max(std::llround(x * kTrimDen), 1LL));
            if (p % kTrimDen == 0) {
                // A whole ratio would reduce to a denominator of 1: stay a
                // step beside it.
                p = trimPpm_ < 0 ? p - 1 : p + 1;
            }
            num = p;
            den = kTrimDen;
        } else {
            const auto maxDen = static_cast<std::uint32_t>(std::max(1.0, 5e7 / x));
            NearestFraction(x, std::min<std::uint32_t>(maxDen, 65535), num, den);
            if (num == 0 || den == 0) {
                num = src;
                den = dst;
            }
        }
    }
    if (speex_resampler_set_rate_frac(resampler_.get(), num, den, src, dst) !=
        RESAMPLER_ERR_SUCCESS) {
        num = src;
        den = dst;
        speex_resampler_set_rate_frac(resampler_.get(), num, den, src, dst);
    }
    appliedNum_ = num;
    appliedDen_ = den;
    blocksPerOut_ = static_cast<double>(num) / den;
}

template <class Work>
void ConvertStream::ResampleKept(Work& scratch, spx_uint32_t& inLen, spx_uint32_t& outLen) {
    using T = typename Work::value_type;
    if constexpr (std::is_same_v<T, float>) {
        if (upsampler_) {
            std::size_t in = inLen;
            std::size_t out = outLen;
            upsampler_->Process(scratch.in.data(), &in, scratch.out.data(), &out);
            inLen = static_cast<spx_uint32_t>(in);
            outLen = static_cast<spx_uint32_t>(out);
            return;  // never trimmed, so nothing to drop
        }
    }
    Resample(resampler_.get(), scratch.in.data(), inLen, scratch.out.data(), outLen);
    const auto drop = static_cast<spx_uint32_t>(std::min<std::size_t>(pendingDiscard_, outLen));
    if (drop == 0) {
        return;
    }
    std::copy(scratch.out.begin() + drop * workChannels_,
              scratch.out.begin() + outLen * workChannels_, scratch.out.begin());
    outLen -= drop;
    pendingDiscard_ -= drop;
    if (pendingDiscard_ == 0) {
        ApplyRatio();
    }
}

// Pushes silence through the resampler until it has given out every block
// that the stream's input accounts for.
template <class Work>
StepResult ConvertStream::DrainWith(Work& scratch, unsigned char* dst, std::size_t outBlocks) {
    using T = typename Work::value_type;
    if constexpr (std::is_same_v<T, std::int32_t>) {
        return {0, 0};  // equal rates hold nothing back
    } else {
        std::size_t made = 0;
        while (made < outBlocks) {
            const std::size_t owed = HeldBackBlocks();
            if (owed == 0) {
                break;
            }
            const std::size_t room = std::min({outBlocks - made, chunkBlocks_, owed});
            const std::size_t resampleRoom = std::min(chunkBlocks_, room + pendingDiscard_);
            const std::size_t offer = std::min(chunkBlocks_, InputFor(resampleRoom));
            std::fill(scratch.in.begin(), scratch.in.begin() + offer * workChannels_, T{0});
            auto inLen = static_cast<spx_uint32_t>(offer);
            auto outLen = static_cast<spx_uint32_t>(resampleRoom);
            const std::size_t discarding = pendingDiscard_;
            ResampleKept(scratch, inLen, outLen);
            Encode(scratch.out.data(), outLen, dst + made * dst_.BlockAlign());
            made += outLen;
            blocksOut_ += outLen;
            if (inLen == 0 && outLen == 0 && discarding == pendingDiscard_) {
                break;
            }
        }
        if (HeldBackBlocks() == 0) {
            Restart();
        }
        return {0, made * dst_.BlockAlign()};
    }
}

std::size_t ConvertStream::InputFor(std::size_t outBlocks) const {
    if (trimmed_ || pendingDiscard_ > 0) {
        return static_cast<std::size_t>(
                   std::ceil(static_cast<double>(outBlocks) * std::max(blocksPerOut_, 1.0))) +
               2;
    }
    const std::uint64_t num = std::uint64_t{outBlocks} * src_.samplesPerSec;
    return static_cast<std::size_t>((num + dst_.samplesPerSec - 1) / dst_.samplesPerSec + 1);
}

// The resampler keeps the filter history it needs in its own state and takes
// only the input that its output room allows, so the blocks it reports as
// consumed are exactly the blocks this step used. Blocks decoded but not
// consumed are offered again by the caller, which makes the output independent
// of how the stream is cut into steps.
template <class Work>
StepResult ConvertStream::Run(Work& scratch, const unsigned char* src, std::size_t inBlocks,
                              unsigned char* dst, std::size_t outBlocks) {
    using T = typename Work::value_type;
    std::size_t used = 0;
    std::size_t made = 0;
    while (used < inBlocks && made < outBlocks) {
        const std::size_t room = std::min(outBlocks - made, chunkBlocks_);
        // Outputs still owed to a trim's history are made and dropped on top.
        const std::size_t resampleRoom = std::min(chunkBlocks_, room + pendingDiscard_);
        std::size_t offer = std::min(inBlocks - used, chunkBlocks_);
        offer = Resampling() ? std::min(offer, InputFor(resampleRoom)) : std::min(offer, room);
        Decode(src + used * src_.BlockAlign(), offer, scratch.in.data());

        auto inLen = static_cast<spx_uint32_t>(offer);
        auto outLen = inLen;
        const T* result = scratch.in.data();
        const std::size_t discarding = pendingDiscard_;
        if constexpr (!std::is_same_v<T, std::int32_t>) {
            outLen = static_cast<spx_uint32_t>(resampleRoom);
            const double perOut = blocksPerOut_;
            ResampleKept(scratch, inLen, outLen);
            result = scratch.out.data();
            blocksIn_ += inLen;
            blocksOut_ += outLen;
            if (trimmed_) {
                dueOut_ += inLen / perOut;
            }
        }
        Encode(result, outLen, dst + made * dst_.BlockAlign());
        used += inLen;
        made += outLen;
        if (inLen == 0 && outLen == 0 && discarding == pendingDiscard_) {
            break;
        }
    }
    return {used * src_.BlockAlign(), made * dst_.BlockAlign()};
}

// libsoxr takes whatever input it is given and keeps the output it makes
// until it is taken. Each pass of the loop first gives out what the pacing
// allows (the blocks the input accounts for, less the stage's latency), then
// feeds the input whose paced output fits the room left; so a step uses only
// the input whose output fits, and steps of one length give out one amount.
template <class T>
StepResult ConvertStream::RunFixed(Scratch<T>& scratch, const unsigned char* src,
                                   std::size_t inBlocks, unsigned char* dst,
                                   std::size_t outBlocks) {
    if constexpr (std::is_same_v<T, std::int32_t>) {
        return {0, 0};  // equal rates have no libsoxr stage
    } else {
        const std::uint64_t latency = soxr_->Latency();
        std::size_t used = 0;
        std::size_t made = 0;
        for (;;) {
            const std::uint64_t due = blocksIn_ * dst_.samplesPerSec / src_.samplesPerSec;
            const std::uint64_t allowed =
                due > latency + blocksOut_ ? due - latency - blocksOut_ : 0;
            const std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(allowed, std::min(outBlocks - made, chunkBlocks_)));
            if (want > 0) {
                const std::size_t n = soxr_->Take(scratch.out.data(), want);
                Encode(scratch.out.data(), n, dst + made * dst_.BlockAlign());
                made += n;
                blocksOut_ += n;
                if (n == want && made < outBlocks) {
                    continue;
                }
            }
            if (made == outBlocks || used == inBlocks) {
                break;
            }
            const std::size_t offer =
                std::min({inBlocks - used, chunkBlocks_, PacedInputFor(outBlocks - made)});
            Decode(src + used * src_.BlockAlign(), offer, scratch.in.data());
            const std::size_t taken = soxr_->Feed(scratch.in.data(), offer);
            used += taken;
            blocksIn_ += taken;
            if (taken == 0) {
                break;
            }
        }
        return {used * src_.BlockAlign(), made * dst_.BlockAlign()};
    }
}

// Gives out the blocks still owed, feeding libsoxr silence whenever what it
// made runs out; what it makes of the silence beyond them is dropped when the
// stream starts afresh.
template <class T>
StepResult ConvertStream::DrainFixed(Scratch<T>& scratch, unsigned char* dst,
                                     std::size_t outBlocks) {
    if constexpr (std::is_same_v<T, std::int32_t>) {
        return {0, 0};
    } else {
        std::size_t made = 0;
        while (made < outBlocks) {
            const std::size_t owed = HeldBackBlocks();
            if (owed == 0) {
                break;
            }
            const std::size_t want = std::min({owed, outBlocks - made, chunkBlocks_});
            const std::size_t n = soxr_->Take(scratch.out.data(), want);
            if (n > 0) {
                Encode(scratch.out.data(), n, dst + made * dst_.BlockAlign());
                made += n;
                blocksOut_ += n;
                continue;
            }
            if (soxr_->Feed(nullptr, std::min(chunkBlocks_, InputFor(want))) == 0) {
                break;
            }
        }
        if (HeldBackBlocks() == 0) {
            Restart();
        }
        return {0, made * dst_.BlockAlign()};
    }
}

std::size_t ConvertStream::PacedInputFor(std::size_t room) const {
    // The largest total input I with floor(I * dst / src) - latency -
    // blocksOut_ <= room, less what is in already; at least one block, and
    // never more than libsoxr should make into its buffer in one call.
    const std::uint64_t s = src_.samplesPerSec;
    const std::uint64_t d = dst_.samplesPerSec;
    const std::uint64_t k = blocksOut_ + soxr_->Latency() + room;
    const std::uint64_t total = ((k + 1) * s - 1) / d;
    std::uint64_t n = total > blocksIn_ ? total - blocksIn_ : 1;
    n = std::min<std::uint64_t>(n, std::max<std::uint64_t>(1, SoxrStage::kFeedBlocks * s / d));
    return static_cast<std::size_t>(std::max<std::uint64_t>(n, 1));
}

template <class T>
void ConvertStream::Decode(const unsigned char* src, std::size_t blocks, T* out) const {
    WithCodec(src_.BytesPerSample(),
              [&](auto codec) { DecodeWidth<decltype(codec)::kWidth>(src, blocks, out); });
}

void ConvertStream::BuildTaps() {
    const unsigned n = matrix_.from;
    for (unsigned r = 0; r < matrix_.to; ++r) {
        unsigned count = 0;
        for (unsigned c = 0; c < n; ++c) {
            count += stepWeights_[r * n + c] != 0.0f ? 1 : 0;
        }
        tapsPerRow_ = std::max(tapsPerRow_, count);
    }
    for (unsigned r = 0; r < matrix_.to; ++r) {
        unsigned count = 0;
        for (unsigned c = 0; c < n; ++c) {
            if (stepWeights_[r * n + c] != 0.0f) {
                taps_.push_back({c * src_.BytesPerSample(), stepWeights_[r * n + c]});
                ++count;
            }
        }
        for (; count < tapsPerRow_; ++count) {
            taps_.push_back({0, 0.0f});
        }
    }
}

// Decodes blocks into work samples and maps them onto the work channels:
// through the downmix matrix where there is one, otherwise many channels to
// one are averaged, and the first work channels are taken.
template <unsigned Bytes, class T>
void ConvertStream::DecodeWidth(const unsigned char* src, std::size_t blocks, T* out) const {
    using Sum = typename WorkSample<T>::Sum;
    const unsigned n = src_.channels;
    const unsigned k = workChannels_;
    const WorkSample<T> one(1, dst_.BytesPerSample());
    if constexpr (!std::is_same_v<T, std::int32_t>) {
        if (!stepWeights_.empty()) {
            if constexpr (std::is_same_v<T, float>) {
                if (Bytes == 3 && Downmix24Fits(n, k)) {
                    Downmix24(src, blocks, n, k, stepWeights_.data(), out);
                    return;
                }
                const std::size_t align = src_.BlockAlign();
                if (k == 1) {
                    FoldTaps<Bytes, 1>(src, blocks, align, taps_.data(), tapsPerRow_, out);
                } else {
                    FoldTaps<Bytes, 2>(src, blocks, align, taps_.data(), tapsPerRow_, out);
                }
                return;
            } else if constexpr (Bytes <= 2) {
                // 16-bit work samples come only from sources of 8 or 16 bits.
                DownmixQ15(src, blocks, Bytes, n, k, q15Weights_.data(), out);
                return;
            }
        }
    }
    if (!matrix_.weights.empty()) {
        const double* w = matrix_.weights.data();
        for (std::size_t b = 0; b < blocks; ++b, src += n * Bytes) {
            for (unsigned r = 0; r < k; ++r) {
                double acc = 0;
                for (unsigned c = 0; c < n; ++c) {
                    acc += w[r * n + c] * ReadAt32BitScale<Bytes>(src + c * Bytes);
                }
                if constexpr (std::is_floating_point_v<Sum>) {
                    *out++ = one.FromSum(static_cast<Sum>(acc));
                } else {
                    *out++ = one.FromSum(static_cast<Sum>(std::llround(acc)));
                }
            }
        }
        return;
    }
    if (k == n) {
        for (std::size_t i = 0; i < blocks * n; ++i) {
            out[i] = one.FromSum(static_cast<Sum>(ReadAt32BitScale<Bytes>(src + i * Bytes)));
        }
        return;
    }
    if (k == 1) {
        if constexpr (Bytes == 2 && std::is_same_v<T, std::int16_t>) {
            if (n == 2) {
                // The rounded average (L + R + 1) >> 1, as the weights halve.
                const std::int32_t halves[] = {16384, 16384};
                DownmixQ15(src, blocks, Bytes, n, k, halves, out);
                return;
            }
        }
        const WorkSample<T> average(n, dst_.BytesPerSample());
        if (n == 2) {
            AverageChannels<Bytes, 2>(src, blocks, n, average, out);
        } else {
            AverageChannels<Bytes, 0>(src, blocks, n, average, out);
        }
        return;
    }
    for (std::size_t b = 0; b < blocks; ++b, src += n * Bytes) {
        for (unsigned c = 0; c < k; ++c) {
            *out++ = one.FromSum(static_cast<Sum>(ReadAt32BitScale<Bytes>(src + c * Bytes)));
        }
    }
}

template <class T>
void ConvertStream::Encode(const T* in, std::size_t blocks, unsigned char* dst) const {
    WithCodec(dst_.BytesPerSample(),
              [&](auto codec) { EncodeWidth<decltype(codec)::kWidth>(in, blocks, dst); });
}

// Encodes work samples and spreads the work channels over the destination
// channels: one channel goes to all of them, otherwise channel i goes to
// channel i and the rest are silent.
template <unsigned Bytes, class T>
void ConvertStream::EncodeWidth(const T* in, std::size_t blocks, unsigned char* dst) const {
    const unsigned k = workChannels_;
    const unsigned m = dst_.channels;
    if constexpr ((Bytes == 2 || Bytes == 4) && std::is_same_v<T, float>) {
        const auto encode = Bytes == 2 ? EncodeFloatTo16 : EncodeFloatTo32;
        if (k == m) {
            encode(in, blocks * m, dst);
            return;
        }
        if constexpr (Bytes == 2) {
            if (k == 1 && m == 2) {
                EncodeFloatTo16Twice(in, blocks, dst);
                return;
            }
        }
        if (k == 1) {
            // One channel to all: encoded a run at a time, then spread
            // (as whole samples: the bytes keep their order).
            using Word = std::conditional_t<Bytes == 2, std::uint16_t, std::uint32_t>;
            constexpr std::size_t kRun = 256;
            Word run[kRun];
            Word pairs[2 * kRun];
            for (std::size_t b = 0; b < blocks; b += kRun) {
                const std::size_t n = std::min(kRun, blocks - b);
                encode(in + b, n, reinterpret_cast<unsigned char*>(run));
                if (m == 2) {
                    for (std::size_t j = 0; j < n; ++j) {
                        pairs[2 * j] = run[j];
                        pairs[2 * j + 1] = run[j];
                    }
                    std::memcpy(dst, pairs, 2 * n * Bytes);
                    dst += 2 * n * Bytes;
                    continue;
                }
                for (std::size_t j = 0; j < n; ++j) {
                    for (unsigned c = 0; c < m; ++c, dst += Bytes) {
                        std::memcpy(dst, &run[j], Bytes);
                    }
                }
            }
            return;
        }
    }
    if (k == m) {
        for (std::size_t i = 0; i < blocks * m; ++i) {
            Codec<Bytes>::Write(dst + i * Bytes, WorkSample<T>::ToWidth(in[i], Bytes));
        }
        return;
    }
    for (std::size_t b = 0; b < blocks; ++b, in += k) {
        if (k == 1) {
            const std::int32_t v = WorkSample<T>::ToWidth(in[0], Bytes);
            for (unsigned c = 0; c < m; ++c, dst += Bytes) {
                Codec<Bytes>::Write(dst, v);
            }
            continue;
        }
        for (unsigned c = 0; c < m; ++c, dst += Bytes) {
            Codec<Bytes>::Write(dst, c < k ? WorkSample<T>::ToWidth(in[c], Bytes) : 0);
        }
    }
}

}  // namespace _Carovel
