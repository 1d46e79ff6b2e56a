#include "rate_stage.h"

#include <algorithm>

#include "tool_error.h"

namespace carovel_mix {

RateStage::RateStage(const PcmFormat& from, const PcmFormat& to) : m_from(from), m_to(to) {
    if (!m_convert.Open(ToAudioFormat(m_from), ToAudioFormat(m_to), _Carovel::Resampler::kFast)) {
        throw ToolError("cannot convert the mix from " + Describe(m_from) + " to " +
                        Describe(m_to) + ": " + _Carovel::StatusText(m_convert.LastStatus()));
    }
}

RateStage::Out RateStage::Taken(std::size_t bytes) const {
    return {m_out.data(), bytes / m_to.BlockAlign()};
}

RateStage::Out RateStage::Convert(const char* bytes, std::size_t frames) {
    const std::size_t inBlock = m_from.BlockAlign();
    const std::size_t outBlock = m_to.BlockAlign();
    // Room for what these frames make at the ratio, and some of what the
    // resampler released from earlier ones.
    const std::size_t room =
        (static_cast<std::uint64_t>(frames) * m_to.samplesPerSec / m_from.samplesPerSec + 4096) *
        outBlock;
    m_out.resize(std::max(m_out.size(), room));
    std::size_t read = 0;
    std::size_t written = 0;
    const std::size_t total = frames * inBlock;
    while (read < total) {
        if (m_out.size() - written < 64 * outBlock) {
            m_out.resize(m_out.size() * 2);
        }
        unsigned long srcLen = static_cast<unsigned long>(total - read);
        unsigned long dstLen = static_cast<unsigned long>(m_out.size() - written);
        if (!m_convert.Convert(reinterpret_cast<const unsigned char*>(bytes) + read, srcLen,
                               reinterpret_cast<unsigned char*>(m_out.data()) + written, dstLen)) {
            throw ToolError(std::string("cannot convert the mix's rate: ") +
                            _Carovel::StatusText(m_convert.LastStatus()));
        }
        if (srcLen == 0 && dstLen == 0) {
            // No progress with room to spare: only a part of a block is left,
            // which whole frames never leave.
            break;
        }
        read += srcLen;
        written += dstLen;
    }
    return Taken(written);
}

RateStage::Out RateStage::Finish() {
    const std::size_t outBlock = m_to.BlockAlign();
    m_out.resize(std::max<std::size_t>(m_out.size(), 4096 * outBlock));
    std::size_t written = 0;
    for (;;) {
        if (m_out.size() - written < 64 * outBlock) {
            m_out.resize(m_out.size() * 2);
        }
        unsigned long dstLen = static_cast<unsigned long>(m_out.size() - written);
        if (!m_convert.Flush(reinterpret_cast<unsigned char*>(m_out.data()) + written, dstLen)) {
            throw ToolError(std::string("cannot convert the mix's rate: ") +
                            _Carovel::StatusText(m_convert.LastStatus()));
        }
        if (dstLen == 0) {
            break;
        }
        written += dstLen;
    }
    return Taken(written);
}

}  // namespace carovel_mix
