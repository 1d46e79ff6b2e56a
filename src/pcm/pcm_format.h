// A PCM format: channel count, sample rate and sample width.
#ifndef CAROVEL_PCM_PCM_FORMAT_H
#define CAROVEL_PCM_PCM_FORMAT_H

#include <cstddef>

#include "pcm/sample_codec.h"

namespace _Carovel {

struct PcmFormat {
    unsigned channels = 0;
    unsigned samplesPerSec = 0;
    unsigned bitsPerSample = 0;

    unsigned BytesPerSample() const { return bitsPerSample / 8; }
    // Bytes of one sample block: one sample of every channel.
    std::size_t BlockAlign() const { return std::size_t{channels} * BytesPerSample(); }
    // Bytes of one second of audio.
    std::size_t BytesPerSecond() const { return BlockAlign() * samplesPerSec; }
    // Channels >= 1, rate >= 1 and a width of 8, 16, 24 or 32 bits.
    bool IsSupported() const {
        return channels >= 1 && samplesPerSec >= 1 && IsSupportedBits(bitsPerSample);
    }
    bool operator==(const PcmFormat& o) const {
        return channels == o.channels && samplesPerSec == o.samplesPerSec &&
               bitsPerSample == o.bitsPerSample;
    }
    bool operator!=(const PcmFormat& o) const { return !(*this == o); }
};

}  // namespace _Carovel

#endif  // CAROVEL_PCM_PCM_FORMAT_H
