#include "mix_sink.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "pcm/sample_pack.h"
#include "tool_error.h"

namespace carovel_mix {
namespace {

std::int32_t Quantise(double value, unsigned bits) {
    const double step = std::ldexp(1.0, 32 - static_cast<int>(bits));
    const double top = std::ldexp(1.0, static_cast<int>(bits) - 1);
    const double q = std::clamp(std::round(value / step), -top, top - 1.0);
    return static_cast<std::int32_t>(q * step);
}

FileDescriptor MakeSpool() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/carovel-mix-spool.XXXXXX";
    FileDescriptor fd(mkstemp(pattern.data()));
    if (fd.Get() < 0) {
        throw ToolError(std::string("cannot create a temporary file in ") +
                        pattern.substr(0, pattern.rfind('/')) + ": " + std::strerror(errno));
    }
    unlink(pattern.c_str());
    return fd;
}

void SpoolWrite(int fd, const std::int32_t* samples, std::size_t count) {
    const auto* bytes = reinterpret_cast<const char*>(samples);
    std::size_t size = count * sizeof(std::int32_t);
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw ToolError(std::string("cannot write a temporary file: ") + std::strerror(errno));
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::size_t SpoolRead(int fd, std::int32_t* samples, std::size_t count) {
    auto* bytes = reinterpret_cast<char*>(samples);
    std::size_t done = 0;
    const std::size_t size = count * sizeof(std::int32_t);
    while (done < size) {
        const ssize_t n = read(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw ToolError(std::string("cannot read a temporary file: ") + std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done / sizeof(std::int32_t);
}

}  // namespace

Track::Track(std::unique_ptr<OutputFile> file, const PcmFormat& mixFormat, unsigned outBits,
             unsigned shift, Mode mode)
    : m_file(std::move(file)),
      m_mixFormat(mixFormat),
      m_outBits(outBits),
      m_shift(shift),
      m_mode(mode),
      m_clips((shift == 0 ? mixFormat.bitsPerSample : outBits) / 8) {
    if (mode == Mode::kNormalize || mode == Mode::kSpool) {
        m_spool = MakeSpool();
    }
}

Track::~Track() = default;

std::size_t Track::Unpack(const char* bytes, std::size_t frames) {
    const std::size_t samples = frames * m_mixFormat.channels;
    m_samples.resize(samples);
    _Carovel::UnpackTo32BitScale(bytes, samples, m_mixFormat.BytesPerSample(), m_samples.data());
    return samples;
}

void Track::WriteOut(std::size_t samples) {
    m_file->Write(m_samples.data(), samples);
    m_levels.Add(m_samples.data(), samples);
    m_clips.Add(m_samples.data(), samples);
}

void Track::AddFloats(const char* bytes, std::size_t frames) {
    const std::size_t samples = frames * m_mixFormat.channels;
    m_floats.resize(samples);
    std::memcpy(m_floats.data(), bytes, samples * sizeof(float));  // little-endian, as mixed
    for (const float v : m_floats) {
        m_floatPeak = std::max(m_floatPeak, static_cast<double>(std::fabs(v)));
    }
    if (m_file) {
        m_file->WriteFloats(m_floats.data(), samples);
    }
    // The meter's RMS is of the samples clamped at full scale; the peak is
    // kept apart.
    m_samples.resize(samples);
    _Carovel::FloatTo32BitScale(m_floats.data(), samples, m_samples.data());
    m_levels.Add(m_samples.data(), samples);
}

void Track::Add(const char* bytes, std::size_t frames) {
    if (m_rate) {
        const RateStage::Out out = m_rate->Convert(bytes, frames);
        Take(out.bytes, out.frames);
    } else {
        Take(bytes, frames);
    }
}

void Track::EndInput() {
    if (m_rate) {
        const RateStage::Out out = m_rate->Finish();
        Take(out.bytes, out.frames);
    }
}

void Track::Take(const char* bytes, std::size_t frames) {
    if (frames == 0) {
        return;
    }
    m_frames += frames;
    if (m_mixFormat.isFloat) {
        AddFloats(bytes, frames);
        return;
    }
    if (m_mode == Mode::kWrite && m_shift == 0 && m_file->IsPacked() &&
        m_outBits == m_mixFormat.bitsPerSample) {
        // The mixer's bytes are the file's bytes.
        const std::size_t samples = frames * m_mixFormat.channels;
        m_file->WritePacked(bytes, samples);
        m_levels.AddPacked(bytes, samples, m_mixFormat.BytesPerSample());
        m_clips.AddPacked(bytes, samples);
        return;
    }
    const std::size_t samples = Unpack(bytes, frames);
    if (m_mode != Mode::kWrite) {
        for (std::size_t i = 0; i < samples; ++i) {
            m_peak = std::max(m_peak, std::abs(std::int64_t{m_samples[i]}));
        }
    }
    if (m_meter) {
        const double scale = std::ldexp(1.0, static_cast<int>(m_shift) - 31);
        m_values.resize(samples);
        for (std::size_t i = 0; i < samples; ++i) {
            m_values[i] = m_samples[i] * scale;
        }
        m_meter->Add(m_values.data(), frames);
    }
    switch (m_mode) {
        case Mode::kMeasure:
            return;
        case Mode::kNormalize:
        case Mode::kSpool:
            SpoolWrite(m_spool.Get(), m_samples.data(), samples);
            return;
        case Mode::kWrite:
            break;
    }
    if (m_shift != 0) {
        // Scaled back up, at the written width.
        Requantise(m_samples.data(), samples, static_cast<int>(m_shift), m_outBits,
                   m_samples.data());
    }
    WriteOut(samples);
}

std::int32_t Track::Store(double value) {
    const double step = std::ldexp(1.0, 32 - static_cast<int>(m_outBits));
    // A value the width holds exactly (digital silence, a gain of 1) is
    // stored as it is; others get triangular noise over (-1, 1) steps, the
    // sum of two uniform values.
    if (m_dither && m_outBits < 32 && std::floor(value / step) != value / step) {
        const auto uniform = [this] {
            m_noise ^= m_noise << 13;
            m_noise ^= m_noise >> 7;
            m_noise ^= m_noise << 17;
            return static_cast<double>(m_noise >> 11) * 0x1.0p-53;
        };
        value += (uniform() - uniform()) * step;
    }
    return Quantise(value, m_outBits);
}

void Track::Normalize(double peak) {
    if (m_mode != Mode::kNormalize) {
        return;
    }
    // The gain at full scale 1.0 that takes the spooled peak to `peak`.
    const double magnitude =
        std::ldexp(static_cast<double>(m_peak), static_cast<int>(m_shift) - 31);
    WriteScaled(m_peak == 0 ? 1.0 : peak / magnitude, 0.0, true);
}

FileDescriptor Track::TakeSpool() {
    if (m_mode != Mode::kSpool) {
        return FileDescriptor();
    }
    lseek(m_spool.Get(), 0, SEEK_SET);
    return std::move(m_spool);
}

void Track::MeasureLoudness() {
    m_meter = std::make_unique<LoudnessMeter>(m_mixFormat.channels, m_mixFormat.samplesPerSec);
}

double Track::InputLufs() const {
    return m_meter ? m_meter->IntegratedLufs() : -HUGE_VAL;
}

double Track::InputTruePeakDbtp() const {
    return m_meter ? m_meter->TruePeakDbtp() : -HUGE_VAL;
}

Track::ScaledPass Track::WriteScaled(double gain, double ceiling, bool write) {
    ScaledPass pass;
    if (m_mode != Mode::kNormalize) {
        return pass;
    }
    lseek(m_spool.Get(), 0, SEEK_SET);
    const unsigned channels = m_mixFormat.channels;
    std::optional<LoudnessMeter> meter;
    if (m_meter) {
        meter.emplace(channels, m_mixFormat.samplesPerSec);
    }
    std::optional<TruePeakLimiter> limiter;
    if (ceiling > 0.0) {
        limiter.emplace(channels, m_mixFormat.samplesPerSec, ceiling);
    }
    const double toUnit = std::ldexp(gain, static_cast<int>(m_shift) - 31);
    std::vector<double> limited;
    const auto emit = [&](const double* values, std::size_t samples) {
        if (meter) {
            meter->Add(values, samples / channels);
        }
        if (!write) {
            return;
        }
        m_samples.resize(samples);
        for (std::size_t i = 0; i < samples; ++i) {
            m_samples[i] = Store(values[i] * 2147483648.0);
        }
        WriteOut(samples);
    };
    constexpr std::size_t kChunk = 1 << 16;
    const std::size_t chunk = kChunk - kChunk % channels;
    std::vector<std::int32_t> spooled(chunk);
    for (;;) {
        const std::size_t got = SpoolRead(m_spool.Get(), spooled.data(), chunk);
        if (got == 0) {
            break;
        }
        m_values.resize(got);
        for (std::size_t i = 0; i < got; ++i) {
            m_values[i] = spooled[i] * toUnit;
        }
        if (limiter) {
            limited.clear();
            limiter->Push(m_values.data(), got / channels, limited);
            emit(limited.data(), limited.size());
        } else {
            emit(m_values.data(), got);
        }
    }
    if (limiter) {
        limited.clear();
        limiter->Finish(limited);
        emit(limited.data(), limited.size());
        pass.leastGain = limiter->LeastGain();
    }
    if (meter) {
        pass.lufs = meter->IntegratedLufs();
        pass.truePeakDbtp = meter->TruePeakDbtp();
    }
    if (write) {
        m_written = pass;
    }
    return pass;
}

void Track::Finish() {
    if (m_file) {
        m_file->Finish();
    }
}

void Track::Commit() {
    if (m_file) {
        m_file->Commit();
    }
}

double Track::PeakDbfs() const {
    if (m_mixFormat.isFloat) {
        return m_floatPeak <= 0.0 ? -INFINITY : 20.0 * std::log10(m_floatPeak);
    }
    if (m_mode == Mode::kWrite) {
        return m_levels.PeakDbfs();
    }
    const double magnitude = std::ldexp(static_cast<double>(m_peak), static_cast<int>(m_shift));
    return magnitude <= 0.0 ? -INFINITY : 20.0 * std::log10(magnitude / 2147483648.0);
}

void MixSink::AddMinus(long source, std::unique_ptr<Track> track) {
    m_minus[source] = std::move(track);
    m_minusWritten[source] = 0;
}

void MixSink::AddTo(Track& track, std::uint64_t& written, const char* bytes,
                    std::size_t byteCount) {
    const std::uint64_t room = m_limit - std::min(m_limit, written);
    const std::size_t frames =
        static_cast<std::size_t>(std::min<std::uint64_t>(room, byteCount / m_format.BlockAlign()));
    track.Add(bytes, frames);
    written += frames;
}

void MixSink::AddPass(const char* mix, std::size_t mixBytes, const char* master,
                      std::size_t masterBytes) {
    AddTo(*m_mix, m_mixWritten, mix, mixBytes);
    if (m_master) {
        AddTo(*m_master, m_masterWritten, master, masterBytes);
    }
}

void MixSink::AddMinusBytes(long source, const char* data, std::size_t bytes) {
    const auto track = m_minus.find(source);
    if (track != m_minus.end()) {
        AddTo(*track->second, m_minusWritten[source], data, bytes);
    }
}

template <class Fn>
void MixSink::ForEachTrack(Fn fn) {
    fn(*m_mix);
    if (m_master) {
        fn(*m_master);
    }
    for (auto& minus : m_minus) {
        fn(*minus.second);
    }
}

void MixSink::EndInput() {
    ForEachTrack([](Track& track) { track.EndInput(); });
}

void MixSink::Commit() {
    // Every file is complete before any is put in place.
    ForEachTrack([](Track& track) { track.Finish(); });
    ForEachTrack([](Track& track) { track.Commit(); });
}

std::unique_ptr<Track> MakeTrack(std::unique_ptr<OutputFile> file, const PcmFormat& mixed,
                                 const PcmFormat& written, unsigned outBits, unsigned shift,
                                 Track::Mode mode) {
    auto track = std::make_unique<Track>(std::move(file), written, outBits, shift, mode);
    if (mixed.samplesPerSec != written.samplesPerSec || mixed.channels != written.channels) {
        track->SetRateStage(std::make_unique<RateStage>(mixed, written));
    }
    return track;
}

}  // namespace carovel_mix
