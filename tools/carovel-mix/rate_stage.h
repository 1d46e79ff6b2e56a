// Converts one output's samples from the rate (and channels) they were mixed
// at to those they are written at. When every source shares a rate other than the
// output's, the mix is made at that rate and each output converted once
// here, instead of every source being converted before it is mixed: the
// sum of converted sources and the converted sum agree within rounding, and
// one conversion costs a fraction of one per source.
#ifndef CAROVEL_MIX_RATE_STAGE_H
#define CAROVEL_MIX_RATE_STAGE_H

#include <carovel/wave_convert.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pcm.h"

namespace carovel_mix {

class RateStage {
  public:
    // Samples of `from` in, of `to` out (its rate and channels, the same
    // sample type), through the library's converter with the fast resampler
    // (the whole stream is at hand, so its hold-back costs nothing). Throws
    // ToolError when the converter refuses the formats.
    RateStage(const PcmFormat& from, const PcmFormat& to);

    const PcmFormat& From() const { return m_from; }
    const PcmFormat& To() const { return m_to; }

    // Converted bytes: whole frames of To(), valid until the next call.
    struct Out {
        const char* bytes;
        std::size_t frames;
    };
    // Converts frames of From() bytes.
    Out Convert(const char* bytes, std::size_t frames);
    // What the resampler still holds, at the end of the stream: the stream
    // converted in all then has ceil(frames in * to rate / from rate) frames.
    Out Finish();

  private:
    Out Taken(std::size_t bytes) const;

    PcmFormat m_from;
    PcmFormat m_to;
    _Carovel::CWaveConvert m_convert;
    std::vector<char> m_out;
};

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_RATE_STAGE_H
