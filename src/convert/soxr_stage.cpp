#include "convert/soxr_stage.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "platform/mutex.h"

namespace _Carovel {
namespace {

soxr_t NewSoxr(unsigned channels, unsigned srcRate, unsigned dstRate, SoxrStage::Sample sample) {
    const soxr_datatype_t type =
        sample == SoxrStage::Sample::kInt16 ? SOXR_INT16_I : SOXR_FLOAT32_I;
    soxr_io_spec_t io = soxr_io_spec(type, type);
    // Rounding to the nearest value, no dither: the output is a function of
    // the input alone.
    io.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality = soxr_quality_spec(SoxrStage::QualityRecipe(sample), 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    soxr_t s = soxr_create(srcRate, dstRate, channels, &error, &io, &quality, &runtime);
    return error == nullptr ? s : nullptr;
}

std::uint64_t Due(std::uint64_t in, unsigned srcRate, unsigned dstRate) {
    return in * dstRate / srcRate;
}

// The most output libsoxr holds back behind the input, in destination
// blocks: mono silence fed in small pieces over a second or two, and the
// largest gap between the blocks the input accounts for and the blocks made
// after each piece, plus what one piece may hide.
std::size_t MeasureLatency(unsigned srcRate, unsigned dstRate, SoxrStage::Sample sample) {
    soxr_t s = NewSoxr(1, srcRate, dstRate, sample);
    if (s == nullptr) {
        return 0;
    }
    const double ratio = static_cast<double>(dstRate) / srcRate;
    const auto total = static_cast<std::size_t>(
        std::min(std::max(2.0 * srcRate, std::ceil(4096.0 / ratio)), 4.0 * 65536));
    const std::size_t piece = std::clamp<std::size_t>(static_cast<std::size_t>(16.0 / ratio), 1,
                                                      std::max<std::size_t>(1, total / 256));
    const std::size_t outRoom = static_cast<std::size_t>(std::ceil(piece * ratio)) + 4096;
    // Room for either sample type.
    std::vector<float> in(piece, 0.0f);
    std::vector<float> out(outRoom);
    std::uint64_t fed = 0;
    std::uint64_t made = 0;
    std::uint64_t held = 0;
    while (fed < total) {
        std::size_t done = 0;
        std::size_t outDone = 0;
        soxr_process(s, in.data(), piece, &done, out.data(), outRoom, &outDone);
        fed += done;
        made += outDone;
        // Whatever else it has ready.
        while (outDone == outRoom) {
            soxr_process(s, in.data(), 0, nullptr, out.data(), outRoom, &outDone);
            made += outDone;
        }
        const std::uint64_t due = Due(fed, srcRate, dstRate);
        held = std::max(held, due > made ? due - made : 0);
        if (done == 0) {
            break;
        }
    }
    soxr_delete(s);
    return static_cast<std::size_t>(held + std::ceil(piece * ratio) + 1);
}

// The latency per pair of rates, measured once per process.
struct LatencyEntry {
    unsigned srcRate;
    unsigned dstRate;
    SoxrStage::Sample sample;
    std::size_t latency;
};

std::size_t LatencyFor(unsigned srcRate, unsigned dstRate, SoxrStage::Sample sample) {
    static Mutex mutex;
    static std::vector<LatencyEntry> known;
    {
        MutexLock lock(mutex);
        for (const LatencyEntry& e : known) {
            if (e.srcRate == srcRate && e.dstRate == dstRate && e.sample == sample) {
                return e.latency;
            }
        }
    }
    // Measured outside the lock; two threads may both measure a new pair.
    const std::size_t latency = MeasureLatency(srcRate, dstRate, sample);
    MutexLock lock(mutex);
    known.push_back({srcRate, dstRate, sample, latency});
    return latency;
}

}  // namespace

unsigned long SoxrStage::QualityRecipe(Sample sample) {
    return sample == Sample::kInt16 ? SOXR_MQ : SOXR_HQ;
}

void SoxrStage::Free::operator()(soxr* s) const noexcept {
    soxr_delete(s);
}

std::unique_ptr<SoxrStage> SoxrStage::Create(unsigned channels, unsigned srcRate, unsigned dstRate,
                                             Sample sample) {
    if (channels == 0 || srcRate == 0 || dstRate == 0) {
        return nullptr;
    }
    // libsoxr sees the lowered source at the same ratio.
    const unsigned factor = Decimator::FactorFor(srcRate, dstRate);
    dstRate *= factor;
    soxr_t s = NewSoxr(channels, srcRate, dstRate, sample);
    if (s == nullptr) {
        return nullptr;
    }
    std::unique_ptr<soxr, Free> owned(s);
    const std::size_t latency = LatencyFor(srcRate, dstRate, sample);
    std::unique_ptr<SoxrStage> stage(new SoxrStage(channels, sample, owned.release(), latency));
    // Room for the output held back and for what one call may make.
    const std::size_t perCall =
        std::max<std::size_t>(SoxrStage::kFeedBlocks, (dstRate + srcRate - 1) / srcRate);
    const std::size_t blockBytes = stage->sampleBytes_ * channels;
    stage->buffer_.resize((latency + perCall + 64) * blockBytes);
    stage->silence_.resize(SoxrStage::kFeedBlocks * blockBytes);
    if (factor > 1) {
        stage->lowering_ = std::make_unique<Decimator>(channels, factor, SoxrStage::kFeedBlocks,
                                                       sample == Sample::kInt16);
        stage->lowered_.resize(stage->lowering_->MaxOut() * blockBytes);
    }
    return stage;
}

SoxrStage::SoxrStage(unsigned channels, Sample sample, soxr* s, std::size_t latency)
    : soxr_(s),
      channels_(channels),
      sampleBytes_(sample == Sample::kInt16 ? sizeof(std::int16_t) : sizeof(float)),
      latency_(latency) {}

SoxrStage::~SoxrStage() = default;

void SoxrStage::Pull(const void* in, std::size_t inBlocks, std::size_t* taken) {
    const std::size_t blockBytes = sampleBytes_ * channels_;
    if (head_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    const std::size_t room = (buffer_.size() - tail_) / blockBytes;
    std::size_t made = 0;
    // A null input would end the stream; a real pointer with no blocks only
    // collects output.
    const void* from = in != nullptr ? in : buffer_.data();
    soxr_process(soxr_.get(), from, inBlocks, taken, buffer_.data() + tail_, room, &made);
    tail_ += made * blockBytes;
}

std::size_t SoxrStage::Feed(const void* in, std::size_t inBlocks) {
    if (!lowering_) {
        return FeedSoxr(in, inBlocks);
    }
    return in != nullptr ? FeedLowering(in, inBlocks) : FeedLoweredEnd(inBlocks);
}

std::size_t SoxrStage::FeedLowering(const void* in, std::size_t inBlocks) {
    const std::size_t blockBytes = sampleBytes_ * channels_;
    std::size_t fed = 0;
    while (fed < inBlocks && FeedWaiting()) {
        std::size_t taken = 0;
        loweredCount_ = lowering_->Push(static_cast<const unsigned char*>(in) + fed * blockBytes,
                                        inBlocks - fed, lowered_.data(), &taken);
        loweredFrom_ = 0;
        fed += taken;
    }
    // What libsoxr does not take now waits for the next call.
    FeedWaiting();
    return fed;
}

std::size_t SoxrStage::FeedLoweredEnd(std::size_t inBlocks) {
    if (loweredFrom_ < loweredCount_) {
        const std::size_t before = loweredFrom_;
        FeedWaiting();
        return loweredFrom_ != before ? inBlocks : 0;
    }
    if (!loweredEnded_) {
        loweredCount_ = lowering_->Finish(lowered_.data());
        loweredFrom_ = 0;
        loweredEnded_ = true;
        FeedWaiting();
        return inBlocks;
    }
    // As many lowered blocks as the caller asked source blocks: more time
    // than asked for, so the owed output comes in fewer calls (what it makes
    // beyond that is dropped when the stream starts afresh).
    return FeedSoxr(nullptr, inBlocks) > 0 ? inBlocks : 0;
}

bool SoxrStage::FeedWaiting() {
    const std::size_t waiting = loweredCount_ - loweredFrom_;
    if (waiting > 0) {
        loweredFrom_ +=
            FeedSoxr(lowered_.data() + loweredFrom_ * sampleBytes_ * channels_, waiting);
    }
    return loweredFrom_ == loweredCount_;
}

std::size_t SoxrStage::FeedSoxr(const void* in, std::size_t inBlocks) {
    const std::size_t blockBytes = sampleBytes_ * channels_;
    std::size_t fed = 0;
    while (fed < inBlocks) {
        const std::size_t silenceBlocks = silence_.size() / blockBytes;
        const std::size_t n =
            std::min(inBlocks - fed, in != nullptr ? SoxrStage::kFeedBlocks : silenceBlocks);
        const void* from = in != nullptr ? static_cast<const unsigned char*>(in) + fed * blockBytes
                                         : static_cast<const void*>(silence_.data());
        std::size_t taken = 0;
        Pull(from, n, &taken);
        fed += taken;
        if (taken == 0) {
            break;
        }
    }
    return fed;
}

std::size_t SoxrStage::Take(void* out, std::size_t maxBlocks) {
    const std::size_t blockBytes = sampleBytes_ * channels_;
    std::size_t given = 0;
    while (given < maxBlocks) {
        if (head_ == tail_) {
            Pull(nullptr, 0, nullptr);
            if (head_ == tail_) {
                break;
            }
        }
        const std::size_t n = std::min(maxBlocks - given, (tail_ - head_) / blockBytes);
        std::memcpy(static_cast<unsigned char*>(out) + given * blockBytes, buffer_.data() + head_,
                    n * blockBytes);
        head_ += n * blockBytes;
        given += n;
    }
    return given;
}

void SoxrStage::Clear() {
    soxr_clear(soxr_.get());
    head_ = 0;
    tail_ = 0;
    if (lowering_) {
        lowering_->Reset();
        loweredFrom_ = 0;
        loweredCount_ = 0;
        loweredEnded_ = false;
    }
}

}  // namespace _Carovel
