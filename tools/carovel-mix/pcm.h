// PCM formats in carovel-mix: the library's PcmFormat, described for people
// and cut into the mixer's frames.
//
// Inside the tool every sample travels at 32-bit scale (the most significant
// bits carry the sample, as libsndfile delivers them), so one code path
// serves every width: the library's src/pcm packs, unpacks and meters them.
#ifndef CAROVEL_MIX_PCM_H
#define CAROVEL_MIX_PCM_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "pcm/pcm_format.h"

namespace carovel_mix {

using PcmFormat = _Carovel::PcmFormat;

// "8000 Hz mono 16-bit", "44100 Hz stereo 24-bit", "48000 Hz 6 ch 32-bit".
std::string Describe(const PcmFormat& format);

// Bytes of one frame of frameMs milliseconds in format. With exact (a
// --frame-ms given), throws ToolError with the reason when the frame is not
// a whole number of samples; otherwise such a frame is rounded to the
// nearest whole number of samples (20 ms at 11025 Hz: 221 samples). Throws
// ToolError when the frame does not fit the mixer's frame length.
unsigned FrameBytes(const PcmFormat& format, unsigned frameMs, bool exact = true);

// Samples at 32-bit scale times 2^exponent, rounded (halves away from zero)
// to samples of `bits` (8 to 32), clamped to that width's range and
// left-justified at 32-bit scale again, into out (which may be in).
// Branch-free loops, which vectorise.
void Requantise(const std::int32_t* in, std::size_t count, int exponent, unsigned bits,
                std::int32_t* out);

// Packed 16-bit samples (little-endian) as packed 32-bit ones times
// 2^shift (at most 16): what Requantise gives for 16-bit samples with
// `16 - shift` bits of headroom at 32 bits, where nothing needs rounding.
// One loop instead of unpacking, requantising and packing.
void Widen16To32(const char* in, std::size_t count, unsigned shift, char* out);

// The format as the mixer's calls taking an AudioFormat describe it.
_Carovel::AudioFormat ToAudioFormat(const PcmFormat& format);

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_PCM_H
