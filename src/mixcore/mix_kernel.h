// The summing stage of a mixing pass, separate from the queues so it runs
// without the frame mixer's lock.
#ifndef CAROVEL_MIXCORE_MIX_KERNEL_H
#define CAROVEL_MIXCORE_MIX_KERNEL_H

#include <cstddef>

#include "mixcore/source_queue.h"

namespace _Carovel {

// Mixes count frames of bytesPerSample-wide samples into out, which has room
// for capacity bytes. Sample position p receives the sum of every frame that
// holds a whole sample at p, clamped once to the width's range. The result is
// as long as the longest frame in whole samples, cut to whole samples of the
// capacity. Returns the bytes written; 0 for a width outside 1..4.
int MixFrames(const WaveFrame* const* frames, std::size_t count, unsigned bytesPerSample, char* out,
              int capacity);

}  // namespace _Carovel

#endif  // CAROVEL_MIXCORE_MIX_KERNEL_H
