#include "carovel/wave_convert.h"

#include <new>

#include "convert/format_stream.h"

namespace _Carovel {

CWaveConvert::CWaveConvert() = default;
CWaveConvert::~CWaveConvert() = default;
CWaveConvert::CWaveConvert(const CWaveConvert& other) = default;
CWaveConvert& CWaveConvert::operator=(const CWaveConvert& other) = default;

bool CWaveConvert::Open(unsigned short srcChannels, unsigned short srcSamplesPerSec,
                        unsigned short srcBitsPerSample, unsigned short dstChannels,
                        unsigned short dstSamplesPerSec, unsigned short dstBitsPerSample) {
    return Open(srcChannels, srcSamplesPerSec, srcBitsPerSample, dstChannels, dstSamplesPerSec,
                dstBitsPerSample, Resampler::kLowLatency);
}

bool CWaveConvert::Open(unsigned short srcChannels, unsigned short srcSamplesPerSec,
                        unsigned short srcBitsPerSample, unsigned short dstChannels,
                        unsigned short dstSamplesPerSec, unsigned short dstBitsPerSample,
                        Resampler resampler) {
    if (resampler != Resampler::kLowLatency && resampler != Resampler::kFast) {
        m_hStream.reset();
        m_lastStatus = Status::kBadArgument;
        return false;
    }
    SampleType srcType = SampleType::kS16;
    SampleType dstType = SampleType::kS16;
    if (!SampleTypeOfBits(srcBitsPerSample, srcType) ||
        !SampleTypeOfBits(dstBitsPerSample, dstType)) {
        m_hStream.reset();
        m_lastStatus = Status::kUnsupportedFormat;
        return false;
    }
    return Open(AudioFormat{srcSamplesPerSec, srcChannels, srcType},
                AudioFormat{dstSamplesPerSec, dstChannels, dstType}, resampler);
}

bool CWaveConvert::Open(const AudioFormat& srcFormat, const AudioFormat& dstFormat) {
    return Open(srcFormat, dstFormat, Resampler::kLowLatency);
}

bool CWaveConvert::Open(const AudioFormat& srcFormat, const AudioFormat& dstFormat,
                        Resampler resampler) {
    m_hStream.reset();
    if (resampler != Resampler::kLowLatency && resampler != Resampler::kFast) {
        m_lastStatus = Status::kBadArgument;
        return false;
    }
    if (!IsValidFormat(srcFormat) || !IsValidFormat(dstFormat)) {
        m_lastStatus = Status::kUnsupportedFormat;
        return false;
    }
    const PcmFormat src = PcmFormat::From(srcFormat);
    const PcmFormat dst = PcmFormat::From(dstFormat);
    try {
        m_hStream = FormatStream::Create(src, dst, resampler);
        m_lastStatus = m_hStream != nullptr ? Status::kOk : Status::kUnsupportedFormat;
    } catch (const std::bad_alloc&) {
        m_hStream.reset();
        m_lastStatus = Status::kOutOfMemory;
    }
    return m_hStream != nullptr;
}

void CWaveConvert::Close() {
    m_hStream.reset();
}

bool CWaveConvert::Convert(const unsigned char* src, unsigned long& srcLen, unsigned char* dst,
                           unsigned long& dstLen) {
    if (!m_hStream) {
        m_lastStatus = Status::kNotOpen;
        return false;
    }
    if ((src == nullptr && srcLen != 0) || (dst == nullptr && dstLen != 0)) {
        m_lastStatus = Status::kBadArgument;
        return false;
    }
    m_lastStatus = Status::kOk;
    const StepResult step = m_hStream->Step(src, srcLen, dst, dstLen);
    srcLen = static_cast<unsigned long>(step.used);
    dstLen = static_cast<unsigned long>(step.produced);
    return true;
}

}  // namespace _Carovel

namespace _Carovel {

bool CWaveConvert::Flush(unsigned char* dst, unsigned long& dstLen) {
    if (!m_hStream) {
        m_lastStatus = Status::kNotOpen;
        return false;
    }
    if (dst == nullptr && dstLen != 0) {
        m_lastStatus = Status::kBadArgument;
        return false;
    }
    m_lastStatus = Status::kOk;
    dstLen = static_cast<unsigned long>(m_hStream->Drain(dst, dstLen).produced);
    return true;
}

unsigned long CWaveConvert::PendingBytes() const {
    return m_hStream ? static_cast<unsigned long>(m_hStream->HeldBackBlocks() *
                                                  m_hStream->DestinationBlockAlign())
                     : 0;
}

}  // namespace _Carovel
