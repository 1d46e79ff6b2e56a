// CWaveMix: per-track frame queues and the mixing pass.
#ifndef CAROVEL_WAVE_MIX_H
#define CAROVEL_WAVE_MIX_H

#include <memory>

#include "carovel/export.h"
#include "carovel/format.h"
#include "carovel/status.h"

namespace _Carovel {

// How the limiter of a frame mixer or mixer works (CWaveMix::SetLimiter,
// CMixer::SetLimiter).
struct LimiterSettings {
    // Sample positions of one sample block (the channels, interleaved): they
    // share one gain, so the balance between channels stays.
    unsigned short channels = 1;
    // Sample blocks per second, for the release time and the gain's step of
    // about 1 ms.
    unsigned samplesPerSec = 8000;
    // The ceiling, in dB relative to full scale (the width's largest
    // positive sample): -60 to 0. A sum at or below it passes unchanged
    // once the gain is back at 1.
    float thresholdDbfs = -1.0f;
    // Time for the gain to come back 95% of the way to 1 once the overload
    // has gone: 1 to 10000 ms.
    float releaseMs = 100.0f;
};

class CWaveMix;
struct MinusOutputs;

// The mix-minus outputs of a mixing pass: for every source that took part,
// the mix of all other sources (its "N-1 mix"), so that a participant does
// not hear itself. Filled by CWaveMix::GetMixedFrame; the storage is kept and
// reused from pass to pass.
//
// Each output is computed from the pass's wide sum (before any clamping)
// minus the source's own term (its frame times its gain), then rounded once
// and clamped, or limited when the frame mixer's limiter is on, each output
// with a limiter gain of its own that persists across passes. Outputs hold
// whole samples and are as long as the pass's mix computed from whole
// samples: the longest taken frame in whole samples, cut to the mix
// capacity in whole samples.
//
// Outputs come in table order (the order in which sources first appeared):
// first every source that took part (source 0 among them), then, when
// SetIncludeIdle(true) was called, every source present in the frame mixer
// that had no frame in this pass, which receives the full mix.
class CAROVEL_API CMixMinusFrames {
  public:
    CMixMinusFrames();
    ~CMixMinusFrames();
    CMixMinusFrames(const CMixMinusFrames&) = delete;
    CMixMinusFrames& operator=(const CMixMinusFrames&) = delete;

    // Whether sources present without a frame in a pass receive the full mix
    // as their output (default false).
    void SetIncludeIdle(bool include);
    bool IncludeIdle() const;

    // The outputs of the last pass: 0 after a pass that took no frames, when
    // the mix capacity was 0, or when memory ran out (LastStatus).
    int Count() const;
    // Output index's source, its bytes (owned by this object, valid until
    // the next pass with it), its length in bytes, and whether the source
    // had a frame in the pass. An index outside 0..Count()-1 gives 0, null,
    // 0 and false.
    long TrackID(int index) const;
    const char* Data(int index) const;
    int Length(int index) const;
    bool HadFrame(int index) const;
    // kOk, or kOutOfMemory when memory ran out in the last pass. Room for
    // every output is made before the pass takes a frame, so it then took
    // none, wrote nothing and left every frame queued: a pass that writes
    // its mix writes every output.
    Status LastStatus() const;

  private:
    friend class CWaveMix;
    std::unique_ptr<MinusOutputs> m_impl;
};

// The frame mixer keeps one first-in, first-out queue of whole frames per
// source (trackID names the source) and, on request, takes the oldest frame
// of every source and mixes them sample by sample.
//
// Source 0 is the master: a mixing pass happens only when source 0 has a
// queued frame, and source 0's frame is handed out beside the mix.
//
// Samples are interleaved little-endian PCM of the width given to Init():
//   1 byte   unsigned, midpoint 128
//   2 bytes  signed 16-bit
//   3 bytes  signed 24-bit
//   4 bytes  signed 32-bit
// The sum of a sample position is clamped once, after all frames were added,
// to the range of the width.
//
// Float mixing format (Init(SampleType::kF32)): frames hold 32-bit floats
// (full scale 1.0). The sum of a position is kept in float: each frame's
// sample times its gain (a float factor, exact for every gain SetTrackGain
// takes), added in the order of the sources, and written as float without
// any clamp, so sums above full scale keep their level. Mix-minus outputs
// are the float sum less the source's own term; the limiter works on the
// float sums with a ceiling of 10^(thresholdDbfs / 20). Frames are taken
// whole samples of 4 bytes, as for 32-bit integers.
//
// Opt-in conference features, all off by default (without them a pass is
// computed exactly as described above):
//  - A gain per source (SetTrackGain): each frame's samples are multiplied
//    by its source's gain inside the wide sum, and the sum is rounded once.
//  - Mix-minus outputs (GetMixedFrame with a CMixMinusFrames): every source
//    that took part receives the mix without its own frame.
//  - A limiter (SetLimiter) on the mix and on every mix-minus output, in
//    place of clamping.
//
// A source whose queue is empty and that has received no frame for more than
// 10 seconds is removed by the next mixing pass.
//
// Thread safety: AddFrame, GetMixedFrame, ClearBuffs, SetTrackGain and
// SetLimiter may be called from any threads at the same time; mixing passes
// run one at a time (a second waits for the first), ClearBuffs waits for a
// running pass, and AddFrame never waits for a pass's mixing. Init must not
// overlap a mixing pass.
class CAROVEL_API CWaveMix {
  public:
    CWaveMix();
    ~CWaveMix();
    CWaveMix(const CWaveMix&) = delete;
    CWaveMix& operator=(const CWaveMix&) = delete;

    // Drops every source and queued frame, then sets the sample width in bytes.
    // Widths outside 1..4 are stored, but a pass with such a width takes no
    // frames and produces nothing. The limiter's settings stay; every
    // limiter gain starts again at 1.
    void Init(unsigned short bytesPerSample);
    // The same for a sample type: the integer types take their width
    // (Init(BytesPerSample(type))), kF32 makes the float mixing format (see
    // above). A value outside the enumeration makes every pass produce
    // nothing, as an unsupported width does.
    void Init(SampleType type);

    // Drops every source with all its queued frames, gains and limiter gains.
    void ClearBuffs();

    // Queues a copy of len bytes of data on source trackID, creating its
    // queue on first use. tag is carried with the frame and never
    // dereferenced. Returns false, queuing nothing, when len is negative, when
    // data is null with len above 0 (kBadArgument), or when memory runs out
    // (kOutOfMemory).
    bool AddFrame(long trackID, const char* data, int len, void* tag);

    // Sets the gain of source trackID's frames in the mix and in every other
    // source's mix-minus output, creating the source's queue when absent (it
    // then counts as fed now, and is dropped like any source idle for more
    // than 10 seconds, forgetting its gain). gain runs from 0 to 16 and is
    // used as the nearest multiple of 1/65536: 1 leaves the source's samples
    // as they are, 0 mutes it. A muted source still takes part in passes: it
    // takes its frames, counts toward the mix's length and receives its own
    // mix-minus output (the full mix of the others). The master's frame is
    // handed out unscaled; only its part of the mix is scaled. While every
    // source taking part in a pass has a gain of 1, the pass is computed as
    // without gains. Returns false, changing nothing, for a gain outside
    // 0..16 or NaN (kBadArgument) or when memory runs out (kOutOfMemory).
    bool SetTrackGain(long trackID, float gain);

    // Turns the limiter on or off. While on, the mix and every mix-minus
    // output are limited instead of clamped: a gain per sample block keeps
    // every output sample's magnitude at or below the ceiling (below full
    // scale), reaches its lowest within the frame where the overload
    // appears, and comes back smoothly afterwards. While the wide sum stays
    // at or below the ceiling and the gain has come back to 1, the output is
    // exactly the plain mix. Each output (the mix, each source's mix-minus
    // output) has its own gain, kept from pass to pass. With the limiter on,
    // a pass that takes only one frame writes whole samples, limited, instead
    // of copying the frame. Returns false, changing nothing, when settings
    // are out of their documented ranges (kBadArgument); settings are
    // ignored when turning the limiter off. Turning it on or off restarts
    // every limiter gain at 1.
    bool SetLimiter(bool enabled, const LimiterSettings& settings = LimiterSettings());

    // The outcome of the last AddFrame, SetTrackGain or SetLimiter on this
    // object: kOk when it returned true, otherwise why it returned false.
    // With calls from several threads, the outcome of the call that finished
    // last.
    Status LastStatus() const;

    // One mixing pass. On entry masterLen and mixLen hold the capacities of
    // masterBuf and mixBuf in bytes (negative counts as 0); on return they
    // hold the bytes written, both 0 when source 0 had no frame.
    //
    // When source 0 has a frame, the pass takes the oldest frame of every
    // source, copies source 0's frame to masterBuf (cut to its capacity) and
    // stores its tag in *pTag (when pTag is not null). A single taken frame is
    // copied to mixBuf unchanged (unless its gain is not 1 or the limiter is
    // on); otherwise the mix is as long as the longest taken frame in whole
    // samples, cut to the capacity in whole samples.
    void GetMixedFrame(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen, void** pTag);

    // The same pass, also filling minus with the mix-minus outputs (see
    // CMixMinusFrames), each with room for the mix capacity. A pass that
    // takes no frames leaves minus with no outputs.
    void GetMixedFrame(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen, void** pTag,
                       CMixMinusFrames& minus);

  private:
    friend struct WaveMixTestAccess;  // lets the library's tests inspect the queues
    struct Impl;

    void Pass(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen, void** pTag,
              MinusOutputs* minus);

    std::unique_ptr<Impl> m_impl;
};

}  // namespace _Carovel

#endif  // CAROVEL_WAVE_MIX_H
