// The state of one PCM conversion stream, shared by the CWaveConvert objects
// that use it.
#ifndef CAROVEL_CONVERT_CONVERT_STREAM_H
#define CAROVEL_CONVERT_CONVERT_STREAM_H

#include <speex/speex_resampler.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

namespace _Carovel {

struct PcmFormat {
    unsigned channels;
    unsigned samplesPerSec;
    unsigned bitsPerSample;

    unsigned BytesPerSample() const { return bitsPerSample / 8; }
    std::size_t BlockAlign() const { return std::size_t{channels} * BytesPerSample(); }
    // Channels >= 1, rate >= 1 and a width of 8, 16, 24 or 32 bits.
    bool IsSupported() const;
};

// Bytes taken from the source and written to the destination by one step.
struct StepResult {
    std::size_t used;
    std::size_t produced;
};

class CConvertStream {
    struct Token {
        explicit Token() = default;
    };

  public:
    // Quality setting of the resampler (0..10).
    static constexpr int kResamplerQuality = 5;

    // Returns null when either format is unsupported or the resampler cannot
    // be set up. Throws std::bad_alloc when memory runs out.
    static std::shared_ptr<CConvertStream> Create(const PcmFormat& src, const PcmFormat& dst);

    // Use Create; the token keeps the constructor to it.
    CConvertStream(Token, const PcmFormat& src, const PcmFormat& dst);
    CConvertStream(const CConvertStream&) = delete;
    CConvertStream& operator=(const CConvertStream&) = delete;

    // Converts as many whole source blocks of src[0, srcLen) as fit, as whole
    // destination blocks, into dst[0, dstLen). Never allocates.
    StepResult Step(const unsigned char* src, std::size_t srcLen, unsigned char* dst,
                    std::size_t dstLen);

    // Destination frames by which the rate change delays the stream; 0 when
    // the rates are equal.
    unsigned DelayFrames() const;

  private:
    struct ResamplerFree {
        void operator()(SpeexResamplerState* st) const noexcept { speex_resampler_destroy(st); }
    };
    template <class T>
    struct Scratch {
        std::vector<T> in;   // decoded source frames, work channels each
        std::vector<T> out;  // resampled frames, work channels each
    };

    template <class T>
    StepResult Run(Scratch<T>& scratch, const unsigned char* src, std::size_t inFrames,
                   unsigned char* dst, std::size_t outFrames);
    template <class T>
    void Decode(const unsigned char* src, std::size_t frames, T* out) const;
    template <unsigned Bytes, class T>
    void DecodeWidth(const unsigned char* src, std::size_t frames, T* out) const;
    template <class T>
    void Encode(const T* in, std::size_t frames, unsigned char* dst) const;
    template <unsigned Bytes, class T>
    void EncodeWidth(const T* in, std::size_t frames, unsigned char* dst) const;
    // Upper bound of the source frames the resampler needs for outFrames.
    std::size_t InputFor(std::size_t outFrames) const;

    PcmFormat m_src;
    PcmFormat m_dst;
    // Channels between the two remapping stages: min(source, destination).
    unsigned m_wWorkChannels;
    // Frames handled per pass through the scratch buffers.
    std::size_t m_dwChunkFrames;
    std::unique_ptr<SpeexResamplerState, ResamplerFree> m_hResampler;  // null at equal rates
    std::variant<Scratch<std::int32_t>, Scratch<std::int16_t>, Scratch<float>> m_scratch;
};

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_CONVERT_STREAM_H
