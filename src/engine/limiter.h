// The limiter of the frame mixer's outputs: a gain per sample block that
// keeps the output at or below a ceiling below full scale, instead of
// clamping the sum.
#ifndef CAROVEL_ENGINE_LIMITER_H
#define CAROVEL_ENGINE_LIMITER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "carovel/wave_mix.h"
#include "engine/mix_kernel.h"

namespace _Carovel {

// The limiter's settings turned into what one pass needs at one width.
struct LimiterShape {
    unsigned channels = 1;       // samples of one block, which share a gain
    unsigned blocksPerStep = 8;  // gain points are this many blocks apart (about 1 ms)
    double stepRelease = 0.0;    // (1 - gain) is multiplied by this per step
    double ceiling = 0.0;        // the highest magnitude an output sample takes
};

// True when settings are usable: channels and rate above 0, a ceiling from
// -60 to 0 dBFS, a release from 1 ms to 10 s.
bool LimiterSettingsValid(const LimiterSettings& settings);
// The shape for samples of a width, or for float samples (full scale 1.0,
// the ceiling not rounded to a whole sample).
LimiterShape MakeLimiterShape(const LimiterSettings& settings, unsigned bytesPerSample,
                              bool floatSamples = false);

// The gain below which the limiter snaps back to exactly 1 while releasing.
constexpr double kLimiterSnap = 1.0 / 131072;

// One output's gain, kept from pass to pass.
//
// Each pass cuts the output into steps of blocksPerStep sample blocks and
// finds the peak magnitude of each step. The gain at the end of a step is the
// lowest of: the gain released from the step's start (1 - gain shrinks by
// stepRelease per step), ceiling / peak of this step, and ceiling / peak of
// the next step. Within a step the gain moves in a straight line from the
// value at the step's start to the value at its end, so it never exceeds
// ceiling / peak anywhere in the step and reaches its lowest before the
// peak; a step whose peak stays below the ceiling only releases. The pass
// holds the whole frame, so an overload is met within the frame it appears
// in; only an overload at the very start of a frame meets a gain that drops
// at once. Every block whose gain is exactly 1 is written as the plain sum
// (rounded and clamped), so nothing changes while the sums stay at or below
// the ceiling and the gain has released to 1.
class LimiterGain {
  public:
    double Gain() const { return gain_; }
    void Reset() { gain_ = 1.0; }

    // Writes total samples of the wide values (of kind) to out, limited;
    // float sums (WideKind::kFloat) are written as float samples.
    // blockGains is scratch room, reused between calls.
    void Process(const LimiterShape& shape, const void* wide, WideKind kind, std::size_t total,
                 unsigned bytesPerSample, char* out, std::vector<double>& blockGains);

  private:
    double gain_ = 1.0;
};

}  // namespace _Carovel

#endif  // CAROVEL_ENGINE_LIMITER_H
