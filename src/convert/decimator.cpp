#include "convert/decimator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace _Carovel {

unsigned Decimator::FactorFor(unsigned srcRate, unsigned dstRate) {
    if (dstRate == 0) {
        return 1;
    }
    const std::uint64_t factor = srcRate / (std::uint64_t{dstRate} * kHeadroom);
    return factor >= 2 ? static_cast<unsigned>(factor) : 1;
}

Decimator::Decimator(unsigned channels, unsigned factor, std::size_t maxBlocks, bool int16)
    : channels_(channels),
      factor_(std::max(factor, 1u)),
      maxBlocks_(std::max<std::size_t>(maxBlocks, 1)),
      int16_(int16) {
    const double r = factor_;
    for (unsigned j = 0; j + 1 < 2 * factor_; ++j) {
        const double distance = std::abs(static_cast<double>(j) - (r - 1));
        weights_.push_back((r - distance) / (r * r));
    }
    // The window, the blocks one Push adds, and the silence Finish adds.
    held_.resize((3 * std::size_t{factor_} + maxBlocks_) * channels_);
    Reset();
}

void Decimator::Reset() {
    std::fill(held_.begin(), held_.end(), 0.0f);
    start_ = 0;
    count_ = factor_ - 1;  // the silence before the stream
    taken_ = 0;
    given_ = 0;
}

std::size_t Decimator::Emit(void* out, bool ending) {
    const std::size_t window = 2 * std::size_t{factor_} - 1;
    std::size_t made = 0;
    while (count_ >= window && (!ending || given_ * factor_ < taken_)) {
        const float* at = held_.data() + start_ * channels_;
        for (unsigned c = 0; c < channels_; ++c) {
            double sum = 0.0;
            for (std::size_t j = 0; j < window; ++j) {
                sum += weights_[j] * static_cast<double>(at[j * channels_ + c]);
            }
            const std::size_t i = made * channels_ + c;
            if (int16_) {
                static_cast<std::int16_t*>(out)[i] =
                    static_cast<std::int16_t>(std::clamp(std::round(sum), -32768.0, 32767.0));
            } else {
                static_cast<float*>(out)[i] = static_cast<float>(sum);
            }
        }
        ++made;
        ++given_;
        start_ += factor_;
        count_ -= factor_;
    }
    return made;
}

std::size_t Decimator::Push(const void* in, std::size_t blocks, void* out, std::size_t* taken) {
    blocks = std::min(blocks, maxBlocks_);
    *taken = blocks;
    // What is left of the window goes to the front.
    std::memmove(held_.data(), held_.data() + start_ * channels_,
                 count_ * channels_ * sizeof(float));
    start_ = 0;
    float* to = held_.data() + count_ * channels_;
    const std::size_t samples = blocks * channels_;
    if (int16_) {
        const auto* from = static_cast<const std::int16_t*>(in);
        std::copy(from, from + samples, to);
    } else {
        std::memcpy(to, in, samples * sizeof(float));
    }
    count_ += blocks;
    taken_ += blocks;
    return Emit(out, false);
}

std::size_t Decimator::Finish(void* out) {
    std::memmove(held_.data(), held_.data() + start_ * channels_,
                 count_ * channels_ * sizeof(float));
    start_ = 0;
    std::fill(held_.begin() + static_cast<std::ptrdiff_t>(count_ * channels_),
              held_.begin() + static_cast<std::ptrdiff_t>((count_ + factor_ - 1) * channels_),
              0.0f);
    count_ += factor_ - 1;
    const std::size_t made = Emit(out, true);
    Reset();
    return made;
}

}  // namespace _Carovel
