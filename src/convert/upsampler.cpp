#include "convert/upsampler.h"

#include <algorithm>
#include <cstring>

#include "convert/upsample_kernel.h"
#include "platform/mutex.h"

namespace _Carovel {
namespace {

std::shared_ptr<const UpsampleFilter> Design(unsigned factor) {
    const unsigned perPhase = Upsampler::kTaps;
    const unsigned slots = factor * perPhase;
    // An odd length puts the centre on an output sample.
    static_assert(Upsampler::kTaps % 2 == 0, "an even count of taps per phase");
    const unsigned length = slots - 1;
    const unsigned centre = (length - 1) / 2;
    const float* half = UpsamplePrototype(factor);
    std::vector<double> h(slots, 0.0);
    for (unsigned k = 0; k < length; ++k) {
        h[k] = half[k <= centre ? k : length - 1 - k];
    }
    auto filter = std::make_shared<UpsampleFilter>();
    filter->factor = factor;
    filter->phases.assign(std::size_t{factor} * kUpsampleTaps, 0.0f);
    // Output i * factor + p sits at centre + p of the upsampled input, so the
    // taps that meet source samples are those of one residue r; the source
    // sample under tap r + factor * j is i + (p + centre - r) / factor - j.
    // That newest sample is one of two neighbours over the phases: the
    // phases of the older one end in a zero tap, the others start with one.
    // The phases sum to one on average: each phase scaled to one of its
    // own would move the stopband's zeros and let images through.
    double sum = 0.0;
    for (const double tap : h) {
        sum += tap;
    }
    sum /= factor;
    const unsigned oldestNewest = centre / factor;
    for (unsigned p = 0; p < factor; ++p) {
        const unsigned r = (p + centre) % factor;
        const unsigned newest = (p + centre - r) / factor;
        // Taps in the order of their source samples, oldest first.
        float* taps = filter->phases.data() + std::size_t{p} * kUpsampleTaps;
        const unsigned lead = newest - oldestNewest;
        for (unsigned q = 0; q < perPhase; ++q) {
            taps[lead + q] = static_cast<float>(h[r + factor * (perPhase - 1 - q)] / sum);
        }
    }
    filter->offset = static_cast<int>(oldestNewest) - static_cast<int>(perPhase) + 1;
    filter->lookAhead = filter->offset + static_cast<int>(kUpsampleTaps) - 1;
    return filter;
}

}  // namespace

// The filter of each factor, made on first use.
std::shared_ptr<const UpsampleFilter> UpsampleFilterFor(unsigned factor) {
    static Mutex mutex;
    static std::shared_ptr<const UpsampleFilter> made[Upsampler::kMaxFactor + 1];
    MutexLock lock(mutex);
    if (!made[factor]) {
        made[factor] = Design(factor);
    }
    return made[factor];
}

namespace {

// Source blocks taken into the history at a time, at most.
constexpr std::size_t kTakeBlocks = 512;

}  // namespace

unsigned Upsampler::FactorFor(unsigned srcRate, unsigned dstRate) {
    if (srcRate == 0 || dstRate % srcRate != 0) {
        return 0;
    }
    const unsigned factor = dstRate / srcRate;
    return factor >= 2 && factor <= kMaxFactor ? factor : 0;
}

std::unique_ptr<Upsampler> Upsampler::Create(unsigned channels, unsigned factor) {
    return Create(channels, factor, ChosenUpsampleKernel());
}

std::unique_ptr<Upsampler> Upsampler::Create(unsigned channels, unsigned factor,
                                             const UpsampleKernel& kernel) {
    if (channels == 0 || factor < 2 || factor > kMaxFactor) {
        return nullptr;
    }
    return std::unique_ptr<Upsampler>(new Upsampler(channels, UpsampleFilterFor(factor), kernel));
}

Upsampler::Upsampler(unsigned channels, std::shared_ptr<const UpsampleFilter> filter,
                     const UpsampleKernel& kernel)
    : channels_(channels), filter_(std::move(filter)), kernel_(&kernel) {
    // The oldest sample the next output needs lies at most taps + factor
    // blocks behind the newest taken; room for that, one take and what the
    // kernel reads past the end.
    capacity_ = 2 * (std::size_t{kTaps} + kMaxFactor) + kTakeBlocks + kUpsampleReadPast;
    history_.resize(capacity_ * channels_);
    Reset();
}

Upsampler::~Upsampler() = default;

void Upsampler::Reset() {
    std::fill(history_.begin(), history_.end(), 0.0f);
    // The silence before the stream, back to what its first output needs.
    base_ = filter_->offset;
    filled_ = static_cast<std::size_t>(-base_);
    taken_ = 0;
    made_ = 0;
}

void Upsampler::Take(const float* in, std::size_t count) {
    if (filled_ + count + kUpsampleReadPast > capacity_) {
        // Drop what no output still to come needs.
        const std::int64_t oldest =
            static_cast<std::int64_t>(made_ / filter_->factor) + filter_->offset;
        const auto drop = static_cast<std::size_t>(oldest - base_);
        for (unsigned c = 0; c < channels_; ++c) {
            float* h = history_.data() + c * capacity_;
            std::memmove(h, h + drop, (filled_ - drop) * sizeof(float));
        }
        filled_ -= drop;
        base_ = oldest;
    }
    if (channels_ == 1) {
        std::memcpy(history_.data() + filled_, in, count * sizeof(float));
    } else {
        for (unsigned c = 0; c < channels_; ++c) {
            float* h = history_.data() + c * capacity_ + filled_;
            for (std::size_t b = 0; b < count; ++b) {
                h[b] = in[b * channels_ + c];
            }
        }
    }
    filled_ += count;
    taken_ += count;
}

std::size_t Upsampler::Emit(float* out, std::size_t room) {
    const UpsampleFilter& f = *filter_;
    const unsigned factor = f.factor;
    // Groups whose source samples are all in: each of their outputs may go.
    const auto ready = static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, static_cast<std::int64_t>(taken_) - f.lookAhead));
    const std::uint64_t readyOut = std::min<std::uint64_t>(ready * factor, made_ + room);
    if (readyOut <= made_) {
        return 0;
    }
    const auto n = static_cast<std::size_t>(readyOut - made_);
    float* to = out;
    const auto at = [&](std::uint64_t group) {
        return static_cast<std::size_t>(static_cast<std::int64_t>(group) - base_);
    };
    const auto single = [&]() {
        const std::uint64_t group = made_ / factor;
        const auto p = static_cast<unsigned>(made_ % factor);
        for (unsigned c = 0; c < channels_; ++c) {
            to[c] = kernel_->one(f, history_.data() + c * capacity_ + at(group), p);
        }
        to += channels_;
        ++made_;
    };
    // A group begun, whole groups, a group begun for the room that is left.
    while (made_ < readyOut && made_ % factor != 0) {
        single();
    }
    const std::uint64_t groups = (readyOut - made_) / factor;
    if (groups > 0) {
        const std::size_t from = at(made_ / factor);
        for (unsigned c = 0; c < channels_; ++c) {
            kernel_->groups(f, history_.data() + c * capacity_ + from,
                            static_cast<std::size_t>(groups), to + c, channels_);
        }
        made_ += groups * factor;
        to += groups * factor * channels_;
    }
    while (made_ < readyOut) {
        single();
    }
    return n;
}

void Upsampler::Process(const float* in, std::size_t* inBlocks, float* out,
                        std::size_t* outBlocks) {
    const std::size_t offered = *inBlocks;
    const std::size_t room = *outBlocks;
    const unsigned factor = filter_->factor;
    std::size_t used = 0;
    std::size_t made = 0;
    for (;;) {
        made += Emit(out + made * channels_, room - made);
        if (made == room || used == offered) {
            break;
        }
        // The source blocks that make the rest of the room ready.
        const std::uint64_t last = made_ + (room - made) - 1;
        const std::int64_t need = static_cast<std::int64_t>(last / factor) + filter_->lookAhead +
                                  1 - static_cast<std::int64_t>(taken_);
        const std::size_t count = std::min<std::size_t>(
            {offered - used, static_cast<std::size_t>(std::max<std::int64_t>(need, 1)),
             kTakeBlocks});
        Take(in + used * channels_, count);
        used += count;
    }
    *inBlocks = used;
    *outBlocks = made;
}

}  // namespace _Carovel
