// CWaveConvert: step-by-step PCM format conversion.
#ifndef CAROVEL_WAVE_CONVERT_H
#define CAROVEL_WAVE_CONVERT_H

#include <memory>

#include "carovel/export.h"

namespace _Carovel {

class CConvertStream;

// Converts a stream of interleaved little-endian PCM from one format
// (channels, samples per second, bits per sample) to another, one step at a
// time.
//
// Supported widths: 8-bit unsigned (midpoint 128), 16-, 24- and 32-bit signed.
// Rates 1..65535, channel counts of 1 or more.
//
// (The rest of this comment is completed with the implementation.)
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

private:
    std::shared_ptr<CConvertStream> m_hStream;
};

}  // namespace _Carovel

#endif  // CAROVEL_WAVE_CONVERT_H
