// carovel: real-time PCM audio mixing.
//
// Conventions used throughout the library and its headers:
//  - Lengths are in bytes, unless a name says otherwise (...Ms, ...Seconds).
//  - A sample block is one sample of every channel (what some APIs call an
//    audio frame); its length is channels * bytes per sample.
//  - A frame is one chunk of frameSize bytes (a whole number of sample
//    blocks): the unit that is queued per source and mixed once per pass.
//  - A source is one stream of audio told apart by a 32-bit id: traceID in
//    CMixer, trackID in CWaveMix. Source 0 is the master, which paces the
//    mixing passes.
//  - A pass takes the oldest frame of every source, when source 0 has one,
//    and sums them into the mix.
//  - A source's backlog is what waits to be mixed: its queued frames and its
//    staged bytes (less than a frame), in milliseconds of the mixing format.
//  - The queued mode (the default) mixes every frame fed, however long it
//    waited; live mode (CMixer::SetLiveMode) keeps every backlog near a
//    target and below a ceiling.
//  - PCM is interleaved and little-endian: 8-bit samples are unsigned with
//    silence at 128, 16-, 24- and 32-bit samples are signed.
//  - Calls that can fail return bool; the object's LastStatus() tells why
//    (carovel/status.h).
#ifndef CAROVEL_CAROVEL_H
#define CAROVEL_CAROVEL_H

#include "carovel/format.h"
#include "carovel/mixer.h"
#include "carovel/stats.h"
#include "carovel/status.h"
#include "carovel/version.h"
#include "carovel/wave_convert.h"
#include "carovel/wave_mix.h"

#endif  // CAROVEL_CAROVEL_H
