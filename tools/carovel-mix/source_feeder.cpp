#include "source_feeder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "pcm/sample_pack.h"
#include "tool_error.h"

namespace carovel_mix {
namespace {

std::uint64_t MulDiv(std::uint64_t value, std::uint64_t mul, std::uint64_t div, bool roundUp) {
    // Rates are below 2^20, so value * mul stays far from overflow for any
    // realistic length; guard the unbounded end marker all the same.
    if (value >= UINT64_MAX / (1u << 20)) {
        return UINT64_MAX;
    }
    const std::uint64_t product = value * mul;
    return roundUp ? (product + div - 1) / div : product / div;
}

}  // namespace

std::pair<double, double> PanGains(double position) {
    if (position <= -1.0) {
        return {1.0, 0.0};
    }
    if (position >= 1.0) {
        return {0.0, 1.0};
    }
    if (position == 0.0) {
        return {std::sqrt(0.5), std::sqrt(0.5)};
    }
    const double angle = (position + 1.0) * std::atan(1.0);  // 0 .. pi/2
    return {std::cos(angle), std::sin(angle)};
}

SourceFeeder::SourceFeeder(long id, InputFile& file, const PcmFormat& mixFormat,
                           const SourceSetup& setup, unsigned blockMs)
    : m_id(id),
      m_mixerId(id),
      m_file(file),
      m_mixFormat(mixFormat),
      m_setup(setup),
      m_feedFormat(file.Format()),
      m_plain(!setup.pan && setup.headroomShift == 0 && !setup.fade.Active()) {
    if (!m_plain) {
        // Pan and headroom are computed once and rounded to the width the
        // mixer works at, so that the mixer's own conversion adds nothing.
        m_feedFormat.bitsPerSample = mixFormat.bitsPerSample;
    }
    // A float file mixed in float goes in as floats, keeping its headroom.
    m_feedFormat.isFloat = m_plain && mixFormat.isFloat && file.IsFloat();
    if (setup.pan) {
        m_feedFormat.channels = 2;
        m_panGains = PanGains(*setup.pan);
    }
    m_fileBlockFrames =
        std::max<std::size_t>(1, (m_feedFormat.samplesPerSec * blockMs + 999) / 1000);
    m_mixBlockFrames = std::max<std::size_t>(1, (mixFormat.samplesPerSec * blockMs + 999) / 1000);
    std::vector<std::int32_t> zeros(m_mixBlockFrames * mixFormat.channels, 0);
    m_silence.resize(zeros.size() * mixFormat.BytesPerSample());
    _Carovel::PackFrom32BitScale(zeros.data(), zeros.size(), mixFormat.BytesPerSample(),
                                 m_silence.data());
}

std::uint64_t SourceFeeder::FileFramesFor(std::uint64_t mixFrames, bool roundUp) const {
    return MulDiv(mixFrames, m_file.Format().samplesPerSec, m_mixFormat.samplesPerSec, roundUp);
}

std::uint64_t SourceFeeder::EndFrame() const {
    // A file of unknown length (read from a pipe) has the largest length:
    // its end stays there, whatever its delay.
    const std::uint64_t part =
        MulDiv(m_file.Frames(), m_mixFormat.samplesPerSec, m_file.Format().samplesPerSec, true);
    const std::uint64_t delay = m_setup.delayFrames;
    return part > UINT64_MAX - delay ? UINT64_MAX : delay + part;
}

void SourceFeeder::SetMixEnd(std::uint64_t end, bool pad) {
    m_mixEnd = end;
    m_pad = pad;
}

std::uint64_t SourceFeeder::FileLimit() const {
    if (m_mixEnd <= m_setup.delayFrames) {
        return 0;
    }
    return std::min(m_file.Frames(), FileFramesFor(m_mixEnd - m_setup.delayFrames, true));
}

std::uint64_t SourceFeeder::MixFramesFed() const {
    return m_delayFed +
           MulDiv(m_fileFed, m_mixFormat.samplesPerSec, m_file.Format().samplesPerSec, m_flushed) +
           m_padFed;
}

void SourceFeeder::FeedSilence(_Carovel::CMixer& mixer, std::uint64_t frames) {
    while (frames > 0) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames, m_mixBlockFrames));
        Send(mixer, m_silence.data(), n * m_mixFormat.BlockAlign(), m_mixFormat);
        frames -= n;
    }
}

void SourceFeeder::FeedUntil(_Carovel::CMixer& mixer, std::uint64_t until) {
    if (m_flushed) {
        return;
    }
    // The delay: silence up to the source's first frame (not past the end).
    const std::uint64_t delay = std::min(m_setup.delayFrames, m_mixEnd);
    if (m_delayFed < delay) {
        const std::uint64_t to = std::min(until, delay);
        if (to > m_delayFed) {
            FeedSilence(mixer, to - m_delayFed);
            m_delayFed = to;
        }
        if (m_delayFed < delay) {
            return;
        }
    }
    // The file, up to `until` on the mix's timeline.
    if (!m_fileDone) {
        const std::uint64_t limit = FileLimit();
        const std::uint64_t to =
            until > delay ? std::min(limit, FileFramesFor(until - delay, false)) : 0;
        const unsigned align = m_feedFormat.BlockAlign();
        while (m_fileFed < to) {
            if (m_chunkPos == m_chunk.size() && !Refill()) {
                break;
            }
            const std::uint64_t frames = std::min<std::uint64_t>(
                {to - m_fileFed, m_fileBlockFrames, (m_chunk.size() - m_chunkPos) / align});
            const std::size_t bytes = static_cast<std::size_t>(frames) * align;
            Send(mixer, m_chunk.data() + m_chunkPos, bytes, m_feedFormat);
            m_chunkPos += bytes;
            m_fileFed += frames;
        }
        // The limit shrinks when the file turns out shorter than announced.
        m_fileDone = m_fileFed >= FileLimit();
        if (!m_fileDone) {
            return;
        }
    }
    // The master: silence until the mix ends. One frame more when a
    // converter's rounding may have left the file's part a frame short.
    if (m_pad && m_mixEnd != UINT64_MAX) {
        const std::uint64_t filePart =
            MulDiv(m_fileFed, m_mixFormat.samplesPerSec, m_file.Format().samplesPerSec, true);
        const std::uint64_t extra = m_feedFormat == m_mixFormat ? 0 : 1;
        const std::uint64_t start = delay + filePart;
        const std::uint64_t end = std::max(m_mixEnd + extra, start);
        const std::uint64_t to = std::min(until, end);
        if (to > start + m_padFed) {
            const std::uint64_t frames = to - start - m_padFed;
            FeedSilence(mixer, frames);
            m_padFed += frames;
        }
        if (start + m_padFed < end) {
            return;
        }
    }
    if (!mixer.FlushSource(m_mixerId, nullptr)) {
        throw ToolError(
            FileMessage(m_file.DisplayName(), std::string("the mixer could not end it: ") +
                                                  _Carovel::StatusText(mixer.LastStatus())));
    }
    m_flushed = true;
}

bool SourceFeeder::Refill() {
    const PcmFormat& format = m_file.Format();
    // At least a whole block is read ahead.
    const std::size_t aheadFrames = std::max<std::size_t>(
        m_fileBlockFrames, std::max<std::size_t>(1, format.samplesPerSec * kReadAheadMs / 1000));
    // Each read below sizes the chunk (without clearing it first, which
    // would have it zeroed again as it grows back).
    m_chunkPos = 0;
    const std::uint64_t limit = FileLimit();
    if (m_fileRead >= limit) {
        m_chunk.clear();
        return false;
    }
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(aheadFrames, limit - m_fileRead));
    const bool packed = m_plain && m_file.IsPacked();
    std::size_t got = 0;
    if (m_feedFormat.isFloat) {
        got = m_file.ReadFloats(wanted, m_floats);
        m_chunk.resize(m_floats.size() * sizeof(float));
        std::memcpy(m_chunk.data(), m_floats.data(), m_chunk.size());  // little-endian
        m_samples.resize(m_floats.size());
        _Carovel::FloatTo32BitScale(m_floats.data(), m_floats.size(), m_samples.data());
        m_levels.Add(m_samples.data(), m_samples.size());
        m_fileRead += got;
        return got > 0;
    }
    if (WidensOnly()) {
        // 16-bit samples with headroom alone: shifted into the 32-bit feed
        // as they are read, measured as read.
        got = m_file.ReadPacked(wanted, m_raw);
        const std::size_t samples = got * format.channels;
        m_levels.AddPacked(m_raw.data(), samples, 2);
        m_chunk.resize(samples * 4);
        Widen16To32(m_raw.data(), samples, 16 - m_setup.headroomShift, m_chunk.data());
        m_fileRead += got;
        return got > 0;
    }
    if (packed) {
        got = m_file.ReadPacked(wanted, m_chunk);
    } else if (m_file.IsPacked()) {
        // Packed PCM unpacked here, faster than libsndfile's conversion.
        got = m_file.ReadPacked(wanted, m_raw);
        m_samples.resize(got * format.channels);
        _Carovel::UnpackTo32BitScale(m_raw.data(), m_samples.size(), format.BytesPerSample(),
                                     m_samples.data());
    } else {
        got = m_file.Read(wanted, m_samples);
    }
    if (packed) {
        // The file's bytes are what the mixer takes.
        m_levels.AddPacked(m_chunk.data(), got * format.channels, format.BytesPerSample());
    } else {
        m_levels.Add(m_samples.data(), m_samples.size());
        if (!m_plain) {
            Transform(got);
        }
        // Fed as read, the feed format is the file's.
        const std::vector<std::int32_t>& fed = m_plain ? m_samples : m_transformed;
        const unsigned width = m_feedFormat.BytesPerSample();
        m_chunk.resize(fed.size() * width);
        _Carovel::PackFrom32BitScale(fed.data(), fed.size(), width, m_chunk.data());
    }
    m_fileRead += got;
    return got > 0;
}

bool SourceFeeder::WidensOnly() const {
    const PcmFormat& format = m_file.Format();
    return !m_plain && !m_setup.pan && !m_setup.fade.Active() && m_file.IsPacked() &&
           !format.isFloat && format.bitsPerSample == 16 && !m_feedFormat.isFloat &&
           m_feedFormat.bitsPerSample == 32 && m_setup.headroomShift <= 16;
}

void SourceFeeder::Transform(std::size_t frames) {
    const unsigned inChannels = m_file.Format().channels;
    const unsigned outChannels = m_feedFormat.channels;
    const int bits = static_cast<int>(m_feedFormat.bitsPerSample);
    // Samples at 32-bit scale times `scale` are in steps of the feed width.
    const double scale =
        std::ldexp(1.0, static_cast<int>(32 - m_setup.headroomShift) - 32 - (32 - bits));
    const std::int64_t top = std::int64_t{1} << (bits - 1);
    const std::int64_t step = std::int64_t{1} << (32 - bits);
    const double low = -static_cast<double>(top);
    const double high = static_cast<double>(top - 1);
    // Rounds to the feed width, halves away from zero (as the mixer rounds
    // its gains), clamps, and left-justifies again; without branches, so
    // that the loops below vectorise.
    const auto quantise = [step, low, high](double v) {
        const double clamped = std::min(std::max(v, low), high);
        const auto q = static_cast<std::int64_t>(clamped + std::copysign(0.5, clamped));
        return static_cast<std::int32_t>(q * step);
    };
    m_transformed.resize(frames * outChannels);
    const std::int32_t* in = m_samples.data();
    std::int32_t* out = m_transformed.data();
    const Fade& fade = m_setup.fade;
    const bool fading = fade.Active();
    if (m_setup.pan) {
        const double left = m_panGains.first;
        const double right = m_panGains.second;
        const double perChannel = scale / inChannels;
        for (std::size_t f = 0; f < frames; ++f, in += inChannels, out += 2) {
            const double gain = fading ? fade.GainAt(m_fileRead + f) * perChannel : perChannel;
            double mono = in[0];
            for (unsigned c = 1; c < inChannels; ++c) {
                mono += in[c];
            }
            mono *= gain;
            out[0] = quantise(mono * left);
            out[1] = quantise(mono * right);
        }
        return;
    }
    if (!fading) {
        // Only the headroom: the same rounding in integers, which vectorises.
        Requantise(in, frames * inChannels, -static_cast<int>(m_setup.headroomShift),
                   static_cast<unsigned>(bits), out);
        return;
    }
    for (std::size_t f = 0; f < frames; ++f, in += inChannels, out += inChannels) {
        const double gain = fade.GainAt(m_fileRead + f) * scale;
        for (unsigned c = 0; c < inChannels; ++c) {
            out[c] = quantise(static_cast<double>(in[c]) * gain);
        }
    }
}

void SourceFeeder::Send(_Carovel::CMixer& mixer, const char* data, std::size_t bytes,
                        const PcmFormat& format) {
    if (bytes > static_cast<std::size_t>(INT_MAX)) {
        throw ToolError(FileMessage(m_file.DisplayName(), "a block of its audio is too large"));
    }
    if (!mixer.AddFrame(m_mixerId, data, static_cast<int>(bytes), ToAudioFormat(format), nullptr)) {
        throw ToolError(
            FileMessage(m_file.DisplayName(), "the mixer refused its audio in " + Describe(format) +
                                                  ": " + _Carovel::StatusText(mixer.LastStatus())));
    }
}

}  // namespace carovel_mix
