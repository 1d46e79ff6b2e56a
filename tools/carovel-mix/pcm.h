// PCM helpers of carovel-mix: formats, packing of samples into the
// little-endian byte layouts the mixer takes, and level metering.
//
// Inside the tool every sample travels as a left-justified 32-bit integer
// (the most significant bits carry the sample, as libsndfile delivers them),
// so one code path serves every width.
#ifndef CAROVEL_MIX_PCM_H
#define CAROVEL_MIX_PCM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace carovel_mix {

struct PcmFormat {
    unsigned channels = 0;
    unsigned rate = 0;  // samples per second
    unsigned bits = 0;  // 8 (unsigned), 16, 24 or 32 (signed)

    unsigned BytesPerSample() const { return bits / 8; }
    unsigned BlockAlign() const { return channels * BytesPerSample(); }
    bool operator==(const PcmFormat& o) const {
        return channels == o.channels && rate == o.rate && bits == o.bits;
    }
    bool operator!=(const PcmFormat& o) const { return !(*this == o); }
};

// "8000 Hz mono 16-bit", "44100 Hz stereo 24-bit", "48000 Hz 6 ch 32-bit".
std::string Describe(const PcmFormat& format);

bool IsSupportedWidth(unsigned bits);

// Narrows left-justified samples to `bits` wide little-endian PCM (8-bit
// unsigned with midpoint 128), appending to out.
void PackSamples(const std::int32_t* samples, std::size_t count, unsigned bits,
                 std::vector<char>& out);
// The inverse: reads count samples of `bits` wide PCM into left-justified
// integers.
void UnpackSamples(const char* data, std::size_t count, unsigned bits, std::int32_t* out);

// Converts floating-point samples (full scale +-1.0) to left-justified 32-bit
// integers, rounding to nearest and clamping out-of-range values.
void FloatToSamples(const float* in, std::size_t count, std::int32_t* out);

// Bytes of one frame of frameMs milliseconds in format. Throws ToolError with
// the reason when the frame is not a whole number of samples or does not fit
// the mixer's 16-bit frame length.
unsigned FrameBytes(const PcmFormat& format, unsigned frameMs);

// Peak and RMS level of left-justified samples.
class LevelMeter {
  public:
    void Add(const std::int32_t* samples, std::size_t count);
    // The same for count samples of packed `bits` wide PCM.
    void AddPacked(const char* data, std::size_t count, unsigned bits);
    // Levels relative to full scale; minus infinity for silence or no input.
    double PeakDbfs() const;
    double RmsDbfs() const;
    std::uint64_t Samples() const { return m_count; }

  private:
    std::uint64_t m_count = 0;
    double m_sumSquares = 0.0;
    std::int64_t m_peak = 0;  // largest magnitude seen
};

// Counts samples at the ends of a `bits` wide range: the mix's clipped samples.
class ClipCounter {
  public:
    explicit ClipCounter(unsigned bits);
    void Add(const std::int32_t* samples, std::size_t count);
    // The same for count samples of packed PCM of the counter's width.
    void AddPacked(const char* data, std::size_t count);
    std::uint64_t Count() const { return m_count; }

  private:
    unsigned m_bits;
    std::int32_t m_min;
    std::int32_t m_max;
    std::uint64_t m_count = 0;
};

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_PCM_H
