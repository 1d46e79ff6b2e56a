#include "pcm.h"

#include <cstdint>
#include <limits>

#include "tool_error.h"

namespace carovel_mix {

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
           std::to_string(format.bitsPerSample) + "-bit";
}

unsigned FrameBytes(const PcmFormat& format, unsigned frameMs) {
    const std::uint64_t scaled = static_cast<std::uint64_t>(format.samplesPerSec) * frameMs;
    if (frameMs == 0 || scaled % 1000 != 0) {
        throw ToolError("a frame of " + std::to_string(frameMs) + " ms at " +
                        std::to_string(format.samplesPerSec) +
                        " Hz is not a whole number of samples; choose --frame-ms so that"
                        " rate * ms / 1000 is whole");
    }
    const std::uint64_t bytes = scaled / 1000 * format.BlockAlign();
    if (bytes == 0 || bytes > std::numeric_limits<unsigned short>::max()) {
        throw ToolError("a frame of " + std::to_string(frameMs) + " ms in " + Describe(format) +
                        " is " + std::to_string(bytes) +
                        " bytes; the mixer takes 1 to 65535 bytes per frame, use a shorter"
                        " --frame-ms");
    }
    return static_cast<unsigned>(bytes);
}

}  // namespace carovel_mix
