// CMixer::ChangeVolume and CMixer::CopyChannel: in-place sample utilities.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "carovel/mixer.h"
#include "pcm/sample_codec.h"

namespace _Carovel {
namespace {

// value * factor truncated toward zero and clamped to [lo, hi]. The clamp
// happens in floating point so that no out-of-range, infinite or NaN value
// reaches the conversion to an integer; NaN gives 0.
std::int64_t Scale(std::int64_t value, double factor, std::int64_t lo, std::int64_t hi) {
    const double scaled = static_cast<double>(value) * factor;
    if (std::isnan(scaled)) {
        return 0;
    }
    if (scaled <= static_cast<double>(lo)) {
        return lo;
    }
    if (scaled >= static_cast<double>(hi)) {
        return hi;
    }
    return static_cast<std::int64_t>(scaled);  // truncates toward zero
}

// Width used for a bytesPerSample argument: 1, 3 and 4 as given, anything
// else 2.
unsigned SampleWidth(int bytesPerSample) {
    return (bytesPerSample == 1 || bytesPerSample == 3 || bytesPerSample == 4)
               ? static_cast<unsigned>(bytesPerSample)
               : 2u;
}

}  // namespace

void CMixer::ChangeVolume(char* buf, unsigned int len, int bytesPerSample, float factor) {
    if (buf == nullptr) {
        return;
    }
    auto* p = reinterpret_cast<unsigned char*>(buf);
    WithCodec(SampleWidth(bytesPerSample), [&](auto codec) {
        using C = decltype(codec);
        const unsigned count = len / C::kWidth;
        for (unsigned i = 0; i < count; ++i) {
            unsigned char* sample = p + std::size_t{i} * C::kWidth;
            C::Write(sample, Scale(C::Read(sample), factor, C::kMin, C::kMax));
        }
    });
}

void CMixer::CopyChannel(char* buf, unsigned int len, int bytesPerSample, enChannel channel) {
    if (buf == nullptr || (channel != CH_LEFT && channel != CH_RIGHT)) {
        return;
    }
    const unsigned width = SampleWidth(bytesPerSample);
    const unsigned pairs = len / (2 * width);
    for (unsigned i = 0; i < pairs; ++i) {
        char* left = buf + std::size_t{i} * 2 * width;
        char* right = left + width;
        if (channel == CH_LEFT) {
            std::memcpy(right, left, width);
        } else {
            std::memcpy(left, right, width);
        }
    }
}

}  // namespace _Carovel
