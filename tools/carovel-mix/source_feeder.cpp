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
    // TotalFrames() shrinks when the file turns out shorter than announced.
    while (m_fed < std::min(until, TotalFrames())) {
        const std::uint64_t left = std::min(until, TotalFrames()) - m_fed;
        FeedBlock(mixer, static_cast<std::size_t>(std::min<std::uint64_t>(left, m_blockFrames)));
    }
}

void SourceFeeder::FeedBlock(_Carovel::CMixer& mixer, std::size_t frames) {
    const unsigned channels = m_file->Format().channels;
    if (m_fed < m_fileFrames) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames, m_fileFrames - m_fed));
        const std::size_t got = m_file->Read(wanted, m_samples);
        if (got < wanted) {
            m_fileFrames = m_fed + got;  // the file is shorter than its header said
        }
        m_levels.Add(m_samples.data(), m_samples.size());
        frames = got;
    } else {
        m_samples.assign(frames * channels, 0);  // padding
    }
    if (frames == 0) {
        return;
    }
    Send(mixer);
    m_fed += frames;
}

void SourceFeeder::Send(_Carovel::CMixer& mixer) {
    const PcmFormat& format = m_file->Format();
    m_bytes.clear();
    PackSamples(m_samples.data(), m_samples.size(), format.bits, m_bytes);
    if (m_gain != 1.0f) {
        _Carovel::CMixer::ChangeVolume(m_bytes.data(), static_cast<unsigned>(m_bytes.size()),
                                       static_cast<int>(format.BytesPerSample()), m_gain);
    }
    if (m_bytes.size() > static_cast<std::size_t>(INT_MAX) ||
        !mixer.AddFrame(m_id, m_bytes.data(), static_cast<int>(m_bytes.size()),
                        static_cast<unsigned short>(format.channels),
                        static_cast<unsigned short>(format.rate),
                        static_cast<unsigned short>(format.bits), nullptr)) {
        throw ToolError(FileMessage(m_file->Path(), "the mixer refused its audio in " +
                                                        Describe(format) +
                                                        " (a format it cannot convert)"));
    }
}

}  // namespace carovel_mix
