#include "pcm.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/vector_clones.h"
#include "pcm/sample_codec.h"
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

// Built for AVX2 and the baseline: each branch's loop vectorises.
CAROVEL_VECTOR_CLONES
void Requantise(const std::int32_t* in, std::size_t count, int exponent, unsigned bits,
                std::int32_t* out) {
    const int drop = 32 - static_cast<int>(bits) - exponent;  // the bits that go
    const int justify = 32 - static_cast<int>(bits);
    const std::int32_t top = static_cast<std::int32_t>((std::int64_t{1} << (bits - 1)) - 1);
    const std::int32_t bottom = -top - 1;
    if (drop > 31) {
        // Every magnitude below 2^31 rounds to 0; -2^31 to -1 only at 32.
        for (std::size_t i = 0; i < count; ++i) {
            const bool least = drop == 32 && in[i] == INT32_MIN;
            out[i] = least ? static_cast<std::int32_t>(~std::uint32_t{0} << justify) : 0;
        }
        return;
    }
    if (drop > 0) {
        // In 32 bits, so that it vectorises: a magnitude (at most 2^31) plus
        // half a step fits an unsigned, and once shifted an int.
        const std::uint32_t half = std::uint32_t{1} << (drop - 1);
        for (std::size_t i = 0; i < count; ++i) {
            const std::int32_t x = in[i];
            const std::uint32_t magnitude =
                (x < 0 ? 0u - static_cast<std::uint32_t>(x) : static_cast<std::uint32_t>(x));
            const auto rounded = static_cast<std::int32_t>((magnitude + half) >> drop);
            const std::int32_t q = std::clamp(x < 0 ? -rounded : rounded, bottom, top);
            out[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(q) << justify);
        }
        return;
    }
    // Scaled up: what passes the range clamps at its edge (beyond 31 bits
    // up, every sample but 0 does, as at 31).
    const int up = std::min(-drop, 31);
    // The largest sample that fits, scaled up, and the least: bottom / 2^up
    // rounded up (in 64 bits: at 32 bits and no shift it is -2^31).
    const std::int32_t high = top >> up;
    const auto low = static_cast<std::int32_t>(
        -static_cast<std::int64_t>((std::uint64_t{1} << (bits - 1)) >> up));
    for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t x = in[i];
        const std::int32_t scaled = static_cast<std::int32_t>(static_cast<std::uint32_t>(x) << up);
        const std::int32_t q = x > high ? top : (x < low ? bottom : scaled);
        out[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(q) << justify);
    }
}

CAROVEL_VECTOR_CLONES
void Widen16To32(const char* in, std::size_t count, unsigned shift, char* out) {
    const auto widen = [shift](std::int32_t v) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(v) << shift);
    };
    if constexpr (_Carovel::kLittleEndianMachine) {
        // The samples' bytes as they lie: loads and stores that vectorise.
        for (std::size_t i = 0; i < count; ++i) {
            std::int16_t v;
            std::memcpy(&v, in + 2 * i, sizeof v);
            const std::int32_t w = widen(v);
            std::memcpy(out + 4 * i, &w, sizeof w);
        }
    } else {
        const auto* from = reinterpret_cast<const unsigned char*>(in);
        auto* to = reinterpret_cast<unsigned char*>(out);
        for (std::size_t i = 0; i < count; ++i) {
            _Carovel::Signed32::Write(to + 4 * i, widen(_Carovel::Signed16::Read(from + 2 * i)));
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
