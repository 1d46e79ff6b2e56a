#include "pcm.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "tool_error.h"

namespace carovel_mix {
namespace {

// The longest frame the tool asks of the mixer (which takes up to 2^30
// bytes): 64 MiB, a second of 768 kHz audio in 20 channels of 32 bits.
constexpr std::uint64_t kMaxFrameBytes = std::uint64_t{1} << 26;

}  // namespace

std::string Describe(const PcmFormat& format) {
    std::string layout;
    switch (format.channels) {
        case 1:
            layout = "mono";
            break;
        case 2:
            layout = "stereo";
            break;
        default:
            layout = std::to_string(format.channels) + " ch";
            break;
    }
    return std::to_string(format.samplesPerSec) + " Hz " + layout + " " +
           (format.isFloat ? std::string("float") : std::to_string(format.bitsPerSample) + "-bit");
}

unsigned FrameBytes(const PcmFormat& format, unsigned frameMs, bool exact) {
    std::uint64_t scaled = static_cast<std::uint64_t>(format.samplesPerSec) * frameMs;
    if (!exact && frameMs != 0 && scaled % 1000 != 0) {
        scaled = std::max<std::uint64_t>(1, (scaled + 500) / 1000) * 1000;
    }
    if (frameMs == 0 || scaled % 1000 != 0) {
        throw ToolError("a frame of " + std::to_string(frameMs) + " ms at " +
                        std::to_string(format.samplesPerSec) +
                        " Hz is not a whole number of samples; choose --frame-ms so that"
                        " rate * ms / 1000 is whole");
    }
    const std::uint64_t bytes = scaled / 1000 * format.BlockAlign();
    if (bytes == 0 || bytes > kMaxFrameBytes) {
        throw ToolError("a frame of " + std::to_string(frameMs) + " ms in " + Describe(format) +
                        " is " + std::to_string(bytes) + " bytes; the mixer takes 1 to " +
                        std::to_string(kMaxFrameBytes) +
                        " bytes per frame, use a shorter --frame-ms");
    }
    return static_cast<unsigned>(bytes);
}

void Requantise(const std::int32_t* in, std::size_t count, int exponent, unsigned bits,
                std::int32_t* out) {
    const int drop = 32 - static_cast<int>(bits) - exponent;  // the bits that go
    const std::int64_t top = (std::int64_t{1} << (bits - 1)) - 1;
    const std::int64_t bottom = -top - 1;
    const int justify = 32 - static_cast<int>(bits);
    if (drop > 0) {
        const std::int64_t half = std::int64_t{1} << (drop - 1);
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t sign = std::int64_t{in[i]} >> 63;
            const std::int64_t magnitude = ((std::int64_t{in[i]} ^ sign) - sign + half) >> drop;
            const std::int64_t q = std::clamp((magnitude ^ sign) - sign, bottom, top);
            out[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(q) << justify);
        }
    } else {
        const std::int64_t scale = std::int64_t{1} << -drop;
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t q = std::clamp(std::int64_t{in[i]} * scale, bottom, top);
            out[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(q) << justify);
        }
    }
}

_Carovel::AudioFormat ToAudioFormat(const PcmFormat& format) {
    _Carovel::AudioFormat out;
    out.samplesPerSec = format.samplesPerSec;
    out.channels = static_cast<std::uint16_t>(format.channels);
    out.type = format.Type();
    return out;
}

}  // namespace carovel_mix
