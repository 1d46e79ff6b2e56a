// The summing stage of a mixing pass, separate from the queues so it runs
// without the frame mixer's lock.
#ifndef CAROVEL_ENGINE_MIX_KERNEL_H
#define CAROVEL_ENGINE_MIX_KERNEL_H

#include <cstddef>
#include <cstdint>

#include "engine/source_queue.h"

namespace _Carovel {

// Mixes count frames of bytesPerSample-wide samples into out, which has room
// for capacity bytes. Sample position p receives the sum of every frame that
// holds a whole sample at p, clamped once to the width's range. The result is
// as long as the longest frame in whole samples, cut to whole samples of the
// capacity. Returns the bytes written; 0 for a width outside 1..4.
int MixFrames(const WaveFrame* const* frames, std::size_t count, unsigned bytesPerSample, char* out,
              int capacity);
// The same for total sample positions, with gains (null for all unity),
// each position rounded once when gained; a block of positions at a time,
// needing no memory of its own.
void MixFrames(const WaveFrame* const* frames, const std::int32_t* gains, std::size_t count,
               unsigned bytesPerSample, char* out, std::size_t total);

// A source's gain as a multiple of 1/65536 (kUnityGain is 1). Gains run from
// 0 to kMaxGain.
constexpr std::int32_t kUnityGain = 65536;
constexpr std::int32_t kMaxGain = 16 * kUnityGain;

#if defined(__SIZEOF_INT128__)
__extension__ typedef __int128 WideInt128;
#endif

// How the wide sums of a pass are held. Without gains they are plain sums:
// 32 bits for 8- and 16-bit samples of up to 65536 frames, else 64 bits.
// With gains every term is sample * gain at 1/65536 scale: 64 bits while the
// count keeps the worst case below 2^63, else 128 bits. A float mixing
// format sums in float (kFloat): every term is sample * gain in float, added
// in frame order, nothing clamped.
enum class WideKind { k32, k64, k64Scaled, k128Scaled, kFloat };

// The accumulator for count frames of a width, with or without gains.
WideKind ChooseWide(unsigned bytesPerSample, std::size_t count, bool gained);
// Bytes of one wide sum of a kind, and the most any kind takes.
std::size_t WideBytes(WideKind kind);
constexpr std::size_t kMaxWideBytes = 16;
// True when sums of this kind are at 1/65536 scale.
constexpr bool IsScaled(WideKind kind) {
    return kind == WideKind::k64Scaled || kind == WideKind::k128Scaled;
}

// The wide sums of sample positions from..to-1 into sums[0..to-from): at
// each position, the sum over the frames that hold a whole sample there of
// sample * gain (gains may be null for all unity; the unscaled kinds ignore
// gains).
void SumWide(const WaveFrame* const* frames, const std::int32_t* gains, std::size_t count,
             unsigned bytesPerSample, WideKind kind, void* sums, std::size_t from, std::size_t to);

// Writes total samples of sums minus own's term (own's samples times gain;
// own may be null for none), each rounded once (to nearest, halves away
// from zero) when the sums are scaled, then clamped to the width's range.
void StoreWideMinus(const void* sums, WideKind kind, std::size_t total, unsigned bytesPerSample,
                    const WaveFrame* own, std::int32_t gain, char* out);

// The largest magnitude among total wide sums (exact up to 2^53), and the
// largest sample magnitude among a frame's first total samples.
double WidePeak(const void* sums, WideKind kind, std::size_t total);
std::int64_t FramePeak(const WaveFrame* frame, unsigned bytesPerSample, std::size_t total);

// The same difference kept wide, into dst (room for total values).
void WideMinus(const void* sums, WideKind kind, std::size_t total, unsigned bytesPerSample,
               const WaveFrame* own, std::int32_t gain, void* dst);

// The float mixing format (32-bit float samples, WideKind::kFloat). SumWide,
// StoreWideMinus, WideMinus and WidePeak take kFloat sums as well; these are
// what they run, and the plain mix and a frame's peak.
//
// The plain mix of total positions: at each, the float sum over the frames
// holding a whole sample there of sample * gain (gains null for all unity,
// else at 1/65536 scale as for the integer kinds), written as float.
void MixFramesFloat(const WaveFrame* const* frames, const std::int32_t* gains, std::size_t count,
                    char* out, std::size_t total);
void SumFloat(const WaveFrame* const* frames, const std::int32_t* gains, std::size_t count,
              float* sums, std::size_t from, std::size_t to);
// sums less own's term (own null for none), written as float, unclamped.
void StoreFloatMinus(const float* sums, std::size_t total, const WaveFrame* own, std::int32_t gain,
                     char* out);
void FloatMinus(const float* sums, std::size_t total, const WaveFrame* own, std::int32_t gain,
                float* dst);
double FloatPeak(const float* sums, std::size_t total);
// The largest magnitude among a float frame's first total samples.
double FloatFramePeak(const WaveFrame* frame, std::size_t total);

}  // namespace _Carovel

#endif  // CAROVEL_ENGINE_MIX_KERNEL_H
