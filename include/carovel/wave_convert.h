// CWaveConvert: step-by-step PCM format conversion.
#ifndef CAROVEL_WAVE_CONVERT_H
#define CAROVEL_WAVE_CONVERT_H

#include <memory>

#include "carovel/export.h"
#include "carovel/status.h"

namespace _Carovel {

class ConvertStream;

// Converts a stream of interleaved little-endian PCM from one format
// (channels, samples per second, bits per sample) to another, one step at a
// time.
//
// Supported widths: 8-bit unsigned (midpoint 128), 16-, 24- and 32-bit signed.
// Rates 1..65535, channel counts of 1 or more. Open fails, leaving the object
// closed, for zero channels, a zero rate or any other width.
//
// Widths: widening is exact (a shift); narrowing rounds to the nearest value
// and clamps at full scale.
//
// Channels:
//  - equal counts map one to one;
//  - one source channel is copied into every destination channel;
//  - many channels to one are averaged;
//  - otherwise destination channel i takes source channel i, and destination
//    channels beyond the source's are silent.
//
// Rates: equal rates map sample for sample with no delay, so same-rate
// conversion is exact. Different rates go through a windowed-sinc resampler
// (speexdsp, quality 5) that delays the stream by its filter length (a few
// milliseconds) and returns one block of output per block of input at the
// rate ratio. The last few milliseconds of a stream stay in the filter until
// more input (silence, say) pushes them out.
//
// Stepping (Convert): a step reads whole source blocks (channels x bytes per
// sample) from src[0, srcLen), writes whole destination blocks to
// dst[0, dstLen), never more than dstLen bytes, and returns true with srcLen
// set to the bytes used and dstLen to the bytes produced. It may use fewer
// source bytes than offered: when the room is too small for everything the
// input would produce, it uses only the input whose output fits, and the
// caller offers the rest again. No output is lost, and feeding a stream in
// pieces of any sizes produces the same bytes as feeding it in one piece.
// A step that makes no progress - room for less than one destination block,
// or less than one whole source block - still succeeds, with both counts 0.
// Convert returns false, leaving both lengths unchanged, when the object is
// not open (never opened, closed, or its last Open failed), or when src or
// dst is null while its length is not zero.
//
// Ownership: the stream state is shared and reference-counted. Copying or
// assigning makes both objects use one stream (converting through either
// advances it). Close releases this object's hold and leaves it closed; the
// state is freed when its last holder closes, reopens or is destroyed. Open
// on an object that holds a stream releases that hold first. Objects sharing
// a stream must not convert from two threads at once.
class CAROVEL_API CWaveConvert {
  public:
    CWaveConvert();
    ~CWaveConvert();
    CWaveConvert(const CWaveConvert& other);
    // Makes this object use the same stream as other.
    CWaveConvert& operator=(const CWaveConvert& other);

    bool Open(unsigned short srcChannels, unsigned short srcSamplesPerSec,
              unsigned short srcBitsPerSample, unsigned short dstChannels,
              unsigned short dstSamplesPerSec, unsigned short dstBitsPerSample);
    void Close();
    bool Convert(const unsigned char* src, unsigned long& srcLen, unsigned char* dst,
                 unsigned long& dstLen);

    // The outcome of the last Open or Convert on this object: kOk when it
    // returned true; otherwise kUnsupportedFormat or kOutOfMemory for Open,
    // kNotOpen or kBadArgument for Convert.
    Status LastStatus() const { return m_lastStatus; }

  private:
    std::shared_ptr<ConvertStream> m_hStream;
    Status m_lastStatus = Status::kOk;
};

}  // namespace _Carovel

#endif  // CAROVEL_WAVE_CONVERT_H
