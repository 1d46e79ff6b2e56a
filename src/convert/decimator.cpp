#include "convert/decimator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace _Carovel {

template <class T>
unsigned Decimator<T>::FactorFor(unsigned srcRate, unsigned dstRate) {
    if (dstRate == 0) {
        return 1;
    }
    const std::uint64_t factor = srcRate / (std::uint64_t{dstRate} * kHeadroom);
    return factor >= 2 ? static_cast<unsigned>(factor) : 1;
}

template <class T>
Decimator<T>::Decimator(unsigned channels, unsigned factor, std::size_t maxBlocks)
    : channels_(channels),
      factor_(std::max(factor, 1u)),
      maxBlocks_(std::max<std::size_t>(maxBlocks, 1)) {
    const double r = factor_;
    for (unsigned j = 0; j + 1 < 2 * factor_; ++j) {
        const double distance = std::abs(static_cast<double>(j) - (r - 1));
        weights_.push_back((r - distance) / (r * r));
    }
    // The window, the blocks one Push adds, and the silence Finish adds.
    held_.resize((3 * std::size_t{factor_} + maxBlocks_) * channels_);
    Reset();
}

template <class T>
void Decimator<T>::Reset() {
    std::fill(held_.begin(), held_.end(), T{});
    start_ = 0;
    count_ = factor_ - 1;  // the silence before the stream
    taken_ = 0;
    given_ = 0;
}

template <class T>
std::size_t Decimator<T>::Emit(T* out, bool ending) {
    const std::size_t window = 2 * std::size_t{factor_} - 1;
    std::size_t made = 0;
    while (count_ >= window && (!ending || given_ * factor_ < taken_)) {
        const T* at = held_.data() + start_ * channels_;
        for (unsigned c = 0; c < channels_; ++c) {
            double sum = 0.0;
            for (std::size_t j = 0; j < window; ++j) {
                sum += weights_[j] * static_cast<double>(at[j * channels_ + c]);
            }
            if constexpr (std::is_integral_v<T>) {
                sum =
                    std::clamp(std::round(sum), static_cast<double>(std::numeric_limits<T>::min()),
                               static_cast<double>(std::numeric_limits<T>::max()));
            }
            out[made * channels_ + c] = static_cast<T>(sum);
        }
        ++made;
        ++given_;
        start_ += factor_;
        count_ -= factor_;
    }
    return made;
}

template <class T>
std::size_t Decimator<T>::Push(const T* in, std::size_t blocks, T* out, std::size_t* taken) {
    blocks = std::min(blocks, maxBlocks_);
    *taken = blocks;
    // What is left of the window goes to the front.
    std::memmove(held_.data(), held_.data() + start_ * channels_, count_ * channels_ * sizeof(T));
    start_ = 0;
    std::memcpy(held_.data() + count_ * channels_, in, blocks * channels_ * sizeof(T));
    count_ += blocks;
    taken_ += blocks;
    return Emit(out, false);
}

template <class T>
std::size_t Decimator<T>::Finish(T* out) {
    std::memmove(held_.data(), held_.data() + start_ * channels_, count_ * channels_ * sizeof(T));
    start_ = 0;
    std::fill(held_.begin() + static_cast<std::ptrdiff_t>(count_ * channels_),
              held_.begin() + static_cast<std::ptrdiff_t>((count_ + factor_ - 1) * channels_), T{});
    count_ += factor_ - 1;
    const std::size_t made = Emit(out, true);
    Reset();
    return made;
}

template class Decimator<std::int16_t>;
template class Decimator<float>;

}  // namespace _Carovel
