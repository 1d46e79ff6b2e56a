// Why a call failed.
#ifndef CAROVEL_STATUS_H
#define CAROVEL_STATUS_H

#include "carovel/export.h"

namespace _Carovel {

// The outcome of the last bool-returning call on a CMixer, CWaveMix or
// CWaveConvert, read with that object's LastStatus(). A call that returns
// true leaves kOk; a call that returns false leaves the first cause it met.
enum class Status : int {
    kOk = 0,
    // The object is not open: a mixer never opened, closed, or closed by its
    // callback; a converter never opened, closed, or whose Open failed.
    kNotOpen,
    // Open on a mixer that is already open.
    kAlreadyOpen,
    // An argument out of its documented range: a negative length, a null
    // buffer with a length above 0, a zero channel count or rate, a frame
    // length that is not a whole number of sample blocks, a null callback.
    kBadArgument,
    // A PCM format the library cannot convert or mix (a width other than 8,
    // 16, 24 or 32 bits, no channels, a zero rate).
    kUnsupportedFormat,
    // Memory ran out.
    kOutOfMemory,
    // The converter stopped consuming input although whole sample blocks
    // were offered.
    kNoProgress,
    // The call is not allowed from inside the mixer's own callback.
    kInsideCallback,
    // The output thread could not be started.
    kThreadStartFailed,
    // A call for host-driven passes (CMixer::MixPending) on a mixer whose
    // output thread runs the passes.
    kNotHostDriven,
};

// A short English description of a status, e.g. "out of memory". Never null;
// an unknown value gives "unknown status".
CAROVEL_API const char* StatusText(Status status);

}  // namespace _Carovel

#endif  // CAROVEL_STATUS_H
