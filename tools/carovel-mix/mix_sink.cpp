#include "mix_sink.h"

#include <algorithm>

namespace carovel_mix {

MixSink::MixSink(const std::string& mixPath, const std::string& masterPath, const PcmFormat& format)
    : m_format(format), m_mix(mixPath, format), m_clips(format.bits) {
    if (!masterPath.empty()) {
        m_master = std::make_unique<OutputFile>(masterPath, format);
    }
}

std::size_t MixSink::Unpack(const std::vector<char>& bytes, std::size_t frames) {
    const std::size_t samples = frames * m_format.channels;
    m_samples.resize(samples);
    UnpackSamples(bytes.data(), samples, m_format.bits, m_samples.data());
    return samples;
}

void MixSink::Add(const std::vector<char>& mix, const std::vector<char>& master) {
    const std::uint64_t room = m_limit - std::min(m_limit, m_written);
    const std::size_t frames =
        static_cast<std::size_t>(std::min<std::uint64_t>(room, mix.size() / m_format.BlockAlign()));
    if (frames == 0) {
        return;
    }
    if (m_mix.IsPacked()) {
        // The mixer's bytes are the file's bytes.
        const std::size_t samples = frames * m_format.channels;
        m_mix.WritePacked(mix.data(), samples);
        m_levels.AddPacked(mix.data(), samples, m_format.bits);
        m_clips.AddPacked(mix.data(), samples);
    } else {
        const std::size_t samples = Unpack(mix, frames);
        m_mix.Write(m_samples.data(), samples);
        m_levels.Add(m_samples.data(), samples);
        m_clips.Add(m_samples.data(), samples);
    }
    if (m_master) {
        const std::size_t masterFrames = std::min(frames, master.size() / m_format.BlockAlign());
        if (m_master->IsPacked()) {
            m_master->WritePacked(master.data(), masterFrames * m_format.channels);
        } else {
            m_master->Write(m_samples.data(), Unpack(master, masterFrames));
        }
    }
    m_written += frames;
}

void MixSink::Commit() {
    // Both files are complete before either is put in place.
    m_mix.Finish();
    if (m_master) {
        m_master->Finish();
    }
    m_mix.Commit();
    if (m_master) {
        m_master->Commit();
    }
}

}  // namespace carovel_mix
