#include "source_feeder.h"

#include <algorithm>
#include <climits>

#include "tool_error.h"

namespace carovel_mix {

SourceFeeder::SourceFeeder(long id, std::unique_ptr<InputFile> file, float gain, unsigned blockMs)
    : m_id(id),
      m_file(std::move(file)),
      m_gain(gain),
      m_blockFrames(std::max<std::size_t>(1, (m_file->Format().rate * blockMs + 999) / 1000)),
      m_fileFrames(m_file->Frames()) {}

void SourceFeeder::FeedUntil(_Carovel::CMixer& mixer, std::uint64_t until) {
    const unsigned align = m_file->Format().BlockAlign();
    // TotalFrames() shrinks when the file turns out shorter than announced.
    while (m_fed < std::min(until, TotalFrames())) {
        if (m_chunkPos == m_chunk.size() && !Refill()) {
            break;
        }
        const std::uint64_t frames =
            std::min<std::uint64_t>({std::min(until, TotalFrames()) - m_fed, m_blockFrames,
                                     (m_chunk.size() - m_chunkPos) / align});
        const std::size_t bytes = static_cast<std::size_t>(frames) * align;
        Send(mixer, m_chunk.data() + m_chunkPos, bytes);
        m_chunkPos += bytes;
        m_fed += frames;
    }
    if (Done() && !m_flushed) {
        if (!mixer.FlushSource(m_id, nullptr)) {
            throw ToolError(
                FileMessage(m_file->Path(), std::string("the mixer could not end it: ") +
                                                _Carovel::StatusText(mixer.LastStatus())));
        }
        m_flushed = true;
    }
}

bool SourceFeeder::Refill() {
    const PcmFormat& format = m_file->Format();
    // At least a whole block is read ahead.
    const std::size_t aheadFrames = std::max<std::size_t>(
        m_blockFrames, std::max<std::size_t>(1, format.rate * kReadAheadMs / 1000));
    m_chunk.clear();
    m_chunkPos = 0;
    if (m_read < m_fileFrames) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(aheadFrames, m_fileFrames - m_read));
        const bool packed = m_file->IsPacked();
        const std::size_t got =
            packed ? m_file->ReadPacked(wanted, m_chunk) : m_file->Read(wanted, m_samples);
        if (got < wanted) {
            m_fileFrames = m_read + got;  // the file is shorter than its header said
        }
        const std::uint64_t measured = m_meterLimit - std::min(m_meterLimit, m_read);
        const std::size_t meterSamples =
            static_cast<std::size_t>(std::min<std::uint64_t>(got, measured)) * format.channels;
        if (packed) {
            m_levels.AddPacked(m_chunk.data(), meterSamples, format.bits);
        } else {
            m_levels.Add(m_samples.data(), meterSamples);
            PackSamples(m_samples.data(), m_samples.size(), format.bits, m_chunk);
        }
        if (m_gain != 1.0f) {
            _Carovel::CMixer::ChangeVolume(m_chunk.data(), static_cast<unsigned>(m_chunk.size()),
                                           static_cast<int>(format.BytesPerSample()), m_gain);
        }
        m_read += got;
    }
    if (m_chunk.empty() && m_read < TotalFrames()) {
        const auto padding =
            static_cast<std::size_t>(std::min<std::uint64_t>(aheadFrames, TotalFrames() - m_read));
        m_samples.assign(padding * format.channels, 0);
        PackSamples(m_samples.data(), m_samples.size(), format.bits, m_chunk);
        m_read += padding;
    }
    return !m_chunk.empty();
}

void SourceFeeder::Send(_Carovel::CMixer& mixer, const char* data, std::size_t bytes) {
    const PcmFormat& format = m_file->Format();
    if (bytes > static_cast<std::size_t>(INT_MAX)) {
        throw ToolError(FileMessage(m_file->Path(), "a block of its audio is too large"));
    }
    if (!mixer.AddFrame(m_id, data, static_cast<int>(bytes),
                        static_cast<unsigned short>(format.channels),
                        static_cast<unsigned short>(format.rate),
                        static_cast<unsigned short>(format.bits), nullptr)) {
        throw ToolError(FileMessage(m_file->Path(), "the mixer refused its audio in " +
                                                        Describe(format) + ": " +
                                                        _Carovel::StatusText(mixer.LastStatus())));
    }
}

}  // namespace carovel_mix
