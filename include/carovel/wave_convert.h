// CWaveConvert: step-by-step PCM format conversion.
#ifndef CAROVEL_WAVE_CONVERT_H
#define CAROVEL_WAVE_CONVERT_H

#include <memory>

#include "carovel/export.h"
#include "carovel/format.h"
#include "carovel/status.h"

namespace _Carovel {

class FormatStream;

// The resampler of a conversion between different rates (equal rates have
// none, whatever the choice). Both keep every stepping contract below (whole
// blocks, bytes used and made, byte-identical output however the stream is
// cut, Flush, PendingBytes) and align their output with the input to within
// a destination sample; they differ in what they hold back and cost.
enum class Resampler {
    // Holds back a few milliseconds (its filter's look-ahead), and a step
    // gives out what its input allows at once. The choice for real-time use,
    // and the default. Where the destination rate is a whole multiple of the
    // source's, 2 to 16 times (8 into 16 or 48 kHz, 16 into 48 kHz, 48 into
    // 96 kHz), it is carovel's own polyphase filter: 70 source samples per
    // output sample, the passband flat to within 0.2 dB up to 0.9 of the
    // source's Nyquist frequency (within 0.005 dB below 0.3 of it),
    // everything from that frequency up (every image of the band) at least
    // 92 dB down; it holds back 35 source samples (2.2 ms at 16 kHz, 4.4 ms
    // at 8 kHz) and runs on AVX2 with FMA
    // where the processor has them. Between other rates it is speexdsp,
    // quality 5 (5 ms or less at the usual rates; flat to within 1.9 dB up to
    // 0.9 of the lower rate's Nyquist frequency, images and aliases near the
    // band's edge only about 50 dB down). speexdsp's cost grows with the
    // ratio of the rates, so for ratios above kFastAboveRatio to 1 either way
    // that are not whole raising factors (rates below 4096 per second against
    // 65535; never between the usual rates of 8000 and up) it uses kFast's
    // resampler instead. That one holds back much there:
    // some 300 to 700 samples of the lower rate (0.3 s between 48000 and
    // 2000 per second, 7 s into 100 per second, all of a ten-second stream
    // into 1 per second), which Flush gives out at once: a 65535 Hz stream
    // into 1 Hz flushes in under a millisecond (it took 25 s on speexdsp).
    kLowLatency,
    // libsoxr, linear phase: its medium quality (16-bit precision, flat to
    // within 0.35 dB up to 0.916 of the lower rate's Nyquist frequency) when
    // neither side is wider than 16 bits, its high quality (20-bit precision)
    // otherwise. On one stream 3.4 to 7.4 times cheaper than kLowLatency
    // between the usual rates (48 kHz stereo into 8 kHz mono, 44.1 into
    // 48 kHz stereo, 16 into 48 kHz mono; bench/README.md). Its state is
    // larger (about 110 KB more per stream at 16 into 48 kHz), so many
    // streams at once gain less: 1000 sources of 16 kHz mono into a 48 kHz
    // stereo mix took 2.2 times fewer instructions but about the same time
    // on a 2-core test machine, 100 of them 1.3 to 1.8 times less time. And
    // libsoxr filters in blocks, so the
    // converter holds back a fixed latency of output to give out a steady
    // amount per step: from about 20 ms (44100 into 48000) to about 120 ms
    // (8000 into 16000), depending on the two rates. The first steps give out
    // nothing until that is filled; then every step of the same length gives
    // out the same number of blocks, to within one, at the rate ratio; what
    // is held back comes out with Flush. For offline work (files, batch
    // conversion) and mixers whose sources are fed far enough ahead; not for
    // real-time conferencing, where it adds that latency to every converted
    // source.
    kFast,
};

// kLowLatency uses kFast's resampler when the higher rate is more than this
// many times the lower (see Resampler::kLowLatency).
constexpr unsigned kFastAboveRatio = 16;

// Converts a stream of interleaved little-endian PCM from one format
// (channels, samples per second, bits per sample) to another, one step at a
// time.
//
// Supported widths: 8-bit unsigned (midpoint 128), 16-, 24- and 32-bit signed,
// and 32-bit float (with Open taking AudioFormat). Rates 1..768000 (the
// Open taking widths takes up to 65535), channel counts of 1 or more. Open
// fails, leaving the object closed, for zero channels, a rate of 0 or above
// 768000, or any other width.
//
// Widths: widening is exact (a shift); narrowing rounds to the nearest value
// and clamps at full scale.
//
// Floats (full scale 1.0): a float source into an integer type is scaled by
// 2^31 and rounded and clamped to 32 bits, then converted as a 32-bit
// stream (so it is clamped at full scale); an integer source into float is
// converted to 32 bits and divided by 2^31. Float into float with equal
// formats is a plain copy; otherwise the samples go through the converter
// with 24 dB of headroom (values up to +-16.0 pass, with 27 bits of
// precision; beyond that they are clamped). Non-finite samples are not
// checked (NaN comes out as 0 in an integer type).
//
// Channels:
//  - equal counts map one to one;
//  - one source channel is copied into every destination channel;
//  - more channels into stereo or mono are folded by a downmix matrix, so
//    that every channel is heard. Standard layouts, in the usual interleaving
//    order: 3 = L R C, 4 = L R Ls Rs (quad), 5 = L R C Ls Rs, 6 = L R C LFE
//    Ls Rs (5.1), 8 = L R C LFE Ls Rs Lb Rb (7.1). Into stereo each side
//    takes its front channel at 1 and the centre and its own surround and
//    back channels at 1/sqrt(2) (-3 dB); the LFE is dropped. Each output
//    channel is then divided by the sum of its weights, so nothing can clip:
//    5.1 into stereo gives L' = (L + 0.707 C + 0.707 Ls) / 2.414, which puts
//    a voice in the centre channel at 0.293 (-10.7 dB) in each side. Into
//    mono a standard layout takes the average of its two stereo channels
//    (5.1: 0.207 L + 0.207 R + 0.293 C + 0.146 Ls + 0.146 Rs). Stereo into
//    mono is the average of the two; other counts into mono are the average
//    of all channels; other counts into stereo go alternately left and right
//    (channel 0 left, 1 right, 2 left, ...), each side averaged;
//  - otherwise (for example stereo into 5.1, or 5.1 into quad) destination
//    channel i takes source channel i, and destination channels beyond the
//    source's are silent.
//
// Rates: equal rates map sample for sample with no delay, so same-rate
// conversion is exact. Different rates go through a windowed-sinc resampler
// whose output is aligned with its input: a sound at time t of the source
// comes out at time t of the destination (the filter's leading delay is
// skipped). Which resampler, and so how much of the stream is held back and
// what a step costs, is chosen by Resampler (below): by default
// (kLowLatency) a filter that looks a few milliseconds ahead, so the first
// step gives out that much less than the rate ratio and the last few
// milliseconds stay held back until Flush. Converting the whole
// stream and flushing gives ceil(source blocks * destination rate / source
// rate) blocks with either resampler. (Earlier versions gave one block of
// output per block of input and prepended the filter's delay instead; a
// caller that compensated for that delay must stop doing so.)
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

    // Opens a stream from src to dst (see above) with the default resampler
    // (Resampler::kLowLatency). Returns false, leaving the object closed,
    // with kUnsupportedFormat when either format is not one the converter
    // takes (IsValidFormat in carovel/format.h), or with kOutOfMemory.
    bool Open(const AudioFormat& src, const AudioFormat& dst);
    // The same with the given resampler (see Resampler). An out-of-range
    // value fails with kBadArgument, leaving the object closed.
    bool Open(const AudioFormat& src, const AudioFormat& dst, Resampler resampler);
    // The same with integer formats given as channels, rate and width in
    // bits (8, 16, 24 or 32).
    bool Open(unsigned short srcChannels, unsigned short srcSamplesPerSec,
              unsigned short srcBitsPerSample, unsigned short dstChannels,
              unsigned short dstSamplesPerSec, unsigned short dstBitsPerSample);
    // The same with the given resampler (see Resampler). An out-of-range
    // value fails with kBadArgument, leaving the object closed.
    bool Open(unsigned short srcChannels, unsigned short srcSamplesPerSec,
              unsigned short srcBitsPerSample, unsigned short dstChannels,
              unsigned short dstSamplesPerSec, unsigned short dstBitsPerSample,
              Resampler resampler);
    void Close();
    bool Convert(const unsigned char* src, unsigned long& srcLen, unsigned char* dst,
                 unsigned long& dstLen);

    // Writes what the resampler still holds back into dst[0, dstLen), as
    // much as fits in whole destination blocks, and returns true with dstLen
    // set to the bytes written. Call it again while it fills the room. Once
    // everything was written the stream starts afresh, as if just opened, so
    // a new stream may follow. At equal rates nothing is held back and dstLen
    // comes back 0. Returns false, dstLen unchanged, when the object is not
    // open or dst is null while dstLen is not zero.
    bool Flush(unsigned char* dst, unsigned long& dstLen);
    // The bytes Flush would still write; 0 when not open.
    unsigned long PendingBytes() const;

    // The outcome of the last Open, Convert or Flush on this object: kOk when it
    // returned true; otherwise kUnsupportedFormat, kOutOfMemory or kBadArgument for Open,
    // kNotOpen or kBadArgument for Convert and Flush.
    Status LastStatus() const { return m_lastStatus; }

  private:
    std::shared_ptr<FormatStream> m_hStream;
    Status m_lastStatus = Status::kOk;
};

}  // namespace _Carovel

#endif  // CAROVEL_WAVE_CONVERT_H
