// Running level measurements over any number of sample buffers, at 32-bit
// scale (see ReadAt32BitScale) or as packed PCM: the peak and RMS level, and
// the count of samples at the ends of a width's range.
#ifndef CAROVEL_PCM_LEVEL_METER_H
#define CAROVEL_PCM_LEVEL_METER_H

#include <cstddef>
#include <cstdint>

namespace _Carovel {

// Peak and RMS level of every sample added.
class LevelMeter {
  public:
    void Add(const std::int32_t* samples, std::size_t count);
    // The same for count samples of packed bytesPerSample wide PCM (1 to 4).
    void AddPacked(const char* data, std::size_t count, unsigned bytesPerSample);
    // Levels relative to full scale; minus infinity for silence or no input.
    double PeakDbfs() const;
    double RmsDbfs() const;
    std::uint64_t Samples() const { return m_count; }

  private:
    std::uint64_t m_count = 0;
    double m_sumSquares = 0.0;
    std::int64_t m_peak = 0;  // largest magnitude seen
};

// Counts the samples at either end of the range of a width: clipped samples.
class ClipCounter {
  public:
    // bytesPerSample: 1 to 4.
    explicit ClipCounter(unsigned bytesPerSample);
    void Add(const std::int32_t* samples, std::size_t count);
    // The same for count samples of packed PCM of the counter's width.
    void AddPacked(const char* data, std::size_t count);
    std::uint64_t Count() const { return m_count; }

  private:
    unsigned m_bytes;
    std::int32_t m_min;  // the ends of the range at 32-bit scale
    std::int32_t m_max;
    std::uint64_t m_count = 0;
};

}  // namespace _Carovel

#endif  // CAROVEL_PCM_LEVEL_METER_H
