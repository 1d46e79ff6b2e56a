#include "convert/convert_stream.h"

#include <algorithm>
#include <type_traits>

#include "convert/pcm_sample.h"

namespace _Carovel {
namespace {

// Work samples per scratch buffer; one pass of a step handles at most this
// many, so the buffers are sized once when the stream opens.
constexpr std::size_t kScratchSamples = 4096;

void Resample(SpeexResamplerState* st, const std::int16_t* in, spx_uint32_t& inLen,
              std::int16_t* out, spx_uint32_t& outLen) {
    speex_resampler_process_interleaved_int(st, in, &inLen, out, &outLen);
}

void Resample(SpeexResamplerState* st, const float* in, spx_uint32_t& inLen, float* out,
              spx_uint32_t& outLen) {
    speex_resampler_process_interleaved_float(st, in, &inLen, out, &outLen);
}

// Averages the n channels of each frame into one work sample; a non-zero
// Channels fixes n at compile time so the common stereo case unrolls.
template <unsigned Bytes, unsigned Channels, class T>
void AverageFrames(const unsigned char* src, std::size_t frames, unsigned n,
                   const WorkSample<T>& average, T* out) {
    using Sum = typename WorkSample<T>::Sum;
    const unsigned channels = Channels != 0 ? Channels : n;
    for (std::size_t f = 0; f < frames; ++f, src += channels * Bytes) {
        Sum sum = 0;
        for (unsigned c = 0; c < channels; ++c) {
            sum += static_cast<Sum>(ReadSample<Bytes>(src + c * Bytes));
        }
        out[f] = average.FromSum(sum);
    }
}

}  // namespace

bool PcmFormat::IsSupported() const {
    return channels >= 1 && samplesPerSec >= 1 && IsSupportedWidth(bitsPerSample);
}

std::shared_ptr<CConvertStream> CConvertStream::Create(const PcmFormat& src, const PcmFormat& dst) {
    if (!src.IsSupported() || !dst.IsSupported()) {
        return nullptr;
    }
    auto stream = std::make_shared<CConvertStream>(Token{}, src, dst);
    if (src.samplesPerSec != dst.samplesPerSec && !stream->m_hResampler) {
        return nullptr;
    }
    return stream;
}

CConvertStream::CConvertStream(Token, const PcmFormat& src, const PcmFormat& dst)
    : m_src(src),
      m_dst(dst),
      m_wWorkChannels(std::min(src.channels, dst.channels)),
      m_dwChunkFrames(std::max<std::size_t>(1, kScratchSamples / m_wWorkChannels)) {
    const std::size_t samples = m_dwChunkFrames * m_wWorkChannels;
    if (src.samplesPerSec == dst.samplesPerSec) {
        m_scratch.emplace<Scratch<std::int32_t>>().in.resize(samples);
        return;
    }
    int err = RESAMPLER_ERR_SUCCESS;
    m_hResampler.reset(speex_resampler_init(m_wWorkChannels, src.samplesPerSec, dst.samplesPerSec,
                                            kResamplerQuality, &err));
    if (!m_hResampler) {
        return;
    }
    // 16-bit work samples lose nothing when neither side is wider than that.
    if (src.bitsPerSample <= 16 && dst.bitsPerSample <= 16) {
        auto& scratch = m_scratch.emplace<Scratch<std::int16_t>>();
        scratch.in.resize(samples);
        scratch.out.resize(samples);
    } else {
        auto& scratch = m_scratch.emplace<Scratch<float>>();
        scratch.in.resize(samples);
        scratch.out.resize(samples);
    }
}

StepResult CConvertStream::Step(const unsigned char* src, std::size_t srcLen, unsigned char* dst,
                                std::size_t dstLen) {
    const std::size_t inFrames = srcLen / m_src.BlockAlign();
    const std::size_t outFrames = dstLen / m_dst.BlockAlign();
    if (inFrames == 0 || outFrames == 0) {
        return {0, 0};
    }
    return std::visit([&](auto& scratch) { return Run(scratch, src, inFrames, dst, outFrames); },
                      m_scratch);
}

unsigned CConvertStream::DelayFrames() const {
    return m_hResampler
               ? static_cast<unsigned>(speex_resampler_get_output_latency(m_hResampler.get()))
               : 0;
}

std::size_t CConvertStream::InputFor(std::size_t outFrames) const {
    const std::uint64_t num = std::uint64_t{outFrames} * m_src.samplesPerSec;
    return static_cast<std::size_t>((num + m_dst.samplesPerSec - 1) / m_dst.samplesPerSec + 1);
}

// The resampler keeps the filter history it needs in its own state and takes
// only the input that its output room allows, so the frames it reports as
// consumed are exactly the frames this step used. Frames decoded but not
// consumed are offered again by the caller, which makes the output independent
// of how the stream is cut into steps.
template <class T>
StepResult CConvertStream::Run(Scratch<T>& scratch, const unsigned char* src, std::size_t inFrames,
                               unsigned char* dst, std::size_t outFrames) {
    std::size_t used = 0;
    std::size_t made = 0;
    while (used < inFrames && made < outFrames) {
        const std::size_t room = std::min(outFrames - made, m_dwChunkFrames);
        std::size_t offer = std::min(inFrames - used, m_dwChunkFrames);
        offer = m_hResampler ? std::min(offer, InputFor(room)) : std::min(offer, room);
        Decode(src + used * m_src.BlockAlign(), offer, scratch.in.data());

        auto inLen = static_cast<spx_uint32_t>(offer);
        auto outLen = inLen;
        const T* result = scratch.in.data();
        if constexpr (!std::is_same_v<T, std::int32_t>) {
            outLen = static_cast<spx_uint32_t>(room);
            Resample(m_hResampler.get(), scratch.in.data(), inLen, scratch.out.data(), outLen);
            result = scratch.out.data();
        }
        Encode(result, outLen, dst + made * m_dst.BlockAlign());
        used += inLen;
        made += outLen;
        if (inLen == 0 && outLen == 0) {
            break;
        }
    }
    return {used * m_src.BlockAlign(), made * m_dst.BlockAlign()};
}

template <class T>
void CConvertStream::Decode(const unsigned char* src, std::size_t frames, T* out) const {
    switch (m_src.BytesPerSample()) {
        case 1:
            DecodeWidth<1>(src, frames, out);
            break;
        case 2:
            DecodeWidth<2>(src, frames, out);
            break;
        case 3:
            DecodeWidth<3>(src, frames, out);
            break;
        default:
            DecodeWidth<4>(src, frames, out);
            break;
    }
}

// Decodes frames into work samples and maps them onto the work channels:
// many channels to one are averaged, otherwise the first work channels are
// taken.
template <unsigned Bytes, class T>
void CConvertStream::DecodeWidth(const unsigned char* src, std::size_t frames, T* out) const {
    using Sum = typename WorkSample<T>::Sum;
    const unsigned n = m_src.channels;
    const unsigned k = m_wWorkChannels;
    const WorkSample<T> one(1, m_dst.BytesPerSample());
    if (k == n) {
        for (std::size_t i = 0; i < frames * n; ++i) {
            out[i] = one.FromSum(static_cast<Sum>(ReadSample<Bytes>(src + i * Bytes)));
        }
        return;
    }
    if (k == 1) {
        const WorkSample<T> average(n, m_dst.BytesPerSample());
        if (n == 2) {
            AverageFrames<Bytes, 2>(src, frames, n, average, out);
        } else {
            AverageFrames<Bytes, 0>(src, frames, n, average, out);
        }
        return;
    }
    for (std::size_t f = 0; f < frames; ++f, src += n * Bytes) {
        for (unsigned c = 0; c < k; ++c) {
            *out++ = one.FromSum(static_cast<Sum>(ReadSample<Bytes>(src + c * Bytes)));
        }
    }
}

template <class T>
void CConvertStream::Encode(const T* in, std::size_t frames, unsigned char* dst) const {
    switch (m_dst.BytesPerSample()) {
        case 1:
            EncodeWidth<1>(in, frames, dst);
            break;
        case 2:
            EncodeWidth<2>(in, frames, dst);
            break;
        case 3:
            EncodeWidth<3>(in, frames, dst);
            break;
        default:
            EncodeWidth<4>(in, frames, dst);
            break;
    }
}

// Encodes work samples and spreads the work channels over the destination
// channels: one channel goes to all of them, otherwise channel i goes to
// channel i and the rest are silent.
template <unsigned Bytes, class T>
void CConvertStream::EncodeWidth(const T* in, std::size_t frames, unsigned char* dst) const {
    const unsigned k = m_wWorkChannels;
    const unsigned m = m_dst.channels;
    if (k == m) {
        for (std::size_t i = 0; i < frames * m; ++i) {
            WriteSample<Bytes>(dst + i * Bytes, WorkSample<T>::ToWidth(in[i], Bytes));
        }
        return;
    }
    for (std::size_t f = 0; f < frames; ++f, in += k) {
        if (k == 1) {
            const std::int32_t v = WorkSample<T>::ToWidth(in[0], Bytes);
            for (unsigned c = 0; c < m; ++c, dst += Bytes) {
                WriteSample<Bytes>(dst, v);
            }
            continue;
        }
        for (unsigned c = 0; c < m; ++c, dst += Bytes) {
            WriteSample<Bytes>(dst, c < k ? WorkSample<T>::ToWidth(in[c], Bytes) : 0);
        }
    }
}

}  // namespace _Carovel
