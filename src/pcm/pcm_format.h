// A PCM format: channel count, sample rate, sample width and whether the
// samples are 32-bit floats.
#ifndef CAROVEL_PCM_PCM_FORMAT_H
#define CAROVEL_PCM_PCM_FORMAT_H

#include <cstddef>

#include "carovel/format.h"
#include "pcm/sample_codec.h"

namespace _Carovel {

struct PcmFormat {
    unsigned channels = 0;
    unsigned samplesPerSec = 0;
    unsigned bitsPerSample = 0;
    // 32-bit float samples (bitsPerSample is then 32), full scale 1.0.
    bool isFloat = false;

    unsigned BytesPerSample() const { return bitsPerSample / 8; }
    // Bytes of one sample block: one sample of every channel.
    std::size_t BlockAlign() const { return std::size_t{channels} * BytesPerSample(); }
    // Bytes of one second of audio.
    std::size_t BytesPerSecond() const { return BlockAlign() * samplesPerSec; }
    // Channels >= 1, a rate of 1 to kMaxSamplesPerSec and a width of 8, 16,
    // 24 or 32 bits (32 for float).
    bool IsSupported() const {
        return channels >= 1 && samplesPerSec >= 1 && samplesPerSec <= kMaxSamplesPerSec &&
               IsSupportedBits(bitsPerSample) && (!isFloat || bitsPerSample == 32);
    }
    SampleType Type() const {
        if (isFloat) {
            return SampleType::kF32;
        }
        SampleType type = SampleType::kS16;
        SampleTypeOfBits(bitsPerSample, type);
        return type;
    }
    static PcmFormat From(const AudioFormat& f) {
        return PcmFormat{f.channels, f.samplesPerSec, 8 * _Carovel::BytesPerSample(f.type),
                         f.type == SampleType::kF32};
    }
    bool operator==(const PcmFormat& o) const {
        return channels == o.channels && samplesPerSec == o.samplesPerSec &&
               bitsPerSample == o.bitsPerSample && isFloat == o.isFloat;
    }
    bool operator!=(const PcmFormat& o) const { return !(*this == o); }
};

}  // namespace _Carovel

#endif  // CAROVEL_PCM_PCM_FORMAT_H
