// AudioFormat and SampleType: the PCM formats the library takes, for the
// calls that describe a format in one value (CMixer::Open, CMixer::OpenManual
// and CMixer::AddFrame taking an AudioFormat, CWaveConvert::Open taking two,
// CWaveMix::Init taking a SampleType).
//
// PCM is interleaved (one sample of every channel, then the next) and
// little-endian. The values of SampleType keep the order and meaning of the
// C interface's carovel_sample_type (CAROVEL_U8 ... CAROVEL_F32), and
// AudioFormat the meaning of its carovel_format.
#ifndef CAROVEL_FORMAT_H
#define CAROVEL_FORMAT_H

#include <cstdint>

namespace _Carovel {

// The type of one sample.
//  - kU8: 8-bit unsigned, silence at 128, full scale 128.
//  - kS16, kS24 (3 bytes), kS32: signed two's complement, full scale
//    2^(bits - 1).
//  - kF32: 32-bit IEEE-754 float, full scale 1.0. Values beyond +-1.0 are
//    allowed (headroom): a float mix keeps them, and they are clamped only
//    where an integer type is written. Non-finite values (NaN, infinities)
//    are the caller's to avoid: they are not checked, and a float mix passes
//    them on.
enum class SampleType : unsigned char { kU8, kS16, kS24, kS32, kF32 };

// The highest sample rate the library takes, in sample blocks per second.
constexpr std::uint32_t kMaxSamplesPerSec = 768000;

// A PCM format: sample blocks per second (1 to kMaxSamplesPerSec), channels
// per block (1 or more) and the type of every sample.
struct AudioFormat {
    std::uint32_t samplesPerSec = 48000;
    std::uint16_t channels = 2;
    SampleType type = SampleType::kS16;
};

// Bytes of one sample of a type: 1, 2, 3, 4 or 4 (0 for a value outside the
// enumeration).
constexpr unsigned BytesPerSample(SampleType type) {
    switch (type) {
        case SampleType::kU8:
            return 1;
        case SampleType::kS16:
            return 2;
        case SampleType::kS24:
            return 3;
        case SampleType::kS32:
        case SampleType::kF32:
            return 4;
    }
    return 0;
}

// Bytes of one sample block of a format: channels * BytesPerSample(type).
constexpr std::uint32_t BlockAlign(const AudioFormat& format) {
    return std::uint32_t{format.channels} * BytesPerSample(format.type);
}

// True when a format is one the library takes: a rate of 1 to
// kMaxSamplesPerSec, at least one channel and a type of the enumeration.
constexpr bool IsValidFormat(const AudioFormat& format) {
    return format.samplesPerSec >= 1 && format.samplesPerSec <= kMaxSamplesPerSec &&
           format.channels >= 1 && BytesPerSample(format.type) != 0;
}

// The integer type of a width in bits (8, 16, 24 or 32); false for any other
// width. The calls that take a width in bits map it so.
constexpr bool SampleTypeOfBits(unsigned bitsPerSample, SampleType& type) {
    switch (bitsPerSample) {
        case 8:
            type = SampleType::kU8;
            return true;
        case 16:
            type = SampleType::kS16;
            return true;
        case 24:
            type = SampleType::kS24;
            return true;
        case 32:
            type = SampleType::kS32;
            return true;
        default:
            return false;
    }
}

}  // namespace _Carovel

#endif  // CAROVEL_FORMAT_H
