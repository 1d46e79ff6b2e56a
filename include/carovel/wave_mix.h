// CWaveMix: per-track frame queues and the mixing pass.
#ifndef CAROVEL_WAVE_MIX_H
#define CAROVEL_WAVE_MIX_H

#include <memory>

#include "carovel/export.h"
#include "carovel/status.h"

namespace _Carovel {

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
// A source whose queue is empty and that has received no frame for more than
// 10 seconds is removed by the next mixing pass.
//
// Thread safety: AddFrame, GetMixedFrame and ClearBuffs may be called from
// any threads at the same time. Init must not overlap a mixing pass.
class CAROVEL_API CWaveMix {
  public:
    CWaveMix();
    ~CWaveMix();
    CWaveMix(const CWaveMix&) = delete;
    CWaveMix& operator=(const CWaveMix&) = delete;

    // Drops every source and queued frame, then sets the sample width in bytes.
    // Widths outside 1..4 are stored, but a pass with such a width takes no
    // frames and produces nothing.
    void Init(unsigned short bytesPerSample);

    // Drops every source with all its queued frames.
    void ClearBuffs();

    // Queues a copy of len bytes of data on source trackID, creating its
    // queue on first use. tag is carried with the frame and never
    // dereferenced. Returns false, queuing nothing, when len is negative, when
    // data is null with len above 0 (kBadArgument), or when memory runs out
    // (kOutOfMemory).
    bool AddFrame(long trackID, const char* data, int len, void* tag);

    // The outcome of the last AddFrame on this object: kOk when it returned
    // true, otherwise why it returned false. With AddFrame called from
    // several threads, the outcome of the call that finished last.
    Status LastStatus() const;

    // One mixing pass. On entry masterLen and mixLen hold the capacities of
    // masterBuf and mixBuf in bytes (negative counts as 0); on return they
    // hold the bytes written, both 0 when source 0 had no frame.
    //
    // When source 0 has a frame, the pass takes the oldest frame of every
    // source, copies source 0's frame to masterBuf (cut to its capacity) and
    // stores its tag in *pTag (when pTag is not null). A single taken frame is
    // copied to mixBuf unchanged; otherwise the mix is as long as the longest
    // taken frame in whole samples, cut to the capacity in whole samples.
    void GetMixedFrame(char* masterBuf, int& masterLen, char* mixBuf, int& mixLen, void** pTag);

  private:
    friend struct WaveMixTestAccess;  // lets the library's tests inspect the queues
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace _Carovel

#endif  // CAROVEL_WAVE_MIX_H
